// SSP_SIM_* environment variables. A bad value is reported and ignored, so a
// typo never takes the simulator (or the program it is loaded into) down.
#include "ssp_sim.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sspsim {
namespace {

void warn(const char *name, const char *value)
{
    fprintf(stderr, "sspsim: ignoring invalid %s=%s\n", name, value);
}

// Whole decimal number in [lo, hi], nothing after it.
bool parseLong(const char *text, long lo, long hi, long &out, const char **end = nullptr)
{
    char *stop = nullptr;
    errno = 0;
    const long value = strtol(text, &stop, 10);
    if (stop == text || errno != 0 || value < lo || value > hi)
        return false;
    if (end)
        *end = stop;
    else if (*stop != '\0')
        return false;
    out = value;
    return true;
}

// Unset and empty variables keep the default silently.
const char *lookup(const char *name)
{
    const char *value = getenv(name);
    return value && *value ? value : nullptr;
}

void readLong(const char *name, long lo, long hi, long &field)
{
    const char *value = lookup(name);
    long parsed;
    if (!value)
        return;
    if (parseLong(value, lo, hi, parsed))
        field = parsed;
    else
        warn(name, value);
}

void readErrno(const char *name, int &field)
{
    long parsed = field;
    readLong(name, 0, 4095, parsed);
    field = static_cast<int>(parsed);
}

void readFlag(const char *name, bool &field)
{
    long parsed = field ? 1 : 0;
    readLong(name, 0, 1, parsed);
    field = parsed != 0;
}

}  // namespace

Settings settingsFromEnvironment()
{
    Settings s;

    if (const char *value = lookup("SSP_SIM_SPEED")) {
        char *stop = nullptr;
        errno = 0;
        const double speed = strtod(value, &stop);
        if (stop != value && *stop == '\0' && errno == 0 && std::isfinite(speed) && speed >= 0)
            s.speed = speed;
        else
            warn("SSP_SIM_SPEED", value);
    }

    if (const char *value = lookup("SSP_SIM_START")) {
        long x, y;
        const char *rest = nullptr;
        if (parseLong(value, INT32_MIN, INT32_MAX, x, &rest) && *rest == ',' &&
            parseLong(rest + 1, INT32_MIN, INT32_MAX, y)) {
            s.startX = static_cast<int32_t>(x);
            s.startY = static_cast<int32_t>(y);
        } else {
            warn("SSP_SIM_START", value);
        }
    }

    readFlag("SSP_SIM_ABSENT", s.absent);
    readErrno("SSP_SIM_INIT_ERRNO", s.initErrno);
    readErrno("SSP_SIM_GET_ERRNO", s.getErrno);
    readErrno("SSP_SIM_MOVE_ERRNO", s.moveErrno);
    readFlag("SSP_SIM_NEVER_READY", s.neverReady);
    readLong("SSP_SIM_POLL_FAIL_AFTER", -1, LONG_MAX, s.pollFailAfter);

    if (const char *value = lookup("SSP_SIM_TRACE"))
        s.tracePath = value;
    return s;
}

}  // namespace sspsim
