// The daemon's two file readers, fed through real files as at start-up:
// the configuration named with -c, and the persisted camera position read by
// initialize(). The JSON library's exceptions are part of the contract (the
// program ends with status 1 on them), so they are caught here; anything
// else — a crash, a sanitizer report, an escaping foreign exception — is a
// fault.
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include "MotorControl.h"
#include "default_configuration.h"
#include "harness.h"
#include "model_driver.h"

namespace {

void writeFile(const std::string &path, const uint8_t *data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

// Runs one start-up step; true when it went through without an exception.
template <typename Step>
bool survives(Step step) {
    try {
        step();
        return true;
    } catch (const MotorControl::MotorControlException &) {
    } catch (const std::exception &) {
    }
    return false;
}

}  // namespace

int fuzz_config_loader(const uint8_t *data, size_t size) {
    const std::string path = std::string(fuzz_scratch_dir()) + "/config.json";
    writeFile(path, data, size);
    MotorControl control;
    bool loaded = false;
    survives([&] { loaded = control.loadConfiguration(path); });
    // Whatever was accepted must convert positions without trouble: every
    // getPosition request does this.
    int pan = 0, tilt = 0;
    control.getPanAndTilt(pan, tilt);
    (void)loaded;
    return 0;
}

int fuzz_persist_loader(const uint8_t *data, size_t size) {
    const std::string dir = fuzz_scratch_dir();
    const std::string config = dir + "/persist-config.json";
    const std::string persist = dir + "/position.json";
    static bool configWritten = false;
    if (!configWritten) {
        const std::string text = configurationText(persist);
        writeFile(config, reinterpret_cast<const uint8_t *>(text.data()), text.size());
        configWritten = true;
    }
    writeFile(persist, data, size);

    // No driver: initialize() stops right after the persisted position was
    // read, before any thread is started.
    sspsim::Settings settings;
    settings.absent = true;
    MotorControl control(std::make_unique<ModelDriver>(std::make_shared<sspsim::Model>(settings)));
    FUZZ_CHECK(control.loadConfiguration(config));
    bool started = survives([&] { control.initialize(); });
    FUZZ_CHECK(!started);  // the device is absent, so start-up must fail
    return 0;
}
