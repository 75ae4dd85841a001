// The gateway as a process between HTTP clients and a real broker with
// object owners: reply bytes, the call time limit, clients that stall or
// overreach, objects and brokers that stop, and a broker that goes and comes
// back.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "raw_client.h"

namespace {

const std::string kAnon = "00000000000000000000000000000000";
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A connection from the given loopback address (127.0.0.2 is another client).
int connectTo(int port, const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    if (from) {
        inet_pton(AF_INET, from, &addr.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd);
            return -1;
        }
    }
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the server closes the connection within the time.
bool closedWithin(int fd, int timeoutMs)
{
    char buf[4096];
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd pfd = {fd, POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, left) <= 0)
            return false;
        if (recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0)
            return true;
    }
}

struct Response {
    int status = 0;
    std::string head, body;
};

// One request on its own connection; the whole response, read until close.
Response request(int port, const std::string &raw, int timeoutMs = 10000)
{
    Response r;
    int fd = connectTo(port);
    if (fd < 0)
        return r;
    send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    std::string all;
    char buf[4096];
    for (;;) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    size_t split = all.find("\r\n\r\n");
    r.head = all.substr(0, split);
    r.body = split == std::string::npos ? "" : all.substr(split + 4);
    if (all.size() > 12)
        r.status = std::stoi(all.substr(9, 3));
    return r;
}

std::string post(int port, const std::string &body, const std::string &extraHeaders = "")
{
    return request(port,
                   "POST /ubus HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                   "Content-Type: application/json\r\n" +
                       extraHeaders + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)
        .body;
}

std::string get(int port, const std::string &path, int timeoutMs = 10000)
{
    return request(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n",
                   timeoutMs)
        .body;
}

std::string callBody(const std::string &object, const std::string &method, const std::string &args = "{}")
{
    return R"({"jsonrpc":"2.0","id":1,"method":"call","params":[")" + kAnon + R"(",")" + object + R"(",")" +
           method + R"(",)" + args + "]}";
}

const std::string kTimedOut =
    R"({"jsonrpc":"2.0","id":1,"error":{"code":-32003,"message":"ubus request timed out"}})";

class Gateway : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = broker_.dir() + "/www";
        ASSERT_EQ(0, mkdir(root_.c_str(), 0755));
        std::ofstream(root_ + "/index.html") << "<p>panel</p>";
        owner_ =
            std::make_unique<e2e::Process>(std::vector<std::string>{e2e::owner(), "-s", broker_.socket()});
        ASSERT_FALSE(owner_->waitLine("ready ").empty());
        startGateway({"-t", "1"});
    }
    void startGateway(std::vector<std::string> extra)
    {
        std::vector<std::string> argv{GATEWAY_BIN, "-s", broker_.socket(), "-l", "127.0.0.1:0", "-r", root_};
        argv.insert(argv.end(), extra.begin(), extra.end());
        gateway_ = std::make_unique<e2e::Process>(argv);
        std::string line = gateway_->waitLine("listening on ");
        ASSERT_FALSE(line.empty()) << "the gateway did not start";
        port_ = std::stoi(line.substr(line.rfind(':') + 1));
    }
    // A second owner whose process is then stopped: it takes no call.
    std::unique_ptr<e2e::Process> stuckOwner()
    {
        auto stuck = std::make_unique<e2e::Process>(
            std::vector<std::string>{e2e::owner(), "-s", broker_.socket(), "-n", "stuck"});
        EXPECT_FALSE(stuck->waitLine("ready ").empty());
        stuck->signal(SIGSTOP);
        return stuck;
    }
    // SIGTERM ends the gateway promptly whatever it waits for.
    void expectPromptExit()
    {
        auto start = Clock::now();
        EXPECT_EQ(0, gateway_->stop(5));
        EXPECT_LT(secondsSince(start), 2.0);
    }

    e2e::PrivateBus broker_;
    std::string root_;
    std::unique_ptr<e2e::Process> owner_, gateway_;
    int port_ = 0;
};

