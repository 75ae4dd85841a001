// The object gimbalhub.control and the position events of the running daemon,
// seen through the client tool: status, stop, the home position across a
// restart, a persistence file that cannot be written, listen and wait_for.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "control_fixture.h"

namespace {

const char kAtZero[] = R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})";
const char kNearMinimum[] = R"({"LastCameraPosition":{"Pan":-170,"Tilt":-20}})";
// Simulated steps per second: a 90-degree move takes about four seconds.
const char kSlow[] = "250";

}  // namespace

TEST_F(ControlObject, StatusThroughHomingAndAMove) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    // Slow enough that homing (about eight seconds) and a move outlast a bus
    // call even under emulation, where each starts a new process.
    ASSERT_NO_FATAL_FAILURE(
        startDaemon({"-c", writeConfiguration(kAtZero)}, {{"SSP_SIM_SPEED", kSlow}}));
    std::string during;
    ASSERT_TRUE(e2e::waitUntil([&] { return !(during = status()).empty(); }, 10, 0.05));
    EXPECT_TRUE(has(during, "\"moving\":true")) << during;
    ASSERT_TRUE(waitIdleAt(0, 0));
    EXPECT_EQ(status(),
              R"({"state":"READY","moving":false,"pan":0,"tilt":0,"queued":0,)"
              R"("home":{"pan":0,"tilt":0},)"
              R"("limits":{"pan":[-177.500000,177.500000],"tilt":[-22.500000,22.500000]},)"
              R"("activity":"idle"})");

    ASSERT_EQ(0, call("changePan", R"({"step":45})").exitStatus);
    const std::string moving = status();
    EXPECT_TRUE(has(moving, "\"moving\":true")) << moving;
    ASSERT_TRUE(waitIdleAt(45, 0));
    // Unknown arguments, as a gateway adds them, are ignored.
    EXPECT_TRUE(
        has(trimmed(control("status", R"({"ubus_rpc_session":"x"})").out), "\"state\":\"READY\""));
}

TEST_F(ControlObject, StopDropsQueuedMovesAndEventsAreHeard) {
    // The first move (4 s) outlasts the three calls that queue more.
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kNearMinimum, {{"SSP_SIM_SPEED", kSlow}}));
    ASSERT_NO_FATAL_FAILURE(startListener({"gimbalhub.*"}));
    const size_t homing = moveCount();
    ASSERT_TRUE(waitListening());

    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(0, call("changePan", i % 2 ? R"({"step":-90})" : R"({"step":90})").exitStatus);
    ASSERT_TRUE(waitForTrace("MOVE", homing + 1));
    EXPECT_EQ(R"({"dropped":3})", trimmed(control("stop").out));
    EXPECT_TRUE(waitForLog("Stop requested. Dropped queued commands: 3"));
    ASSERT_TRUE(waitIdleAt(-80, -20));
    // Several control cycles later still nothing more reached the driver.
    usleep(300 * 1000);
    EXPECT_EQ(homing + 1, moveCount()) << describe(trace());
    EXPECT_EQ(R"({"dropped":0})", trimmed(control("stop").out));

    ASSERT_TRUE(e2e::waitUntil([&] { return has(heard(), R"("dropped":0)"); }, 10));
    // Probes may have gone out more than once; what follows the last one counts.
    const std::string probe = "{ \"gimbalhub.probe\": {} }\n";
    std::string events = heard();
    events = events.substr(events.rfind(probe) + probe.size());
    EXPECT_EQ(events,
              "{ \"gimbalhub.stopped\": {\"dropped\":3} }\n"
              "{ \"gimbalhub.position\": {\"pan\":-80,\"tilt\":-20,\"state\":\"READY\"} }\n"
              "{ \"gimbalhub.stopped\": {\"dropped\":0} }\n");
}

