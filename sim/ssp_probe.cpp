// Minimal driver client: opens /dev/ssp, initialises it, sends the moves
// given as "direction steps" pairs, waiting for readiness after each
// request, then prints the position. Used to check the preloaded simulator
// from outside and handy for poking at it by hand.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>

namespace {

constexpr unsigned long kGetPosition = 0x6D01;
constexpr unsigned long kMove = 0x6D02;
constexpr unsigned long kInitPosition = 0x6D06;

int fail(const char *what)
{
    const int err = errno;
    fprintf(stderr, "ssp_probe: %s: %s (%d)\n", what, strerror(err), err);
    return 1;
}

double now()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Polls without blocking, like the daemon, for at most ten seconds.
bool waitReady(int fd)
{
    const double deadline = now() + 10;
    while (now() < deadline) {
        struct pollfd pfd = {fd, POLLOUT, 0};
        const int n = poll(&pfd, 1, 0);
        if (n < 0)
            return false;
        if (n > 0 && (pfd.revents & POLLOUT))
            return true;
        struct timespec pause = {0, 2000000};
        nanosleep(&pause, nullptr);
    }
    errno = ETIMEDOUT;
    return false;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc % 2 != 1) {
        fprintf(stderr, "usage: ssp_probe [direction steps]...\n");
        return 2;
    }
    const int fd = open("/dev/ssp", O_RDWR);
    if (fd < 0)
        return fail("open /dev/ssp");
    if (ioctl(fd, kInitPosition, 0) < 0)
        return fail("init");
    if (!waitReady(fd))
        return fail("waiting after init");
    for (int i = 1; i + 1 < argc; i += 2) {
        int32_t request[10] = {};
        request[2] = static_cast<int32_t>(strtol(argv[i], nullptr, 10));
        request[8] = static_cast<int32_t>(strtol(argv[i + 1], nullptr, 10));
        if (ioctl(fd, kMove, request) < 0)
            return fail("move");
        if (!waitReady(fd))
            return fail("waiting after move");
    }
    int32_t report[9] = {};
    if (ioctl(fd, kGetPosition, report) < 0)
        return fail("get");
    printf("x=%d y=%d\n", static_cast<int>(report[0]), static_cast<int>(report[1]));
    return 0;
}
