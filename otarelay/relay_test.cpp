#include "relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Drives the cycle logic the way the relay does, without any I/O or sleep.
struct Cycles {
    relay_state st;
    bool done = false;
    Cycles() { relay_init(&st); }

    // One cycle seeing `record` (len bytes delivered, or a failed read).
    std::string step(const void *record, ssize_t len) {
        char msg[RELAY_MESSAGE_MAX];
        size_t n =
            relay_cycle(&st, static_cast<const unsigned char *>(record), len, msg, sizeof msg);
        EXPECT_EQ(n, 7u) << msg;
        EXPECT_EQ(msg[6], '\0');
        done = relay_advance(&st) != 0;
        return msg;
    }
    std::string step(const std::string &stage) {
        std::vector<unsigned char> rec(RELAY_RECORD_SIZE, 0);
        std::memcpy(rec.data(), stage.data(), std::min(stage.size(), rec.size()));
        return step(rec.data(), static_cast<ssize_t>(rec.size()));
    }
    void creepTo(int count) {
        while (st.count < count) step(std::string(st.status));
    }
};

std::string exact(int count) {  // count/200 written out in decimal, "%6.3f" style
    char buf[16];
    std::snprintf(buf, sizeof buf, "%2d.%03d", count / 200, count % 200 * 5);
    return buf;
}

}  // namespace

TEST(RelayCycle, EndInFirstCycleSendsOnlyFullProgress) {
    Cycles c;
    EXPECT_EQ(c.step("upgrade_end"), " 1.000");
    EXPECT_TRUE(c.done);
}

TEST(RelayCycle, CreepsExactlyAndHoldsBelowFullWithoutEnd) {
    Cycles c;
    for (int count = 1; count <= 199; ++count) {
        ASSERT_EQ(c.step(""), exact(count)) << "count " << count;
        ASSERT_FALSE(c.done);
    }
    for (int i = 0; i < 5; ++i) EXPECT_EQ(c.step(""), " 0.995");
    EXPECT_EQ(c.step("upgrade_ending"), " 0.995");  // only the exact final stage is 100 %
    EXPECT_FALSE(c.done);
    EXPECT_EQ(c.step("upgrade_end"), " 1.000");
    EXPECT_TRUE(c.done);
}

TEST(RelayCycle, StageJumpsOnlyUpwardsAndOnlyWhenFirstSeen) {
    Cycles early;
    early.creepTo(10);
    EXPECT_EQ(early.step("boot-recovery"), " 0.300");
    EXPECT_EQ(early.step("boot-recovery"), " 0.305");

    Cycles late;
    late.creepTo(80);
    EXPECT_EQ(late.step("boot-recovery"), " 0.400");

    Cycles back;
    EXPECT_EQ(back.step("upgrade_post"), " 0.700");
    EXPECT_EQ(back.step("boot-recovery"), " 0.705");
    EXPECT_EQ(back.step("upgrade_pre"), " 0.710");

    Cycles pre;
    EXPECT_EQ(pre.step("upgrade_pre"), " 0.005");
    EXPECT_STREQ(pre.st.status, "upgrade_pre");
}

TEST(RelayCycle, UnknownStageBecomesStatusWithoutMovingCount) {
    Cycles c;
    c.creepTo(7);
    EXPECT_EQ(c.step("flashing-rootfs"), " 0.035");
    EXPECT_STREQ(c.st.status, "flashing-rootfs");
    // A prefix of a known stage is not that stage.
    EXPECT_EQ(c.step("upgrade_en"), " 0.040");
}

TEST(RelayCycle, FailedPartitionKeepsStatusAndStillSendsProgress) {
    Cycles c;
    EXPECT_EQ(c.step("boot-recovery"), " 0.300");
    EXPECT_EQ(c.step(nullptr, -1), " 0.305");
    EXPECT_STREQ(c.st.status, "boot-recovery");
    const char junk[] = "upgrade_end";
    EXPECT_EQ(c.step(junk, -1), " 0.310");  // a failed read delivers nothing
}

TEST(RelayCycle, ShortReadAndUnterminatedFieldStayInBounds) {
    // Only the delivered bytes count; what lies behind them is not the record.
    Cycles shortRead;
    const char buf[] = "upgrade_endXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX";
    EXPECT_EQ(shortRead.step(buf, 11), " 1.000");
    Cycles partial;
    EXPECT_EQ(partial.step(buf, 4), " 0.005");
    EXPECT_STREQ(partial.st.status, "upgr");
    Cycles empty;
    EXPECT_EQ(empty.step(buf, 0), " 0.005");
    EXPECT_STREQ(empty.st.status, "");

    // 32 characters without a terminator are kept as their first 31.
    Cycles full;
    std::string field = "upgrade_end" + std::string(RELAY_RECORD_SIZE - 11, 'x');
    EXPECT_EQ(full.step(field.data(), RELAY_RECORD_SIZE), " 0.005");
    EXPECT_EQ(std::string(full.st.status), field.substr(0, 31));
    EXPECT_EQ(full.st.status[31], '\0');
}

