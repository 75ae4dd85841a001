#include "bus_client.h"

// libubus.h first: the platform's libubox headers have no extern "C" of their own.
#include <libubus.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "json_blobmsg.h"

namespace busclient {

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// uloop is process-global: one bus thread at a time, also counting one left
// behind on a stalled broker.
std::atomic<bool> g_busThreadAlive{false};

constexpr const char *kObjectAdded = "ubus.object.add";
constexpr const char *kObjectRemoved = "ubus.object.remove";

// Lets stop() wait for a thread with a time limit, which join() cannot.
class ThreadEnd {
public:
    void mark() {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        cv_.notify_all();
    }
    bool waitFor(int ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool ended_ = false;
};

}  // namespace

class BusLoop;

struct Call {
    std::string object;
    std::string method;
    std::vector<uint8_t> args;  // one blob attribute holding the encoded table
    BusClient::CallHandler handler;
    // handler-thread side, under Core::mutex
    bool done = false;
    std::multimap<Clock::time_point, std::shared_ptr<Call>>::iterator deadline;
    // bus-thread side
    ubus_request req{};
    json data = json::object();
    size_t dataBytes = 0;
    bool badData = false;
};

struct BusClient::Core {
    explicit Core(Options o) : options(std::move(o)) {
        if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) < 0) wakePipe[0] = wakePipe[1] = -1;
    }
    ~Core() {
        for (int fd : wakePipe) {
            if (fd >= 0) close(fd);
        }
    }

    ConversionLimits limits(size_t bytes) const {
        ConversionLimits l;
        l.maxDepth = options.maxDepth;
        l.maxBytes = bytes;
        return l;
    }

    // ---- handler thread ----

    struct Item {
        std::function<void()> fn;
        bool event = false;
    };

    void pushLocked(std::function<void()> fn, bool event = false) {
        ready.push_back(Item{std::move(fn), event});
        wake.notify_one();
    }

    bool finishLocked(const std::shared_ptr<Call> &call, int status, json data) {
        if (call->done) return false;
        call->done = true;
        deadlines.erase(call->deadline);
        pendingCalls--;
        pushLocked([h = std::move(call->handler), status, d = std::move(data)] { h(status, d); });
        return true;
    }

    bool finish(const std::shared_ptr<Call> &call, int status, json data = json::object()) {
        std::lock_guard<std::mutex> lock(mutex);
        return finishLocked(call, status, std::move(data));
    }

    bool isDone(const std::shared_ptr<Call> &call) {
        std::lock_guard<std::mutex> lock(mutex);
        return call->done;
    }

    // A handler removed meanwhile is not called.
    template <typename Handler>
    std::shared_ptr<const Handler> find(
        const std::map<int, std::shared_ptr<const Handler>> &handlers, int handle) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = handlers.find(handle);
        return it == handlers.end() ? nullptr : it->second;
    }

    void postEvent(int handle, std::string name, json data) {
        std::lock_guard<std::mutex> lock(mutex);
        if (queuedEvents >= options.maxQueuedEvents) {
            stats.droppedEvents++;
            return;
        }
        queuedEvents++;
        pushLocked(
            [this, handle, n = std::move(name), d = std::move(data)] {
                if (auto h = find(listeners, handle)) (*h)(n, d);
            },
            true);
    }

    void postPresence(int handle, std::string object, bool present) {
        std::lock_guard<std::mutex> lock(mutex);
        pushLocked([this, handle, o = std::move(object), present] {
            if (auto h = find(watchers, handle)) (*h)(o, present);
        });
    }

    void postConnection(bool up) {
        std::lock_guard<std::mutex> lock(mutex);
        pushLocked([this, up] {
            std::shared_ptr<const ConnectionHandler> h;
            {
                std::lock_guard<std::mutex> lock(mutex);
                h = connectionHandler;
            }
            if (h) (*h)(up);
        });
    }

    void handlerLoop();

    // ---- bus thread ----

    void postBus(std::function<void(BusLoop &)> job) {
        {
            std::lock_guard<std::mutex> lock(busMutex);
            busJobs.push_back(std::move(job));
        }
        // a full pipe already holds a wake-up
        char byte = 0;
        ssize_t r;
        do r = write(wakePipe[1], &byte, 1);
        while (r < 0 && errno == EINTR);
    }

    const Options options;

    mutable std::mutex mutex;  // everything below up to busMutex
    std::condition_variable wake;
    std::deque<Item> ready;
    size_t queuedEvents = 0;
    std::multimap<Clock::time_point, std::shared_ptr<Call>> deadlines;
    size_t pendingCalls = 0;
    // Calls posted that the bus thread has not taken yet. Bounded apart from
    // the open calls: while the bus thread is blocked, calls that time out
    // free their slot but leave their jobs queued.
    std::atomic<size_t> untakenCalls{0};
    bool accepting = true;
    bool handlerStop = false;
    std::thread::id handlerThreadId;
    std::map<int, std::shared_ptr<const EventHandler>> listeners;
    std::map<int, std::shared_ptr<const PresenceHandler>> watchers;
    std::shared_ptr<const ConnectionHandler> connectionHandler;
    Stats stats;

    std::mutex busMutex;
    std::deque<std::function<void(BusLoop &)>> busJobs;
    int wakePipe[2] = {-1, -1};

    std::atomic<bool> connected{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<int> nextHandle{1};
    std::mutex lifeMutex;  // the three below: a handler may call stop() right after start()
    bool started = false;
    std::thread busThread;
    std::thread handlerThread;
    ThreadEnd busEnd;
    ThreadEnd handlerEnd;
};

