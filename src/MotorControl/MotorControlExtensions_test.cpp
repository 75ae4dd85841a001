// Status, stop, home and the settled notification against the simulated driver.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
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
    size_t moveCount() const {
        size_t n = 0;
        for (const sspsim::TraceEntry &entry : driver->trace())
            if (entry.request == "MOVE") ++n;
        return n;
    }

    void start(double speed, const std::string &persisted) {
        settings.speed = speed;
        driver->reset(settings);
        persistentFile = dir.path("position.json");
        if (!persisted.empty()) dir.write("position.json", persisted);
        ASSERT_TRUE(control->loadConfiguration(dir.write("config.json", configText(persistentFile))));
        control->setSettledListener([this](int pan, int tilt, MotorState state) {
            std::lock_guard<std::mutex> lock(mutex);
            settled.push_back(Settled{pan, tilt, state});
        });
        control->initialize();
    }

    template <typename Condition>
    bool eventually(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
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

    ASSERT_TRUE(control->changeTilt(-10));
    EXPECT_TRUE(control->getStatus().moving);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(control->getStatus().tilt, -5);
    // Homing end, then one per completed move, each in READY where it settled.
    EXPECT_EQ(settledSoFar(), (std::vector<Settled>{{10, 5, MotorState::READY},
                                                    {13, 5, MotorState::READY},
                                                    {13, -5, MotorState::READY}}));
}

TEST_F(MotorExtensionsTest, StopDropsWaitingCommandsButNotTheMoveInFlight) {
    // Homing near the reference is short even at about a second per move below.
    start(400, R"({"LastCameraPosition":{"Pan":-170,"Tilt":-22}})");
    ASSERT_TRUE(waitIdle());
    const size_t homing = moveCount();
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(control->changePan(i % 2 ? -35 : 35));
    ASSERT_TRUE(eventually([&] { return moveCount() == homing + 1; }));
    ASSERT_TRUE(eventually([this] { return control->getStatus().state == MotorState::BUSY; }));

    EXPECT_EQ(control->dropQueuedCommands(), 3u);
    EXPECT_TRUE(log.contains("Stop requested. Dropped queued commands: 3"));
    EXPECT_EQ(control->getStatus().queued, 0u);
    EXPECT_TRUE(control->getStatus().moving);  // the sent move still runs
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(control->getStatus().pan, -135);
    // Several idle cycles: nothing else reaches the driver.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(moveCount(), homing + 1);
    EXPECT_EQ(control->dropQueuedCommands(), 0u);
}

TEST_F(MotorExtensionsTest, SetHomePersistsOnlyAReadPositionAndKeepsTheOldHomeOnFailure) {
    settings.neverReady = true;  // homing never gets past INITIALIZING
    start(0, kAtTen);
    ASSERT_TRUE(eventually([this] { return control->getStatus().state == MotorState::INITIALIZING; }));
    int pan = 99;
    int tilt = 99;
    EXPECT_FALSE(control->setHomeToCurrentPosition(pan, tilt));
    EXPECT_TRUE(log.contains("Home position not set: homing has not finished"));
    EXPECT_EQ(readFile(persistentFile), kAtTen);
    EXPECT_EQ(pan, 99);
}

TEST_F(MotorExtensionsTest, SetHomeAndGotoHome) {
    start(0, kAtTen);
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(control->setPanAndTilt(-40, 7));
    ASSERT_TRUE(eventually([this] {
        MotorStatus s = control->getStatus();
        return !s.moving && s.pan == -40 && s.tilt == 7;
    }));

    int pan = 0;
    int tilt = 0;
    ASSERT_TRUE(control->setHomeToCurrentPosition(pan, tilt));
    EXPECT_EQ(pan, -40);
    EXPECT_EQ(tilt, 7);
    EXPECT_EQ(readFile(persistentFile), R"({"LastCameraPosition":{"Pan":-40,"Tilt":7}})");
    EXPECT_TRUE(log.contains("Home position set. Pan = -40 deg, Tilt = 7 deg."));

    // A file that cannot be written leaves the home where the file says it is.
    ASSERT_TRUE(control->changePan(20));
    ASSERT_TRUE(eventually([this] { return !control->getStatus().moving && control->getStatus().pan == -20; }));
    std::filesystem::create_directory(persistentFile + ".tmp");  // the write cannot start
    EXPECT_FALSE(control->setHomeToCurrentPosition(pan, tilt));
    EXPECT_EQ(control->getStatus().homePan, -40);

    log.clear();
    ASSERT_TRUE(control->moveToHome(pan, tilt));
    EXPECT_EQ(pan, -40);
    EXPECT_EQ(tilt, 7);
    EXPECT_TRUE(log.contains("Queuing PAN and TILT set command. pan = -40, tilt = 7"));
    ASSERT_TRUE(eventually([this] { return !control->getStatus().moving && control->getStatus().pan == -40; }));
}

TEST_F(MotorExtensionsTest, AThrowingListenerDoesNotStopTheMotors) {
    start(0, kAtTen);
    control->setSettledListener([](int, int, MotorState) { throw std::runtime_error("bus gone"); });
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(control->changePan(1));
    ASSERT_TRUE(control->changePan(1));
    ASSERT_TRUE(eventually([this] { return !control->getStatus().moving && control->getStatus().pan == 12; }));
    EXPECT_FALSE(control->hasFailed());
}

}  // namespace
