// The running daemon seen from outside: start-up and homing, the four bus
// methods through the client tool, and shutdown on a signal.
//
// Step figures below use the usual limits (pan -177.5..177.5, tilt
// -22.5..22.5, 4096 steps per revolution): 0 degrees is step 2020 on pan and
// 256 on tilt, one degree is 4096/360 steps, halves round away from zero.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "daemon_fixture.h"

namespace {

const char kAtZero[] = R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})";
// Near step 0 on both axes, so homing at a slow simulated speed stays short.
const char kNearMinimum[] = R"({"LastCameraPosition":{"Pan":-177,"Tilt":-22}})";

std::string trimmed(const std::string &text) {
    const size_t end = text.find_last_not_of(" \n");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

// A move or query call as bus clients see it: success and nothing printed.
void expectSilentSuccess(const e2e::CommandResult &result) {
    EXPECT_TRUE(result.finished);
    EXPECT_EQ(0, result.exitStatus) << result.err;
    EXPECT_EQ("", result.out);
    EXPECT_EQ("", result.err);
}

}  // namespace

class DaemonStartup : public DaemonTest {};

TEST_F(DaemonStartup, HomesToPersistedPositionInLoggedOrder) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(R"({"LastCameraPosition":{"Pan":90,"Tilt":10}})"));
    const auto lines = log();
    const std::string configuration = scratch + "/gimbalhub.json";

    // Main thread.
    EXPECT_TRUE(containsInOrder(
        lines, {
                   {"Information", "ubus_init", "Initializing U-Bus context and objects"},
                   {"Information", "loadConfiguration",
                    "Configuration file: " + configuration + " parsed successfully"},
                   {"Information", "initialize", "Initialize"},
                   {"Information", "__loadPersistLocation",
                    "Last Camera position loaded. Pan = 90 deg, Tilt = 10 deg."},
                   {"Information", "__startControl", "Starting control thread"},
                   {"Information", "program", "Entering ubus main loop"},
               }));
    // Control thread: reference first, then pan completely, then tilt.
    EXPECT_TRUE(containsInOrder(
        lines,
        {
            {"Information", "__startControl", "Starting control thread"},
            {"Information", "__motorControlThread", "Thread started"},
            {"Information", "__motorInitPosition", "Initializing position"},
            {"Information", "__transitionState", "Transitioning FSM: RESET -> INITIALIZING"},
            {"Information", "__waitForDeviceReady", "Motor Ready to accept new commands"},
            {"Information", "__motorGetPosition", "Retreving motor position"},
            {"Information", "__motorGetPosition",
             "Retrieved position x: 0 y: 0, pan: -178 tilt: -23"},
            {"Information", "__transitionState", "Transitioning FSM: INITIALIZING -> HOMMING_X"},
            {"Information", "__waitForDeviceReady", "Motor Ready to accept new commands"},
            {"Information", "__motorGetPosition",
             "Retrieved position x: 3044 y: 0, pan: 90 tilt: -23"},
            {"Information", "__transitionState", "Transitioning FSM: HOMMING_X -> HOMMING_Y"},
            {"Information", "__motorGetPosition",
             "Retrieved position x: 3044 y: 370, pan: 90 tilt: 10"},
            {"Information", "__transitionState", "Transitioning FSM: HOMMING_Y -> READY"},
        }));
    EXPECT_EQ(0u, countMessage(lines, "Persistent file not foud. Using default home position"));

    const auto requests = trace();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ("OPEN", requests.front().request);
    EXPECT_EQ(0, requests.front().result);
    const auto homing = moves();
    ASSERT_EQ(2u, homing.size()) << describe(requests);
    EXPECT_EQ(3, homing[0].direction);  // pan, toward larger steps
    EXPECT_EQ(3044, homing[0].steps);
    EXPECT_EQ(2, homing[1].direction);  // tilt, toward larger steps
    EXPECT_EQ(370, homing[1].steps);

    const auto reply = call("getPosition", "{}");
    EXPECT_EQ(0, reply.exitStatus) << reply.err;
    EXPECT_EQ(R"({"pan":90,"tilt":10})", trimmed(reply.out));
}

