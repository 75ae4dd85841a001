// Test helper: collects the log lines written while it is alive.
#ifndef GIMBALHUB_LOG_CAPTURE_H
#define GIMBALHUB_LOG_CAPTURE_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "log.h"

class LogCapture {
public:
    struct Line {
        int level;
        std::string function;
        std::string file;
        std::string message;  // text after "[Information] " / "[Error] "
        std::string text;     // the whole formatted line
    };

    LogCapture() { log_set_observer(&LogCapture::observe, this); }
    ~LogCapture() { log_set_observer(nullptr, nullptr); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<Line> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> out;
        for (const Line &line : lines()) out.push_back(line.message);
        return out;
    }
    bool contains(const std::string &message) const {
        for (const Line &line : lines())
            if (line.message == message) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    // Waits until some line satisfies the predicate; false on timeout.
    bool waitFor(const std::function<bool(const Line &)> &predicate,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const Line &line : lines_)
                if (predicate(line)) return true;
            return false;
        });
    }
    bool waitForMessage(const std::string &message,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return waitFor([&](const Line &line) { return line.message == message; }, timeout);
    }

private:
    static void observe(const LogRecord &record, void *context) {
        auto *self = static_cast<LogCapture *>(context);
        Line line{record.level, record.function, record.file, messageOf(record.text), record.text};
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->lines_.push_back(std::move(line));
        }
        self->changed_.notify_all();
    }
    static std::string messageOf(const std::string &text) {
        for (const char *mark : {"[Information] ", "[Error] "}) {
            size_t at = text.find(mark);
            if (at != std::string::npos) return text.substr(at + std::string(mark).size());
        }
        size_t at = text.find("\033[0m");
        return at == std::string::npos ? text : text.substr(at + 4);
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Line> lines_;
};

#endif  // GIMBALHUB_LOG_CAPTURE_H
