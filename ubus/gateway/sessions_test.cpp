#include "sessions.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

using ubusgw::Json;
using ubusgw::Sessions;

namespace {

const std::string kAnon = ubusgw::kAnonymousSession;

class GatewaySessions : public ::testing::Test {
protected:
    void SetUp() override
    {
        sessions.now = [this] { return clock; };
        std::string error;
        ASSERT_TRUE(sessions.addAcl(Json::parse(R"({
            "a": {"read": {"ubus": {"o": ["r"]}}, "write": {"ubus": {"o": ["w"]}}},
            "b": {"read": {"ubus": {"o": ["r2"], "p*": ["*"]}}}
        })"),
                                    error))
            << error;
        ASSERT_TRUE(sessions.addUsers(Json::parse(R"({
            "writer": {"password": "pw", "write": ["a"]},
            "reader": {"password": "pw", "read": ["a", "b"]},
            "all": {"password": "pw", "read": ["*"], "write": ["*"]}
        })"),
                                      error))
            << error;
    }
    std::string login(const std::string &user, const std::string &password = "pw")
    {
        Json data;
        if (sessions.login({{"username", user}, {"password", password}}, data) != 0)
            return "";
        return data["ubus_rpc_session"].get<std::string>();
    }
    Sessions sessions;
    Sessions::Clock::time_point clock{};
};

TEST_F(GatewaySessions, LoginAnswersAsTheSessionDaemonDoes)
{
    Json data;
    EXPECT_EQ(6, sessions.login({{"username", "writer"}, {"password", "wrong"}}, data));
    EXPECT_EQ(6, sessions.login({{"username", "nobody"}, {"password", "pw"}}, data));
    EXPECT_EQ(2, sessions.login({{"username", "writer"}}, data));
    EXPECT_EQ(2, sessions.login({{"username", 1}, {"password", "pw"}}, data));

    ASSERT_EQ(0, sessions.login({{"username", "writer"}, {"password", "pw"}, {"timeout", 60}}, data));
    std::string sid = data["ubus_rpc_session"];
    EXPECT_EQ(32u, sid.size());
    EXPECT_EQ(std::string::npos, sid.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(60, data["timeout"]);
    EXPECT_EQ(60, data["expires"]);
    EXPECT_EQ(R"({"access-group":{"a":["read","write"]},"ubus":{"o":["r","w"]}})", data["acls"].dump());
    EXPECT_EQ("writer", data["data"]["username"]);
    EXPECT_NE(sid, login("writer"));
}

// Write access to a group brings that group's read section, never another's.
TEST_F(GatewaySessions, GrantsFollowTheGroupsOfTheLogin)
{
    std::string writer = login("writer"), reader = login("reader"), all = login("all");
    EXPECT_TRUE(sessions.allowed(writer, "o", "r"));
    EXPECT_TRUE(sessions.allowed(writer, "o", "w"));
    EXPECT_FALSE(sessions.allowed(writer, "o", "r2"));
    EXPECT_TRUE(sessions.allowed(reader, "o", "r2"));
    EXPECT_FALSE(sessions.allowed(reader, "o", "w"));
    EXPECT_TRUE(sessions.allowed(reader, "pan", "anything"));
    EXPECT_FALSE(sessions.allowed(reader, "q", "anything"));
    EXPECT_TRUE(sessions.allowed(all, "o", "w"));
    EXPECT_FALSE(sessions.allowed("0123456789abcdef0123456789abcdef", "o", "r"));
    // without an "unauthenticated" group the anonymous session may call nothing
    EXPECT_FALSE(sessions.allowed(kAnon, "o", "r"));
    std::string error;
    ASSERT_TRUE(
        sessions.addAcl(Json::parse(R"({"unauthenticated": {"read": {"ubus": {"o": ["r"]}}}})"), error));
    EXPECT_TRUE(sessions.allowed(kAnon, "o", "r"));
    EXPECT_FALSE(sessions.allowed(kAnon, "o", "w"));
}

TEST_F(GatewaySessions, SessionsExpireUnusedAndAreBounded)
{
    Json data;
    ASSERT_EQ(0, sessions.login({{"username", "writer"}, {"password", "pw"}, {"timeout", 10}}, data));
    std::string sid = data["ubus_rpc_session"];
    clock += std::chrono::seconds(9);
    EXPECT_TRUE(sessions.allowed(sid, "o", "r"));  // and kept alive
    clock += std::chrono::seconds(9);
    EXPECT_TRUE(sessions.allowed(sid, "o", "r"));
    clock += std::chrono::seconds(10);
    EXPECT_FALSE(sessions.allowed(sid, "o", "r"));

    sessions.maxSessions = 2;
    std::string first = login("writer");
    clock += std::chrono::seconds(1);
    std::string second = login("writer");
    clock += std::chrono::seconds(1);
    std::string third = login("writer");
    EXPECT_FALSE(sessions.allowed(first, "o", "r"));
    EXPECT_TRUE(sessions.allowed(second, "o", "r"));
    EXPECT_TRUE(sessions.allowed(third, "o", "r"));
}

TEST_F(GatewaySessions, ThePackagedRolesWorkAlone)
{
    Sessions device;
    std::string error;
    ASSERT_TRUE(device.loadAcl(GIMBALHUB_ACL_FILE, error)) << error;
    ASSERT_TRUE(device.addUsers(Json::parse(R"({
        "operator": {"password": "pw", "write": ["gimbalhub-write"]},
        "viewer": {"password": "pw", "read": ["gimbalhub-read"]}
    })"),
                                error));
    Json data;
    ASSERT_EQ(0, device.login({{"username", "operator"}, {"password", "pw"}}, data));
    std::string op = data["ubus_rpc_session"];
    for (const char *m : {"getPosition", "changePan", "changeTilt", "changePosition"})
        EXPECT_TRUE(device.allowed(op, "gimbalhub", m)) << m;
    for (const char *m : {"status", "stop", "setHome", "gotoHome"})
        EXPECT_TRUE(device.allowed(op, "gimbalhub.control", m)) << m;
    ASSERT_EQ(0, device.login({{"username", "viewer"}, {"password", "pw"}}, data));
    std::string viewer = data["ubus_rpc_session"];
    EXPECT_TRUE(device.allowed(viewer, "gimbalhub", "getPosition"));
    EXPECT_TRUE(device.allowed(viewer, "gimbalhub.control", "status"));
    EXPECT_FALSE(device.allowed(viewer, "gimbalhub", "changePan"));
    EXPECT_FALSE(device.allowed(viewer, "gimbalhub.control", "stop"));
    EXPECT_FALSE(device.allowed(kAnon, "gimbalhub", "getPosition"));
}

