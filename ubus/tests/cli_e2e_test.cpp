// The client tool and the library against a running broker and an object
// owner process: output bytes, messages and exit statuses.
#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <thread>

#include "e2e_support.h"
#include "raw_client.h"

using e2e::CommandResult;

namespace {

const char kUsageStart[] = "Usage: ";

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        owner_ =
            std::make_unique<e2e::Process>(std::vector<std::string>{e2e::owner(), "-s", broker_.socket()});
        std::string ready = owner_->waitLine("ready ");
        ASSERT_FALSE(ready.empty()) << "test object was not published";
        id_ = ready.substr(6);
    }

    CommandResult ubus(std::vector<std::string> args, bool tty = false, double timeout = 10)
    {
        args.insert(args.begin(), {e2e::ubusCliPath(), "-s", broker_.socket()});
        return e2e::runCommand(args, timeout, tty);
    }

    e2e::PrivateBus broker_;
    std::unique_ptr<e2e::Process> owner_;
    std::string id_;
};

TEST_F(Cli, ListsObjectsAndSignatures)
{
    e2e::Process second({e2e::owner(), "-s", broker_.socket(), "-n", "alpha"});
    ASSERT_FALSE(second.waitLine("ready ").empty());

    CommandResult r = ubus({"list"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "alpha\ntest\n");
    EXPECT_EQ(ubus({"list", "te*"}).out, "test\n");
    EXPECT_EQ(ubus({"-S", "-v", "list", "test"}).out, "test\n");

    r = ubus({"-v", "list", "test"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "'test' @" + id_ +
                         "\n"
                         "\t\"move\":{\"x\":\"Integer\",\"y\":\"Integer\"}\n"
                         "\t\"set\":{\"name\":\"String\",\"on\":\"Boolean\",\"list\":\"Array\","
                         "\"opts\":\"Table\",\"big\":\"(unknown)\"}\n"
                         "\t\"echo\":{}\n\t\"types\":{}\n\t\"twice\":{}\n\t\"noreply\":{}\n"
                         "\t\"fail99\":{}\n\t\"badarg\":{}\n\t\"denied\":{}\n\t\"slow\":{}\n\t\"quit\":{}\n"
                         "\t\"bulk\":{}\n");

    r = ubus({"list", "missing"});
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Command failed: Not found\n");
    r = ubus({"-S", "list", "missing"});
    EXPECT_EQ(r.exitStatus, 4);
    EXPECT_EQ(r.err, "");
}

TEST_F(Cli, PrintsReplies)
{
    const std::string arg = R"({"pan":10,"tilt":-5,"nested":{"ok":true,"arr":[1,"two"]},"d":1.5,"n":null})";
    CommandResult r = ubus({"call", "test", "echo", arg});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out,
              "{\n\t\"pan\": 10,\n\t\"tilt\": -5,\n\t\"nested\": {\n\t\t\"ok\": true,\n"
              "\t\t\"arr\": [\n\t\t\t1,\n\t\t\t\"two\"\n\t\t]\n\t},\n\t\"d\": 1.500000,\n"
              "\t\"n\": null\n}\n");
    EXPECT_EQ(r.err, "");

    r = ubus({"-S", "call", "test", "echo", arg});
    EXPECT_EQ(r.out, R"({"pan":10,"tilt":-5,"nested":{"ok":true,"arr":[1,"two"]},"d":1.500000,"n":null})"
                     "\n");

    // An empty reply is still a reply; no reply prints nothing.
    EXPECT_EQ(ubus({"call", "test", "echo"}).out, "{\n\t\n}\n");
    r = ubus({"call", "test", "noreply", "{}"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ubus({"-S", "call", "test", "twice"}).out, "{\"part\":1}\n{\"part\":2}\n");
}

TEST_F(Cli, EncodesArgumentsAndPassesTheCaller)
{
    CommandResult r = ubus({"-S", "call", "test", "types",
                            R"({"i":1,"l":5000000000,"b":true,"d":0.5,"n":null,"s":"x","t":{},"a":[]})"});
    EXPECT_EQ(r.out, R"({"i":5,"l":4,"b":7,"d":8,"n":0,"s":3,"t":2,"a":1})"
                     "\n");

    // A number too large for the INT32 policy slot arrives as INT64 and is not taken.
    const passwd *pw = getpwuid(getuid());
    std::string user = pw ? pw->pw_name : std::to_string(getuid());
    r = ubus({"-S", "call", "test", "move", R"({"x":5000000000,"y":-3})"});
    EXPECT_EQ(r.out, R"({"x":"missing","y":-3,"user":")" + user + "\"}\n");
}

TEST_F(Cli, FailuresWithCapturedStderr)
{
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"call", "nothing", "echo"}, 4, "Command failed: Not found\n"},
        {{"call", "test", "nomethod"}, 253, "Command failed: ubus call test nomethod (Method not found)\n"},
        {{"call", "test", "fail99", "{}"},
         157,
         "Command failed: ubus call test fail99 {} (Unknown error: 99)\n"},
        {{"call", "test", "denied"}, 250, "Command failed: ubus call test denied (Permission denied)\n"},
        {{"call", "test", "echo", "{bad"},
         244,
         "Command failed: ubus call test echo {bad (Parsing message data failed)\n"},
        {{"call", "test", "echo", "[1]"},
         244,
         "Command failed: ubus call test echo [1] (Parsing message data failed)\n"},
    };
    for (const Case &c : cases) {
        CommandResult r = ubus(c.args);
        EXPECT_EQ(r.exitStatus, c.status) << c.args[2];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }

    // INVALID_ARGUMENT collides with the usage sentinel: message, usage, 254.
    CommandResult r = ubus({"call", "test", "badarg", R"({"x":1})"});
    EXPECT_EQ(r.exitStatus, 254);
    const std::string msg = "Command failed: ubus call test badarg {\"x\":1} (Invalid argument)\n";
    ASSERT_EQ(r.err.compare(0, msg.size(), msg), 0) << r.err;
    EXPECT_EQ(r.err.compare(msg.size(), strlen(kUsageStart), kUsageStart), 0);
}

