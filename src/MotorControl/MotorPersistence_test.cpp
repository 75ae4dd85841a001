#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "MotorControl.h"
#include "MotorPersistence.h"
#include "log_capture.h"
#include "motor_test_support.h"

namespace {

using nlohmann::json;

const MotorConfiguration kDefault = MotorConfiguration::make(-177.5, 177.5, -22.5, 22.5, 4096);

class PersistenceTest : public ::testing::Test {
protected:
    bool load() { return motor_persistence::__loadPersistLocation(file, kDefault, last); }
    bool loadText(const std::string &text) {
        dir.write("position.json", text);
        return load();
    }
    bool save(StepPosition position) {
        return motor_persistence::__savePersistLocation(file, kDefault, position);
    }

    void expectOnlyError(const std::string &function, const std::string &message) {
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].level, LOG_LEVEL_ERROR);
        EXPECT_EQ(lines[0].function, function);
        EXPECT_EQ(lines[0].message, message);
    }

    // What the last successful load produced (untouched by a failed one).
    void expectLastPosition(int32_t x, int32_t y) {
        EXPECT_EQ(last.x, x);
        EXPECT_EQ(last.y, y);
    }

    TempDir dir;
    LogCapture log;
    std::string file = dir.path("position.json");
    StepPosition last{2020, 256};
};

TEST_F(PersistenceTest, LoadsWholeDegreesIntoSteps) {
    ASSERT_TRUE(
        loadText("{ \"Other\": 1,\n \"LastCameraPosition\" : { \"Tilt\": 10, \"Pan\": 90 } }"));
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
    expectLastPosition(
        MotorConfiguration::make(-177.5, 177.5, -22.5, 22.5, 4096).degreesToSteps(10, -3).x, 222);
}

TEST_F(PersistenceTest, MissingFileIsReported) {
    EXPECT_FALSE(load());
    expectOnlyError("__loadPersistLocation", "Error opening persistent file: " + file);
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, NullOrNonNumericValuesAreReported) {
    EXPECT_FALSE(loadText("{\"LastCameraPosition\":null}"));
    expectOnlyError("__loadPersistLocation", "Unable to find LastCameraPosition key");
    for (const char *bad : {"null", "false", "\"5\"", "[5]", "{}"}) {
        log.clear();
        EXPECT_FALSE(
            loadText(std::string("{\"LastCameraPosition\":{\"Pan\":") + bad + ",\"Tilt\":1}}"));
        expectOnlyError("__loadPersistLocation", "Unable to find Pan key or it is not a number");
        log.clear();
        EXPECT_FALSE(
            loadText(std::string("{\"LastCameraPosition\":{\"Pan\":1,\"Tilt\":") + bad + "}}"));
        expectOnlyError("__loadPersistLocation", "Unable to find Tilt key or it is not a number");
    }
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, MalformedFilesRaiseTheLibraryErrors) {
    EXPECT_THROW(loadText(""), json::parse_error);
    EXPECT_THROW(loadText("{\"LastCameraPosition\":"), json::parse_error);
    EXPECT_THROW(loadText("7"), json::type_error);
    EXPECT_THROW(loadText("{\"Last\":{}}"), json::out_of_range);
    EXPECT_THROW(loadText("{\"LastCameraPosition\":[1,2]}"), json::type_error);
    EXPECT_THROW(loadText("{\"LastCameraPosition\":{\"Tilt\":1}}"), json::out_of_range);
    EXPECT_THROW(loadText("{\"LastCameraPosition\":{\"Pan\":1}}"), json::out_of_range);
    EXPECT_TRUE(log.lines().empty());
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, AnglesBeyondTheStepRangeAreRefused) {
    // Beyond int32 as angles, or fitting as angles but not as steps.
    for (const char *pan :
         {"3000000000", "-3000000000", "1e20", "-1e20", "2147483648.5", "200000000"}) {
        log.clear();
        EXPECT_FALSE(
            loadText(std::string("{\"LastCameraPosition\":{\"Pan\":") + pan + ",\"Tilt\":0}}"))
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
    ASSERT_TRUE(save({2020, 256}));
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":0,\"Tilt\":0}}");
    ASSERT_TRUE(save({0, 0}));
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":-178,\"Tilt\":-23}}");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PersistenceTest, SaveReplacesTheWholeFileAndLeavesNoTemporary) {
    dir.write("position.json",
              std::string(500, ' ') + "{\"LastCameraPosition\":{\"Pan\":1,\"Tilt\":1}}");
    ASSERT_TRUE(save({3044, 370}));
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":90,\"Tilt\":10}}");
    int entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path(""))) {
        (void)entry;
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

TEST_F(PersistenceTest, SaveAndLoadRoundTrip) {
    ASSERT_TRUE(save({3044, 370}));
    last = StepPosition{0, 0};
    ASSERT_TRUE(load());
    expectLastPosition(3044, 370);
    // Off-grid steps come back on the nearest whole degree.
    ASSERT_TRUE(save({2025, 252}));
    ASSERT_TRUE(load());
    expectLastPosition(2020, 256);
}

TEST_F(PersistenceTest, SaveNeverWritesThroughALinkPlantedAtTheTemporary) {
    // Where others may write the folder, a link at the temporary's name must
    // not let the daemon overwrite the file it points at.
    const std::string victim = dir.write("root-only", "secret");
    ASSERT_EQ(0, symlink(victim.c_str(), (file + ".tmp").c_str()));
    ASSERT_TRUE(save({3044, 370}));
    EXPECT_EQ(readFile(victim), "secret");
    EXPECT_EQ(readFile(file), "{\"LastCameraPosition\":{\"Pan\":90,\"Tilt\":10}}");
    EXPECT_FALSE(std::filesystem::is_symlink(file));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(PersistenceTest, SaveIntoAMissingDirectoryIsReported) {
    std::string missing = dir.path("no/such/position.json");
    file = missing;
    EXPECT_FALSE(save({0, 0}));
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
    bool saved = true;
    {
        FileSizeLimit limit(8);
        saved = save({3044, 370});
    }
    EXPECT_FALSE(saved);
    expectOnlyError("__savePersistLocation", "Error writing persistent file: " + file);
    EXPECT_EQ(readFile(file), old);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
}

TEST_F(PersistenceTest, SaveWithoutAPathIsReported) {
    MotorControl control;  // never configured
    EXPECT_FALSE(control.saveCurrentPosition());
    expectOnlyError("__savePersistLocation", "Error opening persistent file: ");
}

}  // namespace
