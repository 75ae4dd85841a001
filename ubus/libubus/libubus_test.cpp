#include <libubus.h>

#include <gtest/gtest.h>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string &text)
{
	Bytes out;
	std::string digits;
	for (char c : text)
		if (c != ' ')
			digits += c;
	for (size_t i = 0; i + 1 < digits.size(); i += 2)
		out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
	return out;
}

void writeAll(int fd, const Bytes &b)
{
	size_t off = 0;
	while (off < b.size()) {
		ssize_t w = write(fd, b.data() + off, b.size() - off);
		if (w <= 0)
			return;
		off += (size_t) w;
	}
}

bool readExact(int fd, uint8_t *p, size_t n, int timeout_ms)
{
	size_t have = 0;
	while (have < n) {
		pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, timeout_ms) <= 0)
			return false;
		ssize_t r = read(fd, p + have, n - have);
		if (r <= 0)
			return false;
		have += (size_t) r;
	}
	return true;
}

// One framed message (header + root), or empty on timeout/EOF.
Bytes readMsg(int fd, int timeout_ms = 3000)
{
	Bytes m(12);
	if (!readExact(fd, m.data(), 12, timeout_ms))
		return {};
	size_t len = ((size_t) m[9] << 16 | (size_t) m[10] << 8 | m[11]) - 4;
	m.resize(12 + len);
	if (len && !readExact(fd, m.data() + 12, len, timeout_ms))
		return {};
	return m;
}

// True once the client has closed or shut down its side.
bool waitForClose(int fd, int timeout_ms = 3000)
{
	uint8_t buf[256];
	for (;;) {
		pollfd pfd = {fd, POLLIN, 0};
		if (poll(&pfd, 1, timeout_ms) <= 0)
			return false;
		ssize_t r = read(fd, buf, sizeof(buf));
		if (r <= 0)
			return true;
	}
}

Bytes frame(uint8_t type, uint16_t seq, uint32_t peer, blob_buf &b)
{
	const uint8_t *p = reinterpret_cast<const uint8_t *>(b.head);
	Bytes m(8 + blob_raw_len(b.head));
	m[1] = type;
	m[2] = (uint8_t) (seq >> 8);
	m[3] = (uint8_t) seq;
	for (int i = 0; i < 4; i++)
		m[4 + i] = (uint8_t) (peer >> (24 - 8 * i));
	for (size_t i = 0; i < blob_raw_len(b.head); i++)
		m[8 + i] = p[i];
	return m;
}

// Broker -> owner INVOKE; the method and DATA attribute are optional.
Bytes invokeMsg(uint16_t seq, uint32_t objid, const char *method, bool with_data, bool with_objid = true)
{
	blob_buf b = {};
	blob_buf_init(&b, 0);
	if (with_objid)
		blob_put_u32(&b, UBUS_ATTR_OBJID, objid);
	if (method)
		blob_put_string(&b, UBUS_ATTR_METHOD, method);
	if (with_data)
		blob_put(&b, UBUS_ATTR_DATA, NULL, 0);
	Bytes m = frame(UBUS_MSG_INVOKE, seq, 0x3c3c1001, b);
	blob_buf_free(&b);
	return m;
}

const Bytes kHello = hex("00000000 00000400 00000004");
const Bytes kAddReply = hex("00020001 00000000 00000014 03000008 1a2b3c4d 05000008 0000abcd"
			    "00010001 00000000 0000000c 01000008 00000000");

