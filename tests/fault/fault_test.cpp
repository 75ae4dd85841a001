// Faults from every side the daemon cannot control: a driver that fails or
// never answers, a broker that dies, a persistence file damaged by a power
// cut, and signals at any moment of start-up. In every case the daemon must
// say what happened and end with the right status, or keep serving; never
// hang, crash or report success after a failure.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "daemon_fixture.h"

namespace {

const char kAtZero[] = R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})";
const char kCaughtUnknown[] = "Caught exception of unknown type with content: ";

bool hasPrefix(const std::vector<e2e::LogLine> &lines, const std::string &prefix) {
    for (const auto &line : lines)
        if (line.message.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace

class FaultTest : public DaemonTest {
protected:
    std::string configuration() { return scratch + "/gimbalhub.json"; }

    // Ended on its own with this status (not by a signal, not still running).
    void expectExit(int status, double timeout = 10) {
        ASSERT_TRUE(waitForExit(timeout)) << "still running\n" << describe(log());
        ASSERT_TRUE(daemon->exited()) << "ended by signal " << daemon->termSignal() << "\n"
                                      << daemonStderr();
        EXPECT_EQ(status, daemon->exitStatus()) << describe(log());
        if (status != 0) {
            EXPECT_EQ(0u, countMessage(log(), "Program finished successfully!"));
        }
    }

    void expectServing() {
        ASSERT_TRUE(daemon->running()) << describe(log());
        const auto reply = call("getPosition", "{}");
        EXPECT_TRUE(reply.finished);
        EXPECT_EQ(0, reply.exitStatus) << reply.err;
        EXPECT_NE(std::string::npos, reply.out.find("\"pan\"")) << reply.out;
    }

    void terminateCleanly(int signalNumber = SIGTERM) {
        daemon->signal(signalNumber);
        ASSERT_NO_FATAL_FAILURE(expectExit(0));
        EXPECT_EQ(1u, countMessage(log(), "Program finished successfully!"));
    }
};

// --- the driver misbehaving -------------------------------------------------

// What each fault does to the controller is shown by its unit tests; here
// only that the bus side is not held up by a control thread in trouble.
class MisbehavingDriver : public FaultTest,
                          public ::testing::WithParamInterface<std::map<std::string, std::string>> {
};

TEST_P(MisbehavingDriver, BusKeepsAnsweringAndStopIsClean) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", writeConfiguration(kAtZero)}, GetParam()));
    ASSERT_TRUE(waitForLog("Entering ubus main loop")) << describe(log());
    ASSERT_TRUE(waitForLog("Transitioning FSM: RESET -> INITIALIZING")) << describe(log());
    ASSERT_NO_FATAL_FAILURE(expectServing());
    ASSERT_EQ(0, call("changePan", R"({"step":10})").exitStatus);
    ASSERT_TRUE(waitForLog("Queuing PAN change command. delta = 10")) << describe(log());
    ASSERT_NO_FATAL_FAILURE(expectServing());
    ASSERT_NO_FATAL_FAILURE(terminateCleanly());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MisbehavingDriver,
    ::testing::Values(std::map<std::string, std::string>{{"SSP_SIM_GET_ERRNO", "5"},
                                                         {"SSP_SIM_MOVE_ERRNO", "5"}},
                      std::map<std::string, std::string>{{"SSP_SIM_NEVER_READY", "1"}}),
    [](const ::testing::TestParamInfo<std::map<std::string, std::string>> &info) {
        return std::string(info.index == 0 ? "FailingRequests" : "NeverReady");
    });

// A fatal device failure on the control thread ends the whole daemon through
// the same path as a start-up failure, with status 1 and no crash.
TEST_F(FaultTest, PollFailureDuringMoveEndsDaemonWithFailure) {
    // With moves that end at once, three polls bring homing to READY; the
    // fourth, after the move requested over the bus, fails.
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero, {{"SSP_SIM_POLL_FAIL_AFTER", "3"}}));
    ASSERT_EQ(0, call("changePan", R"({"step":90})").exitStatus);
    ASSERT_NO_FATAL_FAILURE(expectExit(1));
    const std::string text =
        "Error while polling device /dev/ssp." + std::string(std::strerror(EIO)) + " (5).";
    // The thread writes its exit line before it wakes the main thread.
    EXPECT_TRUE(containsInOrder(
        log(), {{"Information", "__processMotorCmd", "Dequeuing command. cmd = 1"},
                {"Error", "__waitForDeviceReady", text},
                {"Information", "__motorControlThread", "Motor Control Thread exited"},
                {"Information", "program", "ubus main loop exited. Terminating ubus"},
                {"Information", "ubus_deinit", "Freeing U-Bus context"},
                {"Error", "main", "Caught MotorControlException with content: " + text},
                {"Information", "~MotorControl", "destroying"},
                {"Information", "~MotorControl", "destroyed"}}))
        << describe(log());
    EXPECT_EQ(1u, countMessage(log(), "Motor Control Thread exited"));
    EXPECT_EQ(std::string::npos, daemonStderr().find("terminate called")) << daemonStderr();
}

// --- the broker going away and coming back ---------------------------------

