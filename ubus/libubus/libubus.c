#define _GNU_SOURCE
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "libubus.h"

#define UBUS_HDR_LEN	((uint32_t) sizeof(struct ubus_msghdr))
/* header plus the root attribute's header word: what is read first */
#define UBUS_PEEK_LEN	(UBUS_HDR_LEN + (uint32_t) sizeof(struct blob_attr))
/* INVOKEs held back during synchronous calls; more than this is refused */
#define UBUS_PENDING_MAX	(4 * UBUS_MAX_MSGLEN)

struct ubus_pending_msg {
	struct list_head list;
	struct ubus_msghdr hdr;
	uint32_t size;
	uint8_t data[];
};

/* What this library reads from a message; anything failing its check counts as absent. */
static const struct blob_attr_info ubus_policy[UBUS_ATTR_MAX] = {
	[UBUS_ATTR_STATUS] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_OBJPATH] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_OBJID] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_METHOD] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_OBJTYPE] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_SIGNATURE] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_DATA] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_TARGET] = { .type = BLOB_ATTR_INT32 },
	[UBUS_ATTR_ACTIVE] = { .type = BLOB_ATTR_INT8 },
	[UBUS_ATTR_NO_REPLY] = { .type = BLOB_ATTR_INT8 },
	[UBUS_ATTR_SUBSCRIBERS] = { .type = BLOB_ATTR_NESTED },
	[UBUS_ATTR_USER] = { .type = BLOB_ATTR_STRING },
	[UBUS_ATTR_GROUP] = { .type = BLOB_ATTR_STRING },
};

static const char *const __ubus_strerror[__UBUS_STATUS_LAST] = {
	[UBUS_STATUS_OK] = "Success",
	[UBUS_STATUS_INVALID_COMMAND] = "Invalid command",
	[UBUS_STATUS_INVALID_ARGUMENT] = "Invalid argument",
	[UBUS_STATUS_METHOD_NOT_FOUND] = "Method not found",
	[UBUS_STATUS_NOT_FOUND] = "Not found",
	[UBUS_STATUS_NO_DATA] = "No response",
	[UBUS_STATUS_PERMISSION_DENIED] = "Permission denied",
	[UBUS_STATUS_TIMEOUT] = "Request timed out",
	[UBUS_STATUS_NOT_SUPPORTED] = "Operation not supported",
	[UBUS_STATUS_UNKNOWN_ERROR] = "Unknown error",
	[UBUS_STATUS_CONNECTION_FAILED] = "Connection failed",
	[UBUS_STATUS_NO_MEMORY] = "Out of memory",
	[UBUS_STATUS_PARSE_ERROR] = "Parsing message data failed",
	[UBUS_STATUS_SYSTEM_ERROR] = "System error",
};

const char *ubus_strerror(int error)
{
	static char err[32];

	if (error < 0 || error >= __UBUS_STATUS_LAST)
		goto out;
	if (!__ubus_strerror[error])
		goto out;
	return __ubus_strerror[error];
out:
	snprintf(err, sizeof(err), "Unknown error: %d", error);
	return err;
}

static void ubus_parse_msg(struct blob_attr *root, struct blob_attr **tb)
{
	blob_parse_untrusted(root, blob_raw_len(root), tb, ubus_policy, UBUS_ATTR_MAX);
}

static int ubus_cmp_id(const void *k1, const void *k2, void *ptr)
{
	const uint32_t *id1 = (const uint32_t *) k1, *id2 = (const uint32_t *) k2;

	(void) ptr;
	if (*id1 < *id2)
		return -1;
	return *id1 > *id2;
}

static struct ubus_object *ubus_find_object(struct ubus_context *ctx, uint32_t id)
{
	struct avl_node *node = avl_find(&ctx->objects, &id);

	return node ? container_of(node, struct ubus_object, avl) : NULL;
}

static bool ubus_object_indexed(struct ubus_context *ctx, struct ubus_object *obj)
{
	struct avl_node *node;

	list_for_each_entry(node, &ctx->objects.list_head, list) {
		if (node == &obj->avl)
			return true;
	}
	return false;
}

/* ---- sending ---- */

/* A broker that takes none of a message for this long is stuck; the write
 * gives up rather than hold the program (and its SIGTERM) for ever. */
#define UBUS_WRITE_TIMEOUT_MS	5000
/* Waits for room in slices, so a stop requested just before a slice begins
 * is seen within this time. */
#define UBUS_WAIT_SLICE_MS	100

static int64_t ubus_now_ms(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* 0 once the socket takes data; -1 after the deadline, on an error, or when
 * a stop has been requested (uloop_cancelled): then nobody waits for room. */
static int ubus_wait_writable(int fd, int64_t deadline)
{
	struct pollfd pfd = { .fd = fd, .events = POLLOUT };

	for (;;) {
		int64_t left = deadline - ubus_now_ms();
		int r;

		if (uloop_cancelled || left <= 0)
			return -1;
		r = poll(&pfd, 1, left > UBUS_WAIT_SLICE_MS ? UBUS_WAIT_SLICE_MS : (int) left);
		if (r < 0 && errno != EINTR)
			return -1;
		if (r <= 0)
			continue;
		if (pfd.revents & POLLOUT)
			return 0;
		if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL))
			return -1;
	}
}

static void ubus_update_write_interest(struct ubus_context *ctx)
{
	unsigned int flags = ctx->sock.flags & ~ULOOP_WRITE;

	if (!ctx->sock.registered || ctx->dead)
		return;
	if (ctx->tx_tail_len)
		flags |= ULOOP_WRITE;
	if (flags != ctx->sock.flags)
		uloop_fd_add(&ctx->sock, flags);
}

