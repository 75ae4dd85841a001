#include "jsonrpc.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using ubusgw::CallOutcome;
using ubusgw::Json;

namespace {

const std::string kAnon = ubusgw::kAnonymousSession;

// Answers calls only when the test says so, as the real bus does later.
class FakeBus : public ubusgw::Bus {
public:
    struct Call {
        std::string object, method;
        Json args;
        std::function<void(CallOutcome)> done;
    };
    void call(const std::string &object, const std::string &method, const Json &args,
              std::function<void(CallOutcome)> done) override
    {
        calls.push_back({object, method, args, std::move(done)});
    }
    bool list(const std::string &pattern, std::vector<ubusgw::ObjectEntry> &out) override
    {
        patterns.push_back(pattern);
        if (!listWorks)
            return false;
        for (const auto &e : objects)
            if (pattern.empty() || e.path == pattern)
                out.push_back(e);
        return true;
    }
    void answer(CallOutcome o)
    {
        Call c = std::move(calls.front());
        calls.pop_front();
        c.done(std::move(o));
    }
    std::deque<Call> calls;
    std::vector<std::string> patterns;
    std::vector<ubusgw::ObjectEntry> objects;
    bool listWorks = true;
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
    FakeBus bus;
    ubusgw::Dispatcher dispatcher{bus};
    std::string reply;
    int replies = 0;
};

TEST_F(JsonRpc, MalformedRequestsGetTheProtocolErrors)
{
    const std::string parse =
        R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})";
    EXPECT_EQ(parse, send("{\"jsonrpc\":"));
    EXPECT_EQ(parse, send(""));
    EXPECT_EQ(parse, send("42"));
    EXPECT_EQ(parse, send(std::string(100, '[') + std::string(100, ']')));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":3,"error":{"code":-32600,"message":"Invalid request"}})",
              send(R"({"id":3,"method":"call","params":[]})"));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":"x","error":{"code":-32600,"message":"Invalid request"}})",
              send(R"({"jsonrpc":"1.0","id":"x","method":"call"})"));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":{"a":[1]},"error":{"code":-32601,"message":"Method not found"}})",
              send(R"({"jsonrpc":"2.0","id":{"a":[1]},"method":"exec","params":[]})"));
    EXPECT_TRUE(bus.calls.empty());
}

TEST_F(JsonRpc, WrongParamsAndForeignSessionsNeverReachTheBus)
{
    const std::string invalid =
        R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"Invalid parameters"}})";
    EXPECT_EQ(invalid, send(callBody("1", R"([")" + kAnon + R"(","gimbalhub","getPosition"])")));
    EXPECT_EQ(invalid, send(callBody("1", R"([")" + kAnon + R"(","gimbalhub","getPosition",[]])")));
    EXPECT_EQ(invalid, send(callBody("1", R"([0,"gimbalhub","getPosition",{}])")));
    EXPECT_EQ(invalid, send(callBody("1", R"({"sid":1})")));
    EXPECT_EQ(invalid, send(callBody("1", R"([")" + kAnon + R"(","o","m",{"ubus_rpc_session":"x"}])")));
    EXPECT_EQ(invalid, send(R"({"jsonrpc":"2.0","id":1,"method":"list","params":"gimbalhub"})"));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32002,"message":"Access denied"}})",
              send(callBody("1", R"(["0123456789abcdef0123456789abcdef","o","m",{}])")));
    EXPECT_TRUE(bus.calls.empty());
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

    const std::pair<CallOutcome::Kind, std::string> errors[] = {
        {CallOutcome::NoObject, R"({"code":-32000,"message":"Object not found"})"},
        {CallOutcome::NotSent, R"({"code":-32603,"message":"Internal error"})"},
        {CallOutcome::TimedOut, R"({"code":-32003,"message":"ubus request timed out"})"},
    };
    for (const auto &e : errors) {
        send(body);
        bus.answer(failed(e.first));
        EXPECT_EQ(R"({"jsonrpc":"2.0","id":7,"error":)" + e.second + "}", reply);
    }
}

TEST_F(JsonRpc, BatchRunsCallsInOrderAndRepliesInOrder)
{
    const std::string call = R"({"jsonrpc":"2.0","id":1,"method":"call","params":[")" + kAnon +
                             R"(","gimbalhub","getPosition",{}]})";
    std::string body = "[" + call + ",5," + call + "]";
    EXPECT_EQ("", send(body));
    // the second call goes out only once the first one is answered
    ASSERT_EQ(1u, bus.calls.size());
    bus.answer(answered(0, Json::parse(R"({"pan":1})")));
    ASSERT_EQ(1u, bus.calls.size());
    EXPECT_EQ("", reply);
    bus.answer(failed(CallOutcome::TimedOut));
    EXPECT_EQ(R"([{"jsonrpc":"2.0","id":1,"result":[0,{"pan":1}]},)"
              R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}},)"
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32003,"message":"ubus request timed out"}}])",
              reply);
    EXPECT_EQ(1, replies);

    EXPECT_EQ(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid request"}})",
              send("[]"));

    // a long batch answered at once must not recurse once per element
    std::string many = "[1";
    for (int i = 0; i < 20000; i++)
        many += ",1";
    many += "]";
    send(many);
    EXPECT_EQ(1, replies);
    EXPECT_EQ(20001u, Json::parse(reply).size());
}

TEST_F(JsonRpc, ListGivesPathsOrSignatures)
{
    ubusgw::ObjectEntry a{"gimbalhub", Json::parse(R"({"changePan":{"step":"Integer"},"getPosition":{}})")};
    bus.objects = {a, {"gimbalhub.control", Json::parse(R"({"stop":{}})")}};
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":2,"result":["gimbalhub","gimbalhub.control"]})",
              send(R"({"jsonrpc":"2.0","id":2,"method":"list"})"));
    EXPECT_EQ(
        R"({"jsonrpc":"2.0","id":2,"result":{"gimbalhub":{"changePan":{"step":"Integer"},"getPosition":{}}}})",
        send(R"({"jsonrpc":"2.0","id":2,"method":"list","params":["gimbalhub","nothing"]})"));
    bus.listWorks = false;
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":2,"error":{"code":-32603,"message":"Internal error"}})",
              send(R"({"jsonrpc":"2.0","id":2,"method":"list"})"));
}

}  // namespace
