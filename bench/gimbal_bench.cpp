// Bus benchmark of a running gimbalhub (started by scripts/bench.sh with the
// simulated driver): request round trips, command-to-driver latency, memory
// and idle CPU. Prints figures beside their targets; always exits 0 once the
// measurements ran, since these are figures, not a gate.
#include <libubus.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

struct Options {
    pid_t pid = -1;
    std::string logPath;
    std::string tracePath;
    const char *socket = nullptr;  // null: the default socket, as the daemon uses
};

struct Summary {
    double p50 = 0, p90 = 0, p99 = 0, max = 0;
};

Summary summarise(std::vector<double> samples) {
    Summary summary;
    if (samples.empty()) return summary;
    std::sort(samples.begin(), samples.end());
    auto at = [&](double fraction) {
        size_t index =
            static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
        return samples[std::min(index, samples.size() - 1)];
    };
    summary.p50 = at(0.50);
    summary.p90 = at(0.90);
    summary.p99 = at(0.99);
    summary.max = samples.back();
    return summary;
}

const char *verdict(bool met) { return met ? "PASS" : "MISS"; }

void replyReceived(struct ubus_request *req, int, struct blob_attr *) {
    ++*static_cast<long *>(req->priv);
}

// One bus connection with the id of the daemon's object looked up.
class Client {
public:
    explicit Client(const char *socket) {
        context_ = ubus_connect(socket);
        if (context_ != nullptr && ubus_lookup_id(context_, "gimbalhub", &id_) != 0) {
            ubus_free(context_);
            context_ = nullptr;
        }
        memset(&empty_, 0, sizeof empty_);
        blob_buf_init(&empty_, 0);
    }
    ~Client() {
        blob_buf_free(&empty_);
        if (context_ != nullptr) ubus_free(context_);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool ok() const { return context_ != nullptr; }

    // One getPosition round trip; the duration in microseconds, or -1.
    double getPosition() {
        const auto start = std::chrono::steady_clock::now();
        long before = replies_;
        const int status =
            ubus_invoke(context_, id_, "getPosition", empty_.head, replyReceived, &replies_, 5000);
        const auto end = std::chrono::steady_clock::now();
        if (status != 0 || replies_ != before + 1) return -1;
        return std::chrono::duration<double, std::micro>(end - start).count();
    }

    bool changePan(int step) {
        struct blob_buf message;
        memset(&message, 0, sizeof message);
        blob_buf_init(&message, 0);
        blobmsg_add_u32(&message, "step", static_cast<uint32_t>(step));
        const int status =
            ubus_invoke(context_, id_, "changePan", message.head, nullptr, nullptr, 5000);
        blob_buf_free(&message);
        return status == 0;
    }

private:
    struct ubus_context *context_ = nullptr;
    uint32_t id_ = 0;
    struct blob_buf empty_;
    long replies_ = 0;
};

bool runCalls(Client &client, long count, std::vector<double> *samples, long *failures) {
    for (long i = 0; i < count; ++i) {
        const double micros = client.getPosition();
        if (micros < 0) {
            ++*failures;
            if (*failures > 100) return false;
            continue;
        }
        if (samples) samples->push_back(micros);
    }
    return true;
}

void printRoundTrips(const char *label, const std::vector<double> &samples, double seconds) {
    const Summary s = summarise(samples);
    printf("%-34s p50 %7.1f us  p90 %7.1f us  p99 %7.1f us  max %8.1f us  %9.0f calls/s\n", label,
           s.p50, s.p90, s.p99, s.max, static_cast<double>(samples.size()) / seconds);
}

bool parseOptions(int argc, char **argv, Options &options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--pid")
            options.pid = static_cast<pid_t>(atol(argv[i + 1]));
        else if (name == "--log")
            options.logPath = argv[i + 1];
        else if (name == "--trace")
            options.tracePath = argv[i + 1];
        else if (name == "--socket")
            options.socket = argv[i + 1];
        else
            return false;
    }
    return options.pid > 0 && !options.logPath.empty() && !options.tracePath.empty();
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        fprintf(stderr,
                "usage: %s --pid PID --log DAEMON_LOG --trace DRIVER_TRACE [--socket PATH]\n",
                argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Homing must be over, or the first commands would wait behind it.
    const bool ready = e2e::waitUntil(
        [&] {
            for (const auto &line : e2e::parseLog(e2e::readFile(options.logPath)))
                if (line.message == "Transitioning FSM: HOMMING_Y -> READY") return true;
            return false;
        },
        20);
    if (!ready) {
        fprintf(stderr, "gimbalhub did not reach READY (log: %s)\n", options.logPath.c_str());
        return 1;
    }

    Client client(options.socket);
    if (!client.ok()) {
        fprintf(stderr, "cannot reach the gimbalhub object on the bus\n");
        return 1;
    }

    const long rssStart = e2e::residentKilobytes(options.pid);

    printf("== idle CPU (10 s) ==\n");
    const double cpuBefore = e2e::cpuSeconds(options.pid);
    const double idleStart = e2e::monotonicNow();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const double idlePercent =
        100.0 * (e2e::cpuSeconds(options.pid) - cpuBefore) / (e2e::monotonicNow() - idleStart);
    printf("%-34s %.3f %%   target < 0.5 %%   %s\n", "idle CPU", idlePercent,
           verdict(idlePercent < 0.5));

    auto broken = [] {
        fprintf(stderr,
                "the benchmark could not go on: requests failing or the daemon not answering\n");
        return 1;
    };
    long requests = 0;
    long failures = 0;
    printf("== getPosition round trips ==\n");
    // Warm-up, then up to 10,000 requests for the first memory figure.
    if (!runCalls(client, 10000, nullptr, &failures)) return broken();
    requests += 10000;
    const long rss10k = e2e::residentKilobytes(options.pid);

    std::vector<double> single;
    single.reserve(20000);
    double start = e2e::monotonicNow();
    if (!runCalls(client, 20000, &single, &failures)) return broken();
    const double singleSeconds = e2e::monotonicNow() - start;
    requests += 20000;
    printRoundTrips("1 client, 20000 calls", single, singleSeconds);
    const Summary s = summarise(single);
    printf("%-34s p50 <= 60 us: %s   p99 <= 150 us: %s\n", "  targets", verdict(s.p50 <= 60),
           verdict(s.p99 <= 150));

    // Four clients at once, each with its own connection.
    const int kClients = 4;
    const long kPerClient = 5000;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>(options.socket));
        if (!clients.back()->ok()) return broken();
        runCalls(*clients.back(), 250, nullptr, &failures);  // warm-up of each connection
        requests += 250;
    }
    std::vector<std::vector<double>> perClient(kClients);
    std::vector<long> clientFailures(kClients, 0);
    std::vector<std::thread> threads;
    start = e2e::monotonicNow();
    for (int i = 0; i < kClients; ++i) {
        perClient[i].reserve(kPerClient);
        threads.emplace_back(
            [&, i] { runCalls(*clients[i], kPerClient, &perClient[i], &clientFailures[i]); });
    }
    for (auto &thread : threads) thread.join();
    const double concurrentSeconds = e2e::monotonicNow() - start;
    std::vector<double> concurrent;
    for (int i = 0; i < kClients; ++i) {
        concurrent.insert(concurrent.end(), perClient[i].begin(), perClient[i].end());
        failures += clientFailures[i];
    }
    requests += kClients * kPerClient;
    printRoundTrips("4 clients, 4 x 5000 calls", concurrent, concurrentSeconds);
    clients.clear();

    if (!runCalls(client, 100000 - requests, nullptr, &failures)) return broken();
    requests = 100000;
    const long rss100k = e2e::residentKilobytes(options.pid);
    printf("== resident memory ==\n");
    printf("%-34s %ld kB\n", "after start-up", rssStart);
    printf("%-34s %ld kB\n", "after 10,000 requests", rss10k);
    printf("%-34s %ld kB   target: no growth from 10k   %s\n", "after 100,000 requests", rss100k,
           verdict(rss100k <= rss10k));

    // changePan until the driver sees the move request; the trace stamps
    // CLOCK_MONOTONIC, like e2e::monotonicNow here.
    printf("== changePan -> driver MOVE (200 commands) ==\n");
    e2e::TraceFollower follower(options.tracePath);
    follower.poll();  // skip homing
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> phase(0, 100);
    std::vector<double> latencies;
    for (int i = 0; i < 200; ++i) {
        // Spread the calls over the daemon's 100 ms cycle.
        std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
        const double sent = e2e::monotonicNow();
        if (!client.changePan(i % 2 == 0 ? 1 : -1)) return broken();
        double moveAt = -1;
        bool readBack = false;
        const bool done = e2e::waitUntil(
            [&] {
                for (const auto &entry : follower.poll()) {
                    if (entry.request == "MOVE" && moveAt < 0)
                        moveAt = entry.seconds;
                    else if (entry.request == "GET" && moveAt >= 0)
                        readBack = true;
                }
                return readBack;
            },
            5, 0.001);
        if (!done) return broken();
        latencies.push_back((moveAt - sent) * 1000.0);
    }
    const Summary m = summarise(latencies);
    printf("%-34s p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms   target p99 <= 105 ms   %s\n",
           "changePan -> MOVE", m.p50, m.p99, m.max, verdict(m.p99 <= 105));
    if (failures > 0) printf("failed calls: %ld\n", failures);
    return 0;
}
