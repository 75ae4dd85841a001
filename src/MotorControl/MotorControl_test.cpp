// The controller against the simulated driver: start-up, homing, command
// execution, the queue and every failure on and off the control thread.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MotorControl.h"
#include "log_capture.h"
#include "model_driver.h"
#include "motor_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Move {
    int direction;
    int32_t steps;
    bool operator==(const Move &other) const {
        return direction == other.direction && steps == other.steps;
    }
};

std::ostream &operator<<(std::ostream &out, const Move &move) {
    return out << "{dir " << move.direction << ", " << move.steps << " steps}";
}

const MotorConfiguration kDefault = MotorConfiguration::make(-177.5, 177.5, -22.5, 22.5, 4096);

class MotorControlTest : public ::testing::Test {
protected:
    void resetDriver(const sspsim::Settings &newSettings) {
        settings = newSettings;
        driver->reset(settings);
    }

    std::vector<Move> moves() const {
        std::vector<Move> out;
        for (const sspsim::TraceEntry &entry : driver->trace())
            if (entry.request == "MOVE") out.push_back(Move{entry.direction, entry.steps});
        return out;
    }

    std::vector<std::string> requests() const {
        std::vector<std::string> out;
        for (const sspsim::TraceEntry &entry : driver->trace()) out.push_back(entry.request);
        return out;
    }

    // Configures the controller; a position is persisted unless no angles are given.
    void configure(bool persisted = false, int pan = 0, int tilt = 0) {
        persistentFile = dir.path("position.json");
        if (persisted)
            dir.write("position.json", "{\"LastCameraPosition\":{\"Pan\":" + std::to_string(pan) +
                                           ",\"Tilt\":" + std::to_string(tilt) + "}}");
        ASSERT_TRUE(control->loadConfiguration(
            dir.write("config.json", configurationText(persistentFile))));
    }

    size_t count(const std::string &message) const {
        size_t n = 0;
        for (const std::string &line : log.messages())
            if (line == message) ++n;
        return n;
    }

    // Polls until the condition holds; false after the timeout.
    template <typename Condition>
    bool eventually(Condition condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    // Polls: LogCapture's own wait holds its lock while testing a line.
    bool waitForCount(const std::string &message, size_t wanted,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return eventually([&] { return count(message) >= wanted; }, timeout);
    }

    bool waitForReady() { return log.waitForMessage("Transitioning FSM: HOMMING_Y -> READY"); }

    // Waits until the n-th command since start-up has finished.
    bool waitForCommands(size_t n) { return waitForCount("Transitioning FSM: BUSY -> READY", n); }

    // Messages after the first occurrence of the given one (exclusive).
    std::vector<std::string> messagesAfter(const std::string &message) const {
        std::vector<std::string> all = log.messages();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i] == message) return std::vector<std::string>(all.begin() + i + 1, all.end());
        return {};
    }

    size_t indexOf(const std::string &message) const {
        std::vector<std::string> all = log.messages();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i] == message) return i;
        return SIZE_MAX;
    }

    std::string initializeError() {
        try {
            control->initialize();
        } catch (const MotorControl::MotorControlException &error) {
            return error.what();
        }
        return "(no exception)";
    }

    void destroy() { control.reset(); }

    sspsim::Settings settings;
    std::shared_ptr<sspsim::Model> driver = std::make_shared<sspsim::Model>(settings);
    TempDir dir;
    LogCapture log;
    std::unique_ptr<MotorControl> control =
        std::make_unique<MotorControl>(std::make_unique<ModelDriver>(driver));
    std::string persistentFile;
};