// Listening socket standing in for the broker; the script runs on its own thread.
class FakeBroker {
public:
	FakeBroker()
	{
		const char *tmp = getenv("TMPDIR");
		std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/ubustest.XXXXXX";
		dir_ = templ;
		if (!mkdtemp(&dir_[0]))
			ADD_FAILURE() << "mkdtemp failed";
		path = dir_ + "/bus.sock";
		listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
		sockaddr_un addr = {};
		addr.sun_family = AF_UNIX;
		snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
		if (bind(listen_fd_, (sockaddr *) &addr, sizeof(addr)) < 0 || listen(listen_fd_, 4) < 0)
			ADD_FAILURE() << "cannot listen on " << path;
	}
	~FakeBroker()
	{
		finish();
		close(listen_fd_);
		unlink(path.c_str());
		rmdir(dir_.c_str());
	}
	void serve(const Bytes &hello, std::function<void(int)> script)
	{
		thread_ = std::thread([this, hello, script] {
			pollfd pfd = {listen_fd_, POLLIN, 0};
			if (poll(&pfd, 1, 5000) <= 0)
				return;
			int fd = accept(listen_fd_, NULL, NULL);
			if (fd < 0)
				return;
			writeAll(fd, hello);
			script(fd);
			close(fd);
		});
	}
	void finish()
	{
		if (thread_.joinable())
			thread_.join();
	}
	std::string path;

private:
	std::string dir_;
	int listen_fd_ = -1;
	std::thread thread_;
};

// Keeps a broken test from hanging in uloop_run.
struct Guard {
	uloop_timeout t = {};
	bool fired = false;
	explicit Guard(int ms)
	{
		t.cb = [](uloop_timeout *self) {
			reinterpret_cast<Guard *>(self)->fired = true;
			uloop_end();
		};
		uloop_timeout_set(&t, ms);
	}
	~Guard() { uloop_timeout_cancel(&t); }
};

enum { ARG_X, ARG_Y, N_ARGS };
const blobmsg_policy move_policy[N_ARGS] = {{"x", BLOBMSG_TYPE_INT32}, {"y", BLOBMSG_TYPE_INT32}};

struct Seen {
	std::vector<std::string> events;
	ubus_request_data req = {};
	std::string user, group, object;
	int x = 0, y = 0;
} seen;

int move_handler(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
	blob_attr *tb[N_ARGS];
	blobmsg_parse(move_policy, N_ARGS, tb, blob_data(msg), (unsigned) blob_len(msg));
	seen.events.push_back("move");
	seen.req = *req;
	seen.user = req->acl.user ? req->acl.user : "";
	seen.group = req->acl.group ? req->acl.group : "";
	seen.object = req->acl.object ? req->acl.object : "";
	if (!tb[ARG_X] || !tb[ARG_Y])
		return UBUS_STATUS_INVALID_ARGUMENT;
	seen.x = (int32_t) blobmsg_get_u32(tb[ARG_X]);
	seen.y = (int32_t) blobmsg_get_u32(tb[ARG_Y]);
	blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_u32(&b, "pan", (uint32_t) seen.x);
	ubus_send_reply(ctx, req, b.head);
	blob_buf_free(&b);
	return 0;
}

int status_handler(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
	seen.events.push_back("status");
	return 0;
}

const ubus_method methods[] = {
	UBUS_METHOD("move", move_handler, move_policy),
	UBUS_METHOD_NOARG("status", status_handler),
};
ubus_object_type demo_type = UBUS_OBJECT_TYPE("demo", methods);

class UbusClient : public ::testing::Test {
protected:
	void SetUp() override
	{
		seen = Seen();
		demo_type.id = 0;
		obj = ubus_object{};
		obj.name = "demo";
		obj.type = &demo_type;
		obj.methods = methods;
		obj.n_methods = ARRAY_SIZE(methods);
		lost = 0;
	}
	void TearDown() override
	{
		if (ctx)
			ubus_free(ctx);
		broker.finish();
		uloop_done();
	}
	// Connects and publishes "demo" (id 1a2b3c4d); the script then continues with `rest`.
	void connectAndAdd(std::function<void(int)> rest)
	{
		broker.serve(kHello, [rest](int fd) {
			if (readMsg(fd).empty())
				return;
			writeAll(fd, kAddReply);
			rest(fd);
		});
		ctx = ubus_connect(broker.path.c_str());
		ASSERT_NE(nullptr, ctx);
		ASSERT_EQ(0, ubus_add_object(ctx, &obj));
		ctx->connection_lost = [](ubus_context *) {
			lost++;
			uloop_end();
		};
	}
	static int lost;
	FakeBroker broker;
	ubus_context *ctx = nullptr;
	ubus_object obj = {};
};
int UbusClient::lost;

