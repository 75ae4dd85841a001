#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex observerMutex;
LogObserver observer = nullptr;
void *observerContext = nullptr;

// Writes the whole line with one write() so lines from the main thread and the
// control thread never interleave; only a short write (a full pipe) loops.
void writeLine(const char *data, size_t length) {
    while (length > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
}

}  // namespace

int log_init(const char * /*program_name*/, int /*option*/) { return 0; }

void log_set_observer(LogObserver newObserver, void *context) {
    std::lock_guard<std::mutex> lock(observerMutex);
    observer = newObserver;
    observerContext = context;
}

int log_printf(const char *file, const char *function, int line, int level, const char *format,
               ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(buffer, sizeof buffer - 1, format, args);
    va_end(args);
    if (length < 0) return -1;
    size_t used = static_cast<size_t>(length);
    if (used > sizeof buffer - 2) used = sizeof buffer - 2;  // truncated line
    if (used == 0 || buffer[used - 1] != '\n') buffer[used++] = '\n';
    buffer[used] = '\0';
    writeLine(buffer, used);

    std::lock_guard<std::mutex> lock(observerMutex);
    if (observer != nullptr) {
        LogRecord record{file, function, line, level, std::string(buffer, used - 1)};
        observer(record, observerContext);
    }
    return length;
}
