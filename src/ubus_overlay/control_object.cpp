// libubus.h comes first: with the real libraries only it wraps the libubox
// headers in extern "C".
#include <libubus.h>

#include "control_object.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "MotorControl.h"
#include "events.h"
#include "motion.h"

namespace {

struct blob_buf reply_buffer;

// The motions and what drives them; main thread only.
struct Motions {
    ptz::MonotonicClock clock;
    std::unique_ptr<ptz::ControllerHead> head;
    std::unique_ptr<ptz::PresetStore> presets;
    std::unique_ptr<ptz::Motion> motion;
    struct uloop_timeout timer = {};
};

Motions &motions() {
    static Motions *state = new Motions;
    return *state;
}

// Runs the motions' due work and sets the timer for the next.
void schedule_motions() {
    Motions &m = motions();
    if (!m.motion) return;
    const int64_t next = m.motion->tick();
    if (next < 0)
        uloop_timeout_cancel(&m.timer);
    else
        uloop_timeout_set(&m.timer, static_cast<int>(std::min<int64_t>(next, INT32_MAX)));
}

void on_motion_timer(struct uloop_timeout *) { schedule_motions(); }

// A move ended: the park timer counts from there, and a preset or a tour
// stop may have been reached.
void on_settled() {
    if (!motions().motion) return;
    motions().motion->noteSettled();
    schedule_motions();
}

// ---------------------------------------------------------------------------
// Arguments and replies

enum {
    MOVE_PAN,
    MOVE_TILT,
    __MOVE_MAX,
};

enum {
    JOG_PAN,
    JOG_TILT,
    JOG_TIMEOUT,
    __JOG_MAX,
};

enum {
    PRESET_NAME,
    PRESET_PAN,
    PRESET_TILT,
    __PRESET_MAX,
};

enum {
    NAME_NAME,
    __NAME_MAX,
};

enum {
    TOUR_PRESETS,
    TOUR_DWELL,
    TOUR_LOOPS,
    __TOUR_MAX,
};

const struct blobmsg_policy move_policy[__MOVE_MAX] = {
    {"pan", BLOBMSG_TYPE_INT32},
    {"tilt", BLOBMSG_TYPE_INT32},
};

// Speeds take integers too: the ubus tool sends 1 as one.
const struct blobmsg_policy jog_policy[__JOG_MAX] = {
    {"pan", BLOBMSG_TYPE_DOUBLE},
    {"tilt", BLOBMSG_TYPE_DOUBLE},
    {"timeout", BLOBMSG_TYPE_INT32},
};

const struct blobmsg_policy preset_policy[__PRESET_MAX] = {
    {"name", BLOBMSG_TYPE_STRING},
    {"pan", BLOBMSG_TYPE_INT32},
    {"tilt", BLOBMSG_TYPE_INT32},
};

const struct blobmsg_policy name_policy[__NAME_MAX] = {
    {"name", BLOBMSG_TYPE_STRING},
};

const struct blobmsg_policy tour_policy[__TOUR_MAX] = {
    {"presets", BLOBMSG_TYPE_ARRAY},
    {"dwell", BLOBMSG_TYPE_INT32},
    {"loops", BLOBMSG_TYPE_INT32},
};

constexpr int kMaxArguments = 3;

bool type_fits(struct blob_attr *attr, int wanted) {
    const int type = blobmsg_type(attr);
    if (wanted == BLOBMSG_TYPE_DOUBLE)
        return type == BLOBMSG_TYPE_DOUBLE || type == BLOBMSG_TYPE_INT32 ||
               type == BLOBMSG_TYPE_INT64;
    return type == wanted;
}

// Like blobmsg_parse, but an argument of the wrong type fails the call
// instead of looking absent, so a typo never moves the head somewhere else.
// Unknown arguments (a gateway adds its own) are ignored.
bool parse_arguments(const struct blobmsg_policy *policy, int count, struct blob_attr **tb,
                     struct blob_attr *msg) {
    struct blobmsg_policy any[kMaxArguments];
    for (int i = 0; i < count; ++i) any[i] = {policy[i].name, BLOBMSG_TYPE_UNSPEC};
    blobmsg_parse(any, count, tb, blob_data(msg), blob_len(msg));
    for (int i = 0; i < count; ++i)
        if (tb[i] != nullptr && !type_fits(tb[i], policy[i].type)) return false;
    return true;
}

std::optional<int64_t> int_argument(struct blob_attr *attr) {
    if (attr == nullptr) return std::nullopt;
    return static_cast<int32_t>(blobmsg_get_u32(attr));
}

std::optional<double> number_argument(struct blob_attr *attr) {
    if (attr == nullptr) return std::nullopt;
    switch (blobmsg_type(attr)) {
        case BLOBMSG_TYPE_INT32:
            return static_cast<int32_t>(blobmsg_get_u32(attr));
        case BLOBMSG_TYPE_INT64:
            return static_cast<double>(static_cast<int64_t>(blobmsg_get_u64(attr)));
        default:
            return blobmsg_get_double(attr);
    }
}

int status_of(ptz::Outcome outcome) {
    switch (outcome) {
        case ptz::Outcome::Ok:
            return UBUS_STATUS_OK;
        case ptz::Outcome::InvalidArgument:
            return UBUS_STATUS_INVALID_ARGUMENT;
        case ptz::Outcome::NotFound:
            return UBUS_STATUS_NOT_FOUND;
        default:
            return UBUS_STATUS_UNKNOWN_ERROR;
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

void add_motion_view(struct blob_buf *buffer, const ptz::MotionView &view) {
    blobmsg_add_string(buffer, "activity", view.activity);
    if (!view.preset.empty()) blobmsg_add_string(buffer, "preset", view.preset.c_str());
    if (view.jog) {
        void *jog = blobmsg_open_table(buffer, "jog");
        blobmsg_add_double(buffer, "pan", view.jog->pan);
        blobmsg_add_double(buffer, "tilt", view.jog->tilt);
        blobmsg_add_u32(buffer, "remaining", static_cast<uint32_t>(view.jog->remainingMs));
        blobmsg_close_table(buffer, jog);
    }
    if (view.tour) {
        void *tour = blobmsg_open_table(buffer, "tour");
        void *names = blobmsg_open_array(buffer, "presets");
        for (const std::string &name : view.tour->presets)
            blobmsg_add_string(buffer, nullptr, name.c_str());
        blobmsg_close_array(buffer, names);
        blobmsg_add_u32(buffer, "index", static_cast<uint32_t>(view.tour->index));
        blobmsg_add_u32(buffer, "loop", static_cast<uint32_t>(view.tour->loop));
        blobmsg_add_u32(buffer, "loops", static_cast<uint32_t>(view.tour->loops));
        blobmsg_add_u32(buffer, "dwell", static_cast<uint32_t>(view.tour->dwellSeconds));
        blobmsg_close_table(buffer, tour);
    }
}

// Sends {"pan":P,"tilt":T} on success; the status either way.
int reply_angles(struct ubus_context *ctx, struct ubus_request_data *req, ptz::Outcome outcome,
                 const ptz::Angles &angles) {
    if (outcome == ptz::Outcome::Ok) {
        blob_buf_init(&reply_buffer, 0);
        add_position(&reply_buffer, nullptr, angles.pan, angles.tilt);
        ubus_send_reply(ctx, req, reply_buffer.head);
    }
    schedule_motions();
    return status_of(outcome);
}

int reply_empty(struct ubus_context *ctx, struct ubus_request_data *req, ptz::Outcome outcome) {
    if (outcome == ptz::Outcome::Ok) {
        blob_buf_init(&reply_buffer, 0);
        ubus_send_reply(ctx, req, reply_buffer.head);
    }
    schedule_motions();
    return status_of(outcome);
}

// ---------------------------------------------------------------------------
// Handlers. The motion methods answer UNKNOWN_ERROR until the motions run;
// the loop serves nobody before that, so it is never seen in practice.

// No argument is read; whatever a caller (or a gateway) adds is ignored.
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
    if (motions().motion) add_motion_view(&reply_buffer, motions().motion->view());
    ubus_send_reply(ctx, req, reply_buffer.head);
    return UBUS_STATUS_OK;
}

int handle_stop(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                const char *, struct blob_attr *) {
    const size_t dropped = MotorControl::getInstance().dropQueuedCommands();
    if (motions().motion) motions().motion->halt();
    blob_buf_init(&reply_buffer, 0);
    blobmsg_add_u32(&reply_buffer, "dropped", static_cast<uint32_t>(dropped));
    ubus_send_reply(ctx, req, reply_buffer.head);
    // Sent from the loop after this reply, never from inside the handler.
    events_post_stopped(dropped);
    schedule_motions();
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
    control_object_note_move();
    // A full queue refuses the move; the caller must hear that.
    if (!MotorControl::getInstance().moveToHome(pan, tilt)) return UBUS_STATUS_UNKNOWN_ERROR;
    blob_buf_init(&reply_buffer, 0);
    add_position(&reply_buffer, nullptr, pan, tilt);
    ubus_send_reply(ctx, req, reply_buffer.head);
    return UBUS_STATUS_OK;
}

int handle_move(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                const char *method, struct blob_attr *msg) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    struct blob_attr *tb[__MOVE_MAX];
    if (!parse_arguments(move_policy, __MOVE_MAX, tb, msg)) return UBUS_STATUS_INVALID_ARGUMENT;
    const auto pan = int_argument(tb[MOVE_PAN]);
    const auto tilt = int_argument(tb[MOVE_TILT]);
    ptz::Angles target{0, 0};
    const bool relative = std::string(method) == "moveBy";
    return reply_angles(
        ctx, req, relative ? motion->moveBy(pan, tilt, target) : motion->moveTo(pan, tilt, target),
        target);
}

int handle_jog(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
               const char *, struct blob_attr *msg) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    struct blob_attr *tb[__JOG_MAX];
    if (!parse_arguments(jog_policy, __JOG_MAX, tb, msg)) return UBUS_STATUS_INVALID_ARGUMENT;
    int64_t timeout = 0;
    const ptz::Outcome outcome =
        motion->jog(number_argument(tb[JOG_PAN]), number_argument(tb[JOG_TILT]),
                    int_argument(tb[JOG_TIMEOUT]), timeout);
    if (outcome == ptz::Outcome::Ok) {
        blob_buf_init(&reply_buffer, 0);
        if (timeout > 0) blobmsg_add_u32(&reply_buffer, "timeout", static_cast<uint32_t>(timeout));
        ubus_send_reply(ctx, req, reply_buffer.head);
    }
    schedule_motions();
    return status_of(outcome);
}

