#include "events.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "blobmsg_text.h"

namespace ubuscli {

EventOptions eventOptions;

namespace {

blob_buf g_eventBuf;
bool g_connectionLost = false;

void endOnConnectionLost(ubus_context *)
{
    g_connectionLost = true;
    uloop_end();
}

void endLoop(uloop_timeout *)
{
    uloop_end();
}

// One line per event, flushed at once so a pipe reader sees it immediately.
void printEvent(ubus_context *, ubus_event_handler *, const char *type, blob_attr *msg)
{
    std::string text = formatJson(msg, true, -1);
    printf("{ \"%s\": %s }\n", type, text.c_str());
    fflush(stdout);
}

// Runs the loop until it is ended; a vanished broker ends it too, where the
// library alone would leave the tool waiting on a dead socket forever.
int runLoop(ubus_context *ctx, uloop_timeout *limit, int seconds)
{
    uloop_init();
    ubus_add_uloop(ctx);
    ctx->connection_lost = endOnConnectionLost;
    if (limit)
        uloop_timeout_set(limit, seconds > 2000000 ? 2000000000 : seconds * 1000);
    uloop_run();
    uloop_done();
    return g_connectionLost ? UBUS_STATUS_CONNECTION_FAILED : 0;
}

struct WaitState {
    uloop_timeout timeout;
    ubus_event_handler ev;
    char **pending;
    int nPending;
};

WaitState g_wait;

void waitCheckObject(const char *path)
{
    for (int i = 0; i < g_wait.nPending; i++) {
        if (strcmp(path, g_wait.pending[i]) != 0)
            continue;
        g_wait.nPending--;
        memmove(&g_wait.pending[i], &g_wait.pending[i + 1],
                static_cast<size_t>(g_wait.nPending - i) * sizeof(*g_wait.pending));
        i--;
    }
    if (!g_wait.nPending)
        uloop_end();
}

void waitEvent(ubus_context *, ubus_event_handler *, const char *, blob_attr *msg)
{
    static const blobmsg_policy policy = {"path", BLOBMSG_TYPE_STRING};
    blob_attr *path = nullptr;
    blobmsg_parse(&policy, 1, &path, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
    if (path)
        waitCheckObject(blobmsg_get_string(path));
}

void waitListed(ubus_context *, ubus_object_data *obj, void *)
{
    waitCheckObject(obj->path);
}

}  // namespace

int listenCommand(ubus_context *ctx, int argc, char **argv)
{
    static ubus_event_handler listener;
    memset(&listener, 0, sizeof(listener));
    listener.cb = printEvent;

    const char *pattern = argc ? argv[0] : "*";
    int ret = 0;
    for (int i = 0; ret == 0 && i < (argc ? argc : 1); i++) {
        pattern = argc ? argv[i] : "*";
        ret = ubus_register_event_handler(ctx, &listener, pattern);
    }
    if (ret) {
        if (!eventOptions.simple)
            fprintf(stderr, "Error while registering for event '%s': %s\n", pattern, ubus_strerror(ret));
        return -1;
    }

    static uloop_timeout limit;
    memset(&limit, 0, sizeof(limit));
    limit.cb = endLoop;
    return runLoop(ctx, eventOptions.listenTimeoutSec ? &limit : nullptr, eventOptions.listenTimeoutSec);
}

int sendCommand(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1 || argc > 2)
        return -2;
    blob_buf_init(&g_eventBuf, 0);
    if (argc == 2 && !addJsonObject(&g_eventBuf, argv[1]))
        return UBUS_STATUS_PARSE_ERROR;
    int ret = ubus_send_event(ctx, argv[0], g_eventBuf.head);
    blob_buf_free(&g_eventBuf);
    return ret;
}

// Registers for object additions first, then lists: an object that appears
// in between is seen either way.
int waitForCommand(ubus_context *ctx, int argc, char **argv)
{
    if (argc < 1)
        return -2;
    memset(&g_wait, 0, sizeof(g_wait));
    g_wait.timeout.cb = endLoop;
    g_wait.ev.cb = waitEvent;
    g_wait.pending = argv;
    g_wait.nPending = argc;

    uloop_init();
    ubus_add_uloop(ctx);
    int ret = ubus_register_event_handler(ctx, &g_wait.ev, "ubus.object.add");
    if (ret)
        return ret;
    // The last object found ends the loop from inside the lookup, which can
    // cut the lookup short before its status: what was found counts.
    ret = ubus_lookup(ctx, nullptr, waitListed, nullptr);
    if (!g_wait.nPending)
        return 0;
    if (ret)
        return ret;

    ret = runLoop(ctx, &g_wait.timeout, eventOptions.timeoutSec);
    if (g_wait.nPending)
        return ret ? ret : UBUS_STATUS_TIMEOUT;
    return 0;
}

int unsupportedCommand(const char *name)
{
    if (!eventOptions.simple)
        fprintf(stderr, "The %s command is not supported by this build\n", name);
    return UBUS_STATUS_NOT_SUPPORTED;
}

}  // namespace ubuscli
