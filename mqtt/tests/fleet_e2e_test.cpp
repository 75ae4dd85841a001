// gimbalhub-mqtt end to end: a real broker and a fleet of simulated heads,
// each with its own bus, daemon and bridge.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <filesystem>

#include "fleet.h"

using nlohmann::json;
using namespace mqtttest;

namespace {

bool isJson(const Received &message, const std::function<bool(const json &)> &pred) {
    const json value = json::parse(message.payload, nullptr, false);
    return !value.is_discarded() && pred(value);
}

class FleetTest : public ::testing::Test {
protected:
    void startFleet(int heads, HeadSettings settings = {}) {
        std::string why;
        if (!fleetPossible(&why)) GTEST_SKIP() << why;
        std::string pattern =
            (std::filesystem::temp_directory_path() / "gimbalhub-fleet-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        scratch_ = pattern;
        fleet_ = std::make_unique<Fleet>(scratch_, heads, settings);
        ASSERT_TRUE(fleet_->start(&why)) << why;
        watcher_ = fleet_->operatorClient();
        ASSERT_TRUE(watcher_->subscribe("gimbalhub/#"));
        // Online comes with the first state; homing ends a moment later.
        for (int i = 0; i < heads; ++i) {
            ASSERT_TRUE(waitOnline(head(i))) << head(i).id();
            ASSERT_TRUE(watcher_->waitFor(head(i).prefix() + "/state", [](const Received &m) {
                return isJson(
                    m, [](const json &s) { return s["state"] == "READY" && s["moving"] == false; });
            })) << head(i).id();
        }
    }
    void TearDown() override {
        if (HasFailure() && watcher_) {
            const auto seen = watcher_->received();
            std::cerr << "--- the last of " << seen.size() << " messages seen:\n";
            for (size_t i = seen.size() > 40 ? seen.size() - 40 : 0; i < seen.size(); ++i)
                std::cerr << seen[i].topic << (seen[i].retained ? " (retained) " : " ")
                          << seen[i].payload.substr(0, 200) << "\n";
        }
        if (HasFailure() && fleet_) {
            for (int i = 0; i < fleet_->size(); ++i)
                std::cerr << "--- " << head(i).id() << " bridge log:\n" << head(i).bridgeLog();
        }
        watcher_.reset();
        fleet_.reset();
        if (!scratch_.empty() && !HasFailure()) std::filesystem::remove_all(scratch_);
    }

    Head &head(int index) { return fleet_->head(index); }
    bool waitAvailability(Head &head, const std::string &value, double timeout = 10) {
        return watcher_->waitFor(
            head.prefix() + "/availability", [&](const Received &m) { return m.payload == value; },
            timeout);
    }
    bool waitOnline(Head &head) { return waitAvailability(head, "online"); }
    // The position the daemon reports on its own bus.
    json position(Head &head) {
        const auto result = head.ubus({"-S", "call", "gimbalhub", "getPosition"});
        return json::parse(result.out, nullptr, false);
    }
    bool waitPosition(Head &head, int pan, int tilt, double timeout = 10) {
        return e2e::waitUntil(
            [&] {
                const json now = position(head);
                return now.is_object() && now.value("pan", 9999) == pan &&
                       now.value("tilt", 9999) == tilt;
            },
            timeout, 0.05);
    }

    std::string scratch_;
    std::unique_ptr<Fleet> fleet_;
    std::unique_ptr<Client> watcher_;
};

TEST_F(FleetTest, EightHeadsAnswerCommandsGroupCommandsAndStayIsolated) {
    ASSERT_NO_FATAL_FAILURE(startFleet(8));
    const int n = fleet_->size();

    // Retained: a newcomer gets every head's availability and state at once.
    auto late = fleet_->operatorClient();
    ASSERT_TRUE(late->subscribe("gimbalhub/+/availability"));
    ASSERT_TRUE(late->subscribe("gimbalhub/+/state"));
    for (int i = 0; i < n; ++i) {
        EXPECT_TRUE(late->waitFor(
            head(i).prefix() + "/availability",
            [](const Received &m) { return m.retained && m.payload == "online"; }, 5));
        EXPECT_TRUE(late->waitFor(
            head(i).prefix() + "/state",
            [](const Received &m) {
                return m.retained && isJson(m, [](const json &s) { return s["state"] == "READY"; });
            },
            5))
            << head(i).id();
    }
    late.reset();

    std::vector<size_t> homed;  // the moves of homing
    for (int i = 0; i < n; ++i) homed.push_back(head(i).moves().size());

    // One head, answered on the response topic with the correlation data.
    auto client = fleet_->operatorClient();
    // (The ACL lets a head publish only under its prefix: the requester picks a topic there.)
    const std::string answers = head(2).prefix() + "/reply/operator-7";
    ASSERT_TRUE(client->subscribe(answers));
    ASSERT_EQ(client->publish(head(2).prefix() + "/cmd/changePosition", R"({"pan":30,"tilt":5})", 1,
                              false, answers, "req-42"),
              0);
    Received answer;
    ASSERT_TRUE(client->waitFor(
        answers, [](const Received &) { return true; }, 10, &answer));
    EXPECT_EQ(answer.correlation, "req-42");
    EXPECT_EQ(json::parse(answer.payload)["status"], 0);
    EXPECT_TRUE(waitPosition(head(2), 30, 5));
    EXPECT_GT(head(2).moves().size(), homed[2]);
    EXPECT_EQ(head(1).moves().size(), homed[1]);
    // The state follows the move.
    EXPECT_TRUE(watcher_->waitFor(head(2).prefix() + "/state", [](const Received &m) {
        return isJson(m, [](const json &s) { return s["pan"] == 30 && s["tilt"] == 5; });
    }));
    EXPECT_TRUE(watcher_->waitFor(head(2).prefix() + "/event/position", [](const Received &m) {
        return isJson(m, [](const json &e) { return e["pan"] == 30; });
    }));

    // One publish on the group topic moves every head.
    ASSERT_EQ(client->publish("gimbalhub/all/cmd/changePosition", R"({"pan":-20,"tilt":3})"), 0);
    for (int i = 0; i < n; ++i) {
        EXPECT_TRUE(waitPosition(head(i), -20, 3)) << head(i).id();
        EXPECT_TRUE(watcher_->waitFor(head(i).prefix() + "/reply/changePosition",
                                      [](const Received &) { return true; }));
    }

    // A retained command is answered once and never executed.
    const size_t movesBefore = head(1).moves().size();
    ASSERT_EQ(client->publish(head(1).prefix() + "/cmd/changePan", R"({"step":40})", 1, true), 0);
    Received refusal;
    ASSERT_TRUE(watcher_->waitFor(
        head(1).prefix() + "/reply/changePan", [](const Received &) { return true; }, 10,
        &refusal));
    EXPECT_EQ(json::parse(refusal.payload)["status"], 6);
    // A live command behind it runs: once it has, the retained one surely did not.
    ASSERT_EQ(client->publish(head(1).prefix() + "/cmd/changeTilt", R"({"step":-1})"), 0);
    EXPECT_TRUE(waitPosition(head(1), -20, 2));
    EXPECT_EQ(head(1).moves().size(), movesBefore + 1);
    EXPECT_EQ(watcher_->received(head(1).prefix() + "/reply/changePan").size(), 1u);
    client->publish(head(1).prefix() + "/cmd/changePan", "", 1, true);  // remove it again

    // A head's credentials reach neither another head nor the group.
    Client intruder(fleet_->broker().port(), head(0).id(), head(0).password());
    ASSERT_TRUE(intruder.connect());
    EXPECT_EQ(intruder.publish(head(3).prefix() + "/cmd/changePan", R"({"step":10})"), 135);
    EXPECT_EQ(intruder.publish("gimbalhub/all/cmd/changePan", R"({"step":10})"), 135);
    EXPECT_EQ(intruder.publish(head(3).prefix() + "/availability", "offline", 1, true), 135);
    EXPECT_EQ(intruder.publish(head(0).prefix() + "/cmd/changePan", R"({"step":10})"),
              0);  // its own: yes
    EXPECT_TRUE(waitPosition(head(0), -10, 3));
    EXPECT_TRUE(waitPosition(head(3), -20, 3));

    // Presets: arriving at one comes out as an event and in the state.
    ASSERT_EQ(client->publish(head(0).prefix() + "/cmd/presetSet",
                              R"({"name":"door","pan":12,"tilt":-4})"),
              0);
    EXPECT_TRUE(watcher_->waitFor(head(0).prefix() + "/reply/presetSet", [](const Received &m) {
        return isJson(m, [](const json &r) { return r["status"] == 0; });
    }));
    ASSERT_EQ(client->publish(head(0).prefix() + "/cmd/presetGoto", R"({"name":"door"})"), 0);
    EXPECT_TRUE(watcher_->waitFor(head(0).prefix() + "/event/preset", [](const Received &m) {
        return isJson(m, [](const json &e) { return e["name"] == "door"; });
    }));
    EXPECT_TRUE(watcher_->waitFor(head(0).prefix() + "/state", [](const Received &m) {
        return isJson(
            m, [](const json &s) { return s.value("preset", "") == "door" && s["pan"] == 12; });
    }));

    // A stopped daemon turns its head offline; back, it is online again.
    head(7).stopDaemon();
    EXPECT_TRUE(waitAvailability(head(7), "offline"));
    std::string why;
    ASSERT_TRUE(head(7).startDaemon(&why)) << why;
    EXPECT_TRUE(waitOnline(head(7)));

    // Losing its bus takes the daemon with it; the bridge reconnects to the new one.
    watcher_->clear();
    head(6).stopBus();
    EXPECT_TRUE(waitAvailability(head(6), "offline"));
    head(6).daemon().wait(5);
    ASSERT_TRUE(head(6).startBus(&why)) << why;
    ASSERT_TRUE(head(6).startDaemon(&why)) << why;
    EXPECT_TRUE(waitOnline(head(6)));
    EXPECT_TRUE(head(6).bridge().running());

    // A bridge ended abruptly: the broker publishes its last will.
    head(5).bridge().stop(1, SIGKILL);
    EXPECT_TRUE(waitAvailability(head(5), "offline", 15));
}

TEST_F(FleetTest, BrokerRestartBringsEveryHeadBackAndAQueuedCommandRunsOnce) {
    ASSERT_NO_FATAL_FAILURE(startFleet(8));
    const int n = fleet_->size();
    const time_t settled = time(nullptr);
    // The broker's periodic save has caught every session and subscription.
    ASSERT_TRUE(e2e::waitUntil(
        [&] {
            struct stat info;
            return stat(fleet_->broker().store().c_str(), &info) == 0 && info.st_mtime > settled;
        },
        10));

    // One bridge is held back, so the command below can only wait in its session.
    Head &late = head(4);
    late.bridge().signal(SIGSTOP);
    watcher_.reset();
    fleet_->broker().stop(SIGKILL);
    std::string why;
    ASSERT_TRUE(fleet_->broker().start(&why)) << why;

    // The daemons keep serving their buses meanwhile.
    EXPECT_EQ(position(head(0))["pan"], 0);

    watcher_ = fleet_->operatorClient();
    ASSERT_TRUE(watcher_->subscribe("gimbalhub/#"));
    ASSERT_EQ(watcher_->publish(late.prefix() + "/cmd/changePan", R"({"step":45})"), 0);
    late.bridge().signal(SIGCONT);

    for (int i = 0; i < n; ++i) {
        // Live (not the restored retained copy): the bridge published it again.
        EXPECT_TRUE(watcher_->waitFor(
            head(i).prefix() + "/availability",
            [](const Received &m) { return !m.retained && m.payload == "online"; }, 15))
            << head(i).id();
        EXPECT_TRUE(watcher_->waitFor(
            head(i).prefix() + "/state", [](const Received &m) { return !m.retained; }, 15))
            << head(i).id();
    }
    ASSERT_TRUE(watcher_->waitFor(late.prefix() + "/reply/changePan", [](const Received &m) {
        return isJson(m, [](const json &r) { return r["status"] == 0; });
    }));
    EXPECT_TRUE(waitPosition(late, 45, 0));
    // A second delivery would show as pan 90 and a second reply; a moment
    // covers the session redelivery that would bring it.
    ASSERT_EQ(watcher_->publish(late.prefix() + "/cmd/getPosition", "{}"), 0);
    ASSERT_TRUE(watcher_->waitFor(late.prefix() + "/reply/getPosition",
                                  [](const Received &) { return true; }));
    EXPECT_EQ(watcher_->received(late.prefix() + "/reply/changePan").size(), 1u);
    EXPECT_EQ(position(late)["pan"], 45);
    EXPECT_TRUE(position(head(0)).value("pan", 1) == 0);
}

TEST_F(FleetTest, MalformedAndFloodedCommandsLeaveBridgeAndBusServing) {
    ASSERT_NO_FATAL_FAILURE(startFleet(2));
    Head &target = head(0);
    const size_t homed = target.moves().size();
    const size_t otherHomed = head(1).moves().size();
    auto client = fleet_->operatorClient();
    const std::string cmd = target.prefix() + "/cmd/";
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"changePan", "{\"step\":"},
        {"changePan", std::string("\x00\xff\xfe{", 4)},
        {"changePan", R"({"step":"ten"})"},
        {"changePan", R"({"step":1e40})"},
        {"changePosition", R"({"pan":[1],"tilt":{}})"},
        {"changePan", std::string(100000, '[')},
        {"changePan", "{\"step\":1," + std::string(5000, ' ') + "}"},
        {"format", "{}"},
        {"x/y", "{}"},
        {"setHome", "{}"},
    };
    for (const auto &message : bad)
        ASSERT_EQ(client->publish(cmd + message.first, message.second), 0);
    ASSERT_TRUE(watcher_->waitFor(target.prefix() + "/reply/format", [](const Received &m) {
        return isJson(m, [](const json &r) { return r["status"] == 3; });
    }));
    EXPECT_EQ(target.moves().size(), homed);