/* Writes what is left of a message that an earlier write had to leave
 * unfinished. 0 once it has all gone, -1 while some remains. */
static int ubus_flush_tail(struct ubus_context *ctx, bool wait)
{
	int64_t deadline = ubus_now_ms() + UBUS_WRITE_TIMEOUT_MS;

	while (ctx->tx_tail_off < ctx->tx_tail_len) {
		ssize_t w = send(ctx->sock.fd, ctx->tx_tail + ctx->tx_tail_off,
				 ctx->tx_tail_len - ctx->tx_tail_off, MSG_NOSIGNAL | MSG_DONTWAIT);

		if (w > 0) {
			ctx->tx_tail_off += (uint32_t) w;
			deadline = ubus_now_ms() + UBUS_WRITE_TIMEOUT_MS;
			continue;
		}
		if (w < 0 && errno == EINTR)
			continue;
		if (!wait || (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
		    ubus_wait_writable(ctx->sock.fd, deadline) < 0)
			return -1;
	}
	free(ctx->tx_tail);
	ctx->tx_tail = NULL;
	ctx->tx_tail_len = ctx->tx_tail_off = 0;
	ubus_update_write_interest(ctx);
	return 0;
}

/* Keeps the unwritten rest of a started message, so the stream stays framed;
 * it goes out before anything else. */
static int ubus_keep_tail(struct ubus_context *ctx, const struct iovec *iov, int iovcnt)
{
	size_t len = 0, off = 0;
	int i;

	for (i = 0; i < iovcnt; i++)
		len += iov[i].iov_len;
	ctx->tx_tail = (uint8_t *) malloc(len);
	if (!ctx->tx_tail)
		return -1;
	for (i = 0; i < iovcnt; i++) {
		memcpy(ctx->tx_tail + off, iov[i].iov_base, iov[i].iov_len);
		off += iov[i].iov_len;
	}
	ctx->tx_tail_len = (uint32_t) len;
	ctx->tx_tail_off = 0;
	ubus_update_write_interest(ctx);
	return 0;
}

static void ubus_connection_failed(struct ubus_context *ctx);

/* Writes one message, waiting for room at most UBUS_WRITE_TIMEOUT_MS without
 * progress and not at all once a stop is requested. A message that could not
 * be started fails (-1); one that was started is finished later. */
static int ubus_write_all(struct ubus_context *ctx, struct iovec *iov, int iovcnt)
{
	int64_t deadline = ubus_now_ms() + UBUS_WRITE_TIMEOUT_MS;
	bool started = false;

	if (ctx->tx_tail && ubus_flush_tail(ctx, true) < 0)
		return -1;
	while (iovcnt > 0) {
		struct msghdr mh;
		ssize_t w;

		memset(&mh, 0, sizeof(mh));
		mh.msg_iov = iov;
		mh.msg_iovlen = (size_t) iovcnt;
		/* a vanished broker must not kill a program that kept SIGPIPE */
		w = sendmsg(ctx->sock.fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
		if (w < 0) {
			if (errno == EINTR)
				continue;
			if (errno != EAGAIN && errno != EWOULDBLOCK)
				return -1;
			if (ubus_wait_writable(ctx->sock.fd, deadline) == 0)
				continue;
			if (!started)
				return -1;
			if (ubus_keep_tail(ctx, iov, iovcnt) < 0) {
				/* half a message cannot be taken back */
				ubus_connection_failed(ctx);
				return -1;
			}
			return 0;
		}
		started = true;
		deadline = ubus_now_ms() + UBUS_WRITE_TIMEOUT_MS;
		while (iovcnt > 0 && (size_t) w >= iov->iov_len) {
			w -= (ssize_t) iov->iov_len;
			iov++;
			iovcnt--;
		}
		if (iovcnt > 0) {
			iov->iov_base = (char *) iov->iov_base + w;
			iov->iov_len -= (size_t) w;
		}
	}
	return 0;
}

static int ubus_send_msg(struct ubus_context *ctx, uint32_t seq, struct blob_attr *msg,
			 int cmd, uint32_t peer)
{
	struct ubus_msghdr hdr;
	struct iovec iov[2];

	if (ctx->dead || ctx->sock.fd < 0 || !msg)
		return -1;
	if (blob_pad_len(msg) > UBUS_MAX_MSGLEN)
		return -1;

	hdr.version = 0;
	hdr.type = (uint8_t) cmd;
	hdr.seq = cpu_to_be16((uint16_t) seq);
	hdr.peer = cpu_to_be32(peer);

	iov[0].iov_base = &hdr;
	iov[0].iov_len = sizeof(hdr);
	iov[1].iov_base = msg;
	iov[1].iov_len = blob_raw_len(msg);
	return ubus_write_all(ctx, iov, 2);
}

/* ---- receiving ---- */

static void ubus_fail_async_requests(struct ubus_context *ctx);

static void ubus_connection_failed(struct ubus_context *ctx)
{
	if (ctx->dead)
		return;
	ctx->dead = true;
	ctx->sock.eof = true;
	/* tell the broker too, in case we gave up because of a malformed message */
	if (ctx->sock.fd >= 0)
		shutdown(ctx->sock.fd, SHUT_RDWR);
	ubus_fail_async_requests(ctx);
	if (ctx->connection_lost)
		ctx->connection_lost(ctx);
}

static bool ubus_rx_reserve(struct ubus_context *ctx, uint32_t size)
{
	uint8_t *p;

	if (ctx->rx_size >= size)
		return true;
	if (size < UBUS_MSG_CHUNK_SIZE)
		size = UBUS_MSG_CHUNK_SIZE;
	p = (uint8_t *) realloc(ctx->rx_buf, size);
	if (!p)
		return false;
	ctx->rx_buf = p;
	ctx->rx_size = size;
	return true;
}

/* 1: a whole message is buffered; 0: nothing more to read now; -1: connection unusable. */
static int ubus_read_msg(struct ubus_context *ctx)
{
	for (;;) {
		uint32_t want = UBUS_PEEK_LEN;
		struct blob_attr *root;
		ssize_t r;

		if (ctx->rx_have >= UBUS_PEEK_LEN) {
			root = (struct blob_attr *) (ctx->rx_buf + UBUS_HDR_LEN);
			want = UBUS_HDR_LEN + (uint32_t) blob_raw_len(root);
			if (ctx->rx_have >= want)
				return 1;
		}

		if (!ubus_rx_reserve(ctx, want))
			return -1;

		r = recv(ctx->sock.fd, ctx->rx_buf + ctx->rx_have, want - ctx->rx_have, MSG_DONTWAIT);
		if (r == 0)
			return -1;
		if (r < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK)
				return 0;
			return -1;
		}
		ctx->rx_have += (uint32_t) r;

		if (ctx->rx_have == UBUS_PEEK_LEN) {
			struct ubus_msghdr *hdr = (struct ubus_msghdr *) ctx->rx_buf;
			size_t pad;

			root = (struct blob_attr *) (ctx->rx_buf + UBUS_HDR_LEN);
			pad = blob_pad_len(root);
			/* a bad header breaks the framing: nothing after it can be trusted */
			if (hdr->version != 0 || blob_raw_len(root) < sizeof(struct blob_attr) ||
			    pad > UBUS_MAX_MSGLEN)
				return -1;
			/* room for the padding too, zeroed, so walking the root stays inside */
			if (!ubus_rx_reserve(ctx, UBUS_HDR_LEN + (uint32_t) pad))
				return -1;
			root = (struct blob_attr *) (ctx->rx_buf + UBUS_HDR_LEN);
			memset(ctx->rx_buf + UBUS_HDR_LEN + blob_raw_len(root), 0,
			       pad - blob_raw_len(root));
		}
	}
}

static void ubus_process_msg(struct ubus_context *ctx, struct ubus_msghdr *hdr,
			     struct blob_attr *root);

/* Hands the buffered message out; nested reads during its handling use a fresh buffer. */
static void ubus_dispatch_rx(struct ubus_context *ctx)
{
	uint8_t *msg = ctx->rx_buf;
	uint32_t size = ctx->rx_size;
	struct ubus_msghdr hdr;

	ctx->rx_buf = NULL;
	ctx->rx_size = 0;
	ctx->rx_have = 0;

	memcpy(&hdr, msg, sizeof(hdr));
	hdr.seq = be16_to_cpu(hdr.seq);
	hdr.peer = be32_to_cpu(hdr.peer);
	ubus_process_msg(ctx, &hdr, (struct blob_attr *) (msg + UBUS_HDR_LEN));

	if (!ctx->rx_buf && size <= UBUS_MSG_CHUNK_SIZE) {
		ctx->rx_buf = msg;
		ctx->rx_size = size;
	} else {
		free(msg);
	}
}

static int ubus_read_dispatch(struct ubus_context *ctx, struct ubus_request *until,
			      bool stop_on_cancel)
{
	for (;;) {
		int r;

		if (ctx->dead)
			return -1;
		if (until && until->status_msg)
			return 0;
		if (stop_on_cancel && uloop_cancelling())
			return 0;
		r = ubus_read_msg(ctx);
		if (r <= 0)
			return r;
		ubus_dispatch_rx(ctx);
	}
}

static void ubus_handle_data(struct uloop_fd *u, unsigned int events)
{
	struct ubus_context *ctx = container_of(u, struct ubus_context, sock);

	(void) events;
	if (ctx->dead) {
		/* connection_lost did not end the loop: stop polling a dead socket */
		uloop_fd_delete(u);
		return;
	}
	if (ctx->tx_tail)
		ubus_flush_tail(ctx, false);
	if (ubus_read_dispatch(ctx, NULL, true) < 0)
		ubus_connection_failed(ctx);
}

static void ubus_default_connection_lost(struct ubus_context *ctx)
{
	if (ctx->sock.registered)
		uloop_end();
}

/* ---- queued INVOKEs ---- */

/* No room to hold a call until the synchronous request ends: its caller
 * hears so at once rather than waiting for an answer that never comes. */
static void ubus_refuse_invoke(struct ubus_context *ctx, struct ubus_msghdr *hdr,
			       struct blob_attr *root)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	struct ubus_request_data req;

	ubus_parse_msg(root, tb);
	if (!tb[UBUS_ATTR_OBJID] || (tb[UBUS_ATTR_NO_REPLY] && blob_get_int8(tb[UBUS_ATTR_NO_REPLY])))
		return;
	memset(&req, 0, sizeof(req));
	req.peer = hdr->peer;
	req.seq = hdr->seq;
	req.object = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	ubus_complete_deferred_request(ctx, &req, UBUS_STATUS_NO_MEMORY);
}

