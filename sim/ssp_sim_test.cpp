#include "ssp_sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using sspsim::Position;
using sspsim::Settings;

namespace {

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause(long milliseconds)
{
    struct timespec ts = {0, milliseconds * 1000000L};
    nanosleep(&ts, nullptr);
}

std::string tempPath(const char *name)
{
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    return testing::TempDir() + "sspsim_" + std::to_string(getpid()) + "_" + info->name() + "_" + name;
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Drives the device through the interposed C library calls, as the daemon does.
class SspSimTest : public testing::Test {
protected:
    void SetUp() override { sspsim::reset(Settings()); }

    void TearDown() override
    {
        for (int fd : fds_)
            close(fd);
        sspsim::reset(Settings());
    }

    int openDevice()
    {
        const int fd = open("/dev/ssp", O_RDWR);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }

    // Returns 0 or the errno of the failed request.
    static int init(int fd) { return ioctl(fd, sspsim::kInitPosition, 0) < 0 ? errno : 0; }

    static int move(int fd, int direction, int32_t steps)
    {
        int32_t request[10] = {};
        request[2] = direction;
        request[8] = steps;
        return ioctl(fd, sspsim::kMove, request) < 0 ? errno : 0;
    }

    static int get(int fd, Position &pos)
    {
        int32_t report[9];
        memset(report, 0x55, sizeof report);
        if (ioctl(fd, sspsim::kGetPosition, report) < 0)
            return errno;
        for (int i = 2; i < 9; ++i)
            EXPECT_EQ(report[i], 0) << "reserved word " << i;
        pos = Position{report[0], report[1]};
        return 0;
    }

    static Position get(int fd)
    {
        Position pos{INT32_MIN, INT32_MIN};
        EXPECT_EQ(get(fd, pos), 0);
        return pos;
    }

    // One non-blocking readiness test; the revents seen.
    static short pollOnce(int fd)
    {
        struct pollfd pfd = {fd, POLLOUT, 0};
        EXPECT_GE(poll(&pfd, 1, 0), 0) << strerror(errno);
        return pfd.revents;
    }

    static bool waitReady(int fd, double seconds = 10)
    {
        const double deadline = now() + seconds;
        while (now() < deadline) {
            if (pollOnce(fd) & POLLOUT)
                return true;
            pause(2);
        }
        return false;
    }

    static Settings withSpeed(double speed)
    {
        Settings s;
        s.speed = speed;
        return s;
    }

    std::vector<int> fds_;
};

#define EXPECT_POS(pos, ex, ey)     \
    do {                            \
        const Position p_ = (pos);  \
        EXPECT_EQ(p_.x, ex);        \
        EXPECT_EQ(p_.y, ey);        \
    } while (0)

TEST_F(SspSimTest, InitMovesTheCountersToTheReference)
{
    Settings s;
    s.startX = 300;
    s.startY = -200;
    sspsim::reset(s);
    const int fd = openDevice();
    ASSERT_GE(fd, 0) << strerror(errno);

    // Before INIT the raw counters are reported and moves work on them.
    EXPECT_POS(get(fd), 300, -200);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 5), 0);
    EXPECT_POS(get(fd), 305, -200);

    EXPECT_EQ(init(fd), 0);
    EXPECT_TRUE(waitReady(fd));
    EXPECT_POS(get(fd), 0, 0);
    EXPECT_POS(sspsim::position(), 0, 0);
}

TEST_F(SspSimTest, DirectionCodesMoveTheirAxisAndSense)
{
    const int fd = openDevice();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(init(fd), 0);

    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 100), 0);
    EXPECT_POS(get(fd), 100, 0);
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, 130), 0);
    EXPECT_POS(get(fd), -30, 0);
    EXPECT_EQ(move(fd, sspsim::kTiltIncrease, 50), 0);
    EXPECT_POS(get(fd), -30, 50);
    EXPECT_EQ(move(fd, sspsim::kTiltDecrease, 80), 0);
    EXPECT_POS(get(fd), -30, -30);
    // A zero-step request is accepted and changes nothing.
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, 0), 0);
    EXPECT_TRUE(pollOnce(fd) & POLLOUT);
    EXPECT_POS(get(fd), -30, -30);
}

