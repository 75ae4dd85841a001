#include "bridge.h"

#include <gtest/gtest.h>

#include <deque>

#include "discovery.h"

using nlohmann::json;
using namespace mqttbridge;

namespace {

struct FakeMqtt : MqttPort {
    std::vector<OutboundMessage> sent;
    void publish(const OutboundMessage &message) override { sent.push_back(message); }
    std::vector<OutboundMessage> on(const std::string &topic) const {
        std::vector<OutboundMessage> found;
        for (const auto &message : sent)
            if (message.topic == topic) found.push_back(message);
        return found;
    }
    json lastJson(const std::string &topic) const {
        const auto found = on(topic);
        return found.empty() ? json() : json::parse(found.back().payload);
    }
};

// Holds every call until the test answers it.
struct FakeBus : BusPort {
    struct Call {
        std::string object, method;
        json args;
        Reply reply;
    };
    std::deque<Call> calls;
    void call(const std::string &object, const std::string &method, const json &args, int,
              Reply reply) override {
        calls.push_back({object, method, args, std::move(reply)});
    }
    // Answers the oldest call of that method; false when there is none.
    bool answer(const std::string &method, int status, const json &data) {
        for (auto it = calls.begin(); it != calls.end(); ++it) {
            if (it->method != method) continue;
            Call call = std::move(*it);
            calls.erase(it);
            call.reply(status, data);
            return true;
        }
        return false;
    }
    size_t count(const std::string &method) const {
        size_t n = 0;
        for (const auto &call : calls) n += call.method == method;
        return n;
    }
};

const json kIdle = {
    {"state", "READY"},   {"moving", false},
    {"pan", 10},          {"tilt", -5},
    {"activity", "idle"}, {"limits", {{"pan", {-177.5, 177.5}}, {"tilt", {-22.5, 22.5}}}}};

BridgeConfig testConfig() {
    BridgeConfig config;
    std::string error;
    EXPECT_TRUE(parseConfig(R"({"DeviceId":"h1","StateInterval":100})", "", &config, &error))
        << error;
    return config;
}

class BridgeTest : public ::testing::Test {
protected:
    explicit BridgeTest(BridgeConfig config = testConfig()) : bridge(config, bus, mqtt) {}

    InboundMessage command(const std::string &method, const std::string &payload) {
        InboundMessage message;
        message.topic = "gimbalhub/h1/cmd/" + method;
        message.payload = payload;
        return message;
    }
    // Connected, the daemon answering: availability online, the state out.
    void bringUp() {
        bridge.mqttConnected();
        bridge.poll(now);
        ASSERT_TRUE(bus.answer("status", 0, kIdle));
        mqtt.sent.clear();
    }
    json replyOf(const std::string &method) {
        return mqtt.lastJson("gimbalhub/h1/reply/" + method);
    }

    FakeBus bus;
    FakeMqtt mqtt;
    Bridge bridge;
    Bridge::Clock::time_point now = Bridge::Clock::now();
};

}  // namespace

TEST_F(BridgeTest, CommandCallsTheMethodAndRepliesWithItsAnswer) {
    bringUp();
    bridge.message(command("moveTo", R"({"pan":30,"tilt":-4})"));
    ASSERT_EQ(bus.calls.size(), 1u);
    EXPECT_EQ(bus.calls[0].object, "gimbalhub.control");
    EXPECT_EQ(bus.calls[0].args, json({{"pan", 30}, {"tilt", -4}}));
    ASSERT_TRUE(bus.answer("moveTo", 0, {{"pan", 30}, {"tilt", -4}}));
    EXPECT_EQ(replyOf("moveTo"),
              json({{"status", 0}, {"data", {{"pan", 30}, {"tilt", -4}}}, {"device", "h1"}}));
    EXPECT_EQ(mqtt.on("gimbalhub/h1/reply/moveTo")[0].qos, 1);

    // The contract object's methods, from the group topic, with an empty payload.
    InboundMessage group = command("getPosition", "");
    group.topic = "gimbalhub/all/cmd/getPosition";
    bridge.message(group);
    ASSERT_EQ(bus.calls.size(), 1u);
    EXPECT_EQ(bus.calls[0].object, "gimbalhub");
    EXPECT_EQ(bus.calls[0].args, json::object());
    ASSERT_TRUE(bus.answer("getPosition", 0, {{"pan", 1}, {"tilt", 2}}));
    EXPECT_EQ(replyOf("getPosition")["status"], 0);

    // A daemon refusal travels unchanged.
    bridge.message(command("presetGoto", R"({"name":"door"})"));
    ASSERT_TRUE(bus.answer("presetGoto", 4, json::object()));
    EXPECT_EQ(replyOf("presetGoto")["status"], 4);

    // Other topics are no commands.
    InboundMessage stray = command("stop", "{}");
    for (const char *topic :
         {"gimbalhub/h2/cmd/stop", "gimbalhub/h1/cmd/stop/x", "gimbalhub/h1/reply/stop"}) {
        stray.topic = topic;
        bridge.message(stray);
    }
    EXPECT_TRUE(bus.calls.empty());
}

