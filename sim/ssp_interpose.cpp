// Interposed C library entry points. Only the exact path "/dev/ssp" and the
// descriptors handed out for it are simulated; everything else goes straight
// to the next definition (the C library's), found with dlsym(RTLD_NEXT).
//
// Our definitions carry their exported names as assembler labels so they
// cannot clash with the C library's declarations (fortified inline wrappers,
// large-file and 64-bit-time redirections).
#include "ssp_model.h"
#include "ssp_real.h"
#include "ssp_sim.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <limits>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <vector>

#define SSP_EXPORT __attribute__((visibility("default")))

extern "C" {
SSP_EXPORT int sspsim_open(const char *path, int flags, ...) __asm__("open");
SSP_EXPORT int sspsim_open64(const char *path, int flags, ...) __asm__("open64");
SSP_EXPORT int sspsim_openat(int dirfd, const char *path, int flags, ...) __asm__("openat");
SSP_EXPORT int sspsim_openat64(int dirfd, const char *path, int flags, ...) __asm__("openat64");
SSP_EXPORT int sspsim_open_2(const char *path, int flags) __asm__("__open_2");
SSP_EXPORT int sspsim_open64_2(const char *path, int flags) __asm__("__open64_2");
SSP_EXPORT int sspsim_ioctl(int fd, unsigned long request, ...) __asm__("ioctl");
SSP_EXPORT int sspsim_ioctl_time64(int fd, unsigned long request, ...) __asm__("__ioctl_time64");
SSP_EXPORT int sspsim_poll(struct pollfd *fds, nfds_t nfds, int timeout) __asm__("poll");
SSP_EXPORT int sspsim_poll_chk(struct pollfd *fds, nfds_t nfds, int timeout,
                               size_t fdslen) __asm__("__poll_chk");
SSP_EXPORT int sspsim_close(int fd) __asm__("close");
}

