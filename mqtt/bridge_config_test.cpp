#include "bridge_config.h"

#include <gtest/gtest.h>

#include <algorithm>

using mqttbridge::BridgeConfig;
using mqttbridge::parseConfig;

namespace {

BridgeConfig parsed(const std::string &text, const std::string &host = "cam-01") {
    BridgeConfig config;
    std::string error;
    EXPECT_TRUE(parseConfig(text, host, &config, &error)) << text << ": " << error;
    return config;
}

std::string refusal(const std::string &text) {
    BridgeConfig config;
    std::string error;
    EXPECT_FALSE(parseConfig(text, "cam", &config, &error)) << text;
    return error;
}

}  // namespace

TEST(BridgeConfig, DefaultsFollowTheDeviceId) {
    const BridgeConfig config = parsed("{}", "Cam 7.local");
    EXPECT_EQ(config.deviceId, "Cam_7_local");  // a host name is no safe topic level
    EXPECT_EQ(config.topicPrefix, "gimbalhub/Cam_7_local");
    EXPECT_EQ(config.clientId, "gimbalhub-Cam_7_local");
    EXPECT_EQ(config.groupPrefix, "gimbalhub/all");
    EXPECT_EQ(config.host, "localhost");
    EXPECT_EQ(config.port, 1883);
    EXPECT_FALSE(config.tls.enabled);
    EXPECT_FALSE(config.discovery);
    // Everything but setHome, which writes the persistence file.
    EXPECT_EQ(std::count(config.methods.begin(), config.methods.end(), "setHome"), 0);
    EXPECT_EQ(std::count(config.methods.begin(), config.methods.end(), "moveTo"), 1);
    EXPECT_EQ(std::count(config.methods.begin(), config.methods.end(), "changePan"), 1);

    const BridgeConfig given =
        parsed(R"({"DeviceId":"head3","TopicPrefix":"site/a/head3","Tls":{"CaFile":"/ca.pem"},
        "Username":"u","Password":"p","Methods":["stop","setHome"],"Discovery":true,"KeepAlive":10})");
    EXPECT_EQ(given.topicPrefix, "site/a/head3");
    EXPECT_EQ(given.clientId, "gimbalhub-head3");
    EXPECT_TRUE(given.tls.enabled);
    EXPECT_EQ(given.port, 8883);  // the TLS port unless one is given
    EXPECT_EQ(given.methods, (std::vector<std::string>{"stop", "setHome"}));
    EXPECT_EQ(parsed(R"({"Tls":true,"Port":1884})").port, 1884);
    EXPECT_EQ(parsed("{}", "").deviceId, "gimbalhub");
}

TEST(BridgeConfig, RefusesWhatWouldMisroute) {
    EXPECT_EQ(refusal("[1]"), "not a JSON object");
    EXPECT_EQ(refusal("{\"host\":\"x\"}"), "unknown key host");  // a typo keeps no default silently
    EXPECT_NE(refusal(R"({"Port":"1883"})").find("Port"), std::string::npos);
    EXPECT_NE(refusal(R"({"Port":70000})").find("Port"), std::string::npos);
    EXPECT_NE(refusal(R"({"KeepAlive":2})").find("KeepAlive"), std::string::npos);
    EXPECT_NE(refusal(R"({"SessionExpiry":-1})").find("SessionExpiry"), std::string::npos);
    EXPECT_NE(refusal(R"({"Discovery":"yes"})").find("Discovery"), std::string::npos);
    EXPECT_NE(refusal(R"({"DeviceId":"a/b"})").find("DeviceId"), std::string::npos);
    EXPECT_NE(refusal(R"({"DeviceId":"a+"})").find("DeviceId"), std::string::npos);
    EXPECT_NE(refusal(R"({"TopicPrefix":"site/#"})").find("TopicPrefix"), std::string::npos);
    EXPECT_NE(refusal(R"({"TopicPrefix":"site//x"})").find("TopicPrefix"), std::string::npos);
    EXPECT_NE(refusal(R"({"GroupPrefix":"x/"})").find("GroupPrefix"), std::string::npos);
    EXPECT_NE(refusal(R"({"GroupPrefix":"gimbalhub/cam"})").find("GroupPrefix"), std::string::npos);
    EXPECT_NE(refusal(R"({"Tls":{"CertFile":"c.pem"}})").find("KeyFile"), std::string::npos);
    EXPECT_NE(refusal(R"({"Tls":{"Ca":"c.pem"}})").find("Tls.Ca"), std::string::npos);
    EXPECT_NE(refusal(R"({"Methods":["stop","reboot"]})").find("reboot"), std::string::npos);
    EXPECT_NE(refusal(R"({"Password":"p"})").find("Username"), std::string::npos);
    EXPECT_NE(refusal(R"({"ReconnectMin":10,"ReconnectMax":5})").find("ReconnectMax"),
              std::string::npos);
}
