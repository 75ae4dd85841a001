// The daemon's callers when another client floods it with calls and never
// reads the answers: the broker slows the flooder down instead of losing
// anybody's messages.
#include <libubus.h>

#include <endian.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "daemon_fixture.h"

namespace {

const char kAtZero[] = R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})";

uint32_t lookupGimbalhub() {
    ubus_context *ctx = ubus_connect(nullptr);
    uint32_t id = 0;
    if (ctx != nullptr && ubus_lookup_id(ctx, "gimbalhub", &id) != 0) id = 0;
    if (ctx != nullptr) ubus_free(ctx);
    return id;
}

// Sends "changePan" calls as fast as the broker takes them and reads nothing.
class Flooder {
public:
    explicit Flooder(uint32_t object) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, "/var/run/ubus/ubus.sock", sizeof address.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;

        blob_buf buf{};
        blob_buf_init(&buf, 0);
        blob_put_int32(&buf, UBUS_ATTR_OBJID, object);
        blob_put_string(&buf, UBUS_ATTR_METHOD, "changePan");
        void *data = blob_nest_start(&buf, UBUS_ATTR_DATA);
        blobmsg_add_u32(&buf, "step", 1);
        blob_nest_end(&buf, data);
        message_.resize(8 + blob_raw_len(buf.head));
        message_[1] = UBUS_MSG_INVOKE;
        const uint32_t peer = htobe32(object);
        memcpy(&message_[4], &peer, 4);
        memcpy(&message_[8], buf.head, blob_raw_len(buf.head));
        blob_buf_free(&buf);
        if (connected_) thread_ = std::thread([this] { run(); });
    }
    ~Flooder() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return connected_; }
    long sent() const { return sent_; }

private:
    void run() {
        for (uint16_t seq = 1; !stop_; ++seq) {
            message_[2] = static_cast<uint8_t>(seq >> 8);
            message_[3] = static_cast<uint8_t>(seq);
            size_t done = 0;
            while (done < message_.size() && !stop_) {
                const ssize_t n = ::send(fd_, message_.data() + done, message_.size() - done, MSG_NOSIGNAL);
                if (n > 0) {
                    done += static_cast<size_t>(n);
                } else if (n < 0 && errno == EAGAIN) {
                    pollfd p{fd_, POLLOUT, 0};
                    poll(&p, 1, 50);
                } else {
                    return;
                }
            }
            if (done == message_.size()) ++sent_;
        }
    }

    int fd_ = -1;
    bool connected_ = false;
    std::vector<uint8_t> message_;
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
    std::thread thread_;
};

}  // namespace

class DaemonUnderFlood : public DaemonTest {};

TEST_F(DaemonUnderFlood, EveryCallOfAnotherClientIsAnsweredWithinTwoSeconds) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    const uint32_t object = lookupGimbalhub();
    ASSERT_NE(0u, object);
    Flooder flooder(object);
    ASSERT_TRUE(flooder.connected());
    // Well past the point where the old broker began to lose calls.
    ASSERT_TRUE(e2e::waitUntil([&] { return flooder.sent() >= 20000; }, 20)) << flooder.sent();

    int late = 0;
    for (int i = 0; i < 20; ++i) {
        const double started = e2e::monotonicNow();
        const e2e::CommandResult result =
            e2e::runCommand({UBUS_CLI_BIN, "-S", "-t", "2", "call", "gimbalhub", "getPosition", "{}"}, 10);
        const double seconds = e2e::monotonicNow() - started;
        EXPECT_EQ(0, result.exitStatus) << "call " << i << ": " << result.err;
        EXPECT_EQ(0u, result.out.find("{\"pan\":")) << result.out;
        if (seconds > 2.0) ++late;
    }
    EXPECT_EQ(0, late);
    EXPECT_TRUE(daemon->running());
}