namespace sspsim {
namespace {

const char kDevicePath[] = "/dev/ssp";

// ---- the C library's functions --------------------------------------------

using OpenFn = int (*)(const char *, int, ...);
using OpenAtFn = int (*)(int, const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using IoctlFn = int (*)(int, unsigned long, ...);
using PollFn = int (*)(struct pollfd *, nfds_t, int);
using CloseFn = int (*)(int);

// Resolved on first use; a race only resolves the same address twice.
template <typename Fn>
Fn next(std::atomic<Fn> &slot, const char *name)
{
    Fn fn = slot.load(std::memory_order_acquire);
    if (!fn) {
        fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        slot.store(fn, std::memory_order_release);
    }
    return fn;
}

#define NEXT(type, name)                        \
    [] {                                        \
        static std::atomic<type> slot{nullptr}; \
        return next<type>(slot, name);          \
    }()

int unavailable()
{
    errno = ENOSYS;
    return -1;
}

bool needsMode(int flags)
{
#ifdef O_TMPFILE
    if ((flags & O_TMPFILE) == O_TMPFILE)
        return true;
#endif
    return (flags & O_CREAT) != 0;
}

// ---- simulated descriptors --------------------------------------------------

// Lock-free so that close() and poll() stay cheap and async-signal-safe for
// the whole process. Slots hold fd + 1; 0 is free (and the zero-initialised
// state before any constructor has run).
constexpr int kMaxDescriptors = 64;
std::atomic<int> gSlots[kMaxDescriptors];
std::atomic<int> gOpenCount{0};

bool isSimulated(int fd)
{
    if (fd < 0 || gOpenCount.load(std::memory_order_acquire) == 0)
        return false;
    for (auto &slot : gSlots)
        if (slot.load(std::memory_order_acquire) == fd + 1)
            return true;
    return false;
}

bool remember(int fd)
{
    for (auto &slot : gSlots) {
        int expected = 0;
        if (slot.compare_exchange_strong(expected, fd + 1, std::memory_order_acq_rel)) {
            gOpenCount.fetch_add(1, std::memory_order_acq_rel);
            return true;
        }
    }
    return false;
}

bool forget(int fd)
{
    if (fd < 0 || gOpenCount.load(std::memory_order_acquire) == 0)
        return false;
    for (auto &slot : gSlots) {
        int expected = fd + 1;
        if (slot.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
            gOpenCount.fetch_sub(1, std::memory_order_acq_rel);
            return true;
        }
    }
    return false;
}

// A harmless real descriptor stands in for the device: reads see end of
// file, writes vanish, and the number is really taken.
int openDevice(int flags)
{
    const int err = model().open();
    if (err != 0) {
        errno = err;
        return -1;
    }
    const int cloexec = flags & O_CLOEXEC;
    int fd = realOpen("/dev/null", O_RDWR | cloexec, 0);
    if (fd < 0)
        fd = eventfd(0, cloexec ? EFD_CLOEXEC : 0);
    if (fd < 0)
        return -1;
    if (!remember(fd)) {
        realClose(fd);
        errno = EMFILE;
        return -1;
    }
    return fd;
}

bool isDevicePath(const char *path)
{
    return path && strcmp(path, kDevicePath) == 0;
}

// ---- requests on a simulated descriptor -------------------------------------

int deviceIoctl(unsigned long request, void *arg)
{
    int err;
    switch (static_cast<unsigned int>(request)) {
    case kInitPosition:
        err = model().init();
        break;
    case kGetPosition: {
        if (!arg) {
            err = EFAULT;
            break;
        }
        Position pos{0, 0};
        err = model().get(pos);
        if (err == 0) {
            const int32_t words[9] = {pos.x, pos.y, 0, 0, 0, 0, 0, 0, 0};
            memcpy(arg, words, sizeof words);
        }
        break;
    }
    case kMove: {
        if (!arg) {
            err = EFAULT;
            break;
        }
        int32_t words[10];
        memcpy(words, arg, sizeof words);
        err = model().move(words[2], words[8]);
        break;
    }
    default:
        err = ENOTTY;
        break;
    }
    if (err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

int sleepFor(double seconds)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    return nanosleep(&ts, nullptr);
}

int toMilliseconds(double seconds)
{
    if (std::isinf(seconds))
        return -1;
    const double ms = std::ceil(seconds * 1000);
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// poll() over a set holding at least one simulated descriptor. The simulated
// entries are answered from the model; the others go to the real poll with
// their slots masked out (a negative fd is ignored by poll).
int mixedPoll(struct pollfd *fds, nfds_t nfds, int timeout)
{
    const int err = model().beginPoll();
    if (err != 0) {
        errno = err;
        return -1;
    }

    std::vector<struct pollfd> others(fds, fds + nfds);
    std::vector<bool> simulated(nfds);
    bool haveOthers = false;
    for (nfds_t i = 0; i < nfds; ++i) {
        simulated[i] = isSimulated(fds[i].fd);
        if (simulated[i])
            others[i].fd = -1;
        else
            haveOthers = haveOthers || fds[i].fd >= 0;
    }

    const double inf = std::numeric_limits<double>::infinity();
    const double deadline = timeout < 0 ? inf : monotonicSeconds() + timeout / 1000.0;
    for (;;) {
        double untilReady = 0;
        const bool ready = model().ready(&untilReady);
        int count = 0;
        for (nfds_t i = 0; i < nfds; ++i) {
            if (!simulated[i])
                continue;
            fds[i].revents = ready ? static_cast<short>(fds[i].events & POLLOUT) : 0;
            if (fds[i].revents)
                ++count;
        }

        const double remaining = timeout < 0 ? inf : deadline - monotonicSeconds();
        const double wait = (count > 0 || remaining <= 0) ? 0 : std::min(remaining, untilReady);
        int found = 0;
        if (haveOthers) {
            PollFn realPoll = NEXT(PollFn, "poll");
            found = realPoll ? realPoll(others.data(), nfds, toMilliseconds(wait)) : unavailable();
            if (found < 0)
                return -1;
            for (nfds_t i = 0; i < nfds; ++i)
                if (!simulated[i])
                    fds[i].revents = others[i].revents;
        } else if (wait > 0) {
            // Sleep in slices when nothing will ever wake us, like a poll
            // that blocks until a signal arrives.
            if (sleepFor(std::min(wait, 1.0)) != 0)
                return -1;
        }
        if (count > 0 || found > 0 || wait <= 0)
            return count + found;
    }
}

int openImpl(const char *path, int flags, mode_t mode)
{
    if (isDevicePath(path))
        return openDevice(flags);
    return realOpen(path, flags, mode);
}

int openAtImpl(int dirfd, const char *path, int flags, mode_t mode, bool large)
{
    if (isDevicePath(path))
        return openDevice(flags);
    OpenAtFn fn = large ? NEXT(OpenAtFn, "openat64") : NEXT(OpenAtFn, "openat");
    if (!fn)
        fn = NEXT(OpenAtFn, "openat");
    return fn ? fn(dirfd, path, flags, mode) : unavailable();
}

int ioctlImpl(int fd, unsigned long request, void *arg, bool time64)
{
    if (isSimulated(fd))
        return deviceIoctl(request, arg);
    IoctlFn fn = time64 ? NEXT(IoctlFn, "__ioctl_time64") : nullptr;
    if (!fn)
        fn = NEXT(IoctlFn, "ioctl");
    return fn ? fn(fd, request, arg) : unavailable();
}

mode_t modeArgument(int flags, va_list ap)
{
    return needsMode(flags) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

// Read the environment when the library is loaded, as documented, rather
// than at the first request.
__attribute__((constructor)) void loadSettings()
{
    const int saved = errno;
    model();
    errno = saved;
}

}  // namespace

// ---- shared with the model --------------------------------------------------

int realOpen(const char *path, int flags, mode_t mode)
{
    OpenFn fn = NEXT(OpenFn, "open");
    return fn ? fn(path, flags, mode) : unavailable();
}

int realClose(int fd)
{
    CloseFn fn = NEXT(CloseFn, "close");
    return fn ? fn(fd) : unavailable();
}

Model &model()
{
    // Never destroyed: other libraries' destructors may still open or close
    // files after ours would have run.
    static Model *instance = new Model(settingsFromEnvironment());
    return *instance;
}

// ---- public API --------------------------------------------------------------

void reset(const Settings &settings)
{
    model().reset(settings);
}

Position position()
{
    return model().position();
}

std::vector<TraceEntry> trace()
{
    return model().trace();
}

}  // namespace sspsim

// ---- the interposed entry points ---------------------------------------------

using namespace sspsim;

int sspsim_open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    return openImpl(path, flags, mode);
}

int sspsim_open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    if (isDevicePath(path))
        return openDevice(flags);
    OpenFn fn = NEXT(OpenFn, "open64");
    return fn ? fn(path, flags, mode) : realOpen(path, flags, mode);
}

int sspsim_openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    return openAtImpl(dirfd, path, flags, mode, false);
}

int sspsim_openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = modeArgument(flags, ap);
    va_end(ap);
    return openAtImpl(dirfd, path, flags, mode, true);
}

