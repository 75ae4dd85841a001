// Logging for the controller's sources.
#ifndef GIMBALHUB_MOTORCONTROL_LOG_H
#define GIMBALHUB_MOTORCONTROL_LOG_H

#include "log.h"

// Every file of the controller logs under one source name: log readers key
// on it, and it predates the split into several files.
#undef LOG_SOURCE_PATH
#define LOG_SOURCE_PATH "src/MotorControl/MotorControl"

#endif  // GIMBALHUB_MOTORCONTROL_LOG_H
