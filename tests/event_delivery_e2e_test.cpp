// The daemon's events against a broker that is slow to confirm them, as one
// busy fanning each event out to thousands of listeners is: calls are still
// answered meanwhile, and what cannot wait is counted and logged.
#include <libubus.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <ubusmsg.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control_fixture.h"

namespace {

int unixSocket(const std::string &path, bool listening) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto *raw = reinterpret_cast<const sockaddr *>(&address);
    const bool ok = listening ? bind(fd, raw, sizeof address) == 0 && listen(fd, 4) == 0
                              : connect(fd, raw, sizeof address) == 0;
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

bool writeAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Between the daemon (one connection) and the broker. While holding, the
// broker's confirmations of the daemon's event sends are kept back; the
// rest of the traffic passes.
class ConfirmationHolder {
public:
    ConfirmationHolder(const std::string &listenPath, const std::string &brokerPath)
        : brokerPath(brokerPath), listener(unixSocket(listenPath, true)) {
        if (pipe(wakeup) != 0 || listener < 0) throw std::runtime_error("proxy set-up failed");
        thread = std::thread([this] { run(); });
    }
    ~ConfirmationHolder() {
        stopping = true;
        poke();
        thread.join();
        for (int fd : {listener, daemon, broker, wakeup[0], wakeup[1]})
            if (fd >= 0) close(fd);
    }
    void hold(bool on) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            holding = on;
        }
        poke();
    }
    size_t held() {
        std::lock_guard<std::mutex> lock(mutex);
        return kept.size() + released;
    }

private:
    void poke() {
        char byte = 1;
        ssize_t ignored = write(wakeup[1], &byte, 1);
        (void)ignored;
    }

    // Whole messages from the front of a stream buffer.
    static std::vector<std::string> split(std::string &buffer) {
        std::vector<std::string> messages;
        while (buffer.size() >= sizeof(ubus_msghdr) + 4) {
            uint32_t word = 0;
            memcpy(&word, buffer.data() + sizeof(ubus_msghdr), 4);
            const size_t size = sizeof(ubus_msghdr) + (ntohl(word) & 0xffffff);
            if (buffer.size() < size) break;
            messages.push_back(buffer.substr(0, size));
            buffer.erase(0, size);
        }
        return messages;
    }
    static const ubus_msghdr &header(const std::string &message) {
        return *reinterpret_cast<const ubus_msghdr *>(message.data());
    }

    void run() {
        std::string fromDaemon;
        std::string fromBroker;
        std::set<uint16_t> eventSends;
        while (!stopping) {
            std::vector<pollfd> fds = {{wakeup[0], POLLIN, 0},
                                       {daemon < 0 ? listener : daemon, POLLIN, 0},
                                       {broker, POLLIN, 0}};
            if (poll(fds.data(), broker < 0 ? 2 : 3, 1000) < 0) continue;
            if (fds[0].revents) {
                char drain[16];
                ssize_t ignored = read(wakeup[0], drain, sizeof drain);
                (void)ignored;
            }
            if (daemon < 0 && fds[1].revents) {
                daemon = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                broker = unixSocket(brokerPath, false);
                continue;
            }
            char chunk[65536];
            if (daemon >= 0 && fds[1].revents) {
                const ssize_t n = read(daemon, chunk, sizeof chunk);
                if (n <= 0) return;
                writeAll(broker, std::string(chunk, static_cast<size_t>(n)));
                fromDaemon.append(chunk, static_cast<size_t>(n));
                for (const std::string &message : split(fromDaemon))
                    if (header(message).type == UBUS_MSG_INVOKE &&
                        ntohl(header(message).peer) == UBUS_SYSTEM_OBJECT_EVENT)
                        eventSends.insert(ntohs(header(message).seq));
            }
            if (broker >= 0 && fds[2].revents) {
                const ssize_t n = read(broker, chunk, sizeof chunk);
                if (n <= 0) return;
                fromBroker.append(chunk, static_cast<size_t>(n));
            }
            std::lock_guard<std::mutex> lock(mutex);
            for (const std::string &message : split(fromBroker)) {
                const bool confirmation = header(message).type == UBUS_MSG_STATUS &&
                                          eventSends.count(ntohs(header(message).seq)) > 0;
                if (holding && confirmation)
                    kept.push_back(message);
                else
                    writeAll(daemon, message);
            }
            if (!holding) {
                for (const std::string &message : kept) writeAll(daemon, message);
                released += kept.size();
                kept.clear();
            }
        }
    }

    std::string brokerPath;
    int listener;
    int daemon = -1;
    int broker = -1;
    int wakeup[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    bool holding = false;
    std::vector<std::string> kept;
    size_t released = 0;
    std::thread thread;
};