TEST_F(UbusClient, HelloPeerIdIsKeptInWireOrder)
{
	broker.serve(kHello, [](int fd) { waitForClose(fd); });
	ctx = ubus_connect(broker.path.c_str());
	ASSERT_NE(nullptr, ctx);
	uint32_t raw;
	memcpy(&raw, kHello.data() + 4, 4);
	EXPECT_EQ(raw, ctx->local_id);
	EXPECT_FALSE(ctx->sock.registered);
}

TEST_F(UbusClient, BadGreetingsFailTheConnect)
{
	const Bytes bad[] = {
		hex("00000000 00000000 00000004"),            // id 0
		hex("00020000 00000400 00000004"),            // not a HELLO
		hex("01000000 00000400 00000004"),            // unknown version
		hex("00000000 00000400 00000002"),            // root shorter than its header
		hex("00000000 0000"),                         // short read
	};
	for (const Bytes &hello : bad) {
		FakeBroker b;
		b.serve(hello, [](int fd) { shutdown(fd, SHUT_WR); waitForClose(fd); });
		ubus_context *c = ubus_connect(b.path.c_str());
		EXPECT_EQ(nullptr, c);
		if (c)
			ubus_free(c);
	}
	EXPECT_EQ(nullptr, ubus_connect((broker.path + ".missing").c_str()));
}

TEST_F(UbusClient, AddObjectSendsSignatureAndTakesIdsFromReply)
{
	std::vector<Bytes> got;
	std::mutex mu;
	broker.serve(kHello, [&](int fd) {
		Bytes m = readMsg(fd);
		{ std::lock_guard<std::mutex> l(mu); got.push_back(m); }
		writeAll(fd, kAddReply);
		// second object of the same type: path taken
		m = readMsg(fd);
		{ std::lock_guard<std::mutex> l(mu); got.push_back(m); }
		writeAll(fd, hex("00010002 00000000 0000000c 01000008 00000002"));
		// third: success without an id
		readMsg(fd);
		writeAll(fd, hex("00010003 00000000 0000000c 01000008 00000000"));
		waitForClose(fd);
	});
	ctx = ubus_connect(broker.path.c_str());
	ASSERT_NE(nullptr, ctx);
	ASSERT_EQ(0, ubus_add_object(ctx, &obj));
	EXPECT_EQ(0x1a2b3c4du, obj.id);
	EXPECT_EQ(0xabcdu, demo_type.id);

	ubus_object second = obj;
	second.avl = avl_node{};
	second.id = 0;
	EXPECT_EQ(UBUS_STATUS_INVALID_ARGUMENT, ubus_add_object(ctx, &second));
	ubus_object third = second;
	EXPECT_EQ(UBUS_STATUS_NO_DATA, ubus_add_object(ctx, &third));

	ubus_free(ctx);
	ctx = nullptr;
	broker.finish();
	ASSERT_EQ(2u, got.size());
	EXPECT_EQ(hex("00060001 00000000 00000048 02000009 64656d6f 00000000"
		      "06000038 82000024 00046d6f 76650000 8500000c 00017800 00000005"
		      "8500000c 00017900 00000005 82000010 00067374 61747573 00000000"),
		  got[0]);
	EXPECT_EQ(hex("00060002 00000000 00000018 02000009 64656d6f 00000000 05000008 0000abcd"), got[1]);
}

TEST_F(UbusClient, MaskLimitsTheAdvertisedArguments)
{
	static const ubus_method masked[] = {UBUS_METHOD_MASK("move", move_handler, move_policy, 2)};
	static ubus_object_type masked_type = UBUS_OBJECT_TYPE("m", masked);
	Bytes got;
	broker.serve(kHello, [&](int fd) {
		got = readMsg(fd);
		writeAll(fd, kAddReply);
		waitForClose(fd);
	});
	ctx = ubus_connect(broker.path.c_str());
	ASSERT_NE(nullptr, ctx);
	obj.type = &masked_type;
	ASSERT_EQ(0, ubus_add_object(ctx, &obj));
	ubus_free(ctx);
	ctx = nullptr;
	broker.finish();
	EXPECT_EQ(hex("00060001 00000000 0000002c 02000009 64656d6f 00000000"
		      "0600001c 82000018 00046d6f 76650000 8500000c 00017900 00000005"),
		  got);
}