int handle_preset_set(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                      const char *, struct blob_attr *msg) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    struct blob_attr *tb[__PRESET_MAX];
    if (!parse_arguments(preset_policy, __PRESET_MAX, tb, msg) || tb[PRESET_NAME] == nullptr)
        return UBUS_STATUS_INVALID_ARGUMENT;
    ptz::Preset stored{"", 0, 0};
    const ptz::Outcome outcome =
        motion->presetSet(blobmsg_get_string(tb[PRESET_NAME]), int_argument(tb[PRESET_PAN]),
                          int_argument(tb[PRESET_TILT]), stored);
    if (outcome == ptz::Outcome::Ok) {
        blob_buf_init(&reply_buffer, 0);
        blobmsg_add_string(&reply_buffer, "name", stored.name.c_str());
        add_position(&reply_buffer, nullptr, stored.pan, stored.tilt);
        ubus_send_reply(ctx, req, reply_buffer.head);
    }
    return status_of(outcome);
}

// The "name" argument; null when it is absent or no string.
const char *name_argument(struct blob_attr *msg) {
    struct blob_attr *tb[__NAME_MAX];
    if (!parse_arguments(name_policy, __NAME_MAX, tb, msg) || tb[NAME_NAME] == nullptr)
        return nullptr;
    return blobmsg_get_string(tb[NAME_NAME]);
}

