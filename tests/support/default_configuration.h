// The daemon's usual configuration for tests and tools written in C++ (the
// shell scripts have theirs in scripts/common.sh).
#ifndef GIMBAL_TEST_DEFAULT_CONFIGURATION_H
#define GIMBAL_TEST_DEFAULT_CONFIGURATION_H

#include <string>

// Limits and resolution as in config/gimbalhub.json, the position file at
// persistentFile; the two arguments after it vary one value for a test.
inline std::string configurationText(const std::string &persistentFile,
                                     const std::string &panMin = "-177.5",
                                     const std::string &stepsPerRev = "4096") {
    return "{\n  \"MotorControl\": {\n"
           "    \"PanMax\": 177.5, \"PanMin\": " +
           panMin +
           ",\n"
           "    \"TiltMax\": 22.5, \"TiltMin\": -22.5,\n"
           "    \"StepsPerRev\": " +
           stepsPerRev +
           ",\n"
           "    \"PersistentFile\": \"" +
           persistentFile + "\"\n  }\n}\n";
}

#endif  // GIMBAL_TEST_DEFAULT_CONFIGURATION_H