TEST_F(MotorControlTest, StartUpHomesPanThenTiltToThePersistedPosition) {
    configure(true, 90, 10);
    log.clear();
    control->initialize();
    ASSERT_TRUE(waitForReady());

    const std::vector<std::string> expected = {
        "Initialize",
        "Last Camera position loaded. Pan = 90 deg, Tilt = 10 deg.",
        "Starting control thread",
        "Thread started",
        "Initializing position",
        "Transitioning FSM: RESET -> INITIALIZING",
        "Motor Ready to accept new commands",
        "Retreving motor position",
        "Retrieved position x: 0 y: 0, pan: -178 tilt: -23",
        "Transitioning FSM: INITIALIZING -> HOMMING_X",
        "Motor Ready to accept new commands",
        "Retreving motor position",
        "Retrieved position x: 3044 y: 0, pan: 90 tilt: -23",
        "Transitioning FSM: HOMMING_X -> HOMMING_Y",
        "Motor Ready to accept new commands",
        "Retreving motor position",
        "Retrieved position x: 3044 y: 370, pan: 90 tilt: 10",
        "Transitioning FSM: HOMMING_Y -> READY",
    };
    EXPECT_EQ(log.messages(), expected);
    const std::vector<std::string> functions = {"initialize",           "__loadPersistLocation",
                                                "__startControl",       "__motorControlThread",
                                                "__motorInitPosition",  "__transitionState",
                                                "__waitForDeviceReady", "__motorGetPosition",
                                                "__motorGetPosition",   "__transitionState"};
    auto lines = log.lines();
    ASSERT_GE(lines.size(), 10u);
    for (size_t i = 0; i < functions.size(); ++i) {
        EXPECT_EQ(lines[i].function, functions[i]) << lines[i].message;
        EXPECT_EQ(lines[i].level, LOG_LEVEL_INFO);
        EXPECT_EQ(lines[i].file, "src/MotorControl/MotorControl");
    }

    EXPECT_EQ(requests(),
              (std::vector<std::string>{"OPEN", "INIT", "GET", "MOVE", "GET", "MOVE", "GET"}));
    EXPECT_EQ(moves(), (std::vector<Move>{{3, 3044}, {2, 370}}));
    int pan = 0, tilt = 0;
    control->getPanAndTilt(pan, tilt);
    EXPECT_EQ(pan, 90);
    EXPECT_EQ(tilt, 10);

    log.clear();
    destroy();
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"destroying", "Stopping control thread",
                                        "Motor Control Thread exited", "destroyed"}));
}

TEST_F(MotorControlTest, MissingPersistenceFileHomesToZeroDegrees) {
    configure();
    log.clear();
    control->initialize();
    ASSERT_TRUE(waitForReady());
    std::vector<std::string> all = log.messages();
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[1], "Error opening persistent file: " + persistentFile);
    EXPECT_EQ(all[2], "Persistent file not foud. Using default home position");
    EXPECT_EQ(log.lines()[2].level, LOG_LEVEL_INFO);
    EXPECT_EQ(moves(), (std::vector<Move>{{3, 2020}, {2, 256}}));
}

TEST_F(MotorControlTest, MovesPickDirectionAndDistanceFromTheLastReport) {
    configure();
    control->initialize();
    ASSERT_TRUE(waitForReady());  // at (2020, 256): 0 deg / 0 deg

    control->changePan(0);  // equal target: still sent, as a decrease of 0 steps
    control->changeTilt(0);
    control->changePan(10);    // 10 deg = step 2133
    control->changePan(-20);   // -10 deg = step 1906
    control->changeTilt(5);    // 5 deg = step 313
    control->changeTilt(-10);  // -5 deg = step 199
    ASSERT_TRUE(waitForCommands(6));
    EXPECT_EQ(moves(), (std::vector<Move>{{3, 2020},
                                          {2, 256},  // homing
                                          {4, 0},
                                          {1, 0},
                                          {3, 113},
                                          {4, 227},
                                          {2, 57},
                                          {1, 114}}));
    EXPECT_EQ(count("Dequeuing command. cmd = 1"), 3u);
    EXPECT_EQ(count("Dequeuing command. cmd = 2"), 3u);
    int pan = 0, tilt = 0;
    control->getPanAndTilt(pan, tilt);
    EXPECT_EQ(pan, -10);
    EXPECT_EQ(tilt, -5);
    ASSERT_TRUE(control->saveCurrentPosition());  // the last reported position, not the home
    EXPECT_EQ(readFile(persistentFile), "{\"LastCameraPosition\":{\"Pan\":-10,\"Tilt\":-5}}");
}

