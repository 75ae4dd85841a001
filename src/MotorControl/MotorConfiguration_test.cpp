#include <gtest/gtest.h>

#include <climits>
#include <nlohmann/json.hpp>
#include <string>

#include "MotorControl.h"
#include "log_capture.h"
#include "motor_test_support.h"

namespace {

using nlohmann::json;

const MotorConfiguration kDefault = MotorConfiguration::make(-177.5, 177.5, -22.5, 22.5, 4096);

void expectSteps(const StepPosition &actual, int32_t x, int32_t y) {
    EXPECT_EQ(actual.x, x);
    EXPECT_EQ(actual.y, y);
}

void expectDegrees(const MotorConfiguration &configuration, StepPosition steps, int32_t pan,
                   int32_t tilt) {
    int32_t actualPan = 0;
    int32_t actualTilt = 0;
    configuration.stepsToDegrees(steps, actualPan, actualTilt);
    EXPECT_EQ(actualPan, pan) << "x = " << steps.x;
    EXPECT_EQ(actualTilt, tilt) << "y = " << steps.y;
}

TEST(MotorConfigurationTest, DefaultsDeriveZeroPointsFromTheMinima) {
    EXPECT_DOUBLE_EQ(kDefault.stepsPerDegree, 4096 / 360.0);
    EXPECT_DOUBLE_EQ(kDefault.panZeroSteps, 2019.5555555555557);
    EXPECT_DOUBLE_EQ(kDefault.tiltZeroSteps, 256.0);

    MotorControl control;
    const MotorConfiguration &held = control.motorConfiguration();
    EXPECT_DOUBLE_EQ(held.panMin, -177.5);
    EXPECT_DOUBLE_EQ(held.tiltMax, 22.5);
    EXPECT_EQ(held.stepsPerRev, 4096u);
    EXPECT_DOUBLE_EQ(held.panZeroSteps, kDefault.panZeroSteps);
    expectSteps(held.degreesToSteps(0, 0), 2020, 256);  // the home without a persisted one
    int pan = 1, tilt = 1;
    control.getPanAndTilt(pan, tilt);  // nothing read yet: step 0 on both axes
    EXPECT_EQ(pan, -178);
    EXPECT_EQ(tilt, -23);
}

TEST(MotorConfigurationTest, DegreesToStepsWithTheDefaults) {
    expectSteps(kDefault.degreesToSteps(0, 0), 2020, 256);
    expectSteps(kDefault.degreesToSteps(90, 10), 3044, 370);
    expectSteps(kDefault.degreesToSteps(1, 0), 2031, 256);
    expectSteps(kDefault.degreesToSteps(-90, -10), 996, 142);
    expectSteps(kDefault.degreesToSteps(-180, -30), -28, -85);
    expectSteps(kDefault.degreesToSteps(200, 0), 4295, 256);
}

TEST(MotorConfigurationTest, StepsToDegreesWithTheDefaults) {
    expectDegrees(kDefault, {2020, 256}, 0, 0);
    expectDegrees(kDefault, {2025, 256}, 0, 0);
    expectDegrees(kDefault, {3044, 370}, 90, 10);
    expectDegrees(kDefault, {0, 0}, -178, -23);
    expectDegrees(kDefault, {-28, -85}, -180, -30);
}

TEST(MotorConfigurationTest, HalvesRoundAwayFromZero) {
    // Two steps per degree, zero at step 20: odd steps lie on half degrees.
    MotorConfiguration two = MotorConfiguration::make(-10, 10, -10, 10, 720);
    expectDegrees(two, {21, 23}, 1, 2);
    expectDegrees(two, {19, 17}, -1, -2);
    // Half a step per degree, zero at step 0: odd degrees lie on half steps.
    MotorConfiguration half = MotorConfiguration::make(0, 10, 0, 10, 180);
    expectSteps(half.degreesToSteps(1, -1), 1, -1);
    expectSteps(half.degreesToSteps(3, -3), 2, -2);
}

TEST(MotorConfigurationTest, ResultsBeyondInt32AreRefusedOrClamped) {
    StepPosition steps{7, 7};
    EXPECT_FALSE(kDefault.degreesToStepsChecked(INT32_MAX, 0, steps));
    EXPECT_FALSE(kDefault.degreesToStepsChecked(0, INT32_MIN, steps));
    expectSteps(steps, 7, 7);
    EXPECT_TRUE(kDefault.degreesToStepsChecked(90, 10, steps));
    expectSteps(steps, 3044, 370);
    expectSteps(kDefault.degreesToSteps(INT32_MAX, INT32_MIN), INT32_MAX, INT32_MIN);

    // One step per revolution: a full counter is far more degrees than an int32 holds.
    MotorConfiguration coarse = MotorConfiguration::make(0, 10, 0, 10, 1);
    int32_t pan = 5, tilt = 5;
    EXPECT_FALSE(coarse.stepsToDegreesChecked({INT32_MAX, 0}, pan, tilt));
    EXPECT_EQ(pan, 5);
    expectDegrees(coarse, {INT32_MAX, INT32_MIN}, INT32_MAX, INT32_MIN);
}

class LoadConfigurationTest : public ::testing::Test {
protected:
    bool load(const std::string &text) {
        return control.loadConfiguration(dir.write("config.json", text));
    }

