// The gateway's request handling: any body gets exactly one reply, and that
// reply is valid JSON. Bus calls are answered once handle() has returned,
// alternating between the outcomes a real bus gives; half the inputs meet
// access rules and logins as on a device.
#include <deque>
#include <functional>
#include <string>

#include "harness.h"
#include "jsonrpc.h"
#include "sessions.h"

namespace {

class ScriptedBus : public ubusgw::Bus {
public:
    void call(const std::string &, const std::string &, const ubusgw::Json &args, int timeoutMs,
              std::function<void(ubusgw::CallOutcome)> done) override {
        FUZZ_CHECK(args.is_object() && args.contains("ubus_rpc_session"));
        FUZZ_CHECK(ubusgw::nestingDepth(args) <= ubusgw::kMaxArgsDepth && timeoutMs > 0);
        pending.push_back(std::move(done));
    }
    void list(const std::string &pattern, int,
              std::function<void(ubusgw::ListOutcome)> done) override {
        ubusgw::ListOutcome o;
        if (pattern.size() % 3 == 1)
            o.kind = ubusgw::ListOutcome::NotSent;
        else
            o.objects.push_back({pattern.empty() ? "gimbalhub" : pattern, ubusgw::Json::object()});
        lists.push_back([done, o] { done(o); });
    }
    // Answers until nothing is left; a batch issues its next call from here.
    void drain() {
        for (unsigned n = 0; !pending.empty() || !lists.empty(); ++n) {
            if (!lists.empty()) {
                auto next = std::move(lists.front());
                lists.pop_front();
                next();
                continue;
            }
            auto done = std::move(pending.front());
            pending.pop_front();
            ubusgw::CallOutcome o;
            o.kind = static_cast<ubusgw::CallOutcome::Kind>(n % 5);
            o.status = static_cast<int>(n % 11);
            o.hasData = n % 2 == 0;
            if (o.hasData) {
                o.data["pan"] = static_cast<int>(n);
                o.data["limit"] = n * 0.5;
            }
            done(std::move(o));
        }
    }
    std::deque<std::function<void(ubusgw::CallOutcome)>> pending;
    std::deque<std::function<void()>> lists;
};

}  // namespace

int fuzz_jsonrpc_request(const uint8_t *data, size_t size) {
    // The gateway refuses bodies beyond 64 KiB before parsing them.
    if (size > 64 * 1024) return 0;
    ScriptedBus bus;
    // Every other input goes through the access rules of a device.
    static ubusgw::Sessions *sessions = [] {
        auto *s = new ubusgw::Sessions;
        std::string error;
        s->addAcl(ubusgw::Json::parse(
                      R"({"unauthenticated":{"read":{"ubus":{"gimbalhub":["getPosition"]}}},)"
                      R"("op":{"read":{"ubus":{"*":["*"]}}}})"),
                  error);
        s->addUsers(ubusgw::Json::parse(R"({"root":{"password":"pw","write":["*"]}})"), error);
        return s;
    }();
    ubusgw::Dispatcher dispatcher(bus, {}, size % 2 ? sessions : nullptr);
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
