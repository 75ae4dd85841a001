// Bus client for the device-side programs that talk to the daemon over the
// bus but are not part of it (the ONVIF endpoint, the MQTT bridge).
//
// The bus runs on a thread of its own; every handler runs on a second
// library thread, the handler thread, one at a time and in the order the bus
// delivered them. Any thread may call, listen or post; none of these ever
// waits for the bus. Results that another thread needs are handed over by
// the handler (a queue, a promise; the future-returning call() does that).
//
//     busclient::BusClient bus;                      // default socket
//     bus.onConnection([](bool up) { ... });
//     bus.watch("gimbalhub", [](const std::string &, bool present) { ... });
//     bus.listen("gimbalhub.*", [](const std::string &event, const nlohmann::json &data) { ... });
//     bus.start();
//     bus.call("gimbalhub.control", "status", nullptr, 1000,
//              [](int status, const nlohmann::json &data) { ... });
//     busclient::Reply r = bus.call("gimbalhub", "getPosition", nullptr, 1000).get();
//     bus.stop();
//
// Every call ends exactly once: with the object's status and reply, or with
// kTimeout, kNotFound, kConnectionFailed, ... from the library. Only one
// client may run per process (the event loop underneath is process-global),
// and the program must not use that loop itself. SIGINT, SIGTERM and SIGCHLD
// stay the program's (the library threads block every signal); SIGPIPE
// becomes ignored. Threading, limits and the stalled-broker case:
// docs/busclient.md.
#ifndef BUSCLIENT_BUS_CLIENT_H
#define BUSCLIENT_BUS_CLIENT_H

#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace busclient {

// Bus statuses (the values travel on the wire and are the same everywhere).
enum Status : int {
    kOk = 0,
    kInvalidCommand = 1,
    kInvalidArgument = 2,
    kMethodNotFound = 3,
    kNotFound = 4,
    kNoData = 5,
    kPermissionDenied = 6,
    kTimeout = 7,
    kNotSupported = 8,
    kUnknownError = 9,
    kConnectionFailed = 10,
    kNoMemory = 11,
    kParseError = 12,
};

// Short English text for a status, for log lines.
const char *statusText(int status);

struct Reply {
    int status = kUnknownError;
    nlohmann::json data;  // the reply's members (several reply messages merged); {} if none
};

struct Options {
    std::string socket;         // empty: the system's default bus socket
    int reconnectMinMs = 100;   // first retry after a failed connect or a lost connection
    int reconnectMaxMs = 2000;  // the wait doubles up to this
    int stopGraceMs = 1000;     // stop() waits this long for each library thread
    // Open calls, and separately calls the bus thread has not taken yet (it
    // may be blocked on the broker): one more ends at once with kNoMemory.
    size_t maxPendingCalls = 256;
    // Events waiting for the handler thread; more are dropped and counted.
    size_t maxQueuedEvents = 1024;
    // Nesting of arrays/tables in arguments, replies and events.
    int maxDepth = 32;
    // Encoded arguments; larger ends with kInvalidArgument.
    size_t maxArgsBytes = 64 * 1024;
    // The reply messages of one call together; larger ends with kParseError.
    size_t maxReplyBytes = 256 * 1024;
};

class BusClient {
public:
    using CallHandler = std::function<void(int status, const nlohmann::json &data)>;
    using EventHandler = std::function<void(const std::string &event, const nlohmann::json &data)>;
    using ConnectionHandler = std::function<void(bool connected)>;
    using PresenceHandler = std::function<void(const std::string &object, bool present)>;

    explicit BusClient(Options options = {});
    ~BusClient();  // stop()
    BusClient(const BusClient &) = delete;
    BusClient &operator=(const BusClient &) = delete;

    // Starts the two library threads; the first connect is tried at once and
    // retried with backoff, so the broker may come up later. False (with the
    // reason) when another client already runs in this process or a thread
    // cannot be started. A client starts once.
    bool start(std::string *error = nullptr);

    // Ends the client: calls still open end with kConnectionFailed, their
    // handlers and everything already queued run, then the threads end. A
    // thread stuck on a stalled broker or in a handler is given stopGraceMs
    // and then left behind (detached), so stop() always returns. Safe to
    // call from a handler and more than once.
    void stop();

    // Reported on the handler thread: after the first connect attempt, then
    // on each change. true only once the object list is known and the
    // listeners are registered again.
    void onConnection(ConnectionHandler handler);

    // Events whose name matches pattern (an exact name, or a prefix ending in
    // '*'); registered again after every reconnect. Returns a handle for remove().
    int listen(const std::string &pattern, EventHandler handler);

    // Whether the named object is on the bus: reported once known, then on
    // each change; a lost bus reports it absent.
    int watch(const std::string &object, PresenceHandler handler);

    // Ends a listen() or watch(); no handler of it starts after this returns.
    void remove(int handle);

    // Calls object.method with args (a JSON object, or null for none).
    // Ends within timeoutMs (> 0), counted from now, also while the bus
    // reconnects: a call made without a connection waits for one. A call
    // already sent when the connection drops ends with kConnectionFailed
    // and is not sent again (it may have been carried out). After stop()
    // the handler runs at once on the calling thread, with kConnectionFailed.
    void call(const std::string &object, const std::string &method, nlohmann::json args,
              int timeoutMs, CallHandler handler);
    // The same, for a thread that waits for the answer. Never wait on it in
    // a handler: the handler thread is the one that fulfils it.
    std::future<Reply> call(const std::string &object, const std::string &method,
                            nlohmann::json args, int timeoutMs);

    // Runs fn on the handler thread, after what is already queued there
    // (not after stop()).
    void post(std::function<void()> fn);

    bool connected() const;
    bool onHandlerThread() const;

    struct Stats {
        unsigned long droppedEvents = 0;      // queue full or undecodable data
        unsigned long handlerExceptions = 0;  // thrown by a handler, caught and counted
        unsigned long reconnects = 0;         // successful connects after the first
    };
    Stats stats() const;

    struct Core;  // shared with the library threads, which may outlive this object

private:
    std::shared_ptr<Core> core_;
};

}  // namespace busclient

#endif