TEST_F(Cli, FailuresWithSimpleOutputAreSilent)
{
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{"call", "nothing", "echo"}, 4},       {{"call", "test", "nomethod"}, 3},
        {{"call", "test", "fail99"}, 99},       {{"call", "test", "badarg"}, 2},
        {{"call", "test", "echo", "{bad"}, 12},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.first;
        args.insert(args.begin(), "-S");
        CommandResult r = ubus(args);
        EXPECT_EQ(r.exitStatus, c.second) << args[2];
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Cli, FailuresOnATerminalShowOnlyTheReason)
{
    CommandResult r = ubus({"call", "test", "nomethod"}, true);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_EQ(r.err, "Command failed: Method not found\n");
    r = ubus({"call", "test", "badarg"}, true);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.err, "Command failed: Invalid argument\n");
    r = ubus({"call", "test", "fail99"}, true);
    EXPECT_EQ(r.exitStatus, 99);
    EXPECT_EQ(r.err, "Command failed: Unknown error: 99\n");
}

TEST_F(Cli, UsageAndConnectionErrors)
{
    CommandResult r = e2e::runCommand({e2e::ubusCliPath()});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err.compare(0, strlen(kUsageStart), kUsageStart), 0);
    EXPECT_NE(r.err.find("\t"), std::string::npos);

    r = ubus({"frobnicate"});
    EXPECT_EQ(r.exitStatus, 254);
    EXPECT_EQ(r.err.compare(0, strlen(kUsageStart), kUsageStart), 0);
    EXPECT_EQ(ubus({"call", "test"}).exitStatus, 254);
    EXPECT_EQ(ubus({"list", "a", "b"}).exitStatus, 254);

    r = e2e::runCommand({e2e::ubusCliPath(), "-s", broker_.dir() + "/absent.sock", "list"});
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err, "Failed to connect to ubus\n");
    r = e2e::runCommand({e2e::ubusCliPath(), "-S", "-s", broker_.dir() + "/absent.sock", "list"});
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err, "");
}

TEST_F(Cli, SlowHandlerTimesOutAndTheBrokerKeepsServing)
{
    CommandResult r = ubus({"-t", "1", "call", "test", "slow"});
    EXPECT_EQ(r.exitStatus, 249);
    EXPECT_EQ(r.err, "Command failed: ubus call test slow (Request timed out)\n");
    EXPECT_EQ(ubus({"list"}).out, "test\n");
}

TEST_F(Cli, OwnerVanishingMidRequestLeavesTheCallerToTimeOut)
{
    CommandResult r = ubus({"-t", "1", "call", "test", "quit"});
    EXPECT_EQ(r.exitStatus, 249);
    EXPECT_EQ(r.err, "Command failed: ubus call test quit (Request timed out)\n");
    EXPECT_EQ(ubus({"list"}).out, "");

    e2e::Process again({e2e::owner(), "-s", broker_.socket()});
    ASSERT_FALSE(again.waitLine("ready ").empty());
    EXPECT_EQ(ubus({"-S", "call", "test", "echo", R"({"back":true})"}).out, "{\"back\":true}\n");
}

TEST_F(Cli, ConcurrentCallersGetTheirOwnReplies)
{
    const int n = 8;
    std::vector<CommandResult> results(n);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; i++) {
        threads.emplace_back([this, i, &results] {
            results[i] = ubus({"-S", "call", "test", "echo", "{\"n\":" + std::to_string(i) + "}"});
        });
    }
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(results[i].exitStatus, 0);
        EXPECT_EQ(results[i].out, "{\"n\":" + std::to_string(i) + "}\n");
    }
}

// When the broker dies, an owner with its own connection_lost hears about it;
// with the default handler the event loop simply keeps running.
TEST(OwnerLosesBroker, OwnHandlerRunsAndEndsTheLoop)
{
    e2e::PrivateBus broker;
    e2e::Process owner({e2e::owner(), "-s", broker.socket(), "-l"});
    ASSERT_FALSE(owner.waitLine("ready ").empty());
    EXPECT_EQ(broker.stop(), 0);
    EXPECT_EQ(owner.waitLine("connection_lost"), "connection_lost");
    EXPECT_EQ(owner.waitLine("loop ended"), "loop ended");
    EXPECT_EQ(owner.stop(5, 0), 0);
}

TEST(OwnerLosesBroker, DefaultHandlerLeavesTheLoopRunning)
{
    e2e::PrivateBus broker;
    e2e::Process owner({e2e::owner(), "-s", broker.socket()});
    ASSERT_FALSE(owner.waitLine("ready ").empty());
    EXPECT_EQ(broker.stop(), 0);
    EXPECT_EQ(owner.waitLine("loop ended", 0.5), "");
    EXPECT_TRUE(owner.running());
    // SIGTERM still ends the loop through the library's own handler.
    kill(owner.pid(), SIGTERM);
    EXPECT_EQ(owner.waitLine("loop ended"), "loop ended");
}

}  // namespace
