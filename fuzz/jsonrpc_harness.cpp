// The gateway's request handling: any body gets exactly one reply, and that
// reply is valid JSON. Bus calls are answered once handle() has returned,
// alternating between the outcomes a real bus gives.
#include <deque>
#include <functional>
#include <string>

#include "harness.h"
#include "jsonrpc.h"

namespace {

class ScriptedBus : public ubusgw::Bus {
public:
    void call(const std::string &, const std::string &, const ubusgw::Json &args,
              std::function<void(ubusgw::CallOutcome)> done) override {
        FUZZ_CHECK(args.is_object() && args.contains("ubus_rpc_session"));
        pending.push_back(std::move(done));
    }
    bool list(const std::string &pattern, std::vector<ubusgw::ObjectEntry> &out) override {
        if (pattern.size() % 3 == 1) return false;
        out.push_back({pattern.empty() ? "gimbalhub" : pattern, ubusgw::Json::object()});
        return true;
    }
    // Answers until nothing is left; a batch issues its next call from here.
    void drain() {
        for (unsigned n = 0; !pending.empty(); ++n) {
            auto done = std::move(pending.front());
            pending.pop_front();
            ubusgw::CallOutcome o;
            o.kind = static_cast<ubusgw::CallOutcome::Kind>(n % 4);
            o.status = static_cast<int>(n % 11);
            o.hasData = n % 2 == 0;
            if (o.hasData) o.data["pan"] = static_cast<int>(n);
            done(std::move(o));
        }
    }
    std::deque<std::function<void(ubusgw::CallOutcome)>> pending;
};

}  // namespace

int fuzz_jsonrpc_request(const uint8_t *data, size_t size) {
    // The gateway refuses bodies beyond 64 KiB before parsing them.
    if (size > 64 * 1024) return 0;
    ScriptedBus bus;
    ubusgw::Dispatcher dispatcher(bus);
    int replies = 0;
    std::string reply;
    dispatcher.handle(reinterpret_cast<const char *>(data), size, [&](std::string r) {
        replies++;
        reply = std::move(r);
    });
    bus.drain();
    FUZZ_CHECK(replies == 1);
    FUZZ_CHECK(ubusgw::Json::accept(reply));
    return 0;
}
