// Simulated stepper-motor driver behind "/dev/ssp".
//
// Built two ways from the same model:
//  - libsspsim.so, loaded with LD_PRELOAD into an unmodified gimbalhub; it
//    reads its settings from SSP_SIM_* environment variables at load time,
//    and this API steers it from a program linked against it;
//  - the static library ssp_model, the bare model (ssp_model.h) that unit
//    tests put behind the controller's driver interface.
//
// Only the exact path "/dev/ssp" is simulated; every other path and
// descriptor goes to the C library unchanged.
#ifndef SSP_SIM_H
#define SSP_SIM_H

#include <cstdint>
#include <string>
#include <vector>

namespace sspsim {

// Request codes and direction codes of the driver (the daemon has its own
// copies; the simulator shares no code with it).
constexpr unsigned long kGetPosition = 0x6D01;
constexpr unsigned long kMove = 0x6D02;
constexpr unsigned long kInitPosition = 0x6D06;
enum Direction { kTiltDecrease = 1, kTiltIncrease = 2, kPanIncrease = 3, kPanDecrease = 4 };

struct Settings {
    double speed = 0;    // SSP_SIM_SPEED: steps per second per move; 0 = moves end at once
    int32_t startX = 0;  // SSP_SIM_START="x,y": counters before INIT
    int32_t startY = 0;
    bool absent = false;      // SSP_SIM_ABSENT=1: open fails with ENOENT
    int initErrno = 0;        // SSP_SIM_INIT_ERRNO=n: INIT fails with errno n
    int getErrno = 0;         // SSP_SIM_GET_ERRNO=n: GET fails with errno n
    int moveErrno = 0;        // SSP_SIM_MOVE_ERRNO=n: MOVE fails with errno n
    bool neverReady = false;  // SSP_SIM_NEVER_READY=1: POLLOUT is never reported
    long pollFailAfter = -1;  // SSP_SIM_POLL_FAIL_AFTER=n: polls after the n-th fail (EIO); -1 never
    std::string tracePath;    // SSP_SIM_TRACE=path: one line appended per request
};

struct Position {
    int32_t x;
    int32_t y;
};

// One driver request as the simulator saw it.
struct TraceEntry {
    double seconds;       // CLOCK_MONOTONIC, comparable across processes
    std::string request;  // "OPEN", "INIT", "GET", "MOVE", "POLL_FAIL"
    int direction;        // MOVE only
    int32_t steps;        // MOVE only (as sent)
    Position position;    // counters after the request (GET: what was reported)
    int result;           // 0, or the errno the request failed with
};

// Reads the SSP_SIM_* variables (unset ones keep their defaults).
Settings settingsFromEnvironment();

// Replaces the model: new settings, counters at the start position, not
// initialised, idle, trace emptied. Descriptors already open stay simulated.
void reset(const Settings &settings);

// The counters right now (during a move: where the motor has got to).
Position position();

// Every request since the last reset, oldest first (only the newest 100000
// are kept, so a long run under the simulator stays bounded).
std::vector<TraceEntry> trace();

}  // namespace sspsim

#endif  // SSP_SIM_H
