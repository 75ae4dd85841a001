// Test helper: reaches into a MotorControl for what has no public accessor.
#ifndef GIMBALHUB_MOTORCONTROL_INSPECTOR_H
#define GIMBALHUB_MOTORCONTROL_INSPECTOR_H

#include <string>

#include "MotorControl.h"

class MotorControlInspector {
public:
    explicit MotorControlInspector(MotorControl &control) : control_(control) {}

    const MotorConfiguration &configuration() const { return control_.configuration; }
    const std::string &persistentFile() const { return control_.persistentFile; }
    void setPersistentFile(const std::string &path) { control_.persistentFile = path; }
    StepPosition lastPosition() const { return control_.lastPosition.load(); }
    void setLastPosition(StepPosition position) { control_.lastPosition.store(position); }
    void setCurrentPosition(StepPosition position) { control_.currentPosition.store(position); }
    MotorState state() const { return control_.state.load(); }
    size_t queued() {
        std::lock_guard<std::mutex> lock(control_.queueMutex);
        return control_.commandQueue.size();
    }
    bool threadRunning() const { return control_.controlThread.joinable(); }

    bool loadPersistLocation() { return control_.__loadPersistLocation(); }
    bool savePersistLocation() { return control_.__savePersistLocation(); }

private:
    MotorControl &control_;
};

#endif  // GIMBALHUB_MOTORCONTROL_INSPECTOR_H
