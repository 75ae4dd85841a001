#ifndef __UBUS_COMMON_H
#define __UBUS_COMMON_H

#include <libubox/blobmsg.h>

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(x) (sizeof(x) / sizeof((x)[0]))
#endif

/* Signature markers; defined for completeness, never sent. */
#define UBUS_SIGNATURE_METHOD	(BLOBMSG_TYPE_LAST + 1)
#define UBUS_SIGNATURE_END	(BLOBMSG_TYPE_LAST + 2)

/* Socket used when no path is given (broker, clients and the CLI agree on it). */
#ifndef UBUS_UNIX_SOCKET
#define UBUS_UNIX_SOCKET	"/var/run/ubus/ubus.sock"
#endif

#endif