TEST_F(MotorControlTest, NegativeStepPositionsUseSignedDistances) {
    configure(true, -180, -30);  // steps (-28, -85), below the reference
    control->initialize();
    ASSERT_TRUE(waitForReady());
    EXPECT_TRUE(log.contains("Retrieved position x: -28 y: -85, pan: -180 tilt: -30"));
    control->changePan(1);   // -179 deg = step -17
    control->changeTilt(1);  // -29 deg = step -74
    control->changePan(-2);  // -181 deg = step -40
    ASSERT_TRUE(waitForCommands(3));
    EXPECT_EQ(moves(), (std::vector<Move>{{4, 28}, {1, 85}, {3, 11}, {2, 11}, {4, 23}}));
    EXPECT_EQ(driver->position().x, -40);
    EXPECT_EQ(driver->position().y, -74);
}

TEST_F(MotorControlTest, RelativeMovesStartFromTheNearestWholeDegree) {
    configure();
    control->initialize();
    ASSERT_TRUE(waitForReady());

    // Put the driver at x 2025 (0.44 deg) and let a zero tilt move read it back.
    sspsim::Settings offGrid = settings;
    offGrid.startX = 2025;
    offGrid.startY = 256;
    driver->reset(offGrid);
    control->changeTilt(0);
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_TRUE(log.contains("Retrieved position x: 2025 y: 256, pan: 0 tilt: 0"));
    control->changePan(1);  // 1 deg = step 2031
    ASSERT_TRUE(waitForCommands(2));
    EXPECT_EQ(moves(), (std::vector<Move>{{1, 0}, {3, 6}}));

    driver->reset(offGrid);
    control->changeTilt(0);
    control->changePan(0);  // back onto 0 deg = step 2020
    ASSERT_TRUE(waitForCommands(4));
    EXPECT_EQ(moves(), (std::vector<Move>{{1, 0}, {4, 5}}));
}

TEST_F(MotorControlTest, CommandsQueuedEarlyRunOnlyAfterHoming) {
    configure();
    EXPECT_TRUE(control->changePan(10));
    EXPECT_TRUE(log.contains("Queuing PAN change command. delta = 10"));
    EXPECT_TRUE(control->changeTilt(-5));
    EXPECT_TRUE(log.contains("Queuing TILT change command. delta = -5"));
    EXPECT_EQ(control->getStatus().queued, 2u);
    control->initialize();
    ASSERT_TRUE(waitForCommands(2));
    size_t ready = indexOf("Transitioning FSM: HOMMING_Y -> READY");
    ASSERT_NE(ready, SIZE_MAX);
    EXPECT_GT(indexOf("Dequeuing command. cmd = 1"), ready);
    EXPECT_EQ(moves(), (std::vector<Move>{{3, 2020}, {2, 256}, {3, 113}, {1, 57}}));
}

TEST_F(MotorControlTest, SetPanAndTiltMovesPanThenTilt) {
    configure();
    control->initialize();
    ASSERT_TRUE(waitForReady());
    log.clear();
    EXPECT_TRUE(control->setPanAndTilt(30, -10));
    ASSERT_TRUE(waitForCommands(2));
    std::vector<std::string> all = log.messages();
    std::vector<std::string> outline;
    for (const std::string &line : all)
        if (line.rfind("Queuing", 0) == 0 || line.rfind("Dequeuing", 0) == 0 ||
            line.rfind("Transitioning", 0) == 0)
            outline.push_back(line);
    EXPECT_EQ(outline,
              (std::vector<std::string>{
                  "Queuing PAN and TILT set command. pan = 30, tilt = -10",
                  "Dequeuing command. cmd = 3", "Transitioning FSM: READY -> BUSY",
                  "Transitioning FSM: BUSY -> READY", "Dequeuing command. cmd = 4",
                  "Transitioning FSM: READY -> BUSY", "Transitioning FSM: BUSY -> READY"}));
    EXPECT_EQ(moves(), (std::vector<Move>{{3, 2020}, {2, 256}, {3, 341}, {1, 114}}));
}

