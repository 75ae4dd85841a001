// The bus client against a real broker on a private socket, with the test
// object owner as the called object and the bus tool sending events: calls,
// events, presence, a broker that dies or stops, and shutdown.
#include "bus_client.h"

#include <gtest/gtest.h>
#include <libubus.h>  // the wire type numbers

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

using busclient::BusClient;
using busclient::Reply;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// Generous: the machine is shared and the suite also runs under sanitizers.
constexpr double kWait = 10;
constexpr int kLateMs = 1500;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// What the handlers saw, one line each, in order.
class Journal {
public:
    void add(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(line);
        cv_.notify_all();
    }
    bool waitFor(const std::string &line, double seconds = kWait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return countLocked(line) > 0; });
    }
    // Waits until line has been seen more often than before.
    bool waitForAnother(const std::string &line, size_t before, double seconds = kWait) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::duration<double>(seconds),
                            [&] { return countLocked(line) > before; });
    }
    size_t count(const std::string &line) {
        std::lock_guard<std::mutex> lock(mutex_);
        return countLocked(line);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    size_t countLocked(const std::string &line) const {
        size_t n = 0;
        for (const auto &l : lines_) n += l == line;
        return n;
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

class BusClientE2e : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/busclient-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        socket_ = dir_ + "/ubus.sock";
        startBroker();
    }
    void TearDown() override {
        client_.reset();
        owners_.clear();
        broker_.reset();
        e2e::runCommand({"rm", "-rf", dir_});
    }

    void startBroker() { broker_ = std::make_unique<e2e::PrivateBus>(socket_); }

    // A broker that already serves the test object when the client first
    // reaches it: both start on another path, then the socket moves into place.
    void startBrokerWithOwner() {
        std::string aside = dir_ + "/aside.sock";
        broker_ = std::make_unique<e2e::PrivateBus>(aside);
        owners_.push_back(std::make_unique<e2e::Process>(
            std::vector<std::string>{BUSCLIENT_TEST_OWNER, "-s", aside, "-n", "test"}));
        EXPECT_NE(owners_.back()->waitLine("ready", kWait), "");
        EXPECT_EQ(rename(aside.c_str(), socket_.c_str()), 0);
    }

    void killBroker() {
        broker_->signal(SIGKILL);
        broker_.reset();
    }

    // The test object under the given name; it answers echo, twice, noreply, ...
    e2e::Process &startOwner(const std::string &name = "test") {
        owners_.push_back(std::make_unique<e2e::Process>(
            std::vector<std::string>{BUSCLIENT_TEST_OWNER, "-s", socket_, "-n", name}));
        EXPECT_NE(owners_.back()->waitLine("ready", kWait), "");
        return *owners_.back();
    }

    void sendEvent(const std::string &name, const std::string &data = "{}") {
        e2e::CommandResult r =
            e2e::runCommand({e2e::ubusCliPath(), "-s", socket_, "send", name, data}, kWait);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
    }

    BusClient &client(busclient::Options options = {}) {
        options.socket = socket_;
        client_ = std::make_unique<BusClient>(options);
        client_->onConnection([this](bool up) { journal_.add(up ? "connected" : "disconnected"); });
        return *client_;
    }

    void startConnected(BusClient &bus) {
        std::string error;
        ASSERT_TRUE(bus.start(&error)) << error;
        ASSERT_TRUE(journal_.waitFor("connected"));
    }

    Reply callAndWait(const std::string &object, const std::string &method, json args = nullptr,
                      int timeoutMs = 5000) {
        return client_->call(object, method, std::move(args), timeoutMs).get();
    }

    std::string dir_;
    std::string socket_;
    std::unique_ptr<e2e::PrivateBus> broker_;
    std::vector<std::unique_ptr<e2e::Process>> owners_;
    Journal journal_;
    std::unique_ptr<BusClient> client_;  // last: it goes first
};

