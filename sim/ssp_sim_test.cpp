#include "ssp_sim.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace sspsim {
bool operator==(const Position &a, const Position &b)
{
    return a.x == b.x && a.y == b.y;
}
void PrintTo(const Position &p, std::ostream *os)
{
    *os << "(" << p.x << "," << p.y << ")";
}
}  // namespace sspsim

namespace {

using sspsim::Position;
using sspsim::Settings;

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
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

// Returns 0 or the errno of the failed request.
int init(int fd)
{
    return ioctl(fd, sspsim::kInitPosition, 0) < 0 ? errno : 0;
}

int move(int fd, int direction, int32_t steps)
{
    int32_t request[10] = {};
    request[2] = direction;
    request[8] = steps;
    return ioctl(fd, sspsim::kMove, request) < 0 ? errno : 0;
}

int get(int fd, Position &pos)
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

Position get(int fd)
{
    Position pos{INT32_MIN, INT32_MIN};
    EXPECT_EQ(get(fd, pos), 0);
    return pos;
}

// One readiness test without blocking, as the daemon makes it.
short pollOnce(int fd)
{
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_GE(poll(&pfd, 1, 0), 0) << strerror(errno);
    return pfd.revents;
}

bool waitReady(int fd)
{
    for (const double deadline = now() + 10; now() < deadline;) {
        if (pollOnce(fd) & POLLOUT)
            return true;
        usleep(2000);
    }
    return false;
}

class SspSimTest : public testing::Test {
protected:
    void TearDown() override
    {
        for (int fd : fds_)
            close(fd);
        sspsim::reset(Settings());
    }

    // Resets the model and opens the device.
    int start(const Settings &settings = Settings())
    {
        sspsim::reset(settings);
        const int fd = open("/dev/ssp", O_RDWR);
        EXPECT_GE(fd, 0) << strerror(errno);
        if (fd >= 0)
            fds_.push_back(fd);
        return fd;
    }

    std::vector<int> fds_;
};

TEST_F(SspSimTest, InitMovesTheCountersToTheReference)
{
    Settings s;
    s.startX = 300;
    s.startY = -200;
    const int fd = start(s);
    // Before INIT the raw counters are reported and moves work on them.
    EXPECT_EQ(get(fd), (Position{300, -200}));
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 5), 0);
    EXPECT_EQ(get(fd), (Position{305, -200}));
    EXPECT_EQ(init(fd), 0);
    EXPECT_TRUE(waitReady(fd));
    EXPECT_EQ(get(fd), (Position{0, 0}));
    EXPECT_EQ(sspsim::position(), (Position{0, 0}));
}

TEST_F(SspSimTest, DirectionCodesMoveTheirAxisAndSense)
{
    const int fd = start();
    ASSERT_EQ(init(fd), 0);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 100), 0);
    EXPECT_EQ(get(fd), (Position{100, 0}));
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, 130), 0);
    EXPECT_EQ(get(fd), (Position{-30, 0}));
    EXPECT_EQ(move(fd, sspsim::kTiltIncrease, 50), 0);
    EXPECT_EQ(get(fd), (Position{-30, 50}));
    EXPECT_EQ(move(fd, sspsim::kTiltDecrease, 80), 0);
    EXPECT_EQ(get(fd), (Position{-30, -30}));
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, 0), 0);
    EXPECT_TRUE(pollOnce(fd) & POLLOUT);
    EXPECT_EQ(get(fd), (Position{-30, -30}));
}