TEST_F(DaemonStartup, MissingPersistenceFileHomesToZero) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(""));
    EXPECT_TRUE(containsInOrder(
        log(),
        {
            {"Information", "initialize", "Initialize"},
            {"Error", "__loadPersistLocation", "Error opening persistent file: " + positionPath},
            {"Information", "initialize", "Persistent file not foud. Using default home position"},
            {"Information", "__startControl", "Starting control thread"},
        }));
    const auto homing = moves();
    ASSERT_EQ(2u, homing.size()) << describe(trace());
    EXPECT_EQ(2020, homing[0].steps);
    EXPECT_EQ(256, homing[1].steps);
    EXPECT_EQ(R"({"pan":0,"tilt":0})", trimmed(call("getPosition", "{}").out));
    // Reading the position back never writes the file.
    EXPECT_FALSE(access(positionPath.c_str(), F_OK) == 0);
}

class DaemonMethods : public DaemonTest {};

TEST_F(DaemonMethods, ChangePanQueuesOneRelativeMove) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    expectSilentSuccess(call("changePan", R"({"step":-5})"));
    ASSERT_TRUE(waitForLog("Transitioning FSM: BUSY -> READY")) << describe(log());

    EXPECT_TRUE(containsInOrder(
        log(), {
                   {"Information", "__change_pan", "Entering"},
                   {"Information", "__change_pan", "step of the message received: -5"},
                   {"Information", "changePan", "Queuing PAN change command. delta = -5"},
                   {"Information", "__change_pan", "Exiting"},
               }));
    EXPECT_TRUE(containsInOrder(
        log(), {
                   {"Information", "__processMotorCmd", "Dequeuing command. cmd = 1"},
                   {"Information", "__transitionState", "Transitioning FSM: READY -> BUSY"},
                   {"Information", "__motorGetPosition",
                    "Retrieved position x: 1963 y: 256, pan: -5 tilt: 0"},
                   {"Information", "__transitionState", "Transitioning FSM: BUSY -> READY"},
               }));
    const auto all = moves();
    ASSERT_EQ(3u, all.size()) << describe(trace());
    EXPECT_EQ(4, all[2].direction);  // pan, toward smaller steps
    EXPECT_EQ(57, all[2].steps);
    EXPECT_EQ(R"({"pan":-5,"tilt":0})", trimmed(call("getPosition", "{}").out));
}

// Ignored requests are followed by a good one: commands are carried out in
// order, so if the ignored one had been queued it would show up first.
TEST_F(DaemonMethods, MalformedArgumentsQueueNothing) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    expectSilentSuccess(call("changeTilt", R"({"step":"5"})"));
    expectSilentSuccess(call("changePosition", R"({"tilt":5})"));
    expectSilentSuccess(call("changePan", R"({"step":1})"));
    ASSERT_TRUE(waitForLog("Transitioning FSM: BUSY -> READY")) << describe(log());

    const auto lines = log();
    EXPECT_TRUE(containsInOrder(
        lines, {
                   {"Information", "__change_tilt", "Entering"},
                   {"Information", "__change_tilt", "Received message with no step"},
                   {"Information", "__change_tilt", "Exiting"},
                   {"Information", "__change_pos", "Entering"},
                   {"Error", "__change_pos", "Received message with no pan"},
                   {"Information", "__change_pos", "Exiting"},
               }));
    // Without pan the tilt argument is not looked at.
    EXPECT_EQ(0u, countMessage(lines, "tilt of the message received: 5"));
    EXPECT_EQ(0u, countMessage(lines, "Received message with no tilt"));
    EXPECT_EQ(0u, countMessage(lines, "Queuing TILT change command. delta = 5"));
    EXPECT_EQ(1u, countMessage(lines, "Dequeuing command. cmd = 1"));
    EXPECT_EQ(0u, countMessage(lines, "Dequeuing command. cmd = 2"));
    EXPECT_EQ(0u, countMessage(lines, "Dequeuing command. cmd = 3"));
    const auto all = moves();
    ASSERT_EQ(3u, all.size()) << describe(trace());
    EXPECT_EQ(3, all[2].direction);
}

