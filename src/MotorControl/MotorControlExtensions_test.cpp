// Status, home and the settled notification against the simulated driver;
// stop, setHome and gotoHome through the bus are in the end-to-end tests.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "MotorControl.h"
#include "log_capture.h"
#include "model_driver.h"
#include "motor_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Settled {
    int pan;
    int tilt;
    MotorState state;
    bool operator==(const Settled &other) const {
        return pan == other.pan && tilt == other.tilt && state == other.state;
    }
};

std::ostream &operator<<(std::ostream &out, const Settled &s) {
    return out << "{" << s.pan << ", " << s.tilt << ", " << MotorControl::stateName(s.state) << "}";
}

class MotorExtensionsTest : public ::testing::Test {
protected:
    void start(double speed, const std::string &persisted) {
        settings.speed = speed;
        driver->reset(settings);
        persistentFile = dir.path("position.json");
        if (!persisted.empty()) dir.write("position.json", persisted);
        ASSERT_TRUE(control->loadConfiguration(
            dir.write("config.json", configurationText(persistentFile))));
        control->setSettledListener([this](int pan, int tilt, MotorState state) {
            std::lock_guard<std::mutex> lock(mutex);
            settled.push_back(Settled{pan, tilt, state});
        });
        control->initialize();
    }

    template <typename Condition>
    bool eventually(Condition condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const Clock::time_point deadline = Clock::now() + timeout;
        while (!condition()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    bool waitIdle() {
        return eventually([this] { return !control->getStatus().moving; });
    }

    std::vector<Settled> settledSoFar() {
        std::lock_guard<std::mutex> lock(mutex);
        return settled;
    }

    sspsim::Settings settings;
    std::shared_ptr<sspsim::Model> driver = std::make_shared<sspsim::Model>(settings);
    TempDir dir;
    LogCapture log;
    std::unique_ptr<MotorControl> control =
        std::make_unique<MotorControl>(std::make_unique<ModelDriver>(driver));
    std::string persistentFile;
    std::mutex mutex;
    std::vector<Settled> settled;
};

const char kAtTen[] = R"({"LastCameraPosition":{"Pan":10,"Tilt":5}})";

TEST_F(MotorExtensionsTest, StatusFollowsHomingQueueAndMoves) {
    EXPECT_TRUE(control->changePan(3));  // waits for homing
    MotorStatus before = control->getStatus();
    EXPECT_EQ(before.state, MotorState::RESET);
    EXPECT_EQ(before.queued, 1u);
    EXPECT_TRUE(before.moving);

    start(4000, kAtTen);
    ASSERT_TRUE(eventually([this] { return control->getStatus().state == MotorState::HOMMING_X; }));
    EXPECT_TRUE(control->getStatus().moving);
    ASSERT_TRUE(waitIdle());

    MotorStatus idle = control->getStatus();
    EXPECT_EQ(idle.state, MotorState::READY);
    EXPECT_EQ(idle.queued, 0u);
    EXPECT_EQ(idle.pan, 13);
    EXPECT_EQ(idle.tilt, 5);
    EXPECT_EQ(idle.homePan, 10);
    EXPECT_EQ(idle.homeTilt, 5);
    EXPECT_EQ(idle.panMin, -177.5);
    EXPECT_EQ(idle.panMax, 177.5);
    EXPECT_EQ(idle.tiltMin, -22.5);
    EXPECT_EQ(idle.tiltMax, 22.5);

    ASSERT_TRUE(control->changeTilt(-10));
    EXPECT_TRUE(control->getStatus().moving);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(control->getStatus().tilt, -5);
    // Homing end, then one per completed move, each in READY where it settled.
    EXPECT_EQ(settledSoFar(), (std::vector<Settled>{{10, 5, MotorState::READY},
                                                    {13, 5, MotorState::READY},
                                                    {13, -5, MotorState::READY}}));
}

TEST_F(MotorExtensionsTest, SetHomeIsRefusedUntilHomingHasReadThePosition) {
    settings.neverReady = true;  // homing never gets past INITIALIZING
    start(0, kAtTen);
    ASSERT_TRUE(
        eventually([this] { return control->getStatus().state == MotorState::INITIALIZING; }));
    int pan = 99;
    int tilt = 99;
    EXPECT_FALSE(control->setHomeToCurrentPosition(pan, tilt));
    EXPECT_TRUE(log.contains("Home position not set: homing has not finished"));
    EXPECT_EQ(readFile(persistentFile), kAtTen);
    EXPECT_EQ(pan, 99);
}

TEST_F(MotorExtensionsTest, TargetAfterMoveIsHomingThenTheMoveInFlight) {
    settings.neverReady = true;
    start(0, kAtTen);
    int pan = 0;
    int tilt = 0;
    control->getTargetAfterMove(pan, tilt);
    EXPECT_EQ(std::make_pair(10, 5), std::make_pair(pan, tilt));
}

TEST_F(MotorExtensionsTest, ReplaceKeepsTheMoveInFlightAndDropsWhatWaits) {
    // Homing near the reference corner is short; 30 degrees then take 0.9 s.
    start(400, R"({"LastCameraPosition":{"Pan":-170,"Tilt":-20}})");
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(control->changePan(30));
    ASSERT_TRUE(eventually([this] { return control->getStatus().state == MotorState::BUSY; }));
    ASSERT_TRUE(control->changePan(5));
    ASSERT_TRUE(control->changeTilt(5));
    int pan = 0;
    int tilt = 0;
    // What waits does not count; the head is still near where it started.
    control->getTargetAfterMove(pan, tilt);
    EXPECT_EQ(std::make_pair(-140, -20), std::make_pair(pan, tilt));
    EXPECT_LT(control->getStatus().pan, -140);

    int base[2] = {};
    EXPECT_EQ(2u, control->replaceQueuedCommands(
                      [&](int basePan, int baseTilt, std::optional<int> &p, std::optional<int> &) {
                          base[0] = basePan;
                          base[1] = baseTilt;
                          p = -150;
                      }));
    EXPECT_EQ(-140, base[0]);
    EXPECT_EQ(-20, base[1]);
    EXPECT_TRUE(log.contains("Queuing move in place of 2 queued commands. pan = -150"));
    EXPECT_EQ(1u, control->getStatus().queued);  // one axis, one command
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(control->getStatus().pan, -150);
    EXPECT_EQ(control->getStatus().tilt, -20);
    control->getTargetAfterMove(pan, tilt);
    EXPECT_EQ(std::make_pair(-150, -20), std::make_pair(pan, tilt));
    // Pan to -140, then back to -150; the dropped commands never ran.
    EXPECT_EQ(settledSoFar(), (std::vector<Settled>{{-170, -20, MotorState::READY},
                                                    {-140, -20, MotorState::READY},
                                                    {-150, -20, MotorState::READY}}));
    EXPECT_EQ(0u, control->replaceQueuedCommands(
                      [](int, int, std::optional<int> &, std::optional<int> &) {}));
    EXPECT_FALSE(log.contains("Dropped queued commands: 0"));
}

TEST_F(MotorExtensionsTest, AThrowingListenerDoesNotStopTheMotors) {
    start(0, kAtTen);
    control->setSettledListener([](int, int, MotorState) { throw std::runtime_error("bus gone"); });
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(control->changePan(1));
    ASSERT_TRUE(control->changePan(1));
    ASSERT_TRUE(eventually(
        [this] { return !control->getStatus().moving && control->getStatus().pan == 12; }));
    EXPECT_FALSE(control->hasFailed());
}

}  // namespace
