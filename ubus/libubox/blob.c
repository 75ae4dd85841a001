#include <libubox/blob.h>
#include "blob_private.h"

static bool blob_buffer_grow(struct blob_buf *buf, int minlen)
{
	char *p;
	int delta = ((minlen / 256) + 1) * 256;

	p = (char *) realloc(buf->buf, (size_t) buf->buflen + (size_t) delta);
	if (!p)
		return false;
	buf->buf = p;
	memset(p + buf->buflen, 0, (size_t) delta);
	buf->buflen += delta;
	return true;
}

static void blob_init(struct blob_attr *attr, int id, unsigned int len)
{
	len &= BLOB_ATTR_LEN_MASK;
	len |= ((unsigned int) id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK;
	attr->id_len = cpu_to_be32(len);
}

void blob_fill_pad(struct blob_attr *attr)
{
	char *buf = (char *) attr;
	size_t len = blob_pad_len(attr);
	size_t delta = len - blob_raw_len(attr);

	if (delta > 0)
		memset(buf + len - delta, 0, delta);
}

void blob_set_raw_len(struct blob_attr *attr, unsigned int len)
{
	len &= BLOB_ATTR_LEN_MASK;
	attr->id_len &= ~cpu_to_be32(BLOB_ATTR_LEN_MASK);
	attr->id_len |= cpu_to_be32(len);
}

bool blob_buf_grow(struct blob_buf *buf, int required)
{
	unsigned long offset_head = attr_to_offset(buf, buf->head);

	if (required <= 0)
		return true;
	if ((long) buf->buflen + required > BLOB_ATTR_LEN_MASK)
		return false;
	if (!buf->grow || !buf->grow(buf, required))
		return false;
	buf->head = offset_to_attr(buf, offset_head);
	return true;
}

static struct blob_attr *blob_add(struct blob_buf *buf, struct blob_attr *pos, int id, int payload)
{
	unsigned long offset = attr_to_offset(buf, pos);
	long end, required;
	struct blob_attr *attr;

	if (payload < 0 || payload > BLOB_ATTR_LEN_MASK - (int) sizeof(struct blob_attr))
		return NULL;
	end = (long) (offset - BLOB_COOKIE) + (long) sizeof(struct blob_attr) + payload;
	required = end - buf->buflen;
	/* the zero padding behind the payload must fit as well */
	if (required <= 0 && ((end + 3) & ~3L) > buf->buflen)
		required = ((end + 3) & ~3L) - buf->buflen;
	if (required > 0) {
		if (!blob_buf_grow(buf, (int) required))
			return NULL;
		attr = offset_to_attr(buf, offset);
	} else {
		attr = pos;
	}

	blob_init(attr, id, (unsigned int) payload + sizeof(struct blob_attr));
	blob_fill_pad(attr);
	return attr;
}

int blob_buf_init(struct blob_buf *buf, int id)
{
	if (!buf->grow)
		buf->grow = blob_buffer_grow;

	buf->head = (struct blob_attr *) buf->buf;
	if (blob_add(buf, (struct blob_attr *) buf->buf, id, 0) == NULL)
		return -ENOMEM;

	return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
	free(buf->buf);
	buf->buf = NULL;
	buf->head = NULL;
	buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload)
{
	struct blob_attr *attr;

	if (!buf->head)
		return NULL;
	attr = blob_add(buf, blob_next(buf->head), id, payload);
	if (!attr)
		return NULL;

	blob_set_raw_len(buf->head, (unsigned int) (blob_pad_len(buf->head) + blob_pad_len(attr)));
	return attr;
}

struct blob_attr *blob_put_raw(struct blob_buf *buf, const void *ptr, unsigned int len)
{
	struct blob_attr *attr;

	if (len < sizeof(struct blob_attr) || !ptr || !buf->head)
		return NULL;

	attr = blob_add(buf, blob_next(buf->head), 0, (int) (len - sizeof(struct blob_attr)));
	if (!attr)
		return NULL;
	blob_set_raw_len(buf->head, (unsigned int) (blob_pad_len(buf->head) + blob_pad_len(attr)));
	memcpy(attr, ptr, len);
	return attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
	struct blob_attr *attr;

	if (len > BLOB_ATTR_LEN_MASK)
		return NULL;
	attr = blob_new(buf, id, (int) len);
	if (!attr)
		return NULL;

	if (ptr && len)
		memcpy(blob_data(attr), ptr, len);
	return attr;
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
	struct blob_attr *head;
	unsigned long offset;

	if (!buf->head)
		return NULL;
	offset = attr_to_offset(buf, buf->head);
	head = blob_new(buf, id, 0);
	/* on failure the parent stays current, so later appends do not crash */
	if (!head)
		return NULL;
	buf->head = head;
	return (void *) offset;
}

void blob_nest_end(struct blob_buf *buf, void *cookie)
{
	struct blob_attr *attr;

	if (!cookie)
		return;
	attr = offset_to_attr(buf, (unsigned long) cookie);
	blob_set_raw_len(attr, (unsigned int) (blob_pad_len(attr) + blob_len(buf->head)));
	buf->head = attr;
}

static const unsigned int blob_type_minlen[BLOB_ATTR_LAST] = {
	[BLOB_ATTR_STRING] = 1,
	[BLOB_ATTR_INT8] = sizeof(uint8_t),
	[BLOB_ATTR_INT16] = sizeof(uint16_t),
	[BLOB_ATTR_INT32] = sizeof(uint32_t),
	[BLOB_ATTR_INT64] = sizeof(uint64_t),
	[BLOB_ATTR_DOUBLE] = sizeof(double),
};

bool blob_check_type(const void *ptr, unsigned int len, int type)
{
	const char *data = (const char *) ptr;

	if (type < 0 || type >= BLOB_ATTR_LAST)
		return false;

	if (type >= BLOB_ATTR_INT8 && type <= BLOB_ATTR_INT64) {
		if (len != blob_type_minlen[type])
			return false;
	} else {
		if (len < blob_type_minlen[type])
			return false;
	}

	if (type == BLOB_ATTR_STRING && data[len - 1] != 0)
		return false;

	return true;
}

/* avail: bytes from attr to the end of its container */
static int blob_parse_attr(struct blob_attr *attr, size_t avail, struct blob_attr **data,
			   const struct blob_attr_info *info, int max)
{
	unsigned int id;
	size_t len;
	int found = 0;

	if (avail < sizeof(struct blob_attr))
		return 0;
	id = blob_id(attr);
	if ((int) id >= max)
		return 0;
	len = blob_raw_len(attr);
	if (len > avail || len < sizeof(struct blob_attr))
		return 0;

	if (info) {
		unsigned int type = info[id].type;

		if (type < BLOB_ATTR_LAST &&
		    !blob_check_type(blob_data(attr), (unsigned int) blob_len(attr), (int) type))
			return 0;
		if (info[id].minlen && len < info[id].minlen)
			return 0;
		if (info[id].maxlen && len > info[id].maxlen)
			return 0;
		if (info[id].validate && !info[id].validate(&info[id], attr))
			return 0;
	}

	if (!data[id])
		found++;
	data[id] = attr;
	return found;
}

int blob_parse_untrusted(struct blob_attr *attr, size_t attr_len, struct blob_attr **data,
			 const struct blob_attr_info *info, int max)
{
	struct blob_attr *pos;
	size_t rem;
	int found = 0;

	if (max > 0)
		memset(data, 0, sizeof(struct blob_attr *) * (size_t) max);
	if (!attr || attr_len < sizeof(struct blob_attr))
		return 0;
	if (blob_raw_len(attr) < sizeof(struct blob_attr) || blob_raw_len(attr) > attr_len)
		return 0;

	blob_for_each_attr(pos, attr, rem) {
		found += blob_parse_attr(pos, rem, data, info, max);
	}
	return found;
}

int blob_parse(struct blob_attr *attr, struct blob_attr **data,
	       const struct blob_attr_info *info, int max)
{
	if (!attr)
		return 0;
	return blob_parse_untrusted(attr, blob_raw_len(attr), data, info, max);
}

bool blob_attr_equal(const struct blob_attr *a1, const struct blob_attr *a2)
{
	if (!a1 && !a2)
		return true;
	if (!a1 || !a2)
		return false;
	if (blob_pad_len(a1) != blob_pad_len(a2))
		return false;
	return !memcmp(a1, a2, blob_pad_len(a1));
}

struct blob_attr *blob_memdup(struct blob_attr *attr)
{
	struct blob_attr *ret;
	size_t size = blob_pad_len(attr);

	ret = (struct blob_attr *) malloc(size);
	if (!ret)
		return NULL;
	memcpy(ret, attr, size);
	return ret;
}