TEST_F(UbusClient, InvokeRunsHandlerAndRepliesDataThenStatus)
{
	std::vector<Bytes> replies;
	connectAndAdd([&](int fd) {
		writeAll(fd, hex("00050002 3c3c1001 0000004c 03000008 1a2b3c4d 04000009 6d6f7665 00000000"
				 "0c000009 726f6f74 00000000 0d000009 726f6f74 00000000"
				 "0700001c 8500000c 00017800 0000000a 8500000c 00017900 fffffffb"));
		replies.push_back(readMsg(fd));
		replies.push_back(readMsg(fd));
		writeAll(fd, invokeMsg(3, 0x1a2b3c4d, "nomethod", true));
		replies.push_back(readMsg(fd));
		writeAll(fd, invokeMsg(4, 0x1a2b3c4d, "move", false));
		replies.push_back(readMsg(fd));
		// no OBJID: dropped without a reply, so the next reply belongs to seq 6
		writeAll(fd, invokeMsg(5, 0, "status", true, false));
		writeAll(fd, invokeMsg(6, 0x1a2b3c4d, "status", true));
		replies.push_back(readMsg(fd));
	});
	ubus_add_uloop(ctx);
	Guard g(5000);
	uloop_run();
	// The script thread filled `replies`; joining it makes them safe to read.
	broker.finish();
	EXPECT_FALSE(g.fired);
	EXPECT_EQ(1, lost);

	EXPECT_EQ((std::vector<std::string>{"move", "status"}), seen.events);
	EXPECT_EQ(10, seen.x);
	EXPECT_EQ(-5, seen.y);
	EXPECT_EQ(0x1a2b3c4du, seen.req.object);
	EXPECT_EQ(0x3c3c1001u, seen.req.peer);
	EXPECT_EQ(2, seen.req.seq);
	EXPECT_EQ("root", seen.user);
	EXPECT_EQ("root", seen.group);
	EXPECT_EQ("demo", seen.object);
	EXPECT_FALSE(seen.req.deferred);
	EXPECT_EQ(-1, seen.req.fd);

	ASSERT_EQ(5u, replies.size());
	EXPECT_EQ(hex("00020002 3c3c1001 00000020 03000008 1a2b3c4d 07000014 85000010 00037061 6e000000 0000000a"),
		  replies[0]);
	EXPECT_EQ(hex("00010002 3c3c1001 00000014 01000008 00000000 03000008 1a2b3c4d"), replies[1]);
	EXPECT_EQ(hex("00010003 3c3c1001 00000014 01000008 00000003 03000008 1a2b3c4d"), replies[2]);
	EXPECT_EQ(hex("00010004 3c3c1001 00000014 01000008 00000002 03000008 1a2b3c4d"), replies[3]);
	EXPECT_EQ(hex("00010006 3c3c1001 00000014 01000008 00000000 03000008 1a2b3c4d"), replies[4]);
}

