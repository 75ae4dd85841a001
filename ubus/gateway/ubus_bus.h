// The gateway's side of the bus: lookups and calls through the client
// library without ever waiting on the broker or an object in the event loop.
#ifndef UBUS_GATEWAY_UBUS_BUS_H
#define UBUS_GATEWAY_UBUS_BUS_H

#include <libubus.h>

#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "jsonrpc.h"

namespace ubusgw {

class UbusBus : public Bus {
public:
    // socketPath nullptr: the default socket. maxDataBytes: how much reply
    // data one call may merge; beyond it the call fails (TooLarge).
    UbusBus(const char *socketPath, size_t maxDataBytes);
    ~UbusBus() override;
    UbusBus(const UbusBus &) = delete;
    UbusBus &operator=(const UbusBus &) = delete;

    void call(const std::string &object, const std::string &method, const Json &args, int timeoutMs,
              std::function<void(CallOutcome)> done) override;
    void list(const std::string &pattern, int timeoutMs, std::function<void(ListOutcome)> done) override;

    // Ends every operation still waiting (as NotSent), at once; for shutdown.
    void abortAll();

private:
    struct Op;
    // uloop hands back only the timeout; this finds the operation it belongs to.
    struct Timer {
        uloop_timeout timeout;
        Op *owner;
    };
    enum class Step { Lookup, Invoke };
    struct Op {
        UbusBus *bus = nullptr;
        bool isCall = true;
        std::string path;  // object of a call, pattern of a list
        std::string method;
        Json args;
        ubus_lookup_request lookup = {};         // priv: the Op
        ubus_request invoke = {};                // priv: the Op
        bool looking = false, invoking = false;  // known to the library
        Timer timer = {};                        // the deadline, then the delivery
        bool finished = false;
        uint32_t id = 0;
        bool found = false;
        bool idFromCache = false;
        uint32_t staleId = 0;  // looked up again after this id answered "not found"
        CallOutcome staleOutcome;
        size_t dataBytes = 0;
        CallOutcome outcome;
        ListOutcome listOutcome;
        std::function<void(CallOutcome)> callDone;
        std::function<void(ListOutcome)> listDone;
        std::list<Op>::iterator self;
    };

    bool connected(Op &op);
    void startConnecting();
    void onConnected();
    void begin(Op &op);
    Op &newOp(int timeoutMs);
    void startLookup(Op &op);
    void startInvoke(Op &op);
    bool mayNotSendYet(Op &op, Step step, size_t bytes);
    bool roomFor(size_t bytes);
    void drainSendQueue();
    void finish(Op &op);
    void failOp(Op &op);
    void finishCall(Op &op, CallOutcome::Kind kind);
    static void deliver(uloop_timeout *t);
    static void onDeadline(uloop_timeout *t);
    static void onSendRetry(uloop_timeout *t);
    static void onLookupEntry(ubus_context *ctx, ubus_object_data *obj, void *priv);
    static void onLookupDone(ubus_request *req, int status);
    static void onData(ubus_request *req, int type, blob_attr *msg);
    static void onInvokeDone(ubus_request *req, int status);
    static void onConnectionLost(ubus_context *ctx);

    std::string socketPath_;
    bool defaultSocket_;
    // Connecting waits for the broker's greeting (up to 5 s in the library),
    // so it runs on a thread of its own; operations wait for it here.
    std::thread connector_;
    std::atomic<bool> connectorDone_{false};
    ubus_context *connectedCtx_ = nullptr;  // the connector's result
    struct ConnectWatch {
        uloop_fd fd;
        UbusBus *bus;
    } connectWatch_ = {};
    std::vector<Op *> awaitingConnection_;
    size_t maxDataBytes_;
    ubus_context *ctx_ = nullptr;
    size_t sendBuffer_ = 0;
    bool lost_ = false;
    bool closing_ = false;
    std::list<Op> ops_;
    std::map<std::string, uint32_t> ids_;  // object path -> id, checked by use
    // Operations waiting for room in the socket, in order, with their next step.
    std::deque<std::pair<Op *, Step>> sendQueue_;
    bool draining_ = false;
    struct RetryTimer {
        uloop_timeout timeout;
        UbusBus *bus;
    } sendRetry_ = {};
};

}  // namespace ubusgw

#endif
