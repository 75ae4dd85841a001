#include "jsonrpc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using ubusgw::CallOutcome;
using ubusgw::Json;
using ubusgw::ListOutcome;

namespace {

const std::string kAnon = ubusgw::kAnonymousSession;

// Answers only when the test says so, as the real bus does later.
class FakeBus : public ubusgw::Bus {
public:
    struct Call {
        std::string object, method;
        Json args;
        int timeoutMs;
        std::function<void(CallOutcome)> done;
    };
    struct List {
        std::string pattern;
        std::function<void(ListOutcome)> done;
    };
    void call(const std::string &object, const std::string &method, const Json &args, int timeoutMs,
              std::function<void(CallOutcome)> done) override
    {
        calls.push_back({object, method, args, timeoutMs, std::move(done)});
    }
    void list(const std::string &pattern, int, std::function<void(ListOutcome)> done) override
    {
        lists.push_back({pattern, std::move(done)});
    }
    void answer(CallOutcome o)
    {
        Call c = std::move(calls.front());
        calls.pop_front();
        c.done(std::move(o));
    }
    // Answers every listing from the objects, until none is left.
    void answerLists(ListOutcome::Kind kind = ListOutcome::Answered)
    {
        while (!lists.empty()) {
            List l = std::move(lists.front());
            lists.pop_front();
            patterns.push_back(l.pattern);
            ListOutcome o;
            o.kind = kind;
            for (const auto &e : objects)
                if (l.pattern.empty() || e.path == l.pattern)
                    o.objects.push_back(e);
            l.done(o);
        }
    }
    std::deque<Call> calls;
    std::deque<List> lists;
    std::vector<std::string> patterns;
    std::vector<ubusgw::ObjectEntry> objects;
};

class JsonRpc : public ::testing::Test {
protected:
    // Returns the reply, or "" while it is still pending.
    std::string send(const std::string &body)
    {
        reply.clear();
        replies = 0;
        dispatcher.handle(body.data(), body.size(), [this](std::string r) {
            reply = std::move(r);
            replies++;
        });
        return reply;
    }
    static std::string callBody(const std::string &id, const std::string &params)
    {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"call","params":)" + params + "}";
    }
    static std::string error(const std::string &id, int code)
    {
        return R"({"jsonrpc":"2.0","id":)" + id + R"(,"error":{"code":)" + std::to_string(code) +
               R"(,"message":")" + ubusgw::errorMessage(code) + R"("}})";
    }
    static CallOutcome answered(int status, Json data = nullptr)
    {
        CallOutcome o;
        o.status = status;
        o.hasData = !data.is_null();
        if (o.hasData)
            o.data = std::move(data);
        return o;
    }
    static CallOutcome failed(CallOutcome::Kind kind)
    {
        CallOutcome o;
        o.kind = kind;
        return o;
    }
    static std::string nested(int levels)
    {
        return std::string(static_cast<size_t>(levels), '[') + std::string(static_cast<size_t>(levels), ']');
    }
    FakeBus bus;
    ubusgw::DispatchLimits limits;
    ubusgw::Dispatcher dispatcher{bus, limits};
    std::string reply;
    int replies = 0;
};

TEST_F(JsonRpc, MalformedRequestsGetTheDevicesErrors)
{
    const std::string parse = error("null", -32700);
    EXPECT_EQ(parse, send("{\"jsonrpc\":"));
    EXPECT_EQ(parse, send(""));
    EXPECT_EQ(parse, send("42"));
    EXPECT_EQ(parse, send("xyz {\"jsonrpc\":\"2.0\"}"));
    EXPECT_EQ(parse, send(std::string(100, '[') + std::string(100, ']')));
    // the device's server reads "jsonrpc" before anything else
    EXPECT_EQ(error("3", -32700), send(R"({"id":3,"method":"call","params":[]})"));
    EXPECT_EQ(error("\"x\"", -32700), send(R"({"jsonrpc":"1.0","id":"x","method":"call"})"));
    EXPECT_EQ(error("3", -32600), send(R"({"jsonrpc":"2.0","id":3,"params":[]})"));
    EXPECT_EQ(error(R"({"a":[1]})", -32601),
              send(R"({"jsonrpc":"2.0","id":{"a":[1]},"method":"exec","params":[]})"));
    EXPECT_TRUE(bus.calls.empty());

    // the first value is the request; what follows it is not read
    EXPECT_EQ("", send(callBody("4", R"([")" + kAnon + R"(","o","m",{}])") + " xyz"));
    ASSERT_EQ(1u, bus.calls.size());
    bus.answer(answered(0));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":4,"result":[0]})", reply);
}

