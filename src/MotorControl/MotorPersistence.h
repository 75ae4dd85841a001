// The persisted camera position: whole degrees in a small JSON file, read at
// start-up and written on request.
#ifndef GIMBALHUB_MOTORPERSISTENCE_H
#define GIMBALHUB_MOTORPERSISTENCE_H

#include <string>

#include "MotorConfiguration.h"

// The names are the ones the log lines of these two have always carried.
namespace motor_persistence {

// Reads the position into steps; false (and a log line) when the file is
// missing, a value is absent or not a number, or the angle has no step
// equivalent. Malformed JSON raises the parser's exception.
bool __loadPersistLocation(const std::string &path, const MotorConfiguration &configuration,
                           StepPosition &steps);

// Writes the position in whole degrees, crash-safe (storage::replaceFile):
// a failed write never leaves a truncated position behind.
bool __savePersistLocation(const std::string &path, const MotorConfiguration &configuration,
                           const StepPosition &steps);

}  // namespace motor_persistence

#endif  // GIMBALHUB_MOTORPERSISTENCE_H
