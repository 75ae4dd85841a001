// HTTP side of the endpoint: libmicrohttpd on a thread of its own, POST
// bodies of bounded size to the SOAP endpoint, HTTP Digest. A request whose
// answer needs the bus is suspended, never waited for, and resumed when the
// bus thread hands the answer over.
#ifndef GIMBAL_ONVIF_HTTP_SERVER_H
#define GIMBAL_ONVIF_HTTP_SERVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "soap_endpoint.h"

struct MHD_Daemon;

namespace onvif {

struct HttpOptions {
    std::string address = "0.0.0.0";
    uint16_t port = 8000;
    unsigned maxConnections = 16;
    size_t maxBody = 64 * 1024;
    unsigned idleTimeoutSeconds = 30;
};

class HttpServer {
public:
    HttpServer(SoapEndpoint &endpoint, HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer &) = delete;
    HttpServer &operator=(const HttpServer &) = delete;

    bool start(std::string &error);
    uint16_t port() const { return port_; }
    // Requests waiting for the bus.
    long pending() const { return pending_.load(); }
    // Stops taking new connections; those open are served to the end.
    void quiesce();
    void stop();

    // internal, for the library's callbacks
    SoapEndpoint &endpoint() { return endpoint_; }
    const HttpOptions &options() const { return options_; }
    std::atomic<long> &pendingCounter() { return pending_; }
    const std::string &opaque() const { return opaque_; }

private:
    SoapEndpoint &endpoint_;
    HttpOptions options_;
    MHD_Daemon *daemon_ = nullptr;
    uint16_t port_ = 0;
    std::string nonceSeed_;
    std::string opaque_;
    std::atomic<long> pending_{0};
};

}  // namespace onvif

#endif