TEST_F(SspSimTest, MovesAndInitAreBusyForDistanceOverSpeed)
{
    Settings s;
    s.speed = 2000;
    s.startX = 600;
    s.startY = -400;
    const int fd = start(s);

    double begun = now();
    ASSERT_EQ(init(fd), 0);  // 1000 steps to the reference: half a second
    EXPECT_EQ(pollOnce(fd), 0);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 1), EBUSY);
    Position midway = get(fd);
    EXPECT_TRUE(midway.x >= 0 && midway.x <= 600 && midway.y <= 0 && midway.y >= -400) << midway.x;
    ASSERT_TRUE(waitReady(fd));
    EXPECT_GE(now() - begun, 0.5);
    EXPECT_EQ(get(fd), (Position{0, 0}));

    begun = now();
    ASSERT_EQ(move(fd, sspsim::kPanIncrease, 1000), 0);
    EXPECT_EQ(pollOnce(fd), 0);
    EXPECT_EQ(move(fd, sspsim::kTiltIncrease, 1), EBUSY);
    EXPECT_EQ(init(fd), EBUSY);
    midway = get(fd);
    EXPECT_TRUE(midway.x >= 0 && midway.x <= 1000 && midway.y == 0) << midway.x;
    ASSERT_TRUE(waitReady(fd));
    EXPECT_GE(now() - begun, 0.5);
    EXPECT_EQ(get(fd), (Position{1000, 0}));

    // A poll with a timeout waits for the end of the move.
    ASSERT_EQ(move(fd, sspsim::kTiltDecrease, 200), 0);
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 1), 0);
    EXPECT_EQ(poll(&pfd, 1, 10000), 1);
    EXPECT_EQ(pfd.revents, POLLOUT);
    EXPECT_EQ(get(fd), (Position{1000, -200}));
}

