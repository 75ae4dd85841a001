// libubus.h comes first: with the real libraries only it wraps the libubox
// headers in extern "C".
#include <libubus.h>

#include "events.h"

#include <fcntl.h>
#include <unistd.h>

#include <deque>
#include <mutex>
#include <string>

#include "log.h"

namespace {

const char kPositionEvent[] = "gimbalhub.position";
const char kStoppedEvent[] = "gimbalhub.stopped";
const char kPresetEvent[] = "gimbalhub.preset";

// Events waiting for the loop. The control thread settles at most every
// 100 ms, so the queue only fills while the broker takes nothing; then the
// oldest position goes first (a newer one supersedes it), and the drops are
// counted and logged.
constexpr size_t kMaxPendingEvents = 64;
// Sends the broker has not confirmed yet: enough to keep a busy broker fed,
// few enough that a stalled one never fills the socket (a write would block).
constexpr int kMaxInFlight = 4;
// A send unanswered this long frees its place; the broker has the event
// already, so this only bounds how long a stalled broker holds the window.
constexpr int kSendTimeoutMs = 5000;

struct Event {
    const char *id;
    int pan;
    int tilt;
    MotorState state;
    size_t dropped;
    std::string preset;
};

struct InFlight {
    struct ubus_request request = {};
    struct uloop_timeout timer = {};
    const char *id = nullptr;
    bool busy = false;
};

struct Delivery {
    // Shared with the posting threads.
    std::mutex mutex;
    std::deque<Event> pending;
    size_t droppedUnsaid = 0;
    bool settledUnsaid = false;

    // Loop only.
    int pipe[2] = {-1, -1};
    struct uloop_fd fd = {};
    struct ubus_context *ctx = nullptr;
    void (*settled)() = nullptr;
    struct blob_buf buffer = {};
    InFlight inFlight[kMaxInFlight];
    bool failing = false;
    bool dropping = false;
    size_t droppedInRun = 0;
};

// Never destroyed: the control thread may still post while the process exits.
Delivery &delivery() {
    static Delivery *state = new Delivery;
    return *state;
}

void wake() {
    int fd = delivery().pipe[1];
    if (fd < 0) return;
    char byte = 1;
    // A full pipe already holds a wake-up.
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
}

void post(Event event) {
    Delivery &d = delivery();
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.pending.size() >= kMaxPendingEvents) {
            auto victim = d.pending.begin();
            while (victim != d.pending.end() && victim->id != kPositionEvent) ++victim;
            d.pending.erase(victim == d.pending.end() ? d.pending.begin() : victim);
            ++d.droppedUnsaid;
        }
        d.settledUnsaid = d.settledUnsaid || event.id == kPositionEvent;
        d.pending.push_back(std::move(event));
    }
    wake();
}

void build(struct blob_buf *buffer, const Event &event) {
    blob_buf_init(buffer, 0);
    blobmsg_add_string(buffer, "id", event.id);
    void *data = blobmsg_open_table(buffer, "data");
    if (event.id == kStoppedEvent) {
        blobmsg_add_u32(buffer, "dropped", static_cast<uint32_t>(event.dropped));
    } else if (event.id == kPresetEvent) {
        blobmsg_add_string(buffer, "name", event.preset.c_str());
    } else {
        blobmsg_add_u32(buffer, "pan", static_cast<uint32_t>(event.pan));
        blobmsg_add_u32(buffer, "tilt", static_cast<uint32_t>(event.tilt));
        blobmsg_add_string(buffer, "state", MotorControl::stateName(event.state));
    }
    blobmsg_close_table(buffer, data);
}

// One line per run of failures, not one per move.
void note_result(const char *id, int result) {
    Delivery &d = delivery();
    if (result != 0 && !d.failing)
        LOG_ERROR(std::string("Failed to send event ") + id + ": " + ubus_strerror(result));
    d.failing = result != 0;
}

void pump();

void finish(InFlight &slot, int result) {
    uloop_timeout_cancel(&slot.timer);
    slot.busy = false;
    note_result(slot.id, result);
    pump();
}

