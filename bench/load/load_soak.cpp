// Load on the running daemon: a soak of mixed bus calls from several clients
// while the motors move, a flood of "changePan" far faster than the motors
// can follow, and one client's calls beside a flooder that never reads, beside
// its own calls to a stuck object and beside an event flood to listeners that
// never read. Prints the figures with
// PASS/MISS per target; the exit status is non-zero only when the daemon died or the motors ended
// somewhere the accepted commands do not explain.
//
// Runs as root in a private mount namespace with its own broker on a tmpfs
// over /var/run/ubus (the daemon only knows the default socket).
#include <libubus.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

long envLong(const char *name, long fallback) {
    const char *value = std::getenv(name);
    return value && *value ? std::strtol(value, nullptr, 10) : fallback;
}

// One bus client: its own connection, synchronous calls.
class Client {
public:
    Client() {
        ctx_ = ubus_connect(nullptr);
        if (ctx_ && ubus_lookup_id(ctx_, "gimbalhub", &id_) != 0) id_ = 0;
        blob_buf_init(&buf_, 0);
    }
    ~Client() {
        blob_buf_free(&buf_);
        if (ctx_) ubus_free(ctx_);
    }
    bool ok() const { return ctx_ != nullptr && id_ != 0; }
    uint32_t object() const { return id_; }
    ubus_context *context() const { return ctx_; }

    int change(const char *method, int step) {
        blob_buf_init(&buf_, 0);
        blobmsg_add_u32(&buf_, "step", static_cast<uint32_t>(step));
        return ubus_invoke(ctx_, id_, method, buf_.head, nullptr, nullptr, 5000);
    }
    int position(int pan, int tilt) {
        blob_buf_init(&buf_, 0);
        blobmsg_add_u32(&buf_, "pan", static_cast<uint32_t>(pan));
        blobmsg_add_u32(&buf_, "tilt", static_cast<uint32_t>(tilt));
        return ubus_invoke(ctx_, id_, "changePosition", buf_.head, nullptr, nullptr, 5000);
    }
    // getPosition; fills pan/tilt, returns the bus status.
    int get(int &pan, int &tilt) {
        blob_buf_init(&buf_, 0);
        Reply reply;
        int status = ubus_invoke(ctx_, id_, "getPosition", buf_.head, onReply, &reply, 5000);
        pan = reply.pan;
        tilt = reply.tilt;
        return status == 0 && reply.seen ? 0 : (status ? status : -1);
    }

private:
    struct Reply {
        bool seen = false;
        int pan = 0, tilt = 0;
    };
    static void onReply(ubus_request *req, int, blob_attr *msg) {
        Reply *reply = static_cast<Reply *>(req->priv);
        static const blobmsg_policy policy[] = {{"pan", BLOBMSG_TYPE_INT32},
                                                {"tilt", BLOBMSG_TYPE_INT32}};
        blob_attr *slots[2];
        blobmsg_parse(policy, 2, slots, blob_data(msg), blob_len(msg));
        if (slots[0] && slots[1]) {
            reply->seen = true;
            reply->pan = static_cast<int32_t>(blobmsg_get_u32(slots[0]));
            reply->tilt = static_cast<int32_t>(blobmsg_get_u32(slots[1]));
        }
    }
    ubus_context *ctx_ = nullptr;
    uint32_t id_ = 0;
    blob_buf buf_{};
};

struct Latencies {
    std::mutex mutex;
    std::vector<double> ms;
    void add(const std::vector<double> &more) {
        std::lock_guard<std::mutex> lock(mutex);
        ms.insert(ms.end(), more.begin(), more.end());
    }
    double percentile(double p) {
        if (ms.empty()) return NAN;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, static_cast<size_t>(p * ms.size()))];
    }
};

double nowMs() { return e2e::monotonicNow() * 1000.0; }

