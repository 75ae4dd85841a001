// libubus.h comes first: the real libubox headers carry no extern "C", and
// only libubus.h wraps them, so any other order fails to link on the device.
#include <libubus.h>

#include "ubus_overlay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>

#include "MotorControl.h"
#include "control_object.h"
#include "events.h"
#include "log.h"

namespace {

enum {
    STEP_ARG,
    __STEP_MAX,
};

enum {
    POSITION_PAN,
    POSITION_TILT,
    __POSITION_MAX,
};

const struct blobmsg_policy step_policy[__STEP_MAX] = {
    {"step", BLOBMSG_TYPE_INT32},
};

const struct blobmsg_policy position_policy[__POSITION_MAX] = {
    {"pan", BLOBMSG_TYPE_INT32},
    {"tilt", BLOBMSG_TYPE_INT32},
};

struct ubus_context *context = nullptr;
struct blob_buf reply_buffer;

// Wake-up pipe: written by signal handlers and the control thread, read by
// the event loop, which then ends itself on the main thread.
int wakeup_pipe[2] = {-1, -1};
volatile sig_atomic_t wakeup_write_fd = -1;
struct uloop_fd wakeup_fd;
volatile sig_atomic_t lost_bus_connection = 0;

int32_t int32_of(struct blob_attr *attr) { return static_cast<int32_t>(blobmsg_get_u32(attr)); }

// The "step" argument; false when it is absent or not an int32.
bool read_step(struct blob_attr *msg, int &step) {
    struct blob_attr *tb[__STEP_MAX];
    blobmsg_parse(step_policy, __STEP_MAX, tb, blob_data(msg), blob_len(msg));
    if (tb[STEP_ARG] == nullptr) return false;
    step = int32_of(tb[STEP_ARG]);
    return true;
}

// One logged value, composed in a 256-byte buffer.
__attribute__((format(printf, 1, 2))) std::string compose(const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace

// __change_pan and __change_tilt are written out twice on purpose: their log
// lines carry the handler's own function name, which a shared helper would
// replace with its own.
static int __change_pan(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
                        const char *, struct blob_attr *msg) {
    LOG_INFO("Entering");
    int step = 0;
    if (!read_step(msg, step)) {
        LOG_INFO("Received message with no step");
    } else {
        LOG_INFO(compose("step of the message received: %d", step));
        MotorControl::getInstance().changePan(step);
        control_object_note_move();
    }
    LOG_INFO("Exiting");
    return 0;
}

static int __change_tilt(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
                         const char *, struct blob_attr *msg) {
    LOG_INFO("Entering");
    int step = 0;
    if (!read_step(msg, step)) {
        LOG_INFO("Received message with no step");
    } else {
        LOG_INFO(compose("step of the message received: %d", step));
        MotorControl::getInstance().changeTilt(step);
        control_object_note_move();
    }
    LOG_INFO("Exiting");
    return 0;
}

static int __change_pos(struct ubus_context *, struct ubus_object *, struct ubus_request_data *,
                        const char *, struct blob_attr *msg) {
    LOG_INFO("Entering");
    struct blob_attr *tb[__POSITION_MAX];
    blobmsg_parse(position_policy, __POSITION_MAX, tb, blob_data(msg), blob_len(msg));
    if (tb[POSITION_PAN] == nullptr) {
        LOG_ERROR("Received message with no pan");
    } else {
        int pan = int32_of(tb[POSITION_PAN]);
        LOG_INFO(compose("pan of the message received: %d", pan));
        if (tb[POSITION_TILT] == nullptr) {
            LOG_ERROR("Received message with no tilt");
        } else {
            int tilt = int32_of(tb[POSITION_TILT]);
            LOG_INFO(compose("tilt of the message received: %d", tilt));
            MotorControl::getInstance().setPanAndTilt(pan, tilt);
            control_object_note_move();
        }
    }
    LOG_INFO("Exiting");
    return 0;
}

static int __get_position(struct ubus_context *ctx, struct ubus_object *,
                          struct ubus_request_data *req, const char *, struct blob_attr *) {
    LOG_INFO("Entering");
    int pan = 0;
    int tilt = 0;
    MotorControl::getInstance().getPanAndTilt(pan, tilt);
    blob_buf_init(&reply_buffer, 0);
    uint32_t wire_pan = htonl(static_cast<uint32_t>(pan));
    uint32_t wire_tilt = htonl(static_cast<uint32_t>(tilt));
    blobmsg_add_field(&reply_buffer, BLOBMSG_TYPE_INT32, "pan", &wire_pan, sizeof wire_pan);
    blobmsg_add_field(&reply_buffer, BLOBMSG_TYPE_INT32, "tilt", &wire_tilt, sizeof wire_tilt);
    ubus_send_reply(ctx, req, reply_buffer.head);
    LOG_INFO("Exiting");
    return 0;
}

namespace {

const struct ubus_method gimbalhub_methods[] = {
    UBUS_METHOD("changePan", __change_pan, step_policy),
    UBUS_METHOD("changeTilt", __change_tilt, step_policy),
    UBUS_METHOD("changePosition", __change_pos, position_policy),
    UBUS_METHOD_NOARG("getPosition", __get_position),
};

struct ubus_object_type gimbalhub_object_type = UBUS_OBJECT_TYPE("gimbalhub", gimbalhub_methods);

struct ubus_object gimbalhub_object = {
    .avl = {},
    .name = "gimbalhub",
    .id = 0,
    .path = nullptr,
    .type = &gimbalhub_object_type,
    .subscribe_cb = nullptr,
    .has_subscribers = false,
    .methods = gimbalhub_methods,
    .n_methods = ARRAY_SIZE(gimbalhub_methods),
};

// The library's default handler leaves the loop running on a dead socket (or,
// elsewhere, ends it as if asked to stop); either way a supervisor would never
// restart us. End the loop and let the shell exit with a failure status.
void on_connection_lost(struct ubus_context *) {
    LOG_ERROR("Connection to ubus lost");
    lost_bus_connection = 1;
    uloop_end();
}

void on_wakeup(struct uloop_fd *fd, unsigned int) {
    char drain[64];
    while (read(fd->fd, drain, sizeof drain) > 0) {
    }
    uloop_end();
}

bool open_wakeup_pipe() {
    if (pipe(wakeup_pipe) != 0) return false;
    for (int fd : wakeup_pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    wakeup_write_fd = wakeup_pipe[1];
    wakeup_fd.cb = on_wakeup;
    wakeup_fd.fd = wakeup_pipe[0];
    return uloop_fd_add(&wakeup_fd, ULOOP_READ) == 0;
}

}  // namespace

int ubus_init() {
    LOG_INFO("Initializing U-Bus context and objects");
    uloop_init();
    context = ubus_connect(nullptr);
    if (context == nullptr) {
        LOG_ERROR("Failed to connect to ubus");
        return -1;
    }
    context->connection_lost = on_connection_lost;
    uloop_fd_add(&context->sock, ULOOP_READ | ULOOP_BLOCKING);
    int result = ubus_add_object(context, &gimbalhub_object);
    if (result != 0) {
        LOG_ERROR(compose("Failed to add object: %s\n", ubus_strerror(result)));
        return -1;
    }
    // The extension object is optional: without it the fixed object still serves.
    result = control_object_add(context);
    if (result != 0)
        LOG_ERROR(compose("Failed to add object gimbalhub.control: %s", ubus_strerror(result)));
    if (!open_wakeup_pipe()) {
        LOG_ERROR("Failed to create the event loop wake-up pipe");
        return -1;
    }
    return 0;
}

void ubus_run() { uloop_run(); }

void ubus_stop() { uloop_cancelled = true; }

void ubus_wakeup() {
    int saved_errno = errno;
    int fd = wakeup_write_fd;
    if (fd >= 0) {
        char byte = 1;
        // A full pipe already holds a wake-up, so a failed write loses nothing.
        ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = saved_errno;
}

bool ubus_connection_was_lost() { return lost_bus_connection != 0; }

void ubus_deinit() {
    LOG_INFO("Freeing U-Bus context");
    events_close();
    ubus_free(context);
    context = nullptr;
    uloop_done();
    // The wake-up pipe stays open until the process ends: a signal handler may
    // still write to it, and a closed descriptor number could be reused.
}
