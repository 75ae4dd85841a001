#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace ubusgw {

namespace {

// One request from its first header to its completion. Shared with the
// pending bus call, which may outlive the connection.
struct Exchange {
    HttpServer *server = nullptr;
    MHD_Connection *connection = nullptr;  // null once the request is over
    std::string body;
    bool tooLarge = false;
    bool started = false;
    bool ready = false;
    bool suspended = false;
    std::string reply;
};

using ExchangePtr = std::shared_ptr<Exchange>;

bool sameText(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

// host[:port] -> host, with the brackets of an IPv6 literal kept.
std::string hostName(const std::string &host)
{
    if (!host.empty() && host[0] == '[') {
        size_t end = host.find(']');
        return end == std::string::npos ? host : host.substr(0, end + 1);
    }
    return host.substr(0, host.find(':'));
}

const char *contentType(const std::string &path)
{
    static const struct {
        const char *ext;
        const char *type;
    } types[] = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".json", "application/json"},
        {".png", "image/png"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
    };
    size_t dot = path.rfind('.');
    if (dot != std::string::npos && path.find('/', dot) == std::string::npos)
        for (const auto &t : types)
            if (sameText(path.substr(dot), t.ext))
                return t.type;
    return "application/octet-stream";
}

MHD_Result sendText(MHD_Connection *c, unsigned status, const char *text)
{
    MHD_Response *r =
        MHD_create_response_from_buffer(strlen(text), const_cast<char *>(text), MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    MHD_Result ret = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ret;
}

MHD_Result sendReply(MHD_Connection *c, const std::string &body)
{
    MHD_Response *r =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r)
        return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    MHD_Result ret = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ret;
}

bool hasDotDotSegment(const std::string &path)
{
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (path.compare(start, end - start, "..") == 0)
            return true;
        start = end + 1;
    }
    return false;
}

MHD_Result serveFile(HttpServer &server, MHD_Connection *c, const std::string &url)
{
    if (server.rootReal().empty() || url.empty() || url[0] != '/' || hasDotDotSegment(url))
        return sendText(c, MHD_HTTP_NOT_FOUND, "Not Found\n");
    std::string path = server.rootReal() + url;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return sendText(c, MHD_HTTP_NOT_FOUND, "Not Found\n");
    if (S_ISDIR(st.st_mode)) {
        if (url.back() != '/') {
            // Relative links of the page resolve against the directory.
            MHD_Response *r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            if (!r)
                return MHD_NO;
            MHD_add_response_header(r, MHD_HTTP_HEADER_LOCATION, (url + "/").c_str());
            MHD_Result ret = MHD_queue_response(c, MHD_HTTP_MOVED_PERMANENTLY, r);
            MHD_destroy_response(r);
            return ret;
        }
        path += "index.html";
    }
    // Links inside the root must not lead out of it.
    char *real = realpath(path.c_str(), nullptr);
    std::string resolved = real ? real : "";
    free(real);
    if (resolved.compare(0, server.rootReal().size() + 1, server.rootReal() + "/") != 0)
        return sendText(c, MHD_HTTP_NOT_FOUND, "Not Found\n");
    int fd = open(resolved.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return sendText(c, MHD_HTTP_NOT_FOUND, "Not Found\n");
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return sendText(c, MHD_HTTP_NOT_FOUND, "Not Found\n");
    }
    MHD_Response *r = MHD_create_response_from_fd(static_cast<size_t>(st.st_size), fd);
    if (!r) {
        close(fd);
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, contentType(resolved));
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_Result ret = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ret;
}