TEST_F(JsonRpc, CallParamsTheDeviceCannotReadAreParseErrors)
{
    const std::string parse = error("1", -32700);
    EXPECT_EQ(parse, send(callBody("1", R"([")" + kAnon + R"(","gimbalhub","getPosition"])")));
    EXPECT_EQ(parse, send(callBody("1", R"([")" + kAnon + R"(","gimbalhub","getPosition",[]])")));
    EXPECT_EQ(parse, send(callBody("1", R"([0,"gimbalhub","getPosition",{}])")));
    EXPECT_EQ(parse, send(callBody("1", R"({"sid":1})")));
    EXPECT_EQ(parse, send(R"({"jsonrpc":"2.0","id":1,"method":"call"})"));

    const std::string invalid = error("1", -32602);
    EXPECT_EQ(invalid, send(callBody("1", R"([")" + kAnon + R"(","o","m",{"ubus_rpc_session":"x"}])")));
    EXPECT_EQ(error("1", -32002), send(callBody("1", R"(["0123456789abcdef0123456789abcdef","o","m",{}])")));
    EXPECT_TRUE(bus.calls.empty());

    // One limit for nested arguments, as deep as the bus conversion goes;
    // deeper is invalid, never an internal error.
    auto withArgs = [](int levels) {
        return callBody("1", R"([")" + kAnon + R"(","o","m",{"a":)" + nested(levels - 1) + "}]");
    };
    EXPECT_EQ("", send(withArgs(ubusgw::kMaxArgsDepth)));
    ASSERT_EQ(1u, bus.calls.size());
    EXPECT_EQ(ubusgw::kMaxArgsDepth, ubusgw::nestingDepth(bus.calls[0].args));
    for (int levels : {ubusgw::kMaxArgsDepth + 1, 40, ubusgw::kMaxBodyDepth - 3})
        EXPECT_EQ(invalid, send(withArgs(levels))) << levels;
    EXPECT_EQ(1u, bus.calls.size());
}

TEST_F(JsonRpc, CallOutcomesMapToResultArraysAndErrors)
{
    const std::string body = callBody("7", R"([")" + kAnon + R"(","gimbalhub","changePan",{"step":10}])");
    EXPECT_EQ("", send(body));
    ASSERT_EQ(1u, bus.calls.size());
    EXPECT_EQ("gimbalhub", bus.calls[0].object);
    EXPECT_EQ("changePan", bus.calls[0].method);
    // the session goes to the object as the device's server passes it
    EXPECT_EQ(R"({"step":10,"ubus_rpc_session":")" + kAnon + R"("})", bus.calls[0].args.dump());
    bus.answer(answered(0));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":7,"result":[0]})", reply);
    EXPECT_EQ(1, replies);

    send(body);
    bus.answer(answered(0, Json::parse(R"({"pan":10,"tilt":-3})")));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":7,"result":[0,{"pan":10,"tilt":-3}]})", reply);

    send(body);
    bus.answer(answered(3));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":7,"result":[3]})", reply);

    const std::pair<CallOutcome::Kind, int> errors[] = {
        {CallOutcome::NoObject, -32000},
        {CallOutcome::NotSent, -32603},
        {CallOutcome::TimedOut, -32003},
        {CallOutcome::TooLarge, -32603},
    };
    for (const auto &e : errors) {
        send(body);
        bus.answer(failed(e.first));
        EXPECT_EQ(error("7", e.second), reply);
    }
}

TEST_F(JsonRpc, DoublesArePrintedWithSixDecimalsAsOnTheDevice)
{
    send(callBody("1.5", R"([")" + kAnon + R"(","gimbalhub.control","status",{}])"));
    bus.answer(answered(0, Json::parse(R"({"pan":-3,"limits":{"pan":[-177.5,177.5]},"v":1e-7,"big":1e20})")));
    EXPECT_EQ(
        R"({"jsonrpc":"2.0","id":1.500000,"result":[0,{"pan":-3,"limits":{"pan":[-177.500000,177.500000]},)"
        R"("v":0.000000,"big":100000000000000000000.000000}]})",
        reply);
    // no JSON reader takes inf or nan
    Json odd = Json::object();
    odd["inf"] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(R"({"inf":null})", ubusgw::dump(odd));
}