TEST_F(BridgeTest, ResponseTopicAndCorrelationDataAreHonouredButNeverIntoCommands) {
    bringUp();
    InboundMessage request = command("stop", "{}");
    request.responseTopic = "client/7/answers";
    request.correlation = std::string("\x01\x00\xff", 3);
    request.hasCorrelation = true;
    bridge.message(request);
    ASSERT_TRUE(bus.answer("stop", 0, {{"dropped", 0}}));
    const auto answers = mqtt.on("client/7/answers");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(answers[0].hasCorrelation);
    EXPECT_EQ(answers[0].correlation, request.correlation);

    // A reply published into a command subtree would itself be a command.
    for (const char *unsafe :
         {"gimbalhub/h1/cmd/moveTo", "gimbalhub/all/cmd/stop", "gimbalhub/h1/cmd", "a/+/b"}) {
        mqtt.sent.clear();
        request.responseTopic = unsafe;
        bridge.message(request);
        EXPECT_TRUE(bus.calls.empty()) << unsafe;
        EXPECT_TRUE(mqtt.on(unsafe).empty()) << unsafe;
        EXPECT_EQ(replyOf("stop")["status"], kInvalidArgument) << unsafe;
    }
    EXPECT_TRUE(safeResponseTopic(bridge.config(), "gimbalhub/h1/cmdreplies"));
}

TEST_F(BridgeTest, BadCommandsAreAnsweredAndMoveNothing) {
    bringUp();
    const struct {
        const char *method;
        std::string payload;
        int status;
    } cases[] = {
        {"moveTo", "{pan:1}", kInvalidArgument},  // not JSON
        {"moveTo", "[1,2]", kInvalidArgument},    // not an object
        {"moveTo", "7", kInvalidArgument},
        {"moveTo", R"({"pan":"10"})", kInvalidArgument},        // wrong type
        {"moveTo", R"({"pan":2147483648})", kInvalidArgument},  // beyond 32 bits
        {"moveTo", R"({"pan":1.5})", kInvalidArgument},
        {"moveTo", R"({"pan":1,"speed":3})", kInvalidArgument},  // unknown member
        {"changePan", R"({"step":-2147483649})", kInvalidArgument},
        {"jog", R"({"pan":1.5})", kInvalidArgument},
        {"jog", R"({"timeout":-1})", kInvalidArgument},
        {"presetGoto", R"({"name":5})", kInvalidArgument},
        {"tourStart", R"({"presets":["a",2],"dwell":1,"loops":0})", kInvalidArgument},
        {"stop", R"({"now":true})", kInvalidArgument},
        {"moveTo", "{\"pan\":" + std::string(5000, '1') + "}", kInvalidArgument},  // huge
        {"reboot", "{}", kMethodNotFound},
        {"setHome", "{}", kMethodNotFound},  // off the default allow-list
    };
    for (const auto &bad : cases) {
        mqtt.sent.clear();
        bridge.message(command(bad.method, bad.payload));
        EXPECT_TRUE(bus.calls.empty()) << bad.method << " " << bad.payload;
        const json answer = replyOf(bad.method);
        ASSERT_TRUE(answer.is_object()) << bad.method << " " << bad.payload;
        EXPECT_EQ(answer["status"], bad.status) << bad.payload;
        EXPECT_TRUE(answer["error"].is_string());
    }
    // What passes: doubles for jog speeds, counts, names.
    std::string why;
    EXPECT_TRUE(checkArguments("jog", json::parse(R"({"pan":-0.5,"tilt":1,"timeout":500})"), &why))
        << why;
    EXPECT_TRUE(checkArguments("tourStart",
                               json::parse(R"({"presets":["a","b"],"dwell":0,"loops":2})"), &why));
    EXPECT_TRUE(
        checkArguments("changePosition", json::parse(R"({"pan":-2147483648,"tilt":0})"), &why));
}

