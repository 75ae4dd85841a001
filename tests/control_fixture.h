// The fixture of the tests of gimbalhub.control: calls through the client
// tool, status polling and an event listener.
#ifndef GIMBAL_CONTROL_FIXTURE_H
#define GIMBAL_CONTROL_FIXTURE_H

#include <memory>
#include <string>
#include <vector>

#include "daemon_fixture.h"

inline std::string trimmed(const std::string &text) {
    const size_t end = text.find_last_not_of(" \n");
    return end == std::string::npos ? "" : text.substr(0, end + 1);
}

inline bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class ControlObject : public DaemonTest {
protected:
    e2e::CommandResult control(const std::string &method, const std::string &json = "") {
        std::vector<std::string> argv = {e2e::ubusCliPath(),  "-S",  "-t", "5", "call",
                                         "gimbalhub.control", method};
        if (!json.empty()) argv.push_back(json);
        return e2e::runCommand(argv, 15);
    }

    std::string status() { return trimmed(control("status").out); }

    // Waits until status reports the head idle at this position.
    bool waitIdleAt(int pan, int tilt) {
        const std::string at =
            "\"pan\":" + std::to_string(pan) + ",\"tilt\":" + std::to_string(tilt) + ",";
        return e2e::waitUntil(
            [&] {
                const std::string s = status();
                return has(s, "\"moving\":false") && has(s, at);
            },
            15, 0.05);
    }

    size_t moveCount() const { return moves().size(); }

    // `ubus listen` with its output in a file.
    void startListener(const std::vector<std::string> &patterns) {
        listener = std::make_unique<e2e::Process>();
        e2e::SpawnOptions options;
        options.argv = {e2e::ubusCliPath(), "listen"};
        options.argv.insert(options.argv.end(), patterns.begin(), patterns.end());
        options.stdoutPath = scratch + "/listen.out";
        std::string error;
        ASSERT_TRUE(listener->start(options, &error)) << error;
    }
    std::string heard() const { return e2e::readFile(scratch + "/listen.out"); }

    // Until the listener has registered: a probe event it hears.
    bool waitListening() {
        return e2e::waitUntil(
            [&] {
                return e2e::runCommand({e2e::ubusCliPath(), "send", "gimbalhub.probe"}, 5)
                               .exitStatus == 0 &&
                       has(heard(), "gimbalhub.probe");
            },
            10, 0.05);
    }

    void TearDown() override {
        if (listener) listener->stop(2.0);
        DaemonTest::TearDown();
    }

    std::unique_ptr<e2e::Process> listener;
};

#endif  // GIMBAL_CONTROL_FIXTURE_H
