#include "SspDriver.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace {

// Driver requests; plain _IO('m', n) codes without size or direction bits.
constexpr unsigned long MOTOR_IOC_GET_POSITION = 0x6D01;
constexpr unsigned long MOTOR_IOC_MOVE = 0x6D02;
constexpr unsigned long MOTOR_IOC_INIT_POSITION = 0x6D06;

// Argument of MOTOR_IOC_GET_POSITION, filled by the driver.
struct MotorPositionReport {
    int32_t x;
    int32_t y;
    int32_t reserved[7];
};

// Argument of MOTOR_IOC_MOVE: a distance and a sense for one axis.
struct MotorMoveRequest {
    int32_t reserved0[2];
    int32_t direction;
    int32_t zero;
    int32_t reserved1[4];
    int32_t steps;
    int32_t reserved2;
};

static_assert(sizeof(MotorPositionReport) == 36, "driver expects a 36-byte position report");
static_assert(sizeof(MotorMoveRequest) == 40, "driver expects a 40-byte move request");
static_assert(offsetof(MotorMoveRequest, direction) == 8, "direction word at offset 8");
static_assert(offsetof(MotorMoveRequest, steps) == 32, "steps word at offset 32");

int errorOf(int result) { return result < 0 ? errno : 0; }

}  // namespace

SspDriver::~SspDriver() {
    if (fd_ >= 0) ::close(fd_);
}

int SspDriver::open() {
    fd_ = ::open(kPath, O_RDWR);
    if (fd_ < 0) return errno;
    poll_.fd = fd_;
    poll_.events = POLLOUT;
    return 0;
}

int SspDriver::initPosition() { return errorOf(::ioctl(fd_, MOTOR_IOC_INIT_POSITION, 0)); }

int SspDriver::getPosition(StepPosition &position) {
    MotorPositionReport report{};
    if (::ioctl(fd_, MOTOR_IOC_GET_POSITION, &report) < 0) return errno;
    position = StepPosition{report.x, report.y};
    return 0;
}

int SspDriver::move(MotorDirection direction, int32_t steps) {
    MotorMoveRequest request{};
    request.direction = static_cast<int32_t>(direction);
    request.steps = steps;
    return errorOf(::ioctl(fd_, MOTOR_IOC_MOVE, &request));
}

int SspDriver::waitReady(int timeout, bool &ready) {
    poll_.revents = 0;  // never act on a stale readiness bit
    if (::poll(&poll_, 1, timeout) < 0) return errno;
    ready = (poll_.revents & POLLOUT) != 0;
    return 0;
}
