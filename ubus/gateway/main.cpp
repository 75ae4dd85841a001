// ubus-gateway: answers the device web server's JSON-RPC bus protocol on a
// PC, and serves the files of a browser page beside it.
#include <libubus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "http_server.h"
#include "jsonrpc.h"
#include "ubus_bus.h"

namespace {

void usage()
{
    fprintf(stderr,
            "Usage: ubus-gateway [-l ADDR:PORT] [-s SOCKET] [-r DIR] [-t SECONDS]\n"
            "  -l ADDR:PORT  listen here (default 127.0.0.1:8080; port 0 picks a free one)\n"
            "  -s SOCKET     bus socket (default %s)\n"
            "  -r DIR        serve the files under DIR (default: none)\n"
            "  -t SECONDS    how long a bus object may take to answer (default 60)\n",
            UBUS_UNIX_SOCKET);
}

// "127.0.0.1:8080", "[::1]:8080"
bool parseListen(const std::string &text, ubusgw::ServerOptions &options)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size())
        return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.back() != ']')
            return false;
        host = host.substr(1, host.size() - 2);
    }
    char *end = nullptr;
    unsigned long port = strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port > 65535)
        return false;
    options.address = host;
    options.port = static_cast<uint16_t>(port);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    ubusgw::ServerOptions options;
    const char *socketPath = nullptr;
    long timeoutSeconds = 60;
    int ch;
    while ((ch = getopt(argc, argv, "l:s:r:t:h")) != -1) {
        switch (ch) {
        case 'l':
            if (!parseListen(optarg, options)) {
                fprintf(stderr, "ubus-gateway: -l wants ADDR:PORT, got '%s'\n", optarg);
                return 2;
            }
            break;
        case 's':
            socketPath = optarg;
            break;
        case 'r':
            options.root = optarg;
            break;
        case 't': {
            char *end = nullptr;
            timeoutSeconds = strtol(optarg, &end, 10);
            if (*end != '\0' || timeoutSeconds < 1 || timeoutSeconds > 3600) {
                fprintf(stderr, "ubus-gateway: -t wants 1..3600 seconds, got '%s'\n", optarg);
                return 2;
            }
            break;
        }
        default:
            usage();
            return ch == 'h' ? 0 : 2;
        }
    }
    if (optind != argc) {
        usage();
        return 2;
    }

    uloop_init();
    int status = 0;
    {
        ubusgw::UbusBus bus(socketPath, static_cast<int>(timeoutSeconds * 1000));
        ubusgw::Dispatcher dispatcher(bus);
        ubusgw::HttpServer server(dispatcher, options);
        std::string error;
        if (!server.start(error)) {
            fprintf(stderr, "ubus-gateway: %s\n", error.c_str());
            status = 1;
        } else {
            std::string host = options.address.find(':') != std::string::npos ? "[" + options.address + "]"
                                                                              : options.address;
            printf("listening on http://%s:%u/\n", host.c_str(), server.port());
            fflush(stdout);
            uloop_run();
            // Every waiting request gets its answer before the server goes.
            bus.abortAll();
            server.stop();
        }
    }
    uloop_done();
    return status;
}
