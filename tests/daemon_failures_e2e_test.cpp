// How the daemon ends when it cannot start or cannot go on: the lines it
// leaves behind and its exit status (a supervisor restarts on status 1).
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "daemon_fixture.h"

namespace {

const char kAtZero[] = R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})";

// What this C library's getopt prints after "<program>" for an unknown
// option, taken from getopt itself in a child (the wording differs between
// C libraries).
std::string getoptDiagnostic(const char *option) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        dup2(fds[1], STDERR_FILENO);
        char program[] = "probe";
        char unknown[16];
        snprintf(unknown, sizeof unknown, "%s", option);
        char *argv[] = {program, unknown, nullptr};
        getopt(2, argv, "c:");
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[256];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    close(fds[0]);
    waitpid(child, nullptr, 0);
    return text.rfind("probe", 0) == 0 ? text.substr(5) : "unexpected probe output: " + text;
}

bool deviceWasOpened(const std::vector<e2e::TraceEntry> &requests) {
    for (const auto &entry : requests)
        if (entry.request == "OPEN") return true;
    return false;
}

}  // namespace

class DaemonStartupFailure : public DaemonTest {
protected:
    // The daemon ends by itself with status 1 and a normal exit (no crash).
    void expectFailedExit() {
        ASSERT_TRUE(waitForExit()) << describe(log());
        EXPECT_TRUE(daemon->exited()) << "ended by signal " << daemon->termSignal();
        EXPECT_EQ(1, daemon->exitStatus());
        EXPECT_EQ(0u, countMessage(log(), "Program finished successfully!"));
    }

    std::string usage() const {
        return "Mode of use:\n" + e2e::gimbalhubPath() + " [-c configuration_file]\n";
    }
};

TEST_F(DaemonStartupFailure, NoConfigurationOptionPrintsUsage) {
    ASSERT_NO_FATAL_FAILURE(startDaemon({}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    EXPECT_EQ(usage(), daemonStdout());
    EXPECT_FALSE(deviceWasOpened(trace()));
    EXPECT_EQ(0u, countMessage(log(), "Initializing U-Bus context and objects"));
}

TEST_F(DaemonStartupFailure, EmptyConfigurationPathPrintsUsage) {
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", ""}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    EXPECT_EQ(usage(), daemonStdout());
    EXPECT_FALSE(deviceWasOpened(trace()));
}

TEST_F(DaemonStartupFailure, UnknownOptionPrintsDiagnosticAndUsage) {
    // Probed first, before this process has any other thread.
    const std::string diagnostic = getoptDiagnostic("-x");
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-x", "-c", "whatever.json"}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    EXPECT_EQ(usage(), daemonStdout());
    EXPECT_NE(std::string::npos, daemonStderr().find(diagnostic))
        << "expected: " << diagnostic << daemonStderr();
    EXPECT_FALSE(deviceWasOpened(trace()));
}

TEST_F(DaemonStartupFailure, MissingConfigurationFile) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const std::string missing = scratch + "/absent.json";
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", missing}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    const auto lines = log();
    EXPECT_TRUE(containsInOrder(
        lines, {
                   {"Error", "loadConfiguration", "Error opening configuration file: " + missing},
                   {"Error", "initialize", "No persistent location file provided. aborting"},
                   {"Error", "main",
                    "Caught MotorControlException with content: No persistent location file "
                    "provided. aborting"},
               }));
    EXPECT_EQ(0u, countMessage(lines, "Entering ubus main loop"));
    EXPECT_FALSE(deviceWasOpened(trace()));
}

TEST_F(DaemonStartupFailure, MalformedConfigurationFile) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const std::string path = scratch + "/broken.json";
    e2e::writeFile(path, "{ \"MotorControl\": { \"PanMax\": 177.5,");
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", path}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    const auto lines = log();
    const std::string prefix =
        "Caught exception of unknown type with content: [json.exception.parse_error";
    bool found = false;
    for (const auto &line : lines)
        if (line.level == "Error" && line.function == "main" &&
            line.message.compare(0, prefix.size(), prefix) == 0)
            found = true;
    EXPECT_TRUE(found) << describe(lines);
    EXPECT_EQ(0u, countMessage(lines, "Entering ubus main loop"));
    EXPECT_FALSE(deviceWasOpened(trace()));
}

TEST_F(DaemonStartupFailure, NoBrokerRunning) {
    const std::string configuration = writeConfiguration(kAtZero);
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    const auto lines = log();
    EXPECT_TRUE(containsInOrder(lines, {
                                           {"Error", "ubus_init", "Failed to connect to ubus"},
                                           {"Error", "program", "Unable to init ubs rpc"},
                                       }));
    // The controller is never built: no configuration read, no device opened.
    EXPECT_EQ(0u, countMessage(lines, "Initialize"));
    EXPECT_FALSE(deviceWasOpened(trace()));
}

