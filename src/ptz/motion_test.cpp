// The motions against a stand-in controller that moves only when told, on a
// clock the tests move by hand: nothing here sleeps.
#include "motion.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "motor_test_support.h"

namespace ptz {
bool operator==(const Angles &a, const Angles &b) { return a.pan == b.pan && a.tilt == b.tilt; }
std::ostream &operator<<(std::ostream &out, const Angles &a) {
    return out << "(" << a.pan << ", " << a.tilt << ")";
}
}  // namespace ptz

namespace {

using ptz::Angles;
using ptz::Motion;
using ptz::Outcome;
using ptz::Preset;

class FakeClock : public ptz::Clock {
public:
    int64_t nowMs() override { return now; }
    int64_t now = 1000000;
};

// Commands queue up as in the controller; one at a time goes "in flight"
// and arrives when the test says so.
class FakeHead : public ptz::Head {
public:
    struct Command {
        bool pan;
        int angle;
    };

    MotorStatus status() override {
        MotorStatus status{};
        status.state =
            homing ? MotorState::HOMMING_X : (flight ? MotorState::BUSY : MotorState::READY);
        status.moving = homing || flight || !queue.empty();
        status.pan = at.pan;
        status.tilt = at.tilt;
        status.queued = queue.size();
        status.homePan = home.pan;
        status.homeTilt = home.tilt;
        status.panMin = -177.5;
        status.panMax = 177.5;
        status.tiltMin = -22.5;
        status.tiltMax = 22.5;
        return status;
    }

    size_t replaceQueuedCommands(const MotorControl::MovePlanner &planner) override {
        const Angles base = target();
        std::optional<int> pan;
        std::optional<int> tilt;
        planner(base.pan, base.tilt, pan, tilt);
        const size_t dropped = queue.size();
        queue.clear();
        if (pan) queue.push_back(Command{true, *pan});
        if (tilt) queue.push_back(Command{false, *tilt});
        return dropped;
    }

    // Where the head will be once the move in flight ends.
    Angles target() const {
        if (!flight) return at;
        return flight->pan ? Angles{flight->angle, at.tilt} : Angles{at.pan, flight->angle};
    }
    // The controller takes the next command.
    void dispatch() {
        ASSERT_FALSE(flight);
        ASSERT_FALSE(queue.empty());
        flight = queue.front();
        queue.pop_front();
    }
    void arrive() {
        at = target();
        flight.reset();
    }
    // Runs whatever is in flight and queued to its end.
    void settle() {
        if (flight) arrive();
        while (!queue.empty()) {
            dispatch();
            arrive();
        }
    }
    std::vector<Command> waiting() const { return {queue.begin(), queue.end()}; }

    bool homing = false;
    Angles at{0, 0};
    Angles home{0, 0};
    std::optional<Command> flight;
    std::deque<Command> queue;
};

bool operator==(const FakeHead::Command &a, const FakeHead::Command &b) {
    return a.pan == b.pan && a.angle == b.angle;
}
std::ostream &operator<<(std::ostream &out, const FakeHead::Command &c) {
    return out << (c.pan ? "pan " : "tilt ") << c.angle;
}

Angles At(int pan, int tilt) { return Angles{pan, tilt}; }
const FakeHead::Command Pan(int angle) { return {true, angle}; }
const FakeHead::Command Tilt(int angle) { return {false, angle}; }
using Commands = std::vector<FakeHead::Command>;

class MotionTest : public ::testing::Test {
protected:
    void SetUp() override { make(); }

    void make() {
        motion = std::make_unique<Motion>(head, clock, store, settings);
        motion->setPresetListener([this](const std::string &name) { reached.push_back(name); });
    }
    // The daemon's loop: tick when asked, the head settles, tick again.
    void advance(int64_t ms) {
        clock.now += ms;
        motion->tick();
    }
    void settle() {
        head.settle();
        motion->noteSettled();
        motion->tick();
    }
    void addPreset(const std::string &name, int pan, int tilt) {
        ASSERT_EQ(ptz::PresetStore::Result::Ok, store.set({name, pan, tilt}));
    }
    std::string activity() { return motion->view().activity; }

