// Fleet benchmark of gimbalhub-mqtt: N simulated heads (default 50), each
// with its own bus, daemon and bridge, on one mosquitto. Measures the time
// from one group publish to the move reaching every head's driver (p50/p99
// over every head and round), the time until every head has answered a
// group stop, and each bridge's memory and CPU at idle. Prints figures;
// exits 0 once it measured.
//   gimbal_fleet_bench [--heads N] [--rounds R]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fleet.h"

using namespace mqtttest;

namespace {

double at(std::vector<double> samples, double fraction) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const size_t index =
        static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

void line(const char *label, const std::vector<double> &ms) {
    printf("%-46s p50 %7.1f ms  p99 %7.1f ms  max %7.1f ms  (%zu samples)\n", label, at(ms, 0.5),
           at(ms, 0.99), at(ms, 1.0), ms.size());
}

}  // namespace

int main(int argc, char **argv) {
    int heads = 50, rounds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--heads") == 0) heads = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
    }
    std::string why;
    if (!fleetPossible(&why)) {
        fprintf(stderr, "fleet benchmark not possible here: %s\n", why.c_str());
        return 1;
    }
    std::string scratch =
        (std::filesystem::temp_directory_path() / "gimbalhub-fleet-bench-XXXXXX").string();
    if (mkdtemp(&scratch[0]) == nullptr) return 1;
    int status = 0;
    {
        Fleet fleet(scratch, heads);
        const double started = e2e::monotonicNow();
        if (!fleet.start(&why)) {
            fprintf(stderr, "the fleet did not start: %s\n", why.c_str());
            return 1;
        }
        auto watcher = fleet.operatorClient();
        watcher->subscribe("gimbalhub/+/availability");
        watcher->subscribe("gimbalhub/+/reply/#");
        for (int i = 0; i < heads; ++i) {
            if (!watcher->waitFor(
                    fleet.head(i).prefix() + "/availability",
                    [](const Received &m) { return m.payload == "online"; }, 60)) {
                fprintf(stderr, "%s did not come online:\n%s", fleet.head(i).id().c_str(),
                        fleet.head(i).bridgeLog().c_str());
                return 1;
            }
        }
        printf(
            "== MQTT fleet: %d heads, each with its own bus, gimbalhub and gimbalhub-mqtt; one "
            "mosquitto ==\n",
            heads);
        printf("%-46s %.1f s\n", "start-up until every head is online",
               e2e::monotonicNow() - started);

        auto publisher = fleet.operatorClient();
        std::vector<double> toDriver, stopReplies;
        for (int round = 0; round < rounds; ++round) {
            std::vector<size_t> before;
            for (int i = 0; i < heads; ++i) before.push_back(fleet.head(i).moves().size());
            const int pan = (round % 2 == 0) ? 20 + round : -20 - round;
            const double sent = e2e::monotonicNow();
            publisher->publish("gimbalhub/all/cmd/moveTo", "{\"pan\":" + std::to_string(pan) + "}");
            for (int i = 0; i < heads; ++i) {
                double reached = -1;
                e2e::waitUntil(
                    [&] {
                        const auto moves = fleet.head(i).moves();
                        if (moves.size() <= before[static_cast<size_t>(i)]) return false;
                        reached = moves[before[static_cast<size_t>(i)]].seconds;
                        return true;
                    },
                    20, 0.002);
                if (reached < 0) {
                    fprintf(stderr, "%s: the move did not reach the driver\n",
                            fleet.head(i).id().c_str());
                    status = 1;
                    continue;
                }
                toDriver.push_back((reached - sent) * 1000);
            }
            // A group stop: answered by every head (a stop sends nothing to the driver).
            watcher->clear();
            const double stopSent = e2e::monotonicNow();
            publisher->publish("gimbalhub/all/cmd/stop", "{}");
            for (int i = 0; i < heads; ++i) {
                if (watcher->waitFor(
                        fleet.head(i).prefix() + "/reply/stop",
                        [](const Received &) { return true; }, 20))
                    stopReplies.push_back((e2e::monotonicNow() - stopSent) * 1000);
            }
        }
        line("group move: publish -> each head's driver", toDriver);
        line("group stop: publish -> each head's reply seen", stopReplies);

        // Idle: nothing published for a while, nothing moving.
        std::vector<double> before;
        for (int i = 0; i < heads; ++i)
            before.push_back(e2e::cpuSeconds(fleet.head(i).bridge().pid()));
        const double idleStart = e2e::monotonicNow();
        e2e::waitUntil([] { return false; }, 10, 0.5);
        const double idleSeconds = e2e::monotonicNow() - idleStart;
        std::vector<double> cpu, rss;
        for (int i = 0; i < heads; ++i) {
            const pid_t pid = fleet.head(i).bridge().pid();
            cpu.push_back(100 * (e2e::cpuSeconds(pid) - before[static_cast<size_t>(i)]) /
                          idleSeconds);
            rss.push_back(static_cast<double>(e2e::residentKilobytes(pid)));
        }
        printf("%-46s median %.0f kB  max %.0f kB\n", "bridge resident memory (each)", at(rss, 0.5),
               at(rss, 1.0));
        printf("%-46s median %.2f %%  max %.2f %%  (%.0f s, one clock tick = %.2f %%)\n",
               "bridge CPU at idle (each)", at(cpu, 0.5), at(cpu, 1.0), idleSeconds,
               100.0 / static_cast<double>(sysconf(_SC_CLK_TCK)) / idleSeconds);
        const pid_t broker = fleet.broker().pid();
        printf("%-46s %ld kB\n", "mosquitto resident memory", e2e::residentKilobytes(broker));
    }
    std::filesystem::remove_all(scratch);
    return status;
}