TEST_F(UbusClient, MalformedAttributesAreIgnoredAndConnectionStaysUp)
{
	std::vector<Bytes> replies;
	connectAndAdd([&](int fd) {
		// OBJID of two bytes and a METHOD without its NUL: both count as absent
		writeAll(fd, hex("00050007 3c3c1001 00000020 03000006 1a2b0000 04000008 6d6f7665 07000004"
				 "03000008 1a2b3c4d"));
		replies.push_back(readMsg(fd));
		writeAll(fd, hex("00050008 3c3c1001 00000014 03000008 1a2b3c4d 04000008 6d6f7665"));
		replies.push_back(readMsg(fd));
		// a child claiming more bytes than the root holds
		writeAll(fd, hex("00050009 3c3c1001 00000008 03ffffff"));
		writeAll(fd, invokeMsg(10, 0x1a2b3c4d, "status", true));
		replies.push_back(readMsg(fd));
	});
	ubus_add_uloop(ctx);
	Guard g(5000);
	uloop_run();
	// The script thread filled `replies`; joining it makes them safe to read.
	broker.finish();
	EXPECT_FALSE(g.fired);
	// a valid OBJID follows the bad one (the last wins), but there is no usable METHOD
	EXPECT_EQ((std::vector<std::string>{"status"}), seen.events);
	ASSERT_EQ(3u, replies.size());
	EXPECT_EQ(hex("00010007 3c3c1001 00000014 01000008 00000002 03000008 1a2b3c4d"), replies[0]);
	EXPECT_EQ(hex("00010008 3c3c1001 00000014 01000008 00000002 03000008 1a2b3c4d"), replies[1]);
	EXPECT_EQ(hex("0001000a 3c3c1001 00000014 01000008 00000000 03000008 1a2b3c4d"), replies[2]);
}

TEST_F(UbusClient, BrokenFramingEndsTheConnection)
{
	const Bytes bad[] = {
		hex("00050001 00000000 00ffffff"),  // body far above the size limit
		hex("00050001 00000000 00100004"),  // just above it
		hex("01050001 00000000 00000004"),  // unknown version
		hex("00050001 00000000 00000001"),  // root shorter than its own header
	};
	for (const Bytes &msg : bad) {
		FakeBroker b;
		bool closed = false;
		b.serve(kHello, [&](int fd) {
			writeAll(fd, msg);
			closed = waitForClose(fd);
		});
		ubus_context *c = ubus_connect(b.path.c_str());
		ASSERT_NE(nullptr, c);
		ubus_add_uloop(c);
		// the default handler ends the loop, as the socket is still registered
		Guard g(5000);
		uloop_run();
		EXPECT_FALSE(g.fired);
		ubus_free(c);
		b.finish();
		EXPECT_TRUE(closed);
	}
}

TEST_F(UbusClient, BrokerHangupCallsConnectionLost)
{
	connectAndAdd([](int) {});
	ubus_add_uloop(ctx);
	Guard g(5000);
	uloop_run();
	EXPECT_FALSE(g.fired);
	EXPECT_EQ(1, lost);
}

struct CallResult {
	std::vector<std::string> events;
	int pan = 0;
};

void call_data(ubus_request *req, int type, blob_attr *msg)
{
	auto *r = static_cast<CallResult *>(req->priv);
	EXPECT_EQ(UBUS_MSG_DATA, type);
	const blobmsg_policy p = {"pan", BLOBMSG_TYPE_INT32};
	blob_attr *tb;
	blobmsg_parse(&p, 1, &tb, blob_data(msg), (unsigned) blob_len(msg));
	if (tb)
		r->pan = (int) blobmsg_get_u32(tb);
	r->events.push_back("data");
	seen.events.push_back("data");
}

TEST_F(UbusClient, InvokeArrivingDuringACallWaitsUntilTheCallIsDone)
{
	Bytes request, handler_reply;
	connectAndAdd([&](int fd) {
		request = readMsg(fd);
		writeAll(fd, invokeMsg(9, 0x1a2b3c4d, "status", true));
		writeAll(fd, hex("00020002 11223344 00000020 03000008 11223344 07000014 85000010 00037061 6e000000 0000000a"
				 "00010002 11223344 00000014 01000008 00000000 03000008 11223344"));
		handler_reply = readMsg(fd);
		// the next call gets no answer and times out; then the broker goes away mid-call
		readMsg(fd);
		readMsg(fd);
	});
	CallResult result;
	EXPECT_EQ(0, ubus_invoke(ctx, 0x11223344, "ping", NULL, call_data, &result, 3000));
	EXPECT_EQ(10, result.pan);
	EXPECT_EQ((std::vector<std::string>{"data", "status"}), seen.events);
	EXPECT_EQ(hex("00050002 11223344 0000001c 03000008 11223344 04000009 70696e67 00000000 07000004"),
		  request);

	EXPECT_EQ(UBUS_STATUS_TIMEOUT, ubus_invoke(ctx, 0x11223344, "slow", NULL, NULL, NULL, 50));
	EXPECT_EQ(0, lost);
	EXPECT_EQ(UBUS_STATUS_CONNECTION_FAILED, ubus_invoke(ctx, 0x11223344, "gone", NULL, NULL, NULL, 0));
	EXPECT_EQ(1, lost);
	broker.finish();
	EXPECT_EQ(hex("00010009 3c3c1001 00000014 01000008 00000000 03000008 1a2b3c4d"), handler_reply);
}

