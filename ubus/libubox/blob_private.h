/* Nesting cookies are offsets (biased so they are never NULL): growth may move the buffer. */
#ifndef _BLOB_PRIVATE_H
#define _BLOB_PRIVATE_H

#include <libubox/blob.h>

static inline struct blob_attr *offset_to_attr(struct blob_buf *buf, unsigned long offset)
{
	return (struct blob_attr *) ((char *) buf->buf + offset - BLOB_COOKIE);
}

static inline unsigned long attr_to_offset(struct blob_buf *buf, struct blob_attr *attr)
{
	return (unsigned long) ((char *) attr - (char *) buf->buf) + BLOB_COOKIE;
}

#endif
