// Benchmark of a running gimbalhub-onvif (started by scripts/bench.sh beside
// the daemon on the simulated driver): SOAP round trips over one kept-alive
// HTTP connection, and the endpoint's memory while a client polls it every
// 100 ms. Prints figures; exits 0 once the measurements ran.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kPtz[] =
    "xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\" xmlns:tt=\"http://www.onvif.org/ver10/schema\"";

std::string envelope(const std::string &body) {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>" + body +
           "</s:Body></s:Envelope>";
}

const std::string kStatus = envelope(std::string("<GetStatus ") + kPtz +
                                     "><ProfileToken>Profile_1</ProfileToken></GetStatus>");
const std::string kMove =
    envelope(std::string("<ContinuousMove ") + kPtz +
             "><ProfileToken>Profile_1</ProfileToken><Velocity><tt:PanTilt x=\"0.2\" "
             "y=\"0\"/></Velocity><Timeout>PT1S</Timeout></ContinuousMove>");
const std::string kStop =
    envelope(std::string("<Stop ") + kPtz + "><ProfileToken>Profile_1</ProfileToken></Stop>");

// One kept-alive HTTP/1.1 connection posting SOAP bodies.
class Connection {
public:
    explicit Connection(uint16_t port) : port_(port) {}
    ~Connection() {
        if (fd_ >= 0) close(fd_);
    }
    // The HTTP status of the answer, or -1.
    int post(const std::string &body) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (fd_ < 0 && !open()) return -1;
            std::string request =
                "POST /onvif/ptz_service HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                "Content-Type: application/soap+xml; charset=utf-8\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
            int status = -1;
            if (send(fd_, request.data(), request.size(), MSG_NOSIGNAL) ==
                    static_cast<ssize_t>(request.size()) &&
                (status = readAnswer()) > 0)
                return status;
            close(fd_);
            fd_ = -1;  // the server closed a kept-alive connection: once more on a new one
        }
        return -1;
    }

private:
    bool open() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port_);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    int readAnswer() {
        std::string data;
        char buffer[8192];
        size_t headEnd = std::string::npos, length = 0;
        for (;;) {
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return -1;
            data.append(buffer, static_cast<size_t>(n));
            if (headEnd == std::string::npos &&
                (headEnd = data.find("\r\n\r\n")) != std::string::npos) {
                size_t at = data.find("Content-Length: ");
                if (at == std::string::npos || at > headEnd) return -1;
                length = strtoul(data.c_str() + at + 16, nullptr, 10);
            }
            if (headEnd != std::string::npos && data.size() >= headEnd + 4 + length)
                return data.size() > 12 ? atoi(data.c_str() + 9) : -1;
        }
    }

    uint16_t port_;
    int fd_ = -1;
};

double percentile(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t index = static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PORT PID   (of a running gimbalhub-onvif without users)\n",
                argv[0]);
        return 2;
    }
    const auto port = static_cast<uint16_t>(atoi(argv[1]));
    const pid_t pid = static_cast<pid_t>(atol(argv[2]));
    Connection connection(port);
    long failures = 0;

    std::vector<double> status;
    for (int i = 0; i < 2200; ++i) {
        auto start = Clock::now();
        if (connection.post(kStatus) != 200) ++failures;
        if (i >= 200) status.push_back(millisecondsSince(start));  // the first 200 warm up
    }
    printf("== gimbalhub-onvif ==\n");
    printf("%-34s p50 %6.2f ms  p99 %6.2f ms  (2000 calls)\n", "GetStatus", percentile(status, 0.5),
           percentile(status, 0.99));

    std::vector<double> pairs;
    for (int i = 0; i < 200; ++i) {
        auto start = Clock::now();
        if (connection.post(kMove) != 200) ++failures;
        if (connection.post(kStop) != 200) ++failures;
        pairs.push_back(millisecondsSince(start));
    }
    printf("%-34s p50 %6.2f ms  p99 %6.2f ms  (200 pairs)\n", "ContinuousMove -> Stop",
           percentile(pairs, 0.5), percentile(pairs, 0.99));

    // A client that polls the status every 100 ms, as video systems do.
    const long rssStart = e2e::residentKilobytes(pid);
    long rssMax = rssStart;
    auto until = Clock::now() + std::chrono::seconds(30);
    auto next = Clock::now();
    int polls = 0;
    while (Clock::now() < until) {
        if (connection.post(kStatus) != 200) ++failures;
        ++polls;
        rssMax = std::max(rssMax, e2e::residentKilobytes(pid));
        next += std::chrono::milliseconds(100);
        std::this_thread::sleep_until(next);
    }
    printf("%-34s start %ld kB, highest %ld kB, end %ld kB  (%d polls in 30 s)\n",
           "RSS, polled every 100 ms", rssStart, rssMax, e2e::residentKilobytes(pid), polls);
    if (failures) printf("failed calls: %ld\n", failures);
    return 0;
}
