// ubus: command-line client of the bus (list objects, call methods).
#include <libubus.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "blobmsg_text.h"
#include "events.h"

namespace {

bool g_simple = false;
int g_verbose = 0;
int g_timeoutSec = 30;
blob_buf g_buf;

int usage(const char *prog)
{
    fprintf(stderr,
            "Usage: %s [<options>] <command> [arguments...]\n"
            "Options:\n"
            " -s <socket>:\t\tSet the unix domain socket to connect to\n"
            " -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
            " -S:\t\t\tUse simplified output (for scripts)\n"
            " -v:\t\t\tMore verbose output\n"
            " -m <type>:\t\t(for monitor): include a specific message type\n"
            "\t\t\t(can be used more than once)\n"
            " -M <r|t>\t\t(for monitor): only capture received or transmitted traffic\n"
            "\n"
            "Commands:\n"
            " - list [<path>]\t\t\tList objects\n"
            " - call <path> <method> [<message>]\tCall an object method\n"
            " - subscribe <path> [<path>...]\tSubscribe to object(s) notifications\n"
            " - listen [<path>...]\t\t\tListen for events\n"
            " - send <type> [<message>]\t\tSend an event\n"
            " - wait_for <object> [<object>...]\tWait for multiple objects to appear on ubus\n"
            " - monitor\t\t\t\tMonitor ubus traffic\n"
            "\n",
            prog);
    return 1;
}

// Failures of a call echo the whole command line when stderr is not a
// terminal (log files then show what failed); the negative result makes the
// exit status 256 - err, as scripts written for this tool expect.
int commandError(const char *cmd, int argc, char **argv, int err)
{
    if (!g_simple && !isatty(fileno(stderr))) {
        fprintf(stderr, "Command failed: ubus %s ", cmd);
        for (int i = 0; i < argc; i++)
            fprintf(stderr, "%s ", argv[i]);
        fprintf(stderr, "(%s)\n", ubus_strerror(err));
        return -err;
    }
    return err;
}

void printListEntry(ubus_context *, ubus_object_data *obj, void *)
{
    if (g_simple || !g_verbose) {
        printf("%s\n", obj->path);
        return;
    }
    printf("'%s' @%08x\n", obj->path, obj->id);
    if (!obj->signature)
        return;

    size_t rem = blob_len(obj->signature);
    const auto *pos = static_cast<const uint8_t *>(blob_data(obj->signature));
    while (rem >= 4) {
        const auto *method = reinterpret_cast<const blob_attr *>(pos);
        size_t pad = blob_pad_len(method);
        if (pad < 4 || pad > rem)
            break;
        std::string text = ubuscli::formatJson(method, false, -1, ubuscli::signatureTypeName);
        printf("\t%s\n", text.c_str());
        rem -= pad;
        pos += pad;
    }
}

void printCallData(ubus_request *, int, blob_attr *msg)
{
    if (!msg)
        return;
    std::string text = ubuscli::formatJson(msg, true, g_simple ? -1 : 0);
    printf("%s\n", text.c_str());
}

int cmdList(ubus_context *ctx, int argc, char **argv)
{
    if (argc > 1)
        return -2;
    return ubus_lookup(ctx, argc == 1 ? argv[0] : nullptr, printListEntry, nullptr);
}

int cmdCall(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 2 || argc > 3)
        return -2;

    blob_buf_init(&g_buf, 0);
    if (argc == 3 && !ubuscli::addJsonObject(&g_buf, argv[2]))
        return commandError("call", argc, argv, UBUS_STATUS_PARSE_ERROR);

    uint32_t id = 0;
    int ret = ubus_lookup_id(ctx, argv[0], &id);
    if (ret)
        return ret;

    int timeoutMs = g_timeoutSec > INT_MAX / 1000 ? INT_MAX : g_timeoutSec * 1000;
    ret = ubus_invoke(ctx, id, argv[1], g_buf.head, printCallData, nullptr, timeoutMs);
    if (ret)
        return commandError("call", argc, argv, ret);
    return 0;
}

struct Command {
    const char *name;
    int (*run)(ubus_context *ctx, int argc, char **argv);
};

const Command kCommands[] = {
    {"list", cmdList},
    {"call", cmdCall},
    {"listen", ubuscli::listenCommand},
    {"send", ubuscli::sendCommand},
    {"wait_for", ubuscli::waitForCommand},
    {"subscribe", [](ubus_context *, int, char **) { return ubuscli::unsupportedCommand("subscribe"); }},
    {"monitor", [](ubus_context *, int, char **) { return ubuscli::unsupportedCommand("monitor"); }},
};

const Command *findCommand(const char *name)
{
    for (const Command &c : kCommands)
        if (strcmp(c.name, name) == 0)
            return &c;
    return nullptr;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    const char *socketPath = nullptr;
    int ch;

    while ((ch = getopt(argc, argv, "m:M:vs:t:S")) != -1) {
        switch (ch) {
        case 's':
            socketPath = optarg;
            break;
        case 't':
            g_timeoutSec = atoi(optarg);
            ubuscli::eventOptions.listenTimeoutSec = g_timeoutSec;
            break;
        case 'S':
            g_simple = true;
            break;
        case 'v':
            g_verbose++;
            break;
        case 'm':
        case 'M':  // monitor filters; there is no monitor here
            break;
        default:
            return usage(prog);
        }
    }

    argc -= optind;
    argv += optind;
    if (argc < 1)
        return usage(prog);
    const char *cmd = argv[0];
    ubuscli::eventOptions.simple = g_simple;
    ubuscli::eventOptions.timeoutSec = g_timeoutSec;
    const Command *command = findCommand(cmd);

    ubus_context *ctx = ubus_connect(socketPath);
    if (!ctx) {
        if (!g_simple)
            fprintf(stderr, "Failed to connect to ubus\n");
        return -1;
    }

    argv++;
    argc--;

    // -2 doubles as "show the usage": unknown commands and wrong argument
    // counts, and also a call that failed with INVALID_ARGUMENT.
    int ret = command ? command->run(ctx, argc, argv) : -2;

    if (ret > 0 && !g_simple)
        fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
    else if (ret == -2)
        usage(prog);

    fflush(stdout);
    ubus_free(ctx);
    blob_buf_free(&g_buf);
    return ret;
}