// ---- I/O layer with scratch paths and a 1 ms interval ----

namespace {

bool waitFor(const std::function<bool()> &cond,
             std::chrono::seconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class RelayRun : public ::testing::Test {
protected:
    fs::path dir, partition, output;
    char *outText = nullptr, *errText = nullptr;
    size_t outLen = 0, errLen = 0;
    FILE *out = nullptr, *err = nullptr;
    int status = -1;
    std::thread relay;

    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "otarelay-test.XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        partition = dir / "misc";
        output = dir / "progress";
        out = open_memstream(&outText, &outLen);
        err = open_memstream(&errText, &errLen);
    }
    void TearDown() override {
        if (relay.joinable()) relay.join();
        if (out) std::fclose(out);
        if (err) std::fclose(err);
        std::free(outText);
        std::free(errText);
        fs::remove_all(dir);
    }
    void start() {
        relay = std::thread([this] {
            relay_paths paths{partition.c_str(), output.c_str()};
            status = relay_run(&paths, 1, out, err);
        });
    }
    // Finishes the run; the text streams may be read afterwards.
    void join() {
        relay.join();
        std::fflush(out);
        std::fflush(err);
    }
    std::string stdoutText() const { return std::string(outText, outLen); }
    std::string stderrText() const { return std::string(errText, errLen); }
    // Replaces the record at once so the relay never sees half of it.
    void writeRecord(const std::string &stage) {
        std::string rec = stage + std::string(RELAY_RECORD_SIZE - stage.size(), '\0');
        fs::path tmp = dir / "misc.new";
        std::ofstream(tmp, std::ios::binary) << rec;
        fs::rename(tmp, partition);
    }
};

std::string readExactly(int fd, size_t n) {
    std::string got;
    char buf[64];
    while (got.size() < n) {
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

}  // namespace

TEST_F(RelayRun, PlainFileKeepsOnlyLatestMessageAndIsCreated0644) {
    mode_t old = umask(022);  // the creation mode is still filtered by the umask
    writeRecord("boot-recovery");
    start();
    bool capped = waitFor([&] { return slurp(output) == std::string(" 0.995", 7); });
    writeRecord("upgrade_end");
    join();
    umask(old);
    EXPECT_TRUE(capped);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(slurp(output), std::string(" 1.000", 7));
    struct stat sb {};
    ASSERT_EQ(stat(output.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISREG(sb.st_mode));
    EXPECT_EQ(sb.st_mode & 07777, 0644u);
    std::string text = stdoutText();
    EXPECT_EQ(text.rfind("I am " + std::to_string(getpid()) +
                             " process.\n"
                             "Now the progress status:boot-recovery \n"
                             "Send message:  0.300\n",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("Now the progress status:upgrade_end \nSend message:  1.000\n"),
              std::string::npos);
    EXPECT_EQ(stderrText(), "");
}

TEST_F(RelayRun, FifoReaderGetsBackToBackMessagesDespiteUnreadablePartition) {
    ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
    fs::create_directory(partition);  // opens, but cannot be read
    start();
    int fd = open(output.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readExactly(fd, 21), std::string(" 0.005\0 0.010\0 0.015\0", 21));
    fs::remove(partition);
    writeRecord("upgrade_end");
    std::string rest;
    char buf[256];
    for (ssize_t r; (r = read(fd, buf, sizeof buf)) > 0;) rest.append(buf, static_cast<size_t>(r));
    close(fd);
    join();
    EXPECT_EQ(status, 0);
    ASSERT_GE(rest.size(), 7u);
    EXPECT_EQ(rest.size() % 7, 0u);
    EXPECT_EQ(rest.substr(rest.size() - 7), std::string(" 1.000", 7));
    EXPECT_NE(stdoutText().find("read " + partition.string() +
                                " Failed \n"
                                "Now the progress status: \nSend message:  0.005\n"),
              std::string::npos);
}

TEST_F(RelayRun, ReaderGoingAwayEndsWithWriteFailure) {
    ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
    start();
    int fd = open(output.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(readExactly(fd, 7), std::string(" 0.005", 7));
    close(fd);
    join();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(stderrText(), "Write FIFO Failed: " + std::string(std::strerror(EPIPE)) + "\n");
    EXPECT_NE(stdoutText().find("Open " + partition.string() + " Failed \n"), std::string::npos);
}

TEST_F(RelayRun, UnopenableOutputFailsAtOnce) {
    output = dir / "missing" / "progress";
    start();
    join();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(stderrText(), "Open FIFO Failed: " + std::string(std::strerror(ENOENT)) + "\n");
    EXPECT_EQ(stdoutText(), "I am " + std::to_string(getpid()) + " process.\n");
}
