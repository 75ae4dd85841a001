// Helpers for the bus end-to-end tests: child processes with captured
// output, a private broker per test and a raw protocol client.
#ifndef UBUS_TESTS_E2E_UTIL_H
#define UBUS_TESTS_E2E_UTIL_H

#include <libubus.h>

#include <sys/types.h>

#include <csignal>

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct RunResult {
    int status = -1;  // exit status, or -1 if killed or timed out
    std::string out;
    std::string err;
};

// Runs a program to completion (killed after timeoutMs). With stderrTty the
// child's stderr is a pseudo-terminal.
RunResult run(const std::vector<std::string> &args, int timeoutMs = 10000, bool stderrTty = false);

class Process {
public:
    explicit Process(const std::vector<std::string> &args);
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    // Waits for a stdout line starting with prefix; returns it, or "" on timeout/EOF.
    std::string waitLine(const std::string &prefix, int timeoutMs = 5000);
    bool running();
    // Sends sig and waits for the exit; returns the exit status or -1.
    int stop(int sig, int timeoutMs = 5000);

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string pending_;
    int status_ = -2;
};

// A broker on a socket in a fresh temporary directory.
class Broker {
public:
    Broker();
    ~Broker();
    const std::string &socket() const { return socket_; }
    const std::string &dir() const { return dir_; }
    Process &process() { return *proc_; }
    bool alive() { return proc_ && proc_->running(); }
    int stop() { return proc_->stop(SIGTERM); }

private:
    std::string dir_;
    std::string socket_;
    Process *proc_ = nullptr;
};

struct Message {
    uint8_t type = 0;
    uint16_t seq = 0;
    uint32_t peer = 0;
    std::vector<uint8_t> body;  // the root's payload
    blob_attr *attr(int id);    // last attribute with that id, or nullptr
    int status();               // STATUS attribute, or -1000 if absent
};

// Speaks the wire protocol directly, for what the library would never send.
class RawClient {
public:
    explicit RawClient(const std::string &socketPath);
    ~RawClient();
    bool connected() const { return fd_ >= 0; }
    uint32_t id() const { return id_; }
    int fd() const { return fd_; }
    void sendBytes(const void *data, size_t len);
    void send(uint8_t type, uint16_t seq, uint32_t peer, const blob_attr *root);
    bool receive(Message &msg, int timeoutMs = 3000);
    // True once the broker has closed the connection (within timeoutMs).
    bool closedByPeer(int timeoutMs = 3000);

private:
    bool readExact(void *buf, size_t len, int timeoutMs);
    int fd_ = -1;
    uint32_t id_ = 0;
};

std::string ubusd();
std::string cli();
std::string owner();

}  // namespace e2e

#endif
