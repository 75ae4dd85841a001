#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "MotorControl.h"
#include "MotorControlInspector.h"
#include "MotorTestSupport.h"
#include "log_capture.h"

namespace {

using nlohmann::json;

class PersistenceTest : public ::testing::Test {
protected:
    void SetUp() override {
        file = dir.path("position.json");
        inspector.setPersistentFile(file);
    }

    bool loadText(const std::string &text) {
        dir.write("position.json", text);
        return inspector.loadPersistLocation();
    }

    template <typename Exception>
    int exceptionId(const std::string &text) {
        try {
            loadText(text);
        } catch (const Exception &error) {
            return error.id;
        }
        return -1;
    }

    void expectOnlyError(const std::string &function, const std::string &message) {
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, LOG_LEVEL_ERROR);
        EXPECT_EQ(lines[0].function, function);
        EXPECT_EQ(lines[0].message, message);
    }

    void expectLastPosition(int32_t x, int32_t y) {
        StepPosition last = inspector.lastPosition();
        EXPECT_EQ(last.x, x);
        EXPECT_EQ(last.y, y);
    }

    TempDir dir;
    LogCapture log;
    MotorControl control;
    MotorControlInspector inspector{control};
    std::string file;
};

TEST_F(PersistenceTest, LoadsWholeDegreesIntoSteps) {
    ASSERT_TRUE(loadText("{ \"Other\": 1,\n \"LastCameraPosition\" : { \"Tilt\": 10, \"Pan\": 90 } }"));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Last Camera position loaded. Pan = 90 deg, Tilt = 10 deg.");
    EXPECT_EQ(lines[0].level, LOG_LEVEL_INFO);
    EXPECT_EQ(lines[0].function, "__loadPersistLocation");
    expectLastPosition(3044, 370);
}

TEST_F(PersistenceTest, FractionalAnglesAreCutTowardZero) {
    ASSERT_TRUE(loadText("{\"LastCameraPosition\":{\"Pan\":10.9,\"Tilt\":-3.7}}"));
    EXPECT_TRUE(log.contains("Last Camera position loaded. Pan = 10 deg, Tilt = -3 deg."));
    expectLastPosition(MotorConfiguration::make(-177.5, 177.5, -22.5, 22.5, 4096).degreesToSteps(10, -3).x,
                       222);
}

TEST_F(PersistenceTest, MissingFileIsReported) {
    EXPECT_FALSE(inspector.loadPersistLocation());
    expectOnlyError("__loadPersistLocation", "Error opening persistent file: " + file);
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, NullOrNonNumericValuesAreReported) {
    EXPECT_FALSE(loadText("{\"LastCameraPosition\":null}"));
    expectOnlyError("__loadPersistLocation", "Unable to find LastCameraPosition key");
    for (const char *bad : {"null", "false", "\"5\"", "[5]", "{}"}) {
        log.clear();
        EXPECT_FALSE(loadText(std::string("{\"LastCameraPosition\":{\"Pan\":") + bad + ",\"Tilt\":1}}"));
        expectOnlyError("__loadPersistLocation", "Unable to find Pan key or it is not a number");
        log.clear();
        EXPECT_FALSE(loadText(std::string("{\"LastCameraPosition\":{\"Pan\":1,\"Tilt\":") + bad + "}}"));
        expectOnlyError("__loadPersistLocation", "Unable to find Tilt key or it is not a number");
    }
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, MalformedFilesRaiseTheLibraryErrors) {
    EXPECT_THROW(loadText(""), json::parse_error);
    EXPECT_THROW(loadText("{\"LastCameraPosition\":"), json::parse_error);
    EXPECT_EQ(exceptionId<json::type_error>("7"), 304);
    EXPECT_EQ(exceptionId<json::out_of_range>("{\"Last\":{}}"), 403);
    EXPECT_EQ(exceptionId<json::type_error>("{\"LastCameraPosition\":[1,2]}"), 304);
    EXPECT_EQ(exceptionId<json::out_of_range>("{\"LastCameraPosition\":{\"Tilt\":1}}"), 403);
    EXPECT_EQ(exceptionId<json::out_of_range>("{\"LastCameraPosition\":{\"Pan\":1}}"), 403);
    EXPECT_TRUE(log.lines().empty());
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, AnglesBeyondTheStepRangeAreRefused) {
    // Beyond int32 as angles, or fitting as angles but not as steps.
    for (const char *pan : {"3000000000", "-3000000000", "1e20", "-1e20", "2147483648.5", "200000000"}) {
        log.clear();
        EXPECT_FALSE(loadText(std::string("{\"LastCameraPosition\":{\"Pan\":") + pan + ",\"Tilt\":0}}"))
            << pan;
        expectOnlyError("__loadPersistLocation", "Persistent position out of range");
    }
    log.clear();
    EXPECT_FALSE(loadText("{\"LastCameraPosition\":{\"Pan\":0,\"Tilt\":-2147483648}}"));
    expectOnlyError("__loadPersistLocation", "Persistent position out of range");
    expectLastPosition(2020, 256);
    // The largest angle whose steps still fit is accepted.
    EXPECT_TRUE(loadText("{\"LastCameraPosition\":{\"Pan\":188000000,\"Tilt\":-188000000}}"));
}

