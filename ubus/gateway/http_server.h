// HTTP side of the gateway: the page's files and POST /ubus, run from the
// libubox event loop on the one thread that also talks to the bus. The HTTP
// library is polled level-triggered (its select() mode): every descriptor it
// wants is watched by the loop, so a peer that hangs up is seen at once.
#ifndef UBUS_GATEWAY_HTTP_SERVER_H
#define UBUS_GATEWAY_HTTP_SERVER_H

#include <libubox/uloop.h>
#include <sys/select.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "jsonrpc.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace ubusgw {

struct ServerOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 8080;
    std::string root;            // served as "/"; empty: no files
    size_t maxBody = 64 * 1024;  // larger request bodies get 413
    unsigned maxConnections = 64;
    unsigned maxPerClient = 16;        // connections from one address
    unsigned idleTimeoutSeconds = 30;  // a silent client is dropped after this
    unsigned requestSeconds = 10;      // for a whole request, headers and body
};

// Whether a request naming this Host may be answered. A server bound to the
// loopback interface answers only loopback names, so that a web page cannot
// reach it through a DNS name that points at 127.0.0.1.
bool hostAllowed(const char *host, bool loopbackOnly);
// Whether a request with this Origin comes from a page of this server.
bool originAllowed(const char *origin, const char *host);

struct ConnectionState;

class HttpServer {
public:
    HttpServer(Dispatcher &dispatcher, ServerOptions options);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    // Binds and joins the event loop; false with a reason otherwise.
    bool start(std::string &error);
    uint16_t port() const { return port_; }
    void stop();

    // internal, for the library's callbacks
    Dispatcher &dispatcher() { return dispatcher_; }
    const ServerOptions &options() const { return options_; }
    const std::string &rootReal() const { return rootReal_; }
    bool loopbackOnly() const { return loopbackOnly_; }
    std::vector<ConnectionState *> &connections() { return connections_; }
    void forget(int fd);
    // Lets the library act on what is ready (nullptr: nothing), then
    // watches what it waits for next.
    void run(fd_set *readable, fd_set *writable);

private:
    struct Watch {
        uloop_fd fd;
        HttpServer *server;
        unsigned flags;
    };
    struct Timer {
        uloop_timeout timeout;
        HttpServer *server;
    };
    void sweep();
    void watch();

    Dispatcher &dispatcher_;
    ServerOptions options_;
    std::string rootReal_;
    bool loopbackOnly_ = true;
    MHD_Daemon *daemon_ = nullptr;
    uint16_t port_ = 0;
    bool running_ = false;
    std::map<int, std::unique_ptr<Watch>> watches_;
    Timer timer_ = {};
    std::vector<ConnectionState *> connections_;
    std::chrono::steady_clock::time_point lastDropReport_;
    unsigned droppedSinceReport_ = 0;
};

}  // namespace ubusgw

#endif
