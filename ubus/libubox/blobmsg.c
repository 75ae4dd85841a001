#include <libubox/blobmsg.h>
#include "blob_private.h"

/* blob type used to validate each blobmsg value; 0 = not checked (containers) */
static const int blob_type[__BLOBMSG_TYPE_LAST] = {
	[BLOBMSG_TYPE_INT8] = BLOB_ATTR_INT8,
	[BLOBMSG_TYPE_INT16] = BLOB_ATTR_INT16,
	[BLOBMSG_TYPE_INT32] = BLOB_ATTR_INT32,
	[BLOBMSG_TYPE_INT64] = BLOB_ATTR_INT64,
	[BLOBMSG_TYPE_DOUBLE] = BLOB_ATTR_DOUBLE,
	[BLOBMSG_TYPE_STRING] = BLOB_ATTR_STRING,
	[BLOBMSG_TYPE_UNSPEC] = BLOB_ATTR_BINARY,
};

static bool blobmsg_check_name(const struct blob_attr *attr, bool name)
{
	const struct blobmsg_hdr *hdr;
	uint16_t namelen;

	if (!blob_is_extended(attr))
		return !name;

	if (blob_len(attr) < sizeof(struct blobmsg_hdr))
		return false;

	hdr = (const struct blobmsg_hdr *) blob_data(attr);
	namelen = blobmsg_namelen(hdr);
	if (name && !namelen)
		return false;
	if (blob_len(attr) < (size_t) blobmsg_hdrlen(namelen))
		return false;
	if (hdr->name[namelen] != 0)
		return false;

	return true;
}

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
	const char *data;
	size_t data_len;
	unsigned int id;

	if (len < sizeof(struct blob_attr))
		return false;
	if (blob_raw_len(attr) < sizeof(struct blob_attr) || blob_raw_len(attr) > len)
		return false;

	if (!blobmsg_check_name(attr, name))
		return false;

	id = blob_id(attr);
	if (id > BLOBMSG_TYPE_LAST)
		return false;

	if (!blob_type[id])
		return true;

	data = (const char *) blobmsg_data(attr);
	data_len = blobmsg_data_len(attr);

	return blob_check_type(data, (unsigned int) data_len, blob_type[id]);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t blob_len)
{
	struct blob_attr *cur;
	size_t rem;
	bool name;
	int size = 0;

	if (type > BLOBMSG_TYPE_LAST)
		return -1;

	if (!blobmsg_check_attr_len(attr, false, blob_len))
		return -1;

	switch (blobmsg_type(attr)) {
	case BLOBMSG_TYPE_TABLE:
		name = true;
		break;
	case BLOBMSG_TYPE_ARRAY:
		name = false;
		break;
	default:
		return -1;
	}

	blobmsg_for_each_attr(cur, attr, rem) {
		if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(cur) != type)
			return -1;

		if (!blobmsg_check_attr_len(cur, name, rem))
			return -1;

		size++;
	}

	return size;
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

bool blobmsg_check_attr_list_len(const struct blob_attr *attr, int type, size_t len)
{
	return blobmsg_check_array_len(attr, type, len) >= 0;
}

bool blobmsg_check_attr_list(const struct blob_attr *attr, int type)
{
	return blobmsg_check_array(attr, type) >= 0;
}

static bool blobmsg_type_matches(const struct blob_attr *attr, enum blobmsg_type want)
{
	unsigned int id = blob_id(attr);

	if (want == BLOBMSG_TYPE_UNSPEC)
		return true;
	if (want == BLOBMSG_CAST_INT64)
		return id == BLOBMSG_TYPE_INT64 || id == BLOBMSG_TYPE_INT32 ||
		       id == BLOBMSG_TYPE_INT16 || id == BLOBMSG_TYPE_INT8;
	return id == (unsigned int) want;
}

int blobmsg_parse_array(const struct blobmsg_policy *policy, int policy_len,
			struct blob_attr **tb, void *data, unsigned int len)
{
	struct blob_attr *attr;
	int i = 0;

