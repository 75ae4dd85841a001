#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "crypto.h"

namespace onvif {

namespace {

const char kRealm[] = "gimbalhub";
const unsigned kNonceSeconds = 300;

// One request from its first header to its answer. Shared with the pending
// bus call, which hands the answer over from the bus's thread.
struct Exchange {
    HttpServer *server = nullptr;
    MHD_Connection *connection = nullptr;
    std::string body;
    bool tooLarge = false;
    bool started = false;
    std::mutex mutex;
    bool ready = false;
    bool suspended = false;
    SoapResponse response;
};
using ExchangePtr = std::shared_ptr<Exchange>;

MHD_Result sendText(MHD_Connection *c, unsigned status, const char *text) {
    MHD_Response *r = MHD_create_response_from_buffer(strlen(text), const_cast<char *>(text),
                                                      MHD_RESPMEM_PERSISTENT);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    MHD_Result ret = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ret;
}

MHD_Result sendSoap(HttpServer &server, MHD_Connection *c, const SoapResponse &soap,
                    bool stale = false) {
    MHD_Response *r = MHD_create_response_from_buffer(
        soap.body.size(), const_cast<char *>(soap.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/soap+xml; charset=utf-8");
    MHD_Result ret;
    if (soap.challenge)
        ret = MHD_queue_auth_fail_response2(c, kRealm, server.opaque().c_str(), r,
                                            stale ? MHD_YES : MHD_NO, MHD_DIGEST_ALG_MD5);
    else
        ret = MHD_queue_response(c, soap.httpStatus, r);
    MHD_destroy_response(r);
    return ret;
}

bool soapContentType(const char *type) {
    if (!type) return false;
    std::string media(type);
    media = media.substr(0, media.find(';'));
    while (!media.empty() && media.back() == ' ') media.pop_back();
    return strcasecmp(media.c_str(), "application/soap+xml") == 0 ||
           strcasecmp(media.c_str(), "text/xml") == 0 ||
           strcasecmp(media.c_str(), "application/xml") == 0;
}

bool servicePath(const std::string &path) {
    return path == "/onvif/device_service" || path == "/onvif/media_service" ||
           path == "/onvif/ptz_service";
}

// "http://host[:port]" for the addresses in replies: the Host the client
// used where it is a plain host name or address, else the local address.
std::string baseUrl(MHD_Connection *c, const HttpOptions &options) {
    const char *host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (host && *host && strlen(host) < 256 &&
        strspn(host, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:[]") ==
            strlen(host))
        return std::string("http://") + host;
    std::string address = options.address;
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    sockaddr_storage local = {};
    socklen_t length = sizeof local;
    char text[INET6_ADDRSTRLEN] = "";
    if (info && getsockname(info->connect_fd, reinterpret_cast<sockaddr *>(&local), &length) == 0 &&
        getnameinfo(reinterpret_cast<sockaddr *>(&local), length, text, sizeof text, nullptr, 0,
                    NI_NUMERICHOST) == 0)
        address = text;
    if (address.find(':') != std::string::npos) address = "[" + address + "]";
    return "http://" + address + ":" + std::to_string(options.port);
}

MHD_Result onRequest(void *cls, MHD_Connection *c, const char *url, const char *method,
                     const char *, const char *upload, size_t *uploadSize, void **state) {
    auto &server = *static_cast<HttpServer *>(cls);
    if (*state == nullptr) {
        auto *ex = new ExchangePtr(std::make_shared<Exchange>());
        (*ex)->server = &server;
        (*ex)->connection = c;
        *state = ex;
        if (!servicePath(url ? url : "")) return sendText(c, MHD_HTTP_NOT_FOUND, "Not Found\n");
        if (strcmp(method, MHD_HTTP_METHOD_POST) != 0)
            return sendText(c, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n");
        if (!soapContentType(
                MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE)))
            return sendText(c, MHD_HTTP_UNSUPPORTED_MEDIA_TYPE, "Unsupported Media Type\n");
        const char *length =
            MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length && strtoull(length, nullptr, 10) > server.options().maxBody)
            return sendText(c, MHD_HTTP_CONTENT_TOO_LARGE, "Payload Too Large\n");
        return MHD_YES;
    }

    ExchangePtr shared = *static_cast<ExchangePtr *>(*state);
    Exchange &ex = *shared;
    if (*uploadSize != 0) {
        if (ex.body.size() + *uploadSize > server.options().maxBody)
            ex.tooLarge = true;
        else
            ex.body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (ex.tooLarge) return sendText(c, MHD_HTTP_CONTENT_TOO_LARGE, "Payload Too Large\n");
    if (!ex.started) {
        ex.started = true;
        RequestContext context;
        context.base = baseUrl(c, server.options());
        const char *authorization =
            MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION);
        if (server.endpoint().authenticationRequired() && authorization &&
            strncasecmp(authorization, "Digest ", 7) == 0) {
            char *name = MHD_digest_auth_get_username(c);
            const User *user = nullptr;
            for (const User &candidate : server.endpoint().config().users)
                if (name && candidate.name == name) user = &candidate;
            int verdict = MHD_NO;
            if (user)
                verdict =
                    MHD_digest_auth_check2(c, kRealm, user->name.c_str(), user->password.c_str(),
                                           kNonceSeconds, MHD_DIGEST_ALG_MD5);
            if (name) MHD_free(name);
            if (verdict != MHD_YES) {
                SoapResponse refusal =
                    faultResponse({"env:Sender", {"ter:NotAuthorized"}, "Sender not Authorized"});
                refusal.challenge = true;
                return sendSoap(server, c, refusal, verdict == MHD_INVALID_NONCE);
            }
            context.digestUser = true;
        }
        std::weak_ptr<Exchange> weak = shared;
        server.pendingCounter()++;
        server.endpoint().handle(ex.body.data(), ex.body.size(), context,
                                 [weak, &server](SoapResponse response) {
                                     server.pendingCounter()--;
                                     ExchangePtr ex = weak.lock();
                                     if (!ex) return;
                                     std::lock_guard<std::mutex> lock(ex->mutex);
                                     ex->response = std::move(response);
                                     ex->ready = true;
                                     if (ex->suspended) {
                                         ex->suspended = false;
                                         MHD_resume_connection(ex->connection);
                                     }
                                 });
        ex.body.clear();
        ex.body.shrink_to_fit();
    }
    std::unique_lock<std::mutex> lock(ex.mutex);
    if (ex.ready) {
        SoapResponse response = std::move(ex.response);
        lock.unlock();
        return sendSoap(server, c, response);
    }
    // The bus answers later; the thread serves other connections meanwhile.
    ex.suspended = true;
    MHD_suspend_connection(c);
    return MHD_YES;
}

void onCompleted(void *, MHD_Connection *, void **state, MHD_RequestTerminationCode) {
    auto *ex = static_cast<ExchangePtr *>(*state);
    if (!ex) return;
    delete ex;
    *state = nullptr;
}

std::string hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

}  // namespace

HttpServer::HttpServer(SoapEndpoint &endpoint, HttpOptions options)
    : endpoint_(endpoint), options_(std::move(options)) {}

HttpServer::~HttpServer() { stop(); }

bool HttpServer::start(std::string &error) {
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    std::string port = std::to_string(options_.port);
    if (getaddrinfo(options_.address.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        error = "not a numeric address: " + options_.address;
        return false;
    }
    sockaddr_storage addr = {};
    memcpy(&addr, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);

    nonceSeed_ = randomBytes(32);
    opaque_ = hex(randomBytes(8));
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_ALLOW_SUSPEND_RESUME |
                     MHD_USE_ERROR_LOG;
    if (addr.ss_family == AF_INET6) flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(flags, options_.port, nullptr, nullptr, onRequest, this,
                               MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&addr),
                               MHD_OPTION_CONNECTION_LIMIT, options_.maxConnections,
                               MHD_OPTION_CONNECTION_TIMEOUT, options_.idleTimeoutSeconds,
                               MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(32 * 1024),
                               MHD_OPTION_DIGEST_AUTH_RANDOM, nonceSeed_.size(), nonceSeed_.data(),
                               MHD_OPTION_NONCE_NC_SIZE, 1024u, MHD_OPTION_NOTIFY_COMPLETED,
                               onCompleted, nullptr, MHD_OPTION_END);
    if (!daemon_) {
        error = "cannot listen on " + options_.address + ":" + port;
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options_.port;
    options_.port = port_;
    return true;
}

void HttpServer::quiesce() {
    if (!daemon_) return;
    // The listening socket is handed back to be closed here.
    int fd = MHD_quiesce_daemon(daemon_);
    if (fd >= 0) close(fd);
}

void HttpServer::stop() {
    if (!daemon_) return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

}  // namespace onvif
