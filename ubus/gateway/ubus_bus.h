// The gateway's side of the bus: calls through the client library without
// ever waiting for an object's answer on the event loop.
#ifndef UBUS_GATEWAY_UBUS_BUS_H
#define UBUS_GATEWAY_UBUS_BUS_H

#include <libubus.h>

#include <list>
#include <string>

#include "jsonrpc.h"

namespace ubusgw {

class UbusBus : public Bus {
public:
    // socketPath nullptr: the default socket. timeoutMs: how long an object
    // may take to answer.
    UbusBus(const char *socketPath, int timeoutMs);
    ~UbusBus() override;
    UbusBus(const UbusBus &) = delete;
    UbusBus &operator=(const UbusBus &) = delete;

    void call(const std::string &object, const std::string &method, const Json &args,
              std::function<void(CallOutcome)> done) override;
    bool list(const std::string &pattern, std::vector<ObjectEntry> &out) override;

    // Ends every call still waiting (as NotSent), at once; for shutdown.
    void abortAll();

private:
    struct Pending;
    // uloop hands back only the timeout; this finds the call it belongs to.
    struct Timer {
        uloop_timeout timeout;
        Pending *owner;
    };
    struct Pending {
        UbusBus *bus = nullptr;
        ubus_request req = {};
        Timer timer = {};
        bool waiting = false;  // the request is still known to the library
        CallOutcome outcome;
        std::function<void(CallOutcome)> done;
        std::list<Pending>::iterator self;
    };

    bool connected();
    void finish(Pending &p, CallOutcome outcome);
    void deliverLater(Pending &p);
    static void onData(ubus_request *req, int type, blob_attr *msg);
    static void onComplete(ubus_request *req, int status);
    static void onTimer(uloop_timeout *t);
    static void onConnectionLost(ubus_context *ctx);

    std::string socketPath_;
    bool defaultSocket_;
    int timeoutMs_;
    ubus_context *ctx_ = nullptr;
    bool lost_ = false;
    std::list<Pending> pending_;
    bool closing_ = false;
};

}  // namespace ubusgw

#endif