// One "changePan" call of one step, as the non-reading flooder sends it.
std::vector<uint8_t> changePanCall(uint32_t object) {
    blob_buf buf{};
    blob_buf_init(&buf, 0);
    blob_put_int32(&buf, UBUS_ATTR_OBJID, object);
    blob_put_string(&buf, UBUS_ATTR_METHOD, "changePan");
    void *data = blob_nest_start(&buf, UBUS_ATTR_DATA);
    blobmsg_add_u32(&buf, "step", 1);
    blob_nest_end(&buf, data);
    std::vector<uint8_t> message(8 + blob_raw_len(buf.head));
    message[1] = UBUS_MSG_INVOKE;
    for (int i = 0; i < 4; ++i) message[4 + i] = static_cast<uint8_t>(object >> (24 - 8 * i));
    std::memcpy(&message[8], buf.head, blob_raw_len(buf.head));
    blob_buf_free(&buf);
    return message;
}

// getPosition from one client, one call after the other: latencies and the
// calls that got no answer. `between` runs before each call (another call of
// the same client, for instance).
void legitimateCalls(long calls, Latencies &latency, long &unanswered,
                     const std::function<void(Client &)> &between = nullptr) {
    Client client;
    std::vector<double> local;
    for (long i = 0; i < calls; ++i) {
        if (between && client.ok()) between(client);
        int pan = 0, tilt = 0;
        const double start = nowMs();
        if (!client.ok() || client.get(pan, tilt) != 0) ++unanswered;
        local.push_back(nowMs() - start);
    }
    latency.add(local);
}

// A bus object whose owner publishes it and then never reads again, as a
// stopped or deadlocked process would.
class StuckObject {
public:
    StuckObject() {
        ctx_ = ubus_connect(nullptr);
        if (ctx_ && ubus_add_object(ctx_, &object_) != 0) object_.id = 0;
    }
    ~StuckObject() {
        if (ctx_) ubus_free(ctx_);
    }
    uint32_t id() const { return object_.id; }

private:
    static int ignore(ubus_context *, ubus_object *, ubus_request_data *, const char *,
                      blob_attr *) {
        return 0;
    }
    inline static const ubus_method methods_[] = {UBUS_METHOD_NOARG("work", ignore)};
    inline static ubus_object_type type_ = UBUS_OBJECT_TYPE("load.stuck", methods_);
    ubus_object object_ = {{}, "load.stuck", 0, nullptr, &type_, nullptr, false, methods_, 1};
    ubus_context *ctx_ = nullptr;
};

// Listeners of every event that never read what the broker sends them.
class DeafListeners {
public:
    explicit DeafListeners(int count) {
        for (int i = 0; i < count; ++i) {
            auto listener = std::make_unique<Listener>();
            listener->ctx = ubus_connect(nullptr);
            if (listener->ctx &&
                ubus_register_event_handler(listener->ctx, &listener->handler, "*") == 0)
                listeners_.push_back(std::move(listener));
        }
    }
    ~DeafListeners() {
        for (auto &listener : listeners_) ubus_free(listener->ctx);
    }
    size_t size() const { return listeners_.size(); }

private:
    struct Listener {
        ubus_context *ctx = nullptr;
        ubus_event_handler handler = {};
    };
    std::vector<std::unique_ptr<Listener>> listeners_;
};

