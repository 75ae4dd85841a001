#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace e2e {

std::string gimbalhubPath() { return E2E_GIMBALHUB; }
// The interoperability runs put the real broker and tool in the bundled
// ones' places.
static std::string chosen(const char *variable, const char *bundled) {
    const char *path = getenv(variable);
    return path != nullptr && *path != '\0' ? path : bundled;
}
std::string ubusdPath() { return chosen("GIMBAL_TEST_UBUSD", E2E_UBUSD); }
std::string ubusCliPath() { return chosen("GIMBAL_TEST_UBUS_CLI", E2E_UBUS_CLI); }
std::string simulatorPath() { return E2E_SSPSIM; }

const char kBusDirectory[] = "/var/run/ubus";
const char kBusSocket[] = "/var/run/ubus/ubus.sock";

std::string simulatorPreload() {
    const char *prefix = getenv("GIMBAL_TEST_PRELOAD_PREFIX");
    return (prefix != nullptr && *prefix != '\0') ? std::string(prefix) + " " + simulatorPath()
                                                  : simulatorPath();
}

double monotonicNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

static void sleepSeconds(double seconds) {
    struct timespec pause;
    pause.tv_sec = static_cast<time_t>(seconds);
    pause.tv_nsec = static_cast<long>((seconds - static_cast<double>(pause.tv_sec)) * 1e9);
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

bool waitUntil(const std::function<bool()> &condition, double timeoutSeconds, double pollSeconds) {
    const double deadline = monotonicNow() + timeoutSeconds;
    while (true) {
        if (condition()) return true;
        if (monotonicNow() >= deadline) return condition();
        sleepSeconds(pollSeconds);
    }
}

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

std::string stripAnsi(const std::string &text) {
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            size_t end = i + 2;
            while (end < text.size() &&
                   (isdigit(static_cast<unsigned char>(text[end])) || text[end] == ';'))
                ++end;
            if (end < text.size()) {  // the final letter of the sequence
                i = end;
                continue;
            }
        }
        plain += text[i];
    }
    return plain;
}

// "<function:line> [Information] message", "<function:line> [Error] message"
// or "<function:line> Program finished successfully!".
static LogLine parseLogLine(const std::string &plain) {
    LogLine entry;
    entry.message = plain;
    if (plain.empty() || plain[0] != '<') return entry;
    const size_t close = plain.find("> ");
    if (close == std::string::npos) return entry;
    const std::string where = plain.substr(1, close - 1);
    const size_t colon = where.rfind(':');
    if (colon == std::string::npos) return entry;
    const std::string number = where.substr(colon + 1);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return entry;
    std::string rest = plain.substr(close + 2);
    // The cursor moves of the format may leave blanks before the mark.
    rest.erase(0, rest.find_first_not_of(' '));
    static const std::pair<const char *, const char *> marks[] = {{"[Information] ", "Information"},
                                                                  {"[Error] ", "Error"}};
    for (const auto &mark : marks) {
        const size_t length = strlen(mark.first);
        if (rest.compare(0, length, mark.first) == 0) {
            entry.level = mark.second;
            entry.message = rest.substr(length);
        }
    }
    if (entry.level.empty() && rest == "Program finished successfully!") {
        entry.level = "Finished";
        entry.message = rest;
    }
    if (entry.level.empty()) return entry;
    entry.function = where.substr(0, colon);
    entry.line = atoi(number.c_str());
    return entry;
}

std::vector<LogLine> parseLog(const std::string &text) {
    std::vector<LogLine> lines;
    std::istringstream in(stripAnsi(text));
    std::string line;
    while (std::getline(in, line)) lines.push_back(parseLogLine(line));
    return lines;
}

static bool parseTraceLine(const std::string &line, TraceEntry &entry) {
    char request[32];
    long long steps = 0, x = 0, y = 0;
    int consumed = 0;
    if (sscanf(line.c_str(), "%lf %31s dir=%d steps=%lld x=%lld y=%lld result=%d%n", &entry.seconds,
               request, &entry.direction, &steps, &x, &y, &entry.result, &consumed) != 7)
        return false;
    entry.request = request;
    entry.steps = steps;
    entry.x = x;
    entry.y = y;
    return true;
}

