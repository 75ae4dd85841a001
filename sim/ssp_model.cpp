#include "ssp_model.h"

#include "ssp_real.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace sspsim {

double monotonicSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Model::Model(const Settings &settings) : settings_(settings)
{
    motion_.from = motion_.to = Position{settings.startX, settings.startY};
}

void Model::reset(const Settings &settings)
{
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = settings;
    motion_ = Motion();
    motion_.from = motion_.to = Position{settings.startX, settings.startY};
    initialised_ = false;
    polls_ = 0;
    traceWarned_ = false;
    trace_.clear();
}

Position Model::positionAt(double now) const
{
    const double elapsed = now - motion_.start;
    if (motion_.duration <= 0 || elapsed >= motion_.duration)
        return motion_.to;
    const double fraction = elapsed > 0 ? elapsed / motion_.duration : 0;
    // Only whole steps count as done, so truncate toward the start.
    auto axis = [fraction](int32_t from, int32_t to) {
        const double done = std::trunc((static_cast<double>(to) - from) * fraction);
        return static_cast<int32_t>(static_cast<int64_t>(from) + static_cast<int64_t>(done));
    };
    return Position{axis(motion_.from.x, motion_.to.x), axis(motion_.from.y, motion_.to.y)};
}

bool Model::busyAt(double now) const
{
    return now < motion_.start + motion_.duration;
}

void Model::startMotion(Position to, double now)
{
    const Position from = motion_.to;
    const double distance =
        std::fabs(static_cast<double>(to.x) - from.x) + std::fabs(static_cast<double>(to.y) - from.y);
    motion_.from = from;
    motion_.to = to;
    motion_.start = now;
    motion_.duration = settings_.speed > 0 ? distance / settings_.speed : 0;
}

int Model::open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = monotonicSeconds();
    const int result = settings_.absent ? ENOENT : 0;
    record(now, "OPEN", 0, 0, positionAt(now), result);
    return result;
}

int Model::init()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = monotonicSeconds();
    int result = settings_.initErrno;
    if (result == 0 && busyAt(now))
        result = EBUSY;
    if (result == 0) {
        startMotion(Position{0, 0}, now);
        initialised_ = true;
    }
    record(now, "INIT", 0, 0, positionAt(now), result);
    return result;
}

int Model::get(Position &reported)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = monotonicSeconds();
    const Position pos = positionAt(now);
    const int result = settings_.getErrno;
    if (result == 0)
        reported = pos;
    record(now, "GET", 0, 0, pos, result);
    return result;
}

int Model::move(int direction, int32_t steps)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = monotonicSeconds();
    const Position pos = positionAt(now);
    int result = settings_.moveErrno;
    if (result == 0 && (direction < kTiltDecrease || direction > kPanDecrease || steps < 0))
        result = EINVAL;
    if (result == 0 && busyAt(now))
        result = EBUSY;

    Position target = pos;
    if (result == 0) {
        int64_t x = pos.x, y = pos.y;
        switch (direction) {
        case kTiltDecrease:
            y -= steps;
            break;
        case kTiltIncrease:
            y += steps;
            break;
        case kPanIncrease:
            x += steps;
            break;
        case kPanDecrease:
            x -= steps;
            break;
        }
        const int64_t lo = std::numeric_limits<int32_t>::min();
        const int64_t hi = std::numeric_limits<int32_t>::max();
        if (x < lo || x > hi || y < lo || y > hi)
            result = ERANGE;
        else
            target = Position{static_cast<int32_t>(x), static_cast<int32_t>(y)};
    }
    if (result == 0)
        startMotion(target, now);
    record(now, "MOVE", direction, steps, result == 0 ? target : pos, result);
    return result;
}

int Model::beginPoll()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (settings_.pollFailAfter < 0 || polls_ < settings_.pollFailAfter) {
        ++polls_;
        return 0;
    }
    const double now = monotonicSeconds();
    record(now, "POLL_FAIL", 0, 0, positionAt(now), EIO);
    return EIO;
}

bool Model::ready(double *wait)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const double now = monotonicSeconds();
    if (settings_.neverReady) {
        *wait = std::numeric_limits<double>::infinity();
        return false;
    }
    if (busyAt(now)) {
        *wait = motion_.start + motion_.duration - now;
        return false;
    }
    *wait = 0;
    return true;
}

Position Model::position()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return positionAt(monotonicSeconds());
}

std::vector<TraceEntry> Model::trace()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return std::vector<TraceEntry>(trace_.begin(), trace_.end());
}

void Model::record(double now, const char *request, int direction, int32_t steps, Position pos, int result)
{
    trace_.push_back(TraceEntry{now, request, direction, steps, pos, result});
    if (trace_.size() > kTraceLimit)
        trace_.pop_front();
    if (settings_.tracePath.empty())
        return;

    char line[160];
    const int n = snprintf(line, sizeof line,
                           "%.6f %s dir=%d steps=%" PRId32 " x=%" PRId32 " y=%" PRId32 " result=%d\n", now,
                           request, direction, steps, pos.x, pos.y, result);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof line)
        return;
    // Opened per line with O_APPEND so several processes can share one file
    // and each line lands whole.
    const int fd = realOpen(settings_.tracePath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::write(fd, line, static_cast<size_t>(n)) == n;
    const int error = errno;
    if (fd >= 0)
        realClose(fd);
    // A trace with holes would mislead whoever reads it; say so once.
    if (!ok && !traceWarned_) {
        traceWarned_ = true;
        fprintf(stderr, "sspsim: cannot write trace file %s: %s\n", settings_.tracePath.c_str(),
                fd < 0 ? strerror(error) : "short write");
    }
}

}  // namespace sspsim