MHD_Result onRequest(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                     const char *upload, size_t *uploadSize, void **state)
{
    auto &server = *static_cast<HttpServer *>(cls);
    std::string path = url ? url : "";
    bool rpc = path == "/ubus" || path == "/ubus/";

    if (*state == nullptr) {
        auto *ex = new ExchangePtr(std::make_shared<Exchange>());
        (*ex)->server = &server;
        (*ex)->connection = c;
        *state = ex;

        const char *host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
        if (!hostAllowed(host, server.loopbackOnly()))
            return sendText(c, MHD_HTTP_FORBIDDEN, "Forbidden\n");
        if (!rpc) {
            if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
                return sendText(c, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n");
            return serveFile(server, c, path);
        }
        if (strcmp(method, MHD_HTTP_METHOD_OPTIONS) == 0) {
            // No cross-origin grants: only pages served from here may call.
            MHD_Response *r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            if (!r)
                return MHD_NO;
            MHD_add_response_header(r, "Allow", "POST, OPTIONS");
            MHD_Result ret = MHD_queue_response(c, MHD_HTTP_NO_CONTENT, r);
            MHD_destroy_response(r);
            return ret;
        }
        if (strcmp(method, MHD_HTTP_METHOD_POST) != 0)
            return sendText(c, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n");
        const char *origin = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
        if (origin && !originAllowed(origin, host))
            return sendText(c, MHD_HTTP_FORBIDDEN, "Forbidden\n");
        const char *length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length && strtoull(length, nullptr, 10) > server.options().maxBody)
            return sendText(c, MHD_HTTP_CONTENT_TOO_LARGE, "Content Too Large\n");
        return MHD_YES;
    }

    Exchange &ex = **static_cast<ExchangePtr *>(*state);
    if (*uploadSize != 0) {
        if (ex.body.size() + *uploadSize > server.options().maxBody)
            ex.tooLarge = true;
        else
            ex.body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    if (ex.tooLarge)
        return sendText(c, MHD_HTTP_CONTENT_TOO_LARGE, "Content Too Large\n");
    if (!ex.started) {
        ex.started = true;
        std::weak_ptr<Exchange> weak = *static_cast<ExchangePtr *>(*state);
        server.dispatcher().handle(ex.body.data(), ex.body.size(), [weak](std::string reply) {
            ExchangePtr ex = weak.lock();
            if (!ex)
                return;
            ex->reply = std::move(reply);
            ex->ready = true;
            if (ex->suspended && ex->connection) {
                ex->suspended = false;
                MHD_resume_connection(ex->connection);
                ex->server->run();
            }
        });
    }
    if (ex.ready)
        return sendReply(c, ex.reply);
    // The bus answers later; the loop serves others meanwhile.
    ex.suspended = true;
    MHD_suspend_connection(c);
    return MHD_YES;
}

void onCompleted(void *, MHD_Connection *, void **state, MHD_RequestTerminationCode)
{
    auto *ex = static_cast<ExchangePtr *>(*state);
    if (!ex)
        return;
    (*ex)->connection = nullptr;
    delete ex;
    *state = nullptr;
}

bool isLoopback(const sockaddr_storage &addr)
{
    if (addr.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in &>(addr).sin_addr.s_addr) >> 24) == 127;
    if (addr.ss_family == AF_INET6) {
        const auto &a6 = reinterpret_cast<const sockaddr_in6 &>(addr).sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a6);
    }
    return false;
}

}  // namespace

bool hostAllowed(const char *host, bool loopbackOnly)
{
    // A client that names no host is not a browser following a DNS name.
    if (!host || !loopbackOnly)
        return true;
    std::string name = hostName(host);
    if (sameText(name, "localhost") || name == "[::1]")
        return true;
    in_addr a;
    return inet_pton(AF_INET, name.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool originAllowed(const char *origin, const char *host)
{
    if (!host)
        return false;
    std::string o = origin;
    return sameText(o, (std::string("http://") + host).c_str());
}

HttpServer::HttpServer(Dispatcher &dispatcher, ServerOptions options)
    : dispatcher_(dispatcher), options_(std::move(options))
{
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::start(std::string &error)
{
    if (!options_.root.empty()) {
        char *real = realpath(options_.root.c_str(), nullptr);
        if (!real) {
            error = "cannot use " + options_.root + " as the document root";
            return false;
        }
        rootReal_ = real;
        free(real);
        // The whole file system is no page folder.
        if (rootReal_ == "/") {
            error = "refusing / as the document root";
            return false;
        }
    }

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
    loopbackOnly_ = isLoopback(addr);

    unsigned flags = MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (addr.ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(
        flags, options_.port, nullptr, nullptr, onRequest, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr *>(&addr), MHD_OPTION_CONNECTION_LIMIT, options_.maxConnections,
        MHD_OPTION_CONNECTION_TIMEOUT, options_.idleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(32 * 1024), MHD_OPTION_NOTIFY_COMPLETED, onCompleted, nullptr, MHD_OPTION_END);
    if (!daemon_) {
        error = "cannot listen on " + options_.address + ":" + port;
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options_.port;
    info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    if (!info) {
        error = "the HTTP library has no epoll support";
        stop();
        return false;
    }
    watch_.server = this;
    watch_.fd.fd = info->epoll_fd;
    watch_.fd.cb = [](uloop_fd *u, unsigned) { reinterpret_cast<Watch *>(u)->server->run(); };
    timer_.server = this;
    timer_.timeout.cb = [](uloop_timeout *t) { reinterpret_cast<Timer *>(t)->server->run(); };
    uloop_fd_add(&watch_.fd, ULOOP_READ | ULOOP_BLOCKING);
    run();
    return true;
}

void HttpServer::run()
{
    if (!daemon_)
        return;
    MHD_run(daemon_);
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(daemon_, &ms) == MHD_YES)
        uloop_timeout_set(&timer_.timeout, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    else
        uloop_timeout_cancel(&timer_.timeout);
}

void HttpServer::stop()
{
    if (!daemon_)
        return;
    uloop_fd_delete(&watch_.fd);
    uloop_timeout_cancel(&timer_.timeout);
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

}  // namespace ubusgw
