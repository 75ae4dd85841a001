// The gateway as a process between HTTP clients and a real broker with
// object owners: reply bytes, the call time limit, clients that stall or
// overreach, and a broker that goes and comes back.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "e2e_support.h"
#include "raw_client.h"

namespace {

const std::string kAnon = "00000000000000000000000000000000";

int connectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Response {
    int status = 0;
    std::string head, body;
};

// One request on its own connection; the whole response, read until close.
Response request(int port, const std::string &raw)
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
        if (poll(&pfd, 1, 10000) <= 0)
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

std::string callBody(const std::string &object, const std::string &method, const std::string &args = "{}")
{
    return R"({"jsonrpc":"2.0","id":1,"method":"call","params":[")" + kAnon + R"(",")" + object + R"(",")" +
           method + R"(",)" + args + "]}";
}

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
        gateway_ = std::make_unique<e2e::Process>(std::vector<std::string>{
            GATEWAY_BIN, "-s", broker_.socket(), "-l", "127.0.0.1:0", "-r", root_, "-t", "1"});
        std::string line = gateway_->waitLine("listening on ");
        ASSERT_FALSE(line.empty()) << "the gateway did not start";
        port_ = std::stoi(line.substr(line.rfind(':') + 1));
    }

    e2e::PrivateBus broker_;
    std::string root_;
    std::unique_ptr<e2e::Process> owner_, gateway_;
    int port_ = 0;
};

TEST_F(Gateway, RepliesThroughTheBusByteForByte)
{
    EXPECT_EQ(
        post(port_, callBody("test", "echo", R"({"a":1,"s":"x"})")),
        R"({"jsonrpc":"2.0","id":1,"result":[0,{"a":1,"s":"x","ubus_rpc_session":")" + kAnon + R"("}]})");
    EXPECT_EQ(post(port_, callBody("test", "fail99")), R"({"jsonrpc":"2.0","id":1,"result":[99]})");
    EXPECT_EQ(post(port_, callBody("test", "nomethod")), R"({"jsonrpc":"2.0","id":1,"result":[3]})");
    EXPECT_EQ(post(port_, callBody("missing", "echo")),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"Object not found"}})");
    EXPECT_EQ(post(port_, R"({"jsonrpc":"2.0","id":2,"method":"list"})"),
              R"({"jsonrpc":"2.0","id":2,"result":["test"]})");
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
    EXPECT_EQ(slowReply,
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32003,"message":"ubus request timed out"}})");
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

}  // namespace
