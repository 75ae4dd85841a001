// The "Motion" section of the daemon's configuration: presets, jog, park.
#ifndef GIMBALHUB_PTZ_MOTION_SETTINGS_H
#define GIMBALHUB_PTZ_MOTION_SETTINGS_H

#include <string>

namespace ptz {

struct MotionSettings {
    std::string presetFile;   // default: presets.json beside the position file
    int jogStepDegrees = 5;   // the largest short move of a jog at full speed
    int jogTimeoutMs = 1000;  // a jog's deadman when the request names none
    int parkDelaySeconds = 0;
    std::string parkTarget = "home";  // or a preset name
};

// Reads the section from the configuration file. It is optional, and so is
// each key: a missing one takes its default, a bad one too, with a log line.
// The motor section has been read already, so a file that cannot be read
// here only costs the defaults.
MotionSettings loadMotionSettings(const std::string &configurationPath,
                                  const std::string &positionFile);

}  // namespace ptz

#endif  // GIMBALHUB_PTZ_MOTION_SETTINGS_H
