#include "motion.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "log.h"

namespace ptz {

namespace {

// The whole degrees inside a configured range.
struct AxisRange {
    int lo;
    int hi;

    AxisRange(double min, double max) {
        lo = toInt(std::ceil(min));
        hi = std::max(lo, toInt(std::floor(max)));
    }
    int clamp(int64_t angle) const {
        return static_cast<int>(std::min<int64_t>(std::max<int64_t>(angle, lo), hi));
    }
    // One short jog move from base: toward a limit it stops there, and from
    // beyond a limit it only moves back in.
    int step(int base, double speed, int maxStep) const {
        if (speed == 0) return base;
        const int64_t size = std::max<int64_t>(1, std::lround(std::fabs(speed) * maxStep));
        if (speed > 0)
            return base >= hi ? base : static_cast<int>(std::min<int64_t>(base + size, hi));
        return base <= lo ? base : static_cast<int>(std::max<int64_t>(base - size, lo));
    }

private:
    static int toInt(double value) {
        if (!(value > INT_MIN)) return INT_MIN;  // NaN too
        if (value >= INT_MAX) return INT_MAX;
        return static_cast<int>(value);
    }
};

struct Ranges {
    AxisRange pan;
    AxisRange tilt;
    explicit Ranges(const MotorStatus &status)
        : pan(status.panMin, status.panMax), tilt(status.tiltMin, status.tiltMax) {}
};

bool homed(const MotorStatus &status) {
    return status.state == MotorState::READY || status.state == MotorState::BUSY;
}

}  // namespace

Motion::Motion(Head &head, Clock &clock, PresetStore &presets, const MotionSettings &settings)
    : head(head),
      clock(clock),
      store(presets),
      settings(settings),
      parkArmed(settings.parkDelaySeconds > 0),
      lastActivity(clock.nowMs()) {}

// ---------------------------------------------------------------------------
// Requests

Outcome Motion::moveTo(std::optional<int64_t> pan, std::optional<int64_t> tilt, Angles &target) {
    if (!pan && !tilt) return Outcome::InvalidArgument;
    startRequest();
    const Ranges ranges(head.status());
    target = replace([&](Angles base) {
        return Angles{pan ? ranges.pan.clamp(*pan) : base.pan,
                      tilt ? ranges.tilt.clamp(*tilt) : base.tilt};
    });
    return Outcome::Ok;
}

Outcome Motion::moveBy(std::optional<int64_t> pan, std::optional<int64_t> tilt, Angles &target) {
    if (!pan && !tilt) return Outcome::InvalidArgument;
    startRequest();
    const Ranges ranges(head.status());
    target = replace([&](Angles base) {
        return Angles{pan ? ranges.pan.clamp(base.pan + *pan) : base.pan,
                      tilt ? ranges.tilt.clamp(base.tilt + *tilt) : base.tilt};
    });
    return Outcome::Ok;
}

Outcome Motion::jog(std::optional<double> pan, std::optional<double> tilt,
                    std::optional<int64_t> timeoutMs, int64_t &effectiveTimeoutMs) {
    if (!pan && !tilt) return Outcome::InvalidArgument;
    const double panSpeed = pan.value_or(0);
    const double tiltSpeed = tilt.value_or(0);
    // Written so that NaN fails too.
    if (!(panSpeed >= -1 && panSpeed <= 1 && tiltSpeed >= -1 && tiltSpeed <= 1))
        return Outcome::InvalidArgument;
    if (timeoutMs && *timeoutMs <= 0) return Outcome::InvalidArgument;

    if (panSpeed == 0 && tiltSpeed == 0) {
        startRequest();
        dropQueued();
        effectiveTimeoutMs = 0;
        return Outcome::Ok;
    }
    effectiveTimeoutMs =
        timeoutMs ? std::min(*timeoutMs, kMaxJogTimeoutMs) : int64_t{settings.jogTimeoutMs};
    // The same jog again only pushes the deadman out: the stream runs on
    // undisturbed while a client keeps a button held.
    const bool same = jogging && jogging->pan == panSpeed && jogging->tilt == tiltSpeed;
    if (same)
        lastActivity = clock.nowMs();
    else
        startRequest();
    jogging = Jog{panSpeed, tiltSpeed, clock.nowMs() + effectiveTimeoutMs};
    if (!same && !jogStep()) jogging.reset();  // already at the limits
    return Outcome::Ok;
}

Outcome Motion::presetSet(const std::string &name, std::optional<int64_t> pan,
                          std::optional<int64_t> tilt, Preset &stored) {
    if (!PresetStore::validName(name)) return Outcome::InvalidArgument;
    const MotorStatus status = head.status();
    // Until homing has read it back, the position is not where the head is.
    if (!homed(status)) return Outcome::Failed;
    const Ranges ranges(status);
    const Preset preset{name, ranges.pan.clamp(pan.value_or(status.pan)),
                        ranges.tilt.clamp(tilt.value_or(status.tilt))};
    switch (store.set(preset)) {
        case PresetStore::Result::Ok:
            stored = preset;
            return Outcome::Ok;
        case PresetStore::Result::Full:
            return Outcome::InvalidArgument;
        default:
            return Outcome::Failed;
    }
}

Outcome Motion::presetGoto(const std::string &name, Angles &target) {
    const Preset *preset = store.find(name);
    if (preset == nullptr) return Outcome::NotFound;
    startRequest();
    const Ranges ranges(head.status());
    const Angles wanted{ranges.pan.clamp(preset->pan), ranges.tilt.clamp(preset->tilt)};
    target = replace([&](Angles) { return wanted; });
    heading = Destination{name, target};
    return Outcome::Ok;
}

Outcome Motion::presetRemove(const std::string &name) {
    if (!PresetStore::validName(name)) return Outcome::InvalidArgument;
    switch (store.remove(name)) {
        case PresetStore::Result::Ok:
            return Outcome::Ok;
        case PresetStore::Result::NotFound:
            return Outcome::NotFound;
        default:
            return Outcome::Failed;
    }
}

Outcome Motion::tourStart(const std::vector<std::string> &names, int64_t dwellSeconds,
                          int64_t loops) {
    if (names.size() < kMinTourPresets || names.size() > kMaxTourPresets || dwellSeconds < 0 ||
        dwellSeconds > INT32_MAX || loops < 0)
        return Outcome::InvalidArgument;
    for (const std::string &name : names)
        if (!PresetStore::validName(name)) return Outcome::InvalidArgument;
    for (const std::string &name : names)
        if (store.find(name) == nullptr) return Outcome::NotFound;
    startRequest();
    touring = Tour{names, dwellSeconds * 1000, loops, 0, 1, false, 0};
    visitTourStop();
    return Outcome::Ok;
}

void Motion::tourStop() {
    if (!touring) return;
    // The head still goes to the preset it was sent to, and says so there.
    const Preset *preset = store.find(touring->names[touring->index]);
    if (!touring->dwelling && preset != nullptr) {
        const Ranges ranges(head.status());
        heading = Destination{
            preset->name, Angles{ranges.pan.clamp(preset->pan), ranges.tilt.clamp(preset->tilt)}};
    }
    touring.reset();
}

void Motion::halt() {
    endMotions();
    lastActivity = clock.nowMs();
    parkArmed = settings.parkDelaySeconds > 0;
}

void Motion::noteMove() { halt(); }

void Motion::noteSettled() { lastActivity = clock.nowMs(); }

// ---------------------------------------------------------------------------
// The passing of time

int64_t Motion::tick() {
    const int64_t now = clock.nowMs();
    const MotorStatus status = head.status();

    if (jogging) {
        if (now >= jogging->deadline) {
            // The deadman: what waits goes, the short move in flight ends it.
            jogging.reset();
            dropQueued();
        } else if (status.queued == 0 && !jogStep()) {
            jogging.reset();
        }
    }
    if (heading && !status.moving) {
        if (settledAt(status, heading->angles)) {
            lastPreset = heading->preset;
            if (presetListener) presetListener(heading->preset);
        }
        heading.reset();
    }
    if (touring) {
        if (!touring->dwelling && !status.moving) {
            const Preset *preset = store.find(touring->names[touring->index]);
            if (preset != nullptr) {
                const Ranges ranges(status);
                if (settledAt(status,
                              {ranges.pan.clamp(preset->pan), ranges.tilt.clamp(preset->tilt)})) {
                    lastPreset = preset->name;
                    if (presetListener) presetListener(preset->name);
                }
            }
            touring->dwelling = true;
            touring->dwellUntil = now + touring->dwellMs;
        }
        if (touring->dwelling && now >= touring->dwellUntil && nextTourStop()) visitTourStop();
    }
    if (parking && !status.moving) parking = false;

    if (jogging || touring || heading || parking) return kPollMs;
    if (!parkArmed) return -1;
    const int64_t due = lastActivity + int64_t{settings.parkDelaySeconds} * 1000;
    if (now < due) return due - now;
    // Left alone long enough, but still moving (homing, say): the move's end
    // counts as activity and moves the time on.
    if (status.moving) return 1000;
    startPark(status);
    return parking ? kPollMs : -1;
}

MotionView Motion::view() {
    const int64_t now = clock.nowMs();
    const MotorStatus status = head.status();
    MotionView view{"idle", "", std::nullopt, std::nullopt};
    if (jogging)
        view.activity = "jog";
    else if (touring)
        view.activity = "tour";
    else if (parking && status.moving)
        view.activity = "park";
    else if (status.moving)
        view.activity = "moving";
    if (jogging)
        view.jog =
            JogView{jogging->pan, jogging->tilt, std::max<int64_t>(0, jogging->deadline - now)};
    if (touring)
        view.tour = TourView{touring->names, touring->index, touring->loop, touring->loops,
                             touring->dwellMs / 1000};
    if (!status.moving) {
        // The one it was last sent to, else any that names this position.
        const Preset *last = store.find(lastPreset);
        if (last != nullptr && last->pan == status.pan && last->tilt == status.tilt) {
            view.preset = last->name;
        } else {
            for (const Preset &preset : store.all()) {
                if (preset.pan == status.pan && preset.tilt == status.tilt) {
                    view.preset = preset.name;
                    break;
                }
            }
        }
    }
    return view;
}

// ---------------------------------------------------------------------------
// Helpers

Angles Motion::replace(const std::function<Angles(Angles base)> &plan) {
    Angles result{0, 0};
    head.replaceQueuedCommands(
        [&](int basePan, int baseTilt, std::optional<int> &pan, std::optional<int> &tilt) {
            result = plan(Angles{basePan, baseTilt});
            // An axis already bound there costs no driver request.
            if (result.pan != basePan) pan = result.pan;
            if (result.tilt != baseTilt) tilt = result.tilt;
        });
    return result;
}

void Motion::dropQueued() {
    head.replaceQueuedCommands([](int, int, std::optional<int> &, std::optional<int> &) {});
}

void Motion::endMotions() {
    jogging.reset();
    touring.reset();
    heading.reset();
    parking = false;
}

// Every request that moves the head: what ran before ends, and the park
// timer starts again.
void Motion::startRequest() {
    endMotions();
    lastActivity = clock.nowMs();
    parkArmed = settings.parkDelaySeconds > 0;
}

// Queues the jog's next short move in place of what waits; false when the
// head is at the limits in every direction it jogs.
bool Motion::jogStep() {
    const Ranges ranges(head.status());
    const Jog jog = *jogging;
    bool moves = false;
    replace([&](Angles base) {
        const Angles next{ranges.pan.step(base.pan, jog.pan, settings.jogStepDegrees),
                          ranges.tilt.step(base.tilt, jog.tilt, settings.jogStepDegrees)};
        moves = next.pan != base.pan || next.tilt != base.tilt;
        return next;
    });
    return moves;
}

// Sends the head to the tour's current stop. Presets removed since the tour
// began are passed over; a tour left with none ends.
void Motion::visitTourStop() {
    for (size_t tried = 0; tried < touring->names.size(); ++tried) {
        const Preset *preset = store.find(touring->names[touring->index]);
        if (preset != nullptr) {
            const Ranges ranges(head.status());
            const Angles wanted{ranges.pan.clamp(preset->pan), ranges.tilt.clamp(preset->tilt)};
            replace([&](Angles) { return wanted; });
            touring->dwelling = false;
            return;
        }
        if (!nextTourStop()) return;
    }
    touring.reset();
}

// False when that was the last stop of the last pass: the tour has ended.
bool Motion::nextTourStop() {
    if (++touring->index < touring->names.size()) return true;
    touring->index = 0;
    if (touring->loops > 0 && touring->loop >= touring->loops) {
        touring.reset();
        return false;
    }
    ++touring->loop;
    return true;
}

void Motion::startPark(const MotorStatus &status) {
    parkArmed = false;
    Angles wanted{status.homePan, status.homeTilt};
    if (settings.parkTarget != "home") {
        const Preset *preset = store.find(settings.parkTarget);
        if (preset == nullptr) {
            LOG_ERROR("Not parking: no preset named " + settings.parkTarget);
            return;
        }
        wanted = Angles{preset->pan, preset->tilt};
    }
    const Ranges ranges(status);
    wanted = Angles{ranges.pan.clamp(wanted.pan), ranges.tilt.clamp(wanted.tilt)};
    replace([&](Angles) { return wanted; });
    parking = true;
}

bool Motion::settledAt(const MotorStatus &status, const Angles &angles) const {
    return status.pan == angles.pan && status.tilt == angles.tilt;
}

}  // namespace ptz