// Asynchronous calls answer through uloop; an aborted one stays silent, and
// the ones still waiting when the broker goes away end with TIMEOUT.
TEST_F(UbusClient, AsyncInvokeCompletesAbortsAndFailsOnHangup)
{
	connectAndAdd([&](int fd) {
		readMsg(fd);  // seq 2: answered with data, then status 4
		readMsg(fd);  // seq 3: aborted by the caller
		readMsg(fd);  // seq 4: never answered
		writeAll(fd, hex("00020002 11223344 00000020 03000008 11223344 07000014 85000010 00037061 6e000000 0000000a"
				 "00020003 11223344 00000020 03000008 11223344 07000014 85000010 00037061 6e000000 00000063"
				 "00010003 11223344 00000014 01000008 00000000 03000008 11223344"
				 "00010002 11223344 00000014 01000008 00000004 03000008 11223344"));
	});
	struct Async {
		ubus_request req;
		CallResult result;
		int status = -1;
	} calls[3];
	for (Async &a : calls) {
		ASSERT_EQ(0, ubus_invoke_async(ctx, 0x11223344, "ping", NULL, &a.req));
		a.req.data_cb = call_data;
		a.req.priv = &a.result;
		a.req.complete_cb = [](ubus_request *req, int ret) {
			reinterpret_cast<Async *>(req)->status = ret;
		};
		ubus_complete_request_async(ctx, &a.req);
	}
	ubus_abort_request(ctx, &calls[1].req);
	ubus_add_uloop(ctx);
	Guard g(5000);
	uloop_run();
	EXPECT_FALSE(g.fired);
	EXPECT_EQ(1, lost);
	EXPECT_EQ(4, calls[0].status);
	EXPECT_EQ(10, calls[0].result.pan);
	EXPECT_EQ(-1, calls[1].status);
	EXPECT_TRUE(calls[1].result.events.empty());
	EXPECT_EQ(UBUS_STATUS_TIMEOUT, calls[2].status);
	EXPECT_EQ(UBUS_STATUS_CONNECTION_FAILED, ubus_invoke_async(ctx, 0x11223344, "late", NULL, &calls[0].req));
}

TEST_F(UbusClient, LookupReportsCompleteEntriesOnly)
{
	connectAndAdd([](int fd) {
		readMsg(fd);
		// complete entry, then one without OBJTYPE, then STATUS
		writeAll(fd, hex("00020002 00000000 00000020 02000009 64656d6f 00000000 03000008 1a2b3c4d 05000008 0000abcd"
				 "00020002 00000000 00000018 02000009 64656d6f 00000000 03000008 99999999"
				 "00010002 00000000 0000000c 01000008 00000000"));
		readMsg(fd);
		writeAll(fd, hex("00010003 00000000 0000000c 01000008 00000004"));
	});
	std::vector<std::pair<std::string, uint32_t>> found;
	int ret = ubus_lookup(ctx, "demo", [](ubus_context *, ubus_object_data *o, void *priv) {
		static_cast<std::vector<std::pair<std::string, uint32_t>> *>(priv)->push_back({o->path, o->id});
	}, &found);
	EXPECT_EQ(0, ret);
	ASSERT_EQ(1u, found.size());
	EXPECT_EQ("demo", found[0].first);
	EXPECT_EQ(0x1a2b3c4du, found[0].second);
	uint32_t id = 0;
	EXPECT_EQ(UBUS_STATUS_NOT_FOUND, ubus_lookup_id(ctx, "nothing", &id));
}

