// The simulator's driver model behind the controller's driver seam, so unit
// tests run the controller without any device.
#ifndef GIMBAL_TEST_MODEL_DRIVER_H
#define GIMBAL_TEST_MODEL_DRIVER_H

#include <memory>

#include "MotorDriver.h"
#include "ssp_model.h"

class ModelDriver : public MotorDriver {
public:
    // The model is shared so the test can keep steering and reading it.
    explicit ModelDriver(std::shared_ptr<sspsim::Model> model) : model_(std::move(model)) {}

    int open() override { return model_->open(); }
    int initPosition() override { return model_->init(); }
    int getPosition(StepPosition &position) override;
    int move(MotorDirection direction, int32_t steps) override {
        return model_->move(static_cast<int>(direction), steps);
    }
    int waitReady(int timeout, bool &ready) override;

private:
    std::shared_ptr<sspsim::Model> model_;
};

#endif  // GIMBAL_TEST_MODEL_DRIVER_H