TEST_F(SspSimTest, MoveIsBusyForStepsOverSpeed)
{
    sspsim::reset(withSpeed(2000));
    const int fd = openDevice();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(init(fd), 0);
    ASSERT_TRUE(pollOnce(fd) & POLLOUT);

    const double start = now();
    ASSERT_EQ(move(fd, sspsim::kPanIncrease, 1000), 0);  // half a second
    EXPECT_EQ(pollOnce(fd), 0);
    EXPECT_EQ(move(fd, sspsim::kTiltIncrease, 1), EBUSY);
    EXPECT_EQ(init(fd), EBUSY);
    const Position midway = get(fd);
    EXPECT_GE(midway.x, 0);
    EXPECT_LE(midway.x, 1000);
    EXPECT_EQ(midway.y, 0);

    ASSERT_TRUE(waitReady(fd));
    EXPECT_GE(now() - start, 0.5);
    EXPECT_POS(get(fd), 1000, 0);

    // A poll with a timeout waits for the end of the move.
    ASSERT_EQ(move(fd, sspsim::kTiltDecrease, 200), 0);
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 1), 0);
    EXPECT_EQ(pfd.revents, 0);
    EXPECT_EQ(poll(&pfd, 1, 10000), 1);
    EXPECT_EQ(pfd.revents, POLLOUT);
    EXPECT_POS(get(fd), 1000, -200);
}

TEST_F(SspSimTest, InitTakesTimeForTheDistanceToTheReference)
{
    Settings s = withSpeed(2000);
    s.startX = 600;
    s.startY = -400;
    sspsim::reset(s);
    const int fd = openDevice();
    ASSERT_GE(fd, 0);

    const double start = now();
    ASSERT_EQ(init(fd), 0);
    EXPECT_EQ(pollOnce(fd), 0);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 1), EBUSY);
    const Position midway = get(fd);
    EXPECT_GE(midway.x, 0);
    EXPECT_LE(midway.x, 600);
    EXPECT_LE(midway.y, 0);
    EXPECT_GE(midway.y, -400);

    ASSERT_TRUE(waitReady(fd));
    EXPECT_GE(now() - start, 0.5);
    EXPECT_POS(get(fd), 0, 0);
}

