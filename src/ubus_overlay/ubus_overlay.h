// Bus side of gimbalhub: the "gimbalhub" object on ubus and the operations the
// service shell uses to start, run, stop and end it.
#ifndef GIMBALHUB_UBUS_OVERLAY_H
#define GIMBALHUB_UBUS_OVERLAY_H

// Connects to the default bus socket and registers the object; 0 or -1.
int ubus_init();
// Serves requests on the calling thread until the loop is ended.
void ubus_run();
// Ends the loop; a single store, safe in a signal handler.
void ubus_stop();
// Frees the connection and finishes the event loop library.
void ubus_deinit();

// Wakes the event loop so that it ends, from any thread or a signal handler.
// Unlike ubus_stop alone this cannot be lost: the request is kept in a pipe
// until the loop runs, even if the loop has not been entered yet.
void ubus_wakeup();
// True when the loop ended because the bus connection was lost.
bool ubus_connection_was_lost();

#endif  // GIMBALHUB_UBUS_OVERLAY_H
