#include "motion_settings.h"

#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "motor_test_support.h"

namespace {

class MotionSettingsTest : public ::testing::Test {
protected:
    ptz::MotionSettings load(const std::string &text) {
        return ptz::loadMotionSettings(dir.write("gimbalhub.json", text),
                                       "/etc/gimbalhub/position.json");
    }
    TempDir dir;
    LogCapture log;
};

TEST_F(MotionSettingsTest, EveryKeyHasADefaultAndTheSectionIsOptional) {
    const ptz::MotionSettings none = load(R"({"MotorControl":{}})");
    EXPECT_EQ("/etc/gimbalhub/presets.json", none.presetFile);
    EXPECT_EQ(5, none.jogStepDegrees);
    EXPECT_EQ(1000, none.jogTimeoutMs);
    EXPECT_EQ(0, none.parkDelaySeconds);
    EXPECT_EQ("home", none.parkTarget);
    EXPECT_EQ("presets.json",
              ptz::loadMotionSettings(dir.path("gimbalhub.json"), "position.json").presetFile);

    const ptz::MotionSettings all =
        load(R"({"Motion":{"PresetFile":"/data/p.json","JogStepDegrees":2,
        "JogTimeoutMs":250,"ParkDelaySeconds":600,"ParkTarget":"gate 2","Other":1}})");
    EXPECT_EQ("/data/p.json", all.presetFile);
    EXPECT_EQ(2, all.jogStepDegrees);
    EXPECT_EQ(250, all.jogTimeoutMs);
    EXPECT_EQ(600, all.parkDelaySeconds);
    EXPECT_EQ("gate 2", all.parkTarget);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(MotionSettingsTest, ABadValueTakesItsDefaultWithALine) {
    const ptz::MotionSettings bad = load(R"({"Motion":{"PresetFile":"/etc/gimbalhub/position.json",
        "JogStepDegrees":0,"JogTimeoutMs":"250","ParkDelaySeconds":-1,"ParkTarget":""}})");
    EXPECT_EQ("/etc/gimbalhub/presets.json", bad.presetFile);
    EXPECT_EQ(5, bad.jogStepDegrees);
    EXPECT_EQ(1000, bad.jogTimeoutMs);
    EXPECT_EQ(0, bad.parkDelaySeconds);
    EXPECT_EQ("home", bad.parkTarget);
    EXPECT_TRUE(
        log.contains("Invalid Motion key PresetFile: \"/etc/gimbalhub/position.json\"; using "
                     "/etc/gimbalhub/presets.json"));
    EXPECT_TRUE(log.contains("Invalid Motion key JogStepDegrees: 0; using 5"));
    EXPECT_TRUE(log.contains("Invalid Motion key JogTimeoutMs: \"250\"; using 1000"));
    EXPECT_TRUE(log.contains("Invalid Motion key ParkDelaySeconds: -1; using 0"));
    EXPECT_TRUE(log.contains("Invalid Motion key ParkTarget: \"\"; using \"home\""));
    log.clear();
    EXPECT_EQ(5, load(R"({"Motion":[1]})").jogStepDegrees);
    EXPECT_TRUE(log.contains("Invalid Motion section; using the defaults"));
}

}  // namespace
