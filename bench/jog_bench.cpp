// Jog figures of a running gimbalhub on the simulated driver (started by
// scripts/bench.sh at a stated simulator speed): how long the head takes to
// settle after a stop during a jog, and how many short moves a jog makes per
// second. Prints figures; exits 0 once they were measured.
#include <libubus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

struct HeadState {
    bool moving = true;
    int pan = 0;
};

void readStatus(struct ubus_request *req, int, struct blob_attr *msg) {
    auto *state = static_cast<HeadState *>(req->priv);
    struct blob_attr *cur;
    size_t rem;
    blobmsg_for_each_attr(cur, msg, rem) {
        const std::string name = blobmsg_name(cur);
        if (name == "moving") state->moving = blobmsg_get_bool(cur);
        if (name == "pan") state->pan = static_cast<int32_t>(blobmsg_get_u32(cur));
    }
}

class Control {
public:
    // False until the daemon has registered its object.
    bool connect() {
        if (context_ == nullptr) context_ = ubus_connect(nullptr);
        return context_ != nullptr && ubus_lookup_id(context_, "gimbalhub.control", &id_) == 0;
    }
    ~Control() {
        if (context_ != nullptr) ubus_free(context_);
    }

    bool jog(double pan, int timeoutMs) {
        struct blob_buf message = {};
        blob_buf_init(&message, 0);
        blobmsg_add_double(&message, "pan", pan);
        blobmsg_add_u32(&message, "timeout", static_cast<uint32_t>(timeoutMs));
        const bool sent = invoke("jog", message.head, nullptr, nullptr);
        blob_buf_free(&message);
        return sent;
    }
    bool stop() { return invoke("stop", nullptr, nullptr, nullptr); }
    bool status(HeadState &state) { return invoke("status", nullptr, readStatus, &state); }

private:
    bool invoke(const char *method, struct blob_attr *message, ubus_data_handler_t handler,
                void *priv) {
        struct blob_buf empty = {};
        blob_buf_init(&empty, 0);
        const int status =
            ubus_invoke(context_, id_, method, message ? message : empty.head, handler, priv, 5000);
        blob_buf_free(&empty);
        return status == 0;
    }

    struct ubus_context *context_ = nullptr;
    uint32_t id_ = 0;
};

double percentile(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    const size_t index =
        static_cast<size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
    return samples[std::min(index, samples.size() - 1)];
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s DRIVER_TRACE SIMULATOR_STEPS_PER_SECOND\n", argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string tracePath = argv[1];
    Control control;
    HeadState state;
    if (!e2e::waitUntil([&] { return control.connect(); }, 20, 0.1) ||
        !e2e::waitUntil([&] { return control.status(state) && !state.moving; }, 30)) {
        fprintf(stderr, "gimbalhub.control is not there, or the head does not come to rest\n");
        return 1;
    }
    auto broken = [] {
        fprintf(stderr, "the benchmark could not go on: requests failing\n");
        return 1;
    };

    printf("== jog at full speed (simulator %s steps/s) ==\n", argv[2]);
    e2e::TraceFollower follower(tracePath);
    follower.poll();
    const int direction = state.pan > 0 ? -1 : 1;
    const int startPan = state.pan;
    const double start = e2e::monotonicNow();
    while (e2e::monotonicNow() - start < 3.0) {
        if (!control.jog(direction, 1000)) return broken();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    size_t moves = 0;
    for (const auto &entry : follower.poll())
        if (entry.request == "MOVE") ++moves;
    if (!control.stop() || !control.status(state)) return broken();
    printf("%-34s %.1f moves/s  %.1f degrees/s\n", "jog, 3 s", static_cast<double>(moves) / 3.0,
           std::abs(state.pan - startPan) / 3.0);

    printf("== stop during a jog -> head settled (40 stops) ==\n");
    std::mt19937 random(4242);
    std::uniform_int_distribution<int> wait(300, 800);
    std::vector<double> settle;
    std::vector<double> beyond;
    for (int i = 0; i < 40; ++i) {
        if (!e2e::waitUntil([&] { return control.status(state) && !state.moving; }, 10))
            return broken();
        const int way = state.pan > 0 ? -1 : 1;
        if (!control.jog(way, 5000)) return broken();
        std::this_thread::sleep_for(std::chrono::milliseconds(wait(random)));
        if (!control.status(state)) return broken();
        const int atStop = state.pan;
        const double stopped = e2e::monotonicNow();
        if (!control.stop()) return broken();
        if (!e2e::waitUntil([&] { return control.status(state) && !state.moving; }, 5, 0.001))
            return broken();
        settle.push_back((e2e::monotonicNow() - stopped) * 1000.0);
        beyond.push_back(std::abs(state.pan - atStop));
    }
    printf("%-34s p50 %6.1f ms  p99 %6.1f ms  max %6.1f ms\n", "stop -> settled",
           percentile(settle, 0.5), percentile(settle, 0.99), percentile(settle, 1.0));
    printf("%-34s p50 %4.0f deg  max %4.0f deg\n", "travel after the last read-back",
           percentile(beyond, 0.5), percentile(beyond, 1.0));
    return 0;
}
