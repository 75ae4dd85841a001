// The tool's event commands: listen, send and wait_for, and the answer for
// the commands this tool does not provide.
#ifndef UBUS_CLI_EVENTS_H
#define UBUS_CLI_EVENTS_H

#include <libubus.h>

namespace ubuscli {

struct EventOptions {
    bool simple = false;       // -S: no error messages
    int timeoutSec = 30;       // -t: wait_for's limit
    int listenTimeoutSec = 0;  // -t given: listen ends after it; 0 runs until killed
};
extern EventOptions eventOptions;

// Each returns what main turns into the exit status: 0, a bus status, or
// -2 for "show the usage".
int listenCommand(ubus_context *ctx, int argc, char **argv);
int sendCommand(ubus_context *ctx, int argc, char **argv);
int waitForCommand(ubus_context *ctx, int argc, char **argv);
int unsupportedCommand(const char *name);

}  // namespace ubuscli

#endif