size_t occurrences(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

class EventDelivery : public ControlObject {
protected:
    void SetUp() override {
        ControlObject::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        brokerSocket = scratch + "/broker.sock";
        broker = std::make_unique<e2e::PrivateBus>(brokerSocket, scratch);
        holder = std::make_unique<ConfirmationHolder>(e2e::kBusSocket, brokerSocket);
        ASSERT_NO_FATAL_FAILURE(startDaemon(
            {"-c", writeConfiguration(R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})")}));
        ASSERT_TRUE(waitForLog("Transitioning FSM: HOMMING_Y -> READY"));
        listener = std::make_unique<e2e::Process>();
        e2e::SpawnOptions options;
        options.argv = {e2e::ubusCliPath(), "-s", brokerSocket, "listen", "gimbalhub.*"};
        options.stdoutPath = scratch + "/listen.out";
        std::string error;
        ASSERT_TRUE(listener->start(options, &error)) << error;
        ASSERT_TRUE(e2e::waitUntil(
            [&] {
                return run({"send", "gimbalhub.probe"}).exitStatus == 0 &&
                       has(heard(), "gimbalhub.probe");
            },
            10, 0.05));
    }
    void TearDown() override {
        ControlObject::TearDown();
        holder.reset();
    }
    // The client tool straight at the broker.
    e2e::CommandResult run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {e2e::ubusCliPath(), "-S", "-t", "5", "-s", brokerSocket});
        return e2e::runCommand(arguments, 15);
    }

    std::string brokerSocket;
    std::unique_ptr<ConfirmationHolder> holder;
};

TEST_F(EventDelivery, CallsAreAnsweredWhileTheBrokerHasNotConfirmedAnEvent) {
    holder->hold(true);
    ASSERT_EQ(0, run({"call", "gimbalhub", "changePan", R"({"step":5})"}).exitStatus);
    ASSERT_TRUE(e2e::waitUntil([&] { return holder->held() >= 1; }, 10));
    // Answered while the daemon still waits for the broker's confirmation.
    const auto position = run({"call", "gimbalhub", "getPosition"});
    EXPECT_EQ(0, position.exitStatus);
    EXPECT_EQ(R"({"pan":5,"tilt":0})", trimmed(position.out));
    EXPECT_EQ(0u, countMessage(log(), "Failed to send event gimbalhub.position: Request timed out"))
        << describe(log());
    holder->hold(false);
    EXPECT_TRUE(e2e::waitUntil(
        [&] {
            return has(heard(), R"({ "gimbalhub.position": {"pan":5,"tilt":0,"state":"READY"} })");
        },
        10));
}

TEST_F(EventDelivery, WhatCannotWaitIsCountedAndLogged) {
    // Each stop sends one event; four wait for confirmation, 64 queue up.
    holder->hold(true);
    ubus_context *client = ubus_connect(brokerSocket.c_str());
    ASSERT_NE(nullptr, client);
    uint32_t id = 0;
    ASSERT_EQ(0, ubus_lookup_id(client, "gimbalhub.control", &id));
    blob_buf empty{};
    blob_buf_init(&empty, 0);
    for (int i = 0; i < 70; ++i)
        ASSERT_EQ(0, ubus_invoke(client, id, "stop", empty.head, nullptr, nullptr, 5000));
    blob_buf_free(&empty);
    ubus_free(client);
    EXPECT_TRUE(waitForLog("Event queue full: the bus takes no events, dropping the oldest"));
    holder->hold(false);
    EXPECT_TRUE(waitForLog("Events dropped while the queue was full: 2"));
    EXPECT_TRUE(
        e2e::waitUntil([&] { return occurrences(heard(), "gimbalhub.stopped") == 68; }, 10));
    EXPECT_EQ(0u, countMessage(log(), "Failed to send event gimbalhub.stopped: Request timed out"));
}
