/* Small helpers shared by the blob, uloop and bus code. */
#ifndef _LIBUBOX_UTILS_H
#define _LIBUBOX_UTILS_H

#include <sys/types.h>
#include <stdint.h>
#include <stdbool.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

#ifndef BIT
#define BIT(x) (1UL << (x))
#endif

#ifndef __packed
#define __packed __attribute__((packed))
#endif

#ifndef __hidden
#define __hidden __attribute__((visibility("hidden")))
#endif

/*
 * One zeroed allocation for a struct plus trailing pieces:
 * calloc_a(sizeof(*s), &p1, len1, &p2, len2) sets p1/p2 into the same block.
 */
void *__calloc_a(size_t len, ...);
#define calloc_a(len, ...) __calloc_a(len, ##__VA_ARGS__, NULL)

#define __ubox_bswap16(x) ((uint16_t) __builtin_bswap16((uint16_t) (x)))
#define __ubox_bswap32(x) ((uint32_t) __builtin_bswap32((uint32_t) (x)))
#define __ubox_bswap64(x) ((uint64_t) __builtin_bswap64((uint64_t) (x)))

#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define cpu_to_be64(x) __ubox_bswap64(x)
#define cpu_to_be32(x) __ubox_bswap32(x)
#define cpu_to_be16(x) __ubox_bswap16(x)
#define be64_to_cpu(x) __ubox_bswap64(x)
#define be32_to_cpu(x) __ubox_bswap32(x)
#define be16_to_cpu(x) __ubox_bswap16(x)
#define cpu_to_le64(x) ((uint64_t) (x))
#define cpu_to_le32(x) ((uint32_t) (x))
#define cpu_to_le16(x) ((uint16_t) (x))
#define le64_to_cpu(x) ((uint64_t) (x))
#define le32_to_cpu(x) ((uint32_t) (x))
#define le16_to_cpu(x) ((uint16_t) (x))
#else
#define cpu_to_be64(x) ((uint64_t) (x))
#define cpu_to_be32(x) ((uint32_t) (x))
#define cpu_to_be16(x) ((uint16_t) (x))
#define be64_to_cpu(x) ((uint64_t) (x))
#define be32_to_cpu(x) ((uint32_t) (x))
#define be16_to_cpu(x) ((uint16_t) (x))
#define cpu_to_le64(x) __ubox_bswap64(x)
#define cpu_to_le32(x) __ubox_bswap32(x)
#define cpu_to_le16(x) __ubox_bswap16(x)
#define le64_to_cpu(x) __ubox_bswap64(x)
#define le32_to_cpu(x) __ubox_bswap32(x)
#define le16_to_cpu(x) __ubox_bswap16(x)
#endif

#ifdef __cplusplus
}
#endif

#endif