void on_complete(struct ubus_request *request, int result) {
    finish(*static_cast<InFlight *>(request->priv), result);
}

void on_timeout(struct uloop_timeout *timer) {
    InFlight &slot = *container_of(timer, InFlight, timer);
    ubus_abort_request(delivery().ctx, &slot.request);
    finish(slot, UBUS_STATUS_TIMEOUT);
}

InFlight *free_slot() {
    for (InFlight &slot : delivery().inFlight)
        if (!slot.busy) return &slot;
    return nullptr;
}

// Says how many were dropped: when the first goes, and once the queue has
// drained again.
void report_drops(size_t dropped, bool drained) {
    Delivery &d = delivery();
    if (dropped > 0 && !d.dropping) {
        LOG_ERROR("Event queue full: the bus takes no events, dropping the oldest");
        d.dropping = true;
    }
    d.droppedInRun += dropped;
    if (d.dropping && drained) {
        LOG_ERROR("Events dropped while the queue was full: " + std::to_string(d.droppedInRun));
        d.dropping = false;
        d.droppedInRun = 0;
    }
}

size_t take_drops() {
    Delivery &d = delivery();
    std::lock_guard<std::mutex> lock(d.mutex);
    const size_t dropped = d.droppedUnsaid;
    d.droppedUnsaid = 0;
    return dropped;
}

// Sends what waits, as far as the window allows.
void pump() {
    Delivery &d = delivery();
    for (InFlight *slot = free_slot(); slot != nullptr && d.ctx != nullptr; slot = free_slot()) {
        Event event;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            if (d.pending.empty()) break;
            event = std::move(d.pending.front());
            d.pending.pop_front();
        }
        build(&d.buffer, event);
        // The request ubus_send_event makes, without waiting for its answer.
        const int result = ubus_invoke_async(d.ctx, UBUS_SYSTEM_OBJECT_EVENT, "send", d.buffer.head,
                                             &slot->request);
        if (result != 0) {
            note_result(event.id, result);
            continue;
        }
        slot->id = event.id;
        slot->busy = true;
        slot->request.complete_cb = on_complete;
        slot->request.priv = slot;
        ubus_complete_request_async(d.ctx, &slot->request);
        slot->timer.cb = on_timeout;
        uloop_timeout_set(&slot->timer, kSendTimeoutMs);
    }
    bool drained = false;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        drained = d.pending.empty();
    }
    report_drops(take_drops(), drained);
}

void on_wake(struct uloop_fd *fd, unsigned int) {
    char drain[64];
    while (read(fd->fd, drain, sizeof drain) > 0) {
    }
    Delivery &d = delivery();
    bool settled = false;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        settled = d.settledUnsaid;
        d.settledUnsaid = false;
    }
    if (settled && d.settled) d.settled();
    pump();
}

}  // namespace

bool events_open(struct ubus_context *ctx, void (*settled)()) {
    Delivery &d = delivery();
    d.settled = settled;
    if (d.pipe[0] < 0) {
        if (pipe(d.pipe) != 0) return false;
        for (int fd : d.pipe) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        d.fd.cb = on_wake;
        d.fd.fd = d.pipe[0];
        if (uloop_fd_add(&d.fd, ULOOP_READ) != 0) return false;
    }
    d.ctx = ctx;
    return true;
}

void events_close() {
    Delivery &d = delivery();
    if (d.ctx == nullptr) return;
    for (InFlight &slot : d.inFlight) {
        if (!slot.busy) continue;
        uloop_timeout_cancel(&slot.timer);
        ubus_abort_request(d.ctx, &slot.request);
        slot.busy = false;
    }
    d.ctx = nullptr;
    report_drops(take_drops(), true);
}

void events_post_position(int pan, int tilt, MotorState state) {
    post(Event{kPositionEvent, pan, tilt, state, 0, ""});
}

void events_post_stopped(size_t dropped) {
    post(Event{kStoppedEvent, 0, 0, MotorState::READY, dropped, ""});
}

void events_post_preset(const std::string &name) {
    post(Event{kPresetEvent, 0, 0, MotorState::READY, 0, name});
}