// Owns the bus connection; lives on the bus thread only. libubus callbacks
// carry no user pointer for the connection, so the one loop is reached
// through current_.
class BusLoop {
public:
    explicit BusLoop(BusClient::Core &core)
        : core_(core), backoffMs_(core.options.reconnectMinMs) {}

    int run();

    void submit(const std::shared_ptr<Call> &call);
    void abort(const std::shared_ptr<Call> &call);
    void addListener(int handle, const std::string &pattern);
    void addWatch(int handle, const std::string &object);
    void remove(int handle);
    void requestStop();

private:
    struct EvBox {
        ubus_event_handler ev;  // first member: the callback gets its address
        int handle;             // 0: the object add/remove events
    };
    struct Listener {
        std::string pattern;
        std::unique_ptr<EvBox> box;  // registered on the current connection
    };
    struct Watch {
        std::string object;
        int reported = -1;
    };

    static std::unique_ptr<EvBox> newBox(int handle);
    static void onWake(uloop_fd *fd, unsigned int events);
    static void onReconnectTimer(uloop_timeout *t);
    static void onTeardownTimer(uloop_timeout *t);
    static void onLost(ubus_context *ctx);
    static void onEvent(ubus_context *ctx, ubus_event_handler *ev, const char *type,
                        blob_attr *msg);
    static void onListed(ubus_context *ctx, ubus_object_data *obj, void *priv);
    static void onData(ubus_request *req, int type, blob_attr *msg);
    static void onComplete(ubus_request *req, int ret);

    void runJobs();
    void connect();
    void registerListener(int handle, Listener &l);
    void objectEvent(const char *type, blob_attr *msg);
    void send(const std::shared_ptr<Call> &call);
    void failInflight(int status);
    void closeConnection();
    void retryLater();
    void reportConnection(bool up);
    void evaluate(int handle, Watch &w);
    void evaluateAll();

    static BusLoop *current_;

    BusClient::Core &core_;
    ubus_context *ctx_ = nullptr;
    bool up_ = false;         // connected, object list known, listeners registered
    bool lost_ = false;       // the current connection has failed
    bool complete_ = false;   // ids_ holds every object (the add/remove events reach us)
    bool attempted_ = false;  // a first connect was tried
    bool everUp_ = false;
    bool stopping_ = false;
    int reported_ = -1;
    int backoffMs_;
    uloop_fd wake_{};
    uloop_timeout reconnect_{};
    uloop_timeout teardown_{};
    std::unique_ptr<EvBox> objectEvents_;
    std::vector<std::unique_ptr<EvBox>> retired_;  // still known to the context
    std::map<int, Listener> listeners_;
    std::map<int, Watch> watches_;
    std::unordered_map<std::string, uint32_t> ids_;
    std::deque<std::shared_ptr<Call>> waiting_;
    std::map<Call *, std::shared_ptr<Call>> inflight_;
};

BusLoop *BusLoop::current_ = nullptr;