    // A flood: the bridge refuses what it cannot take, the daemon's own bus answers meanwhile.
    for (int i = 0; i < 1500; ++i) client->publish(cmd + "changePan", R"({"step":1})", 0);
    for (int i = 0; i < 5; ++i) {
        const auto call = target.ubus({"-S", "call", "gimbalhub", "getPosition"}, 2);
        EXPECT_EQ(call.exitStatus, 0) << call.err;
    }
    EXPECT_TRUE(target.bridge().running());
    EXPECT_TRUE(target.daemon().running());
    // Still serving: a command after the flood is answered.
    const std::string answers = target.prefix() + "/reply/after-flood";
    ASSERT_TRUE(client->subscribe(answers));
    ASSERT_EQ(client->publish(cmd + "getPosition", "{}", 1, false, answers, "z"), 0);
    EXPECT_TRUE(client->waitFor(
        answers, [](const Received &m) { return m.correlation == "z"; }, 20));
    EXPECT_EQ(head(1).moves().size(), otherHomed);

    // A stalled bus does not stall the MQTT side: a bad command is still
    // answered at once, a good one ends with the bus's timeout status.
    watcher_->clear();
    target.pauseBus(true);
    ASSERT_EQ(client->publish(cmd + "moveTo", "[]"), 0);
    EXPECT_TRUE(watcher_->waitFor(
        target.prefix() + "/reply/moveTo", [](const Received &) { return true; }, 2));
    ASSERT_EQ(client->publish(cmd + "getPosition", "{}"), 0);
    EXPECT_TRUE(watcher_->waitFor(target.prefix() + "/reply/getPosition", [](const Received &m) {
        return isJson(m, [](const json &r) { return r["status"] == 7; });
    }));
    target.pauseBus(false);
}

}  // namespace