// The asynchronous lookup returns before the broker answers, which a
// stalled broker may never do; answers arrive through the loop.
TEST_F(UbusClient, AsyncLookupReturnsAtOnceAndReportsThroughTheLoop)
{
	int go[2];
	ASSERT_EQ(0, pipe(go));
	Bytes lookup;
	connectAndAdd([&](int fd) {
		lookup = readMsg(fd);
		char c;
		if (read(go[0], &c, 1) != 1)
			return;
		writeAll(fd, hex("00020002 00000000 00000020 02000009 64656d6f 00000000 03000008 1a2b3c4d 05000008 0000abcd"
				 "00010002 00000000 0000000c 01000008 00000000"));
		readMsg(fd);
	});
	struct Lookup {
		ubus_lookup_request req;
		std::vector<uint32_t> ids;
		int status = -1;
	} l;
	ASSERT_EQ(0, ubus_lookup_async(ctx, "demo", [](ubus_context *, ubus_object_data *o, void *priv) {
		static_cast<Lookup *>(priv)->ids.push_back(o->id);
	}, &l.req));
	l.req.req.priv = &l;
	l.req.req.complete_cb = [](ubus_request *req, int ret) {
		Lookup *l = static_cast<Lookup *>(req->priv);
		l->status = ret;
		uloop_end();
	};
	ubus_complete_request_async(ctx, &l.req.req);
	EXPECT_EQ(-1, l.status);
	ASSERT_EQ(1, write(go[1], "g", 1));
	ubus_add_uloop(ctx);
	Guard g(5000);
	uloop_run();
	EXPECT_FALSE(g.fired);
	EXPECT_EQ(0, l.status);
	EXPECT_EQ(std::vector<uint32_t>{0x1a2b3c4du}, l.ids);
	// a LOOKUP naming the path
	ASSERT_GE(lookup.size(), 12u);
	EXPECT_EQ(UBUS_MSG_LOOKUP, lookup[1]);
	EXPECT_NE(std::string(lookup.begin(), lookup.end()).find("demo"), std::string::npos);
	ubus_shutdown(ctx);
	close(go[0]);
	close(go[1]);
}

// Calls that arrive while a synchronous call waits are held up to a bound;
// past it each is refused at once with a status, and none goes unanswered.
TEST_F(UbusClient, CallsBeyondTheHoldLimitDuringACallAreRefusedWithAStatus)
{
	std::vector<Bytes> replies;
	connectAndAdd([&](int fd) {
		readMsg(fd);  // the synchronous call, seq 2
		blob_buf b = {};
		blob_buf_init(&b, 0);
		blob_put_u32(&b, UBUS_ATTR_OBJID, 0x1a2b3c4d);
		blob_put_string(&b, UBUS_ATTR_METHOD, "status");
		std::vector<char> filler(1000 * 1000, 'f');
		blob_put(&b, UBUS_ATTR_DATA, filler.data(), (unsigned) filler.size());
		// five calls of about 1 MB: the fifth does not fit beside the others
		for (uint16_t seq = 1; seq <= 5; seq++)
			writeAll(fd, frame(UBUS_MSG_INVOKE, seq, 0x3c3c1001, b));
		blob_buf_free(&b);
		replies.push_back(readMsg(fd));
		writeAll(fd, hex("00010002 11223344 00000014 01000008 00000000 03000008 11223344"));
		for (int i = 0; i < 4; i++)
			replies.push_back(readMsg(fd));
	});
	EXPECT_EQ(0, ubus_invoke(ctx, 0x11223344, "ping", NULL, NULL, NULL, 5000));
	broker.finish();
	ASSERT_EQ(5u, replies.size());
	// the refusal comes while the call still waits; the held ones after it
	EXPECT_EQ(hex("00010005 3c3c1001 00000014 01000008 0000000b 03000008 1a2b3c4d"), replies[0]);
	for (uint16_t seq = 1; seq <= 4; seq++) {
		Bytes ok = hex("00010000 3c3c1001 00000014 01000008 00000000 03000008 1a2b3c4d");
		ok[3] = (uint8_t) seq;
		EXPECT_EQ(ok, replies[seq]) << seq;
	}
	EXPECT_EQ(4u, seen.events.size());
}