static void ubus_queue_msg(struct ubus_context *ctx, struct ubus_msghdr *hdr,
			   struct blob_attr *root)
{
	struct ubus_pending_msg *pending = NULL;
	uint32_t size = (uint32_t) blob_pad_len(root);

	if (ctx->pending_bytes + size <= UBUS_PENDING_MAX)
		pending = (struct ubus_pending_msg *) calloc(1, sizeof(*pending) + size);
	if (!pending) {
		ubus_refuse_invoke(ctx, hdr, root);
		return;
	}
	pending->hdr = *hdr;
	pending->size = size;
	memcpy(pending->data, root, size);
	ctx->pending_bytes += size;
	list_add_tail(&pending->list, &ctx->pending);
}

static void ubus_drain_pending(struct ubus_context *ctx)
{
	if (ctx->draining)
		return;
	ctx->draining = true;
	while (!ctx->stack_depth && !ctx->dead && !list_empty(&ctx->pending)) {
		struct ubus_pending_msg *pending =
			list_first_entry(&ctx->pending, struct ubus_pending_msg, list);

		list_del(&pending->list);
		ctx->pending_bytes -= pending->size;
		ubus_process_msg(ctx, &pending->hdr, (struct blob_attr *) pending->data);
		free(pending);
	}
	ctx->draining = false;
}