int handle_preset_goto(struct ubus_context *ctx, struct ubus_object *,
                       struct ubus_request_data *req, const char *, struct blob_attr *msg) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    const char *name = name_argument(msg);
    if (name == nullptr) return UBUS_STATUS_INVALID_ARGUMENT;
    ptz::Angles target{0, 0};
    return reply_angles(ctx, req, motion->presetGoto(name, target), target);
}

int handle_preset_remove(struct ubus_context *ctx, struct ubus_object *,
                         struct ubus_request_data *req, const char *, struct blob_attr *msg) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    const char *name = name_argument(msg);
    if (name == nullptr) return UBUS_STATUS_INVALID_ARGUMENT;
    return reply_empty(ctx, req, motion->presetRemove(name));
}

int handle_preset_list(struct ubus_context *ctx, struct ubus_object *,
                       struct ubus_request_data *req, const char *, struct blob_attr *) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    blob_buf_init(&reply_buffer, 0);
    void *list = blobmsg_open_array(&reply_buffer, "presets");
    for (const ptz::Preset &preset : motion->presets()) {
        void *entry = blobmsg_open_table(&reply_buffer, nullptr);
        blobmsg_add_string(&reply_buffer, "name", preset.name.c_str());
        add_position(&reply_buffer, nullptr, preset.pan, preset.tilt);
        blobmsg_close_table(&reply_buffer, entry);
    }
    blobmsg_close_array(&reply_buffer, list);
    blobmsg_add_u32(&reply_buffer, "capacity", ptz::PresetStore::kCapacity);
    ubus_send_reply(ctx, req, reply_buffer.head);
    return UBUS_STATUS_OK;
}