TEST_F(ControlObject, SetHomeSurvivesARestartAndGotoHomeReturnsThere) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    ASSERT_EQ(0, call("changePosition", R"({"pan":-40,"tilt":7})").exitStatus);
    ASSERT_TRUE(waitIdleAt(-40, 7));
    EXPECT_EQ(R"({"pan":-40,"tilt":7})", trimmed(control("setHome").out));
    EXPECT_EQ(R"({"LastCameraPosition":{"Pan":-40,"Tilt":7}})", e2e::readFile(positionPath));
    EXPECT_TRUE(waitForLog("Home position set. Pan = -40 deg, Tilt = 7 deg."));

    daemon->stop(5.0);
    ASSERT_TRUE(daemon->exited() && daemon->exitStatus() == 0);
    const size_t before = moveCount();
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", scratch + "/gimbalhub.json"}));
    ASSERT_TRUE(waitForLog("Transitioning FSM: HOMMING_Y -> READY"));  // a fresh log
    const auto all = moves();
    ASSERT_EQ(before + 2, all.size()) << describe(trace());
    EXPECT_EQ(1564, all[before].steps);     // pan from the reference to -40 degrees
    EXPECT_EQ(336, all[before + 1].steps);  // tilt to 7 degrees
    ASSERT_TRUE(waitIdleAt(-40, 7));

    ASSERT_EQ(0, call("changePan", R"({"step":30})").exitStatus);
    ASSERT_TRUE(waitIdleAt(-10, 7));
    EXPECT_EQ(R"({"pan":-40,"tilt":7})", trimmed(control("gotoHome").out));
    EXPECT_TRUE(waitForLog("Queuing PAN and TILT set command. pan = -40, tilt = 7"));
    ASSERT_TRUE(waitIdleAt(-40, 7));
}

TEST_F(ControlObject, UnwritablePersistenceIsAnErrorAndServiceGoesOn) {
    // A read-only mount stops root too; the file itself is there and readable.
    const std::string home = scratch + "/home";
    ASSERT_EQ(0, mkdir(home.c_str(), 0755));
    positionPath = home + "/position.json";
    const std::string configuration = writeConfiguration(kAtZero);
    ASSERT_EQ(0, mount(home.c_str(), home.c_str(), nullptr, MS_BIND, nullptr));
    ASSERT_EQ(0, mount(nullptr, home.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{home};

    ASSERT_NO_FATAL_FAILURE(startBroker());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration}));
    ASSERT_TRUE(waitForLog("Transitioning FSM: HOMMING_Y -> READY"));
    ASSERT_EQ(0, call("changePan", R"({"step":5})").exitStatus);
    ASSERT_TRUE(waitIdleAt(5, 0));

    const auto refused = control("setHome");
    EXPECT_EQ(9, refused.exitStatus);  // UBUS_STATUS_UNKNOWN_ERROR
    EXPECT_EQ("", refused.out);
    EXPECT_TRUE(waitForLog("Error opening persistent file: " + positionPath));
    EXPECT_TRUE(daemon->running());
    EXPECT_TRUE(has(status(), R"("home":{"pan":0,"tilt":0})"));
    EXPECT_EQ(R"({"pan":5,"tilt":0})", trimmed(call("getPosition", "{}").out));
}

TEST_F(ControlObject, WaitForReturnsOnceTheDaemonIsUpOrTimesOut) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const auto none = e2e::runCommand({e2e::ubusCliPath(), "-t", "1", "wait_for", "gimbalhub"}, 10);
    EXPECT_EQ(7, none.exitStatus);  // UBUS_STATUS_TIMEOUT
    EXPECT_EQ("Command failed: Request timed out\n", none.err);

    e2e::Process waiter;
    e2e::SpawnOptions options;
    options.argv = {e2e::ubusCliPath(), "-t", "20", "wait_for", "gimbalhub", "gimbalhub.control"};
    std::string error;
    ASSERT_TRUE(waiter.start(options, &error)) << error;
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", writeConfiguration(kAtZero)}));
    ASSERT_TRUE(waiter.wait(15));
    EXPECT_TRUE(waiter.exited() && waiter.exitStatus() == 0);
    // Both objects were there by then.
    EXPECT_EQ(0,
              e2e::runCommand({e2e::ubusCliPath(), "-t", "1", "wait_for", "gimbalhub.control"}, 10)
                  .exitStatus);
}

TEST_F(ControlObject, AStalledBrokerNeitherHoldsTheMotorsNorTheShutdown) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero, {{"SSP_SIM_SPEED", "2000"}}));
    const size_t homing = moveCount();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(0, call("changePan", R"({"step":30})").exitStatus);
    broker->signal(SIGSTOP);
    // Every move still reaches the driver while no event can be sent.
    EXPECT_TRUE(waitForTrace("MOVE", homing + 3, 15)) << describe(trace());
    EXPECT_TRUE(waitForLog("Failed to send event gimbalhub.position: Request timed out", 1, 15));
    daemon->signal(SIGTERM);
    EXPECT_TRUE(waitForExit(10));
    EXPECT_TRUE(daemon->exited() && daemon->exitStatus() == 0);
    broker->signal(SIGCONT);
}