int BusLoop::run() {
    current_ = this;
    wake_.fd = core_.wakePipe[0];
    wake_.cb = onWake;
    uloop_fd_add(&wake_, ULOOP_READ);
    reconnect_.cb = onReconnectTimer;
    teardown_.cb = onTeardownTimer;
    uloop_timeout_set(&reconnect_, 0);

    int status = uloop_run();

    stopping_ = true;
    uloop_timeout_cancel(&reconnect_);
    uloop_timeout_cancel(&teardown_);
    if (ctx_) closeConnection();
    for (auto &call : waiting_) core_.finish(call, kConnectionFailed);
    waiting_.clear();
    uloop_fd_delete(&wake_);
    current_ = nullptr;
    return status;
}

std::unique_ptr<BusLoop::EvBox> BusLoop::newBox(int handle) {
    auto box = std::make_unique<EvBox>();
    std::memset(&box->ev, 0, sizeof(box->ev));
    box->ev.cb = onEvent;
    box->handle = handle;
    return box;
}

void BusLoop::onWake(uloop_fd *fd, unsigned int) {
    char buf[64];
    while (read(fd->fd, buf, sizeof(buf)) > 0) {
    }
    current_->runJobs();
}

void BusLoop::runJobs() {
    std::deque<std::function<void(BusLoop &)>> jobs;
    {
        std::lock_guard<std::mutex> lock(core_.busMutex);
        jobs.swap(core_.busJobs);
    }
    for (auto &job : jobs) {
        if (stopping_) break;
        job(*this);
    }
}

void BusLoop::onReconnectTimer(uloop_timeout *) { current_->connect(); }

void BusLoop::onTeardownTimer(uloop_timeout *) {
    BusLoop *self = current_;
    if (self->ctx_) self->closeConnection();
    if (!self->stopping_) self->retryLater();
}

void BusLoop::retryLater() {
    uloop_timeout_set(&reconnect_, backoffMs_);
    backoffMs_ = std::min(backoffMs_ * 2, std::max(core_.options.reconnectMaxMs, 1));
}

void BusLoop::connect() {
    if (stopping_ || ctx_) return;
    const std::string &socket = core_.options.socket;
    ctx_ = ubus_connect(socket.empty() ? nullptr : socket.c_str());
    attempted_ = true;
    if (!ctx_) {
        reportConnection(false);
        evaluateAll();
        retryLater();
        return;
    }
    lost_ = false;
    ctx_->connection_lost = onLost;
    ubus_add_uloop(ctx_);

    // Ids come from one listing plus the add/remove events that follow, so a
    // call never waits on a lookup. Events queued during the listing are
    // handled after it; replayed in order they still end in the right state.
    objectEvents_ = newBox(0);
    complete_ = ubus_register_event_handler(ctx_, &objectEvents_->ev, kObjectAdded) == 0 &&
                ubus_register_event_handler(ctx_, &objectEvents_->ev, kObjectRemoved) == 0;
    if (lost_) return;
    ids_.clear();
    int ret = ubus_lookup(ctx_, nullptr, onListed, nullptr);
    if (lost_) return;
    if (ret != 0 && ret != UBUS_STATUS_NOT_FOUND) complete_ = false;
    for (auto &entry : listeners_) {
        registerListener(entry.first, entry.second);
        if (lost_) return;
    }

    up_ = true;
    core_.connected = true;
    backoffMs_ = core_.options.reconnectMinMs;
    if (everUp_) {
        std::lock_guard<std::mutex> lock(core_.mutex);
        core_.stats.reconnects++;
    }
    everUp_ = true;
    reportConnection(true);
    evaluateAll();

    std::deque<std::shared_ptr<Call>> waiting;
    waiting.swap(waiting_);
    for (auto &call : waiting) {
        if (!core_.isDone(call)) send(call);
    }
}

void BusLoop::registerListener(int handle, Listener &l) {
    l.box = newBox(handle);
    // A failed registration may still have published the listener object,
    // which the context keeps pointing at: it stays until the context goes.
    if (ubus_register_event_handler(ctx_, &l.box->ev, l.pattern.c_str()) != 0)
        retired_.push_back(std::move(l.box));
}

