#include "safe_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "motor_test_support.h"

namespace {

using storage::replaceFile;
using storage::WriteResult;

mode_t modeOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st.st_mode;
}

class SafeWrite : public ::testing::Test {
protected:
    TempDir dir;
    std::string file = dir.path("data.json");
    std::string temporary = file + ".tmp";
};

TEST_F(SafeWrite, APlantedLinkAtTheTemporaryIsNeverFollowed) {
    const std::string victim = dir.write("victim", "precious");
    ASSERT_EQ(0, ::chmod(victim.c_str(), 0600));
    ASSERT_EQ(0, ::symlink(victim.c_str(), temporary.c_str()));
    ASSERT_EQ(WriteResult::Written, replaceFile(file, "new"));
    EXPECT_EQ("precious", readFile(victim));
    EXPECT_EQ("new", readFile(file));
    EXPECT_TRUE(S_ISREG(modeOf(file)));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temporary)));
    // A dangling link is no different.
    ASSERT_EQ(0, ::symlink(dir.path("nowhere").c_str(), temporary.c_str()));
    ASSERT_EQ(WriteResult::Written, replaceFile(file, "newer"));
    EXPECT_FALSE(std::filesystem::exists(dir.path("nowhere")));
    EXPECT_EQ("newer", readFile(file));
}

TEST_F(SafeWrite, AStaleTemporaryIsReplacedAndTheOldFileKeepsItsMode) {
    dir.write("data.json.tmp", "half a write from before a power cut");
    ASSERT_EQ(WriteResult::Written, replaceFile(file, "first"));
    // Owner-only for a new file, whatever the umask allows.
    const mode_t saved = ::umask(0);
    EXPECT_EQ(0600u, modeOf(file) & 0777);
    ASSERT_EQ(0, ::chmod(file.c_str(), 0640));
    EXPECT_EQ(WriteResult::Written, replaceFile(file, "second"));
    ::umask(saved);
    EXPECT_EQ(0640u, modeOf(file) & 0777);
    EXPECT_EQ("second", readFile(file));
    EXPECT_FALSE(std::filesystem::exists(temporary));
}

TEST_F(SafeWrite, FailuresLeaveTheOldFileAndNoTemporary) {
    EXPECT_EQ(WriteResult::OpenFailed, replaceFile("", "x"));
    EXPECT_EQ(WriteResult::OpenFailed, replaceFile(dir.path("missing/data.json"), "x"));
    // A directory in the temporary's place cannot be removed as a stale file.
    dir.write("data.json", "old");
    ASSERT_EQ(0, ::mkdir(temporary.c_str(), 0700));
    EXPECT_EQ(WriteResult::OpenFailed, replaceFile(file, "x"));
    ASSERT_EQ(0, ::rmdir(temporary.c_str()));
    // The rename fails onto a directory; the old content there stays.
    const std::string folder = dir.path("folder");
    ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
    EXPECT_EQ(WriteResult::WriteFailed, replaceFile(folder, "x"));
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_FALSE(std::filesystem::exists(folder + ".tmp"));
    EXPECT_EQ("old", readFile(file));
}

}  // namespace
