#include "daemon_fixture.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>

void DaemonTest::SetUp() {
    std::string why;
    if (!e2e::enterPrivateMountNamespace(&why)) GTEST_SKIP() << why;
    ASSERT_TRUE(e2e::mountScratchDir(e2e::kBusDirectory, &why)) << why;
    std::error_code ignored;

    std::filesystem::create_directories(E2E_SCRATCH_ROOT, ignored);
    std::string pattern = std::string(E2E_SCRATCH_ROOT) + "/case.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&pattern[0])) << strerror(errno);
    scratch = pattern;
    positionPath = scratch + "/position.json";
}

void DaemonTest::TearDown() {
    if (daemon) daemon->stop(2.0);
    if (broker) broker->process().stop(2.0);
    daemon.reset();
    broker.reset();
    if (!scratch.empty()) {
        if (HasFailure()) {
            std::cerr << "kept for inspection: " << scratch << "\n";
        } else {
            std::error_code ignored;
            std::filesystem::remove_all(scratch, ignored);
        }
    }
}

void DaemonTest::startBroker() {
    try {
        broker = std::make_unique<e2e::PrivateBus>(e2e::kBusSocket, scratch);
    } catch (const std::exception &error) {
        FAIL() << error.what();
    }
}

void DaemonTest::killBroker() {
    ASSERT_TRUE(broker);
    broker->process().signal(SIGKILL);
    ASSERT_TRUE(broker->process().wait(5));
}

std::string DaemonTest::writeConfiguration(const std::string &persistedPosition) {
    const std::string path = scratch + "/gimbalhub.json";
    e2e::writeFile(path, configurationText(positionPath));
    if (!persistedPosition.empty()) e2e::writeFile(positionPath, persistedPosition);
    return path;
}

void DaemonTest::startDaemon(const std::vector<std::string> &arguments,
                             const std::map<std::string, std::string> &simulator) {
    daemon = std::make_unique<e2e::Process>();
    e2e::SpawnOptions options;
    options.argv = {e2e::gimbalhubPath()};
    options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
    options.dropEnvPrefixes = {"SSP_SIM_", "LD_PRELOAD"};
    options.setEnv = simulator;
    options.setEnv["LD_PRELOAD"] = e2e::simulatorPreload();
    options.setEnv["SSP_SIM_TRACE"] = scratch + "/trace";
    options.stdoutPath = scratch + "/gimbalhub.out";
    options.stderrPath = scratch + "/gimbalhub.err";
    std::string error;
    ASSERT_TRUE(daemon->start(options, &error)) << error;
}

void DaemonTest::startReadyDaemon(const std::string &persistedPosition,
                                  const std::map<std::string, std::string> &simulator) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const std::string configuration = writeConfiguration(persistedPosition);
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration}, simulator));
    // Gives up early when the daemon has already ended.
    const bool ready = e2e::waitUntil(
        [&] {
            const auto lines = log();
            return !daemon->running() ||
                   (countMessage(lines, "Transitioning FSM: HOMMING_Y -> READY") > 0 &&
                    countMessage(lines, "Entering ubus main loop") > 0);
        },
        10);
    ASSERT_TRUE(ready && daemon->running()) << "the daemon did not get ready\n" << describe(log());
}

e2e::CommandResult DaemonTest::call(const std::string &method, const std::string &json) {
    return e2e::runCommand({e2e::ubusCliPath(), "-S", "-t", "5", "call", "gimbalhub", method, json},
                           15);
}

std::vector<e2e::LogLine> DaemonTest::log() const { return e2e::parseLog(daemonStderr()); }
std::string DaemonTest::daemonStdout() const { return e2e::readFile(scratch + "/gimbalhub.out"); }
std::string DaemonTest::daemonStderr() const { return e2e::readFile(scratch + "/gimbalhub.err"); }
std::vector<e2e::TraceEntry> DaemonTest::trace() const {
    return e2e::parseTrace(e2e::readFile(scratch + "/trace"));
}

std::vector<e2e::TraceEntry> DaemonTest::moves() const {
    std::vector<e2e::TraceEntry> result;
    for (const auto &entry : trace())
        if (entry.request == "MOVE") result.push_back(entry);
    return result;
}

bool DaemonTest::waitForLog(const std::string &message, int count, double timeout) const {
    return e2e::waitUntil(
        [&] { return countMessage(log(), message) >= static_cast<size_t>(count); }, timeout);
}

bool DaemonTest::waitForTrace(const std::string &request, size_t count, double timeout) const {
    return e2e::waitUntil(
        [&] {
            size_t seen = 0;
            for (const auto &entry : trace())
                if (entry.request == request) ++seen;
            return seen >= count;
        },
        timeout);
}

bool DaemonTest::waitForExit(double timeout) { return daemon && daemon->wait(timeout); }

size_t countMessage(const std::vector<e2e::LogLine> &lines, const std::string &message) {
    size_t count = 0;
    for (const auto &line : lines)
        if (line.message == message) ++count;
    return count;
}

long indexOf(const std::vector<e2e::LogLine> &lines, const std::string &message, size_t from) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].message == message) return static_cast<long>(i);
    return -1;
}

::testing::AssertionResult containsInOrder(const std::vector<e2e::LogLine> &lines,
                                           const std::vector<Expected> &expected) {
    size_t next = 0;
    for (const auto &want : expected) {
        bool found = false;
        for (; next < lines.size() && !found; ++next) {
            const auto &line = lines[next];
            found = line.message == want.message && line.level == want.level &&
                    line.function == want.function;
        }
        if (!found)
            return ::testing::AssertionFailure()
                   << "missing, or out of order: [" << want.level << "] <" << want.function << "> "
                   << want.message << "\nlog:\n"
                   << describe(lines);
    }
    return ::testing::AssertionSuccess();
}

std::string describe(const std::vector<e2e::LogLine> &lines) {
    std::ostringstream text;
    for (const auto &line : lines)
        text << "  " << (line.level.empty() ? "-" : line.level) << " <" << line.function << "> "
             << line.message << "\n";
    return text.str();
}

std::string describe(const std::vector<e2e::TraceEntry> &entries) {
    std::ostringstream text;
    for (const auto &entry : entries)
        text << "  " << entry.request << " dir=" << entry.direction << " steps=" << entry.steps
             << " x=" << entry.x << " y=" << entry.y << " result=" << entry.result << "\n";
    return text.str();
}
