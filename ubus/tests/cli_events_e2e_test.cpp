// The tool's event commands against a running broker: what listen prints,
// and the messages and exit statuses of send, listen and the commands this
// tool leaves out.
#include <gtest/gtest.h>

#include <libubus.h>

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

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

    // Found by the lookup (over and over: the lookup's answer may come in
    // pieces), or announced later.
    e2e::Process owner({e2e::owner(), "-s", broker_.socket()});
    owner.waitLine("ready ");
    for (int i = 0; i < 30; i++)
        ASSERT_EQ(ubus({"-t", "5", "wait_for", "test"}).exitStatus, 0) << i;
    e2e::Process waiter(tool({"-t", "10", "wait_for", "test", "later"}));
    e2e::Process later({e2e::owner(), "-s", broker_.socket(), "-n", "later"});
    ASSERT_TRUE(waiter.wait(10));
    EXPECT_EQ(waiter.exitStatus(), 0);

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

// Two senders that wait for every answer flood a listener whose output has
// stalled: the listener stays connected and hears the rest once it reads,
// the senders are told which events it missed, and the broker says so.
TEST(CliEventFlood, AListenerWhoseOutputStallsIsNotCutOffByOthersFloods)
{
    std::string dir = (std::filesystem::temp_directory_path() / "ubus-flood-XXXXXX").string();
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    int told = 0;
    {
        e2e::PrivateBus bus("", dir);
        const std::vector<std::string> cli = {e2e::ubusCliPath(), "-s", bus.socket()};
        std::vector<std::string> listen = cli;
        listen.insert(listen.end(), {"listen", "flood", "done"});
        e2e::Process listener(listen);
        std::vector<std::string> send = cli;
        send.insert(send.end(), {"send", "done", R"({"n":0})"});
        std::string heard;
        for (int i = 0; i < 50 && heard.empty(); i++) {
            e2e::runCommand(send, 10);
            heard = listener.waitLine("{ \"done\"", 0.1);
        }
        ASSERT_FALSE(heard.empty());

        // Nobody reads the listener's output meanwhile: it soon stops reading
        // the bus. 24 MB of events, more than the broker would ever hold for it.
        uloop_init();
        std::atomic<int> refused{0}, failed{0};
        auto sender = [&] {
            ubus_context *ctx = ubus_connect(bus.socket().c_str());
            if (!ctx) {
                failed++;
                return;
            }
            blob_buf b = {};
            blob_buf_init(&b, 0);
            blobmsg_add_string(&b, "fill", std::string(4000, 'f').c_str());
            for (int i = 0; i < 3000; i++) {
                int status = ubus_send_event(ctx, "flood", b.head);
                refused += status == UBUS_STATUS_NO_MEMORY;
                failed += status != 0 && status != UBUS_STATUS_NO_MEMORY;
            }
            blob_buf_free(&b);
            ubus_free(ctx);
        };
        std::thread first(sender), second(sender);
        first.join();
        second.join();
        told = refused;
        EXPECT_EQ(failed, 0);

        send.back() = R"({"n":1})";
        EXPECT_EQ(e2e::runCommand(send, 10).exitStatus, 0);
        EXPECT_EQ(listener.waitLine("{ \"done\"", 20), R"({ "done": {"n":1} })");
        EXPECT_TRUE(listener.running());
    }
    EXPECT_GT(told, 5000);
    std::string err = e2e::readFile(dir + "/ubusd.err");
    EXPECT_NE(err.find("reads events more slowly than they are sent"), std::string::npos) << err;
    EXPECT_EQ(err.find("disconnecting"), std::string::npos) << err;
    std::filesystem::remove_all(dir);
}

}  // namespace