TEST_F(PersistenceTest, SaveWritesTheExactCompactText) {
    inspector.setLastPosition({2020, 256});
    ASSERT_TRUE(inspector.savePersistLocation());
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":0,\"Tilt\":0}}");
    inspector.setLastPosition({0, 0});
    ASSERT_TRUE(inspector.savePersistLocation());
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":-178,\"Tilt\":-23}}");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PersistenceTest, SaveReplacesTheWholeFileAndLeavesNoTemporary) {
    dir.write("position.json", std::string(500, ' ') + "{\"LastCameraPosition\":{\"Pan\":1,\"Tilt\":1}}");
    inspector.setLastPosition({3044, 370});
    ASSERT_TRUE(inspector.savePersistLocation());
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":90,\"Tilt\":10}}");
    int entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path(""))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(PersistenceTest, SaveAndLoadRoundTrip) {
    inspector.setLastPosition({3044, 370});
    ASSERT_TRUE(inspector.savePersistLocation());
    inspector.setLastPosition({0, 0});
    ASSERT_TRUE(inspector.loadPersistLocation());
    expectLastPosition(3044, 370);
    // Off-grid steps come back on the nearest whole degree.
    inspector.setLastPosition({2025, 252});
    ASSERT_TRUE(inspector.savePersistLocation());
    ASSERT_TRUE(inspector.loadPersistLocation());
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, SaveCurrentPositionTakesTheLastReadPosition) {
    inspector.setCurrentPosition({3044, 142});
    ASSERT_TRUE(control.saveCurrentPosition());
    expectLastPosition(3044, 142);
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":90,\"Tilt\":-10}}");
}

TEST_F(PersistenceTest, SaveIntoAMissingDirectoryIsReported) {
    std::string missing = dir.path("no/such/position.json");
    inspector.setPersistentFile(missing);
    EXPECT_FALSE(inspector.savePersistLocation());
    expectOnlyError("__savePersistLocation", "Error opening persistent file: " + missing);
    EXPECT_FALSE(std::filesystem::exists(dir.path("no")));
}

// Lowers the file size limit for the calling process; writes past it fail
// with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }

private:
    rlimit saved_{};
    sighandler_t previous_;
};

TEST_F(PersistenceTest, FailedWriteKeepsTheOldFile) {
    const std::string old = "{\"LastCameraPosition\":{\"Pan\":5,\"Tilt\":6}}";
    dir.write("position.json", old);
    inspector.setLastPosition({3044, 370});
    bool saved = true;
    {
        FileSizeLimit limit(8);
        saved = inspector.savePersistLocation();
    }
    EXPECT_FALSE(saved);
    expectOnlyError("__savePersistLocation", "Error writing persistent file: " + file);
    EXPECT_EQ(readFile(file), old);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
}

TEST_F(PersistenceTest, SaveWithoutAPathIsReported) {
    inspector.setPersistentFile("");
    EXPECT_FALSE(control.saveCurrentPosition());
    expectOnlyError("__savePersistLocation", "Error opening persistent file: ");
}

}  // namespace
