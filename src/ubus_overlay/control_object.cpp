// libubus.h comes first: with the real libraries only it wraps the libubox
// headers in extern "C".
#include <libubus.h>

#include "control_object.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "MotorControl.h"
#include "log.h"

namespace {

const char kPositionEvent[] = "gimbalhub.position";
const char kStoppedEvent[] = "gimbalhub.stopped";

// Events waiting for the main thread. The control thread settles at most
// every 100 ms, so a short queue only overflows if the loop is stuck; then
// the oldest are dropped, as the newest position is the one that matters.
constexpr size_t kMaxPendingEvents = 64;
constexpr int kEventTimeoutMs = 1000;

struct PendingEvent {
    bool stopped;
    int pan;
    int tilt;
    MotorState state;
    size_t dropped;
};

struct EventState {
    std::mutex mutex;
    std::deque<PendingEvent> pending;
    int pipe[2] = {-1, -1};
    struct uloop_fd fd = {};
    struct ubus_context *ctx = nullptr;
    struct blob_buf buffer = {};
    bool failing = false;
};

// Never destroyed: the control thread may still report while the process exits.
EventState &events() {
    static EventState *state = new EventState;
    return *state;
}

struct blob_buf reply_buffer;

void wake() {
    int fd = events().pipe[1];
    if (fd < 0) return;
    char byte = 1;
    // A full pipe already holds a wake-up.
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
}

void queue_event(const PendingEvent &event) {
    EventState &state = events();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.pending.size() >= kMaxPendingEvents) state.pending.pop_front();
        state.pending.push_back(event);
    }
    wake();
}

// Runs on the main thread. A failed send (broker gone, refused) changes
// nothing else: the motors never wait for events.
void send_pending(struct uloop_fd *fd, unsigned int) {
    char drain[64];
    while (read(fd->fd, drain, sizeof drain) > 0) {
    }
    EventState &state = events();
    std::deque<PendingEvent> batch;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        batch.swap(state.pending);
    }
    for (const PendingEvent &event : batch) {
        if (state.ctx == nullptr) return;
        const char *id = event.stopped ? kStoppedEvent : kPositionEvent;
        blob_buf_init(&state.buffer, 0);
        blobmsg_add_string(&state.buffer, "id", id);
        void *data = blobmsg_open_table(&state.buffer, "data");
        if (event.stopped) {
            blobmsg_add_u32(&state.buffer, "dropped", static_cast<uint32_t>(event.dropped));
        } else {
            blobmsg_add_u32(&state.buffer, "pan", static_cast<uint32_t>(event.pan));
            blobmsg_add_u32(&state.buffer, "tilt", static_cast<uint32_t>(event.tilt));
            blobmsg_add_string(&state.buffer, "state", MotorControl::stateName(event.state));
        }
        blobmsg_close_table(&state.buffer, data);
        // The same request ubus_send_event makes, but bounded: a stalled broker
        // must not hold the loop (and a SIGTERM) for ever.
        int result = ubus_invoke(state.ctx, UBUS_SYSTEM_OBJECT_EVENT, "send", state.buffer.head,
                                 nullptr, nullptr, kEventTimeoutMs);
        // One line per run of failures, not one per move.
        if (result != 0 && !state.failing)
            LOG_ERROR(std::string("Failed to send event ") + id + ": " + ubus_strerror(result));
        state.failing = result != 0;
        // The rest of this batch is stale by now.
        if (result != 0) return;
    }
}

void add_position(struct blob_buf *buffer, const char *name, int pan, int tilt) {
    void *table = name ? blobmsg_open_table(buffer, name) : nullptr;
    blobmsg_add_u32(buffer, "pan", static_cast<uint32_t>(pan));
    blobmsg_add_u32(buffer, "tilt", static_cast<uint32_t>(tilt));
    if (table) blobmsg_close_table(buffer, table);
}

void add_range(struct blob_buf *buffer, const char *name, double min, double max) {
    void *array = blobmsg_open_array(buffer, name);
    blobmsg_add_double(buffer, nullptr, min);
    blobmsg_add_double(buffer, nullptr, max);
    blobmsg_close_array(buffer, array);
}

