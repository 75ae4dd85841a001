// The daemon's callers when another client floods it with calls and never
// reads the answers: the broker slows the flooder down instead of losing
// anybody's messages.
#include <libubus.h>

#include <endian.h>

#include <unistd.h>

#include <cstring>
#include <memory>
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

// One call as a flooder sends it again and again: "changePan" of one step,
// or another method without arguments.
std::vector<uint8_t> floodCall(uint32_t object, const char *method = "changePan") {
    blob_buf buf{};
    blob_buf_init(&buf, 0);
    blob_put_int32(&buf, UBUS_ATTR_OBJID, object);
    blob_put_string(&buf, UBUS_ATTR_METHOD, method);
    void *data = blob_nest_start(&buf, UBUS_ATTR_DATA);
    if (strcmp(method, "changePan") == 0) blobmsg_add_u32(&buf, "step", 1);
    blob_nest_end(&buf, data);
    std::vector<uint8_t> message(8 + blob_raw_len(buf.head));
    message[1] = UBUS_MSG_INVOKE;
    const uint32_t peer = htobe32(object);
    memcpy(&message[4], &peer, 4);
    memcpy(&message[8], buf.head, blob_raw_len(buf.head));
    blob_buf_free(&buf);
    return message;
}

}  // namespace

class DaemonUnderFlood : public DaemonTest {};

TEST_F(DaemonUnderFlood, EveryCallOfAnotherClientIsAnsweredWithinTwoSeconds) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    const uint32_t object = lookupGimbalhub();
    ASSERT_NE(0u, object);
    e2e::SilentFlooder flooder(e2e::kBusSocket, floodCall(object));
    ASSERT_TRUE(flooder.connected());
    // The calls below meet the flood while it is under way and after the
    // broker has stopped taking more from the flooder.
    ASSERT_TRUE(e2e::waitUntil([&] { return flooder.sent() >= 2000; }, 20)) << flooder.sent();

    int late = 0;
    for (int i = 0; i < 20; ++i) {
        const double started = e2e::monotonicNow();
        const e2e::CommandResult result = e2e::runCommand(
            {e2e::ubusCliPath(), "-S", "-t", "2", "call", "gimbalhub", "getPosition", "{}"}, 10);
        const double seconds = e2e::monotonicNow() - started;
        EXPECT_EQ(0, result.exitStatus) << "call " << i << ": " << result.err;
        EXPECT_EQ(0u, result.out.find("{\"pan\":")) << result.out;
        if (seconds > 2.0) ++late;
    }
    EXPECT_EQ(0, late);
    EXPECT_TRUE(daemon->running());
}

// The broker stops while the daemon's answers to a flood fill its socket: a
// SIGTERM still ends the daemon at once, in order and with status 0.
TEST_F(DaemonUnderFlood, SigtermEndsTheDaemonWhileAStoppedBrokerLeavesItsAnswersUnread) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    const uint32_t object = lookupGimbalhub();
    ASSERT_NE(0u, object);
    std::vector<std::unique_ptr<e2e::SilentFlooder>> flooders;
    for (int i = 0; i < 4; ++i)
        flooders.push_back(std::make_unique<e2e::SilentFlooder>(e2e::kBusSocket,
                                                                floodCall(object, "getPosition")));
    for (auto &flooder : flooders)
        ASSERT_TRUE(e2e::waitUntil([&] { return flooder->sent() >= 500; }, 20)) << flooder->sent();
    broker->signal(SIGSTOP);
    // Time for the daemon to answer the calls it already holds and fill its socket.
    usleep(300 * 1000);
    daemon->signal(SIGTERM);
    const bool ended = waitForExit(3);
    broker->signal(SIGCONT);
    ASSERT_TRUE(ended) << describe(log());
    EXPECT_TRUE(daemon->exited() && daemon->exitStatus() == 0);
    EXPECT_TRUE(
        containsInOrder(log(),
                        {
                            {"Information", "program", "ubus main loop exited. Terminating ubus"},
                            {"Information", "ubus_deinit", "Freeing U-Bus context"},
                            {"Finished", "main", "Program finished successfully!"},
                            {"Information", "~MotorControl", "destroyed"},
                        }))
        << describe(log());
}