TEST_F(DaemonMethods, ChangePositionMovesPanThenTilt) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    expectSilentSuccess(call("changePosition", R"({"pan":10,"tilt":-20})"));
    ASSERT_TRUE(waitForLog("Transitioning FSM: BUSY -> READY", 2)) << describe(log());

    const auto lines = log();
    EXPECT_TRUE(containsInOrder(
        lines, {
                   {"Information", "__change_pos", "Entering"},
                   {"Information", "__change_pos", "pan of the message received: 10"},
                   {"Information", "__change_pos", "tilt of the message received: -20"},
                   {"Information", "setPanAndTilt",
                    "Queuing PAN and TILT set command. pan = 10, tilt = -20"},
                   {"Information", "__change_pos", "Exiting"},
               }));
    EXPECT_TRUE(containsInOrder(
        lines, {
                   {"Information", "__processMotorCmd", "Dequeuing command. cmd = 3"},
                   {"Information", "__transitionState", "Transitioning FSM: BUSY -> READY"},
                   {"Information", "__processMotorCmd", "Dequeuing command. cmd = 4"},
                   {"Information", "__transitionState", "Transitioning FSM: BUSY -> READY"},
               }));
    const auto all = moves();
    ASSERT_EQ(4u, all.size()) << describe(trace());
    EXPECT_EQ(3, all[2].direction);
    EXPECT_EQ(113, all[2].steps);  // 2020 -> 2133
    EXPECT_EQ(1, all[3].direction);
    EXPECT_EQ(228, all[3].steps);  // 256 -> 28
    EXPECT_EQ(R"({"pan":10,"tilt":-20})", trimmed(call("getPosition", "{}").out));
}

TEST_F(DaemonMethods, UnknownArgumentsAreIgnored) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    expectSilentSuccess(call("changePan", R"({"speed":9,"step":2,"note":"fast"})"));
    ASSERT_TRUE(waitForLog("Transitioning FSM: BUSY -> READY")) << describe(log());
    EXPECT_EQ(1u, countMessage(log(), "step of the message received: 2"));
    const auto all = moves();
    ASSERT_EQ(3u, all.size()) << describe(trace());
    EXPECT_EQ(22, all[2].steps);  // 2020 -> 2042

    const auto reply = call("getPosition", R"({"pan":50,"verbose":true})");
    EXPECT_EQ(0, reply.exitStatus) << reply.err;
    EXPECT_EQ(R"({"pan":2,"tilt":0})", trimmed(reply.out));
}

TEST_F(DaemonMethods, GetPositionDuringMoveReportsPositionReadBefore) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kNearMinimum, {{"SSP_SIM_SPEED", "200"}}));
    EXPECT_EQ(R"({"pan":-177,"tilt":-22})", trimmed(call("getPosition", "{}").out));

    expectSilentSuccess(call("changePan", R"({"step":30})"));  // 341 steps, about 1.7 s
    ASSERT_TRUE(waitForTrace("MOVE", 3)) << describe(trace());
    const auto during = call("getPosition", "{}");
    const auto afterCall = trace();
    EXPECT_EQ(0, during.exitStatus) << during.err;
    EXPECT_EQ(R"({"pan":-177,"tilt":-22})", trimmed(during.out));
    // The answer really came while the move ran: no read-back since the move.
    ASSERT_FALSE(afterCall.empty());
    EXPECT_EQ("MOVE", afterCall.back().request) << describe(afterCall);

    ASSERT_TRUE(waitForLog("Transitioning FSM: BUSY -> READY")) << describe(log());
    EXPECT_EQ(R"({"pan":-147,"tilt":-22})", trimmed(call("getPosition", "{}").out));
}

TEST_F(DaemonMethods, SecondChangePanWaitsForFirstMove) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kNearMinimum, {{"SSP_SIM_SPEED", "200"}}));
    expectSilentSuccess(call("changePan", R"({"step":30})"));
    expectSilentSuccess(call("changePan", R"({"step":30})"));
    ASSERT_TRUE(waitForLog("Transitioning FSM: BUSY -> READY", 2, 15)) << describe(log());

    const auto lines = log();
    EXPECT_EQ(2u, countMessage(lines, "Queuing PAN change command. delta = 30"));
    EXPECT_EQ(2u, countMessage(lines, "Dequeuing command. cmd = 1"));
    const auto requests = trace();
    std::vector<size_t> moveAt;
    for (size_t i = 0; i < requests.size(); ++i)
        if (requests[i].request == "MOVE") moveAt.push_back(i);
    ASSERT_EQ(4u, moveAt.size()) << describe(requests);
    // Between the two commands the daemon read back the finished first move.
    bool readBack = false;
    for (size_t i = moveAt[2] + 1; i < moveAt[3]; ++i)
        if (requests[i].request == "GET" && requests[i].x == 347) readBack = true;
    EXPECT_TRUE(readBack) << describe(requests);
    EXPECT_EQ(0, requests[moveAt[2]].result);
    EXPECT_EQ(0, requests[moveAt[3]].result);   // the driver was not busy any more
    EXPECT_EQ(341, requests[moveAt[2]].steps);  // 6 -> 347
    EXPECT_EQ(341, requests[moveAt[3]].steps);  // 347 -> 688
    EXPECT_EQ(R"({"pan":-117,"tilt":-22})", trimmed(call("getPosition", "{}").out));
}