// No method takes arguments; whatever a caller (or a gateway) adds is ignored.
int handle_status(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                  const char *, struct blob_attr *) {
    const MotorStatus status = MotorControl::getInstance().getStatus();
    blob_buf_init(&reply_buffer, 0);
    blobmsg_add_string(&reply_buffer, "state", MotorControl::stateName(status.state));
    blobmsg_add_u8(&reply_buffer, "moving", status.moving ? 1 : 0);
    add_position(&reply_buffer, nullptr, status.pan, status.tilt);
    blobmsg_add_u32(&reply_buffer, "queued", static_cast<uint32_t>(status.queued));
    add_position(&reply_buffer, "home", status.homePan, status.homeTilt);
    // The configured range, so that a client can draw the position within it.
    void *limits = blobmsg_open_table(&reply_buffer, "limits");
    add_range(&reply_buffer, "pan", status.panMin, status.panMax);
    add_range(&reply_buffer, "tilt", status.tiltMin, status.tiltMax);
    blobmsg_close_table(&reply_buffer, limits);
    ubus_send_reply(ctx, req, reply_buffer.head);
    return UBUS_STATUS_OK;
}

int handle_stop(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                const char *, struct blob_attr *) {
    const size_t dropped = MotorControl::getInstance().dropQueuedCommands();
    blob_buf_init(&reply_buffer, 0);
    blobmsg_add_u32(&reply_buffer, "dropped", static_cast<uint32_t>(dropped));
    ubus_send_reply(ctx, req, reply_buffer.head);
    // Sent from the loop after this reply, never from inside the handler.
    queue_event(PendingEvent{true, 0, 0, MotorState::READY, dropped});
    return UBUS_STATUS_OK;
}

int handle_set_home(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                    const char *, struct blob_attr *) {
    int pan = 0;
    int tilt = 0;
    if (!MotorControl::getInstance().setHomeToCurrentPosition(pan, tilt))
        return UBUS_STATUS_UNKNOWN_ERROR;
    blob_buf_init(&reply_buffer, 0);
    add_position(&reply_buffer, nullptr, pan, tilt);
    ubus_send_reply(ctx, req, reply_buffer.head);
    return UBUS_STATUS_OK;
}

int handle_goto_home(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                     const char *, struct blob_attr *) {
    int pan = 0;
    int tilt = 0;
    // A full queue refuses the move; the caller must hear that.
    if (!MotorControl::getInstance().moveToHome(pan, tilt)) return UBUS_STATUS_UNKNOWN_ERROR;
    blob_buf_init(&reply_buffer, 0);
    add_position(&reply_buffer, nullptr, pan, tilt);
    ubus_send_reply(ctx, req, reply_buffer.head);
    return UBUS_STATUS_OK;
}

const struct ubus_method control_methods[] = {
    UBUS_METHOD_NOARG("status", handle_status),
    UBUS_METHOD_NOARG("stop", handle_stop),
    UBUS_METHOD_NOARG("setHome", handle_set_home),
    UBUS_METHOD_NOARG("gotoHome", handle_goto_home),
};

struct ubus_object_type control_object_type =
    UBUS_OBJECT_TYPE("gimbalhub.control", control_methods);

struct ubus_object control_object = {
    .avl = {},
    .name = "gimbalhub.control",
    .id = 0,
    .path = nullptr,
    .type = &control_object_type,
    .subscribe_cb = nullptr,
    .has_subscribers = false,
    .methods = control_methods,
    .n_methods = ARRAY_SIZE(control_methods),
};

bool open_event_pipe(EventState &state) {
    if (state.pipe[0] >= 0) return true;
    if (pipe(state.pipe) != 0) return false;
    for (int fd : state.pipe) {
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    state.fd.cb = send_pending;
    state.fd.fd = state.pipe[0];
    return uloop_fd_add(&state.fd, ULOOP_READ) == 0;
}

}  // namespace

int control_object_add(struct ubus_context *ctx) {
    EventState &state = events();
    if (!open_event_pipe(state)) return UBUS_STATUS_SYSTEM_ERROR;
    state.ctx = ctx;
    return ubus_add_object(ctx, &control_object);
}

void control_object_attach(MotorControl &controller) {
    controller.setSettledListener([](int pan, int tilt, MotorState state) {
        queue_event(PendingEvent{false, pan, tilt, state, 0});
    });
}
