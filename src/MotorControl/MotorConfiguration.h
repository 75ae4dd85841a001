// Travel limits and resolution of the two axes, and the conversions between
// whole degrees and driver steps they imply.
#ifndef GIMBALHUB_MOTORCONFIGURATION_H
#define GIMBALHUB_MOTORCONFIGURATION_H

#include <cstdint>

#include "MotorDriver.h"

struct MotorConfiguration {
    double panMin = -177.5;
    double panMax = 177.5;
    double tiltMin = -22.5;
    double tiltMax = 22.5;
    uint32_t stepsPerRev = 4096;
    double stepsPerDegree = 4096 / 360.0;
    double panZeroSteps = 177.5 * (4096 / 360.0);
    double tiltZeroSteps = 22.5 * (4096 / 360.0);

    // Derives the conversion factors from the limits and the resolution.
    static MotorConfiguration make(double panMin, double panMax, double tiltMin, double tiltMax,
                                   uint32_t stepsPerRev);

    // Whole degrees to steps, halves away from zero. A result beyond the
    // int32 range is clamped to it; use the checked form where that matters.
    StepPosition degreesToSteps(int32_t pan, int32_t tilt) const;
    // Steps to whole degrees, halves away from zero, clamped like above.
    void stepsToDegrees(const StepPosition &position, int32_t &pan, int32_t &tilt) const;

    // The same conversions, false when a result does not fit an int32.
    bool degreesToStepsChecked(int32_t pan, int32_t tilt, StepPosition &steps) const;
    bool stepsToDegreesChecked(const StepPosition &position, int32_t &pan, int32_t &tilt) const;
};

#endif  // GIMBALHUB_MOTORCONFIGURATION_H
