#include "e2e_util.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::vector<char *> argvOf(const std::vector<std::string> &args)
{
    std::vector<char *> v;
    for (auto &a : args)
        v.push_back(const_cast<char *>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

pid_t spawn(const std::vector<std::string> &args, int outFd, int errFd)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outFd, 1);
    posix_spawn_file_actions_adddup2(&fa, errFd, 2);
    // The test runner blocks nothing on purpose; children start with defaults.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    auto argv = argvOf(args);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &fa, &attr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return pid;
}

int decode(int wstatus)
{
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
}

}  // namespace

std::string ubusd() { return UBUSD_BIN; }
std::string cli() { return UBUS_CLI_BIN; }
std::string owner() { return UBUS_OWNER_BIN; }

RunResult run(const std::vector<std::string> &args, int timeoutMs, bool stderrTty)
{
    RunResult r;
    int outPipe[2];
    int errFds[2];  // [0] read side in the parent, [1] the child's stderr
    if (pipe2(outPipe, O_CLOEXEC) < 0)
        return r;
    if (stderrTty) {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        grantpt(master);
        unlockpt(master);
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        tcgetattr(slave, &tio);
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
        errFds[0] = master;
        errFds[1] = slave;
    } else if (pipe2(errFds, O_CLOEXEC) < 0) {
        return r;
    }

    pid_t pid = spawn(args, outPipe[1], errFds[1]);
    close(outPipe[1]);
    close(errFds[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errFds[0]);
        return r;
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true, errOpen = true, killed = false;
    while (outOpen || errOpen) {
        pollfd p[2] = {{outPipe[0], POLLIN, 0}, {errFds[0], POLLIN, 0}};
        int n = poll(p, 2, msLeft(deadline));
        if (n == 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        char buf[4096];
        for (int i = 0; i < 2; i++) {
            bool &open = i == 0 ? outOpen : errOpen;
            if (!open || !p[i].revents)
                continue;
            ssize_t got = read(p[i].fd, buf, sizeof(buf));
            if (got <= 0) {
                open = false;  // a pty master reads EIO once the child is gone
                p[i].fd = -1;
            } else {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
            }
        }
        if (!outOpen)
            p[0].fd = -1;
        if (!errOpen)
            p[1].fd = -1;
    }
    close(outPipe[0]);
    close(errFds[0]);
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = killed ? -1 : decode(ws);
    return r;
}

Process::Process(const std::vector<std::string> &args)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        throw std::runtime_error("pipe");
    pid_ = spawn(args, p[1], 2);
    close(p[1]);
    outFd_ = p[0];
    if (pid_ < 0)
        throw std::runtime_error("cannot start " + args[0]);
}

Process::~Process()
{
    if (running())
        stop(SIGKILL);
    if (outFd_ >= 0)
        close(outFd_);
}

std::string Process::waitLine(const std::string &prefix, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t nl;
        while ((nl = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            if (line.compare(0, prefix.size(), prefix) == 0)
                return line;
        }
        pollfd p = {outFd_, POLLIN, 0};
        if (poll(&p, 1, msLeft(deadline)) <= 0)
            return "";
        char buf[512];
        ssize_t got = read(outFd_, buf, sizeof(buf));
        if (got <= 0)
            return "";
        pending_.append(buf, static_cast<size_t>(got));
    }
}

bool Process::running()
{
    if (status_ != -2)
        return false;
    int ws = 0;
    if (waitpid(pid_, &ws, WNOHANG) == pid_) {
        status_ = decode(ws);
        return false;
    }
    return true;
}

int Process::stop(int sig, int timeoutMs)
{
    if (!running())
        return status_;
    kill(pid_, sig);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (running()) {
        if (msLeft(deadline) == 0) {
            kill(pid_, SIGKILL);
            int ws = 0;
            waitpid(pid_, &ws, 0);
            status_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

Broker::Broker()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "ubus-e2e-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    socket_ = dir_ + "/ubus.sock";
    proc_ = new Process({ubusd(), "-s", socket_});
    // Ready once a connection gets its greeting.
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (msLeft(deadline) > 0) {
        RawClient probe(socket_);
        if (probe.connected())
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error("broker did not come up on " + socket_);
}

Broker::~Broker()
{
    delete proc_;
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

blob_attr *Message::attr(int id)
{
    blob_attr *found = nullptr;
    size_t rem = body.size();
    uint8_t *pos = body.data();
    while (rem >= 4) {
        auto *a = reinterpret_cast<blob_attr *>(pos);
        size_t raw = blob_raw_len(a);
        size_t pad = blob_pad_len(a);
        if (raw < 4 || pad > rem)
            break;
        if (static_cast<int>(blob_id(a)) == id)
            found = a;
        rem -= pad;
        pos += pad;
    }
    return found;
}

int Message::status()
{
    blob_attr *a = attr(UBUS_ATTR_STATUS);
    return a && blob_len(a) == 4 ? static_cast<int>(blob_get_u32(a)) : -1000;
}

RawClient::RawClient(const std::string &socketPath)
{
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    Message hello;
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0 || !receive(hello, 3000) ||
        hello.type != UBUS_MSG_HELLO) {
        close(fd_);
        fd_ = -1;
        return;
    }
    id_ = hello.peer;
}

RawClient::~RawClient()
{
    if (fd_ >= 0)
        close(fd_);
}

void RawClient::sendBytes(const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void RawClient::send(uint8_t type, uint16_t seq, uint32_t peer, const blob_attr *root)
{
    std::vector<uint8_t> msg(8 + blob_raw_len(root));
    msg[1] = type;
    msg[2] = static_cast<uint8_t>(seq >> 8);
    msg[3] = static_cast<uint8_t>(seq);
    uint32_t be = htobe32(peer);
    memcpy(&msg[4], &be, 4);
    memcpy(&msg[8], root, blob_raw_len(root));
    sendBytes(msg.data(), msg.size());
}

bool RawClient::readExact(void *buf, size_t len, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto *p = static_cast<uint8_t *>(buf);
    while (len > 0) {
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, msLeft(deadline)) <= 0)
            return false;
        ssize_t n = recv(fd_, p, len, 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::receive(Message &msg, int timeoutMs)
{
    uint8_t hdr[12];
    if (fd_ < 0 || !readExact(hdr, sizeof(hdr), timeoutMs))
        return false;
    msg.type = hdr[1];
    msg.seq = static_cast<uint16_t>((hdr[2] << 8) | hdr[3]);
    uint32_t peer;
    memcpy(&peer, &hdr[4], 4);
    msg.peer = be32toh(peer);
    uint32_t raw = (static_cast<uint32_t>(hdr[9]) << 16) | (static_cast<uint32_t>(hdr[10]) << 8) | hdr[11];
    if (raw < 4 || raw > UBUS_MAX_MSGLEN)
        return false;
    msg.body.assign(((raw + 3) & ~3u) - 4, 0);
    return readExact(msg.body.data(), raw - 4, timeoutMs);
}

bool RawClient::closedByPeer(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, msLeft(deadline)) <= 0)
            return false;
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
    }
}

}  // namespace e2e