TEST_F(BridgeTest, RetainedCommandIsAnsweredOnceAndNeverExecuted) {
    bringUp();
    InboundMessage stale = command("moveTo", R"({"pan":90})");
    stale.retained = true;
    bridge.message(stale);
    bridge.message(stale);  // delivered again, e.g. a fresh subscription
    EXPECT_TRUE(bus.calls.empty());
    const auto answers = mqtt.on("gimbalhub/h1/reply/moveTo");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(json::parse(answers[0].payload)["status"], kPermissionDenied);

    InboundMessage cleared = stale;  // the owner removing it
    cleared.payload.clear();
    bridge.message(cleared);
    EXPECT_EQ(mqtt.sent.size(), 1u);

    stale.retained = false;  // the same command, live, runs
    bridge.message(stale);
    EXPECT_EQ(bus.count("moveTo"), 1u);
}

TEST_F(BridgeTest, CommandsBeyondTheInFlightBoundAreRefused) {
    bringUp();
    const int bound = bridge.config().maxInFlight;
    for (int i = 0; i < bound + 3; ++i) bridge.message(command("moveBy", R"({"pan":1})"));
    EXPECT_EQ(bus.count("moveBy"), static_cast<size_t>(bound));
    EXPECT_EQ(mqtt.on("gimbalhub/h1/reply/moveBy").size(), 3u);
    EXPECT_EQ(replyOf("moveBy")["status"], kUnknownError);
    // Answers free the places again.
    ASSERT_TRUE(bus.answer("moveBy", 0, json::object()));
    bridge.message(command("moveBy", R"({"pan":1})"));
    EXPECT_EQ(bus.count("moveBy"), static_cast<size_t>(bound));
}

TEST_F(BridgeTest, AvailabilityFollowsBrokerAndDaemon) {
    bridge.mqttConnected();
    EXPECT_EQ(mqtt.on("gimbalhub/h1/availability").back().payload,
              "offline");  // daemon not seen yet
    EXPECT_TRUE(mqtt.on("gimbalhub/h1/availability").back().retain);
    bridge.poll(now);
    ASSERT_TRUE(bus.answer("status", 0, kIdle));
    EXPECT_EQ(mqtt.on("gimbalhub/h1/availability").back().payload, "online");

    bridge.daemonPresence(false);
    EXPECT_EQ(mqtt.on("gimbalhub/h1/availability").back().payload, "offline");
    bridge.daemonPresence(true);  // confirmed by the next status
    bridge.poll(now + std::chrono::seconds(1));
    ASSERT_TRUE(bus.answer("status", 0, kIdle));
    EXPECT_EQ(mqtt.on("gimbalhub/h1/availability").back().payload, "online");

    bridge.busConnection(false);
    EXPECT_EQ(mqtt.on("gimbalhub/h1/availability").back().payload, "offline");
    bridge.busConnection(true);
    bridge.poll(now + std::chrono::seconds(2));
    ASSERT_TRUE(bus.answer("status", 4, json()));  // bus back, daemon not yet
    EXPECT_EQ(mqtt.on("gimbalhub/h1/availability").back().payload, "offline");
    // While it is away the bridge keeps asking, slowly.
    EXPECT_GE(bridge.nextPoll() - (now + std::chrono::seconds(2)), std::chrono::seconds(2));

    mqtt.sent.clear();
    bridge.shutdown();
    EXPECT_EQ(mqtt.on("gimbalhub/h1/availability").back().payload, "offline");
    bridge.mqttDisconnected();
    bridge.daemonPresence(false);
    EXPECT_EQ(mqtt.sent.size(), 1u);  // nothing published while disconnected
}

