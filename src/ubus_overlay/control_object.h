// The bus object "gimbalhub.control" (status, stop, setHome, gotoHome) and the
// events "gimbalhub.position" and "gimbalhub.stopped". It sits beside the
// object "gimbalhub" on the same connection and leaves that one untouched.
#ifndef GIMBALHUB_CONTROL_OBJECT_H
#define GIMBALHUB_CONTROL_OBJECT_H

struct ubus_context;
class MotorControl;

// Registers the object and the event wake-up on the connection's event loop;
// 0 or the bus status of the failed registration.
int control_object_add(struct ubus_context *ctx);

// Turns the controller's "settled" notifications into position events. The
// notification runs on the control thread; it only queues the values and
// wakes the event loop, which sends the event on the main thread.
void control_object_attach(MotorControl &controller);

#endif  // GIMBALHUB_CONTROL_OBJECT_H