TEST_F(SspSimTest, InvalidRequestsFailAndChangeNothing)
{
    Settings s;
    s.startX = INT32_MAX - 5;
    s.startY = INT32_MIN + 5;
    const int fd = start(s);
    EXPECT_EQ(move(fd, 0, 1), EINVAL);
    EXPECT_EQ(move(fd, 5, 1), EINVAL);
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, -1), EINVAL);
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 6), ERANGE);
    EXPECT_EQ(move(fd, sspsim::kTiltDecrease, 6), ERANGE);
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, INT32_MAX), 0);
    EXPECT_EQ(move(fd, sspsim::kPanDecrease, INT32_MAX), ERANGE);
    EXPECT_EQ(move(fd, sspsim::kTiltDecrease, 5), 0);
    EXPECT_EQ(get(fd), (Position{-5, INT32_MIN}));

    EXPECT_EQ(ioctl(fd, sspsim::kGetPosition, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(ioctl(fd, sspsim::kMove, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(ioctl(fd, 0x6D03, 0), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(SspSimTest, FaultKnobs)
{
    Settings s;
    s.absent = true;
    sspsim::reset(s);
    EXPECT_EQ(open("/dev/ssp", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(openat(AT_FDCWD, "/dev/ssp", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);

    s = Settings();
    s.initErrno = EIO;
    s.getErrno = EAGAIN;
    s.moveErrno = ETIMEDOUT;
    int fd = start(s);
    Position pos{1, 1};
    EXPECT_EQ(init(fd), EIO);
    EXPECT_EQ(get(fd, pos), EAGAIN);
    EXPECT_EQ(pos, (Position{1, 1}));
    EXPECT_EQ(move(fd, sspsim::kPanIncrease, 10), ETIMEDOUT);
    EXPECT_EQ(sspsim::position(), (Position{0, 0}));

    // Never ready: no POLLOUT, not even after waiting, but moves still end.
    s = Settings();
    s.neverReady = true;
    fd = start(s);
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 20), 0);
    EXPECT_EQ(move(fd, sspsim::kTiltIncrease, 3), 0);
    EXPECT_EQ(get(fd), (Position{0, 3}));

    s = Settings();
    s.pollFailAfter = 2;
    fd = start(s);
    pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    EXPECT_EQ(poll(&pfd, 1, 0), 1);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(poll(&pfd, 1, 0), -1);
        EXPECT_EQ(errno, EIO);
    }
    EXPECT_EQ(sspsim::trace().back().request, "POLL_FAIL");
}

TEST_F(SspSimTest, OtherPathsAndDescriptorsReachTheCLibrary)
{
    const int null = open("/dev/null", O_RDWR);
    ASSERT_GE(null, 0);
    // Refused by the C library (the model would accept it); its errno is
    // left alone, as an emulator answers unknown requests its own way.
    EXPECT_EQ(ioctl(null, sspsim::kInitPosition, 0), -1);
    close(null);
    for (const char *path : {"/dev/sspx", "/dev/ss", "/dev//ssp"}) {
        EXPECT_EQ(open(path, O_RDWR), -1) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
    EXPECT_TRUE(sspsim::trace().empty());

    // The mode argument still reaches the C library.
    const std::string path = tempPath("created");
    const int created = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(created, 0) << strerror(errno);
    close(created);
    EXPECT_EQ(access(path.c_str(), W_OK), 0);
    unlink(path.c_str());

    // A closed device descriptor is forgotten: the call gets what the C
    // library gives any invalid descriptor (EBADF; an emulator may check the
    // request first and answer ENOSYS).
    ASSERT_EQ(ioctl(-1, sspsim::kInitPosition, 0), -1);
    const int invalid = errno;
    const int fd = open("/dev/ssp", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(ioctl(fd, sspsim::kInitPosition, 0), -1);
    EXPECT_EQ(errno, invalid);
}

TEST_F(SspSimTest, PollOverMixedDescriptorsAnswersEachKind)
{
    Settings s;
    s.speed = 2000;
    const int fd = start(s);
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    ASSERT_EQ(write(pipefd[1], "x", 1), 1);

    ASSERT_EQ(move(fd, sspsim::kPanIncrease, 2000), 0);  // one second
    struct pollfd set[2] = {{pipefd[0], POLLIN, 0}, {fd, POLLOUT, 0}};
    EXPECT_EQ(poll(set, 2, 5000), 1);
    EXPECT_EQ(set[0].revents, POLLIN);
    EXPECT_EQ(set[1].revents, 0);
    EXPECT_EQ(set[1].fd, fd);

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
    const int fd = start(s);
    ASSERT_EQ(init(fd), 0);
    ASSERT_EQ(move(fd, sspsim::kPanIncrease, 1024), 0);
    ASSERT_EQ(move(fd, 9, 3), EINVAL);
    EXPECT_TRUE(pollOnce(fd) & POLLOUT);  // ordinary polls are not recorded
    EXPECT_EQ(get(fd), (Position{1024, 0}));
    struct pollfd pfd = {fd, POLLOUT, 0};
    EXPECT_EQ(poll(&pfd, 1, 0), -1);

    const char *expected[] = {
        "OPEN dir=0 steps=0 x=7 y=0 result=0",       "INIT dir=0 steps=0 x=0 y=0 result=0",
        "MOVE dir=3 steps=1024 x=1024 y=0 result=0", "MOVE dir=9 steps=3 x=1024 y=0 result=22",
        "GET dir=0 steps=0 x=1024 y=0 result=0",     "POLL_FAIL dir=0 steps=0 x=1024 y=0 result=5",
    };
    const auto entries = sspsim::trace();
    const auto lines = readLines(path);
    ASSERT_EQ(entries.size(), 6u);
    ASSERT_EQ(lines.size(), 6u);
    const std::regex format(R"((\d+\.\d{6}) (.*))");
    for (size_t i = 0; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, format)) << lines[i];
        EXPECT_EQ(m[2].str(), expected[i]);
        EXPECT_NEAR(std::stod(m[1].str()), entries[i].seconds, 1e-6);
        EXPECT_EQ(entries[i].request + " dir=" + std::to_string(entries[i].direction) + " steps=" +
                      std::to_string(entries[i].steps) + " x=" + std::to_string(entries[i].position.x) +
                      " y=" + std::to_string(entries[i].position.y) +
                      " result=" + std::to_string(entries[i].result),
                  expected[i]);
    }
    EXPECT_NEAR(entries.back().seconds, now(), 5.0);
    sspsim::reset(Settings());
    EXPECT_TRUE(sspsim::trace().empty());
    unlink(path.c_str());
}

// Sets SSP_SIM_* for one test and clears them again afterwards.
struct Environment {
    Environment() { clear(); }
    ~Environment() { clear(); }
    static void clear()
    {
        for (const char *name :
             {"SSP_SIM_SPEED", "SSP_SIM_START", "SSP_SIM_ABSENT", "SSP_SIM_INIT_ERRNO", "SSP_SIM_GET_ERRNO",
              "SSP_SIM_MOVE_ERRNO", "SSP_SIM_NEVER_READY", "SSP_SIM_POLL_FAIL_AFTER", "SSP_SIM_TRACE"})
            unsetenv(name);
    }
};

TEST(SspSimSettings, ReadsEveryVariable)
{
    Environment env;
    setenv("SSP_SIM_SPEED", "2500.5", 1);
    setenv("SSP_SIM_START", "-2147483648,2147483647", 1);
    setenv("SSP_SIM_ABSENT", "1", 1);
    setenv("SSP_SIM_INIT_ERRNO", "5", 1);
    setenv("SSP_SIM_GET_ERRNO", "11", 1);
    setenv("SSP_SIM_MOVE_ERRNO", "16", 1);
    setenv("SSP_SIM_NEVER_READY", "1", 1);
    setenv("SSP_SIM_POLL_FAIL_AFTER", "3", 1);
    setenv("SSP_SIM_TRACE", "trace.log", 1);
    const Settings s = sspsim::settingsFromEnvironment();
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
    const char *bad[][2] = {
        {"SSP_SIM_SPEED", "abc"},     {"SSP_SIM_START", "12"},
        {"SSP_SIM_ABSENT", "yes"},    {"SSP_SIM_INIT_ERRNO", "-1"},
        {"SSP_SIM_GET_ERRNO", "5x"},  {"SSP_SIM_MOVE_ERRNO", "99999999999999999999"},
        {"SSP_SIM_NEVER_READY", "2"}, {"SSP_SIM_POLL_FAIL_AFTER", "-2"},
    };
    std::string expectedWarnings;
    for (const auto &var : bad) {
        setenv(var[0], var[1], 1);
        expectedWarnings += std::string("sspsim: ignoring invalid ") + var[0] + "=" + var[1] + "\n";
    }
    testing::internal::CaptureStderr();
    const Settings s = sspsim::settingsFromEnvironment();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expectedWarnings);
    const Settings defaults;
    EXPECT_EQ(s.speed, defaults.speed);
    EXPECT_EQ(sspsim::Position({s.startX, s.startY}), (Position{0, 0}));
    EXPECT_EQ(s.absent, defaults.absent);
    EXPECT_EQ(s.initErrno + s.getErrno + s.moveErrno, 0);
    EXPECT_EQ(s.neverReady, defaults.neverReady);
    EXPECT_EQ(s.pollFailAfter, defaults.pollFailAfter);

    Environment::clear();
    for (const char *value : {"-5", "inf", "nan", "1e999", " "}) {
        setenv("SSP_SIM_SPEED", value, 1);
        EXPECT_EQ(sspsim::settingsFromEnvironment().speed, 0) << value;
    }
    for (const char *value : {"1,", ",1", "1;2", "1,2,3", "2147483648,0", "a,b"}) {
        setenv("SSP_SIM_START", value, 1);
        EXPECT_EQ(sspsim::settingsFromEnvironment().startX, 0) << value;
    }
}

// Runs a shell command; exit status and combined output.
std::pair<int, std::string> runShell(const std::string &command)
{
    std::string output;
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {-1, output};
    char buffer[256];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    const int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(SspSimPreload, SimulatesTheDeviceForAnotherProgram)
{
    const std::string trace = tempPath("trace");
    unlink(trace.c_str());
    const std::string preload = std::string("LD_PRELOAD='") + SSP_SIM_LIBRARY + "' ";
    const std::string probe = std::string(" '") + SSP_PROBE + "'";

    auto [status, output] = runShell(preload + "SSP_SIM_SPEED=100000 SSP_SIM_START=10,20 SSP_SIM_TRACE='" +
                                     trace + "'" + probe + " 3 1024 2 7");
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "x=1024 y=7\n");
    const char *expected[] = {
        " OPEN dir=0 steps=0 x=10 y=20 result=0",     " INIT dir=0 steps=0 x=10 y=20 result=0",
        " MOVE dir=3 steps=1024 x=1024 y=0 result=0", " MOVE dir=2 steps=7 x=1024 y=7 result=0",
        " GET dir=0 steps=0 x=1024 y=7 result=0",
    };
    const auto lines = readLines(trace);
    ASSERT_EQ(lines.size(), 5u);
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(lines[i].find(' ')), expected[i]) << lines[i];
    unlink(trace.c_str());

    std::tie(status, output) = runShell(preload + "SSP_SIM_ABSENT=1" + probe);
    EXPECT_EQ(status, 1);
    EXPECT_NE(output.find(std::string("open /dev/ssp: ") + strerror(ENOENT)), std::string::npos) << output;
}

}  // namespace