TEST_F(BridgeTest, StateIsRetainedPacedAndRepublishedAfterReconnect) {
    bringUp();
    const auto interval = std::chrono::milliseconds(100);
    // An event: published as it comes, and a state refresh, paced.
    bridge.busEvent("gimbalhub.position", {{"pan", 10}, {"tilt", -5}, {"state", "READY"}});
    EXPECT_EQ(mqtt.lastJson("gimbalhub/h1/event/position")["pan"], 10);
    EXPECT_EQ(bridge.nextPoll(), now + interval);
    bridge.poll(now + interval / 2);
    EXPECT_EQ(bus.count("status"), 0u);
    bridge.poll(now + interval);
    ASSERT_TRUE(bus.answer("status", 0, kIdle));
    EXPECT_TRUE(mqtt.on("gimbalhub/h1/state").empty());  // unchanged: not again

    // Moving: refreshed every interval until it settles.
    json moving = kIdle;
    moving["moving"] = true;
    moving["activity"] = "moving";
    bridge.busEvent("gimbalhub.stopped", {{"dropped", 0}});
    bridge.poll(now + 2 * interval);
    ASSERT_TRUE(bus.answer("status", 0, moving));
    EXPECT_EQ(bridge.nextPoll(), now + 3 * interval);
    bridge.poll(now + 3 * interval);
    json moved = moving;
    moved["pan"] = 20;
    ASSERT_TRUE(bus.answer("status", 0, moved));
    bridge.poll(now + 4 * interval);
    ASSERT_TRUE(bus.answer("status", 0, kIdle));
    const auto states = mqtt.on("gimbalhub/h1/state");
    ASSERT_EQ(states.size(), 3u);
    EXPECT_TRUE(states[0].retain);
    EXPECT_EQ(json::parse(states[1].payload)["pan"], 20);
    EXPECT_EQ(bridge.nextPoll(), Bridge::Clock::time_point::max());

    // After a reconnect the same state goes out again.
    bridge.mqttDisconnected();
    bridge.mqttConnected();
    bridge.poll(now + 5 * interval);
    ASSERT_TRUE(bus.answer("status", 0, kIdle));
    EXPECT_EQ(mqtt.on("gimbalhub/h1/state").size(), 4u);
}

class DiscoveryTest : public BridgeTest {
protected:
    static BridgeConfig withDiscovery() {
        BridgeConfig config = testConfig();
        config.discovery = true;
        return config;
    }
    DiscoveryTest() : BridgeTest(withDiscovery()) {}
};

TEST_F(DiscoveryTest, DescribesTheHeadAndFollowsItsPresets) {
    bridge.mqttConnected();
    ASSERT_TRUE(
        bus.answer("presetList", 0, {{"presets", {{{"name", "door"}, {"pan", 1}, {"tilt", 2}}}}}));
    bridge.poll(now);
    ASSERT_TRUE(bus.answer("status", 0, kIdle));
    const json pan = mqtt.lastJson("homeassistant/number/gimbalhub_h1/pan_target/config");
    EXPECT_EQ(pan["command_topic"], "gimbalhub/h1/cmd/moveTo");
    EXPECT_EQ(pan["min"], -177);
    EXPECT_EQ(pan["max"], 177);
    EXPECT_EQ(pan["availability_topic"], "gimbalhub/h1/availability");
    const json preset = mqtt.lastJson("homeassistant/select/gimbalhub_h1/preset/config");
    EXPECT_EQ(preset["options"], json({"door"}));
    for (const char *topic : {"homeassistant/sensor/gimbalhub_h1/pan/config",
                              "homeassistant/sensor/gimbalhub_h1/tilt/config",
                              "homeassistant/binary_sensor/gimbalhub_h1/moving/config",
                              "homeassistant/button/gimbalhub_h1/stop/config",
                              "homeassistant/button/gimbalhub_h1/home/config"}) {
        ASSERT_EQ(mqtt.on(topic).size(), 1u) << topic;
        EXPECT_TRUE(mqtt.on(topic)[0].retain);
        EXPECT_EQ(mqtt.lastJson(topic)["state_topic"].is_null() ||
                      mqtt.lastJson(topic)["state_topic"] == "gimbalhub/h1/state",
                  true);
    }

    // Removing the last preset removes the selector; the rest is unchanged, not resent.
    bridge.message(command("presetRemove", R"({"name":"door"})"));
    ASSERT_TRUE(bus.answer("presetRemove", 0, json::object()));
    mqtt.sent.clear();
    ASSERT_TRUE(bus.answer("presetList", 0, {{"presets", json::array()}}));
    ASSERT_EQ(mqtt.on("homeassistant/select/gimbalhub_h1/preset/config").size(), 1u);
    EXPECT_EQ(mqtt.on("homeassistant/select/gimbalhub_h1/preset/config")[0].payload, "");
}
