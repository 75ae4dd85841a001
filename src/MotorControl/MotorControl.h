// Pan/tilt motor controller: configuration, the driver link, the command
// queue, the persisted camera position and the control thread.
#ifndef GIMBALHUB_MOTORCONTROL_H
#define GIMBALHUB_MOTORCONTROL_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <thread>

#include "MotorConfiguration.h"
#include "MotorDriver.h"

// A StepPosition that one thread writes while another reads it; each word
// is read and written whole.
struct SharedStepPosition {
    std::atomic<int32_t> x{0};
    std::atomic<int32_t> y{0};

    StepPosition load() const { return StepPosition{x.load(), y.load()}; }
    void store(const StepPosition &position) {
        x.store(position.x);
        y.store(position.y);
    }
};

enum class MotorState : int32_t {
    RESET = 0,
    INITIALIZING = 1,
    HOMMING_X = 2,
    HOMMING_Y = 3,
    READY = 4,
    BUSY = 5,
};

enum class MotorCommandType : int32_t {
    PAN_CHANGE = 1,
    TILT_CHANGE = 2,
    PAN_SET = 3,
    TILT_SET = 4,
};

struct MotorCommand {
    MotorCommandType cmd;
    int32_t delta;  // degrees, PAN_CHANGE and TILT_CHANGE
    int32_t pan;    // degrees, PAN_SET
    int32_t tilt;   // degrees, TILT_SET
};

static_assert(sizeof(MotorCommand) == 16, "four 32-bit words");
static_assert(sizeof(MotorState) == 4, "state is one 32-bit word");

// A consistent picture of the controller for status queries.
struct MotorStatus {
    MotorState state;
    bool moving;  // a move in flight, homing under way, or commands waiting
    int pan;      // as getPanAndTilt reports it
    int tilt;
    size_t queued;
    int homePan;  // where homing goes at the next start
    int homeTilt;
    double panMin;  // the configured range, in degrees
    double panMax;
    double tiltMin;
    double tiltMax;
};

class MotorControl {
public:
    // Not derived publicly from std::exception on purpose: the service shell
    // catches it by its own type, ahead of every other standard exception.
    class MotorControlException : std::exception {
    public:
        explicit MotorControlException(const std::string &message) : message(message) {}
        ~MotorControlException() override = default;
        const char *what() const noexcept override { return message.c_str(); }

    private:
        std::string message;
    };

    // Commands waiting beyond this are refused; the motors could never catch
    // up with them anyway.
    static constexpr size_t kMaxQueuedCommands = 256;

    static MotorControl &getInstance();

    // On the real "/dev/ssp".
    MotorControl();
    explicit MotorControl(std::unique_ptr<MotorDriver> driver);
    ~MotorControl();
    MotorControl(const MotorControl &) = delete;
    MotorControl &operator=(const MotorControl &) = delete;

    bool loadConfiguration(const std::string &path);
    void initialize();

    bool changePan(int delta);
    bool changeTilt(int delta);
    bool setPanAndTilt(int pan, int tilt);
    void getPanAndTilt(int &pan, int &tilt);

    bool saveCurrentPosition();

    // The control thread ended on a fatal device failure.
    bool hasFailed() const;
    std::string failureText() const;
    // Called on the control thread once it has recorded a failure and left its
    // loop. It must only wake someone up; ending the process is the caller's
    // business.
    void setFailureListener(std::function<void()> listener);

    // Operations beyond the move/query set (MotorControlExtensions.cpp).
    MotorStatus getStatus();
    // Drops every queued command that has not reached the driver; the move
    // already sent completes. Returns how many were dropped.
    size_t dropQueuedCommands();
    // Makes the current position the home and persists it; false (home
    // unchanged) before homing has finished or when the file cannot be written.
    bool setHomeToCurrentPosition(int &pan, int &tilt);
    void getHomePosition(int &pan, int &tilt);
    // Queues the move to the home position, as setPanAndTilt does.
    bool moveToHome(int &pan, int &tilt);
    // Where the head will be once the move in flight ends (the homing target
    // until homing is over), ignoring what still waits in the queue.
    void getTargetAfterMove(int &pan, int &tilt);
    // Drops every queued command and queues a move in one step, so nothing
    // can slip in between. The planner runs under the queue's lock with the
    // angles getTargetAfterMove reports and sets the angles to move to; an
    // axis it leaves empty gets no command. It must only compute. The move
    // in flight completes. Returns how many commands were dropped.
    using MovePlanner = std::function<void(int basePan, int baseTilt, std::optional<int> &pan,
                                           std::optional<int> &tilt)>;
    size_t replaceQueuedCommands(const MovePlanner &planner);
    static const char *stateName(MotorState state);
    // Called on the control thread each time the head settles in READY (a
    // move completed or homing ended). Like the failure listener it must only
    // hand the values over and wake someone up.
    void setSettledListener(std::function<void(int pan, int tilt, MotorState state)> listener);

    // What loadConfiguration accepted (the defaults before).
    const MotorConfiguration &motorConfiguration() const { return configuration; }
    const std::string &persistentFilePath() const { return persistentFile; }

private:
    void __startControl();
    void __stopControl();
    void __motorControlThread();
    void __stepStateMachine();
    void __processMotorCmd();
    bool __commandTarget(const MotorCommand &command, StepPosition &target, bool &panAxis);
    StepPosition __targetAfterMoveLocked();
    void __transitionState(MotorState next);
    void __resetPosition();

    int __motorInitPosition();
    int __motorGetPosition();
    int __motorMovePan(StepPosition &target);
    int __motorMoveTilt(StepPosition &target);
    bool __waitForDeviceReady(int timeout);

    void __recordFailure(const std::string &text);
    void __notifyFailure();
    void __notifySettled();

    std::mutex queueMutex;
    std::queue<MotorCommand, std::deque<MotorCommand>> commandQueue;
    std::thread controlThread;
    std::atomic<MotorState> state{MotorState::RESET};
    std::atomic<bool> stopRequested{false};
    std::unique_ptr<MotorDriver> driver;
    StepPosition deviceReport{};  // the driver's last report
    SharedStepPosition lastPosition;
    SharedStepPosition currentPosition;
    std::string persistentFile;
    MotorConfiguration configuration;

    mutable std::mutex failureMutex;  // guards failure and failureListener
    std::atomic<bool> failed{false};
    std::string failure;
    std::function<void()> failureListener;

    // Set while a command taken from the queue is on its way to the driver,
    // so a status query never sees the head idle in between.
    std::atomic<bool> dispatching{false};
    // The target of the command taken last, valid while it is carried out;
    // guarded by queueMutex so a query sees it together with dispatching.
    StepPosition flightTarget{};
    bool flightTargetValid = false;
    std::mutex settledMutex;  // guards settledListener
    std::function<void(int, int, MotorState)> settledListener;
};

#endif  // GIMBALHUB_MOTORCONTROL_H