TEST_F(MotorControlTest, TargetsBeyondTheLimitsAreSentUnchanged) {
    configure();
    control->initialize();
    ASSERT_TRUE(waitForReady());
    control->setPanAndTilt(200, 0);
    ASSERT_TRUE(waitForCommands(2));
    EXPECT_EQ(driver->position().x, 4295);
}

TEST_F(MotorControlTest, NeverReadyDriverHoldsTheMachineInInitializing) {
    settings.neverReady = true;
    resetDriver(settings);
    configure();
    control->initialize();
    ASSERT_TRUE(log.waitForMessage("Transitioning FSM: RESET -> INITIALIZING"));
    control->changePan(5);
    // Several cycles pass; absence of lines can only be checked by waiting.
    std::this_thread::sleep_for(std::chrono::milliseconds(450));
    EXPECT_EQ(messagesAfter("Transitioning FSM: RESET -> INITIALIZING"),
              (std::vector<std::string>{"Queuing PAN change command. delta = 5"}));
    EXPECT_EQ(control->getStatus().state, MotorState::INITIALIZING);
    EXPECT_EQ(control->getStatus().queued, 1u);
    log.clear();
    destroy();
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"destroying", "Stopping control thread",
                                        "Motor Control Thread exited", "destroyed"}));
}

TEST_F(MotorControlTest, EmptyQueueInReadyNeitherLogsNorPolls) {
    configure();
    control->initialize();
    ASSERT_TRUE(waitForReady());
    size_t lines = log.lines().size();
    size_t traced = driver->trace().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(log.lines().size(), lines);
    EXPECT_EQ(driver->trace().size(), traced);
}

TEST_F(MotorControlTest, QueueIsBoundedAndPairsAreAllOrNothing) {
    for (size_t i = 0; i < MotorControl::kMaxQueuedCommands - 1; ++i)
        ASSERT_TRUE(control->changePan(1));
    log.clear();
    EXPECT_FALSE(control->setPanAndTilt(3, 4));  // needs two slots, one is free
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{
                  "Queuing PAN and TILT set command. pan = 3, tilt = 4",
                  "Command queue full, dropping PAN and TILT set command. pan = 3, tilt = 4"}));
    EXPECT_EQ(log.lines()[1].level, LOG_LEVEL_ERROR);
    EXPECT_EQ(control->getStatus().queued, MotorControl::kMaxQueuedCommands - 1);
    EXPECT_TRUE(control->changeTilt(2));
    log.clear();
    EXPECT_FALSE(control->changePan(5));
    EXPECT_FALSE(control->changeTilt(6));
    EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                  "Queuing PAN change command. delta = 5",
                                  "Command queue full, dropping PAN change command. delta = 5",
                                  "Queuing TILT change command. delta = 6",
                                  "Command queue full, dropping TILT change command. delta = 6"}));
    EXPECT_EQ(control->getStatus().queued, MotorControl::kMaxQueuedCommands);
}

TEST_F(MotorControlTest, CommandsWhoseTargetLeavesTheRangeAreDropped) {
    configure();
    control->initialize();
    ASSERT_TRUE(waitForReady());
    size_t moved = moves().size();
    log.clear();
    control->changePan(INT32_MAX);         // the angle sum leaves int32
    control->changeTilt(INT32_MIN);        // the angle fits, its steps do not
    control->setPanAndTilt(200000000, 7);  // pan steps overflow; tilt still runs
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_EQ(count("Dropping command: target out of range. cmd = 1"), 1u);
    EXPECT_EQ(count("Dropping command: target out of range. cmd = 2"), 1u);
    EXPECT_EQ(count("Dropping command: target out of range. cmd = 3"), 1u);
    EXPECT_EQ(count("Transitioning FSM: READY -> BUSY"), 1u);
    for (const LogCapture::Line &line : log.lines())
        if (line.message.rfind("Dropping", 0) == 0) {
            EXPECT_EQ(line.level, LOG_LEVEL_ERROR);
            EXPECT_EQ(line.function, "__processMotorCmd");
        }
    std::vector<Move> got = moves();
    ASSERT_EQ(got.size(), moved + 1);
    EXPECT_EQ(got.back(), (Move{2, 80}));
    EXPECT_EQ(control->getStatus().state, MotorState::READY);
}

