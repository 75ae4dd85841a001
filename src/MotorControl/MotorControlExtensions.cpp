// Status, stop, home and replace operations of the controller, for clients
// beyond the four move/query methods. They use the same queue and positions
// as the rest of the class and never wait for the motors.
#include <sstream>
#include <string>

#include "MotorControl.h"
#include "MotorControlLog.h"

const char *MotorControl::stateName(MotorState state) {
    // Plain pointers, like the transition log's table: safe during exit.
    static const char *const names[] = {"RESET",     "INITIALIZING", "HOMMING_X",
                                        "HOMMING_Y", "READY",        "BUSY"};
    const int index = static_cast<int>(state);
    if (index < 0 || index >= static_cast<int>(sizeof names / sizeof names[0])) return "UNKNOWN";
    return names[index];
}

MotorStatus MotorControl::getStatus() {
    MotorStatus status{};
    bool inDispatch = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        status.queued = commandQueue.size();
        inDispatch = dispatching.load();
    }
    // Read after the flag: once it is clear again, the state already says BUSY.
    status.state = state.load();
    // Homing moves count as moving too: the head is not where it will stay.
    status.moving = status.state != MotorState::READY || status.queued > 0 || inDispatch;
    getPanAndTilt(status.pan, status.tilt);
    getHomePosition(status.homePan, status.homeTilt);
    // Only loadConfiguration writes it, before the loop serves anyone.
    status.panMin = configuration.panMin;
    status.panMax = configuration.panMax;
    status.tiltMin = configuration.tiltMin;
    status.tiltMax = configuration.tiltMax;
    return status;
}

size_t MotorControl::dropQueuedCommands() {
    size_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        dropped = commandQueue.size();
        std::queue<MotorCommand, std::deque<MotorCommand>>().swap(commandQueue);
    }
    std::ostringstream message;
    message << "Stop requested. Dropped queued commands: " << dropped;
    LOG_INFO(message.str());
    return dropped;
}

// With queueMutex held.
StepPosition MotorControl::__targetAfterMoveLocked() {
    const MotorState now = state.load();
    if (now != MotorState::READY && now != MotorState::BUSY)
        return lastPosition.load();  // homing drives there first
    if ((dispatching.load() || now == MotorState::BUSY) && flightTargetValid) return flightTarget;
    return currentPosition.load();
}

void MotorControl::getTargetAfterMove(int &pan, int &tilt) {
    StepPosition target{};
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        target = __targetAfterMoveLocked();
    }
    int32_t panDegrees = 0;
    int32_t tiltDegrees = 0;
    configuration.stepsToDegrees(target, panDegrees, tiltDegrees);
    pan = panDegrees;
    tilt = tiltDegrees;
}

size_t MotorControl::replaceQueuedCommands(const MovePlanner &planner) {
    size_t dropped = 0;
    std::optional<int> pan;
    std::optional<int> tilt;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        int32_t basePan = 0;
        int32_t baseTilt = 0;
        configuration.stepsToDegrees(__targetAfterMoveLocked(), basePan, baseTilt);
        planner(basePan, baseTilt, pan, tilt);
        dropped = commandQueue.size();
        std::queue<MotorCommand, std::deque<MotorCommand>>().swap(commandQueue);
        if (pan) commandQueue.push(MotorCommand{MotorCommandType::PAN_SET, 0, *pan, 0});
        if (tilt) commandQueue.push(MotorCommand{MotorCommandType::TILT_SET, 0, 0, *tilt});
    }
    if (!pan && !tilt) {
        if (dropped > 0) LOG_INFO("Dropped queued commands: " + std::to_string(dropped));
        return dropped;
    }
    std::ostringstream message;
    message << "Queuing move in place of " << dropped << " queued commands.";
    if (pan) message << " pan = " << *pan;
    if (pan && tilt) message << ",";
    if (tilt) message << " tilt = " << *tilt;
    LOG_INFO(message.str());
    return dropped;
}

void MotorControl::getHomePosition(int &pan, int &tilt) {
    int32_t panDegrees = 0;
    int32_t tiltDegrees = 0;
    configuration.stepsToDegrees(lastPosition.load(), panDegrees, tiltDegrees);
    pan = panDegrees;
    tilt = tiltDegrees;
}

bool MotorControl::setHomeToCurrentPosition(int &pan, int &tilt) {
    // Until homing has read the position back, currentPosition is the
    // driver's reference corner or not read at all: never a home.
    const MotorState now = state.load();
    if (now != MotorState::READY && now != MotorState::BUSY) {
        LOG_ERROR("Home position not set: homing has not finished");
        return false;
    }
    const StepPosition previous = lastPosition.load();
    if (!saveCurrentPosition()) {
        // The file still names the old home, so the controller keeps it too.
        lastPosition.store(previous);
        return false;
    }
    getHomePosition(pan, tilt);
    std::ostringstream message;
    message << "Home position set. Pan = " << pan << " deg, Tilt = " << tilt << " deg.";
    LOG_INFO(message.str());
    return true;
}

bool MotorControl::moveToHome(int &pan, int &tilt) {
    getHomePosition(pan, tilt);
    return setPanAndTilt(pan, tilt);
}

void MotorControl::setSettledListener(std::function<void(int, int, MotorState)> listener) {
    std::lock_guard<std::mutex> lock(settledMutex);
    settledListener = std::move(listener);
}

void MotorControl::__notifySettled() {
    std::function<void(int, int, MotorState)> listener;
    {
        std::lock_guard<std::mutex> lock(settledMutex);
        listener = settledListener;
    }
    if (!listener) return;
    int pan = 0;
    int tilt = 0;
    getPanAndTilt(pan, tilt);
    // A listener's trouble must never stop the motors.
    try {
        listener(pan, tilt, state.load());
    } catch (...) {
    }
}