    // The record and path must still be the constructor's.
    void expectUnchanged() {
        EXPECT_TRUE(control.persistentFilePath().empty());
        const MotorConfiguration &held = control.motorConfiguration();
        EXPECT_DOUBLE_EQ(held.panMin, -177.5);
        EXPECT_DOUBLE_EQ(held.panMax, 177.5);
        EXPECT_DOUBLE_EQ(held.tiltMin, -22.5);
        EXPECT_DOUBLE_EQ(held.tiltMax, 22.5);
        EXPECT_EQ(held.stepsPerRev, 4096u);
        EXPECT_DOUBLE_EQ(held.panZeroSteps, kDefault.panZeroSteps);
    }

    // Exactly one line was written: this error by loadConfiguration.
    void expectOnlyError(const std::string &message) {
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].message, message);
        EXPECT_EQ(lines[0].level, LOG_LEVEL_ERROR);
        EXPECT_EQ(lines[0].function, "loadConfiguration");
        EXPECT_EQ(lines[0].file, "src/MotorControl/MotorControl");
    }

    TempDir dir;
    LogCapture log;
    MotorControl control;
};

TEST_F(LoadConfigurationTest, AcceptsAFullFileAndIgnoresUnknownMembers) {
    std::string path = dir.write(
        "config.json",
        "{\"Other\":1,\"MotorControl\":{\"Extra\":[1,2],\"PersistentFile\":\"/x/pos.json\","
        "\"StepsPerRev\":3600,\"TiltMin\":-45,\"TiltMax\":45,\"PanMin\":-90,\"PanMax\":180}} "
        "trailing");
    ASSERT_TRUE(control.loadConfiguration(path));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Configuration file: " + path + " parsed successfully");
    EXPECT_EQ(lines[0].level, LOG_LEVEL_INFO);
    EXPECT_EQ(lines[0].function, "loadConfiguration");

    EXPECT_EQ(control.persistentFilePath(), "/x/pos.json");
    const MotorConfiguration &held = control.motorConfiguration();
    EXPECT_DOUBLE_EQ(held.panMax, 180.0);
    EXPECT_DOUBLE_EQ(held.panMin, -90.0);
    EXPECT_DOUBLE_EQ(held.tiltMin, -45.0);
    EXPECT_EQ(held.stepsPerRev, 3600u);
    EXPECT_DOUBLE_EQ(held.stepsPerDegree, 10.0);
    EXPECT_DOUBLE_EQ(held.panZeroSteps, 900.0);
    EXPECT_DOUBLE_EQ(held.tiltZeroSteps, 450.0);
}

TEST_F(LoadConfigurationTest, FractionalStepsPerRevIsTruncated) {
    ASSERT_TRUE(load(configurationText("/p", "-177.5", "4096.9")));
    const MotorConfiguration &held = control.motorConfiguration();
    EXPECT_EQ(held.stepsPerRev, 4096u);
    EXPECT_DOUBLE_EQ(held.stepsPerDegree, 4096 / 360.0);
    EXPECT_TRUE(load(configurationText("/p", "-177.5", "4294967295")));
    EXPECT_EQ(control.motorConfiguration().stepsPerRev, 4294967295u);
}

TEST_F(LoadConfigurationTest, EmptyPersistentFileIsAcceptedButStaysEmpty) {
    EXPECT_TRUE(load(configurationText("")));
    EXPECT_TRUE(control.persistentFilePath().empty());
}