std::vector<TraceEntry> parseTrace(const std::string &text) {
    std::vector<TraceEntry> entries;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        TraceEntry entry;
        if (parseTraceLine(line, entry)) entries.push_back(entry);
    }
    return entries;
}

std::vector<TraceEntry> TraceFollower::poll() {
    std::vector<TraceEntry> entries;
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return entries;
    char buffer[8192];
    ssize_t got;
    while ((got = pread(fd, buffer, sizeof buffer, offset_)) > 0) {
        offset_ += got;
        partial_.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    size_t start = 0;
    size_t end;
    while ((end = partial_.find('\n', start)) != std::string::npos) {
        TraceEntry entry;
        if (parseTraceLine(partial_.substr(start, end - start), entry)) entries.push_back(entry);
        start = end + 1;
    }
    partial_.erase(0, start);
    return entries;
}

static std::vector<std::string> buildEnvironment(const SpawnOptions &options) {
    std::vector<std::string> env;
    for (char **item = environ; *item != nullptr; ++item) {
        const std::string entry(*item);
        const std::string name = entry.substr(0, entry.find('='));
        bool drop = options.setEnv.count(name) != 0;
        for (const auto &prefix : options.dropEnvPrefixes)
            if (name.compare(0, prefix.size(), prefix) == 0) drop = true;
        if (!drop) env.push_back(entry);
    }
    for (const auto &pair : options.setEnv) env.push_back(pair.first + "=" + pair.second);
    return env;
}

static std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (auto &text : strings) result.push_back(&text[0]);
    result.push_back(nullptr);
    return result;
}

// Only async-signal-safe calls between fork and exec.
static void redirect(const std::string &path, int target, int flags) {
    const int fd = open(path.empty() ? "/dev/null" : path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, target) < 0) _exit(126);
    close(fd);
}

// Children start with no signal blocked, whatever the test runner blocks.
static void unblockSignals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

Process::Process(const std::vector<std::string> &argv) {
    SpawnOptions options;
    options.argv = argv;
    options.captureStdout = true;
    options.inheritStderr = true;
    std::string error;
    if (!start(options, &error)) throw std::runtime_error("cannot start " + error);
}

Process::~Process() {
    if (pid_ > 0 && !ended_) stop(1.0);
    if (outFd_ >= 0) close(outFd_);
}

