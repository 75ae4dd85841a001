#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ubusgw {

using Clock = std::chrono::steady_clock;

// One request from its first header to its completion. Shared with the
// dispatcher while its bus calls run; the connection may be gone by then.
struct Exchange {
    HttpServer *server = nullptr;
    MHD_Connection *connection = nullptr;  // null once the request is over
    std::string body;
    bool tooLarge = false;
    bool started = false;
    bool suspended = false;
    bool ready = false;
    std::string reply;
};

// One TCP connection, for the whole-request deadline.
struct ConnectionState {
    int fd = -1;
    Clock::time_point since;  // connected, or the previous answer completed
    bool receiving = true;    // a request is (or may be) on its way in
    bool cutOff = false;
};

namespace {

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

// Paths with an empty segment ("//host" would become a redirect to another
// host) or a segment starting with a dot ("..", ".git") are not served.
bool servablePath(const std::string &path)
{
    if (path.empty() || path[0] != '/')
        return false;
    for (size_t start = 1; start < path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end == start || path[start] == '.')
            return false;
        start = end + 1;
    }
    return true;
}

// A regular file under the root, opened without waiting (a named pipe
// would block open() until a writer comes), or -1.
int openRegular(const std::string &rootReal, const std::string &path, struct stat &st)
{
    // Links inside the root must not lead out of it.
    char *real = realpath(path.c_str(), nullptr);
    std::string resolved = real ? real : "";
    free(real);
    if (resolved.compare(0, rootReal.size() + 1, rootReal + "/") != 0)
        return -1;
    if (stat(resolved.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    int fd = open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

MHD_Result serveFile(HttpServer &server, MHD_Connection *c, const std::string &url)
{
    if (server.rootReal().empty() || !servablePath(url))
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
    int fd = openRegular(server.rootReal(), path, st);
    if (fd < 0)
        return sendText(c, MHD_HTTP_NOT_FOUND, "Not Found\n");
    MHD_Response *r = MHD_create_response_from_fd(static_cast<size_t>(st.st_size), fd);
    if (!r) {
        close(fd);
        return MHD_NO;
    }
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, contentType(path));
    MHD_add_response_header(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_Result ret = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ret;
}

ConnectionState *stateOf(MHD_Connection *c)
{
    const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<ConnectionState *>(info->socket_context) : nullptr;
}

// The request is in: its time no longer runs against the deadline.
void received(MHD_Connection *c)
{
    if (ConnectionState *cs = stateOf(c))
        cs->receiving = false;
}

MHD_Result onRequest(void *cls, MHD_Connection *c, const char *url, const char *method, const char *,
                     const char *upload, size_t *uploadSize, void **state)
{
    auto &server = *static_cast<HttpServer *>(cls);
    std::string path = url ? url : "";
    bool rpc = path == "/ubus" || path == "/ubus/";

    if (*state == nullptr) {
        *state = new ExchangePtr(std::make_shared<Exchange>());
        const char *host = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
        bool post = strcmp(method, MHD_HTTP_METHOD_POST) == 0;
        if (!rpc || !post)
            received(c);
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
        if (!post)
            return sendText(c, MHD_HTTP_METHOD_NOT_ALLOWED, "Method Not Allowed\n");
        const char *origin = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Origin");
        if (origin && !originAllowed(origin, host)) {
            received(c);
            return sendText(c, MHD_HTTP_FORBIDDEN, "Forbidden\n");
        }
        const char *length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (length && strtoull(length, nullptr, 10) > server.options().maxBody) {
            received(c);
            return sendText(c, MHD_HTTP_CONTENT_TOO_LARGE, "Content Too Large\n");
        }
        return MHD_YES;
    }

    ExchangePtr ex = *static_cast<ExchangePtr *>(*state);
    if (*uploadSize != 0) {
        if (ex->body.size() + *uploadSize > server.options().maxBody)
            ex->tooLarge = true;
        else
            ex->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    received(c);
    if (ex->tooLarge)
        return sendText(c, MHD_HTTP_CONTENT_TOO_LARGE, "Content Too Large\n");
    if (!ex->started) {
        ex->started = true;
        ex->server = &server;
        ex->connection = c;
        std::weak_ptr<Exchange> weak = ex;
        server.dispatcher().handle(ex->body.data(), ex->body.size(), [weak](std::string reply) {
            ExchangePtr ex = weak.lock();
            if (!ex)
                return;
            ex->reply = std::move(reply);
            ex->ready = true;
            // Answers that come later resume the request from the event loop.
            if (ex->suspended && ex->connection) {
                ex->suspended = false;
                MHD_resume_connection(ex->connection);
                ex->server->run(nullptr, nullptr);
            }
        });
    }
    if (ex->ready)
        return sendReply(c, ex->reply);
    // The bus answers later; the loop serves others meanwhile.
    ex->suspended = true;
    MHD_suspend_connection(c);
    return MHD_YES;
}

void onCompleted(void *, MHD_Connection *c, void **state, MHD_RequestTerminationCode)
{
    if (auto *ex = static_cast<ExchangePtr *>(*state)) {
        (*ex)->connection = nullptr;
        delete ex;
    }
    *state = nullptr;
    // A kept-alive connection's next request starts its time now.
    if (ConnectionState *cs = stateOf(c)) {
        cs->receiving = true;
        cs->since = Clock::now();
    }
}

void onConnection(void *cls, MHD_Connection *c, void **socketContext, MHD_ConnectionNotificationCode code)
{
    auto &server = *static_cast<HttpServer *>(cls);
    auto &all = server.connections();
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        auto *cs = new ConnectionState;
        const MHD_ConnectionInfo *info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        cs->fd = info ? info->connect_fd : -1;
        cs->since = Clock::now();
        all.push_back(cs);
        *socketContext = cs;
        return;
    }
    auto *cs = static_cast<ConnectionState *>(*socketContext);
    for (auto it = all.begin(); it != all.end(); ++it)
        if (*it == cs) {
            all.erase(it);
            break;
        }
    // Its descriptor may be reused at once by the next connection.
    server.forget(cs->fd);
    delete cs;
    *socketContext = nullptr;
}

// The library's messages, a few per ten seconds: every client that hangs up
// mid-request would otherwise be a line.
void logMessage(void *, const char *format, va_list args)
{
    static Clock::time_point windowStart;
    static unsigned shown = 0, leftOut = 0;
    auto now = Clock::now();
    if (now - windowStart >= std::chrono::seconds(10)) {
        if (leftOut)
            fprintf(stderr, "ubus-gateway: %u more messages of the HTTP library left out\n", leftOut);
        windowStart = now;
        shown = leftOut = 0;
    }
    if (++shown > 5) {
        leftOut++;
        return;
    }
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    size_t len = strlen(text);
    while (len && text[len - 1] == '\n')
        text[--len] = '\0';
    fprintf(stderr, "ubus-gateway: %s\n", text);
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

    unsigned flags = MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (addr.ss_family == AF_INET6)
        flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(
        flags, options_.port, nullptr, nullptr, onRequest, this, MHD_OPTION_EXTERNAL_LOGGER, logMessage,
        nullptr, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&addr), MHD_OPTION_CONNECTION_LIMIT,
        options_.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, options_.maxPerClient,
        MHD_OPTION_CONNECTION_TIMEOUT, options_.idleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<size_t>(32 * 1024), MHD_OPTION_NOTIFY_COMPLETED, onCompleted, nullptr,
        MHD_OPTION_NOTIFY_CONNECTION, onConnection, this, MHD_OPTION_END);
    if (!daemon_) {
        error = "cannot listen on " + options_.address + ":" + port;
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = info ? info->port : options_.port;

    timer_.server = this;
    timer_.timeout.cb = [](uloop_timeout *t) { reinterpret_cast<Timer *>(t)->server->run(nullptr, nullptr); };
    run(nullptr, nullptr);
    return true;
}

void HttpServer::run(fd_set *readable, fd_set *writable)
{
    // Answers come from the loop; never act inside the library's own round.
    if (!daemon_ || running_)
        return;
    running_ = true;
    fd_set none, rs, ws;
    FD_ZERO(&none);
    FD_ZERO(&rs);
    FD_ZERO(&ws);
    MHD_run_from_select(daemon_, readable ? readable : &rs, writable ? writable : &ws, &none);
    sweep();
    watch();
    running_ = false;
}

// Watches exactly the descriptors the library waits for, and wakes it for
// its own timeouts and for the next request deadline.
void HttpServer::watch()
{
    fd_set rs, ws, es;
    FD_ZERO(&rs);
    FD_ZERO(&ws);
    FD_ZERO(&es);
    MHD_socket max = 0;
    if (MHD_get_fdset(daemon_, &rs, &ws, &es, &max) != MHD_YES)
        return;
    for (int fd = 0; fd <= max; fd++) {
        unsigned flags = (FD_ISSET(fd, &rs) ? ULOOP_READ : 0) | (FD_ISSET(fd, &ws) ? ULOOP_WRITE : 0);
        auto found = watches_.find(fd);
        if (!flags && found == watches_.end())
            continue;
        if (found == watches_.end()) {
            auto w = std::make_unique<Watch>();
            w->server = this;
            w->fd.fd = fd;
            w->fd.cb = [](uloop_fd *u, unsigned events) {
                Watch *w = reinterpret_cast<Watch *>(u);
                fd_set rs, ws;
                FD_ZERO(&rs);
                FD_ZERO(&ws);
                // An end of stream or an error is read as one.
                if ((events & ULOOP_READ) || u->eof || u->error)
                    FD_SET(u->fd, &rs);
                if (events & ULOOP_WRITE)
                    FD_SET(u->fd, &ws);
                // The loop unregisters a descriptor on hangup: watch it anew.
                if (!u->registered)
                    w->flags = 0;
                w->server->run(&rs, &ws);
            };
            found = watches_.emplace(fd, std::move(w)).first;
        }
        Watch &w = *found->second;
        if (w.flags == flags && (flags == 0 || w.fd.registered))
            continue;
        w.flags = flags;
        if (flags)
            uloop_fd_add(&w.fd, flags | ULOOP_BLOCKING);
        else
            uloop_fd_delete(&w.fd);
    }
    for (auto it = watches_.begin(); it != watches_.end();) {
        if (it->first > max && it->second->flags) {
            uloop_fd_delete(&it->second->fd);
            it->second->flags = 0;
        }
        ++it;
    }

    long long waitMs = -1;
    MHD_UNSIGNED_LONG_LONG libraryMs = 0;
    if (MHD_get_timeout(daemon_, &libraryMs) == MHD_YES)
        waitMs = static_cast<long long>(std::min<MHD_UNSIGNED_LONG_LONG>(libraryMs, INT_MAX));
    auto now = Clock::now();
    auto limit = std::chrono::seconds(options_.requestSeconds);
    for (ConnectionState *cs : connections_)
        if (cs->receiving && !cs->cutOff) {
            long long left =
                std::chrono::duration_cast<std::chrono::milliseconds>(cs->since + limit - now).count() + 1;
            waitMs = waitMs < 0 ? left : std::min(waitMs, left);
        }
    if (waitMs >= 0)
        uloop_timeout_set(&timer_.timeout, static_cast<int>(std::max(0LL, waitMs)));
    else
        uloop_timeout_cancel(&timer_.timeout);
}

void HttpServer::forget(int fd)
{
    auto found = watches_.find(fd);
    if (found == watches_.end())
        return;
    uloop_fd_delete(&found->second->fd);
    watches_.erase(found);
}

// Ends connections whose request has not arrived whole in time: trickling
// bytes keeps a connection from being idle, never beyond this deadline.
void HttpServer::sweep()
{
    auto now = Clock::now();
    auto limit = std::chrono::seconds(options_.requestSeconds);
    for (ConnectionState *cs : connections_) {
        if (!cs->receiving || cs->cutOff || now - cs->since < limit)
            continue;
        // The library sees the end of the stream and frees the connection.
        shutdown(cs->fd, SHUT_RDWR);
        cs->cutOff = true;
        droppedSinceReport_++;
    }
    if (droppedSinceReport_ && now - lastDropReport_ >= std::chrono::seconds(10)) {
        fprintf(stderr, "ubus-gateway: closed %u connection%s that sent no whole request within %u s\n",
                droppedSinceReport_, droppedSinceReport_ == 1 ? "" : "s", options_.requestSeconds);
        droppedSinceReport_ = 0;
        lastDropReport_ = now;
    }
}

void HttpServer::stop()
{
    if (!daemon_)
        return;
    for (auto &w : watches_)
        uloop_fd_delete(&w.second->fd);
    watches_.clear();
    uloop_timeout_cancel(&timer_.timeout);
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    for (ConnectionState *cs : connections_)
        delete cs;
    connections_.clear();
}

}  // namespace ubusgw
