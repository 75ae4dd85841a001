#include "ubus_bus.h"

#include <cstdio>

#include "blobmsg_text.h"

namespace ubusgw {

namespace {

UbusBus *g_owner = nullptr;  // for the connection-lost hook, which gets only the context

Json parseObjectText(const std::string &text)
{
    Json j = Json::parse(text, nullptr, false);
    return j.is_object() ? j : Json::object();
}

}  // namespace

UbusBus::UbusBus(const char *socketPath, int timeoutMs)
    : socketPath_(socketPath ? socketPath : ""), defaultSocket_(socketPath == nullptr), timeoutMs_(timeoutMs)
{
    g_owner = this;
}

UbusBus::~UbusBus()
{
    abortAll();
    if (ctx_)
        ubus_free(ctx_);
    g_owner = nullptr;
}

void UbusBus::onConnectionLost(ubus_context *)
{
    // Not freed here: the library is still inside this context's callback.
    if (g_owner && !g_owner->lost_) {
        g_owner->lost_ = true;
        fprintf(stderr, "ubus-gateway: connection to ubus lost\n");
    }
}

bool UbusBus::connected()
{
    if (ctx_ && !lost_)
        return true;
    if (ctx_) {
        ubus_free(ctx_);
        ctx_ = nullptr;
    }
    ctx_ = ubus_connect(defaultSocket_ ? nullptr : socketPath_.c_str());
    if (!ctx_)
        return false;
    if (lost_)
        fprintf(stderr, "ubus-gateway: connected to ubus again\n");
    lost_ = false;
    ctx_->connection_lost = onConnectionLost;
    ubus_add_uloop(ctx_);
    return true;
}

void UbusBus::call(const std::string &object, const std::string &method, const Json &args,
                   std::function<void(CallOutcome)> done)
{
    pending_.emplace_back();
    Pending &p = pending_.back();
    p.self = std::prev(pending_.end());
    p.bus = this;
    p.done = std::move(done);
    p.timer.timeout.cb = onTimer;
    p.timer.owner = &p;
    if (closing_)
        return;  // abortAll() ends it

    CallOutcome failed;
    failed.kind = CallOutcome::NotSent;
    if (!connected()) {
        finish(p, failed);
        return;
    }
    uint32_t id = 0;
    // Patterns are for listing; a call names exactly one object.
    int ret = object.empty() || object.find('*') != std::string::npos
                  ? UBUS_STATUS_NOT_FOUND
                  : ubus_lookup_id(ctx_, object.c_str(), &id);
    if (ret != 0) {
        if (ret == UBUS_STATUS_NOT_FOUND)
            failed.kind = CallOutcome::NoObject;
        finish(p, failed);
        return;
    }

    blob_buf b = {};
    blob_buf_init(&b, 0);
    bool encoded = ubuscli::addJsonObject(&b, args.dump(-1, ' ', false, Json::error_handler_t::replace));
    ret = encoded ? ubus_invoke_async(ctx_, id, method.c_str(), b.head, &p.req) : -1;
    blob_buf_free(&b);
    if (ret != 0) {
        finish(p, failed);
        return;
    }
    p.req.data_cb = onData;
    p.req.complete_cb = onComplete;
    p.req.priv = &p;
    p.waiting = true;
    ubus_complete_request_async(ctx_, &p.req);
    uloop_timeout_set(&p.timer.timeout, timeoutMs_);
}

// Every answer reaches the caller from a timer of its own, so that it never
// runs inside call() or inside the library's reading of the socket.
void UbusBus::finish(Pending &p, CallOutcome outcome)
{
    if (p.waiting) {
        ubus_abort_request(ctx_, &p.req);
        p.waiting = false;
    }
    p.outcome = std::move(outcome);
    p.timer.timeout.cb = [](uloop_timeout *t) {
        Pending *p = reinterpret_cast<Timer *>(t)->owner;
        auto done = std::move(p->done);
        CallOutcome outcome = std::move(p->outcome);
        p->bus->pending_.erase(p->self);
        done(std::move(outcome));
    };
    uloop_timeout_set(&p.timer.timeout, 0);
}

void UbusBus::onData(ubus_request *req, int, blob_attr *msg)
{
    auto *p = static_cast<Pending *>(req->priv);
    Json part = parseObjectText(ubuscli::formatJson(msg, true, -1));
    for (auto &item : part.items())
        p->outcome.data[item.key()] = std::move(item.value());
    p->outcome.hasData = true;
}

void UbusBus::onComplete(ubus_request *req, int status)
{
    auto *p = static_cast<Pending *>(req->priv);
    p->waiting = false;
    CallOutcome outcome = std::move(p->outcome);
    outcome.kind = CallOutcome::Answered;
    outcome.status = status;
    // The library ends waiting calls with TIMEOUT when the broker goes away.
    if (req->ctx->sock.eof)
        outcome.kind = CallOutcome::NotSent;
    uloop_timeout_cancel(&p->timer.timeout);
    p->bus->finish(*p, std::move(outcome));
}

void UbusBus::onTimer(uloop_timeout *t)
{
    Pending *p = reinterpret_cast<Timer *>(t)->owner;
    CallOutcome outcome;
    outcome.kind = CallOutcome::TimedOut;
    p->bus->finish(*p, outcome);
}

void UbusBus::abortAll()
{
    closing_ = true;
    while (!pending_.empty()) {
        Pending &p = pending_.front();
        uloop_timeout_cancel(&p.timer.timeout);
        if (p.waiting) {
            ubus_abort_request(ctx_, &p.req);
            p.waiting = false;
        }
        auto done = std::move(p.done);
        pending_.pop_front();
        CallOutcome outcome;
        outcome.kind = CallOutcome::NotSent;
        if (done)
            done(outcome);
    }
}

bool UbusBus::list(const std::string &pattern, std::vector<ObjectEntry> &out)
{
    if (!connected())
        return false;
    int ret = ubus_lookup(
        ctx_, pattern.empty() ? nullptr : pattern.c_str(),
        [](ubus_context *, ubus_object_data *obj, void *priv) {
            ObjectEntry e;
            e.path = obj->path;
            if (obj->signature)
                e.signature = parseObjectText(
                    ubuscli::formatJson(obj->signature, true, -1, ubuscli::signatureTypeName));
            static_cast<std::vector<ObjectEntry> *>(priv)->push_back(std::move(e));
        },
        &out);
    return ret == 0 || ret == UBUS_STATUS_NOT_FOUND;
}

}  // namespace ubusgw