bool Process::start(const SpawnOptions &options, std::string *error) {
    if (options.argv.empty()) {
        if (error) *error = "no program";
        return false;
    }
    std::vector<std::string> args = options.argv;
    std::vector<std::string> env = buildEnvironment(options);
    std::vector<char *> argvPointers = pointers(args);
    std::vector<char *> envPointers = pointers(env);

    // The child reports a failed exec through this pipe; success closes it.
    int report[2];
    int out[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0 || (options.captureStdout && pipe2(out, O_CLOEXEC) != 0)) {
        if (error) *error = strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        if (error) *error = strerror(errno);
        close(report[0]);
        close(report[1]);
        if (out[0] >= 0) close(out[0]);
        if (out[1] >= 0) close(out[1]);
        return false;
    }
    if (child == 0) {
        close(report[0]);
        unblockSignals();
        redirect("", STDIN_FILENO, O_RDONLY);
        if (options.captureStdout) {
            if (dup2(out[1], STDOUT_FILENO) < 0) _exit(126);
        } else {
            redirect(options.stdoutPath, STDOUT_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
        }
        if (!options.inheritStderr)
            redirect(options.stderrPath, STDERR_FILENO, O_WRONLY | O_CREAT | O_TRUNC);
        execve(argvPointers[0], argvPointers.data(), envPointers.data());
        const int code = errno;
        ssize_t ignored = write(report[1], &code, sizeof code);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    if (options.captureStdout) {
        close(out[1]);
        outFd_ = out[0];
    }
    int code = 0;
    ssize_t got;
    do {
        got = read(report[0], &code, sizeof code);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    pid_ = child;
    ended_ = false;
    if (got == static_cast<ssize_t>(sizeof code)) {
        reap(true);
        if (error) *error = options.argv[0] + ": " + strerror(code);
        return false;
    }
    return true;
}

bool Process::reap(bool block) {
    if (pid_ <= 0 || ended_) return ended_;
    int status = 0;
    pid_t done;
    do {
        done = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (done < 0 && errno == EINTR);
    if (done == pid_) {
        ended_ = true;
        status_ = status;
    }
    return ended_;
}

bool Process::running() { return pid_ > 0 && !reap(false); }

bool Process::wait(double timeoutSeconds) {
    return waitUntil([this] { return reap(false); }, timeoutSeconds, 0.005);
}

bool Process::exited() const { return ended_ && WIFEXITED(status_); }
int Process::exitStatus() const { return WEXITSTATUS(status_); }
bool Process::signaled() const { return ended_ && WIFSIGNALED(status_); }
int Process::termSignal() const { return WTERMSIG(status_); }

void Process::signal(int number) {
    if (pid_ > 0 && !ended_) kill(pid_, number);
}

int Process::stop(double graceSeconds, int sig) {
    if (pid_ > 0 && !ended_) {
        if (sig != 0) kill(pid_, sig);
        if (!wait(graceSeconds)) {
            kill(pid_, SIGKILL);
            reap(true);
        }
    }
    return exited() ? exitStatus() : -1;
}

std::string Process::waitLine(const std::string &prefix, double timeoutSeconds) {
    const double deadline = monotonicNow() + timeoutSeconds;
    for (;;) {
        size_t newline;
        while ((newline = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
        }
        const double left = deadline - monotonicNow();
        struct pollfd p = {outFd_, POLLIN, 0};
        if (outFd_ < 0 || left <= 0 || ::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0)
            return "";
        char buffer[512];
        const ssize_t got = read(outFd_, buffer, sizeof buffer);
        if (got <= 0) return "";
        pending_.append(buffer, static_cast<size_t>(got));
    }
}

bool socketAccepts(const std::string &path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

PrivateBus::PrivateBus(const std::string &socket, const std::string &logDir) : socket_(socket) {
    if (socket_.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "ubus-e2e-XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        ownDir_ = true;
        socket_ = dir_ + "/ubus.sock";
    } else {
        dir_ = std::filesystem::path(socket_).parent_path().string();
    }
    SpawnOptions options;
    options.argv = {ubusdPath()};
    if (socket_ != kBusSocket) options.argv.insert(options.argv.end(), {"-s", socket_});
    if (logDir.empty()) {
        options.inheritStderr = true;
    } else {
        options.stdoutPath = logDir + "/ubusd.out";
        options.stderrPath = logDir + "/ubusd.err";
    }
    std::string error;
    if (!process_.start(options, &error)) throw std::runtime_error("cannot start " + error);
    if (!waitUntil([this] { return socketAccepts(socket_); }, 10))
        throw std::runtime_error("the broker did not listen on " + socket_);
}

PrivateBus::~PrivateBus() {
    process_.stop(2);
    if (ownDir_) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

CommandResult runCommand(const std::vector<std::string> &argv, double timeoutSeconds,
                         bool stderrTty) {
    CommandResult result;
    int out[2], err[2];  // err[0] is read here, err[1] is the child's stderr
    if (pipe2(out, O_CLOEXEC) != 0) return result;
    if (stderrTty) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        const int slave = master < 0 || grantpt(master) != 0 || unlockpt(master) != 0
                              ? -1
                              : open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0) {
            if (master >= 0) close(master);
            close(out[0]);
            close(out[1]);
            return result;
        }
        struct termios raw {};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        err[0] = master;
        err[1] = slave;
    } else if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    std::vector<std::string> args = argv;
    std::vector<char *> argvPointers = pointers(args);
    const pid_t child = fork();
    if (child == 0) {
        unblockSignals();
        redirect("", STDIN_FILENO, O_RDONLY);
        if (dup2(out[1], STDOUT_FILENO) < 0 || dup2(err[1], STDERR_FILENO) < 0) _exit(126);
        execv(argvPointers[0], argvPointers.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (child < 0) {
        close(out[0]);
        close(err[0]);
        return result;
    }

    const double deadline = monotonicNow() + timeoutSeconds;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int openPipes = 2;
    bool timedOut = false;
    while (openPipes > 0) {
        const double left = deadline - monotonicNow();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(left * 1000) + 1);
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {  // a pty master reads EIO at the end
                close(fds[i].fd);
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    for (auto &fd : fds)
        if (fd.fd >= 0) close(fd.fd);

    if (timedOut) kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.finished = !timedOut;
    if (!timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

long residentKilobytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    }
    return -1;
}

double cpuSeconds(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold blanks and parentheses; fields follow the last ')'.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields 3..13 come before utime (14) and stime (15).
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) utime = strtoull(field.c_str(), nullptr, 10);
        if (index == 15) stime = strtoull(field.c_str(), nullptr, 10);
    }
    const long ticks = sysconf(_SC_CLK_TCK);
    if (ticks <= 0) return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(ticks);
}

static bool writeProcFile(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

bool enterPrivateMountNamespace(std::string *why) {
    if (geteuid() != 0) {
        // Root inside is only the caller outside: one id each way, no groups.
        const uid_t uid = geteuid();
        const gid_t gid = getegid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            *why = std::string("not root, and no user namespace (unshare -r): ") + strerror(errno);
            return false;
        }
        if (!writeProcFile("/proc/self/setgroups", "deny") ||
            !writeProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !writeProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            *why = std::string("cannot map ids in the user namespace: ") + strerror(errno);
            return false;
        }
    } else if (unshare(CLONE_NEWNS) != 0) {
        *why = std::string("no mount namespace (unshare -m): ") + strerror(errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *why = std::string("cannot make the mounts private: ") + strerror(errno);
        return false;
    }
    return true;
}

bool enterPrivateBus(std::string *why) {
    return enterPrivateMountNamespace(why) && mountScratchDir(kBusDirectory, why);
}

bool mountScratchDir(const std::string &dir, std::string *why) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(dir, ec) && !fs::create_directories(dir, ec)) {
        const fs::path parent = fs::canonical(fs::path(dir).parent_path(), ec);
        if (ec || mount("tmpfs", parent.c_str(), "tmpfs", 0, "mode=0755") != 0 ||
            !fs::create_directories(dir, ec)) {
            *why = "cannot create " + dir;
            return false;
        }
    }
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        *why = "cannot mount a tmpfs on " + dir + ": " + strerror(errno);
        return false;
    }
    return true;
}

SilentFlooder::SilentFlooder(const std::string &socketPath, std::vector<uint8_t> message)
    : message_(std::move(message)) {
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path || message_.size() < 8) return;
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        fcntl(fd_, F_SETFL, O_NONBLOCK) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    thread_ = std::thread([this] { run(); });
}

SilentFlooder::~SilentFlooder() { stop(); }

void SilentFlooder::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void SilentFlooder::run() {
    for (uint16_t seq = 1; !stop_; ++seq) {
        message_[2] = static_cast<uint8_t>(seq >> 8);
        message_[3] = static_cast<uint8_t>(seq);
        size_t done = 0;
        while (done < message_.size() && !stop_) {
            const ssize_t n =
                send(fd_, message_.data() + done, message_.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                // Short waits, so that stop() is prompt while the broker holds us back.
                struct pollfd p = {fd_, POLLOUT, 0};
                poll(&p, 1, 50);
            } else {
                return;
            }
        }
        if (done == message_.size()) ++sent_;
    }
}

}  // namespace e2e