static void ubus_process_pending_msg(struct uloop_timeout *timeout)
{
	ubus_drain_pending(container_of(timeout, struct ubus_context, pending_timer));
}

static void ubus_schedule_pending(struct ubus_context *ctx)
{
	if (ctx->stack_depth || list_empty(&ctx->pending))
		return;
	if (ctx->sock.registered)
		uloop_timeout_set(&ctx->pending_timer, 1);
	else
		ubus_drain_pending(ctx);
}

/* ---- serving our objects ---- */

void ubus_complete_deferred_request(struct ubus_context *ctx, struct ubus_request_data *req,
				    int ret)
{
	struct blob_buf *b = &ctx->txbuf;

	blob_buf_init(b, 0);
	blob_put_int32(b, UBUS_ATTR_STATUS, (uint32_t) ret);
	blob_put_int32(b, UBUS_ATTR_OBJID, req->object);
	ubus_send_msg(ctx, req->seq, b->head, UBUS_MSG_STATUS, req->peer);
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
		    struct blob_attr *msg)
{
	struct blob_buf *b = &ctx->txbuf;

	blob_buf_init(b, 0);
	blob_put_int32(b, UBUS_ATTR_OBJID, req->object);
	if (!blob_put(b, UBUS_ATTR_DATA, msg ? blob_data(msg) : NULL,
		      msg ? (unsigned int) blob_len(msg) : 0))
		return UBUS_STATUS_NO_DATA;
	if (ubus_send_msg(ctx, req->seq, b->head, UBUS_MSG_DATA, req->peer) < 0)
		return UBUS_STATUS_NO_DATA;
	return 0;
}

static void ubus_process_invoke(struct ubus_context *ctx, struct ubus_msghdr *hdr,
				struct blob_attr *root)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	struct ubus_request_data req;
	const struct ubus_method *m = NULL;
	struct ubus_object *obj;
	const char *method;
	bool no_reply = false;
	int i, ret;

	ubus_parse_msg(root, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;

	memset(&req, 0, sizeof(req));
	req.fd = -1;
	req.req_fd = -1;
	/* address even early errors to the caller, so it is not left waiting */
	req.peer = hdr->peer;
	req.seq = hdr->seq;
	req.object = blob_get_u32(tb[UBUS_ATTR_OBJID]);

	obj = ubus_find_object(ctx, req.object);
	if (!obj) {
		ret = UBUS_STATUS_NOT_FOUND;
		goto send;
	}

	if (!tb[UBUS_ATTR_METHOD]) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
		goto send;
	}

	if (tb[UBUS_ATTR_NO_REPLY])
		no_reply = blob_get_int8(tb[UBUS_ATTR_NO_REPLY]);

	req.object = obj->id;
	if (tb[UBUS_ATTR_USER] && tb[UBUS_ATTR_GROUP]) {
		req.acl.user = blob_get_string(tb[UBUS_ATTR_USER]);
		req.acl.group = blob_get_string(tb[UBUS_ATTR_GROUP]);
	}
	req.acl.object = obj->name;

	method = blob_get_string(tb[UBUS_ATTR_METHOD]);
	for (i = 0; i < obj->n_methods; i++) {
		if (!obj->methods[i].name || !strcmp(obj->methods[i].name, method)) {
			m = &obj->methods[i];
			break;
		}
	}

	if (!m || !m->handler) {
		ret = UBUS_STATUS_METHOD_NOT_FOUND;
		goto send;
	}

	if (!tb[UBUS_ATTR_DATA]) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
		goto send;
	}

	ret = m->handler(ctx, obj, &req, method, tb[UBUS_ATTR_DATA]);
	if (req.deferred || no_reply)
		return;

send:
	ubus_complete_deferred_request(ctx, &req, ret);
}

/* ---- our own requests ---- */

static void ubus_process_req_msg(struct ubus_context *ctx, struct ubus_msghdr *hdr,
				 struct blob_attr *root)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	struct ubus_request *req = NULL, *cur;

	list_for_each_entry(cur, &ctx->requests, list) {
		if (cur->seq == hdr->seq && cur->peer == hdr->peer) {
			req = cur;
			break;
		}
	}
	if (!req)
		return;

	ubus_parse_msg(root, tb);
	if (hdr->type == UBUS_MSG_STATUS) {
		req->status_code = tb[UBUS_ATTR_STATUS] ?
			blob_get_int32(tb[UBUS_ATTR_STATUS]) : UBUS_STATUS_INVALID_ARGUMENT;
		req->status_msg = true;
		/* later DATA for the same request is ignored */
		list_del_init(&req->list);
		if (req->complete_cb)
			req->complete_cb(req, req->status_code);
		return;
	}

	if (req->raw_data_cb)
		req->raw_data_cb(req, UBUS_MSG_DATA, root);
	if (req->data_cb && tb[UBUS_ATTR_DATA])
		req->data_cb(req, UBUS_MSG_DATA, tb[UBUS_ATTR_DATA]);
}

