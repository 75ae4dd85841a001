#include "MotorPersistence.h"

#include <climits>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "MotorControlLog.h"
#include "safe_write.h"

using nlohmann::json;

namespace {

// A whole-degree angle from a JSON number, fractions cut toward zero; false
// when it lies beyond the int32 range (the library's own conversion would
// not notice).
bool angleFromJson(const json &value, int32_t &angle) {
    if (value.is_number_unsigned()) {
        uint64_t number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(INT32_MAX)) return false;
        angle = static_cast<int32_t>(number);
        return true;
    }
    if (value.is_number_integer()) {
        int64_t number = value.get<int64_t>();
        if (number < INT32_MIN || number > INT32_MAX) return false;
        angle = static_cast<int32_t>(number);
        return true;
    }
    double truncated = std::trunc(value.get<double>());
    if (!(truncated >= static_cast<double>(INT32_MIN) &&
          truncated <= static_cast<double>(INT32_MAX)))
        return false;
    angle = static_cast<int32_t>(truncated);
    return true;
}

}  // namespace

namespace motor_persistence {

bool __loadPersistLocation(const std::string &path, const MotorConfiguration &configuration,
                           StepPosition &steps) {
    std::ifstream file(path);
    if (!file.is_open()) {
        LOG_ERROR("Error opening persistent file: " + path);
        return false;
    }
    json root;
    file >> root;
    file.close();

    const json &last = root.at("LastCameraPosition");
    if (last == nullptr) {
        LOG_ERROR(std::string("Unable to find ") + "LastCameraPosition" + " key");
        return false;
    }
    const json &panValue = last.at("Pan");
    if (panValue == nullptr || !panValue.is_number()) {
        LOG_ERROR(std::string("Unable to find ") + "Pan" + " key or it is not a number");
        return false;
    }
    const json &tiltValue = last.at("Tilt");
    if (tiltValue == nullptr || !tiltValue.is_number()) {
        LOG_ERROR(std::string("Unable to find ") + "Tilt" + " key or it is not a number");
        return false;
    }
    int32_t pan = 0;
    int32_t tilt = 0;
    StepPosition result{};
    if (!angleFromJson(panValue, pan) || !angleFromJson(tiltValue, tilt) ||
        !configuration.degreesToStepsChecked(pan, tilt, result)) {
        LOG_ERROR("Persistent position out of range");
        return false;
    }
    std::ostringstream message;
    message << "Last Camera position loaded. Pan = " << pan << " deg, Tilt = " << tilt << " deg.";
    LOG_INFO(message.str());
    steps = result;
    return true;
}

bool __savePersistLocation(const std::string &path, const MotorConfiguration &configuration,
                           const StepPosition &steps) {
    int32_t pan = 0;
    int32_t tilt = 0;
    configuration.stepsToDegrees(steps, pan, tilt);
    json root;
    root["LastCameraPosition"]["Pan"] = pan;
    root["LastCameraPosition"]["Tilt"] = tilt;
    std::ostringstream out;
    out << root;
    const std::string text = out.str();

    switch (storage::replaceFile(path, text)) {
        case storage::WriteResult::Written:
            return true;
        case storage::WriteResult::OpenFailed:
            LOG_ERROR("Error opening persistent file: " + path);
            return false;
        case storage::WriteResult::WriteFailed:
            break;
    }
    LOG_ERROR("Error writing persistent file: " + path);
    return false;
}

}  // namespace motor_persistence
