// Test fixture that runs the real gimbalhub against its own bus broker and
// the simulated motor driver.
//
// The daemon always uses the default bus socket, so every test gets a private
// mount namespace with a fresh tmpfs on /var/run/ubus: tests can run side by
// side and never meet a broker of the host.
#ifndef GIMBAL_DAEMON_FIXTURE_H
#define GIMBAL_DAEMON_FIXTURE_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"

// Expected log line: level ("Information", "Error", "Finished"), function, message.
struct Expected {
    std::string level;
    std::string function;
    std::string message;
};

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the broker on the default socket and waits until it listens.
    void startBroker();
    void killBroker();

    // A configuration with the usual limits whose persistence file is
    // <scratch>/position.json; persistedPosition, if not empty, is written there.
    std::string writeConfiguration(const std::string &persistedPosition);

    // Starts gimbalhub with the given arguments (after argv[0]) and extra
    // simulator settings; stdout and stderr go to files in the scratch dir.
    void startDaemon(const std::vector<std::string> &arguments,
                     const std::map<std::string, std::string> &simulator = {});
    // Broker, configuration with the given persisted position, daemon, and
    // the wait until homing has ended in READY.
    void startReadyDaemon(const std::string &persistedPosition,
                          const std::map<std::string, std::string> &simulator = {});

    // Runs the client tool: ubus -S -t 5 call gimbalhub <method> <json>.
    e2e::CommandResult call(const std::string &method, const std::string &json);

    std::vector<e2e::LogLine> log() const;
    std::string daemonStdout() const;
    std::string daemonStderr() const;
    std::vector<e2e::TraceEntry> trace() const;
    std::vector<e2e::TraceEntry> moves() const;

    // Waits (bounded) until the log holds `count` lines with this message.
    bool waitForLog(const std::string &message, int count = 1, double timeout = 10) const;
    // Waits until the trace holds `count` requests of this kind.
    bool waitForTrace(const std::string &request, size_t count, double timeout = 10) const;
    // Waits for the daemon to end; false if it was still running after the timeout.
    bool waitForExit(double timeout = 10);

    std::string scratch;
    std::string positionPath;
    std::unique_ptr<e2e::PrivateBus> broker;
    std::unique_ptr<e2e::Process> daemon;
};

// The number of lines with this message (any level, any function).
size_t countMessage(const std::vector<e2e::LogLine> &lines, const std::string &message);
// The index of the first line with this message at or after `from`, or -1.
long indexOf(const std::vector<e2e::LogLine> &lines, const std::string &message, size_t from = 0);

// Passes when the expected lines appear in this order (other lines may lie
// between them) with the given level and function.
::testing::AssertionResult containsInOrder(const std::vector<e2e::LogLine> &lines,
                                           const std::vector<Expected> &expected);

std::string describe(const std::vector<e2e::LogLine> &lines);
std::string describe(const std::vector<e2e::TraceEntry> &entries);

#endif  // GIMBAL_DAEMON_FIXTURE_H