static void ubus_process_msg(struct ubus_context *ctx, struct ubus_msghdr *hdr,
			     struct blob_attr *root)
{
	switch (hdr->type) {
	case UBUS_MSG_STATUS:
	case UBUS_MSG_DATA:
		ubus_process_req_msg(ctx, hdr, root);
		break;
	case UBUS_MSG_INVOKE:
		if (ctx->stack_depth) {
			ubus_queue_msg(ctx, hdr, root);
			break;
		}
		ctx->stack_depth++;
		ubus_process_invoke(ctx, hdr, root);
		ctx->stack_depth--;
		ubus_schedule_pending(ctx);
		break;
	default:
		break;
	}
}

static int ubus_start_request(struct ubus_context *ctx, struct ubus_request *req,
			      struct blob_attr *msg, int cmd, uint32_t peer)
{
	memset(req, 0, sizeof(*req));
	INIT_LIST_HEAD(&req->list);
	INIT_LIST_HEAD(&req->pending);
	req->fd = -1;
	req->ctx = ctx;
	req->peer = peer;
	req->seq = ++ctx->request_seq;
	/* a stop requested from here on ends the wait for the answer */
	ctx->stop_before_request = uloop_cancelled;

	if (!msg || ubus_send_msg(ctx, req->seq, msg, cmd, peer) < 0)
		return -1;
	list_add(&req->list, &ctx->requests);
	return 0;
}

/* Waits for the request's STATUS by polling the socket itself; timeout 0 = forever.
 * A stop requested while it waits (uloop_cancelled set, or a signal arriving
 * once it is set) ends the wait with UBUS_STATUS_TIMEOUT. */
static int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout)
{
	int64_t deadline = timeout > 0 ? ubus_now_ms() + timeout : 0;
	bool stopped_before = ctx->stop_before_request;
	int ret = UBUS_STATUS_TIMEOUT;

	req->blocked = true;
	ctx->stack_depth++;
	for (;;) {
		struct pollfd pfd = { .fd = ctx->sock.fd, .events = POLLIN };
		int wait = UBUS_WAIT_SLICE_MS;

		if (ctx->tx_tail && ubus_flush_tail(ctx, false) < 0)
			pfd.events |= POLLOUT;
		if (ubus_read_dispatch(ctx, req, false) < 0) {
			ubus_connection_failed(ctx);
			ret = UBUS_STATUS_CONNECTION_FAILED;
			break;
		}
		if (req->status_msg)
			break;
		if (uloop_cancelled && !stopped_before)
			break;
		if (timeout > 0) {
			int64_t left = deadline - ubus_now_ms();

			if (left <= 0)
				break;
			if (left < wait)
				wait = (int) left;
		}
		if (poll(&pfd, 1, wait) < 0) {
			if (errno == EINTR && uloop_cancelled)
				break;
			if (errno != EINTR) {
				ubus_connection_failed(ctx);
				ret = UBUS_STATUS_CONNECTION_FAILED;
				break;
			}
		}
	}
	ctx->stack_depth--;

	if (!req->status_msg)
		list_del_init(&req->list);
	else
		ret = req->status_code;

	ubus_schedule_pending(ctx);
	return ret;
}

struct ubus_add_object_state {
	struct ubus_object *obj;
	bool got_id;
};

