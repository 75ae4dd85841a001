#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <libubox/utils.h>

#define CALLOC_A_ALIGN (sizeof(void *) > 8 ? sizeof(void *) : 8)
#define calloc_a_pad(len) (((len) + CALLOC_A_ALIGN - 1) & ~(CALLOC_A_ALIGN - 1))

void *__calloc_a(size_t len, ...)
{
	va_list ap, ap1;
	void *ret;
	void **cur_addr;
	size_t cur_len;
	size_t alloc_len = calloc_a_pad(len);
	char *ptr;

	va_start(ap, len);
	va_copy(ap1, ap);
	while ((cur_addr = va_arg(ap1, void **)) != NULL) {
		cur_len = va_arg(ap1, size_t);
		alloc_len += calloc_a_pad(cur_len);
	}
	va_end(ap1);

	ptr = calloc(1, alloc_len);
	if (!ptr) {
		va_end(ap);
		return NULL;
	}
	ret = ptr;
	ptr += calloc_a_pad(len);
	while ((cur_addr = va_arg(ap, void **)) != NULL) {
		cur_len = va_arg(ap, size_t);
		*cur_addr = ptr;
		ptr += calloc_a_pad(cur_len);
	}
	va_end(ap);
	return ret;
}
