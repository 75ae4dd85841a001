// What the motions need of the motor controller. The daemon hands them the
// controller itself through ControllerHead; tests hand them a head that
// moves only when told to.
#ifndef GIMBALHUB_PTZ_HEAD_H
#define GIMBALHUB_PTZ_HEAD_H

#include <cstddef>

#include "MotorControl.h"

namespace ptz {

class Head {
public:
    virtual ~Head() = default;
    virtual MotorStatus status() = 0;
    // See MotorControl::replaceQueuedCommands.
    virtual size_t replaceQueuedCommands(const MotorControl::MovePlanner &planner) = 0;
};

class ControllerHead : public Head {
public:
    explicit ControllerHead(MotorControl &controller) : controller(controller) {}
    MotorStatus status() override { return controller.getStatus(); }
    size_t replaceQueuedCommands(const MotorControl::MovePlanner &planner) override {
        return controller.replaceQueuedCommands(planner);
    }

private:
    MotorControl &controller;
};

}  // namespace ptz

#endif  // GIMBALHUB_PTZ_HEAD_H