// A broker that accepts connections but never sends its greeting.
class SilentBroker {
public:
    SilentBroker() {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, e2e::kBusSocket, sizeof address.sun_path - 1);
        listening_ = fd_ >= 0 &&
                     bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                     listen(fd_, 4) == 0;
    }
    ~SilentBroker() {
        if (peer_ >= 0) close(peer_);
        if (fd_ >= 0) close(fd_);
    }
    bool listening() const { return listening_; }
    bool acceptOne(double timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout * 1000)) != 1) return false;
        peer_ = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        return peer_ >= 0;
    }

private:
    int fd_ = -1;
    int peer_ = -1;
    bool listening_ = false;
};

void expectConnectFailureLines(const std::vector<e2e::LogLine> &lines) {
    EXPECT_TRUE(containsInOrder(lines, {
                                           {"Error", "ubus_init", "Failed to connect to ubus"},
                                           {"Error", "program", "Unable to init ubs rpc"},
                                       }));
}

TEST_F(DaemonStartupFailure, SignalWhileWaitingForGreetingEndsAtOnce) {
    SilentBroker silent;
    ASSERT_TRUE(silent.listening());
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", writeConfiguration(kAtZero)}));
    ASSERT_TRUE(silent.acceptOne(10));
    // Signal only once the daemon sleeps in the wait for the greeting.
    const std::string syscallFile = "/proc/" + std::to_string(daemon->pid()) + "/syscall";
    ASSERT_TRUE(e2e::waitUntil(
        [&] {
            // "running" while on a CPU, else the number of the blocking call
            const std::string text = e2e::readFile(syscallFile);
            if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
            const long number = std::atol(text.c_str());
#ifdef SYS_poll
            if (number == SYS_poll) return true;
#endif
            return number == SYS_ppoll;
        },
        10));
    daemon->signal(SIGTERM);
    ASSERT_TRUE(daemon->wait(2)) << "still waiting for the greeting after SIGTERM";
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    expectConnectFailureLines(log());
}

TEST_F(DaemonStartupFailure, BrokerThatNeverGreetsEndsStartUpInBoundedTime) {
    SilentBroker silent;
    ASSERT_TRUE(silent.listening());
    const double started = e2e::monotonicNow();
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", writeConfiguration(kAtZero)}));
    ASSERT_TRUE(silent.acceptOne(10));
    ASSERT_TRUE(daemon->wait(15)) << "start-up hangs on a broker that never greets";
    EXPECT_GE(e2e::monotonicNow() - started, 4.0);  // not given up before the bound
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    expectConnectFailureLines(log());
    EXPECT_FALSE(deviceWasOpened(trace()));
}

TEST_F(DaemonStartupFailure, ObjectAlreadyOnTheBus) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    std::unique_ptr<e2e::Process> first = std::move(daemon);
    const std::string configuration = writeConfiguration(kAtZero);
    // The second daemon keeps its log and trace apart from the first one's.
    const std::string firstScratch = scratch;
    scratch += "/second";
    ASSERT_EQ(0, mkdir(scratch.c_str(), 0755));
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    const auto lines = log();
    EXPECT_TRUE(
        containsInOrder(lines, {
                                   {"Error", "ubus_init", "Failed to add object: Invalid argument"},
                                   {"Error", "program", "Unable to init ubs rpc"},
                               }));
    EXPECT_EQ(0u, countMessage(lines, "Initialize"));
    EXPECT_FALSE(deviceWasOpened(trace()));
    scratch = firstScratch;
    daemon = std::move(first);
    // The object registered first is still served.
    EXPECT_EQ("{\"pan\":0,\"tilt\":0}\n", call("getPosition", "{}").out);
}

TEST_F(DaemonStartupFailure, NoMotorDevice) {
    ASSERT_NO_FATAL_FAILURE(startBroker());
    const std::string configuration = writeConfiguration(kAtZero);
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", configuration}, {{"SSP_SIM_ABSENT", "1"}}));
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    const std::string text =
        "Unable to open device /dev/ssp." + std::string(std::strerror(ENOENT)) + " (2).";
    const auto lines = log();
    EXPECT_TRUE(containsInOrder(
        lines, {
                   {"Error", "initialize", text},
                   {"Error", "main", "Caught MotorControlException with content: " + text},
                   {"Information", "~MotorControl", "destroying"},
                   {"Information", "~MotorControl", "destroyed"},
               }));
    EXPECT_EQ(0u, countMessage(lines, "Starting control thread"));
    EXPECT_EQ(0u, countMessage(lines, "Stopping control thread"));
    EXPECT_EQ(0u, countMessage(lines, "Entering ubus main loop"));
}

class DaemonRuntimeFailure : public DaemonStartupFailure {};

TEST_F(DaemonRuntimeFailure, BrokerLossEndsDaemonWithFailure) {
    ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero));
    ASSERT_NO_FATAL_FAILURE(killBroker());
    ASSERT_NO_FATAL_FAILURE(expectFailedExit());
    EXPECT_TRUE(containsInOrder(
        log(), {
                   {"Information", "program", "Entering ubus main loop"},
                   {"Error", "on_connection_lost", "Connection to ubus lost"},
                   {"Information", "program", "ubus main loop exited. Terminating ubus"},
                   {"Information", "ubus_deinit", "Freeing U-Bus context"},
                   {"Error", "program", "Exiting after the loss of the ubus connection"},
               }));
}