TEST_F(MotorControlTest, DistancesBeyondTheStepsWordAreDropped) {
    configure();
    control->initialize();
    ASSERT_TRUE(waitForReady());
    // The driver now reports x -2e9 (about -175.8 million degrees).
    sspsim::Settings far = settings;
    far.startX = -2000000000;
    far.startY = 256;
    driver->reset(far);
    control->changeTilt(0);
    ASSERT_TRUE(waitForCommands(1));
    log.clear();
    control->changePan(350000000);  // target fits in steps, the distance does not
    control->changePan(1);          // a near target from the same place still moves
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_TRUE(log.contains("Dropping command: target out of range. cmd = 1"));
    int32_t pan = 0, tilt = 0;
    kDefault.stepsToDegrees({-2000000000, 256}, pan, tilt);
    int32_t near = kDefault.degreesToSteps(pan + 1, 0).x;
    EXPECT_EQ(moves(), (std::vector<Move>{{1, 0}, {3, near + 2000000000}}));
}

TEST_F(MotorControlTest, FailedPositionReadsKeepTheMachineGoing) {
    settings.getErrno = EIO;
    resetDriver(settings);
    configure(true, 90, 10);
    control->initialize();
    ASSERT_TRUE(waitForReady());
    EXPECT_EQ(count("Unable to retrieve motor position"), 3u);
    int pan = 0, tilt = 0;
    control->getPanAndTilt(pan, tilt);  // zeroed before the first read, never updated
    EXPECT_EQ(pan, -178);
    EXPECT_EQ(tilt, -23);
    // Without a report the homing moves are measured from (0, 0).
    EXPECT_EQ(moves(), (std::vector<Move>{{3, 3044}, {2, 370}}));
    // The read after a command fails as well; the machine still comes back.
    control->changePan(5);
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_EQ(count("Unable to retrieve motor position"), 4u);
    EXPECT_EQ(control->getStatus().state, MotorState::READY);
}

TEST_F(MotorControlTest, FailedMovesAreSilentAndTheNextCommandRuns) {
    settings.moveErrno = EIO;
    resetDriver(settings);
    configure(true, 0, 0);
    control->initialize();
    ASSERT_TRUE(waitForReady());
    control->changePan(10);
    control->changeTilt(-3);
    ASSERT_TRUE(waitForCommands(2));
    EXPECT_EQ(count("Dequeuing command. cmd = 2"), 1u);
    for (const LogCapture::Line &line : log.lines())
        EXPECT_NE(line.level, LOG_LEVEL_ERROR) << line.message;
    EXPECT_EQ(control->getStatus().state, MotorState::READY);
}

TEST_F(MotorControlTest, InitializeWithoutConfigurationRefuses) {
    EXPECT_EQ(initializeError(), "No persistent location file provided. aborting");
    EXPECT_EQ(log.messages(), (std::vector<std::string>{
                                  "Initialize", "No persistent location file provided. aborting"}));
    EXPECT_EQ(log.lines()[1].level, LOG_LEVEL_ERROR);
    EXPECT_EQ(log.lines()[1].function, "initialize");
    EXPECT_TRUE(driver->trace().empty());
    log.clear();
    destroy();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"destroying", "destroyed"}));
}

TEST_F(MotorControlTest, SecondInitializeLeavesTheRunningThreadAlone) {
    configure();
    control->initialize();
    EXPECT_EQ(initializeError(), "Tried to initialize the control module more than once");
    EXPECT_TRUE(log.contains("Tried to initialize the control module more than once"));
    ASSERT_TRUE(waitForReady());
    control->changePan(1);
    ASSERT_TRUE(waitForCommands(1));
    EXPECT_EQ(count("Thread started"), 1u);
    EXPECT_EQ(count("Starting control thread"), 1u);
}

