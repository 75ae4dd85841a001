#include "preset_store.h"

#include <gtest/gtest.h>
#include <string>

#include "log_capture.h"
#include "motor_test_support.h"

namespace {

using ptz::Preset;
using ptz::PresetStore;
using Result = PresetStore::Result;

std::string names(const PresetStore &store) {
    std::string text;
    for (const Preset &preset : store.all())
        text += preset.name + "=" + std::to_string(preset.pan) + "," + std::to_string(preset.tilt) +
                ";";
    return text;
}

class PresetStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    LogCapture log;
    std::string file = dir.path("presets.json");
    PresetStore store{file};
};

TEST_F(PresetStoreTest, PresetsSurviveARestartInTheirOrder) {
    store.load();  // no file yet: no presets, nothing to say
    EXPECT_TRUE(store.all().empty());
    EXPECT_TRUE(log.lines().empty());
    ASSERT_EQ(Result::Ok, store.set({"door", 10, -5}));
    ASSERT_EQ(Result::Ok, store.set({"gate 2", -170, 22}));
    ASSERT_EQ(Result::Ok, store.set({"door", 11, -4}));  // in its place
    PresetStore again(file);
    again.load();
    EXPECT_EQ("door=11,-4;gate 2=-170,22;", names(again));
    ASSERT_EQ(Result::Ok, again.remove("door"));
    EXPECT_EQ(Result::NotFound, again.remove("door"));
    PresetStore third(file);
    third.load();
    EXPECT_EQ("gate 2=-170,22;", names(third));
}

TEST_F(PresetStoreTest, ADamagedFileMeansNoPresetsAndIsKeptAsideOnTheNextWrite) {
    for (const char *damage : {"", "{\"presets\":[{\"name\":\"a\",\"pan\":1,", "\xff\xfe\x00",
                               "[1,2]", "{\"presets\":{}}"}) {
        dir.write("presets.json", damage);
        log.clear();
        store.load();
        EXPECT_TRUE(store.all().empty()) << damage;
        ASSERT_EQ(1u, log.lines().size()) << damage;
        EXPECT_EQ(0u, log.lines()[0].message.find(
                          "Preset file unusable, starting with no presets: " + file));
    }
    dir.write("presets.json", std::string(PresetStore::kMaxFileBytes + 1, ' '));
    store.load();
    EXPECT_TRUE(log.contains("Preset file unusable, starting with no presets: " + file +
                             " (larger than 65536 bytes)"));
    dir.write("presets.json", "garbage");
    store.load();
    ASSERT_EQ(Result::Ok, store.set({"door", 1, 2}));
    EXPECT_EQ("garbage", readFile(file + ".damaged"));
    EXPECT_TRUE(log.contains("Kept the damaged preset file as " + file + ".damaged"));
    PresetStore again(file);
    again.load();
    EXPECT_EQ("door=1,2;", names(again));
}

TEST_F(PresetStoreTest, EntriesThatMakeNoSenseAreSkippedAndTheRestKept) {
    dir.write("presets.json", R"({"presets":[
        {"name":"ok","pan":1,"tilt":2},
        {"name":"ok","pan":3,"tilt":4},
        {"name":"","pan":1,"tilt":2},
        {"name":"x","pan":1.5,"tilt":2},
        {"name":"y","pan":3000000000,"tilt":2},
        {"name":"z","tilt":2},
        {"name":"0123456789012345678901234567890123","pan":1,"tilt":2},
        7,
        {"name":"also ok","pan":-1,"tilt":-2,"note":"kept"}]})");
    store.load();
    EXPECT_EQ("ok=1,2;also ok=-1,-2;", names(store));
    EXPECT_TRUE(
        log.contains("Preset file: skipped 7 entries that are invalid, repeated or "
                     "beyond the capacity: " +
                     file));
    EXPECT_TRUE(log.contains("Loaded 2 presets from " + file));
}

TEST_F(PresetStoreTest, TheTableHoldsItsCapacityAndAFailedWriteChangesNothing) {
    for (size_t i = 0; i < PresetStore::kCapacity; ++i)
        ASSERT_EQ(Result::Ok, store.set({"p" + std::to_string(i), 0, 0}));
    EXPECT_EQ(Result::Full, store.set({"another", 0, 0}));
    EXPECT_EQ(Result::Ok, store.set({"p0", 5, 5}));

    PresetStore nowhere(dir.path("missing/presets.json"));
    EXPECT_EQ(Result::WriteFailed, nowhere.set({"door", 1, 2}));
    EXPECT_TRUE(nowhere.all().empty());
    EXPECT_TRUE(log.contains("Error opening preset file: " + dir.path("missing/presets.json")));

    for (const char *good :
         {"a", "Door 1", "~!@#$%^&*()_+{}|:<>?", "01234567890123456789012345678901"})
        EXPECT_TRUE(PresetStore::validName(good)) << good;
    for (const char *bad :
         {"", "012345678901234567890123456789012", "tab\t", "new\nline", "T\xc3\xbcr"})
        EXPECT_FALSE(PresetStore::validName(bad)) << bad;
}

}  // namespace
