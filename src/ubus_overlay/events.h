// The daemon's bus events and their delivery. Any thread posts; the event
// loop sends, asynchronously, so it keeps answering calls while the broker
// fans an event out (or does not answer at all).
#ifndef GIMBALHUB_EVENTS_H
#define GIMBALHUB_EVENTS_H

#include <cstddef>
#include <string>

#include "MotorControl.h"

struct ubus_context;

// Starts delivery on the connection's event loop; false when the wake-up
// pipe cannot be made. `settled` runs on the loop whenever a position event
// has been taken up, that is after a move or homing has ended.
bool events_open(struct ubus_context *ctx, void (*settled)());
// Before the connection goes: gives up what waits for the broker, and says
// how many events were dropped if that has not been said yet.
void events_close();

// From any thread; never waits.
void events_post_position(int pan, int tilt, MotorState state);
void events_post_stopped(size_t dropped);
void events_post_preset(const std::string &name);

#endif  // GIMBALHUB_EVENTS_H
