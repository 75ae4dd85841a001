// gimbalhub-mqtt [-c CONFIG] [-s SOCKET]: bridges the head's bus objects to
// an MQTT broker. Three sides, none waiting for another: the bus client's
// threads, the MQTT network thread, and the pacer below that refreshes the
// state; the main thread only waits for SIGTERM/SIGINT.
#include <signal.h>
#include <unistd.h>

#include <bus_client.h>
#include <mosquitto.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "bridge.h"
#include "bridge_log.h"
#include "mosquitto_link.h"

using namespace mqttbridge;

namespace {

const char kDefaultConfig[] = "/etc/gimbalhub/mqtt.json";

class BusAdapter : public BusPort {
public:
    explicit BusAdapter(busclient::BusClient &bus) : bus_(bus) {}
    void call(const std::string &object, const std::string &method, const nlohmann::json &args,
              int timeoutMs, Reply reply) override {
        bus_.call(object, method, args, timeoutMs, std::move(reply));
    }

private:
    busclient::BusClient &bus_;
};

// Calls Bridge::poll when it is due, woken early when the bridge says so.
class Pacer {
public:
    void start(Bridge *bridge) {
        bridge_ = bridge;
        thread_ = std::thread([this] { run(); });
    }
    void wake() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
        }
        cv_.notify_one();
    }
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            woken_ = false;
            lock.unlock();
            bridge_->poll(Bridge::Clock::now());
            const auto due = bridge_->nextPoll();
            lock.lock();
            if (due == Bridge::Clock::time_point::max())
                cv_.wait(lock, [this] { return woken_ || stopping_; });
            else
                cv_.wait_until(lock, due, [this] { return woken_ || stopping_; });
        }
    }

    Bridge *bridge_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    bool stopping_ = false;
};

int usage(const char *program) {
    fprintf(stderr,
            "usage: %s [-c CONFIG] [-s SOCKET]\n  -c CONFIG  configuration (default %s)\n"
            "  -s SOCKET  bus socket (default: the system's)\n",
            program, kDefaultConfig);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::string configPath = kDefaultConfig;
    std::string socket;
    int option;
    while ((option = getopt(argc, argv, "c:s:h")) != -1) {
        switch (option) {
            case 'c':
                configPath = optarg;
                break;
            case 's':
                socket = optarg;
                break;
            default:
                return usage(argv[0]);
        }
    }
    if (optind != argc) return usage(argv[0]);

    std::ifstream file(configPath);
    if (!file) {
        logLine(LogLevel::Error, "cannot read %s: %s", configPath.c_str(), strerror(errno));
        return 1;
    }
    std::stringstream text;
    text << file.rdbuf();
    char hostName[256] = "";
    gethostname(hostName, sizeof hostName - 1);
    BridgeConfig config;
    std::string error;
    if (!parseConfig(text.str(), hostName, &config, &error)) {
        logLine(LogLevel::Error, "%s: %s", configPath.c_str(), error.c_str());
        return 1;
    }

    // The threads started below inherit this mask; the main thread takes
    // the two signals with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    mosquitto_lib_init();
    int status = 0;
    {
        busclient::Options busOptions;
        busOptions.socket = socket;
        busclient::BusClient bus(busOptions);
        BusAdapter busPort(bus);
        MosquittoLink link(config, config.topicPrefix + "/availability");
        Pacer pacer;
        Bridge bridge(config, busPort, link, [&pacer] { pacer.wake(); });

        std::atomic<bool> stopping{false};
        bool busWasUp = false;  // only the handler thread touches it
        bus.onConnection([&bridge, &stopping, &busWasUp](bool up) {
            if (!up && busWasUp && !stopping)
                logLine(LogLevel::Warning, "bus connection lost; reconnecting");
            if (up && !busWasUp) logLine(LogLevel::Info, "connected to the bus");
            busWasUp = up;
            bridge.busConnection(up);
        });
        bus.watch("gimbalhub.control", [&bridge, &stopping](const std::string &, bool present) {
            if (!stopping)
                logLine(LogLevel::Info, "gimbalhub.control %s the bus",
                        present ? "is on" : "is not on");
            bridge.daemonPresence(present);
        });
        bus.listen("gimbalhub.*", [&bridge](const std::string &name, const nlohmann::json &data) {
            bridge.busEvent(name, data);
        });

        MosquittoLink::Handlers handlers;
        handlers.filters = commandFilters(config);
        handlers.connected = [&bridge] { bridge.mqttConnected(); };
        handlers.disconnected = [&bridge] { bridge.mqttDisconnected(); };
        handlers.message = [&bridge](const InboundMessage &message) { bridge.message(message); };

        pacer.start(&bridge);
        if (!bus.start(&error)) {
            logLine(LogLevel::Error, "bus client: %s", error.c_str());
            status = 1;
        } else if (!link.start(handlers, &error)) {
            logLine(LogLevel::Error, "%s", error.c_str());
            status = 1;
        } else {
            logLine(LogLevel::Info, "bridging %s to %s:%d as %s", config.topicPrefix.c_str(),
                    config.host.c_str(), config.port, config.clientId.c_str());
            int received = 0;
            sigwait(&stopSignals, &received);
            logLine(LogLevel::Info, "stopping on %s", strsignal(received));
        }
        // Offline first, while the broker is still connected; then the
        // network, the pacer and the bus, so no side calls into a dead one.
        stopping = true;
        bridge.shutdown();
        link.stop();
        pacer.stop();
        bus.stop();
    }
    mosquitto_lib_cleanup();
    return status;
}
