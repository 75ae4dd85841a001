// gimbalhub-onvif: makes the pan/tilt head reachable for video systems
// (ONVIF Device, Media and PTZ over SOAP/HTTP, WS-Discovery), steering it
// through the bus object gimbalhub.control.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "bus_client.h"
#include "config.h"
#include "crypto.h"
#include "discovery.h"
#include "http_server.h"
#include "soap_endpoint.h"

namespace {

void usage(FILE *out) {
    fprintf(out,
            "Usage: gimbalhub-onvif [-c CONFIG] [-l ADDR:PORT] [-s SOCKET]\n"
            "  -c CONFIG     configuration file (JSON; default: built-in defaults)\n"
            "  -l ADDR:PORT  listen here instead of the configuration's Listen (port 0 picks a "
            "free one)\n"
            "  -s SOCKET     bus socket (default: the system's)\n");
}

// The services' view of the shared bus client.
class BusAdapter : public onvif::BusPort {
public:
    explicit BusAdapter(busclient::BusClient &bus) : bus_(bus) {}
    void call(const std::string &object, const std::string &method, const nlohmann::json &args,
              unsigned timeoutMs, Reply reply) override {
        bus_.call(object, method, args, static_cast<int>(timeoutMs),
                  [reply](int status, const nlohmann::json &data) { reply(status, data); });
    }

private:
    busclient::BusClient &bus_;
};

}  // namespace

int main(int argc, char **argv) {
    std::string configPath, listen, socket;
    int ch;
    while ((ch = getopt(argc, argv, "c:l:s:h")) != -1) {
        switch (ch) {
            case 'c':
                configPath = optarg;
                break;
            case 'l':
                listen = optarg;
                break;
            case 's':
                socket = optarg;
                break;
            case 'h':
                usage(stdout);
                return 0;
            default:
                usage(stderr);
                return 2;
        }
    }
    if (optind != argc) {
        usage(stderr);
        return 2;
    }

    onvif::Config config;
    std::string error;
    if (!configPath.empty() && !onvif::loadConfig(configPath, config, error)) {
        fprintf(stderr, "gimbalhub-onvif: %s\n", error.c_str());
        return 1;
    }
    if (!listen.empty() && !onvif::parseListen(listen, config.listenAddress, config.listenPort)) {
        fprintf(stderr, "gimbalhub-onvif: -l wants ADDR:PORT, got '%s'\n", listen.c_str());
        return 2;
    }
    if (config.users.empty())
        fprintf(
            stderr,
            "gimbalhub-onvif: no Users configured: every operation answers without credentials\n");

    // Every thread started from here on inherits the blocked signals; this
    // thread takes them with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    busclient::Options busOptions;
    busOptions.socket = socket;
    busclient::BusClient bus(busOptions);
    if (!bus.start(&error)) {
        fprintf(stderr, "gimbalhub-onvif: bus: %s\n", error.c_str());
        return 1;
    }
    BusAdapter port(bus);
    onvif::SoapEndpoint endpoint(config, port);
    onvif::HttpOptions httpOptions;
    httpOptions.address = config.listenAddress;
    httpOptions.port = config.listenPort;
    httpOptions.maxConnections = config.maxConnections;
    onvif::HttpServer http(endpoint, httpOptions);
    if (!http.start(error)) {
        fprintf(stderr, "gimbalhub-onvif: %s\n", error.c_str());
        bus.stop();
        return 1;
    }
    std::string shown = config.listenAddress.find(':') != std::string::npos
                            ? "[" + config.listenAddress + "]"
                            : config.listenAddress;
    printf("listening on http://%s:%u/onvif/device_service\n", shown.c_str(), http.port());
    fflush(stdout);

    onvif::DiscoveryOptions discoveryOptions;
    discoveryOptions.endpoint =
        "urn:uuid:" +
        (config.endpointUuid.empty()
             ? onvif::nameUuid("gimbalhub/" + config.serialNumber + "/" + config.hardwareId)
             : config.endpointUuid);
    discoveryOptions.scopes = endpoint.services().scopes();
    discoveryOptions.listenAddress = config.listenAddress;
    discoveryOptions.httpPort = http.port();
    onvif::Discovery discovery(discoveryOptions);
    if (config.discovery && !discovery.start(error))
        fprintf(stderr, "gimbalhub-onvif: %s; going on without discovery\n", error.c_str());

    int received = 0;
    sigwait(&stopSignals, &received);
    fprintf(stderr, "gimbalhub-onvif: %s, stopping\n", strsignal(received));

    // Bye first, then no new connections; the requests under way get their
    // answers (every bus call ends by its deadline) before the bus goes.
    discovery.stop();
    http.quiesce();
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(config.busTimeoutMs + 1000);
    while (http.pending() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    bus.stop();
    http.stop();
    return 0;
}
