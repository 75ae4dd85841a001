// HTTP side of the gateway: the page's files and POST /ubus, run from the
// libubox event loop on the one thread that also talks to the bus.
#ifndef UBUS_GATEWAY_HTTP_SERVER_H
#define UBUS_GATEWAY_HTTP_SERVER_H

#include <libubox/uloop.h>

#include <cstddef>
#include <cstdint>
#include <string>

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
    unsigned idleTimeoutSeconds = 30;  // a silent client is dropped after this
};

// Whether a request naming this Host may be answered. A server bound to the
// loopback interface answers only loopback names, so that a web page cannot
// reach it through a DNS name that points at 127.0.0.1.
bool hostAllowed(const char *host, bool loopbackOnly);
// Whether a request with this Origin comes from a page of this server.
bool originAllowed(const char *origin, const char *host);

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
    void run();
    Dispatcher &dispatcher() { return dispatcher_; }
    const ServerOptions &options() const { return options_; }
    const std::string &rootReal() const { return rootReal_; }
    bool loopbackOnly() const { return loopbackOnly_; }

private:
    struct Watch {
        uloop_fd fd;
        HttpServer *server;
    };
    struct Timer {
        uloop_timeout timeout;
        HttpServer *server;
    };

    Dispatcher &dispatcher_;
    ServerOptions options_;
    std::string rootReal_;
    bool loopbackOnly_ = true;
    MHD_Daemon *daemon_ = nullptr;
    uint16_t port_ = 0;
    Watch watch_ = {};
    Timer timer_ = {};
};

}  // namespace ubusgw

#endif