void BusLoop::onLost(ubus_context *) {
    BusLoop *self = current_;
    if (self->lost_) return;
    self->lost_ = true;
    self->failInflight(kConnectionFailed);
    // not freed here: libubus is still inside this context
    uloop_timeout_set(&self->teardown_, 0);
}

void BusLoop::failInflight(int status) {
    std::map<Call *, std::shared_ptr<Call>> inflight;
    inflight.swap(inflight_);
    for (auto &entry : inflight) {
        ubus_abort_request(ctx_, &entry.first->req);
        core_.finish(entry.second, status);
    }
}

void BusLoop::closeConnection() {
    failInflight(kConnectionFailed);
    ubus_free(ctx_);
    ctx_ = nullptr;
    objectEvents_.reset();
    for (auto &entry : listeners_) entry.second.box.reset();
    retired_.clear();
    ids_.clear();
    complete_ = false;
    up_ = false;
    core_.connected = false;
    reportConnection(false);
    evaluateAll();
}

void BusLoop::reportConnection(bool up) {
    if (reported_ == static_cast<int>(up)) return;
    reported_ = up;
    core_.postConnection(up);
}

void BusLoop::evaluate(int handle, Watch &w) {
    if (!attempted_) return;
    int present = up_ && ids_.count(w.object) ? 1 : 0;
    if (w.reported == present) return;
    w.reported = present;
    core_.postPresence(handle, w.object, present != 0);
}

void BusLoop::evaluateAll() {
    for (auto &entry : watches_) evaluate(entry.first, entry.second);
}

void BusLoop::onListed(ubus_context *, ubus_object_data *obj, void *) {
    if (obj->path) current_->ids_[obj->path] = obj->id;
}

void BusLoop::onEvent(ubus_context *, ubus_event_handler *ev, const char *type, blob_attr *msg) {
    BusLoop *self = current_;
    const auto *box = reinterpret_cast<EvBox *>(ev);
    if (box->handle == 0) {
        self->objectEvent(type, msg);
        return;
    }
    json data;
    if (!blobmsgToJson(msg, &data, nullptr,
                       self->core_.limits(self->core_.options.maxReplyBytes))) {
        std::lock_guard<std::mutex> lock(self->core_.mutex);
        self->core_.stats.droppedEvents++;
        return;
    }
    self->core_.postEvent(box->handle, type ? type : "", std::move(data));
}

void BusLoop::objectEvent(const char *type, blob_attr *msg) {
    enum { kId, kPath, kCount };
    static const blobmsg_policy policy[kCount] = {
        {"id", BLOBMSG_TYPE_INT32},
        {"path", BLOBMSG_TYPE_STRING},
    };
    blob_attr *tb[kCount] = {};
    if (!type || !msg ||
        blobmsg_parse(policy, kCount, tb, blob_data(msg),
                      static_cast<unsigned int>(blob_len(msg))) < 0 ||
        !tb[kId] || !tb[kPath])
        return;
    uint32_t id = blobmsg_get_u32(tb[kId]);
    std::string path = blobmsg_get_string(tb[kPath]);
    if (std::strcmp(type, kObjectAdded) == 0) {
        ids_[path] = id;
    } else if (std::strcmp(type, kObjectRemoved) == 0) {
        auto it = ids_.find(path);
        if (it != ids_.end() && it->second == id) ids_.erase(it);
    }
    if (!up_) return;
    for (auto &entry : watches_) {
        if (entry.second.object == path) evaluate(entry.first, entry.second);
    }
}

void BusLoop::submit(const std::shared_ptr<Call> &call) {
    core_.untakenCalls--;
    if (core_.isDone(call)) return;
    if (!up_) {
        waiting_.push_back(call);
        return;
    }
    send(call);
}