TEST_F(BusClientE2e, CallsCarryArgumentsRepliesAndStatuses) {
    startOwner();
    BusClient &bus = client();
    startConnected(bus);

    json args = {{"n", 7},      {"big", int64_t{1} << 40}, {"d", 1.25},       {"on", true},
                 {"s", "text"}, {"list", {1, "x"}},        {"t", {{"k", -1}}}};
    Reply echo = callAndWait("test", "echo", args);
    EXPECT_EQ(echo.status, busclient::kOk);
    EXPECT_EQ(echo.data, args);

    // the wire types the object saw
    Reply types = callAndWait("test", "types", args);
    EXPECT_EQ(types.data["n"], BLOBMSG_TYPE_INT32);
    EXPECT_EQ(types.data["big"], BLOBMSG_TYPE_INT64);
    EXPECT_EQ(types.data["d"], BLOBMSG_TYPE_DOUBLE);
    EXPECT_EQ(types.data["on"], BLOBMSG_TYPE_BOOL);

    // two reply messages become one object
    Reply twice = callAndWait("test", "twice");
    EXPECT_EQ(twice.status, busclient::kOk);
    EXPECT_EQ(twice.data, json({{"part", 2}}));

    EXPECT_EQ(callAndWait("test", "fail99").status, 99);
    EXPECT_EQ(callAndWait("test", "badarg").status, busclient::kInvalidArgument);
    EXPECT_EQ(callAndWait("test", "nosuchmethod").status, busclient::kMethodNotFound);
    // refused before reaching the bus
    EXPECT_EQ(callAndWait("test", "echo", json::array({1})).status, busclient::kInvalidArgument);
    EXPECT_EQ(callAndWait("test", "echo", nullptr, 0).status, busclient::kInvalidArgument);
}

TEST_F(BusClientE2e, UnknownObjectsEndAtOnceAndSilentOnesOnTheirDeadline) {
    startOwner();
    startOwner("sleepy");  // its "slow" keeps quiet for 3 s
    busclient::Options options;
    options.maxPendingCalls = 2;
    BusClient &bus = client(options);
    startConnected(bus);

    auto start = Clock::now();
    EXPECT_EQ(callAndWait("nobody", "echo", nullptr, 5000).status, busclient::kNotFound);
    EXPECT_LT(msSince(start), 5000 - 1000);  // known from the object list, no wait

    start = Clock::now();
    std::future<Reply> silent = bus.call("sleepy", "slow", nullptr, 300);
    std::future<Reply> second = bus.call("sleepy", "slow", nullptr, 300);
    // a third open call is one too many
    EXPECT_EQ(callAndWait("test", "echo").status, busclient::kNoMemory);
    EXPECT_EQ(silent.get().status, busclient::kTimeout);
    double elapsed = msSince(start);
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 300 + kLateMs);
    EXPECT_EQ(second.get().status, busclient::kTimeout);

    // the abandoned requests leave the connection usable
    EXPECT_EQ(callAndWait("test", "echo", {{"after", 1}}).data, json({{"after", 1}}));
}

TEST_F(BusClientE2e, ManyThreadsCallAtOnce) {
    startOwner();
    BusClient &bus = client();
    startConnected(bus);

    constexpr int kThreads = 4, kCalls = 25;
    std::vector<std::thread> threads;
    std::vector<int> matched(kThreads, 0);
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            std::vector<std::future<Reply>> replies;
            for (int i = 0; i < kCalls; i++)
                replies.push_back(bus.call("test", "echo", {{"t", t}, {"i", i}}, 5000));
            for (int i = 0; i < kCalls; i++) {
                Reply r = replies[i].get();
                matched[t] += r.status == 0 && r.data == json({{"t", t}, {"i", i}});
            }
        });
    }
    for (auto &th : threads) th.join();
    for (int t = 0; t < kThreads; t++) EXPECT_EQ(matched[t], kCalls) << "thread " << t;
}

