// The motor driver behind the character device "/dev/ssp".
#ifndef GIMBALHUB_SSPDRIVER_H
#define GIMBALHUB_SSPDRIVER_H

#include <poll.h>

#include "MotorDriver.h"

class SspDriver : public MotorDriver {
public:
    static constexpr const char *kPath = "/dev/ssp";

    SspDriver() = default;
    ~SspDriver() override;
    SspDriver(const SspDriver &) = delete;
    SspDriver &operator=(const SspDriver &) = delete;

    int open() override;
    int initPosition() override;
    int getPosition(StepPosition &position) override;
    int move(MotorDirection direction, int32_t steps) override;
    int waitReady(int timeout, bool &ready) override;

private:
    int fd_ = -1;  // not open
    pollfd poll_{};
};

#endif  // GIMBALHUB_SSPDRIVER_H
