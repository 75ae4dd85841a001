// The bus object "gimbalhub.control" (status, stop, setHome, gotoHome and
// the motions: moves, jog, presets, tours) and the events
// "gimbalhub.position", "gimbalhub.stopped" and "gimbalhub.preset". It sits
// beside the object "gimbalhub" on the same connection and leaves that one
// untouched.
#ifndef GIMBALHUB_CONTROL_OBJECT_H
#define GIMBALHUB_CONTROL_OBJECT_H

struct ubus_context;
class MotorControl;

namespace ptz {
struct MotionSettings;
}

// Registers the object and the event wake-up on the connection's event loop;
// 0 or the bus status of the failed registration.
int control_object_add(struct ubus_context *ctx);

// Turns the controller's "settled" notifications into position events. The
// notification runs on the control thread; it only queues the values and
// wakes the event loop, which sends the event on the main thread.
void control_object_attach(MotorControl &controller);

// Loads the presets and starts the motions, once the controller runs.
// Until then the motion methods answer UBUS_STATUS_UNKNOWN_ERROR.
void control_object_start_motions(MotorControl &controller, const ptz::MotionSettings &settings);

// A move asked of the fixed object: it ends a jog or a tour and restarts the
// park timer. Silent, like everything else on that path.
void control_object_note_move();

#endif  // GIMBALHUB_CONTROL_OBJECT_H