void BusLoop::send(const std::shared_ptr<Call> &call) {
    uint32_t id = 0;
    auto it = ids_.find(call->object);
    if (it != ids_.end()) {
        id = it->second;
    } else if (complete_) {
        core_.finish(call, kNotFound);
        return;
    } else {
        // Without the object events (a broker refusing them) only a
        // lookup, which waits on the broker, can tell.
        int ret = ubus_lookup_id(ctx_, call->object.c_str(), &id);
        if (lost_) {
            waiting_.push_back(call);
            return;
        }
        if (ret != 0) {
            core_.finish(call, ret);
            return;
        }
        ids_[call->object] = id;
    }

    auto *args = reinterpret_cast<blob_attr *>(call->args.data());
    int ret = ubus_invoke_async(ctx_, id, call->method.c_str(), args, &call->req);
    if (ret != 0) {
        // not sent: safe to send again on the next connection
        if (lost_ || ctx_->sock.eof) {
            waiting_.push_back(call);
            return;
        }
        core_.finish(call, ret == UBUS_STATUS_INVALID_ARGUMENT ? ret : kConnectionFailed);
        return;
    }
    call->req.data_cb = onData;
    call->req.complete_cb = onComplete;
    call->req.priv = call.get();
    ubus_complete_request_async(ctx_, &call->req);
    inflight_[call.get()] = call;
}

void BusLoop::onData(ubus_request *req, int, blob_attr *msg) {
    auto *call = static_cast<Call *>(req->priv);
    BusClient::Core &core = current_->core_;
    if (call->badData || !msg) return;
    call->dataBytes += blob_len(msg);
    json part;
    if (call->dataBytes > core.options.maxReplyBytes ||
        !blobmsgToJson(msg, &part, nullptr, core.limits(core.options.maxReplyBytes))) {
        call->badData = true;
        return;
    }
    call->data.update(part);
}

void BusLoop::onComplete(ubus_request *req, int ret) {
    BusLoop *self = current_;
    auto it = self->inflight_.find(static_cast<Call *>(req->priv));
    if (it == self->inflight_.end()) return;
    std::shared_ptr<Call> call = std::move(it->second);
    self->inflight_.erase(it);
    // some libraries end waiting requests with a timeout when the broker goes
    if (ret == UBUS_STATUS_TIMEOUT && self->ctx_ && self->ctx_->sock.eof) ret = kConnectionFailed;
    if (ret == kOk && call->badData) ret = kParseError;
    self->core_.finish(call, ret, std::move(call->data));
}

void BusLoop::abort(const std::shared_ptr<Call> &call) {
    auto it = inflight_.find(call.get());
    if (it != inflight_.end()) {
        ubus_abort_request(ctx_, &call->req);
        inflight_.erase(it);
        return;
    }
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), call), waiting_.end());
}

void BusLoop::addListener(int handle, const std::string &pattern) {
    Listener &l = listeners_[handle];
    l.pattern = pattern;
    if (up_) registerListener(handle, l);
}

void BusLoop::addWatch(int handle, const std::string &object) {
    Watch &w = watches_[handle];
    w.object = object;
    evaluate(handle, w);
}

void BusLoop::remove(int handle) {
    watches_.erase(handle);
    auto it = listeners_.find(handle);
    if (it == listeners_.end()) return;
    std::unique_ptr<EvBox> box = std::move(it->second.box);
    listeners_.erase(it);
    if (box && (lost_ || ubus_unregister_event_handler(ctx_, &box->ev) != 0))
        retired_.push_back(std::move(box));
}

void BusLoop::requestStop() {
    stopping_ = true;
    uloop_end();
}

void BusClient::Core::handlerLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    handlerThreadId = std::this_thread::get_id();
    for (;;) {
        auto now = Clock::now();
        while (!deadlines.empty() && deadlines.begin()->first <= now) {
            std::shared_ptr<Call> call = deadlines.begin()->second;
            finishLocked(call, kTimeout, json::object());
            // the request may still be in flight: the bus forgets it
            postBus([call](BusLoop &loop) { loop.abort(call); });
        }
        if (!ready.empty()) {
            Item item = std::move(ready.front());
            ready.pop_front();
            if (item.event) queuedEvents--;
            lock.unlock();
            try {
                item.fn();
            } catch (...) {
                lock.lock();
                stats.handlerExceptions++;
                continue;
            }
            lock.lock();
            continue;
        }
        if (handlerStop) break;
        if (deadlines.empty()) {
            wake.wait(lock);
        } else {
            // a copy: the entry may go while the lock is released
            Clock::time_point next = deadlines.begin()->first;
            wake.wait_until(lock, next);
        }
    }
}