TEST_F(SspSimTest, InvalidRequestsFailAndChangeNothing)
{
    Settings s;
    s.startX = INT32_MAX - 5;
    s.startY = INT32_MIN + 5;
    sspsim::reset(s);
    const int fd = openDevice();
    ASSERT_GE(fd, 0);

    EXPECT_EQ(move(fd, 0, 1), EINVAL);
    EXPECT_EQ(move(fd, 5, 1), EINVAL);
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, -1), EINVAL);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 6), ERANGE);
    EXPECT_EQ(move(fd, sspsim::kTiltDecrease, 6), ERANGE);
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, INT32_MAX), 0);
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, INT32_MAX), ERANGE);
    EXPECT_POS(get(fd), -5, INT32_MIN + 5);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 5), 0);
    EXPECT_EQ(move(fd, sspsim::kTiltDecrease, 5), 0);
    EXPECT_POS(get(fd), 0, INT32_MIN);

    EXPECT_EQ(ioctl(fd, sspsim::kGetPosition, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(ioctl(fd, sspsim::kMove, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(ioctl(fd, 0x6D03, 0), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(SspSimTest, AbsentDeviceCannotBeOpened)
{
    Settings s;
    s.absent = true;
    sspsim::reset(s);
    EXPECT_EQ(openDevice(), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(openat(AT_FDCWD, "/dev/ssp", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(SspSimTest, RequestFaultsReturnTheirErrno)
{
    Settings s;
    s.initErrno = EIO;
    s.getErrno = EAGAIN;
    s.moveErrno = ETIMEDOUT;
    sspsim::reset(s);
    const int fd = openDevice();
    ASSERT_GE(fd, 0);
    Position pos{1, 1};
    EXPECT_EQ(init(fd), EIO);
    EXPECT_EQ(get(fd, pos), EAGAIN);
    EXPECT_POS(pos, 1, 1);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 10), ETIMEDOUT);
    EXPECT_POS(sspsim::position(), 0, 0);
    EXPECT_TRUE(pollOnce(fd) & POLLOUT);
}

TEST_F(SspSimTest, NeverReadyDeviceNeverReportsPollout)
{
    Settings s;
    s.neverReady = true;
    sspsim::reset(s);
    const int fd = openDevice();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(init(fd), 0);
    EXPECT_EQ(pollOnce(fd), 0);
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 20), 0);
    // The moves themselves still complete.
    EXPECT_EQ(move(fd, sspsim::kTiltIncrease, 3), 0);
    EXPECT_POS(get(fd), 0, 3);
}

TEST_F(SspSimTest, PollFailsWithEioAfterTheGivenCount)
{
    Settings s;
    s.pollFailAfter = 2;
    sspsim::reset(s);
    const int fd = openDevice();
    ASSERT_GE(fd, 0);
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(poll(&pfd, 1, 0), -1);
        EXPECT_EQ(errno, EIO);
    }
    int failures = 0;
    for (const auto &entry : sspsim::trace()) {
        if (entry.request == "POLL_FAIL") {
            ++failures;
            EXPECT_EQ(entry.result, EIO);
        }
    }
    EXPECT_EQ(failures, 2);
}

TEST_F(SspSimTest, OtherPathsAndDescriptorsReachTheCLibrary)
{
    const int null = open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    EXPECT_EQ(ioctl(null, sspsim::kInitPosition, 0), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(null);
    EXPECT_EQ(open("/dev/sspx", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(open("/dev/ss", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(sspsim::trace().empty());

    // Files are still created with their mode.
    const std::string path = tempPath("created");
    const int created = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(created, 0) << strerror(errno);
    close(created);
    EXPECT_EQ(access(path.c_str(), W_OK), 0);
    unlink(path.c_str());

    // A closed simulated descriptor is forgotten.
    const int fd = open("/dev/ssp", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(ioctl(fd, sspsim::kInitPosition, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(SspSimTest, PollOverMixedDescriptorsAnswersEachKind)
{
    sspsim::reset(withSpeed(2000));
    const int fd = openDevice();
    ASSERT_GE(fd, 0);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    ASSERT_EQ(write(pipefd[1], "x", 1), 1);

    ASSERT_EQ(move(fd, sspsim::kPanIncrease, 2000), 0);  // one second
    struct pollfd set[2] = {{pipefd[0], POLLIN, 0}, {fd, POLLOUT, 0}};
    EXPECT_EQ(poll(set, 2, 5000), 1);
    EXPECT_EQ(set[0].fd, pipefd[0]);
    EXPECT_EQ(set[0].revents, POLLIN);
    EXPECT_EQ(set[1].fd, fd);
    EXPECT_EQ(set[1].revents, 0);

    // With the pipe empty, the wait ends when the move does.
    char c;
    ASSERT_EQ(read(pipefd[0], &c, 1), 1);
    EXPECT_EQ(poll(set, 2, 10000), 1);
    EXPECT_EQ(set[0].revents, 0);
    EXPECT_EQ(set[1].revents, POLLOUT);
    close(pipefd[0]);
    close(pipefd[1]);
}

TEST_F(SspSimTest, TraceRecordsEveryRequestInMemoryAndInTheFile)
{
    const std::string path = tempPath("trace");
    unlink(path.c_str());
    Settings s;
    s.tracePath = path;
    s.startX = 7;
    s.pollFailAfter = 1;
    sspsim::reset(s);

    const int fd = openDevice();
    ASSERT_GE(fd, 0);
    ASSERT_EQ(init(fd), 0);
    ASSERT_EQ(move(fd, sspsim::kPanIncrease, 1024), 0);
    ASSERT_EQ(move(fd, 9, 3), EINVAL);
    EXPECT_TRUE(pollOnce(fd) & POLLOUT);  // ordinary polls are not recorded
    EXPECT_POS(get(fd), 1024, 0);
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), -1);

    const auto entries = sspsim::trace();
    const char *expected[] = {
        "OPEN dir=0 steps=0 x=7 y=0 result=0",
        "INIT dir=0 steps=0 x=0 y=0 result=0",
        "MOVE dir=3 steps=1024 x=1024 y=0 result=0",
        "MOVE dir=9 steps=3 x=1024 y=0 result=22",
        "GET dir=0 steps=0 x=1024 y=0 result=0",
        "POLL_FAIL dir=0 steps=0 x=1024 y=0 result=5",
    };
    const auto lines = readLines(path);
    ASSERT_EQ(entries.size(), 6u);
    ASSERT_EQ(lines.size(), 6u);
    const std::regex format(R"((\d+\.\d{6}) (.*))");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, format)) << lines[i];
        EXPECT_EQ(m[2].str(), expected[i]);
        EXPECT_NEAR(std::stod(m[1].str()), entries[i].seconds, 1e-6);
        if (i > 0) {
            EXPECT_GE(entries[i].seconds, entries[i - 1].seconds);
        }
        std::ostringstream fromMemory;
        fromMemory << entries[i].request << " dir=" << entries[i].direction << " steps=" << entries[i].steps
                   << " x=" << entries[i].position.x << " y=" << entries[i].position.y
                   << " result=" << entries[i].result;
        EXPECT_EQ(fromMemory.str(), expected[i]);
    }
    EXPECT_NEAR(entries.back().seconds, now(), 5.0);

    sspsim::reset(Settings());
    EXPECT_TRUE(sspsim::trace().empty());
    unlink(path.c_str());
}

// Sets SSP_SIM_* for one test and clears them again afterwards.
class Environment {
public:
    Environment() { clear(); }
    ~Environment() { clear(); }
    void set(const char *name, const char *value) { setenv(name, value, 1); }

private:
    static void clear()
    {
        for (const char *name : {"SSP_SIM_SPEED", "SSP_SIM_START", "SSP_SIM_ABSENT", "SSP_SIM_INIT_ERRNO",
                                 "SSP_SIM_GET_ERRNO", "SSP_SIM_MOVE_ERRNO", "SSP_SIM_NEVER_READY",
                                 "SSP_SIM_POLL_FAIL_AFTER", "SSP_SIM_TRACE"})
            unsetenv(name);
    }
};

TEST(SspSimSettings, ReadsEveryVariable)
{
    Environment env;
    Settings s = sspsim::settingsFromEnvironment();
    EXPECT_EQ(s.speed, 0);
    EXPECT_EQ(s.startX, 0);
    EXPECT_FALSE(s.absent);
    EXPECT_EQ(s.pollFailAfter, -1);
    EXPECT_TRUE(s.tracePath.empty());

    env.set("SSP_SIM_SPEED", "2500.5");
    env.set("SSP_SIM_START", "-2147483648,2147483647");
    env.set("SSP_SIM_ABSENT", "1");
    env.set("SSP_SIM_INIT_ERRNO", "5");
    env.set("SSP_SIM_GET_ERRNO", "11");
    env.set("SSP_SIM_MOVE_ERRNO", "16");
    env.set("SSP_SIM_NEVER_READY", "1");
    env.set("SSP_SIM_POLL_FAIL_AFTER", "3");
    env.set("SSP_SIM_TRACE", "trace.log");
    s = sspsim::settingsFromEnvironment();
    EXPECT_EQ(s.speed, 2500.5);
    EXPECT_EQ(s.startX, INT32_MIN);
    EXPECT_EQ(s.startY, INT32_MAX);
    EXPECT_TRUE(s.absent);
    EXPECT_EQ(s.initErrno, 5);
    EXPECT_EQ(s.getErrno, 11);
    EXPECT_EQ(s.moveErrno, 16);
    EXPECT_TRUE(s.neverReady);
    EXPECT_EQ(s.pollFailAfter, 3);
    EXPECT_EQ(s.tracePath, "trace.log");
}

TEST(SspSimSettings, InvalidValuesWarnAndKeepTheDefaults)
{
    Environment env;
    env.set("SSP_SIM_SPEED", "abc");
    env.set("SSP_SIM_START", "12");
    env.set("SSP_SIM_ABSENT", "yes");
    env.set("SSP_SIM_INIT_ERRNO", "-1");
    env.set("SSP_SIM_GET_ERRNO", "5x");
    env.set("SSP_SIM_MOVE_ERRNO", "99999999999999999999");
    env.set("SSP_SIM_NEVER_READY", "2");
    env.set("SSP_SIM_POLL_FAIL_AFTER", "-2");
    testing::internal::CaptureStderr();
    Settings s = sspsim::settingsFromEnvironment();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.speed, 0);
    EXPECT_EQ(s.startX, 0);
    EXPECT_EQ(s.startY, 0);
    EXPECT_FALSE(s.absent);
    EXPECT_EQ(s.initErrno, 0);
    EXPECT_EQ(s.getErrno, 0);
    EXPECT_EQ(s.moveErrno, 0);
    EXPECT_FALSE(s.neverReady);
    EXPECT_EQ(s.pollFailAfter, -1);
    EXPECT_NE(err.find("sspsim: ignoring invalid SSP_SIM_SPEED=abc\n"), std::string::npos) << err;
    EXPECT_NE(err.find("sspsim: ignoring invalid SSP_SIM_START=12\n"), std::string::npos) << err;
    EXPECT_NE(err.find("sspsim: ignoring invalid SSP_SIM_POLL_FAIL_AFTER=-2\n"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 8) << err;

    for (const char *bad : {"-5", "inf", "nan", "1e999", "", " "}) {
        env.set("SSP_SIM_SPEED", bad);
        EXPECT_EQ(sspsim::settingsFromEnvironment().speed, 0) << bad;
    }
    for (const char *bad : {"1,", ",1", "1;2", "1,2,3", "2147483648,0", "a,b"}) {
        env.set("SSP_SIM_START", bad);
        s = sspsim::settingsFromEnvironment();
        EXPECT_EQ(s.startX, 0) << bad;
        EXPECT_EQ(s.startY, 0) << bad;
    }
}

struct ChildResult {
    int status;
    std::string output;
};

ChildResult runShell(const std::string &command)
{
    ChildResult run{-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return run;
    char buffer[256];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        run.output.append(buffer, n);
    run.status = pclose(pipe);
    return run;
}

TEST(SspSimPreload, SimulatesTheDeviceForAnotherProgram)
{
    const std::string trace = tempPath("trace");
    unlink(trace.c_str());
    const std::string preload = std::string("LD_PRELOAD='") + SSP_SIM_LIBRARY + "' ";
    const std::string probe = std::string("'") + SSP_PROBE + "'";

    ChildResult run = runShell(preload + "SSP_SIM_SPEED=100000 SSP_SIM_START=10,20 SSP_SIM_TRACE='" + trace + "' " +
                       probe + " 3 1024 2 7 2>&1");
    ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.status), 0) << run.output;
    EXPECT_EQ(run.output, "x=1024 y=7\n");

    const auto lines = readLines(trace);
    const char *expected[] = {
        " OPEN dir=0 steps=0 x=10 y=20 result=0",
        " INIT dir=0 steps=0 x=10 y=20 result=0",
        " MOVE dir=3 steps=1024 x=1024 y=0 result=0",
        " MOVE dir=2 steps=7 x=1024 y=7 result=0",
        " GET dir=0 steps=0 x=1024 y=7 result=0",
    };
    ASSERT_EQ(lines.size(), 5u);
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(lines[i].find(' ')), expected[i]) << lines[i];
    unlink(trace.c_str());

    run = runShell(preload + "SSP_SIM_ABSENT=1 " + probe + " 2>&1");
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 1);
    EXPECT_NE(run.output.find("open /dev/ssp: " + std::string(strerror(ENOENT))), std::string::npos)
        << run.output;
}

}  // namespace
