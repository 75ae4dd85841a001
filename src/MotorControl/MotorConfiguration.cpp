#include "MotorConfiguration.h"

#include <climits>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "MotorControl.h"
#include "MotorControlLog.h"

using nlohmann::json;

namespace {

// Rounds halves away from zero; false when the result is no int32 (NaN too).
bool roundToInt32(double value, int32_t &out) {
    double rounded = std::round(value);
    if (!(rounded >= static_cast<double>(INT32_MIN) && rounded <= static_cast<double>(INT32_MAX)))
        return false;
    out = static_cast<int32_t>(rounded);
    return true;
}

int32_t roundClamped(double value) {
    int32_t out = 0;
    if (roundToInt32(value, out)) return out;
    if (std::isnan(value)) return 0;
    return value < 0 ? INT32_MIN : INT32_MAX;
}

// Steps per revolution from a JSON number: 1 .. 4294967295 after cutting the
// fraction. Zero would make every step-to-degree conversion a division by
// zero, and a negative count would wrap to a huge one.
bool stepsPerRevFromJson(const json &value, uint32_t &steps) {
    if (value.is_number_unsigned()) {
        uint64_t number = value.get<uint64_t>();
        if (number < 1 || number > UINT32_MAX) return false;
        steps = static_cast<uint32_t>(number);
        return true;
    }
    if (value.is_number_integer()) return false;  // negative
    double truncated = std::trunc(value.get<double>());
    if (!(truncated >= 1.0 && truncated <= static_cast<double>(UINT32_MAX))) return false;
    steps = static_cast<uint32_t>(truncated);
    return true;
}

}  // namespace

MotorConfiguration MotorConfiguration::make(double panMin, double panMax, double tiltMin,
                                            double tiltMax, uint32_t stepsPerRev) {
    MotorConfiguration configuration;
    configuration.panMin = panMin;
    configuration.panMax = panMax;
    configuration.tiltMin = tiltMin;
    configuration.tiltMax = tiltMax;
    configuration.stepsPerRev = stepsPerRev;
    configuration.stepsPerDegree = static_cast<double>(stepsPerRev) / 360.0;
    configuration.panZeroSteps = -(panMin * configuration.stepsPerDegree);
    configuration.tiltZeroSteps = -(tiltMin * configuration.stepsPerDegree);
    return configuration;
}

StepPosition MotorConfiguration::degreesToSteps(int32_t pan, int32_t tilt) const {
    return StepPosition{roundClamped(panZeroSteps + pan * stepsPerDegree),
                        roundClamped(tiltZeroSteps + tilt * stepsPerDegree)};
}

void MotorConfiguration::stepsToDegrees(const StepPosition &position, int32_t &pan,
                                        int32_t &tilt) const {
    pan = roundClamped((position.x - panZeroSteps) / stepsPerDegree);
    tilt = roundClamped((position.y - tiltZeroSteps) / stepsPerDegree);
}

bool MotorConfiguration::degreesToStepsChecked(int32_t pan, int32_t tilt,
                                               StepPosition &steps) const {
    StepPosition result{};
    if (!roundToInt32(panZeroSteps + pan * stepsPerDegree, result.x)) return false;
    if (!roundToInt32(tiltZeroSteps + tilt * stepsPerDegree, result.y)) return false;
    steps = result;
    return true;
}

bool MotorConfiguration::stepsToDegreesChecked(const StepPosition &position, int32_t &pan,
                                               int32_t &tilt) const {
    int32_t panResult = 0;
    int32_t tiltResult = 0;
    if (!roundToInt32((position.x - panZeroSteps) / stepsPerDegree, panResult)) return false;
    if (!roundToInt32((position.y - tiltZeroSteps) / stepsPerDegree, tiltResult)) return false;
    pan = panResult;
    tilt = tiltResult;
    return true;
}

// The controller's configuration file.
bool MotorControl::loadConfiguration(const std::string &path) {
    std::ifstream file(path);
    if (!file.is_open()) {
        LOG_ERROR("Error opening configuration file: " + path);
        return false;
    }
    json root;
    file >> root;
    file.close();

    const json &motor = root.at("MotorControl");
    if (motor == nullptr) {
        LOG_ERROR(std::string("Unable to find ") + "MotorControl" + " key");
        return false;
    }

    static const char *const limitKeys[4] = {"PanMax", "PanMin", "TiltMax", "TiltMin"};
    double limits[4] = {};
    for (int i = 0; i < 4; ++i) {
        const json &value = motor.at(limitKeys[i]);
        if (value == nullptr || !value.is_number()) {
            LOG_ERROR(std::string("Unable to find ") + limitKeys[i] + " key or it is not a number");
            return false;
        }
        limits[i] = value.get<double>();  // the parser refuses anything beyond a double
    }
    const json &stepsValue = motor.at("StepsPerRev");
    if (stepsValue == nullptr || !stepsValue.is_number()) {
        LOG_ERROR(std::string("Unable to find ") + "StepsPerRev" + " key or it is not a number");
        return false;
    }
    uint32_t stepsPerRev = 0;
    if (!stepsPerRevFromJson(stepsValue, stepsPerRev)) {
        LOG_ERROR("Invalid StepsPerRev value: " + stepsValue.dump() +
                  " (must be between 1 and 4294967295)");
        return false;
    }
    const double panMax = limits[0], panMin = limits[1], tiltMax = limits[2], tiltMin = limits[3];
    if (panMin > panMax) {
        LOG_ERROR("Invalid pan limits: PanMin is above PanMax");
        return false;
    }
    if (tiltMin > tiltMax) {
        LOG_ERROR("Invalid tilt limits: TiltMin is above TiltMax");
        return false;
    }

    const json &persistent = motor.at("PersistentFile");
    if (persistent == nullptr) {
        LOG_ERROR(std::string("Unable to find ") + "PersistentFile" + " key");
        return false;
    }
    std::string persistentPath = persistent.get<std::string>();

    persistentFile = std::move(persistentPath);
    configuration = MotorConfiguration::make(panMin, panMax, tiltMin, tiltMax, stepsPerRev);
    LOG_INFO("Configuration file: " + path + " parsed successfully");
    return true;
}