namespace {

void busMain(std::shared_ptr<BusClient::Core> core) {
    int status;
    {
        BusLoop loop(*core);
        status = loop.run();
    }
    core->connected = false;
    uloop_done();
    bool requested = core->stopRequested;
    g_busThreadAlive = false;
    core->busEnd.mark();
    // A loop that took a termination signal anyway (libraries that take
    // them in uloop_run): hand it back now that the default is restored.
    if (status > 0 && !requested) kill(getpid(), status);
}

void handlerMain(std::shared_ptr<BusClient::Core> core) {
    core->handlerLoop();
    core->handlerEnd.mark();
}

volatile sig_atomic_t g_deferredSignal = 0;

void deferSignal(int sig) { g_deferredSignal = sig; }

// uloop_init takes over SIGINT and SIGTERM where they are at their default,
// and a bus thread stuck on a stalled broker would then never end the
// program. Holding them for the moment keeps the default the program's.
bool initLoopKeepingSignals() {
    const int signals[] = {SIGINT, SIGTERM};
    bool held[2] = {false, false};
    for (int i = 0; i < 2; i++) {
        struct sigaction cur;
        if (sigaction(signals[i], nullptr, &cur) == 0 && cur.sa_handler == SIG_DFL &&
            !(cur.sa_flags & SA_SIGINFO)) {
            struct sigaction hold;
            std::memset(&hold, 0, sizeof(hold));
            hold.sa_handler = deferSignal;
            sigemptyset(&hold.sa_mask);
            held[i] = sigaction(signals[i], &hold, nullptr) == 0;
        }
    }
    bool ok = uloop_init() == 0;
    for (int i = 0; i < 2; i++) {
        if (!held[i]) continue;
        struct sigaction dfl;
        std::memset(&dfl, 0, sizeof(dfl));
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        sigaction(signals[i], &dfl, nullptr);
    }
    int sig = g_deferredSignal;
    if (sig) {
        g_deferredSignal = 0;
        kill(getpid(), sig);
    }
    return ok;
}

}  // namespace

const char *statusText(int status) {
    static const char *const texts[] = {
        "Success",
        "Invalid command",
        "Invalid argument",
        "Method not found",
        "Not found",
        "No response",
        "Permission denied",
        "Request timed out",
        "Operation not supported",
        "Unknown error",
        "Connection failed",
        "Out of memory",
        "Parsing message data failed",
    };
    if (status < 0 || status >= static_cast<int>(sizeof(texts) / sizeof(texts[0])))
        return "Unknown status";
    return texts[status];
}

BusClient::BusClient(Options options) : core_(std::make_shared<Core>(std::move(options))) {}

BusClient::~BusClient() { stop(); }

bool BusClient::start(std::string *error) {
    auto fail = [error](const char *why) {
        if (error) *error = why;
        return false;
    };
    std::lock_guard<std::mutex> life(core_->lifeMutex);
    if (core_->started || core_->stopRequested) return fail("already started or stopped");
    if (core_->wakePipe[0] < 0) return fail("cannot create the wake-up pipe");
    if (g_busThreadAlive.exchange(true)) return fail("another bus client runs in this process");
    // The program's children are its own to reap.
    uloop_handle_sigchld = false;
    if (!initLoopKeepingSignals()) {
        g_busThreadAlive = false;
        return fail("cannot set up the event loop");
    }

    core_->started = true;
    // Signals stay with the program's threads.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    bool ok = true;
    try {
        core_->handlerThread = std::thread(handlerMain, core_);
        core_->busThread = std::thread(busMain, core_);
    } catch (const std::system_error &) {
        ok = false;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!ok) {
        if (core_->handlerThread.joinable()) {
            {
                std::lock_guard<std::mutex> lock(core_->mutex);
                core_->handlerStop = true;
                core_->wake.notify_one();
            }
            core_->handlerThread.join();
        }
        uloop_done();
        g_busThreadAlive = false;
        core_->started = false;
        return fail("cannot start the library threads");
    }
    return true;
}