TEST_F(BusClientE2e, ListenersGetMatchingEventsUntilRemoved) {
    BusClient &bus = client();
    auto record = [this](const std::string &event, const json &data) {
        journal_.add(event + " " + data.dump());
    };
    int demo = bus.listen("demo.*", record);
    bus.listen("fence", record);
    startConnected(bus);

    sendEvent("demo.one", R"({"n":1,"list":[true,"x"]})");
    sendEvent("other", R"({"n":2})");
    sendEvent("fence");
    ASSERT_TRUE(journal_.waitFor("fence {}"));
    EXPECT_EQ(journal_.count(R"(demo.one {"list":[true,"x"],"n":1})"), 1u);
    EXPECT_EQ(journal_.count(R"(other {"n":2})"), 0u);

    bus.remove(demo);
    size_t fences = journal_.count("fence {}");
    sendEvent("demo.two");
    sendEvent("fence");
    ASSERT_TRUE(journal_.waitForAnother("fence {}", fences));
    EXPECT_EQ(journal_.count("demo.two {}"), 0u);
}

TEST_F(BusClientE2e, PresenceOfWatchedObjectsFollowsTheBus) {
    startOwner("early");
    BusClient &bus = client();
    auto record = [this](const std::string &object, bool present) {
        journal_.add(object + (present ? " present" : " absent"));
    };
    bus.watch("early", record);
    bus.watch("late", record);
    startConnected(bus);
    EXPECT_TRUE(journal_.waitFor("early present"));
    EXPECT_TRUE(journal_.waitFor("late absent"));

    e2e::Process &late = startOwner("late");
    EXPECT_TRUE(journal_.waitFor("late present"));
    // the new object is callable at once
    EXPECT_EQ(callAndWait("late", "echo", {{"x", 1}}).status, busclient::kOk);
    late.stop();
    EXPECT_TRUE(journal_.waitForAnother("late absent", 1));
    EXPECT_EQ(callAndWait("late", "echo").status, busclient::kNotFound);

    // a lost bus takes every object with it
    killBroker();
    EXPECT_TRUE(journal_.waitFor("disconnected"));
    EXPECT_TRUE(journal_.waitFor("early absent"));
}

TEST_F(BusClientE2e, ReconnectsAfterTheBrokerRestarts) {
    busclient::Options options;
    options.reconnectMaxMs = 200;
    BusClient &bus = client(options);
    bus.listen("ping", [this](const std::string &event, const json &) { journal_.add(event); });
    bus.watch("test", [this](const std::string &, bool present) {
        journal_.add(present ? "present" : "absent");
    });

    // no broker yet: reported, and a call waits for one within its timeout
    killBroker();
    ASSERT_TRUE(bus.start());
    EXPECT_TRUE(journal_.waitFor("disconnected"));
    std::future<Reply> early = bus.call("test", "echo", {{"early", true}}, 8000);
    startBrokerWithOwner();
    Reply r = early.get();
    EXPECT_EQ(r.status, busclient::kOk);
    EXPECT_EQ(r.data, json({{"early", true}}));
    EXPECT_TRUE(bus.connected());

    // a call in flight when the broker dies ends at once, without a retry
    std::future<Reply> slow = bus.call("test", "slow", nullptr, 8000);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let it reach the object
    auto start = Clock::now();
    killBroker();
    EXPECT_EQ(slow.get().status, busclient::kConnectionFailed);
    EXPECT_LT(msSince(start), kLateMs);
    EXPECT_TRUE(journal_.waitForAnother("disconnected", 1));
    EXPECT_TRUE(journal_.waitForAnother("absent", 1));

    owners_.clear();
    startBroker();
    startOwner();
    ASSERT_TRUE(journal_.waitForAnother("present", 1));
    EXPECT_EQ(callAndWait("test", "echo", {{"again", 1}}).data, json({{"again", 1}}));
    // the listener came back with the connection
    sendEvent("ping");
    EXPECT_TRUE(journal_.waitFor("ping"));
    EXPECT_GE(bus.stats().reconnects, 1u);
}