TEST_F(MotorControlTest, AbsentDeviceStopsStartUp) {
    settings.absent = true;
    resetDriver(settings);
    configure(true, 90, 10);
    log.clear();
    const std::string text =
        "Unable to open device /dev/ssp." + std::string(std::strerror(ENOENT)) + " (2).";
    EXPECT_EQ(initializeError(), text);
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].message, text);
    EXPECT_EQ(lines[2].level, LOG_LEVEL_ERROR);
    EXPECT_EQ(lines[2].function, "initialize");
    // Loaded before the device was tried.
    EXPECT_EQ(lines[1].message, "Last Camera position loaded. Pan = 90 deg, Tilt = 10 deg.");
    log.clear();
    destroy();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"destroying", "destroyed"}));
}

TEST_F(MotorControlTest, FailedInitRequestEndsTheThreadWithoutTerminating) {
    settings.initErrno = EIO;
    resetDriver(settings);
    configure();
    std::atomic<int> notified{0};
    control->setFailureListener([&] { ++notified; });
    control->initialize();
    ASSERT_TRUE(log.waitForMessage("Motor Control Thread exited"));
    const std::string text = "Unable to send ioctl to initialize position to dev /dev/ssp." +
                             std::string(std::strerror(EIO)) + " (5).";
    EXPECT_TRUE(control->hasFailed());
    EXPECT_EQ(control->failureText(), text);
    // The listener runs right after the thread's exit line.
    EXPECT_TRUE(eventually([&] { return notified.load() == 1; }));
    EXPECT_EQ(messagesAfter("Initializing position"),
              (std::vector<std::string>{text, "Motor Control Thread exited"}));
    for (const LogCapture::Line &line : log.lines())
        if (line.message == text) {
            EXPECT_EQ(line.function, "__motorInitPosition");
        }
    EXPECT_EQ(control->getStatus().state, MotorState::RESET);
    // Still only one initialisation per controller.
    EXPECT_EQ(initializeError(), "Tried to initialize the control module more than once");
    log.clear();
    destroy();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"destroying", "destroyed"}));
}

TEST_F(MotorControlTest, FailedPollEndsTheThreadWithoutTerminating) {
    settings.pollFailAfter = 1;
    resetDriver(settings);
    configure();
    std::atomic<int> notified{0};
    control->setFailureListener([&] { ++notified; });
    EXPECT_FALSE(control->hasFailed());
    EXPECT_EQ(control->failureText(), "");
    control->initialize();
    ASSERT_TRUE(log.waitForMessage("Motor Control Thread exited"));
    const std::string text =
        "Error while polling device /dev/ssp." + std::string(std::strerror(EIO)) + " (5).";
    EXPECT_TRUE(control->hasFailed());
    EXPECT_EQ(control->failureText(), text);
    // The listener runs right after the thread's exit line.
    EXPECT_TRUE(eventually([&] { return notified.load() == 1; }));
    EXPECT_EQ(messagesAfter("Transitioning FSM: INITIALIZING -> HOMMING_X"),
              (std::vector<std::string>{text, "Motor Control Thread exited"}));
    for (const LogCapture::Line &line : log.lines())
        if (line.message == text) {
            EXPECT_EQ(line.function, "__waitForDeviceReady");
            EXPECT_EQ(line.level, LOG_LEVEL_ERROR);
        }
    EXPECT_EQ(control->getStatus().state, MotorState::HOMMING_X);
    log.clear();
    destroy();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"destroying", "destroyed"}));
}

TEST_F(MotorControlTest, DestroyingRightAfterStartStopsTheThread) {
    configure();
    control->initialize();
    destroy();
    std::vector<std::string> all = log.messages();
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(all.back(), "destroyed");
    EXPECT_EQ(count("Stopping control thread"), 1u);
    EXPECT_EQ(count("Motor Control Thread exited"), 1u);
    EXPECT_LT(indexOf("Motor Control Thread exited"), indexOf("destroyed"));
}

TEST_F(MotorControlTest, DestroyingWithoutInitializeOnlyLogs) {
    control->changePan(3);  // dropped with the controller
    log.clear();
    destroy();
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"destroying", "destroyed"}));
    for (const LogCapture::Line &line : log.lines()) EXPECT_EQ(line.function, "~MotorControl");
}

}  // namespace