// Through the protocol: login is answered here, refusals are -32002.
TEST_F(GatewaySessions, TheDispatcherLogsInAndRefuses)
{
    struct Bus : ubusgw::Bus {
        void call(const std::string &object, const std::string &, const Json &, int,
                  std::function<void(ubusgw::CallOutcome)> done) override
        {
            objects.push_back(object);
            done(ubusgw::CallOutcome());
        }
        void list(const std::string &, int, std::function<void(ubusgw::ListOutcome)>) override {}
        std::vector<std::string> objects;
    } bus;
    ubusgw::Dispatcher dispatcher(bus, {}, &sessions);
    auto send = [&](const std::string &sid, const std::string &object, const std::string &method,
                    const std::string &args = "{}") {
        std::string body = R"({"jsonrpc":"2.0","id":1,"method":"call","params":[")" + sid + R"(",")" +
                           object + R"(",")" + method + R"(",)" + args + "]}";
        std::string reply;
        dispatcher.handle(body.data(), body.size(), [&](std::string r) { reply = std::move(r); });
        return reply;
    };
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"result":[6]})",
              send(kAnon, "session", "login", R"({"username":"writer","password":"no"})"));
    Json ok = Json::parse(send(kAnon, "session", "login", R"({"username":"writer","password":"pw"})"));
    std::string sid = ok["result"][1]["ubus_rpc_session"];
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32002,"message":"Access denied"}})",
              send(kAnon, "o", "r"));
    EXPECT_EQ(R"({"jsonrpc":"2.0","id":1,"result":[0]})", send(sid, "o", "w"));
    EXPECT_EQ(std::vector<std::string>{"o"}, bus.objects);
}

}  // namespace
