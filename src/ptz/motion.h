// The motions above the controller: moves that replace each other within
// the soft limits, jogs (a stream of short moves with a deadman), presets,
// tours and the return to a park position. Everything runs on one thread
// (the daemon's event loop), which calls tick() as often as it asks.
#ifndef GIMBALHUB_PTZ_MOTION_H
#define GIMBALHUB_PTZ_MOTION_H

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clock.h"
#include "head.h"
#include "motion_settings.h"
#include "preset_store.h"

namespace ptz {

struct Angles {
    int pan;
    int tilt;
};

// How a request ended; the bus side turns it into a status.
enum class Outcome { Ok, InvalidArgument, NotFound, Failed };

struct JogView {
    double pan;
    double tilt;
    int64_t remainingMs;
};

struct TourView {
    std::vector<std::string> presets;
    size_t index;  // the preset being visited, from 0
    int64_t loop;  // the pass under way, from 1
    int64_t loops;
    int64_t dwellSeconds;
};

struct MotionView {
    const char *activity;  // "idle", "moving", "jog", "tour" or "park"
    std::string preset;    // the preset the head rests at, or empty
    std::optional<JogView> jog;
    std::optional<TourView> tour;
};

class Motion {
public:
    static constexpr int64_t kMaxJogTimeoutMs = 60000;
    static constexpr size_t kMinTourPresets = 2;
    static constexpr size_t kMaxTourPresets = 32;
    // While something runs, the queue is looked at this often: well inside
    // the two control cycles (200 ms) the driver needs per move.
    static constexpr int64_t kPollMs = 50;

    Motion(Head &head, Clock &clock, PresetStore &presets, const MotionSettings &settings);

    // Told the name each time the head settles at a preset it was sent to
    // by presetGoto or a tour.
    void setPresetListener(std::function<void(const std::string &)> listener) {
        presetListener = std::move(listener);
    }

    // Absent axes stay where the head will be once the move in flight ends.
    Outcome moveTo(std::optional<int64_t> pan, std::optional<int64_t> tilt, Angles &target);
    Outcome moveBy(std::optional<int64_t> pan, std::optional<int64_t> tilt, Angles &target);
    // Speeds from -1 to 1, an absent one is 0; both 0 end the jog. timeoutMs
    // is the deadman, 0 when the jog was ended.
    Outcome jog(std::optional<double> pan, std::optional<double> tilt,
                std::optional<int64_t> timeoutMs, int64_t &effectiveTimeoutMs);
    Outcome presetSet(const std::string &name, std::optional<int64_t> pan,
                      std::optional<int64_t> tilt, Preset &stored);
    Outcome presetGoto(const std::string &name, Angles &target);
    Outcome presetRemove(const std::string &name);
    const std::vector<Preset> &presets() const { return store.all(); }
    Outcome tourStart(const std::vector<std::string> &names, int64_t dwellSeconds, int64_t loops);
    // The move to the preset under way completes.
    void tourStop();

    // The caller has dropped the queue (stop): nothing of ours goes on.
    void halt();
    // A move requested elsewhere (the fixed object, gotoHome): it ends a jog
    // or a tour and counts as activity for the park timer.
    void noteMove();
    // The head has just settled after a move or homing.
    void noteSettled();

    // Does what is due; the milliseconds until the next call is needed, or
    // -1 when nothing is pending.
    int64_t tick();
    MotionView view();

private:
    struct Jog {
        double pan;
        double tilt;
        int64_t deadline;
    };
    struct Tour {
        std::vector<std::string> names;
        int64_t dwellMs;
        int64_t loops;
        size_t index;
        int64_t loop;
        bool dwelling;
        int64_t dwellUntil;
    };
    struct Destination {
        std::string preset;  // empty for the park target "home"
        Angles angles;
    };

    Angles replace(const std::function<Angles(Angles base)> &plan);
    void dropQueued();
    void endMotions();
    void startRequest();
    bool jogStep();
    void visitTourStop();
    bool nextTourStop();
    void startPark(const MotorStatus &status);
    bool settledAt(const MotorStatus &status, const Angles &angles) const;

    Head &head;
    Clock &clock;
    PresetStore &store;
    MotionSettings settings;
    std::function<void(const std::string &)> presetListener;

    std::optional<Jog> jogging;
    std::optional<Tour> touring;
    std::optional<Destination> heading;  // a preset the head was sent to
    bool parking = false;                // the park move runs
    bool parkArmed;                      // parks once the head has been left alone
    int64_t lastActivity;
    std::string lastPreset;  // the head arrived there last
};

}  // namespace ptz

#endif  // GIMBALHUB_PTZ_MOTION_H
