// The one support library of every end-to-end run (daemon, bus and fault
// tests, the benchmark and the load run): the programs under test, child
// processes, a private bus, bounded waiting, and reading the daemon's log and
// the simulated driver's trace. No test framework and no bus library in
// here, so every suite and tool can use it.
#ifndef GIMBAL_E2E_SUPPORT_H
#define GIMBAL_E2E_SUPPORT_H

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "default_configuration.h"

namespace e2e {

// The programs of this build.
std::string gimbalhubPath();
std::string ubusdPath();      // GIMBAL_TEST_UBUSD, if set, names another broker
std::string ubusCliPath();    // GIMBAL_TEST_UBUS_CLI, another client tool
std::string simulatorPath();  // the LD_PRELOAD library

// The default bus socket, which the daemon always uses, and its directory.
extern const char kBusDirectory[];
extern const char kBusSocket[];

// LD_PRELOAD value that puts the simulated driver under the daemon (behind a
// sanitizer runtime named in GIMBAL_TEST_PRELOAD_PREFIX, which must come first).
std::string simulatorPreload();

// CLOCK_MONOTONIC in seconds: the clock the simulated driver stamps its trace with.
double monotonicNow();

// Polls the condition until it holds or the timeout runs out; the result is
// the condition's last value.
bool waitUntil(const std::function<bool()> &condition, double timeoutSeconds,
               double pollSeconds = 0.01);

std::string readFile(const std::string &path);
bool writeFile(const std::string &path, const std::string &content);

// Removes the colour and cursor escape sequences of the daemon's log lines.
std::string stripAnsi(const std::string &text);

// One line of the daemon's standard error, colours removed.
struct LogLine {
    std::string level;     // "Information", "Error", "Finished" (closing line) or "" (other text)
    std::string function;  // from "<function:line>", empty for other text
    int line = 0;
    std::string message;  // text after the level mark; whole line for other text
};
std::vector<LogLine> parseLog(const std::string &text);

// One request line of the simulated driver's trace file.
struct TraceEntry {
    double seconds = 0;
    std::string request;  // OPEN, INIT, GET, MOVE, POLL_FAIL
    int direction = 0;
    int64_t steps = 0;
    int64_t x = 0;
    int64_t y = 0;
    int result = 0;
};
std::vector<TraceEntry> parseTrace(const std::string &text);

// Reads a growing trace file and hands out only the lines added since the
// last call; a line still being written is kept back until it is complete.
class TraceFollower {
public:
    explicit TraceFollower(std::string path) : path_(std::move(path)) {}
    std::vector<TraceEntry> poll();

private:
    std::string path_;
    off_t offset_ = 0;
    std::string partial_;
};

struct SpawnOptions {
    std::vector<std::string> argv;              // argv[0] is the program path
    std::map<std::string, std::string> setEnv;  // added to or replacing the inherited environment
    std::vector<std::string> dropEnvPrefixes;   // inherited variables starting so are removed
    std::string stdoutPath;                     // empty: /dev/null
    std::string stderrPath;                     // empty: /dev/null
    bool captureStdout = false;                 // read with Process::waitLine instead
    bool inheritStderr = false;                 // the caller's stderr instead
};

// A child process; it is killed and reaped when the object goes away.
class Process {
public:
    Process() = default;
    // Starts argv with stdout captured and stderr inherited; throws
    // std::runtime_error when it cannot be started.
    explicit Process(const std::vector<std::string> &argv);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    // Starts the child; false (with the reason in *error) if it could not be started.
    bool start(const SpawnOptions &options, std::string *error);

    pid_t pid() const { return pid_; }
    bool running();
    // Waits up to the timeout for the child to end; true when it has ended.
    bool wait(double timeoutSeconds);
    bool exited() const;
    int exitStatus() const;  // valid when exited()
    bool signaled() const;
    int termSignal() const;  // valid when signaled()
    void signal(int number);
    // Sends sig (0: none, just wait), then SIGKILL after the grace period;
    // always reaps. The exit status, or -1 when it did not exit normally.
    int stop(double graceSeconds = 5, int sig = SIGTERM);

    // The next line of captured stdout that starts with prefix, or "" on
    // timeout or end of output.
    std::string waitLine(const std::string &prefix, double timeoutSeconds = 5);

private:
    bool reap(bool block);

    pid_t pid_ = -1;
    bool ended_ = false;
    int status_ = 0;
    int outFd_ = -1;
    std::string pending_;
};

// A broker of one's own: ubusd on the given socket, or on one in a fresh
// temporary directory (removed again) when none is given; ready once the
// socket accepts connections. Its output goes to logDir/ubusd.out and .err
// when a directory is given. Throws std::runtime_error when it does not
// come up.
class PrivateBus {
public:
    explicit PrivateBus(const std::string &socket = "", const std::string &logDir = "");
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    const std::string &socket() const { return socket_; }
    const std::string &dir() const { return dir_; }
    Process &process() { return process_; }
    bool alive() { return process_.running(); }
    void signal(int number) { process_.signal(number); }
    int stop() { return process_.stop(); }

private:
    std::string dir_;
    bool ownDir_ = false;
    std::string socket_;
    Process process_;
};

// Whether a Unix socket accepts connections now.
bool socketAccepts(const std::string &path);

// A short-lived command run to its end with its output captured.
struct CommandResult {
    bool finished = false;  // false: killed after the timeout
    int exitStatus = -1;    // -1 when it did not exit normally
    std::string out;
    std::string err;
};
// With stderrTty its stderr is a pseudo-terminal (for colour decisions).
CommandResult runCommand(const std::vector<std::string> &argv, double timeoutSeconds = 10,
                         bool stderrTty = false);

// Moves the calling process into a mount namespace of its own. Root
// unshares directly; any other user first enters a user namespace in which
// it is root, where the kernel allows that. The process must be
// single-threaded. False, with the reason, where neither works.
bool enterPrivateMountNamespace(std::string *why);

// In such a namespace: mounts a scratch tmpfs on dir, creating it first.
// Where the parent cannot be written (the host's /run seen from a user
// namespace), a tmpfs goes on the parent first.
bool mountScratchDir(const std::string &dir, std::string *why);

// Both of the above for the default bus directory: afterwards a broker and
// the daemon meet on kBusSocket without touching the host's bus.
bool enterPrivateBus(std::string *why);

// A bus client that sends one message again and again, as fast as the broker
// takes it, and never reads anything, not even the greeting. Runs on its own
// thread until stopped or destroyed.
class SilentFlooder {
public:
    // message: one complete bus message; its sequence number goes up per copy.
    SilentFlooder(const std::string &socketPath, std::vector<uint8_t> message);
    ~SilentFlooder();
    SilentFlooder(const SilentFlooder &) = delete;
    SilentFlooder &operator=(const SilentFlooder &) = delete;

    bool connected() const { return fd_ >= 0; }
    long sent() const { return sent_; }
    // Ends the thread and closes the connection.
    void stop();

private:
    void run();

    int fd_ = -1;
    std::vector<uint8_t> message_;
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
    std::thread thread_;
};

// Resident set size (kB) and CPU time (utime + stime, seconds) of a process;
// -1 when it cannot be read.
long residentKilobytes(pid_t pid);
double cpuSeconds(pid_t pid);

}  // namespace e2e

#endif  // GIMBAL_E2E_SUPPORT_H
