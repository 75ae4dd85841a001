// Entry point of gimbalhub: command line, signals, start-up order, event loop
// and orderly shutdown.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "MotorControl.h"
#include "control_object.h"
#include "log.h"
#include "motion_settings.h"
#include "ubus_overlay.h"

std::string configuration_file;

namespace {

// The event loop forgets a stop request made before it starts, so a signal
// during start-up is remembered here as well.
volatile sig_atomic_t stop_signal = 0;

}  // namespace

static void usage(const char *program_name) {
    puts("Mode of use:");
    printf("%s [-c configuration_file]\n", program_name);
    exit(1);
}

static void handle_signal(int signal_number) {
    stop_signal = signal_number;
    ubus_stop();
    ubus_wakeup();
}

static void program() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handle_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGINT, &action, nullptr) == -1 || sigaction(SIGTERM, &action, nullptr) == -1) {
        perror("sigaction");
        exit(1);
    }

    if (ubus_init() != 0) {
        LOG_ERROR("Unable to init ubs rpc");
        exit(1);
    }

    MotorControl &motorControl = MotorControl::getInstance();
    // A failure on the control thread wakes the loop; the main thread then
    // ends the process (exiting on the control thread would join it from itself).
    motorControl.setFailureListener([] { ubus_wakeup(); });
    // Position events: the control thread queues them, the event loop sends them.
    control_object_attach(motorControl);
    motorControl.loadConfiguration(configuration_file);
    motorControl.initialize();
    // Presets, jogs, tours and park, on the extension object only.
    control_object_start_motions(
        motorControl,
        ptz::loadMotionSettings(configuration_file, motorControl.persistentFilePath()));

    if (stop_signal != 0) {
        LOG_INFO("Stop requested during start-up, not entering ubus main loop");
    } else {
        LOG_INFO("Entering ubus main loop");
        ubus_run();
    }
    LOG_INFO("ubus main loop exited. Terminating ubus");
    ubus_deinit();

    if (motorControl.hasFailed()) {
        throw MotorControl::MotorControlException(motorControl.failureText());
    }
    if (ubus_connection_was_lost()) {
        LOG_ERROR("Exiting after the loss of the ubus connection");
        exit(1);
    }
}

int main(int argc, char **argv) {
    log_init(argv[0], 0);

    int option;
    while ((option = getopt(argc, argv, "c:")) != -1) {
        switch (option) {
            case 'c':
                configuration_file = optarg;
                break;
            default:
                usage(argv[0]);
        }
    }
    if (configuration_file.empty()) usage(argv[0]);

    try {
        program();
    } catch (MotorControl::MotorControlException &exception) {
        LOG_ERROR(std::string("Caught MotorControlException with content: ") + exception.what());
        exit(1);
    } catch (std::exception &exception) {
        LOG_ERROR(std::string("Caught exception of unknown type with content: ") +
                  exception.what());
        exit(1);
    }

    LOG_FINISHED();
    exit(0);
}