int sspsim_open_2(const char *path, int flags)
{
    if (isDevicePath(path))
        return openDevice(flags);
    Open2Fn fn = NEXT(Open2Fn, "__open_2");
    return fn ? fn(path, flags) : realOpen(path, flags, 0);
}

int sspsim_open64_2(const char *path, int flags)
{
    if (isDevicePath(path))
        return openDevice(flags);
    Open2Fn fn = NEXT(Open2Fn, "__open64_2");
    return fn ? fn(path, flags) : realOpen(path, flags, 0);
}

int sspsim_ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctlImpl(fd, request, arg, false);
}

int sspsim_ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctlImpl(fd, request, arg, true);
}

int sspsim_poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
    bool any = false;
    if (fds && gOpenCount.load(std::memory_order_acquire) > 0)
        for (nfds_t i = 0; i < nfds && !any; ++i)
            any = isSimulated(fds[i].fd);
    if (any)
        return mixedPoll(fds, nfds, timeout);
    PollFn fn = NEXT(PollFn, "poll");
    return fn ? fn(fds, nfds, timeout) : unavailable();
}

int sspsim_poll_chk(struct pollfd *fds, nfds_t nfds, int timeout, size_t fdslen)
{
    // Same guard as the fortified original: the array must hold nfds entries.
    if (fdslen / sizeof(*fds) < nfds)
        abort();
    return sspsim_poll(fds, nfds, timeout);
}

int sspsim_close(int fd)
{
    forget(fd);
    CloseFn fn = NEXT(CloseFn, "close");
    return fn ? fn(fd) : unavailable();
}
