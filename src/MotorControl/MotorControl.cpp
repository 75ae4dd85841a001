#include "MotorControl.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <sstream>

#include "MotorControlLog.h"
#include "MotorPersistence.h"
#include "SspDriver.h"

namespace {

bool fitsInt32(int64_t value) { return value >= INT32_MIN && value <= INT32_MAX; }

// Distance and sense from the last reported position c to the target t.
// False when the distance does not fit the request's 32-bit steps word.
bool moveDistance(int32_t c, int32_t t, bool &increase, int32_t &steps) {
    increase = c < t;
    int64_t distance = increase ? int64_t{t} - c : int64_t{c} - t;
    if (distance > INT32_MAX) return false;
    steps = static_cast<int32_t>(distance);
    return true;
}

// "<prefix>/dev/ssp.<strerror> (<errno>)." for a failed driver request.
std::string deviceError(const char *prefix, int error) {
    std::ostringstream text;
    text << prefix << SspDriver::kPath << "." << std::strerror(error) << " (" << error << ").";
    return text.str();
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction, queueing, position query

MotorControl &MotorControl::getInstance() {
    static MotorControl instance;
    return instance;
}

MotorControl::MotorControl() : MotorControl(std::make_unique<SspDriver>()) {}

MotorControl::MotorControl(std::unique_ptr<MotorDriver> driver)
    : driver(std::move(driver)),
      configuration(MotorConfiguration::make(-177.5, 177.5, -22.5, 22.5, 4096)) {
    lastPosition.store(configuration.degreesToSteps(0, 0));
}

MotorControl::~MotorControl() {
    LOG_INFO("destroying");
    // Also covers a thread that has not left RESET yet, and one that already
    // ended on a failure and only needs joining.
    if (controlThread.joinable()) {
        if (failed.load())
            controlThread.join();
        else
            __stopControl();
    }
    LOG_INFO("destroyed");
}

// The "Queuing" line is written before the bound is checked, so every request
// leaves its trace; a refused one is followed by an error line.
bool MotorControl::changePan(int delta) {
    std::lock_guard<std::mutex> lock(queueMutex);
    std::ostringstream message;
    message << "Queuing PAN change command. delta = " << delta;
    LOG_INFO(message.str());
    if (commandQueue.size() >= kMaxQueuedCommands) {
        std::ostringstream error;
        error << "Command queue full, dropping PAN change command. delta = " << delta;
        LOG_ERROR(error.str());
        return false;
    }
    commandQueue.push(MotorCommand{MotorCommandType::PAN_CHANGE, delta, 0, 0});
    return true;
}

bool MotorControl::changeTilt(int delta) {
    std::lock_guard<std::mutex> lock(queueMutex);
    std::ostringstream message;
    message << "Queuing TILT change command. delta = " << delta;
    LOG_INFO(message.str());
    if (commandQueue.size() >= kMaxQueuedCommands) {
        std::ostringstream error;
        error << "Command queue full, dropping TILT change command. delta = " << delta;
        LOG_ERROR(error.str());
        return false;
    }
    commandQueue.push(MotorCommand{MotorCommandType::TILT_CHANGE, delta, 0, 0});
    return true;
}

bool MotorControl::setPanAndTilt(int pan, int tilt) {
    std::lock_guard<std::mutex> lock(queueMutex);
    std::ostringstream message;
    message << "Queuing PAN and TILT set command. pan = " << pan << ", tilt = " << tilt;
    LOG_INFO(message.str());
    // Both or neither: a lone tilt move would leave the camera half-way.
    if (commandQueue.size() + 2 > kMaxQueuedCommands) {
        std::ostringstream error;
        error << "Command queue full, dropping PAN and TILT set command. pan = " << pan
              << ", tilt = " << tilt;
        LOG_ERROR(error.str());
        return false;
    }
    commandQueue.push(MotorCommand{MotorCommandType::PAN_SET, 0, pan, 0});
    commandQueue.push(MotorCommand{MotorCommandType::TILT_SET, 0, 0, tilt});
    return true;
}

void MotorControl::getPanAndTilt(int &pan, int &tilt) {
    int32_t panDegrees = 0;
    int32_t tiltDegrees = 0;
    configuration.stepsToDegrees(currentPosition.load(), panDegrees, tiltDegrees);
    pan = panDegrees;
    tilt = tiltDegrees;
}

bool MotorControl::hasFailed() const { return failed.load(); }

std::string MotorControl::failureText() const {
    std::lock_guard<std::mutex> lock(failureMutex);
    return failure;
}

void MotorControl::setFailureListener(std::function<void()> listener) {
    std::lock_guard<std::mutex> lock(failureMutex);
    failureListener = std::move(listener);
}

void MotorControl::__recordFailure(const std::string &text) {
    std::lock_guard<std::mutex> lock(failureMutex);
    failure = text;
    failed.store(true);
}

void MotorControl::__notifyFailure() {
    std::function<void()> listener;
    {
        std::lock_guard<std::mutex> lock(failureMutex);
        listener = failureListener;
    }
    if (listener) listener();
}

// ---------------------------------------------------------------------------
// Persisted camera position

bool MotorControl::saveCurrentPosition() {
    StepPosition position = currentPosition.load();
    lastPosition.store(position);
    return motor_persistence::__savePersistLocation(persistentFile, configuration, position);
}

// ---------------------------------------------------------------------------
// Device link

int MotorControl::__motorInitPosition() {
    LOG_INFO("Initializing position");
    int error = driver->initPosition();
    if (error != 0) {
        std::string text =
            deviceError("Unable to send ioctl to initialize position to dev ", error);
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    return 0;
}

int MotorControl::__motorGetPosition() {
    LOG_INFO("Retreving motor position");
    StepPosition position{};
    if (driver->getPosition(position) != 0) {
        LOG_ERROR("Unable to retrieve motor position");
        return -1;
    }
    deviceReport = position;
    currentPosition.store(position);
    int32_t pan = 0;
    int32_t tilt = 0;
    configuration.stepsToDegrees(position, pan, tilt);
    std::ostringstream message;
    message << "Retrieved position x: " << position.x << " y: " << position.y << ", pan: " << pan
            << " tilt: " << tilt;
    LOG_INFO(message.str());
    return 0;
}

int MotorControl::__motorMovePan(StepPosition &target) {
    bool increase = false;
    int32_t steps = 0;
    if (!moveDistance(deviceReport.x, target.x, increase, steps)) {
        LOG_ERROR("Pan move too far for one request; not sent");
        return -1;
    }
    // A failed move is not fatal: the next report shows where the motor is.
    MotorDirection direction =
        increase ? MotorDirection::PAN_INCREASE : MotorDirection::PAN_DECREASE;
    return driver->move(direction, steps) == 0 ? 0 : -1;
}

int MotorControl::__motorMoveTilt(StepPosition &target) {
    bool increase = false;
    int32_t steps = 0;
    if (!moveDistance(deviceReport.y, target.y, increase, steps)) {
        LOG_ERROR("Tilt move too far for one request; not sent");
        return -1;
    }
    // A failed move is not fatal: the next report shows where the motor is.
    MotorDirection direction =
        increase ? MotorDirection::TILT_INCREASE : MotorDirection::TILT_DECREASE;
    return driver->move(direction, steps) == 0 ? 0 : -1;
}

bool MotorControl::__waitForDeviceReady(int timeout) {
    bool ready = false;
    int error = driver->waitReady(timeout, ready);
    if (error != 0) {
        std::string text = deviceError("Error while polling device ", error);
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    if (ready) {
        LOG_INFO("Motor Ready to accept new commands");
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Start-up, control thread, state machine

void MotorControl::initialize() {
    LOG_INFO("Initialize");
    // A thread that already ended on a failure left the state at RESET; it
    // still counts as the one initialisation (and a second thread object
    // over a joinable one would terminate the process).
    if (state.load() != MotorState::RESET || controlThread.joinable()) {
        const std::string text = "Tried to initialize the control module more than once";
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    if (persistentFile.empty()) {
        const std::string text = "No persistent location file provided. aborting";
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    StepPosition home{};
    if (motor_persistence::__loadPersistLocation(persistentFile, configuration, home)) {
        lastPosition.store(home);
    } else {
        LOG_INFO("Persistent file not foud. Using default home position");
        lastPosition.store(configuration.degreesToSteps(0, 0));
    }
    int error = driver->open();
    if (error != 0) {
        std::string text = deviceError("Unable to open device ", error);
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    __startControl();
}

void MotorControl::__startControl() {
    LOG_INFO("Starting control thread");
    stopRequested.store(false);
    controlThread = std::thread(&MotorControl::__motorControlThread, this);
}

void MotorControl::__stopControl() {
    LOG_INFO("Stopping control thread");
    stopRequested.store(true);
    controlThread.join();
}

void MotorControl::__motorControlThread() {
    LOG_INFO("Thread started");
    // A failed init request or poll ends the loop; the text is kept for the
    // service shell, which decides how the process ends.
    try {
        while (!stopRequested.load()) {
            __stepStateMachine();
            timespec request{0, 100000000};
            timespec remaining{};
            while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
        }
    } catch (const MotorControlException &exception) {
        __recordFailure(exception.what());
    } catch (const std::exception &exception) {
        LOG_ERROR(std::string("Control thread failed: ") + exception.what());
        __recordFailure(exception.what());
    } catch (...) {
        LOG_ERROR("Control thread failed with an unknown exception");
        __recordFailure("unknown exception on the control thread");
    }
    LOG_INFO("Motor Control Thread exited");
    // Only now: the listener may make the process exit, and the exit line
    // must already be written.
    if (failed.load()) __notifyFailure();
}

void MotorControl::__stepStateMachine() {
    switch (state.load()) {
        case MotorState::RESET:
            __motorInitPosition();
            __transitionState(MotorState::INITIALIZING);
            break;
        case MotorState::INITIALIZING:
            if (!__waitForDeviceReady(0)) break;
            __resetPosition();
            __motorGetPosition();
            {
                StepPosition target = lastPosition.load();
                __motorMovePan(target);
            }
            __transitionState(MotorState::HOMMING_X);
            break;
        case MotorState::HOMMING_X:
            if (!__waitForDeviceReady(0)) break;
            __motorGetPosition();
            {
                StepPosition target = lastPosition.load();
                __motorMoveTilt(target);
            }
            __transitionState(MotorState::HOMMING_Y);
            break;
        case MotorState::HOMMING_Y:
            if (!__waitForDeviceReady(0)) break;
            __motorGetPosition();
            __transitionState(MotorState::READY);
            break;
        case MotorState::READY:
            __processMotorCmd();
            dispatching.store(false);
            break;
        case MotorState::BUSY:
            if (!__waitForDeviceReady(0)) break;
            __motorGetPosition();
            __transitionState(MotorState::READY);
            break;
    }
}

void MotorControl::__processMotorCmd() {
    MotorCommand command{};
    StepPosition target{};
    bool panAxis = true;
    bool valid = false;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (commandQueue.empty()) return;
        command = commandQueue.front();
        commandQueue.pop();
        dispatching.store(true);
        // Worked out under the lock, so a query never sees the command taken
        // but its target not yet known.
        valid = __commandTarget(command, target, panAxis);
        flightTarget = target;
        flightTargetValid = valid;
    }
    const int kind = static_cast<int>(command.cmd);
    std::ostringstream message;
    message << "Dequeuing command. cmd = " << kind;
    LOG_INFO(message.str());
    if (!valid) {
        std::ostringstream error;
        error << "Dropping command: target out of range. cmd = " << kind;
        LOG_ERROR(error.str());
        return;
    }
    if (panAxis)
        __motorMovePan(target);
    else
        __motorMoveTilt(target);
    __transitionState(MotorState::BUSY);
}

// The step target of a command from the current position, and its axis;
// false when it lies beyond the 32-bit ranges or one request's reach.
bool MotorControl::__commandTarget(const MotorCommand &command, StepPosition &target,
                                   bool &panAxis) {
    int32_t pan = 0;
    int32_t tilt = 0;
    bool valid = configuration.stepsToDegreesChecked(currentPosition.load(), pan, tilt);
    // Targets are summed in 64 bits: a far delta must be refused, not wrapped.
    int64_t targetPan = pan;
    int64_t targetTilt = tilt;
    panAxis = true;
    switch (command.cmd) {
        case MotorCommandType::PAN_CHANGE:
            targetPan = int64_t{pan} + command.delta;
            break;
        case MotorCommandType::TILT_CHANGE:
            targetTilt = int64_t{tilt} + command.delta;
            panAxis = false;
            break;
        case MotorCommandType::PAN_SET:
            targetPan = command.pan;
            break;
        case MotorCommandType::TILT_SET:
            targetTilt = command.tilt;
            panAxis = false;
            break;
        default:
            valid = false;
            break;
    }
    valid = valid && fitsInt32(targetPan) && fitsInt32(targetTilt) &&
            configuration.degreesToStepsChecked(static_cast<int32_t>(targetPan),
                                                static_cast<int32_t>(targetTilt), target);
    if (!valid) return false;
    bool increase = false;
    int32_t steps = 0;
    return panAxis ? moveDistance(deviceReport.x, target.x, increase, steps)
                   : moveDistance(deviceReport.y, target.y, increase, steps);
}

void MotorControl::__resetPosition() {
    deviceReport = StepPosition{0, 0};
    currentPosition.store(StepPosition{0, 0});
}

void MotorControl::__transitionState(MotorState next) {
    // Plain pointers, nothing to destroy: a table with a destructor would be
    // torn down at exit before the controller, while this thread still runs.
    static const char *const names[] = {"RESET",     "INITIALIZING", "HOMMING_X",
                                        "HOMMING_Y", "READY",        "BUSY"};
    LOG_INFO(std::string("Transitioning FSM: ") + names[static_cast<int>(state.load())] + " -> " +
             names[static_cast<int>(next)]);
    state.store(next);
    if (next == MotorState::READY) __notifySettled();
}