// One "send" of a 1 KB event, as a non-reading event flooder sends it.
std::vector<uint8_t> eventSend() {
    blob_buf buf{};
    blob_buf_init(&buf, 0);
    blob_put_int32(&buf, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
    blob_put_string(&buf, UBUS_ATTR_METHOD, "send");
    void *data = blob_nest_start(&buf, UBUS_ATTR_DATA);
    blobmsg_add_string(&buf, "id", "load.flood");
    void *table = blobmsg_open_table(&buf, "data");
    blobmsg_add_string(&buf, "fill", std::string(1000, 'f').c_str());
    blobmsg_close_table(&buf, table);
    blob_nest_end(&buf, data);
    std::vector<uint8_t> message(8 + blob_raw_len(buf.head));
    message[1] = UBUS_MSG_INVOKE;
    message[7] = UBUS_SYSTEM_OBJECT_EVENT;
    std::memcpy(&message[8], buf.head, blob_raw_len(buf.head));
    blob_buf_free(&buf);
    return message;
}

size_t countOf(const std::string &text, const std::string &what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// Follows the daemon's log as it grows: keeps the counts the checks need and
// the lines written since the last mark, so the big soak log is parsed once.
class LogFollower {
public:
    explicit LogFollower(std::string path) : path_(std::move(path)) {}

    void poll() {
        FILE *file = std::fopen(path_.c_str(), "rb");
        if (!file) return;
        std::fseek(file, offset_, SEEK_SET);
        char buffer[1 << 16];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
            partial_.append(buffer, n);
            offset_ += static_cast<long>(n);
        }
        std::fclose(file);
        size_t end = partial_.rfind('\n');
        if (end == std::string::npos) return;
        for (const auto &line : e2e::parseLog(partial_.substr(0, end + 1))) take(line);
        partial_.erase(0, end + 1);
    }
    // Lines from now on are kept for inspection.
    void mark() {
        poll();
        recent.clear();
    }
    size_t accepted() const { return queued - dropped; }

    size_t queued = 0, dropped = 0, dequeued = 0, serving = 0;
    std::string last;
    std::vector<e2e::LogLine> recent;

private:
    static bool starts(const std::string &text, const char *prefix) {
        return text.compare(0, std::strlen(prefix), prefix) == 0;
    }
    void take(const e2e::LogLine &line) {
        const std::string &m = line.message;
        if (starts(m, "Queuing PAN and TILT set"))
            queued += 2;
        else if (starts(m, "Queuing "))
            queued += 1;
        else if (starts(m, "Command queue full, dropping PAN and TILT set"))
            dropped += 2;
        else if (starts(m, "Command queue full"))
            dropped += 1;
        else if (starts(m, "Dequeuing command."))
            dequeued += 1;
        else if (m == "Entering ubus main loop")
            serving += 1;
        last = m;
        recent.push_back(line);
    }

    std::string path_;
    long offset_ = 0;
    std::string partial_;
};

int failures = 0;
void verdict(bool pass, bool correctness, const std::string &what) {
    std::printf("%s  %s\n", pass ? "PASS" : "MISS", what.c_str());
    if (!pass && correctness) ++failures;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const long totalCalls = envLong("LOAD_CALLS", 100000);
    const long clients = envLong("LOAD_CLIENTS", 4);
    const long floodCalls = envLong("LOAD_FLOOD_CALLS", 5000);
    const long legitimateCount = envLong("LOAD_LEGITIMATE_CALLS", 2000);
    const char *keep = std::getenv("LOAD_KEEP");

    std::string why;
    if (geteuid() != 0 || !e2e::enterPrivateMountNamespace(&why)) {
        std::printf("SKIP  needs root and mount namespaces (unshare -m)\n");
        return 0;
    }
    if (!e2e::mountScratchDir(e2e::kBusDirectory, &why)) {
        std::printf("FAIL  private %s: %s\n", e2e::kBusDirectory, why.c_str());
        return 1;
    }
    char pattern[] = "/tmp/gimbal-load.XXXXXX";
    const std::string scratch = mkdtemp(pattern);
    const std::string logPath = scratch + "/gimbalhub.err", tracePath = scratch + "/trace";
    const std::string config = scratch + "/gimbalhub.json", position = scratch + "/position.json";
    e2e::writeFile(position, R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})");
    e2e::writeFile(config, configurationText(position));

    std::unique_ptr<e2e::PrivateBus> broker;
    try {
        broker = std::make_unique<e2e::PrivateBus>(e2e::kBusSocket, scratch);
    } catch (const std::exception &error) {
        std::printf("FAIL  broker did not start: %s\n", error.what());
        return 1;
    }
    e2e::Process daemon;
    std::string error;
    // Moves of a few degrees (20-60 steps) take about 0.2 s at 150 steps/s.
    e2e::SpawnOptions daemonOptions;
    daemonOptions.argv = {e2e::gimbalhubPath(), "-c", config};
    daemonOptions.dropEnvPrefixes = {"SSP_SIM_", "LD_PRELOAD"};
    daemonOptions.setEnv["LD_PRELOAD"] = e2e::simulatorPreload();
    daemonOptions.setEnv["SSP_SIM_SPEED"] = "150";
    daemonOptions.setEnv["SSP_SIM_START"] = "2020,256";  // already at 0/0: homing is quick
    daemonOptions.setEnv["SSP_SIM_TRACE"] = tracePath;
    daemonOptions.stderrPath = logPath;
    if (!daemon.start(daemonOptions, &error)) {
        std::printf("FAIL  daemon did not start: %s\n", error.c_str());
        return 1;
    }
    LogFollower log(logPath);
    if (!e2e::waitUntil(
            [&] {
                log.poll();
                return log.serving > 0;
            },
            20)) {
        std::printf("FAIL  daemon not serving\n");
        return 1;
    }
    const long rssBefore = e2e::residentKilobytes(daemon.pid());

    // --- soak ---------------------------------------------------------------
    std::atomic<long> next{0}, errors{0};
    Latencies soakLatency;
    const double soakStart = nowMs();
    std::vector<std::thread> threads;
    for (long c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client client;
            if (!client.ok()) {
                errors += 1;
                return;
            }
            std::mt19937 random(static_cast<unsigned>(c) + 1);
            std::vector<double> local;
            while (next.fetch_add(1) < totalCalls) {
                int pan = 0, tilt = 0, status = 0;
                switch (random() % 6) {
                    case 0:
                        status = client.change("changePan", static_cast<int>(random() % 7) - 3);
                        break;
                    case 1:
                        status = client.change("changeTilt", static_cast<int>(random() % 5) - 2);
                        break;
                    case 2:
                        status = client.position(static_cast<int>(random() % 21) - 10,
                                                 static_cast<int>(random() % 11) - 5);
                        break;
                    default: {
                        double start = nowMs();
                        status = client.get(pan, tilt);
                        local.push_back(nowMs() - start);
                    }
                }
                if (status != 0) errors += 1;
            }
            soakLatency.add(local);
        });
    }
    for (auto &thread : threads) thread.join();
    const double soakSeconds = (nowMs() - soakStart) / 1000.0;
    verdict(daemon.running(), true, "daemon alive after the soak");
    if (!daemon.running()) return 1;

    // Drain: every accepted command dequeued, then settle at a known place.
    auto drained = [&] {
        log.poll();
        return log.dequeued >= log.accepted();
    };
    const bool soakDrained = e2e::waitUntil(drained, 180, 0.2);
    Client probe;
    probe.position(0, 0);
    const bool homeDrained =
        e2e::waitUntil(drained, 30, 0.1) && e2e::waitUntil(
                                                [&] {
                                                    int p, t;
                                                    return probe.get(p, t) == 0 && p == 0 && t == 0;
                                                },
                                                10);

    // --- flood --------------------------------------------------------------
    log.mark();
    std::atomic<bool> flooding{true};
    Latencies floodLatency;
    std::thread reader([&] {
        Client client;
        std::vector<double> local;
        while (flooding.load() && client.ok()) {
            int pan, tilt;
            double start = nowMs();
            client.get(pan, tilt);
            local.push_back(nowMs() - start);
        }
        floodLatency.add(local);
    });
    {
        Client flooder;
        for (long i = 0; i < floodCalls && flooder.ok(); ++i)
            if (flooder.change("changePan", i % 2 ? -2 : 3) != 0) errors += 1;
    }
    flooding = false;
    reader.join();
    const bool floodDrained = e2e::waitUntil(drained, 240, 0.2);

    // Expected pan: 0 plus the deltas the queue accepted during the flood.
    long expectedPan = 0, accepted = 0, dropped = 0;
    std::vector<long> pending;
    for (const auto &line : log.recent) {
        const std::string &m = line.message;
        static const std::string queued = "Queuing PAN change command. delta = ";
        static const std::string full = "Command queue full, dropping PAN change command. delta = ";
        if (m.compare(0, queued.size(), queued) == 0) {
            pending.push_back(std::stol(m.substr(queued.size())));
        } else if (m.compare(0, full.size(), full) == 0 && !pending.empty()) {
            pending.pop_back();
            ++dropped;
        }
    }
    for (long delta : pending) expectedPan += delta, ++accepted;
    // Wait for the last move to finish before reading back.
    e2e::waitUntil(
        [&] {
            log.poll();
            return log.last.find("BUSY -> READY") != std::string::npos;
        },
        10);
    int pan = 0, tilt = 0;
    const int getStatus = probe.get(pan, tilt);
    auto trace = e2e::parseTrace(e2e::readFile(tracePath));
    long tracePan = LONG_MIN;
    for (auto it = trace.rbegin(); it != trace.rend(); ++it)
        if (it->request == "GET" && it->result == 0) {
            tracePan = std::lround((it->x - 2019.5555555555557) / (4096 / 360.0));
            break;
        }
    const long rssAfter = e2e::residentKilobytes(daemon.pid());

    // --- a caller that never reads -------------------------------------------
    // The same legitimate client alone, then beside a flooder that sends
    // changePan as fast as the broker takes it and never reads an answer.
    Latencies alone, beside;
    long aloneLost = 0, besideLost = 0, silentSent = 0;
    legitimateCalls(legitimateCount, alone, aloneLost);
    {
        e2e::SilentFlooder flooder(e2e::kBusSocket, changePanCall(probe.object()));
        // Measured once the flood is well under way.
        e2e::waitUntil([&] { return flooder.sent() >= 2000; }, 20);
        legitimateCalls(legitimateCount, beside, besideLost);
        silentSent = flooder.sent();
    }

    // --- a stuck object beside the daemon -------------------------------------
    // One client calls an object whose owner never reads, with 60 KiB of
    // arguments, between its getPosition calls to the daemon.
    Latencies stuckBeside;
    long stuckLost = 0, stuckRefused = 0, stuckTimedOut = 0;
    {
        StuckObject stuck;
        blob_buf big{};
        blob_buf_init(&big, 0);
        blobmsg_add_string(&big, "fill", std::string(60 * 1024, 'f').c_str());
        legitimateCalls(std::min(legitimateCount, 200L), stuckBeside, stuckLost, [&](Client &c) {
            int status =
                ubus_invoke(c.context(), stuck.id(), "work", big.head, nullptr, nullptr, 100);
            stuckRefused += status == UBUS_STATUS_NO_MEMORY;
            stuckTimedOut += status == UBUS_STATUS_TIMEOUT;
        });
        blob_buf_free(&big);
    }

    // --- an event flood to listeners that never read ------------------------
    const long brokerBefore = e2e::residentKilobytes(broker->process().pid());
    long brokerPeak = brokerBefore;
    Latencies eventsBeside;
    long eventsLost = 0, eventsSent = 0;
    size_t deafCount = 0;
    {
        DeafListeners deaf(50);
        deafCount = deaf.size();
        std::vector<std::unique_ptr<e2e::SilentFlooder>> floods;
        for (int i = 0; i < 3; ++i)
            floods.push_back(std::make_unique<e2e::SilentFlooder>(e2e::kBusSocket, eventSend()));
        for (auto &flood : floods)
            e2e::waitUntil(
                [&] {
                    brokerPeak =
                        std::max(brokerPeak, e2e::residentKilobytes(broker->process().pid()));
                    return flood->sent() >= 5000;
                },
                30);
        legitimateCalls(legitimateCount, eventsBeside, eventsLost);
        for (auto &flood : floods) eventsSent += flood->sent();
        brokerPeak = std::max(brokerPeak, e2e::residentKilobytes(broker->process().pid()));
    }
    const std::string brokerErr = e2e::readFile(scratch + "/ubusd.err");

    std::printf("soak: %ld calls from %ld clients in %.1f s (%.0f calls/s), %ld failed calls\n",
                totalCalls, clients, soakSeconds, totalCalls / soakSeconds, errors.load());
    std::printf("soak getPosition: p50 %.2f ms, p99 %.2f ms (%zu samples)\n",
                soakLatency.percentile(0.5), soakLatency.percentile(0.99), soakLatency.ms.size());
    std::printf("flood: %ld changePan, %ld accepted, %ld dropped (queue full lines)\n", floodCalls,
                accepted, dropped);
    std::printf("flood getPosition: p50 %.2f ms, p99 %.2f ms (%zu samples)\n",
                floodLatency.percentile(0.5), floodLatency.percentile(0.99),
                floodLatency.ms.size());
    std::printf(
        "legitimate getPosition alone: p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu calls, %ld "
        "unanswered)\n",
        alone.percentile(0.5), alone.percentile(0.99), alone.percentile(1.0), alone.ms.size(),
        aloneLost);
    std::printf(
        "legitimate getPosition beside a non-reading flooder: p50 %.2f ms, p99 %.2f ms, max %.2f "
        "ms "
        "(%zu calls, %ld unanswered; flooder sent %ld changePan)\n",
        beside.percentile(0.5), beside.percentile(0.99), beside.percentile(1.0), beside.ms.size(),
        besideLost, silentSent);
    std::printf(
        "legitimate getPosition beside its calls to a stuck object: p50 %.2f ms, p99 %.2f ms, "
        "max %.2f ms (%zu calls, %ld unanswered; of its 60 KiB calls to the object %ld refused at "
        "once, %ld timed out)\n",
        stuckBeside.percentile(0.5), stuckBeside.percentile(0.99), stuckBeside.percentile(1.0),
        stuckBeside.ms.size(), stuckLost, stuckRefused, stuckTimedOut);
    std::printf(
        "legitimate getPosition beside an event flood to %zu listeners that never read: p50 %.2f "
        "ms, p99 %.2f ms, max %.2f ms (%zu calls, %ld unanswered; flooders sent %ld events)\n",
        deafCount, eventsBeside.percentile(0.5), eventsBeside.percentile(0.99),
        eventsBeside.percentile(1.0), eventsBeside.ms.size(), eventsLost, eventsSent);
    std::printf(
        "broker VmRSS: %ld kB before the event flood, %ld kB at most (%+ld kB); %zu "
        "reports of missed events, %zu clients disconnected\n",
        brokerBefore, brokerPeak, brokerPeak - brokerBefore,
        countOf(brokerErr, "reads events more slowly"), countOf(brokerErr, "disconnecting"));
    std::printf("final pan: expected %ld, getPosition %d, driver trace %ld\n", expectedPan, pan,
                tracePan);
    std::printf("VmRSS: %ld kB before, %ld kB after (%+ld kB)\n", rssBefore, rssAfter,
                rssAfter - rssBefore);

    verdict(errors.load() == 0, true, "every bus call answered with status 0");
    verdict(soakDrained && homeDrained && floodDrained, true, "queue drained after soak and flood");
    verdict(soakLatency.percentile(0.99) < 5.0, false, "soak getPosition p99 under 5 ms");
    verdict(floodLatency.percentile(0.99) < 5.0, false, "flood getPosition p99 under 5 ms");
    verdict(dropped > 0, false, "bounded queue dropped part of the flood");
    verdict(getStatus == 0 && pan == expectedPan && tracePan == expectedPan, true,
            "final pan matches the accepted commands");
    verdict(aloneLost == 0 && besideLost == 0, true,
            "every legitimate call answered beside a non-reading flooder");
    verdict(beside.percentile(1.0) < 2000.0, false,
            "each legitimate call beside the flooder within 2 s");
    verdict(stuckLost == 0 && eventsLost == 0, true,
            "every legitimate call answered beside a stuck object and beside an event flood");
    verdict(stuckRefused > 0, false,
            "calls to the stuck object beyond the caller's share refused at once");
    verdict(brokerPeak - brokerBefore < 16 * 1024, false,
            "broker VmRSS growth under 16 MB during the event flood");
    verdict(countOf(brokerErr, "disconnecting") == 0, false, "no client disconnected");
    verdict(rssAfter - rssBefore < 2048, false, "VmRSS flat (growth under 2 MB)");
    verdict(daemon.running(), true, "daemon alive at the end");

    daemon.signal(SIGTERM);
    const bool ended = daemon.wait(10);
    verdict(ended && daemon.exited() && daemon.exitStatus() == 0, true,
            "daemon ends with status 0 on SIGTERM");
    broker.reset();
    if (failures == 0 && !keep)
        std::filesystem::remove_all(scratch);
    else
        std::printf("kept: %s\n", scratch.c_str());
    return failures == 0 ? 0 : 1;
}
