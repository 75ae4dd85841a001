#include "MotorControl.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "log.h"

using nlohmann::json;

namespace {

const char *const kDevicePath = "/dev/ssp";

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

// "<prefix>/dev/ssp.<strerror> (<errno>)." for the current errno.
std::string deviceError(const char *prefix) {
    int error = errno;
    std::ostringstream text;
    text << prefix << kDevicePath << "." << std::strerror(error) << " (" << error << ").";
    return text.str();
}

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
        if (!fitsInt32(number)) return false;
        angle = static_cast<int32_t>(number);
        return true;
    }
    double truncated = std::trunc(value.get<double>());
    if (!(truncated >= static_cast<double>(INT32_MIN) && truncated <= static_cast<double>(INT32_MAX)))
        return false;
    angle = static_cast<int32_t>(truncated);
    return true;
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

bool writeAll(int fd, const std::string &text) {
    const char *data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
    return true;
}

// Makes a rename durable; a failure here loses nothing that was not already
// at risk, so it is ignored.
void syncDirectoryOf(const std::string &path) {
    size_t slash = path.find_last_of('/');
    std::string directory = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

// ---------------------------------------------------------------------------
// MotorConfiguration

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

// ---------------------------------------------------------------------------
// Construction, queueing, position query

MotorControl &MotorControl::getInstance() {
    static MotorControl instance;
    return instance;
}

MotorControl::MotorControl()
    : configuration(MotorConfiguration::make(-177.5, 177.5, -22.5, 22.5, 4096)) {
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
// Configuration file

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

// ---------------------------------------------------------------------------
// Persisted camera position

bool MotorControl::__loadPersistLocation() {
    std::ifstream file(persistentFile);
    if (!file.is_open()) {
        LOG_ERROR("Error opening persistent file: " + persistentFile);
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
    StepPosition steps{};
    if (!angleFromJson(panValue, pan) || !angleFromJson(tiltValue, tilt) ||
        !configuration.degreesToStepsChecked(pan, tilt, steps)) {
        LOG_ERROR("Persistent position out of range");
        return false;
    }
    std::ostringstream message;
    message << "Last Camera position loaded. Pan = " << pan << " deg, Tilt = " << tilt << " deg.";
    LOG_INFO(message.str());
    lastPosition.store(steps);
    return true;
}

// Written to a temporary beside the file and renamed over it, so a failed
// write never leaves a truncated position behind.
bool MotorControl::__savePersistLocation() {
    int32_t pan = 0;
    int32_t tilt = 0;
    configuration.stepsToDegrees(lastPosition.load(), pan, tilt);
    json root;
    root["LastCameraPosition"]["Pan"] = pan;
    root["LastCameraPosition"]["Tilt"] = tilt;
    std::ostringstream out;
    out << root;
    const std::string text = out.str();

    if (persistentFile.empty()) {
        LOG_ERROR("Error opening persistent file: " + persistentFile);
        return false;
    }
    const std::string temporary = persistentFile + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        LOG_ERROR("Error opening persistent file: " + persistentFile);
        return false;
    }
    bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (written) written = ::rename(temporary.c_str(), persistentFile.c_str()) == 0;
    if (!written) {
        ::unlink(temporary.c_str());
        LOG_ERROR("Error writing persistent file: " + persistentFile);
        return false;
    }
    syncDirectoryOf(persistentFile);
    return true;
}

bool MotorControl::saveCurrentPosition() {
    lastPosition.store(currentPosition.load());
    return __savePersistLocation();
}

// ---------------------------------------------------------------------------
// Device link

int MotorControl::__motorInitPosition() {
    LOG_INFO("Initializing position");
    if (::ioctl(deviceFd, MOTOR_IOC_INIT_POSITION, 0) < 0) {
        std::string text = deviceError("Unable to send ioctl to initialize position to dev ");
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    return 0;
}

int MotorControl::__motorGetPosition() {
    LOG_INFO("Retreving motor position");
    MotorPositionReport report{};
    int result = ::ioctl(deviceFd, MOTOR_IOC_GET_POSITION, &report);
    if (result < 0) {
        LOG_ERROR("Unable to retrieve motor position");
        return result;
    }
    deviceReport.x = report.x;
    deviceReport.y = report.y;
    StepPosition position{report.x, report.y};
    currentPosition.store(position);
    int32_t pan = 0;
    int32_t tilt = 0;
    configuration.stepsToDegrees(position, pan, tilt);
    std::ostringstream message;
    message << "Retrieved position x: " << position.x << " y: " << position.y << ", pan: " << pan
            << " tilt: " << tilt;
    LOG_INFO(message.str());
    return result;
}

int MotorControl::__motorMovePan(StepPosition &target) {
    bool increase = false;
    int32_t steps = 0;
    if (!moveDistance(deviceReport.x, target.x, increase, steps)) {
        LOG_ERROR("Pan move too far for one request; not sent");
        return -1;
    }
    MotorMoveRequest request{};
    request.direction = static_cast<int32_t>(increase ? MotorDirection::PAN_INCREASE
                                                      : MotorDirection::PAN_DECREASE);
    request.steps = steps;
    return ::ioctl(deviceFd, MOTOR_IOC_MOVE, &request);
}

int MotorControl::__motorMoveTilt(StepPosition &target) {
    bool increase = false;
    int32_t steps = 0;
    if (!moveDistance(deviceReport.y, target.y, increase, steps)) {
        LOG_ERROR("Tilt move too far for one request; not sent");
        return -1;
    }
    MotorMoveRequest request{};
    request.direction = static_cast<int32_t>(increase ? MotorDirection::TILT_INCREASE
                                                      : MotorDirection::TILT_DECREASE);
    request.steps = steps;
    return ::ioctl(deviceFd, MOTOR_IOC_MOVE, &request);
}

bool MotorControl::__waitForDeviceReady(int timeout) {
    devicePoll.revents = 0;  // never act on a stale readiness bit
    int result = ::poll(&devicePoll, 1, timeout);
    if (result < 0) {
        std::string text = deviceError("Error while polling device ");
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    if ((devicePoll.revents & POLLOUT) != 0) {
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
    if (!__loadPersistLocation()) {
        LOG_INFO("Persistent file not foud. Using default home position");
        lastPosition.store(configuration.degreesToSteps(0, 0));
    }
    deviceFd = ::open(kDevicePath, O_RDWR);
    if (deviceFd < 0) {
        std::string text = deviceError("Unable to open device ");
        LOG_ERROR(text);
        throw MotorControlException(text);
    }
    devicePoll.fd = deviceFd;
    devicePoll.events = POLLOUT;
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
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (commandQueue.empty()) return;
        command = commandQueue.front();
        commandQueue.pop();
        dispatching.store(true);
    }
    const int kind = static_cast<int>(command.cmd);
    std::ostringstream message;
    message << "Dequeuing command. cmd = " << kind;
    LOG_INFO(message.str());

    int32_t pan = 0;
    int32_t tilt = 0;
    bool valid = configuration.stepsToDegreesChecked(currentPosition.load(), pan, tilt);
    // Targets are summed in 64 bits: a far delta must be refused, not wrapped.
    int64_t targetPan = pan;
    int64_t targetTilt = tilt;
    bool panAxis = true;
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
    StepPosition target{};
    valid = valid && fitsInt32(targetPan) && fitsInt32(targetTilt) &&
            configuration.degreesToStepsChecked(static_cast<int32_t>(targetPan),
                                                static_cast<int32_t>(targetTilt), target);
    if (valid) {
        bool increase = false;
        int32_t steps = 0;
        valid = panAxis ? moveDistance(deviceReport.x, target.x, increase, steps)
                        : moveDistance(deviceReport.y, target.y, increase, steps);
    }
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

void MotorControl::__resetPosition() {
    deviceReport = MotorPositionReport{};
    currentPosition.store(StepPosition{0, 0});
}

void MotorControl::__transitionState(MotorState next) {
    // Plain pointers, nothing to destroy: a table with a destructor would be
    // torn down at exit before the controller, while this thread still runs.
    static const char *const names[] = {"RESET", "INITIALIZING", "HOMMING_X",
                                        "HOMMING_Y", "READY",        "BUSY"};
    LOG_INFO(std::string("Transitioning FSM: ") + names[static_cast<int>(state.load())] + " -> " +
             names[static_cast<int>(next)]);
    state.store(next);
    if (next == MotorState::READY) __notifySettled();
}
