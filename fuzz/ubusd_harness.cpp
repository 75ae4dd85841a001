// The broker's receive path: one client, connected over a socketpair, sends
// the input as its byte stream; the broker handles it until idle, then sees
// the client hang up. What the broker writes back is read and checked only
// for framing. Ids come from a fixed seed so stored inputs can name the
// client and the objects they registered.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "broker.h"
#include "harness.h"

namespace {

// Larger inputs only fill socket buffers; the messages are the point.
constexpr size_t kMaxInput = 256 * 1024;
constexpr uint32_t kIdSeed = 1;
constexpr size_t kMaxMsgLen = 1024 * 1024;

// Reassembles the broker's output and checks every header as the client
// library does (version and length): a header it rejects ends the client's
// connection.
class OutputCheck {
public:
    explicit OutputCheck(uint32_t clientId) : clientId_(clientId) {}

    void take(const char *bytes, size_t n) {
        pending_.insert(pending_.end(), bytes, bytes + n);
        size_t pos = 0;
        while (pending_.size() - pos >= 12) {
            const uint8_t *h = pending_.data() + pos;
            uint32_t raw = (uint32_t(h[9]) << 16) | (uint32_t(h[10]) << 8) | h[11];
            FUZZ_CHECK(h[0] == 0);  // version; the root's id byte is not looked at
            FUZZ_CHECK(raw >= 4 && ((raw + 3) & ~3u) <= kMaxMsgLen);
            if (first_) {
                uint32_t peer =
                    (uint32_t(h[4]) << 24) | (uint32_t(h[5]) << 16) | (uint32_t(h[6]) << 8) | h[7];
                FUZZ_CHECK(h[1] == 0 && peer == clientId_);  // HELLO with the client's id
                first_ = false;
            }
            if (pending_.size() - pos < 8 + raw) break;
            pos += 8 + raw;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
    }

private:
    uint32_t clientId_;
    bool first_ = true;
    std::vector<uint8_t> pending_;
};

// Reads what is there; true once the broker has closed its end.
bool drain(int fd, OutputCheck &check) {
    char sink[65536];
    for (;;) {
        ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) {
            check.take(sink, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n == 0 || errno == ECONNRESET;
    }
}

}  // namespace

int fuzz_ubusd_rx(const uint8_t *data, size_t size) {
    if (size > kMaxInput) size = kMaxInput;
    int sv[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    int peer = sv[1];
    {
        ubusd::Broker broker("");
        broker.seedIds(kIdSeed);
        FUZZ_CHECK(broker.openDetached());
        uint32_t id = broker.adoptClient(sv[0]);
        FUZZ_CHECK(id != 0);
        OutputCheck check(id);

        bool closed = false;
        size_t off = 0;
        while (off < size && !closed) {
            ssize_t n = ::send(peer, data + off, size - off, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                off += static_cast<size_t>(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
                break;  // the broker dropped the client over broken framing
            }
            FUZZ_CHECK(broker.runUntilIdle());
            closed = drain(peer, check);
        }
        ::shutdown(peer, SHUT_WR);
        FUZZ_CHECK(broker.runUntilIdle());
        // A client that hung up must be released, not kept half-open.
        FUZZ_CHECK(drain(peer, check));
    }
    ::close(peer);
    return 0;
}
