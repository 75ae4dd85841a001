// The client library's receive path: a fake broker accepts the connection,
// sends a valid HELLO and then the input as if it were further messages, and
// keeps its end open (reading and discarding whatever the client answers)
// until the client lets go. The library must digest anything without
// crashing, hanging or leaking.
#include <libubus.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "harness.h"

namespace {

// Larger inputs would only fill the socket buffer; the framing is the point.
constexpr size_t kMaxInput = 64 * 1024;

bool connectionLost;

void onConnectionLost(ubus_context *) { connectionLost = true; }

bool writeAll(int fd, const uint8_t *data, size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void fakeBroker(int listener, const uint8_t *data, size_t size) {
    int peer = ::accept(listener, nullptr, nullptr);
    if (peer < 0) return;
    // HELLO: version 0, type 0, seq 0, client id 1024 (big-endian), empty root.
    static const uint8_t hello[] = {0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 4};
    if (writeAll(peer, hello, sizeof hello)) writeAll(peer, data, size);
    // No more data, but stay open for whatever the client says back.
    ::shutdown(peer, SHUT_WR);
    char sink[4096];
    while (::read(peer, sink, sizeof sink) > 0) {
    }
    ::close(peer);
}

const std::string &socketPath() {
    static const std::string path = std::string(fuzz_scratch_dir()) + "/broker.sock";
    return path;
}

int listenOnce() {
    static int listener = [] {
        ::signal(SIGPIPE, SIG_IGN);  // what uloop_init does for a real client
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socketPath().c_str(), sizeof addr.sun_path - 1);
        ::unlink(addr.sun_path);
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 4) != 0) {
            std::perror("fake broker socket");
            std::abort();
        }
        return fd;
    }();
    return listener;
}

}  // namespace

int fuzz_ubus_client_rx(const uint8_t *data, size_t size) {
    if (size > kMaxInput) size = kMaxInput;
    int listener = listenOnce();
    std::thread broker(fakeBroker, listener, data, size);

    ubus_context *ctx = ubus_connect(socketPath().c_str());
    if (ctx != nullptr) {
        connectionLost = false;
        ctx->connection_lost = onConnectionLost;
        // Until the library sees the end of the stream; every round either
        // consumes bytes or ends it, so the bound is only a hang guard.
        for (int round = 0; round < 256 && !connectionLost; ++round) {
            pollfd pfd{ctx->sock.fd, POLLIN, 0};
            if (::poll(&pfd, 1, 1000) <= 0) break;
            ubus_handle_event(ctx);
            if (ctx->sock.eof) break;
        }
        ubus_free(ctx);
    }
    broker.join();
    return 0;
}
