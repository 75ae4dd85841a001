#include "motion_settings.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>

#include "log.h"
#include "preset_store.h"

using nlohmann::json;

namespace ptz {

namespace {

const char kSection[] = "Motion";

std::string besidePositionFile(const std::string &positionFile) {
    const size_t slash = positionFile.find_last_of('/');
    if (slash == std::string::npos) return "presets.json";
    return positionFile.substr(0, slash + 1) + "presets.json";
}

void complain(const char *key, const json &value, const std::string &used) {
    LOG_ERROR(std::string("Invalid ") + kSection + " key " + key + ": " + value.dump() +
              "; using " + used);
}

void readInteger(const json &section, const char *key, int min, int max, int &out) {
    if (!section.contains(key)) return;
    const json &value = section[key];
    if (value.is_number_integer()) {
        const int64_t number = value.is_number_unsigned()
                                   ? static_cast<int64_t>(std::min<uint64_t>(value.get<uint64_t>(),
                                                                             uint64_t{INT64_MAX}))
                                   : value.get<int64_t>();
        if (number >= min && number <= max) {
            out = static_cast<int>(number);
            return;
        }
    }
    complain(key, value, std::to_string(out));
}

}  // namespace

MotionSettings loadMotionSettings(const std::string &configurationPath,
                                  const std::string &positionFile) {
    MotionSettings settings;
    settings.presetFile = besidePositionFile(positionFile);
    std::ifstream file(configurationPath);
    const json root = json::parse(file, nullptr, false);
    if (!root.is_object() || !root.contains(kSection)) return settings;
    const json &section = root[kSection];
    if (!section.is_object()) {
        LOG_ERROR(std::string("Invalid ") + kSection + " section; using the defaults");
        return settings;
    }

    if (section.contains("PresetFile")) {
        const json &value = section["PresetFile"];
        // Sharing the position file would make each overwrite the other.
        if (value.is_string() && !value.get<std::string>().empty() &&
            value.get<std::string>() != positionFile)
            settings.presetFile = value.get<std::string>();
        else
            complain("PresetFile", value, settings.presetFile);
    }
    readInteger(section, "JogStepDegrees", 1, 90, settings.jogStepDegrees);
    readInteger(section, "JogTimeoutMs", 100, 60000, settings.jogTimeoutMs);
    readInteger(section, "ParkDelaySeconds", 0, 86400, settings.parkDelaySeconds);
    if (section.contains("ParkTarget")) {
        const json &value = section["ParkTarget"];
        if (value.is_string() && PresetStore::validName(value.get<std::string>()))
            settings.parkTarget = value.get<std::string>();
        else
            complain("ParkTarget", value, "\"" + settings.parkTarget + "\"");
    }
    return settings;
}

}  // namespace ptz
