#include <libubox/uloop.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <vector>

namespace {

// Ends a loop that would otherwise hang the test.
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
static_assert(offsetof(Guard, t) == 0, "Guard casts from its timeout");

class UboxUloop : public ::testing::Test {
protected:
	void SetUp() override
	{
		ASSERT_EQ(0, uloop_init());
		ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
	}
	void TearDown() override
	{
		uloop_done();
		for (int fd : sv)
			if (fd >= 0)
				close(fd);
	}
	int sv[2] = {-1, -1};
};

struct Reader {
	uloop_fd u = {};
	std::vector<unsigned> events;
	bool registered_in_cb = true;
	bool end_after_first = true;
};

void reader_cb(uloop_fd *u, unsigned int events)
{
	Reader *r = reinterpret_cast<Reader *>(u);
	r->events.push_back(events);
	r->registered_in_cb = u->registered;
	char buf[64];
	while (read(u->fd, buf, sizeof(buf)) > 0) {
	}
	if (r->end_after_first)
		uloop_end();
}

TEST_F(UboxUloop, ReadCallbackRunsAndUloopEndStopsTheLoop)
{
	Reader r;
	r.u.fd = sv[0];
	r.u.cb = reader_cb;
	ASSERT_EQ(0, uloop_fd_add(&r.u, ULOOP_READ));
	EXPECT_TRUE(r.u.registered);
	EXPECT_TRUE(fcntl(sv[0], F_GETFL) & O_NONBLOCK);
	ASSERT_EQ(1, write(sv[1], "x", 1));

	Guard g(5000);
	EXPECT_EQ(0, uloop_run());
	EXPECT_FALSE(g.fired);
	ASSERT_EQ(1u, r.events.size());
	EXPECT_EQ((unsigned) ULOOP_READ, r.events[0]);
	EXPECT_EQ(0, uloop_fd_delete(&r.u));
	EXPECT_FALSE(r.u.registered);
}

TEST_F(UboxUloop, BlockingFlagLeavesDescriptorModeAlone)
{
	uloop_fd u = {};
	u.fd = sv[0];
	u.cb = reader_cb;
	ASSERT_EQ(0, uloop_fd_add(&u, ULOOP_READ | ULOOP_BLOCKING));
	EXPECT_FALSE(fcntl(sv[0], F_GETFL) & O_NONBLOCK);
	EXPECT_EQ(ULOOP_READ | ULOOP_BLOCKING, u.flags);
	// no READ/WRITE means removal
	EXPECT_EQ(0, uloop_fd_add(&u, 0));
	EXPECT_FALSE(u.registered);
}

TEST_F(UboxUloop, HangupUnregistersBeforeTheCallback)
{
	Reader r;
	r.u.fd = sv[0];
	r.u.cb = reader_cb;
	ASSERT_EQ(0, uloop_fd_add(&r.u, ULOOP_READ));
	close(sv[1]);
	sv[1] = -1;

	Guard g(5000);
	uloop_run();
	EXPECT_FALSE(g.fired);
	ASSERT_EQ(1u, r.events.size());
	EXPECT_FALSE(r.registered_in_cb);
	EXPECT_TRUE(r.u.eof || r.u.error);
}

TEST_F(UboxUloop, RunForgetsACancelFromBeforeItStarted)
{
	Guard g(20);
	uloop_cancelled = true;
	EXPECT_EQ(0, uloop_run());
	EXPECT_TRUE(g.fired);
	EXPECT_FALSE(uloop_cancelling());
}

TEST_F(UboxUloop, TimeoutsFireInOrderAndCancelledOnesNever)
{
	static std::vector<int> order;
	order.clear();
	struct Tagged {
		uloop_timeout t;
		int tag;
	};
	auto cb = [](uloop_timeout *t) { order.push_back(reinterpret_cast<Tagged *>(t)->tag); };
	Tagged late = {{}, 2}, early = {{}, 1}, dropped = {{}, 3};
	late.t.cb = early.t.cb = dropped.t.cb = cb;
	uloop_timeout_set(&late.t, 30);
	uloop_timeout_set(&early.t, 10);
	uloop_timeout_set(&dropped.t, 15);
	EXPECT_TRUE(dropped.t.pending);
	EXPECT_EQ(0, uloop_timeout_cancel(&dropped.t));
	EXPECT_EQ(-1, uloop_timeout_cancel(&dropped.t));
	EXPECT_LE(uloop_timeout_remaining(&late.t), 30);

	Guard g(60);
	uloop_run();
	EXPECT_EQ((std::vector<int>{1, 2}), order);
	EXPECT_FALSE(late.t.pending);
}

double monotonic_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// A timeout set to 0 ms from a timeout's callback is due at once: the loop
// must not sleep before it. Chained 500 times, a millisecond of sleep each
// would take half a second.
TEST_F(UboxUloop, DueTimeoutsRunWithoutSleeping)
{
	struct Chain {
		uloop_timeout t;
		int left;
	};
	Chain chain = {{}, 500};
	chain.t.cb = [](uloop_timeout *t) {
		Chain *c = reinterpret_cast<Chain *>(t);
		// later than the loop's own reading of the clock, as real work is
		double until = monotonic_ms() + 0.002;
		while (monotonic_ms() < until) {
		}
		if (--c->left > 0)
			uloop_timeout_set(t, 0);
		else
			uloop_end();
	};
	uloop_timeout_set(&chain.t, 0);
	Guard g(5000);
	double start = monotonic_ms();
	uloop_run();
	EXPECT_EQ(0, chain.left);
	EXPECT_LT(monotonic_ms() - start, 250.0);
}

volatile sig_atomic_t own_handler_hits;
void own_handler(int) { own_handler_hits = own_handler_hits + 1; }

TEST_F(UboxUloop, SignalHandlersOnlyReplaceDefaultDispositions)
{
	uloop_done();  // start from a clean slate with our own SIGINT handler
	struct sigaction own = {}, cur = {};
	own.sa_handler = own_handler;
	sigemptyset(&own.sa_mask);
	ASSERT_EQ(0, sigaction(SIGINT, &own, NULL));
	signal(SIGTERM, SIG_DFL);
	signal(SIGPIPE, SIG_DFL);

	ASSERT_EQ(0, uloop_init());
	sigaction(SIGINT, NULL, &cur);
	EXPECT_EQ(own_handler, cur.sa_handler);
	sigaction(SIGTERM, NULL, &cur);
	EXPECT_NE(SIG_DFL, cur.sa_handler);
	EXPECT_NE(SIG_IGN, cur.sa_handler);
	EXPECT_EQ(0, cur.sa_flags & SA_RESTART);
	sigaction(SIGPIPE, NULL, &cur);
	EXPECT_EQ(SIG_IGN, cur.sa_handler);

	// the internal handler ends a running loop and reports the signal
	struct Raiser {
		uloop_timeout t = {};
	} raiser;
	raiser.t.cb = [](uloop_timeout *) { raise(SIGTERM); };
	uloop_timeout_set(&raiser.t, 5);
	Guard g(5000);
	EXPECT_EQ(SIGTERM, uloop_run());
	EXPECT_FALSE(g.fired);

	uloop_done();
	sigaction(SIGTERM, NULL, &cur);
	EXPECT_EQ(SIG_DFL, cur.sa_handler);
	sigaction(SIGINT, NULL, &cur);
	EXPECT_EQ(own_handler, cur.sa_handler);
	sigaction(SIGPIPE, NULL, &cur);
	EXPECT_EQ(SIG_IGN, cur.sa_handler);
	signal(SIGINT, SIG_DFL);
	ASSERT_EQ(0, uloop_init());
}

TEST_F(UboxUloop, RegisteredChildIsReapedWithItsStatusAndOthersAreLeftAlone)
{
	static int status;
	status = -1;
	uloop_process watched = {};
	watched.cb = [](uloop_process *, int ret) {
		status = ret;
		uloop_end();
	};
	watched.pid = fork();
	if (watched.pid == 0)
		_exit(3);
	ASSERT_GT(watched.pid, 0);
	// A child nobody registered keeps its status for its own waitpid.
	pid_t other = fork();
	if (other == 0)
		_exit(4);
	ASSERT_EQ(0, uloop_process_add(&watched));
	Guard guard(5000);
	uloop_run();
	EXPECT_FALSE(guard.fired);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(3, WEXITSTATUS(status));
	int otherStatus = 0;
	ASSERT_EQ(other, waitpid(other, &otherStatus, 0));
	EXPECT_EQ(4, WEXITSTATUS(otherStatus));
}

}  // namespace