int handle_tour_start(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                      const char *, struct blob_attr *msg) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    struct blob_attr *tb[__TOUR_MAX];
    if (!parse_arguments(tour_policy, __TOUR_MAX, tb, msg) || tb[TOUR_PRESETS] == nullptr ||
        tb[TOUR_DWELL] == nullptr || tb[TOUR_LOOPS] == nullptr ||
        blobmsg_check_array(tb[TOUR_PRESETS], BLOBMSG_TYPE_STRING) < 0)
        return UBUS_STATUS_INVALID_ARGUMENT;
    std::vector<std::string> names;
    struct blob_attr *name;
    size_t rem;
    blobmsg_for_each_attr(name, tb[TOUR_PRESETS], rem) {
        // Counted here already: a huge list costs no more than a short one.
        if (names.size() > ptz::Motion::kMaxTourPresets) return UBUS_STATUS_INVALID_ARGUMENT;
        names.push_back(blobmsg_get_string(name));
    }
    return reply_empty(
        ctx, req,
        motion->tourStart(names, *int_argument(tb[TOUR_DWELL]), *int_argument(tb[TOUR_LOOPS])));
}

int handle_tour_stop(struct ubus_context *ctx, struct ubus_object *, struct ubus_request_data *req,
                     const char *, struct blob_attr *) {
    ptz::Motion *motion = motions().motion.get();
    if (motion == nullptr) return UBUS_STATUS_UNKNOWN_ERROR;
    motion->tourStop();
    return reply_empty(ctx, req, ptz::Outcome::Ok);
}

const struct ubus_method control_methods[] = {
    UBUS_METHOD_NOARG("status", handle_status),
    UBUS_METHOD_NOARG("stop", handle_stop),
    UBUS_METHOD_NOARG("setHome", handle_set_home),
    UBUS_METHOD_NOARG("gotoHome", handle_goto_home),
    UBUS_METHOD("moveTo", handle_move, move_policy),
    UBUS_METHOD("moveBy", handle_move, move_policy),
    UBUS_METHOD("jog", handle_jog, jog_policy),
    UBUS_METHOD("presetSet", handle_preset_set, preset_policy),
    UBUS_METHOD("presetGoto", handle_preset_goto, name_policy),
    UBUS_METHOD("presetRemove", handle_preset_remove, name_policy),
    UBUS_METHOD_NOARG("presetList", handle_preset_list),
    UBUS_METHOD("tourStart", handle_tour_start, tour_policy),
    UBUS_METHOD_NOARG("tourStop", handle_tour_stop),
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

}  // namespace

int control_object_add(struct ubus_context *ctx) {
    if (!events_open(ctx, on_settled)) return UBUS_STATUS_SYSTEM_ERROR;
    return ubus_add_object(ctx, &control_object);
}

void control_object_attach(MotorControl &controller) {
    controller.setSettledListener(
        [](int pan, int tilt, MotorState state) { events_post_position(pan, tilt, state); });
}

void control_object_start_motions(MotorControl &controller, const ptz::MotionSettings &settings) {
    Motions &m = motions();
    m.head = std::make_unique<ptz::ControllerHead>(controller);
    m.presets = std::make_unique<ptz::PresetStore>(settings.presetFile);
    m.presets->load();
    m.motion = std::make_unique<ptz::Motion>(*m.head, m.clock, *m.presets, settings);
    m.motion->setPresetListener([](const std::string &name) { events_post_preset(name); });
    m.timer.cb = on_motion_timer;
    schedule_motions();
}

void control_object_note_move() {
    if (!motions().motion) return;
    motions().motion->noteMove();
    schedule_motions();
}