	if (policy_len > 0)
		memset(tb, 0, (size_t) policy_len * sizeof(*tb));
	if (!data || !len)
		return -EINVAL;

	__blob_for_each_attr(attr, data, len) {
		if (!blobmsg_check_attr_len(attr, false, len))
			return -1;

		if (i >= policy_len)
			break;

		/* positional: a mismatching element leaves its own slot empty */
		if (blobmsg_type_matches(attr, policy[i].type))
			tb[i] = attr;
		i++;
	}

	return 0;
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len)
{
	const struct blobmsg_hdr *hdr;
	struct blob_attr *attr;
	int i;

	if (policy_len > 0)
		memset(tb, 0, (size_t) policy_len * sizeof(*tb));
	if (!data || !len)
		return -EINVAL;

	__blob_for_each_attr(attr, data, len) {
		if (!blobmsg_check_attr_len(attr, false, len))
			return -1;

		if (!blob_is_extended(attr))
			continue;

		hdr = (const struct blobmsg_hdr *) blob_data(attr);
		for (i = 0; i < policy_len; i++) {
			if (!policy[i].name)
				continue;
			if (!blobmsg_type_matches(attr, policy[i].type))
				continue;
			if (tb[i])
				continue;
			if (blobmsg_namelen(hdr) != strlen(policy[i].name))
				continue;
			if (memcmp(policy[i].name, hdr->name, blobmsg_namelen(hdr)) != 0)
				continue;

			tb[i] = attr;
		}
	}

	return 0;
}

static struct blob_attr *blobmsg_new(struct blob_buf *buf, int type, const char *name,
				     int payload_len, void **data)
{
	struct blob_attr *attr;
	struct blobmsg_hdr *hdr;
	size_t namelen;
	int attrlen;
	char *pad_start, *pad_end;

	if (!name)
		name = "";
	namelen = strlen(name);
	if (namelen > 0xffff || payload_len < 0)
		return NULL;

	attrlen = blobmsg_hdrlen((unsigned int) namelen) + payload_len;
	attr = blob_new(buf, type, attrlen);
	if (!attr)
		return NULL;

	attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
	hdr = (struct blobmsg_hdr *) blob_data(attr);
	hdr->namelen = cpu_to_be16((uint16_t) namelen);
	memcpy(hdr->name, name, namelen);
	hdr->name[namelen] = '\0';

	pad_end = (char *) blobmsg_data(attr);
	pad_start = (char *) &hdr->name[namelen];
	if (pad_start < pad_end)
		memset(pad_start, 0, (size_t) (pad_end - pad_start));
	*data = pad_end;

	return attr;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
	struct blob_attr *head;
	int type = array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE;
	unsigned long offset;
	void *data;

	if (!buf->head)
		return NULL;
	offset = attr_to_offset(buf, buf->head);
	if (!name)
		name = "";

	head = blobmsg_new(buf, type, name, 0, &data);
	if (!head)
		return NULL;
	/* closing adds the whole child incl. its name header back to the parent */
	blob_set_raw_len(buf->head, (unsigned int) (blob_pad_len(buf->head) -
			 (size_t) blobmsg_hdrlen((unsigned int) strlen(name))));
	buf->head = head;
	return (void *) offset;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
		      const void *data, unsigned int len)
{
	struct blob_attr *attr;
	void *data_dest;

	if (len > BLOB_ATTR_LEN_MASK)
		return -1;
	attr = blobmsg_new(buf, type, name, (int) len, &data_dest);
	if (!attr)
		return -1;

	if (len > 0)
		memcpy(data_dest, data, len);

	return 0;
}

int blobmsg_add_double(struct blob_buf *buf, const char *name, double val)
{
	union {
		double d;
		uint64_t u64;
	} v;

	v.d = val;
	v.u64 = cpu_to_be64(v.u64);
	return blobmsg_add_field(buf, BLOBMSG_TYPE_DOUBLE, name, &v.u64, 8);
}