class DaemonShutdown : public DaemonTest {
protected:
    void expectOrderlyStopOn(int signalNumber) {
        ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
        daemon->signal(signalNumber);
        ASSERT_TRUE(waitForExit()) << describe(log());
        EXPECT_TRUE(daemon->exited());
        EXPECT_EQ(0, daemon->exitStatus());
        const auto lines = log();
        EXPECT_TRUE(containsInOrder(
            lines, {
                       {"Information", "program", "Entering ubus main loop"},
                       {"Information", "program", "ubus main loop exited. Terminating ubus"},
                       {"Information", "ubus_deinit", "Freeing U-Bus context"},
                       {"Finished", "main", "Program finished successfully!"},
                       {"Information", "~MotorControl", "destroying"},
                       {"Information", "__stopControl", "Stopping control thread"},
                       {"Information", "__motorControlThread", "Motor Control Thread exited"},
                       {"Information", "~MotorControl", "destroyed"},
                   }));
        EXPECT_EQ(
            0u, countMessage(lines, "Stop requested during start-up, not entering ubus main loop"));
        EXPECT_EQ("destroyed", lines.back().message) << describe(lines);
    }
};

TEST_F(DaemonShutdown, SigtermStopsInOrder) { expectOrderlyStopOn(SIGTERM); }

TEST_F(DaemonShutdown, SigintStopsInOrder) { expectOrderlyStopOn(SIGINT); }

// The persistence file is a named pipe with no writer, so start-up blocks in
// opening it; a signal then arrives before the event loop exists.
TEST_F(DaemonShutdown, SignalDuringStartUpIsNotLost) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const std::string configuration = writeConfiguration("");
    ASSERT_EQ(0, mkfifo(positionPath.c_str(), 0600));
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration}));
    ASSERT_TRUE(waitForLog("Initialize")) << describe(log());
    const std::string syscallFile = "/proc/" + std::to_string(daemon->pid()) + "/syscall";
    const std::string openat = std::to_string(SYS_openat) + " ";
    ASSERT_TRUE(e2e::waitUntil(
        [&] { return e2e::readFile(syscallFile).compare(0, openat.size(), openat) == 0; }, 10))
        << "the daemon never blocked opening the persistence file";

    daemon->signal(SIGTERM);
    ASSERT_TRUE(waitForExit()) << describe(log());
    EXPECT_TRUE(daemon->exited());
    EXPECT_EQ(0, daemon->exitStatus());
    const auto lines = log();
    EXPECT_TRUE(containsInOrder(
        lines,
        {
            {"Error", "__loadPersistLocation", "Error opening persistent file: " + positionPath},
            {"Information", "__startControl", "Starting control thread"},
            {"Information", "program",
             "Stop requested during start-up, not entering ubus main loop"},
            {"Information", "program", "ubus main loop exited. Terminating ubus"},
            {"Information", "ubus_deinit", "Freeing U-Bus context"},
            {"Finished", "main", "Program finished successfully!"},
            {"Information", "~MotorControl", "destroying"},
            {"Information", "~MotorControl", "destroyed"},
        }));
    EXPECT_EQ(0u, countMessage(lines, "Entering ubus main loop"));
}

// The log goes to a pipe whose reader quits before the stop: the shutdown
// lines then meet a closed pipe, which must not decide the exit status.
TEST_F(DaemonShutdown, SigtermAfterLogReaderHasGoneEndsWithZero) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const std::string configuration = writeConfiguration(kAtZero);
    const std::string pipePath = scratch + "/gimbalhub.err";
    ASSERT_EQ(0, mkfifo(pipePath.c_str(), 0600));
    const int reader = open(pipePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration}));
    std::string seen;
    const bool ready = e2e::waitUntil(
        [&] {
            char chunk[4096];
            ssize_t n;
            while ((n = read(reader, chunk, sizeof chunk)) > 0)
                seen.append(chunk, static_cast<size_t>(n));
            return seen.find("Entering ubus main loop") != std::string::npos;
        },
        10);
    close(reader);
    ASSERT_TRUE(ready) << seen;

    daemon->signal(SIGTERM);
    ASSERT_TRUE(waitForExit());
    EXPECT_FALSE(daemon->signaled()) << "ended by signal " << daemon->termSignal();
    EXPECT_TRUE(daemon->exited());
    EXPECT_EQ(0, daemon->exitStatus());
}