void request_stop(int)
{
	uloop_cancelled = true;
}

// A broker that takes nothing: the write waits, but a stop request ends the
// wait at once. The started message is kept and finished later, so the
// stream stays framed for the next request.
TEST_F(UbusClient, StopRequestEndsAWriteTheBrokerDoesNotTakeAndTheStreamStaysFramed)
{
	std::atomic<bool> checked{false};
	std::vector<Bytes> got;
	// Only this thread takes the alarm: the script thread inherits the block.
	sigset_t alarm;
	sigemptyset(&alarm);
	sigaddset(&alarm, SIGALRM);
	pthread_sigmask(SIG_BLOCK, &alarm, NULL);
	connectAndAdd([&](int fd) {
		for (int i = 0; i < 300 && !checked; i++)
			usleep(10 * 1000);
		got.push_back(readMsg(fd));
		got.push_back(readMsg(fd));
		writeAll(fd, hex("00010003 11223344 00000014 01000008 00000000 03000008 11223344"));
	});
	pthread_sigmask(SIG_UNBLOCK, &alarm, NULL);
	struct sigaction sa = {}, old = {};
	sa.sa_handler = request_stop;
	sigaction(SIGALRM, &sa, &old);
	itimerval in200ms = {{0, 0}, {0, 200 * 1000}};
	setitimer(ITIMER_REAL, &in200ms, NULL);

	blob_buf b = {};
	blob_buf_init(&b, 0);
	std::vector<char> big(900 * 1000, 'b');
	big.back() = 0;
	blobmsg_add_string(&b, "big", big.data());
	auto started = std::chrono::steady_clock::now();
	EXPECT_EQ(UBUS_STATUS_TIMEOUT, ubus_invoke(ctx, 0x11223344, "big", b.head, NULL, NULL, 0));
	double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
	checked = true;
	sigaction(SIGALRM, &old, NULL);
	EXPECT_LT(seconds, 2.0);

	uloop_cancelled = false;
	EXPECT_EQ(0, ubus_invoke(ctx, 0x11223344, "ping", NULL, NULL, NULL, 5000));
	blob_buf_free(&b);
	broker.finish();
	ASSERT_EQ(2u, got.size());
	ASSERT_GT(got[0].size(), 900u * 1000);
	EXPECT_EQ(2, got[0][3]);
	EXPECT_EQ(0, memcmp(got[0].data() + got[0].size() - 8, "bbbbbbb", 8));
	EXPECT_EQ(hex("00050003 11223344 0000001c 03000008 11223344 04000009 70696e67 00000000 07000004"),
		  got[1]);
}

TEST(UbusStrerror, KnownAndUnknownCodes)
{
	EXPECT_STREQ("Success", ubus_strerror(UBUS_STATUS_OK));
	EXPECT_STREQ("Invalid argument", ubus_strerror(UBUS_STATUS_INVALID_ARGUMENT));
	EXPECT_STREQ("No response", ubus_strerror(UBUS_STATUS_NO_DATA));
	EXPECT_STREQ("Request timed out", ubus_strerror(UBUS_STATUS_TIMEOUT));
	EXPECT_STREQ("Parsing message data failed", ubus_strerror(UBUS_STATUS_PARSE_ERROR));
	EXPECT_STREQ("System error", ubus_strerror(UBUS_STATUS_SYSTEM_ERROR));
	EXPECT_STREQ("Unknown error: 14", ubus_strerror(14));
	EXPECT_STREQ("Unknown error: 99", ubus_strerror(99));
	EXPECT_STREQ("Unknown error: -1", ubus_strerror(-1));
}

}  // namespace
