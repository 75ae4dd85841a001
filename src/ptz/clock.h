// The time the motions are scheduled by. The daemon reads the monotonic
// clock; tests put a clock of their own here and move it by hand.
#ifndef GIMBALHUB_PTZ_CLOCK_H
#define GIMBALHUB_PTZ_CLOCK_H

#include <cstdint>
#include <ctime>

namespace ptz {

class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t nowMs() = 0;
};

class MonotonicClock : public Clock {
public:
    int64_t nowMs() override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
    }
};

}  // namespace ptz

#endif  // GIMBALHUB_PTZ_CLOCK_H
