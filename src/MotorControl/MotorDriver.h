// The controller's one link to the motor driver: the real "/dev/ssp" in the
// product, the simulator's model in unit tests.
#ifndef GIMBALHUB_MOTORDRIVER_H
#define GIMBALHUB_MOTORDRIVER_H

#include <cstdint>

// Motor position in driver steps; x is pan, y is tilt.
struct StepPosition {
    int32_t x;
    int32_t y;
};

// Direction word of a move request: one axis and one sense per code.
enum class MotorDirection : int32_t {
    TILT_DECREASE = 1,
    TILT_INCREASE = 2,
    PAN_INCREASE = 3,
    PAN_DECREASE = 4,
};

// Every request returns 0 or the errno it failed with, so the controller
// words its own messages.
class MotorDriver {
public:
    virtual ~MotorDriver() = default;

    virtual int open() = 0;
    // Drives both axes to the reference position (0, 0).
    virtual int initPosition() = 0;
    virtual int getPosition(StepPosition &position) = 0;
    virtual int move(MotorDirection direction, int32_t steps) = 0;
    // Whether the driver takes a new request, waiting at most timeout ms.
    virtual int waitReady(int timeout, bool &ready) = 0;
};

#endif  // GIMBALHUB_MOTORDRIVER_H
