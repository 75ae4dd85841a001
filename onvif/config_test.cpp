// The configuration file: defaults, the shipped example, and refusals that
// name the key at fault.
#include <gtest/gtest.h>

#include "config.h"

using namespace onvif;

TEST(OnvifConfig, EmptyObjectGivesTheDocumentedDefaults) {
    Config c;
    std::string error;
    ASSERT_TRUE(parseConfig("{}", c, error)) << error;
    EXPECT_EQ("0.0.0.0", c.listenAddress);
    EXPECT_EQ(8000, c.listenPort);
    EXPECT_TRUE(c.users.empty());
    EXPECT_TRUE(c.discovery);
    EXPECT_EQ(5000u, c.moveTimeoutMs);
    EXPECT_EQ(2000u, c.busTimeoutMs);
}

TEST(OnvifConfig, TheShippedExampleLoads) {
    Config c;
    std::string error;
    ASSERT_TRUE(loadConfig(ONVIF_EXAMPLE_CONFIG, c, error)) << error;
    EXPECT_FALSE(c.users.empty());
    EXPECT_FALSE(c.streamUri.empty());
}

TEST(OnvifConfig, EveryKeyIsRead) {
    Config c;
    std::string error;
    ASSERT_TRUE(parseConfig(R"({"Listen":"[::1]:8080","Users":[{"Name":"a","Password":"p"}],
        "Device":{"Manufacturer":"M","Model":"X","FirmwareVersion":"1","SerialNumber":"S","HardwareId":"H",
                  "Name":"roof","EndpointUuid":"u"},
        "StreamUri":"rtsp://x/","SnapshotUri":"http://x/s.jpg","Video":{"Width":640,"Height":480,"FrameRate":10,
        "BitrateKbps":512},"Discovery":false,"Scopes":["onvif://www.onvif.org/location/roof"],
        "Ptz":{"MoveTimeoutMs":1000,"MaxMoveTimeoutMs":2000,"BusTimeoutMs":500},"TokenWindowSeconds":60,
        "MaxConnections":4})",
                            c, error))
        << error;
    EXPECT_EQ("::1", c.listenAddress);
    EXPECT_EQ(8080, c.listenPort);
    EXPECT_EQ("p", c.users.at(0).password);
    EXPECT_EQ("roof", c.name);
    EXPECT_EQ("u", c.endpointUuid);
    EXPECT_EQ(640u, c.videoWidth);
    EXPECT_FALSE(c.discovery);
    EXPECT_EQ(1u, c.scopes.size());
    EXPECT_EQ(500u, c.busTimeoutMs);
    EXPECT_EQ(60u, c.tokenWindowSeconds);
    EXPECT_EQ(4u, c.maxConnections);
}

TEST(OnvifConfig, BadValuesAreRefusedByName) {
    struct {
        const char *text;
        const char *key;
    } cases[] = {
        {R"({"Listen":"8000"})", "Listen"},
        {R"({"Listen":"1.2.3.4:70000"})", "Listen"},
        {R"({"Users":{"Name":"a"}})", "Users"},
        {R"({"Users":[{"Name":"","Password":"p"}]})", "Users"},
        {R"({"Users":[{"Name":"a:b","Password":"p"}]})", "Users"},
        {R"({"Device":{"Model":7}})", "Model"},
        {R"({"Device":{"Name":"a\nb"}})", "Device"},
        {R"({"Discovery":"yes"})", "Discovery"},
        {R"({"Scopes":["has space"]})", "Scopes"},
        {R"({"Ptz":{"BusTimeoutMs":0}})", "BusTimeoutMs"},
        {R"({"Ptz":{"MoveTimeoutMs":5000,"MaxMoveTimeoutMs":1000}})", "MoveTimeoutMs"},
        {R"({"Video":{"Width":-1}})", "Width"},
        {R"([1,2])", "object"},
    };
    for (const auto &c : cases) {
        Config config;
        std::string error;
        EXPECT_FALSE(parseConfig(c.text, config, error)) << c.text;
        EXPECT_NE(std::string::npos, error.find(c.key)) << c.text << " -> " << error;
    }
}
