#include "model_driver.h"

#include <algorithm>
#include <chrono>
#include <thread>

int ModelDriver::getPosition(StepPosition &position) {
    sspsim::Position reported{0, 0};
    int error = model_->get(reported);
    if (error == 0) position = StepPosition{reported.x, reported.y};
    return error;
}

int ModelDriver::waitReady(int timeout, bool &ready) {
    int error = model_->beginPoll();
    if (error != 0) return error;
    double wait = 0;
    ready = model_->ready(&wait);
    if (!ready && timeout != 0) {
        // Only whole waits up to the timeout; the controller itself never blocks.
        double seconds = timeout < 0 ? wait : std::min(wait, timeout / 1000.0);
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(seconds, 3600.0)));
        ready = model_->ready(&wait);
    }
    return 0;
}