    FakeClock clock;
    FakeHead head;
    TempDir dir;
    LogCapture log;
    ptz::PresetStore store{dir.path("presets.json")};
    ptz::MotionSettings settings;
    std::unique_ptr<Motion> motion;
    std::vector<std::string> reached;
    Angles target{0, 0};
    int64_t timeout = -1;
};

TEST_F(MotionTest, MovesReplaceWhatWaitsFromTheMoveInFlightAndStayInTheLimits) {
    head.at = {10, 5};
    head.queue = {Pan(30), Pan(50), Tilt(-5)};
    head.dispatch();  // pan 30 in flight
    ASSERT_EQ(Outcome::Ok, motion->moveBy(-5, std::nullopt, target));
    EXPECT_EQ(At(25, 5), target);
    EXPECT_EQ(Commands{Pan(25)}, head.waiting());
    EXPECT_EQ("moving", activity());

    ASSERT_EQ(Outcome::Ok, motion->moveTo(1000, -1000, target));
    EXPECT_EQ(At(177, -22), target);
    EXPECT_EQ((Commands{Pan(177), Tilt(-22)}), head.waiting());
    // Far beyond the 32-bit range, without wrapping.
    ASSERT_EQ(Outcome::Ok, motion->moveBy(INT_MIN, INT_MAX, target));
    EXPECT_EQ(At(-177, 22), target);
    // An axis that stays costs no command.
    ASSERT_EQ(Outcome::Ok, motion->moveTo(std::nullopt, 5, target));
    EXPECT_EQ(At(30, 5), target);
    EXPECT_TRUE(head.waiting().empty());

    EXPECT_EQ(Outcome::InvalidArgument, motion->moveTo(std::nullopt, std::nullopt, target));
    EXPECT_EQ(Outcome::InvalidArgument, motion->moveBy(std::nullopt, std::nullopt, target));
    settle();
    EXPECT_EQ(At(30, 5), head.at);
    EXPECT_EQ("idle", activity());
}

TEST_F(MotionTest, AJogIsAStreamOfShortMovesUntilItsDeadman) {
    settings.jogStepDegrees = 5;
    settings.jogTimeoutMs = 1000;
    make();
    ASSERT_EQ(Outcome::Ok, motion->jog(1, std::nullopt, std::nullopt, timeout));
    EXPECT_EQ(1000, timeout);
    EXPECT_EQ(Commands{Pan(5)}, head.waiting());
    EXPECT_EQ("jog", activity());
    // One short move waits beyond the one in flight, never more.
    EXPECT_EQ(Motion::kPollMs, motion->tick());
    EXPECT_EQ(Commands{Pan(5)}, head.waiting());
    head.dispatch();
    advance(50);
    EXPECT_EQ(Commands{Pan(10)}, head.waiting());
    advance(50);
    EXPECT_EQ(Commands{Pan(10)}, head.waiting());

    // The same jog again only moves the deadman; another speed replaces.
    ASSERT_EQ(Outcome::Ok, motion->jog(1, 0, 400, timeout));
    EXPECT_EQ(Commands{Pan(10)}, head.waiting());
    EXPECT_EQ(400, motion->view().jog->remainingMs);
    ASSERT_EQ(Outcome::Ok, motion->jog(-0.5, 0.1, 400, timeout));
    EXPECT_EQ((Commands{Pan(2), Tilt(1)}), head.waiting());  // from the move in flight
    EXPECT_EQ(-0.5, motion->view().jog->pan);

    advance(399);
    EXPECT_EQ("jog", activity());
    advance(1);
    EXPECT_TRUE(head.waiting().empty());
    EXPECT_EQ("moving", activity());  // the move in flight ends it
    settle();
    EXPECT_EQ(At(5, 0), head.at);
    EXPECT_EQ("idle", activity());
    EXPECT_EQ(-1, motion->tick());
}

TEST_F(MotionTest, StopEndsAJogWithinOneShortMove) {
    ASSERT_EQ(Outcome::Ok, motion->jog(0, -1, 5000, timeout));
    head.dispatch();
    advance(50);
    EXPECT_EQ(Commands{Tilt(-10)}, head.waiting());
    // What the stop handler does: the controller drops the queue, then this.
    head.queue.clear();
    motion->halt();
    advance(50);
    EXPECT_TRUE(head.waiting().empty());
    settle();
    EXPECT_EQ(At(0, -5), head.at);
    EXPECT_FALSE(motion->view().jog);
}

TEST_F(MotionTest, AJogEndsAtTheLimitsAndRefusesBadArguments) {
    head.at = {170, 20};
    ASSERT_EQ(Outcome::Ok, motion->jog(1, 1, std::nullopt, timeout));
    EXPECT_EQ((Commands{Pan(175), Tilt(22)}), head.waiting());
    settle();
    EXPECT_EQ(Commands{Pan(177)}, head.waiting());  // tilt already at its limit
    settle();
    EXPECT_EQ(At(177, 22), head.at);
    EXPECT_EQ("idle", activity());
    // At the limit from the start: nothing to do, nothing runs.
    ASSERT_EQ(Outcome::Ok, motion->jog(0.2, 0, 100000, timeout));
    EXPECT_EQ(Motion::kMaxJogTimeoutMs, timeout);
    EXPECT_EQ("idle", activity());
    // Beyond a limit (the fixed object does not clamp) a jog only comes back.
    head.at = {-200, 0};
    ASSERT_EQ(Outcome::Ok, motion->jog(-1, 0, std::nullopt, timeout));
    EXPECT_EQ("idle", activity());
    ASSERT_EQ(Outcome::Ok, motion->jog(0.01, 0, std::nullopt, timeout));
    EXPECT_EQ(Commands{Pan(-199)}, head.waiting());

    for (double bad : {1.5, -1.01, double(NAN), double(INFINITY)}) {
        EXPECT_EQ(Outcome::InvalidArgument, motion->jog(bad, 0, std::nullopt, timeout)) << bad;
        EXPECT_EQ(Outcome::InvalidArgument, motion->jog(0, bad, std::nullopt, timeout)) << bad;
    }
    EXPECT_EQ(Outcome::InvalidArgument, motion->jog(1, 0, 0, timeout));
    EXPECT_EQ(Outcome::InvalidArgument, motion->jog(1, 0, -5, timeout));
    EXPECT_EQ(Outcome::InvalidArgument, motion->jog(std::nullopt, std::nullopt, 5, timeout));
    EXPECT_EQ(Commands{Pan(-199)}, head.waiting());
    EXPECT_EQ("jog", activity());
    // Both speeds zero: the jog ends like a stop.
    ASSERT_EQ(Outcome::Ok, motion->jog(0, 0, std::nullopt, timeout));
    EXPECT_EQ(0, timeout);
    EXPECT_TRUE(head.waiting().empty());
    EXPECT_EQ("idle", activity());
}

TEST_F(MotionTest, MovesOfTheFixedObjectEndAJogOrATourAndLeaveTheQueue) {
    addPreset("a", 10, 0);
    addPreset("b", 20, 0);
    ASSERT_EQ(Outcome::Ok, motion->jog(1, 0, std::nullopt, timeout));
    head.queue.push_back(Pan(99));  // what changePan queued
    motion->noteMove();
    advance(50);
    EXPECT_EQ((Commands{Pan(5), Pan(99)}), head.waiting());
    ASSERT_EQ(Outcome::Ok, motion->tourStart({"a", "b"}, 0, 0));
    motion->noteMove();
    settle();
    EXPECT_FALSE(motion->view().tour);
    EXPECT_TRUE(reached.empty());
}

TEST_F(MotionTest, PresetsAreStoredClampedAndAnnouncedOnArrival) {
    head.homing = true;
    Preset stored{"", 0, 0};
    EXPECT_EQ(Outcome::Failed, motion->presetSet("door", std::nullopt, std::nullopt, stored));
    head.homing = false;
    head.at = {-30, 40};  // beyond the tilt limit, through the fixed object
    ASSERT_EQ(Outcome::Ok, motion->presetSet("door", std::nullopt, std::nullopt, stored));
    EXPECT_EQ(At(-30, 22), At(stored.pan, stored.tilt));
    ASSERT_EQ(Outcome::Ok, motion->presetSet("window", 500, std::nullopt, stored));
    EXPECT_EQ(At(177, 22), At(stored.pan, stored.tilt));
    EXPECT_EQ(Outcome::InvalidArgument, motion->presetSet("", 1, 1, stored));
    EXPECT_EQ(Outcome::InvalidArgument, motion->presetSet("tab\tname", 1, 1, stored));

    ASSERT_EQ(Outcome::Ok, motion->presetGoto("door", target));
    EXPECT_EQ(At(-30, 22), target);
    advance(50);
    EXPECT_TRUE(reached.empty());
    settle();
    EXPECT_EQ(std::vector<std::string>{"door"}, reached);
    EXPECT_EQ("door", motion->view().preset);
    // Moved away by hand and back: the position names the preset again.
    head.at = {0, 0};
    EXPECT_EQ("", motion->view().preset);
    head.at = {177, 22};
    EXPECT_EQ("window", motion->view().preset);

    EXPECT_EQ(Outcome::NotFound, motion->presetGoto("attic", target));
    EXPECT_EQ(Outcome::NotFound, motion->presetRemove("attic"));
    ASSERT_EQ(Outcome::Ok, motion->presetRemove("door"));
    EXPECT_EQ(1u, motion->presets().size());

    // Interrupted on the way: no announcement.
    ASSERT_EQ(Outcome::Ok, motion->presetGoto("window", target));
    ASSERT_EQ(Outcome::Ok, motion->moveBy(-1, std::nullopt, target));
    settle();
    EXPECT_EQ(std::vector<std::string>{"door"}, reached);
}

TEST_F(MotionTest, AFullTableRefusesNewNamesButTakesOverwrites) {
    Preset stored{"", 0, 0};
    for (size_t i = 0; i < ptz::PresetStore::kCapacity; ++i)
        ASSERT_EQ(Outcome::Ok, motion->presetSet("p" + std::to_string(i), 1, 1, stored));
    EXPECT_EQ(Outcome::InvalidArgument, motion->presetSet("one more", 1, 1, stored));
    EXPECT_EQ(Outcome::Ok, motion->presetSet("p7", 2, 2, stored));
    EXPECT_EQ(ptz::PresetStore::kCapacity, motion->presets().size());
}

TEST_F(MotionTest, ATourVisitsInOrderDwellsAndEndsAfterItsLoops) {
    addPreset("a", 10, 0);
    addPreset("b", -10, 5);
    EXPECT_EQ(Outcome::NotFound, motion->tourStart({"a", "attic"}, 1, 1));
    EXPECT_EQ(Outcome::InvalidArgument, motion->tourStart({"a"}, 1, 1));
    EXPECT_EQ(Outcome::InvalidArgument, motion->tourStart(std::vector<std::string>(33, "a"), 1, 1));
    EXPECT_EQ(Outcome::InvalidArgument, motion->tourStart({"a", "b"}, -1, 1));
    EXPECT_EQ(Outcome::InvalidArgument, motion->tourStart({"a", "b"}, 1, -1));
    EXPECT_TRUE(head.waiting().empty());

    ASSERT_EQ(Outcome::Ok, motion->tourStart({"a", "b"}, 2, 2));
    EXPECT_EQ(Commands{Pan(10)}, head.waiting());
    EXPECT_EQ("tour", activity());
    settle();
    EXPECT_EQ(std::vector<std::string>{"a"}, reached);
    advance(1999);
    EXPECT_TRUE(head.waiting().empty());
    advance(1);
    EXPECT_EQ((Commands{Pan(-10), Tilt(5)}), head.waiting());
    EXPECT_EQ(1u, motion->view().tour->index);
    settle();
    advance(2000);
    EXPECT_EQ(2, motion->view().tour->loop);
    // A preset removed meanwhile is passed over; here it was the last stop.
    ASSERT_EQ(Outcome::Ok, motion->presetRemove("b"));
    settle();
    advance(2000);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "a"}), reached);
    EXPECT_FALSE(motion->view().tour);
    EXPECT_EQ("idle", activity());

    // tourStop lets the move to the current stop finish, announced.
    addPreset("b", -10, 5);
    ASSERT_EQ(Outcome::Ok, motion->tourStart({"b", "a"}, 0, 0));
    motion->tourStop();
    EXPECT_EQ("moving", activity());
    settle();
    EXPECT_EQ("b", reached.back());
    EXPECT_EQ(-1, motion->tick());
}

