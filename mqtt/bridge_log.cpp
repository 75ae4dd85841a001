#include "bridge_log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace mqttbridge {

void logLine(LogLevel level, const char *format, ...) {
    static std::mutex mutex;
    static time_t window = 0;
    static int inWindow = 0;
    static long suppressed = 0;
    const int kPerSecond = 20;

    std::lock_guard<std::mutex> lock(mutex);
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec != window) {
        if (suppressed > 0)
            fprintf(stderr, "gimbalhub-mqtt: %ld log lines suppressed\n", suppressed);
        window = now.tv_sec;
        inWindow = 0;
        suppressed = 0;
    }
    if (++inWindow > kPerSecond) {
        ++suppressed;
        return;
    }
    const char *mark = level == LogLevel::Error     ? "error: "
                       : level == LogLevel::Warning ? "warning: "
                                                    : "";
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    fprintf(stderr, "gimbalhub-mqtt: %s%s\n", mark, text);
}

}  // namespace mqttbridge
