// getPosition made directly on the bus and through the HTTP gateway, in one
// run against the same broker and daemon: one keep-alive HTTP client, then 8
// at once. Prints p50/p99 and calls/s beside the target (sequential gateway
// p50 at most 3x the direct p50); figures, not a gate.
#include <libubus.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::micro>(b - a).count();
}

struct Figures {
    double p50 = 0, p99 = 0, max = 0, perSecond = 0;
    size_t count = 0;
};

Figures summarise(std::vector<double> samples, double seconds) {
    Figures f;
    if (samples.empty()) return f;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        return samples[static_cast<size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    f.p50 = at(0.5);
    f.p99 = at(0.99);
    f.max = samples.back();
    f.count = samples.size();
    f.perSecond = static_cast<double>(samples.size()) / seconds;
    return f;
}

void print(const char *label, const Figures &f) {
    printf("%-36s p50 %8.1f us  p99 %8.1f us  max %9.1f us  %8.0f calls/s\n", label, f.p50, f.p99,
           f.max, f.perSecond);
}

// ---- directly on the bus ----

void countReply(ubus_request *req, int, blob_attr *) { ++*static_cast<long *>(req->priv); }

bool direct(const char *socket, int calls, std::vector<double> &out) {
    ubus_context *ctx = ubus_connect(socket);
    uint32_t id = 0;
    if (!ctx || ubus_lookup_id(ctx, "gimbalhub", &id) != 0) {
        if (ctx) ubus_free(ctx);
        return false;
    }
    blob_buf empty = {};
    blob_buf_init(&empty, 0);
    long replies = 0;
    bool ok = true;
    for (int i = 0; i < calls && ok; i++) {
        Clock::time_point start = Clock::now();
        ok = ubus_invoke(ctx, id, "getPosition", empty.head, countReply, &replies, 5000) == 0;
        out.push_back(micros(start, Clock::now()));
    }
    blob_buf_free(&empty);
    ubus_free(ctx);
    return ok && replies == calls;
}

// ---- through the gateway: one persistent HTTP/1.1 connection ----

class KeepAlive {
public:
    explicit KeepAlive(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
        const std::string body =
            R"({"jsonrpc":"2.0","id":1,"method":"call","params":["00000000000000000000000000000000",)"
            R"("gimbalhub","getPosition",{}]})";
        request_ =
            "POST /ubus HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            "Content-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    ~KeepAlive() {
        if (fd_ >= 0) close(fd_);
    }
    KeepAlive(const KeepAlive &) = delete;
    KeepAlive &operator=(const KeepAlive &) = delete;

    // One request and its whole response; false unless the call succeeded.
    bool getPosition() {
        if (fd_ < 0 ||
            send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL) != ssize_t(request_.size()))
            return false;
        buffer_.clear();
        size_t headEnd = std::string::npos, need = 0;
        for (;;) {
            if (headEnd == std::string::npos) {
                headEnd = buffer_.find("\r\n\r\n");
                if (headEnd != std::string::npos) {
                    size_t at = headEnd;
                    for (size_t p = 0; p < headEnd;) {
                        size_t eol = buffer_.find("\r\n", p);
                        if (strncasecmp(buffer_.c_str() + p, "Content-Length:", 15) == 0)
                            at = strtoul(buffer_.c_str() + p + 15, nullptr, 10);
                        p = eol + 2;
                    }
                    if (at == headEnd) return false;
                    need = headEnd + 4 + at;
                }
            }
            if (headEnd != std::string::npos && buffer_.size() >= need) break;
            pollfd pfd = {fd_, POLLIN, 0};
            if (poll(&pfd, 1, 5000) <= 0) return false;
            char chunk[4096];
            ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<size_t>(n));
        }
        return buffer_.compare(0, 12, "HTTP/1.1 200") == 0 &&
               buffer_.find("\"result\":[0,{", headEnd) != std::string::npos;
    }

private:
    int fd_ = -1;
    std::string request_;
    std::string buffer_;
};

bool throughGateway(int port, int clients, int callsEach, std::vector<double> &out,
                    double &seconds) {
    std::vector<std::vector<double>> each(static_cast<size_t>(clients));
    std::atomic<int> failures{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; c++) {
        threads.emplace_back([&, c] {
            KeepAlive client(port);
            for (int i = 0; i < 50; i++)  // warm-up
                client.getPosition();
            ready++;
            while (!go) std::this_thread::yield();
            auto &mine = each[static_cast<size_t>(c)];
            mine.reserve(static_cast<size_t>(callsEach));
            for (int i = 0; i < callsEach; i++) {
                Clock::time_point start = Clock::now();
                if (!client.getPosition()) {
                    failures++;
                    return;
                }
                mine.push_back(micros(start, Clock::now()));
            }
        });
    }
    while (ready < clients) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Clock::time_point start = Clock::now();
    go = true;
    for (auto &t : threads) t.join();
    seconds = micros(start, Clock::now()) / 1e6;
    for (auto &mine : each) out.insert(out.end(), mine.begin(), mine.end());
    return failures == 0;
}

}  // namespace

int main(int argc, char **argv) {
    int port = 0;
    const char *socket = nullptr;
    int calls = 10000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--port")
            port = atoi(argv[i + 1]);
        else if (name == "--socket")
            socket = argv[i + 1];
        else if (name == "--calls")
            calls = atoi(argv[i + 1]);
    }
    if (port <= 0 || calls < 8) {
        fprintf(stderr, "usage: %s --port GATEWAY_PORT [--socket BUS_SOCKET] [--calls N]\n",
                argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Direct and gateway runs alternate in rounds, so that a busy spell of
    // the machine falls on both alike.
    const int kRounds = 5;
    const int kClients = 8;
    std::vector<double> bus, single, eight;
    double busSeconds = 0, singleSeconds = 0, eightSeconds = 0;
    std::vector<double> warm;
    if (!direct(socket, 200, warm)) {
        fprintf(stderr, "cannot call gimbalhub getPosition on the bus\n");
        return 1;
    }
    for (int round = 0; round < kRounds; round++) {
        Clock::time_point start = Clock::now();
        if (!direct(socket, calls / kRounds, bus))
            return fprintf(stderr, "direct calls failed\n"), 1;
        busSeconds += micros(start, Clock::now()) / 1e6;
        double s = 0;
        if (!throughGateway(port, 1, calls / kRounds, single, s))
            return fprintf(stderr, "gateway calls failed (1 client)\n"), 1;
        singleSeconds += s;
        if (!throughGateway(port, kClients, calls / kRounds / kClients, eight, s))
            return fprintf(stderr, "gateway calls failed (%d clients)\n", kClients), 1;
        eightSeconds += s;
    }
    Figures b = summarise(bus, busSeconds);
    Figures g1 = summarise(single, singleSeconds);
    Figures g8 = summarise(eight, eightSeconds);
    printf("== getPosition: bus and HTTP gateway (%d calls each, %d rounds) ==\n", calls, kRounds);
    print("bus, 1 client", b);
    print("gateway, 1 keep-alive client", g1);
    print("gateway, 8 keep-alive clients", g8);
    double ratio = b.p50 > 0 ? g1.p50 / b.p50 : 0;
    printf("%-36s %.1fx   target <= 3x   %s\n", "gateway p50 / bus p50", ratio,
           ratio <= 3 ? "PASS" : "MISS");
    return 0;
}
