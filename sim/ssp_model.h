// The driver model behind the simulated "/dev/ssp": counters, motion timing,
// injected faults and the request trace. Internal to the simulator.
#ifndef SSP_MODEL_H
#define SSP_MODEL_H

#include "ssp_sim.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace sspsim {

// Seconds on CLOCK_MONOTONIC.
double monotonicSeconds();

class Model {
public:
    explicit Model(const Settings &settings);

    void reset(const Settings &settings);

    // Each request returns 0 or the errno it fails with, and is traced.
    int open();
    int init();
    int get(Position &reported);
    int move(int direction, int32_t steps);

    // Called once per poll() that covers a simulated descriptor; returns 0 or
    // the errno of an injected poll failure.
    int beginPoll();
    // Whether POLLOUT is to be reported now; otherwise *wait is the time in
    // seconds until it will be (infinity when it never will).
    bool ready(double *wait);

    Position position();
    std::vector<TraceEntry> trace();

    // The in-memory trace keeps this many of the newest entries, so a
    // long-running process under the simulator does not grow without bound.
    static constexpr size_t kTraceLimit = 100000;

private:
    struct Motion {
        Position from{0, 0};
        Position to{0, 0};
        double start = 0;
        double duration = 0;
    };

    Position positionAt(double now) const;
    bool busyAt(double now) const;
    void startMotion(Position to, double now);
    void record(double now, const char *request, int direction, int32_t steps, Position pos, int result);

    std::mutex mutex_;
    Settings settings_;
    Motion motion_;
    bool initialised_ = false;
    long polls_ = 0;
    bool traceWarned_ = false;
    std::deque<TraceEntry> trace_;
};

// The process-wide model, created on first use from the environment.
Model &model();

}  // namespace sspsim

#endif  // SSP_MODEL_H
