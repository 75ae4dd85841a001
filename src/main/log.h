// Logging interface of gimbalhub: log_init and log_printf, plus the LOG_INFO /
// LOG_ERROR helpers every call site uses so that the source path, the bare
// function name and the line are always passed the same way.
#ifndef GIMBALHUB_LOG_H
#define GIMBALHUB_LOG_H

#include <cstddef>
#include <string>

#define LOG_LEVEL_INFO 0
#define LOG_LEVEL_ERROR 2

#define LOG_FORMAT_INFO "\033[1;32m<%s:%d> \033[90D\033[90C\033[0m[Information] %s"
#define LOG_FORMAT_ERROR "\033[1;31m<%s:%d> \033[90D\033[90C\033[0m[Error] %s"
#define LOG_FORMAT_FINISHED \
    "\033[1;34m<%s:%d> \033[90D\033[90C\033[0mProgram finished successfully!\n"

int log_init(const char *program_name, int option);
int log_printf(const char *file, const char *function, int line, int level, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

namespace log_detail {

// A source path with its extension cut off, built at compile time so that a
// call site costs no more than passing a string literal.
template <std::size_t N>
struct SourcePath {
    char text[N] = {};
};

template <std::size_t N>
constexpr SourcePath<N> stripExtension(const char (&path)[N]) {
    SourcePath<N> out;
    std::size_t end = N - 1;
    for (std::size_t i = N - 1; i > 0; --i) {
        if (path[i - 1] == '/') break;
        if (path[i - 1] == '.') {
            end = i - 1;
            break;
        }
    }
    for (std::size_t i = 0; i < end; ++i) out.text[i] = path[i];
    return out;
}

inline const char *cstr(const char *text) { return text; }
inline const char *cstr(const std::string &text) { return text.c_str(); }

}  // namespace log_detail

#define LOG_SOURCE_PATH                                                      \
    ([]() -> const char * {                                                  \
        static constexpr auto source = log_detail::stripExtension(__FILE__); \
        return source.text;                                                  \
    }())

#define LOG_INFO(message)                                                                      \
    log_printf(LOG_SOURCE_PATH, __func__, __LINE__, LOG_LEVEL_INFO, LOG_FORMAT_INFO, __func__, \
               __LINE__, log_detail::cstr(message))
#define LOG_ERROR(message)                                                                       \
    log_printf(LOG_SOURCE_PATH, __func__, __LINE__, LOG_LEVEL_ERROR, LOG_FORMAT_ERROR, __func__, \
               __LINE__, log_detail::cstr(message))
#define LOG_FINISHED()                                                                             \
    log_printf(LOG_SOURCE_PATH, __func__, __LINE__, LOG_LEVEL_INFO, LOG_FORMAT_FINISHED, __func__, \
               __LINE__)

// Tests hook in here to see every line as it is written.
struct LogRecord {
    std::string file;
    std::string function;
    int line;
    int level;
    std::string text;  // the whole formatted line, without the trailing newline
};
using LogObserver = void (*)(const LogRecord &record, void *context);
void log_set_observer(LogObserver observer, void *context);

#endif  // GIMBALHUB_LOG_H