TEST_F(MotionTest, TheHeadParksOnceLeftAloneAndNeverDuringAJog) {
    settings.parkDelaySeconds = 10;
    make();
    head.at = {40, 10};
    head.home = {-5, 3};
    EXPECT_EQ(10000, motion->tick());
    advance(9000);
    ASSERT_EQ(Outcome::Ok, motion->moveBy(1, std::nullopt, target));  // resets the timer
    advance(500);
    settle();  // the move's end counts too
    EXPECT_EQ(10000, motion->tick());
    advance(9999);
    EXPECT_TRUE(head.waiting().empty());
    advance(1);
    EXPECT_EQ((Commands{Pan(-5), Tilt(3)}), head.waiting());
    EXPECT_EQ("park", activity());
    settle();
    EXPECT_EQ("idle", activity());
    EXPECT_EQ(-1, motion->tick());  // parked: nothing more until the next request

    ASSERT_EQ(Outcome::Ok, motion->jog(1, 0, 60000, timeout));
    for (int i = 0; i < 20; ++i) {
        settle();
        advance(1000);
    }
    EXPECT_EQ("jog", activity());
    motion->halt();
    head.queue.clear();
    settle();
    advance(10000);
    EXPECT_EQ(Commands{Pan(-5)}, head.waiting());
}

TEST_F(MotionTest, ParkingAtAPresetThatIsGoneIsLoggedAndSkipped) {
    settings.parkDelaySeconds = 1;
    settings.parkTarget = "gate";
    make();
    addPreset("gate", 50, -10);
    advance(1000);
    EXPECT_EQ((Commands{Pan(50), Tilt(-10)}), head.waiting());
    settle();
    ASSERT_EQ(Outcome::Ok, motion->presetRemove("gate"));
    ASSERT_EQ(Outcome::Ok, motion->moveTo(0, 0, target));
    settle();
    advance(1000);
    EXPECT_TRUE(log.contains("Not parking: no preset named gate"));
    EXPECT_EQ(At(0, 0), head.at);
}

}  // namespace