void BusClient::stop() {
    Core &core = *core_;
    if (core.stopRequested.exchange(true)) return;
    {
        std::lock_guard<std::mutex> lock(core.mutex);
        core.accepting = false;
    }
    std::lock_guard<std::mutex> life(core.lifeMutex);
    if (!core.started) return;
    core.postBus([](BusLoop &loop) { loop.requestStop(); });
    if (core.busEnd.waitFor(core.options.stopGraceMs))
        core.busThread.join();
    else
        core.busThread.detach();  // stuck on the broker; keeps its share of the core

    bool self = onHandlerThread();
    {
        // what the bus could not end (stuck, or raced with the stop) ends here
        std::lock_guard<std::mutex> lock(core.mutex);
        while (!core.deadlines.empty()) {
            std::shared_ptr<Call> call = core.deadlines.begin()->second;  // the entry goes
            core.finishLocked(call, kConnectionFailed, json::object());
        }
        core.handlerStop = true;
        core.wake.notify_one();
    }
    if (!self && core.handlerEnd.waitFor(core.options.stopGraceMs))
        core.handlerThread.join();
    else
        core.handlerThread.detach();
}

void BusClient::onConnection(ConnectionHandler handler) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->connectionHandler = std::make_shared<const ConnectionHandler>(std::move(handler));
}

int BusClient::listen(const std::string &pattern, EventHandler handler) {
    int handle = core_->nextHandle++;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->listeners[handle] = std::make_shared<const EventHandler>(std::move(handler));
    }
    core_->postBus([handle, pattern](BusLoop &loop) { loop.addListener(handle, pattern); });
    return handle;
}

int BusClient::watch(const std::string &object, PresenceHandler handler) {
    int handle = core_->nextHandle++;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->watchers[handle] = std::make_shared<const PresenceHandler>(std::move(handler));
    }
    core_->postBus([handle, object](BusLoop &loop) { loop.addWatch(handle, object); });
    return handle;
}

void BusClient::remove(int handle) {
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        core_->listeners.erase(handle);
        core_->watchers.erase(handle);
    }
    core_->postBus([handle](BusLoop &loop) { loop.remove(handle); });
}

void BusClient::call(const std::string &object, const std::string &method, nlohmann::json args,
                     int timeoutMs, CallHandler handler) {
    Core &core = *core_;
    auto call = std::make_shared<Call>();
    int refused = kOk;
    if (timeoutMs <= 0 || object.empty() || method.empty()) {
        refused = kInvalidArgument;
    } else {
        // encoded here, so a bad argument costs the caller, not the bus thread
        blob_buf buf;
        std::memset(&buf, 0, sizeof(buf));
        if (blob_buf_init(&buf, 0) < 0 ||
            !jsonToBlobmsg(args, &buf, nullptr, core.limits(core.options.maxArgsBytes))) {
            refused = kInvalidArgument;
        } else {
            const auto *bytes = reinterpret_cast<const uint8_t *>(buf.head);
            call->args.assign(bytes, bytes + blob_raw_len(buf.head));
        }
        blob_buf_free(&buf);
    }

    std::unique_lock<std::mutex> lock(core.mutex);
    if (!core.accepting) {
        // stopped: no handler thread any more, and a waiting caller must not hang
        lock.unlock();
        handler(kConnectionFailed, json::object());
        return;
    }
    if (refused == kOk && (core.pendingCalls >= core.options.maxPendingCalls ||
                           core.untakenCalls >= core.options.maxPendingCalls))
        refused = kNoMemory;
    if (refused != kOk) {
        core.pushLocked([h = std::move(handler), refused] { h(refused, json::object()); });
        return;
    }
    call->object = object;
    call->method = method;
    call->handler = std::move(handler);
    call->deadline =
        core.deadlines.emplace(Clock::now() + std::chrono::milliseconds(timeoutMs), call);
    core.pendingCalls++;
    core.untakenCalls++;
    core.wake.notify_one();  // a new earliest deadline
    core.postBus([call](BusLoop &loop) { loop.submit(call); });
}

std::future<Reply> BusClient::call(const std::string &object, const std::string &method,
                                   nlohmann::json args, int timeoutMs) {
    auto promise = std::make_shared<std::promise<Reply>>();
    std::future<Reply> future = promise->get_future();
    call(object, method, std::move(args), timeoutMs,
         [promise](int status, const nlohmann::json &data) {
             promise->set_value(Reply{status, data});
         });
    return future;
}

void BusClient::post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->pushLocked(std::move(fn));
}

bool BusClient::connected() const { return core_->connected; }

bool BusClient::onHandlerThread() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->handlerThreadId == std::this_thread::get_id();
}

BusClient::Stats BusClient::stats() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->stats;
}

}  // namespace busclient
