// The tool's event commands against a running broker: what listen prints,
// and the messages and exit statuses of send, listen and the commands this
// tool leaves out.
#include <gtest/gtest.h>

#include <cstring>

#include "e2e_support.h"
#include "raw_client.h"

using e2e::CommandResult;

namespace {

class CliEvents : public ::testing::Test {
protected:
    CommandResult ubus(std::vector<std::string> args)
    {
        args.insert(args.begin(), {e2e::ubusCliPath(), "-s", broker_.socket()});
        return e2e::runCommand(args, 10);
    }
    std::vector<std::string> tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), {e2e::ubusCliPath(), "-s", broker_.socket()});
        return args;
    }

    e2e::PrivateBus broker_;
};

TEST_F(CliEvents, ListenPrintsMatchingEventsOnePerLine)
{
    e2e::Process all(tool({"listen"}));
    e2e::Process some(tool({"-t", "10", "listen", "cam.*", "exact"}));
    // Probes until both have registered; later waits skip repeated probes.
    std::string heardAll, heardSome;
    for (int i = 0; i < 50 && (heardAll.empty() || heardSome.empty()); i++) {
        ubus({"send", "exact", R"({"n":0})"});
        if (heardAll.empty())
            heardAll = all.waitLine("{ \"exact\"", 0.1);
        if (heardSome.empty())
            heardSome = some.waitLine("{ \"exact\"", 0.1);
    }
    EXPECT_EQ(heardAll, R"({ "exact": {"n":0} })");
    ASSERT_EQ(heardSome, R"({ "exact": {"n":0} })");

    EXPECT_EQ(ubus({"send", "cam.moved", R"({"pan":-5,"ok":true,"s":"a\"b","t":{"x":[1,2]}})"}).exitStatus,
              0);
    EXPECT_EQ(ubus({"send", "other"}).exitStatus, 0);
    EXPECT_EQ(some.waitLine("{ \"cam"),
              R"({ "cam.moved": {"pan":-5,"ok":true,"s":"a\"b","t":{"x":[1,2]}} })");
    EXPECT_EQ(all.waitLine("{ \"cam"), R"({ "cam.moved": {"pan":-5,"ok":true,"s":"a\"b","t":{"x":[1,2]}} })");
    EXPECT_EQ(all.waitLine("{ \"other"), R"({ "other": {} })");
    // The broker's own announcements reach a catch-all listener.
    e2e::Process owner({e2e::owner(), "-s", broker_.socket()});
    std::string id = owner.waitLine("ready ").substr(6);
    EXPECT_EQ(all.waitLine("{ \"ubus.object.add"),
              "{ \"ubus.object.add\": {\"id\":" +
                  std::to_string(static_cast<int32_t>(std::stoul(id, nullptr, 16))) +
                  ",\"path\":\"test\"} }");
    EXPECT_EQ(some.waitLine("{ \"other", 0.3), "");
    EXPECT_EQ(all.stop(), 0);
}

TEST_F(CliEvents, MessagesAndExitStatuses)
{
    CommandResult r = ubus({"send", "ubus.object.add", "{}"});
    EXPECT_EQ(r.exitStatus, 6);
    EXPECT_EQ(r.err, "Command failed: Permission denied\n");
    r = ubus({"send", "x", "{bad"});
    EXPECT_EQ(r.exitStatus, 12);
    EXPECT_EQ(r.err, "Command failed: Parsing message data failed\n");
    r = ubus({"send"});
    EXPECT_EQ(r.exitStatus, 254);
    EXPECT_EQ(r.err.compare(0, 7, "Usage: "), 0);
    EXPECT_EQ(ubus({"-S", "send", "ubus.x"}).err, "");

    r = ubus({"listen", "ok", ""});
    EXPECT_EQ(r.exitStatus, 255);
    EXPECT_EQ(r.err, "Error while registering for event '': Permission denied\n");
    r = ubus({"-t", "1", "listen"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");

    r = ubus({"-t", "0", "wait_for", "nothing"});
    EXPECT_EQ(r.exitStatus, 7);
    EXPECT_EQ(r.err, "Command failed: Request timed out\n");
    EXPECT_EQ(ubus({"wait_for"}).exitStatus, 254);

    for (const char *cmd : {"subscribe", "monitor"}) {
        r = ubus({"-m", "invoke", cmd, "x"});  // -m only filters the monitor: accepted
        EXPECT_EQ(r.exitStatus, 8);
        EXPECT_EQ(r.err, std::string("The ") + cmd +
                             " command is not supported by this build\n"
                             "Command failed: Operation not supported\n");
    }
}

}  // namespace