TEST_F(JsonRpc, BatchesRunInOrderWithinOneDeadline)
{
    const std::string call = callBody("1", R"([")" + kAnon + R"(","gimbalhub","getPosition",{}])");
    std::string body = "[" + call + ",5," + call + "]";
    EXPECT_EQ("", send(body));
    // the second call goes out only once the first one is answered
    ASSERT_EQ(1u, bus.calls.size());
    bus.answer(answered(0, Json::parse(R"({"pan":1})")));
    ASSERT_EQ(1u, bus.calls.size());
    EXPECT_EQ("", reply);
    bus.answer(failed(CallOutcome::TimedOut));
    EXPECT_EQ(R"([{"jsonrpc":"2.0","id":1,"result":[0,{"pan":1}]},)" + error("null", -32700) + "," +
                  error("1", -32003) + "]",
              reply);
    EXPECT_EQ(1, replies);

    EXPECT_EQ("[]", send("[]"));

    // entries beyond the cap: the whole batch is refused unread
    std::string many = "[" + call;
    for (size_t i = 1; i <= limits.maxBatch; i++)
        many += "," + call;
    EXPECT_EQ(error("null", -32600), send(many + "]"));
    EXPECT_TRUE(bus.calls.empty());

    // The deadline is the request's: calls after it are not made at all.
    ubusgw::DispatchLimits quick;
    quick.timeoutMs = 20;
    ubusgw::Dispatcher hurried(bus, quick);
    hurried.handle(body.data(), body.size(), [this](std::string r) { reply = std::move(r); });
    ASSERT_EQ(1u, bus.calls.size());
    EXPECT_LE(bus.calls[0].timeoutMs, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    bus.answer(failed(CallOutcome::TimedOut));
    EXPECT_TRUE(bus.calls.empty());
    EXPECT_EQ("[" + error("1", -32003) + "," + error("null", -32700) + "," + error("1", -32003) + "]", reply);
}

TEST_F(JsonRpc, RepliesBeyondTheirSizeBecomeInternalErrors)
{
    ubusgw::DispatchLimits small;
    small.maxReplyBytes = 200;
    ubusgw::Dispatcher bounded(bus, small);
    const std::string call = callBody("1", R"([")" + kAnon + R"(","o","m",{}])");
    std::string body = "[" + call + "," + call + "]";
    bounded.handle(body.data(), body.size(), [this](std::string r) { reply = std::move(r); });
    bus.answer(answered(0, Json::parse(R"({"s":")" + std::string(100, 'x') + R"("})")));
    bus.answer(answered(0, Json::parse(R"({"s":")" + std::string(100, 'y') + R"("})")));
    EXPECT_NE(std::string::npos, reply.find(std::string(100, 'x')));
    EXPECT_EQ(std::string::npos, reply.find(std::string(100, 'y')));
    EXPECT_NE(std::string::npos, reply.find(error("1", -32603)));
}

TEST_F(JsonRpc, ListAnswersAsTheDeviceDoes)
{
    ubusgw::ObjectEntry a{"gimbalhub", Json::parse(R"({"changePan":{"step":"number"},"getPosition":{}})")};
    bus.objects = {a, {"gimbalhub.control", Json::parse(R"({"stop":{}})")}};
    const std::string paths = R"({"jsonrpc":"2.0","id":2,"result":["gimbalhub","gimbalhub.control"]})";
    send(R"({"jsonrpc":"2.0","id":2,"method":"list"})");
    bus.answerLists();
    EXPECT_EQ(paths, reply);
    // patterns come only as an array; anything else lists every path
    send(R"({"jsonrpc":"2.0","id":2,"method":"list","params":"gimbalhub"})");
    bus.answerLists();
    EXPECT_EQ(paths, reply);
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":2,"result":{}})",
              send(R"({"jsonrpc":"2.0","id":2,"method":"list","params":[]})"));

    bus.patterns.clear();
    send(R"({"jsonrpc":"2.0","id":2,"method":"list","params":["gimbalhub","nothing","gimbalhub"]})");
    bus.answerLists();
    EXPECT_EQ(
        R"({"jsonrpc":"2.0","id":2,"result":{"gimbalhub":{"changePan":{"step":"number"},"getPosition":{}}}})",
        reply);
    EXPECT_EQ((std::vector<std::string>{"gimbalhub", "nothing"}), bus.patterns);

    EXPECT_EQ(error("2", -32602), send(R"({"jsonrpc":"2.0","id":2,"method":"list","params":["a",1]})"));
    // every pattern is a lookup on the broker: a request gets few
    std::string star = R"({"jsonrpc":"2.0","id":2,"method":"list","params":[)";
    for (size_t i = 0; i <= limits.maxPatterns; i++)
        star += (i ? ",\"" : "\"") + std::to_string(i) + "*\"";
    EXPECT_EQ(error("2", -32602), send(star + "]}"));
    EXPECT_TRUE(bus.lists.empty());

    send(R"({"jsonrpc":"2.0","id":2,"method":"list"})");
    bus.answerLists(ListOutcome::NotSent);
    EXPECT_EQ(error("2", -32603), reply);
    send(R"({"jsonrpc":"2.0","id":2,"method":"list","params":["a"]})");
    bus.answerLists(ListOutcome::TimedOut);
    EXPECT_EQ(error("2", -32003), reply);
}

}  // namespace