TEST_F(LoadConfigurationTest, MissingFileIsReportedNotRaised) {
    std::string path = dir.path("absent.json");
    EXPECT_FALSE(control.loadConfiguration(path));
    expectOnlyError("Error opening configuration file: " + path);
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, MalformedTextRaisesTheParseError) {
    EXPECT_THROW(load(""), json::parse_error);
    EXPECT_THROW(load("{\"MotorControl\": {"), json::parse_error);
    EXPECT_THROW(load("// note\n" + configurationText("/p")), json::parse_error);
    EXPECT_TRUE(log.lines().empty());
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, WrongShapesRaiseTheLibraryErrors) {
    EXPECT_THROW(load("[1,2]"), json::type_error);
    EXPECT_THROW(load("{\"Motor\":{}}"), json::out_of_range);
    EXPECT_THROW(load("{\"MotorControl\":5}"), json::type_error);
    EXPECT_THROW(
        load("{\"MotorControl\":{\"PanMin\":1,\"TiltMax\":1,\"TiltMin\":1,\"StepsPerRev\":1,"
             "\"PersistentFile\":\"p\"}}"),
        json::out_of_range);
    EXPECT_THROW(load("{\"MotorControl\":{\"PanMax\":1,\"PanMin\":1,\"TiltMax\":1,\"TiltMin\":1,"
                      "\"StepsPerRev\":1}}"),
                 json::out_of_range);
    for (const char *value : {"5", "true", "[]", "{}"}) {
        std::string text =
            "{\"MotorControl\":{\"PanMax\":1,\"PanMin\":1,\"TiltMax\":1,\"TiltMin\":1,"
            "\"StepsPerRev\":1,\"PersistentFile\":" +
            std::string(value) + "}}";
        EXPECT_THROW(load(text), json::type_error) << value;
    }
    EXPECT_TRUE(log.lines().empty());  // no "Unable to find" line for any of them
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, NullMotorControlIsReported) {
    EXPECT_FALSE(load("{\"MotorControl\":null}"));
    expectOnlyError("Unable to find MotorControl key");
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, NonNumericValuesAreReportedByKey) {
    const char *keys[] = {"PanMax", "PanMin", "TiltMax", "TiltMin", "StepsPerRev"};
    for (const char *key : keys) {
        for (const char *bad : {"null", "true", "\"12\"", "[1]", "{\"a\":1}"}) {
            json config = json::parse(configurationText("/p"));
            config["MotorControl"][key] = json::parse(bad);
            log.clear();
            EXPECT_FALSE(load(config.dump())) << key << " = " << bad;
            expectOnlyError(std::string("Unable to find ") + key + " key or it is not a number");
        }
    }
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, ChecksStopAtTheFirstFailureInKeyOrder) {
    // "PanMax" was fine and read, "PanMin" is a string, "TiltMax" a boolean.
    EXPECT_FALSE(load("{\"MotorControl\":{\"PanMax\":10,\"PanMin\":\"-10\",\"TiltMax\":true}}"));
    expectOnlyError("Unable to find PanMin key or it is not a number");
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, NullPersistentFileIsReported) {
    json config = json::parse(configurationText("/p"));
    config["MotorControl"]["PersistentFile"] = nullptr;
    EXPECT_FALSE(load(config.dump()));
    expectOnlyError("Unable to find PersistentFile key");
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, RejectsStepsPerRevOutsideTheUnsignedRange) {
    for (const char *bad : {"0", "-5", "0.5", "-0.5", "4294967296", "1e20", "-1e20"}) {
        log.clear();
        EXPECT_FALSE(load(configurationText("/p", "-177.5", bad))) << bad;
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, LOG_LEVEL_ERROR);
        EXPECT_EQ(lines[0].message.rfind("Invalid StepsPerRev value: ", 0), 0u) << lines[0].message;
        EXPECT_NE(lines[0].message.find("(must be between 1 and 4294967295)"), std::string::npos);
    }
    log.clear();
    EXPECT_FALSE(load(configurationText("/p", "-177.5", "0")));
    expectOnlyError("Invalid StepsPerRev value: 0 (must be between 1 and 4294967295)");
    expectUnchanged();
}

TEST_F(LoadConfigurationTest, RejectsAMinimumAboveItsMaximum) {
    EXPECT_FALSE(load(configurationText("/p", "178")));
    expectOnlyError("Invalid pan limits: PanMin is above PanMax");
    log.clear();
    EXPECT_FALSE(
        load("{\"MotorControl\":{\"PanMax\":1,\"PanMin\":0,\"TiltMax\":-1,\"TiltMin\":0,"
             "\"StepsPerRev\":1,\"PersistentFile\":\"p\"}}"));
    expectOnlyError("Invalid tilt limits: TiltMin is above TiltMax");
    expectUnchanged();
    // Equal limits are a fixed axis, not an error.
    EXPECT_TRUE(load(configurationText("/p", "177.5")));
}

TEST_F(LoadConfigurationTest, HugeLimitsStayWithinDefinedConversions) {
    EXPECT_THROW(load(configurationText("/p", "-1e999")), json::out_of_range);
    ASSERT_TRUE(load(configurationText("/p", "-1e300")));
    int pan = 0, tilt = 0;
    control.getPanAndTilt(pan, tilt);  // far below any int32 angle: clamped, not wrapped
    EXPECT_EQ(pan, INT32_MIN);
    EXPECT_EQ(tilt, -23);
}

}  // namespace