static void ubus_add_object_cb(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct ubus_add_object_state *state = (struct ubus_add_object_state *) req->priv;
	struct ubus_object *obj = state->obj;
	struct blob_attr *tb[UBUS_ATTR_MAX];

	(void) type;
	ubus_parse_msg(msg, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;

	if (ubus_object_indexed(req->ctx, obj))
		avl_delete(&req->ctx->objects, &obj->avl);
	obj->id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
		obj->type->id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
	obj->avl.key = &obj->id;
	avl_insert(&req->ctx->objects, &obj->avl);
	state->got_id = true;
}

static bool ubus_push_object_type(struct blob_buf *b, const struct ubus_object_type *type)
{
	void *sig, *tbl;
	int i, j;

	sig = blob_nest_start(b, UBUS_ATTR_SIGNATURE);
	if (!sig)
		return false;
	for (i = 0; i < type->n_methods; i++) {
		const struct ubus_method *m = &type->methods[i];

		tbl = blobmsg_open_table(b, m->name);
		if (!tbl)
			return false;
		for (j = 0; j < m->n_policy; j++) {
			if (m->mask && (j >= (int) (8 * sizeof(m->mask)) || !(m->mask & (1UL << j))))
				continue;
			if (blobmsg_add_u32(b, m->policy[j].name, m->policy[j].type) < 0)
				return false;
		}
		blobmsg_close_table(b, tbl);
	}
	blob_nest_end(b, sig);
	return true;
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	struct blob_buf *b = &ctx->txbuf;
	struct ubus_add_object_state state = { obj, false };
	struct ubus_request req;
	int ret;

	if (blob_buf_init(b, 0) < 0)
		return UBUS_STATUS_NO_MEMORY;
	if (obj->name && obj->type) {
		if (!blob_put_string(b, UBUS_ATTR_OBJPATH, obj->name))
			return UBUS_STATUS_INVALID_ARGUMENT;
		if (obj->type->id) {
			blob_put_int32(b, UBUS_ATTR_OBJTYPE, obj->type->id);
		} else if (!ubus_push_object_type(b, obj->type)) {
			return UBUS_STATUS_INVALID_ARGUMENT;
		}
	}

	if (ubus_start_request(ctx, &req, b->head, UBUS_MSG_ADD_OBJECT, 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	req.raw_data_cb = ubus_add_object_cb;
	req.priv = &state;

	ret = ubus_complete_request(ctx, &req, 0);
	if (ret)
		return ret;
	if (!state.got_id)
		return UBUS_STATUS_NO_DATA;
	return 0;
}

static void ubus_remove_object_cb(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct ubus_object *obj = (struct ubus_object *) req->priv;
	struct blob_attr *tb[UBUS_ATTR_MAX];

	(void) type;
	ubus_parse_msg(msg, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;
	if (ubus_object_indexed(req->ctx, obj))
		avl_delete(&req->ctx->objects, &obj->avl);
	obj->id = 0;
	if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
		obj->type->id = 0;
}

int ubus_remove_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	struct blob_buf *b = &ctx->txbuf;
	struct ubus_request req;

	if (blob_buf_init(b, 0) < 0)
		return UBUS_STATUS_NO_MEMORY;
	blob_put_int32(b, UBUS_ATTR_OBJID, obj->id);
	if (ubus_start_request(ctx, &req, b->head, UBUS_MSG_REMOVE_OBJECT, 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	req.raw_data_cb = ubus_remove_object_cb;
	req.priv = obj;
	return ubus_complete_request(ctx, &req, 0);
}

static void ubus_lookup_cb(struct ubus_request *ureq, int type, struct blob_attr *msg)
{
	struct ubus_lookup_request *req = container_of(ureq, struct ubus_lookup_request, req);
	struct blob_attr *tb[UBUS_ATTR_MAX];
	struct ubus_object_data obj;

	(void) type;
	ubus_parse_msg(msg, tb);
	if (!tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_OBJPATH] || !tb[UBUS_ATTR_OBJTYPE])
		return;

	memset(&obj, 0, sizeof(obj));
	obj.id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	obj.path = blob_get_string(tb[UBUS_ATTR_OBJPATH]);
	obj.type_id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
	obj.signature = tb[UBUS_ATTR_SIGNATURE];
	if (req->cb)
		req->cb(ureq->ctx, &obj, ureq->priv);
}

int ubus_lookup(struct ubus_context *ctx, const char *path,
		ubus_lookup_handler_t cb, void *priv)
{
	struct blob_buf *b = &ctx->txbuf;
	struct ubus_lookup_request lookup;

	if (blob_buf_init(b, 0) < 0)
		return UBUS_STATUS_NO_MEMORY;
	if (path && !blob_put_string(b, UBUS_ATTR_OBJPATH, path))
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (ubus_start_request(ctx, &lookup.req, b->head, UBUS_MSG_LOOKUP, 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	lookup.req.raw_data_cb = ubus_lookup_cb;
	lookup.req.priv = priv;
	lookup.cb = cb;
	return ubus_complete_request(ctx, &lookup.req, 0);
}

int ubus_lookup_async(struct ubus_context *ctx, const char *path,
		      ubus_lookup_handler_t cb, struct ubus_lookup_request *req)
{
	struct blob_buf *b = &ctx->txbuf;

	memset(req, 0, sizeof(*req));
	INIT_LIST_HEAD(&req->req.list);
	if (blob_buf_init(b, 0) < 0)
		return UBUS_STATUS_NO_MEMORY;
	if (path && !blob_put_string(b, UBUS_ATTR_OBJPATH, path))
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (ubus_start_request(ctx, &req->req, b->head, UBUS_MSG_LOOKUP, 0) < 0)
		return UBUS_STATUS_CONNECTION_FAILED;
	req->req.raw_data_cb = ubus_lookup_cb;
	req->cb = cb;
	return 0;
}

static void ubus_lookup_id_cb(struct ubus_request *req, int type, struct blob_attr *msg)
{
	struct blob_attr *tb[UBUS_ATTR_MAX];
	uint32_t *id = (uint32_t *) req->priv;

	(void) type;
	ubus_parse_msg(msg, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;
	*id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
	struct blob_buf *b = &ctx->txbuf;
	struct ubus_request req;

	if (blob_buf_init(b, 0) < 0)
		return UBUS_STATUS_NO_MEMORY;
	if (path && !blob_put_string(b, UBUS_ATTR_OBJPATH, path))
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (ubus_start_request(ctx, &req, b->head, UBUS_MSG_LOOKUP, 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	req.raw_data_cb = ubus_lookup_id_cb;
	req.priv = id;
	return ubus_complete_request(ctx, &req, 0);
}

/* Builds the INVOKE for ubus_invoke and ubus_invoke_async in ctx->txbuf. */
static struct blob_attr *ubus_build_invoke(struct ubus_context *ctx, uint32_t obj,
					   const char *method, struct blob_attr *msg)
{
	struct blob_buf *b = &ctx->txbuf;

	if (!method || blob_buf_init(b, 0) < 0)
		return NULL;
	blob_put_int32(b, UBUS_ATTR_OBJID, obj);
	blob_put_string(b, UBUS_ATTR_METHOD, method);
	/* always present; empty when there are no arguments */
	if (!blob_put(b, UBUS_ATTR_DATA, msg ? blob_data(msg) : NULL,
		      msg ? (unsigned int) blob_len(msg) : 0))
		return NULL;
	return b->head;
}

int ubus_invoke_async(struct ubus_context *ctx, uint32_t obj, const char *method,
		      struct blob_attr *msg, struct ubus_request *req)
{
	struct blob_attr *invoke = ubus_build_invoke(ctx, obj, method, msg);

	if (!invoke) {
		memset(req, 0, sizeof(*req));
		INIT_LIST_HEAD(&req->list);
		return UBUS_STATUS_INVALID_ARGUMENT;
	}
	if (ubus_start_request(ctx, req, invoke, UBUS_MSG_INVOKE, obj) < 0)
		return UBUS_STATUS_CONNECTION_FAILED;
	return 0;
}

/* The request is already waiting since ubus_invoke_async sent it. */
void ubus_complete_request_async(struct ubus_context *ctx, struct ubus_request *req)
{
	(void) ctx;
	(void) req;
}

void ubus_abort_request(struct ubus_context *ctx, struct ubus_request *req)
{
	(void) ctx;
	list_del_init(&req->list);
	req->cancelled = true;
}

/* Nobody will answer: the waiting asynchronous requests end now. */
static void ubus_fail_async_requests(struct ubus_context *ctx)
{
	for (;;) {
		struct ubus_request *req = NULL, *cur;

		list_for_each_entry(cur, &ctx->requests, list) {
			if (!cur->blocked) {
				req = cur;
				break;
			}
		}
		if (!req)
			return;
		/* unlinked first: the callback may free or reuse the request */
		list_del_init(&req->list);
		req->status_code = UBUS_STATUS_TIMEOUT;
		req->status_msg = true;
		if (req->complete_cb)
			req->complete_cb(req, UBUS_STATUS_TIMEOUT);
	}
}

int ubus_invoke(struct ubus_context *ctx, uint32_t obj, const char *method,
		struct blob_attr *msg, ubus_data_handler_t cb, void *priv, int timeout)
{
	struct blob_buf *b = &ctx->txbuf;
	struct ubus_request req;

	if (!method || blob_buf_init(b, 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	blob_put_int32(b, UBUS_ATTR_OBJID, obj);
	blob_put_string(b, UBUS_ATTR_METHOD, method);
	/* always present; empty when there are no arguments */
	if (!blob_put(b, UBUS_ATTR_DATA, msg ? blob_data(msg) : NULL,
		      msg ? (unsigned int) blob_len(msg) : 0))
		return UBUS_STATUS_INVALID_ARGUMENT;

	if (ubus_start_request(ctx, &req, b->head, UBUS_MSG_INVOKE, obj) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	req.data_cb = cb;
	req.priv = priv;
	return ubus_complete_request(ctx, &req, timeout);
}

/* ---- events ---- */

/* Every event reaches the listener object as a call named after the event. */
static int ubus_event_cb(struct ubus_context *ctx, struct ubus_object *obj,
			 struct ubus_request_data *req, const char *method,
			 struct blob_attr *msg)
{
	struct ubus_event_handler *ev = container_of(obj, struct ubus_event_handler, obj);

	(void) req;
	if (ev->cb)
		ev->cb(ctx, ev, method, msg);
	return 0;
}

static const struct ubus_method ubus_event_method = {
	.name = NULL,
	.handler = ubus_event_cb,
};

int ubus_register_event_handler(struct ubus_context *ctx, struct ubus_event_handler *ev,
				const char *pattern)
{
	struct ubus_object *obj = &ev->obj;
	struct blob_buf b2;
	int ret;

	if (!obj->id) {
		obj->methods = &ubus_event_method;
		obj->n_methods = 1;
		/* a name without a type (or the reverse) could never be listed */
		if (!!obj->name ^ !!obj->type)
			return UBUS_STATUS_INVALID_ARGUMENT;
		ret = ubus_add_object(ctx, obj);
		if (ret)
			return ret;
	}

	/* a buffer of its own: ubus_invoke builds the request in ctx->txbuf */
	memset(&b2, 0, sizeof(b2));
	if (blob_buf_init(&b2, 0) < 0)
		return UBUS_STATUS_NO_MEMORY;
	if (blobmsg_add_u32(&b2, "object", obj->id) < 0 ||
	    (pattern && blobmsg_add_string(&b2, "pattern", pattern) < 0)) {
		blob_buf_free(&b2);
		return UBUS_STATUS_NO_MEMORY;
	}
	ret = ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_EVENT, "register", b2.head, NULL, NULL, 0);
	blob_buf_free(&b2);
	return ret;
}

int ubus_send_event(struct ubus_context *ctx, const char *id, struct blob_attr *data)
{
	struct blob_buf *b = &ctx->txbuf;
	struct ubus_request req;
	void *s;

	if (!id || blob_buf_init(b, 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	blob_put_int32(b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
	blob_put_string(b, UBUS_ATTR_METHOD, "send");
	s = blob_nest_start(b, UBUS_ATTR_DATA);
	if (!s || blobmsg_add_string(b, "id", id) < 0 ||
	    blobmsg_add_field(b, BLOBMSG_TYPE_TABLE, "data", data ? blob_data(data) : NULL,
			      data ? (unsigned int) blob_len(data) : 0) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	blob_nest_end(b, s);

	if (ubus_start_request(ctx, &req, b->head, UBUS_MSG_INVOKE, UBUS_SYSTEM_OBJECT_EVENT) < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	return ubus_complete_request(ctx, &req, 0);
}

/* ---- connection ---- */

/* A broker greets as soon as it accepts; one that stays silent this long is
 * stuck, and start-up should fail rather than hang. */
#define UBUS_HELLO_TIMEOUT_MS	5000

/* Reads exactly len bytes of the greeting before the deadline. Any signal
 * ends the wait with failure, so a program can be stopped while connecting. */
static int ubus_hello_read(int fd, void *buf, size_t len, int64_t deadline)
{
	size_t have = 0;

	while (have < len) {
		struct pollfd pfd = { .fd = fd, .events = POLLIN };
		int64_t left = deadline - ubus_now_ms();
		ssize_t r;

		if (left <= 0 || poll(&pfd, 1, (int) left) <= 0)
			return -1;
		r = read(fd, (char *) buf + have, len - have);
		if (r <= 0)
			return -1;
		have += (size_t) r;
	}
	return 0;
}

static int ubus_hello(struct ubus_context *ctx)
{
	uint8_t peek[UBUS_PEEK_LEN];
	struct ubus_msghdr *hdr = (struct ubus_msghdr *) peek;
	struct blob_attr *root = (struct blob_attr *) (peek + UBUS_HDR_LEN);
	int64_t deadline = ubus_now_ms() + UBUS_HELLO_TIMEOUT_MS;
	size_t rest;

	if (ubus_hello_read(ctx->sock.fd, peek, sizeof(peek), deadline) < 0)
		return -1;
	if (hdr->version != 0 || hdr->type != UBUS_MSG_HELLO)
		return -1;
	if (blob_raw_len(root) < sizeof(struct blob_attr) || blob_pad_len(root) > UBUS_MAX_MSGLEN)
		return -1;

	rest = blob_len(root);
	if (rest) {
		void *tmp = malloc(rest);
		int r;

		if (!tmp)
			return -1;
		r = ubus_hello_read(ctx->sock.fd, tmp, rest, deadline);
		free(tmp);
		if (r < 0)
			return -1;
	}

	/* kept in wire byte order, as every other client library does */
	memcpy(&ctx->local_id, &hdr->peer, sizeof(ctx->local_id));
	if (ctx->local_id <= 1)
		return -1;
	return 0;
}

static int ubus_reconnect(struct ubus_context *ctx, const char *path)
{
	struct sockaddr_un addr;
	struct timeval tv;
	int fd, fl;

	if (!path)
		path = UBUS_UNIX_SOCKET;
	if (strlen(path) >= sizeof(addr.sun_path))
		return -1;

	if (ctx->sock.fd >= 0) {
		if (ctx->sock.registered)
			uloop_fd_delete(&ctx->sock);
		close(ctx->sock.fd);
		ctx->sock.fd = -1;
	}
	ctx->sock.eof = false;
	ctx->sock.error = false;
	ctx->dead = false;
	ctx->rx_have = 0;
	/* the rest of a message belongs to the old stream only */
	free(ctx->tx_tail);
	ctx->tx_tail = NULL;
	ctx->tx_tail_len = ctx->tx_tail_off = 0;

	fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	memset(&addr, 0, sizeof(addr));
	addr.sun_family = AF_UNIX;
	memcpy(addr.sun_path, path, strlen(path) + 1);
	/* connect waits while the broker's backlog is full: bounded as the
	 * greeting is, and ended by a signal like it */
	tv.tv_sec = UBUS_HELLO_TIMEOUT_MS / 1000;
	tv.tv_usec = (UBUS_HELLO_TIMEOUT_MS % 1000) * 1000;
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
	if (connect(fd, (struct sockaddr *) &addr, sizeof(addr)) < 0) {
		close(fd);
		return -1;
	}
	ctx->sock.fd = fd;

	if (ubus_hello(ctx) < 0)
		goto fail;
	memset(&tv, 0, sizeof(tv));
	setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));

	fl = fcntl(fd, F_GETFL, 0);
	if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
		goto fail;
	return 0;

fail:
	close(fd);
	ctx->sock.fd = -1;
	return -1;
}

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
	uloop_init();
	memset(ctx, 0, sizeof(*ctx));

	ctx->sock.fd = -1;
	ctx->sock.cb = ubus_handle_data;
	ctx->connection_lost = ubus_default_connection_lost;
	ctx->pending_timer.cb = ubus_process_pending_msg;
	INIT_LIST_HEAD(&ctx->requests);
	INIT_LIST_HEAD(&ctx->pending);
	avl_init(&ctx->objects, ubus_cmp_id, false, NULL);

	if (ubus_reconnect(ctx, path) < 0)
		return -1;
	return 0;
}

struct ubus_context *ubus_connect(const char *path)
{
	struct ubus_context *ctx;

	ctx = (struct ubus_context *) calloc(1, sizeof(*ctx));
	if (!ctx)
		return NULL;

	if (ubus_connect_ctx(ctx, path) < 0) {
		free(ctx);
		return NULL;
	}
	return ctx;
}

void ubus_shutdown(struct ubus_context *ctx)
{
	struct ubus_pending_msg *pending, *tmp;

	if (!ctx)
		return;
	uloop_fd_delete(&ctx->sock);
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	ctx->sock.fd = -1;
	uloop_timeout_cancel(&ctx->pending_timer);

	list_for_each_entry_safe(pending, tmp, &ctx->pending, list) {
		list_del(&pending->list);
		free(pending);
	}
	ctx->pending_bytes = 0;
	free(ctx->tx_tail);
	ctx->tx_tail = NULL;
	ctx->tx_tail_len = ctx->tx_tail_off = 0;
	free(ctx->rx_buf);
	ctx->rx_buf = NULL;
	ctx->rx_size = ctx->rx_have = 0;
	blob_buf_free(&ctx->txbuf);
}

void ubus_free(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	ubus_shutdown(ctx);
	free(ctx);
}
