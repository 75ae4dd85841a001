// ubus-gateway: answers the device web server's JSON-RPC bus protocol on a
// PC, and serves the files of a browser page beside it.
#include <fcntl.h>
#include <libubus.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "http_server.h"
#include "jsonrpc.h"
#include "sessions.h"
#include "ubus_bus.h"

namespace {

// Reply data one call may bring; a reply this large is no status of a page.
constexpr size_t kMaxReplyData = 256 * 1024;

void usage()
{
    fprintf(stderr,
            "Usage: ubus-gateway [-l ADDR:PORT] [-s SOCKET] [-r DIR] [-t SECONDS] [-w SECONDS]\n"
            "                    [-a ACL] [-u USERS]\n"
            "  -l ADDR:PORT  listen here (default 127.0.0.1:8080; port 0 picks a free one)\n"
            "  -s SOCKET     bus socket (default %s)\n"
            "  -r DIR        serve the files under DIR (default: none)\n"
            "  -t SECONDS    how long a request's bus calls may take in all (default 60)\n"
            "  -w SECONDS    how long a client may take to send a whole request (default 10)\n"
            "  -a ACL        grant calls by these ACL files (a file or a folder of them), as the\n"
            "                device does; the anonymous session gets the group \"unauthenticated\"\n"
            "  -u USERS      for tests only: users that session login accepts (a JSON file with\n"
            "                plain-text passwords); needs -a\n",
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

// SIGTERM/SIGINT end the loop through a pipe rather than uloop's own flag,
// which uloop_run clears when it starts: a signal between start-up and the
// loop would otherwise be lost.
int g_stopPipe[2] = {-1, -1};

void onStopSignal(int)
{
    int saved = errno;
    if (write(g_stopPipe[1], "x", 1) < 0) {
        // the pipe holds a byte already
    }
    errno = saved;
}

bool catchStopSignals(uloop_fd &watch)
{
    if (pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    watch.fd = g_stopPipe[0];
    watch.cb = [](uloop_fd *, unsigned) { uloop_end(); };
    return true;
}

bool parseSeconds(const char *text, long max, long &out)
{
    char *end = nullptr;
    out = strtol(text, &end, 10);
    return *end == '\0' && out >= 1 && out <= max;
}

}  // namespace

int main(int argc, char **argv)
{
    ubusgw::ServerOptions options;
    const char *socketPath = nullptr;
    const char *aclPath = nullptr;
    const char *usersPath = nullptr;
    long timeoutSeconds = 60;
    long requestSeconds = options.requestSeconds;
    int ch;
    while ((ch = getopt(argc, argv, "l:s:r:t:w:a:u:h")) != -1) {
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
        case 't':
            if (!parseSeconds(optarg, 3600, timeoutSeconds)) {
                fprintf(stderr, "ubus-gateway: -t wants 1..3600 seconds, got '%s'\n", optarg);
                return 2;
            }
            break;
        case 'w':
            if (!parseSeconds(optarg, 3600, requestSeconds)) {
                fprintf(stderr, "ubus-gateway: -w wants 1..3600 seconds, got '%s'\n", optarg);
                return 2;
            }
            break;
        case 'a':
            aclPath = optarg;
            break;
        case 'u':
            usersPath = optarg;
            break;
        default:
            usage();
            return ch == 'h' ? 0 : 2;
        }
    }
    if (optind != argc || (usersPath && !aclPath)) {
        usage();
        return 2;
    }
    options.requestSeconds = static_cast<unsigned>(requestSeconds);

    ubusgw::Sessions sessions;
    std::string error;
    if ((aclPath && !sessions.loadAcl(aclPath, error)) ||
        (usersPath && !sessions.loadUsers(usersPath, error))) {
        fprintf(stderr, "ubus-gateway: %s\n", error.c_str());
        return 1;
    }

    uloop_fd stopWatch = {};
    if (!catchStopSignals(stopWatch)) {
        fprintf(stderr, "ubus-gateway: cannot create a pipe\n");
        return 1;
    }
    uloop_init();
    uloop_fd_add(&stopWatch, ULOOP_READ);
    int status = 0;
    {
        ubusgw::DispatchLimits limits;
        limits.timeoutMs = static_cast<int>(timeoutSeconds * 1000);
        ubusgw::UbusBus bus(socketPath, kMaxReplyData);
        ubusgw::Dispatcher dispatcher(bus, limits, aclPath ? &sessions : nullptr);
        ubusgw::HttpServer server(dispatcher, options);
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