TEST_F(Gateway, RepliesThroughTheBusByteForByte)
{
    EXPECT_EQ(
        post(port_,
             callBody("test", "echo", R"({"a":1,"d":-177.5,"big":5000000000,"s":"x","n":null,"l":[true]})")),
        R"({"jsonrpc":"2.0","id":1,"result":[0,{"a":1,"d":-177.500000,"big":5000000000,"s":"x","n":null,)"
        R"("l":[true],"ubus_rpc_session":")" +
            kAnon + R"("}]})");
    EXPECT_EQ(post(port_, callBody("test", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
    EXPECT_EQ(post(port_, callBody("test", "nomethod")), R"({"jsonrpc":"2.0","id":1,"result":[3]})");
    EXPECT_EQ(post(port_, callBody("missing", "echo")),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Object not found"}})");
    EXPECT_EQ(post(port_, R"({"jsonrpc":"2.0","id":2,"method":"list"})"),
              R"({"jsonrpc":"2.0","id":2,"result":["test"]})");
    // argument types named as the device names them
    std::string listed = post(port_, R"({"jsonrpc":"2.0","id":2,"method":"list","params":["te*"]})");
    EXPECT_NE(listed.find(R"("move":{"x":"number","y":"number"},"set":{"name":"string","on":"boolean",)"
                          R"("list":"array","opts":"object","big":"number"})"),
              std::string::npos)
        << listed;
}

// A slow object costs its caller the time limit, and nobody else anything.
TEST_F(Gateway, SlowObjectsAndStalledClientsBlockNoOne)
{
    e2e::Process other({e2e::owner(), "-s", broker_.socket(), "-n", "other"});
    ASSERT_FALSE(other.waitLine("ready ").empty());
    // a client that sends half a request and then nothing
    int stalled = connectTo(port_);
    const std::string half =
        "POST /ubus HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{\"jsonrpc\"";
    send(stalled, half.data(), half.size(), MSG_NOSIGNAL);

    std::string slowReply;
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        slowReply = post(port_, callBody("test", "slow"));
        slowDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // answered while the slow call still waits for its time limit
    EXPECT_EQ(post(port_, callBody("other", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
    EXPECT_FALSE(slowDone);
    slow.join();
    // the owner sleeps 3 s; the gateway gives up after its 1 s limit
    EXPECT_EQ(slowReply, kTimedOut);
    close(stalled);
}

TEST_F(Gateway, RefusesWhatItMustNotServe)
{
    EXPECT_EQ(200, request(port_, "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n").status);
    EXPECT_EQ(
        404,
        request(port_, "GET /../etc/passwd HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n").status);
    // a DNS name pointing here must not give another site's pages the bus
    EXPECT_EQ(403,
              request(port_, "GET / HTTP/1.1\r\nHost: attacker.example\r\nConnection: close\r\n\r\n").status);
    EXPECT_EQ("Forbidden\n", post(port_, callBody("test", "echo"), "Origin: http://attacker.example\r\n"));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"result":[0]})",
              post(port_, callBody("test", "noreply"), "Origin: http://127.0.0.1\r\n"));
    std::string big(70 * 1024, ' ');
    EXPECT_EQ("Content Too Large\n", post(port_, big));
    Response chunked = request(port_,
                               "POST /ubus HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                               "Transfer-Encoding: chunked\r\n\r\n10000\r\n" +
                                   std::string(0x10000, ' ') + "\r\n10000\r\n" + std::string(0x10000, ' ') +
                                   "\r\n0\r\n\r\n");
    EXPECT_EQ(413, chunked.status);
    EXPECT_EQ(405,
              request(port_, "PUT /ubus HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n").status);

    // no redirect to another host, no dotfiles, no named pipes
    ASSERT_EQ(0, mkdir((root_ + "/gimbalhub").c_str(), 0755));
    Response folder =
        request(port_, "GET /gimbalhub HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(301, folder.status);
    EXPECT_NE(std::string::npos, folder.head.find("Location: /gimbalhub/\r"));
    Response twoSlashes =
        request(port_, "GET //gimbalhub HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(404, twoSlashes.status);
    EXPECT_EQ(std::string::npos, twoSlashes.head.find("Location"));
    std::ofstream(root_ + "/.secret") << "key";
    EXPECT_EQ(404,
              request(port_, "GET /.secret HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n").status);
    ASSERT_EQ(0, mkfifo((root_ + "/pipe.html").c_str(), 0644));
    auto start = Clock::now();
    EXPECT_EQ(404,
              request(port_, "GET /pipe.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", 3000)
                  .status);
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_EQ("<p>panel</p>", get(port_, "/"));
}

// Also in the moment between start-up and the event loop.
TEST_F(Gateway, SigtermRightAfterStartEndsIt)
{
    expectPromptExit();
}

TEST_F(Gateway, BrokerLossIsAnInternalErrorUntilItReturns)
{
    const std::string socket = broker_.socket();
    ASSERT_EQ(0, broker_.stop());
    EXPECT_EQ(post(port_, callBody("test", "echo")),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"Internal error"}})");
    e2e::Process broker({e2e::ubusdPath(), "-s", socket});
    for (int i = 0; i < 500 && !e2e::RawClient(socket).connected(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    e2e::Process owner({e2e::owner(), "-s", socket, "-n", "again"});
    ASSERT_FALSE(owner.waitLine("ready ").empty());
    EXPECT_EQ(post(port_, callBody("again", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
}

// An object that stops reading, with big calls queued to it: its callers
// get the time limit; files, other objects' callers and SIGTERM are served.
TEST_F(Gateway, AStuckObjectHoldsUpOnlyItsOwnCallers)
{
    auto stuck = stuckOwner();
    const std::string big = callBody("stuck", "echo", R"({"s":")" + std::string(60 * 1024, 'x') + R"("})");
    std::vector<std::thread> callers;
    std::atomic<int> timedOut{0}, refused{0};
    for (int i = 0; i < 12; i++)
        callers.emplace_back([&] {
            std::string reply = post(port_, big);
            if (reply == kTimedOut)
                timedOut++;
            else if (reply.find(R"("result":[11])") != std::string::npos)
                refused++;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = Clock::now();
    EXPECT_EQ("<p>panel</p>", get(port_, "/", 3000));
    EXPECT_LT(secondsSince(start), 1.0);
    // at the latest when the broker gives up on it: within the time limit
    std::string other = post(port_, callBody("test", "fail99"));
    EXPECT_TRUE(other == R"({"jsonrpc":"2.0","id":1,"result":[99]})" || other == kTimedOut) << other;
    for (auto &t : callers)
        t.join();
    // The broker keeps the gateway's share of calls for the stuck object,
    // which time out, and refuses the rest at once (status 11).
    EXPECT_EQ(12, timedOut + refused);
    EXPECT_GT(timedOut, 0);
    expectPromptExit();
    stuck->signal(SIGCONT);
}

// A stopped broker answers nothing: every request still ends in its time,
// and SIGTERM still ends the gateway.
TEST_F(Gateway, AStoppedBrokerCostsEachRequestItsTimeLimit)
{
    // "test" known: its calls go out at once and fill the socket
    EXPECT_EQ(post(port_, callBody("test", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
    broker_.signal(SIGSTOP);
    const std::string big = callBody("test", "echo", R"({"s":")" + std::string(60 * 1024, 'x') + R"("})");
    std::vector<std::thread> callers;
    std::atomic<int> timedOut{0};
    auto start = Clock::now();
    // more than the socket to the broker holds: the rest waits in the gateway
    for (int i = 0; i < 14; i++)
        callers.emplace_back([&, i] {
            if (post(port_, i % 7 ? big : callBody("never-looked-up", "echo")) == kTimedOut)
                timedOut++;
        });
    for (auto &t : callers)
        t.join();
    EXPECT_EQ(14, timedOut);
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_EQ("<p>panel</p>", get(port_, "/", 3000));
    expectPromptExit();
    broker_.signal(SIGCONT);
}

// Peers that send part of a request and hang up hold no slot.
TEST_F(Gateway, ClosedPeersAreFreedAtOnce)
{
    const std::string part = "POST /ubus HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{";
    for (int i = 0; i < 80; i++) {
        int fd = connectTo(port_);
        if (fd >= 0) {
            send(fd, part.data(), part.size(), MSG_NOSIGNAL);
            close(fd);
        }
    }
    std::string reply;
    EXPECT_TRUE(e2e::waitUntil(
        [&] {
            reply = post(port_, callBody("test", "fail99"));
            return reply == R"({"jsonrpc":"2.0","id":1,"result":[99]})";
        },
        2))
        << reply;
}

// Clients trickling a request byte by byte: a few slots per client, and a
// deadline for the whole request however busy they keep the connection.
TEST_F(Gateway, SlowClientsGetADeadlineAndAFewSlots)
{
    gateway_->stop();
    startGateway({"-t", "1", "-w", "1"});
    std::vector<int> slow;
    for (int i = 0; i < 70; i++) {
        int fd = connectTo(port_, "127.0.0.2");
        if (fd >= 0)
            slow.push_back(fd);
    }
    ASSERT_FALSE(slow.empty());
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        const std::string head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Padding: ";
        for (size_t n = 0; !stop; n++) {
            for (int fd : slow)
                send(fd, &head[std::min(n, head.size() - 1)], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    for (int i = 0; i < 5; i++) {
        auto start = Clock::now();
        EXPECT_EQ(post(port_, callBody("test", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
        EXPECT_LT(secondsSince(start), 1.0);
    }
    // every trickler is cut off by the deadline, busy as it keeps its connection
    for (int fd : slow)
        EXPECT_TRUE(closedWithin(fd, 3000));
    stop = true;
    trickle.join();
    for (int fd : slow)
        close(fd);
}

// A batch has one deadline however many calls it holds, and a list one
// lookup per distinct pattern, so neither holds up other callers.
TEST_F(Gateway, BatchesAndListsAreBounded)
{
    auto stuck = stuckOwner();
    std::string batch = "[";
    for (int i = 0; i < 20; i++)
        batch += (i ? "," : "") + callBody("stuck", "echo");
    auto start = Clock::now();
    std::string replies = post(port_, batch + "]");
    EXPECT_LT(secondsSince(start), 3.0);
    size_t count = 0;
    for (size_t at = 0; (at = replies.find("-32003", at)) != std::string::npos; at++)
        count++;
    EXPECT_EQ(20u, count) << replies;

    std::string stars = R"({"jsonrpc":"2.0","id":2,"method":"list","params":["*")";
    for (int i = 0; i < 16000; i++)
        stars += R"(,"*")";
    stars += "]}";
    std::vector<std::thread> listers;
    std::atomic<int> listed{0};
    for (int i = 0; i < 8; i++)
        listers.emplace_back([&] {
            if (post(port_, stars).find(R"("test":{"move")") != std::string::npos)
                listed++;
        });
    // what is left is reading the eight bodies (slower under the sanitizers)
    start = Clock::now();
    EXPECT_EQ(post(port_, callBody("test", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
    EXPECT_LT(secondsSince(start), 3.0);
    for (auto &t : listers)
        t.join();
    EXPECT_EQ(8, listed);
    stuck->signal(SIGCONT);
}

TEST_F(Gateway, OversizedRepliesFailOnlyTheirCaller)
{
    EXPECT_EQ(post(port_, callBody("test", "bulk")),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"Internal error"}})");
    EXPECT_EQ(post(port_, callBody("test", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
}

}  // namespace
