#include "ubus_bus.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "blob_json.h"

namespace ubusgw {

namespace {

UbusBus *g_owner = nullptr;  // for the connection-lost hook, which gets only the context

// What a message costs the socket beyond its bytes (buffer heads), with room
// to spare: a send that fits never waits.
constexpr size_t kSendSlack = 8 * 1024;
// Asked for; the kernel may give less (or twice as much).
constexpr int kSendBuffer = 256 * 1024;
// While the broker does not take what waits, look again this often.
constexpr int kSendRetryMs = 5;
// A message's header and the attributes around its payload.
constexpr size_t kMessageOverhead = 64;
// Sent to the connecting thread to end its wait at shutdown.
constexpr int kInterruptSignal = SIGUSR1;

}  // namespace

UbusBus::UbusBus(const char *socketPath, size_t maxDataBytes)
    : socketPath_(socketPath ? socketPath : ""),
      defaultSocket_(socketPath == nullptr),
      maxDataBytes_(maxDataBytes)
{
    g_owner = this;
    sendRetry_.timeout.cb = onSendRetry;
    sendRetry_.bus = this;
    connectWatch_.bus = this;
    connectWatch_.fd.fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    connectWatch_.fd.cb = [](uloop_fd *u, unsigned) {
        reinterpret_cast<ConnectWatch *>(u)->bus->onConnected();
    };
    if (connectWatch_.fd.fd >= 0)
        uloop_fd_add(&connectWatch_.fd, ULOOP_READ);
    // A no-op handler, so that the signal ends the connector's waits.
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigaction(kInterruptSignal, &sa, nullptr);
    startConnecting();
}

UbusBus::~UbusBus()
{
    abortAll();
    uloop_timeout_cancel(&sendRetry_.timeout);
    if (connector_.joinable()) {
        // The signal may come before the thread waits: repeat until it ends.
        while (!connectorDone_) {
            pthread_kill(connector_.native_handle(), kInterruptSignal);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        connector_.join();
        if (connectedCtx_)
            ubus_free(connectedCtx_);
    }
    if (connectWatch_.fd.fd >= 0) {
        uloop_fd_delete(&connectWatch_.fd);
        close(connectWatch_.fd.fd);
    }
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
        // What waits for room will never be sent on this connection.
        if (!g_owner->sendQueue_.empty())
            uloop_timeout_set(&g_owner->sendRetry_.timeout, 0);
    }
}

void UbusBus::startConnecting()
{
    if (connector_.joinable() || connectWatch_.fd.fd < 0)
        return;
    connectorDone_ = false;
    connectedCtx_ = nullptr;
    std::string path = socketPath_;
    bool useDefault = defaultSocket_;
    int done = connectWatch_.fd.fd;
    // Only the interrupting signal reaches the thread, and ends its waits.
    sigset_t others, old;
    sigfillset(&others);
    sigdelset(&others, kInterruptSignal);
    pthread_sigmask(SIG_SETMASK, &others, &old);
    connector_ = std::thread([this, path, useDefault, done] {
        connectedCtx_ = ubus_connect(useDefault ? nullptr : path.c_str());
        connectorDone_ = true;
        uint64_t one = 1;
        if (write(done, &one, sizeof one) < 0) {
            // the counter cannot be full: one write per attempt
        }
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void UbusBus::onConnected()
{
    uint64_t count;
    if (read(connectWatch_.fd.fd, &count, sizeof count) < 0 || !connector_.joinable() || !connectorDone_)
        return;
    connector_.join();
    ubus_context *ctx = connectedCtx_;
    connectedCtx_ = nullptr;
    std::vector<Op *> waiting;
    waiting.swap(awaitingConnection_);
    if (!ctx) {
        for (Op *op : waiting)
            failOp(*op);
        return;
    }
    // What waited to be sent on the lost connection named its objects there.
    while (!sendQueue_.empty()) {
        Op *op = sendQueue_.front().first;
        sendQueue_.pop_front();
        failOp(*op);
    }
    if (ctx_)
        ubus_free(ctx_);
    ctx_ = ctx;
    if (lost_)
        fprintf(stderr, "ubus-gateway: connected to ubus again\n");
    lost_ = false;
    ids_.clear();
    ctx_->connection_lost = onConnectionLost;
    setsockopt(ctx_->sock.fd, SOL_SOCKET, SO_SNDBUF, &kSendBuffer, sizeof kSendBuffer);
    int size = 0;
    socklen_t len = sizeof size;
    sendBuffer_ = getsockopt(ctx_->sock.fd, SOL_SOCKET, SO_SNDBUF, &size, &len) == 0 ? size_t(size) : 0;
    ubus_add_uloop(ctx_);
    for (Op *op : waiting)
        begin(*op);
}

// Whether the connection is up; if not, the operation waits for the next one.
bool UbusBus::connected(Op &op)
{
    if (ctx_ && !lost_)
        return true;
    if (ctx_ && lost_ && sendQueue_.empty()) {
        ubus_free(ctx_);
        ctx_ = nullptr;
    }
    awaitingConnection_.push_back(&op);
    startConnecting();
    return false;
}

void UbusBus::failOp(Op &op)
{
    if (op.isCall) {
        finishCall(op, CallOutcome::NotSent);
    } else {
        op.listOutcome = ListOutcome();
        op.listOutcome.kind = ListOutcome::NotSent;
        finish(op);
    }
}

UbusBus::Op &UbusBus::newOp(int timeoutMs)
{
    ops_.emplace_back();
    Op &op = ops_.back();
    op.self = std::prev(ops_.end());
    op.bus = this;
    op.timer.owner = &op;
    op.timer.timeout.cb = onDeadline;
    uloop_timeout_set(&op.timer.timeout, timeoutMs);
    return op;
}

void UbusBus::call(const std::string &object, const std::string &method, const Json &args, int timeoutMs,
                   std::function<void(CallOutcome)> done)
{
    Op &op = newOp(timeoutMs);
    op.path = object;
    op.method = method;
    op.args = args;
    op.callDone = std::move(done);
    if (closing_)
        return;  // abortAll() ends it
    // Patterns are for listing; a call names exactly one object.
    if (object.empty() || object.find('*') != std::string::npos) {
        finishCall(op, CallOutcome::NoObject);
        return;
    }
    if (connected(op))
        begin(op);
}

void UbusBus::list(const std::string &pattern, int timeoutMs, std::function<void(ListOutcome)> done)
{
    Op &op = newOp(timeoutMs);
    op.isCall = false;
    op.path = pattern;
    op.listDone = std::move(done);
    if (!closing_ && connected(op))
        begin(op);
}

void UbusBus::begin(Op &op)
{
    auto known = op.isCall ? ids_.find(op.path) : ids_.end();
    if (known != ids_.end()) {
        op.id = known->second;
        op.idFromCache = true;
        startInvoke(op);
    } else {
        startLookup(op);
    }
}

// The socket's own buffer is the only queue the library may write into
// without waiting; what does not fit waits here, in order, with its deadline.
bool UbusBus::mayNotSendYet(Op &op, Step step, size_t bytes)
{
    if ((sendQueue_.empty() || draining_) && roomFor(bytes))
        return false;
    sendQueue_.emplace_back(&op, step);
    if (!sendRetry_.timeout.pending)
        uloop_timeout_set(&sendRetry_.timeout, kSendRetryMs);
    return true;
}

bool UbusBus::roomFor(size_t bytes)
{
    int queued = 0;
    if (sendBuffer_ == 0 || ioctl(ctx_->sock.fd, SIOCOUTQ, &queued) != 0)
        return true;
    return size_t(queued) + bytes + kSendSlack <= sendBuffer_;
}

void UbusBus::onSendRetry(uloop_timeout *t)
{
    reinterpret_cast<RetryTimer *>(t)->bus->drainSendQueue();
}

void UbusBus::drainSendQueue()
{
    draining_ = true;
    while (!sendQueue_.empty()) {
        auto [op, step] = sendQueue_.front();
        if (lost_) {
            sendQueue_.pop_front();
            failOp(*op);
            continue;
        }
        size_t bytes = step == Step::Lookup ? op->path.size() + kMessageOverhead : 0;
        if (step == Step::Lookup && !roomFor(bytes))
            break;
        sendQueue_.pop_front();
        // An invoke measures itself and comes back here if it still does not fit.
        size_t before = sendQueue_.size();
        if (step == Step::Lookup)
            startLookup(*op);
        else
            startInvoke(*op);
        if (sendQueue_.size() > before) {
            // it went back to the end: put it in front again and wait
            sendQueue_.push_front(sendQueue_.back());
            sendQueue_.pop_back();
            break;
        }
    }
    draining_ = false;
    if (!sendQueue_.empty() && !sendRetry_.timeout.pending)
        uloop_timeout_set(&sendRetry_.timeout, kSendRetryMs);
}

void UbusBus::startLookup(Op &op)
{
    if (mayNotSendYet(op, Step::Lookup, op.path.size() + kMessageOverhead))
        return;
    int ret = ubus_lookup_async(ctx_, op.path.empty() ? nullptr : op.path.c_str(), onLookupEntry, &op.lookup);
    if (ret != 0) {
        failOp(op);
        return;
    }
    op.lookup.req.priv = &op;
    op.lookup.req.complete_cb = onLookupDone;
    op.looking = true;
    ubus_complete_request_async(ctx_, &op.lookup.req);
}

void UbusBus::onLookupEntry(ubus_context *, ubus_object_data *obj, void *priv)
{
    Op &op = *static_cast<Op *>(priv);
    if (op.isCall) {
        if (op.path == obj->path) {
            op.id = obj->id;
            op.found = true;
        }
        return;
    }
    ObjectEntry e;
    e.path = obj->path;
    e.signature = signatureJson(obj->signature);
    op.listOutcome.objects.push_back(std::move(e));
}

void UbusBus::onLookupDone(ubus_request *req, int status)
{
    Op &op = *static_cast<Op *>(req->priv);
    UbusBus &bus = *op.bus;
    op.looking = false;
    bool gone = req->ctx->sock.eof;
    if (!op.isCall) {
        if (gone || (status != 0 && status != UBUS_STATUS_NOT_FOUND))
            op.listOutcome.kind = ListOutcome::NotSent;
        bus.finish(op);
        return;
    }
    if (gone || (status != 0 && status != UBUS_STATUS_NOT_FOUND)) {
        bus.finishCall(op, CallOutcome::NotSent);
        return;
    }
    if (!op.found) {
        bus.ids_.erase(op.path);
        bus.finishCall(op, CallOutcome::NoObject);
        return;
    }
    bus.ids_[op.path] = op.id;
    if (op.staleId != 0 && op.id == op.staleId) {
        // The object itself answered "not found"; that is its answer.
        op.outcome = std::move(op.staleOutcome);
        bus.finishCall(op, CallOutcome::Answered);
        return;
    }
    bus.startInvoke(op);
}

void UbusBus::startInvoke(Op &op)
{
    blob_buf b = {};
    blob_buf_init(&b, 0);
    bool encoded = addMembers(&b, op.args);
    size_t bytes = blob_pad_len(b.head) + op.method.size() + kMessageOverhead;
    if (!encoded || (sendBuffer_ && bytes + kSendSlack > sendBuffer_)) {
        // would never fit the socket at once: refused rather than waited for
        blob_buf_free(&b);
        finishCall(op, encoded ? CallOutcome::TooLarge : CallOutcome::NotSent);
        return;
    }
    if (mayNotSendYet(op, Step::Invoke, bytes)) {
        blob_buf_free(&b);
        return;
    }
    int ret = ubus_invoke_async(ctx_, op.id, op.method.c_str(), b.head, &op.invoke);
    blob_buf_free(&b);
    if (ret != 0) {
        finishCall(op, CallOutcome::NotSent);
        return;
    }
    op.invoke.priv = &op;
    op.invoke.data_cb = onData;
    op.invoke.complete_cb = onInvokeDone;
    op.invoking = true;
    ubus_complete_request_async(ctx_, &op.invoke);
}

void UbusBus::onData(ubus_request *req, int, blob_attr *msg)
{
    Op &op = *static_cast<Op *>(req->priv);
    if (op.dataBytes > op.bus->maxDataBytes_)
        return;
    op.dataBytes += blob_len(msg);
    if (op.dataBytes > op.bus->maxDataBytes_) {
        op.outcome.data = Json::object();  // what came so far goes too
        return;
    }
    mergeMembers(msg, op.outcome.data);
    op.outcome.hasData = true;
}

void UbusBus::onInvokeDone(ubus_request *req, int status)
{
    Op &op = *static_cast<Op *>(req->priv);
    UbusBus &bus = *op.bus;
    op.invoking = false;
    // The library ends waiting calls with TIMEOUT when the broker goes away.
    if (req->ctx->sock.eof) {
        bus.finishCall(op, CallOutcome::NotSent);
        return;
    }
    if (op.dataBytes > bus.maxDataBytes_) {
        bus.finishCall(op, CallOutcome::TooLarge);
        return;
    }
    op.outcome.status = status;
    if (status == UBUS_STATUS_NOT_FOUND && op.idFromCache) {
        // Either the object answered so, or the id is gone: a fresh lookup tells.
        bus.ids_.erase(op.path);
        op.idFromCache = false;
        op.staleId = op.id;
        op.staleOutcome = std::move(op.outcome);
        op.outcome = CallOutcome();
        op.dataBytes = 0;
        op.found = false;
        bus.startLookup(op);
        return;
    }
    bus.finishCall(op, CallOutcome::Answered);
}

void UbusBus::onDeadline(uloop_timeout *t)
{
    Op &op = *reinterpret_cast<Timer *>(t)->owner;
    if (op.isCall)
        op.bus->finishCall(op, CallOutcome::TimedOut);
    else {
        op.listOutcome = ListOutcome();
        op.listOutcome.kind = ListOutcome::TimedOut;
        op.bus->finish(op);
    }
}

void UbusBus::finishCall(Op &op, CallOutcome::Kind kind)
{
    if (kind != CallOutcome::Answered)
        op.outcome = CallOutcome();
    op.outcome.kind = kind;
    finish(op);
}

// Every answer reaches the caller from the operation's timer, so that it
// never runs inside call() or inside the library's reading of the socket.
void UbusBus::finish(Op &op)
{
    if (op.finished)
        return;
    op.finished = true;
    if (op.looking) {
        ubus_abort_request(ctx_, &op.lookup.req);
        op.looking = false;
    }
    if (op.invoking) {
        ubus_abort_request(ctx_, &op.invoke);
        op.invoking = false;
    }
    for (auto it = sendQueue_.begin(); it != sendQueue_.end();)
        it = it->first == &op ? sendQueue_.erase(it) : std::next(it);
    for (auto it = awaitingConnection_.begin(); it != awaitingConnection_.end();)
        it = *it == &op ? awaitingConnection_.erase(it) : std::next(it);
    op.timer.timeout.cb = deliver;
    uloop_timeout_set(&op.timer.timeout, 0);
}

void UbusBus::deliver(uloop_timeout *t)
{
    Op *op = reinterpret_cast<Timer *>(t)->owner;
    UbusBus &bus = *op->bus;
    auto callDone = std::move(op->callDone);
    auto listDone = std::move(op->listDone);
    CallOutcome outcome = std::move(op->outcome);
    ListOutcome listOutcome = std::move(op->listOutcome);
    bus.ops_.erase(op->self);
    if (callDone)
        callDone(std::move(outcome));
    else if (listDone)
        listDone(std::move(listOutcome));
}

void UbusBus::abortAll()
{
    closing_ = true;
    sendQueue_.clear();
    awaitingConnection_.clear();
    uloop_timeout_cancel(&sendRetry_.timeout);
    while (!ops_.empty()) {
        Op &op = ops_.front();
        uloop_timeout_cancel(&op.timer.timeout);
        if (op.looking)
            ubus_abort_request(ctx_, &op.lookup.req);
        if (op.invoking)
            ubus_abort_request(ctx_, &op.invoke);
        auto callDone = std::move(op.callDone);
        auto listDone = std::move(op.listDone);
        ops_.pop_front();
        if (callDone) {
            CallOutcome o;
            o.kind = CallOutcome::NotSent;
            callDone(o);
        } else if (listDone) {
            ListOutcome o;
            o.kind = ListOutcome::NotSent;
            listDone(o);
        }
    }
}

}  // namespace ubusgw