TEST_F(BusClientE2e, StalledBrokerNeitherStallsCallersNorShutdown) {
    startOwner();
    busclient::Options options;
    options.stopGraceMs = 500;
    options.maxPendingCalls = 4;
    BusClient &bus = client(options);
    startConnected(bus);

    broker_->signal(SIGSTOP);
    // an event registration waits on the broker: the bus thread is stuck now
    bus.listen("never", [](const std::string &, const json &) {});

    std::vector<double> elapsed(3, -1);
    std::vector<int> statuses(3, -1);
    std::vector<std::thread> callers;
    for (int i = 0; i < 3; i++) {
        callers.emplace_back([&, i] {
            auto start = Clock::now();
            statuses[i] = bus.call("test", "echo", nullptr, 400).get().status;
            elapsed[i] = msSince(start);
        });
    }
    for (auto &t : callers) t.join();
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(statuses[i], busclient::kTimeout);
        EXPECT_GE(elapsed[i], 390);
        EXPECT_LT(elapsed[i], 400 + kLateMs);
    }

    // open calls end with the stop, which leaves the stuck thread behind
    std::future<Reply> open = bus.call("test", "echo", nullptr, 60000);
    // the timed-out calls still wait for the bus thread: the queue is full
    EXPECT_EQ(callAndWait("test", "echo", nullptr, 60000).status, busclient::kNoMemory);
    auto start = Clock::now();
    bus.stop();
    EXPECT_LT(msSince(start), options.stopGraceMs + kLateMs);
    ASSERT_EQ(open.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    EXPECT_EQ(open.get().status, busclient::kConnectionFailed);
    // after the stop a call ends at once, on the caller's thread
    EXPECT_EQ(callAndWait("test", "echo").status, busclient::kConnectionFailed);

    // the left-behind thread ends once the broker is gone
    killBroker();
    busclient::Options again;
    again.socket = socket_;
    BusClient next(again);
    EXPECT_TRUE(e2e::waitUntil([&] { return next.start(); }, kWait));
}

// A program that leaves SIGTERM at its default still dies of it, and one
// that waits for it ends in order, also with the bus stuck on a stalled broker.
TEST_F(BusClientE2e, TerminationSignalStillEndsTheProgram) {
    startOwner();
    for (bool waitsForSignal : {false, true}) {
        SCOPED_TRACE(waitsForSignal ? "sigwait" : "default disposition");
        int up[2], down[2];
        ASSERT_EQ(pipe(up), 0);
        ASSERT_EQ(pipe(down), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            if (waitsForSignal) pthread_sigmask(SIG_BLOCK, &term, nullptr);
            busclient::Options options;
            options.socket = socket_;
            options.stopGraceMs = 300;
            BusClient bus(options);
            char c = 0;
            if (!bus.start() || bus.call("test", "echo", nullptr, 5000).get().status != 0) _exit(3);
            if (write(up[1], "r", 1) != 1 || read(down[0], &c, 1) != 1) _exit(4);
            // the broker is stopped now: this wedges the bus thread
            bus.listen("stuck", [](const std::string &, const json &) {});
            if (write(up[1], "l", 1) != 1) _exit(4);
            if (!waitsForSignal) {
                for (;;) pause();
            }
            int sig = 0;
            sigwait(&term, &sig);
            bus.stop();
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        auto readByte = [&] {
            char c = 0;
            return e2e::waitUntil([&] { return read(up[0], &c, 1) == 1; }, kWait) ? c : 0;
        };
        fcntl(up[0], F_SETFL, O_NONBLOCK);
        EXPECT_EQ(readByte(), 'r');
        broker_->signal(SIGSTOP);
        EXPECT_EQ(write(down[1], "g", 1), 1);
        EXPECT_EQ(readByte(), 'l');
        std::this_thread::sleep_for(
            std::chrono::milliseconds(100));  // let the bus thread reach the broker
        kill(pid, SIGTERM);
        int status = 0;
        bool ended = e2e::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, kWait);
        broker_->signal(SIGCONT);
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        close(up[0]);
        close(down[1]);
        ASSERT_TRUE(ended);
        if (waitsForSignal)
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        else
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    }
}

}  // namespace