TEST_F(FaultTest, BrokerRestartLetsANewDaemonStart) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    ASSERT_NO_FATAL_FAILURE(killBroker());
    ASSERT_NO_FATAL_FAILURE(expectExit(1));
    EXPECT_EQ(1u, countMessage(log(), "Connection to ubus lost")) << describe(log());

    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration()}));
    ASSERT_TRUE(waitForLog("Transitioning FSM: HOMMING_Y -> READY")) << describe(log());
    ASSERT_TRUE(waitForLog("Entering ubus main loop")) << describe(log());
    ASSERT_NO_FATAL_FAILURE(expectServing());
    ASSERT_NO_FATAL_FAILURE(terminateCleanly());
}

// --- the persistence file damaged between two runs -------------------------

std::string damageName(const ::testing::TestParamInfo<std::string> &info) {
    static const char *const names[] = {"Empty", "TruncatedValue", "TruncatedKey", "Zeros",
                                        "Garbage"};
    return names[info.index];
}

class DamagedPersistence : public FaultTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(DamagedPersistence, EndsStartupWithFailureNotACrash) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(R"({"LastCameraPosition":{"Pan":12,"Tilt":-4}})"));
    ASSERT_NO_FATAL_FAILURE(terminateCleanly());

    ASSERT_TRUE(e2e::writeFile(positionPath, GetParam()));
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration()}));
    ASSERT_NO_FATAL_FAILURE(expectExit(1));
    EXPECT_TRUE(hasPrefix(log(), kCaughtUnknown)) << describe(log());
    EXPECT_EQ(0u, countMessage(log(), "Entering ubus main loop"));
}

INSTANTIATE_TEST_SUITE_P(PowerCut, DamagedPersistence,
                         ::testing::Values(std::string(),
                                           std::string(R"({"LastCameraPosition":{"Pan":1)"),
                                           std::string("{\"LastCamera"),
                                           std::string("\0\0\0\0\0\0\0\0", 8),
                                           std::string("\xff\xfe garbage \x01\x02", 14)),
                         damageName);

// --- signals at every stage of start-up ------------------------------------

class StartupSignal : public FaultTest, public ::testing::WithParamInterface<int> {};

// Before the handlers are even installed the default action may still win;
// anything but a hang, a crash or another signal is fine.
TEST_P(StartupSignal, RightAfterLaunch) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", writeConfiguration(kAtZero)}));
    daemon->signal(GetParam());
    ASSERT_TRUE(waitForExit(10)) << "still running after the signal\n" << describe(log());
    if (daemon->signaled()) {
        EXPECT_EQ(GetParam(), daemon->termSignal());
    } else {
        EXPECT_TRUE(daemon->exitStatus() == 0 || daemon->exitStatus() == 1) << daemon->exitStatus();
    }
}

// Start-up held up inside initialize(): the persistence file is a pipe that
// nobody writes yet. The signal arrives before the event loop runs, and the
// daemon must still stop once start-up is through.
TEST_P(StartupSignal, WhileStartupIsHeldUp) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const std::string config = writeConfiguration("");
    ASSERT_EQ(0, mkfifo(positionPath.c_str(), 0600)) << strerror(errno);
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", config}));
    ASSERT_TRUE(waitForLog("Initialize")) << describe(log());
    e2e::waitUntil([] { return false; }, 0.2);  // let it reach the blocking open
    daemon->signal(GetParam());
    // Whether the open was interrupted or not, feed the pipe once the daemon
    // reads it, so start-up can go on either way.
    bool fed = false;
    const bool ended = e2e::waitUntil(
        [&] {
            if (!fed) {
                int fd = ::open(positionPath.c_str(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    const std::string text = kAtZero;
                    fed =
                        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
                    ::close(fd);
                }
            }
            return !daemon->running();
        },
        10);
    ASSERT_TRUE(ended) << "a signal received during start-up was lost\n" << describe(log());
    ASSERT_TRUE(daemon->exited()) << "ended by signal " << daemon->termSignal();
    EXPECT_EQ(0, daemon->exitStatus()) << describe(log());
}

TEST_P(StartupSignal, DuringHoming) {
    // 2020 steps at 400 steps/s: homing pan alone takes about five seconds.
    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(
        startDaemon({"-c", writeConfiguration(kAtZero)}, {{"SSP_SIM_SPEED", "400"}}));
    ASSERT_TRUE(waitForLog("Transitioning FSM: INITIALIZING -> HOMMING_X")) << describe(log());
    ASSERT_TRUE(waitForLog("Entering ubus main loop")) << describe(log());
    ASSERT_NO_FATAL_FAILURE(terminateCleanly(GetParam()));
    EXPECT_TRUE(containsInOrder(
        log(), {{"Information", "__stopControl", "Stopping control thread"},
                {"Information", "__motorControlThread", "Motor Control Thread exited"}}))
        << describe(log());
    EXPECT_EQ(0u, countMessage(log(), "Transitioning FSM: HOMMING_Y -> READY"));
}

TEST_P(StartupSignal, WhenReady) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    ASSERT_NO_FATAL_FAILURE(terminateCleanly(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Signals, StartupSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(info.param == SIGTERM ? "SIGTERM" : "SIGINT");
                         });
