// The broker's event object (id 1) driven in-process: pattern matching,
// the checks of "register" and "send", and who receives what.
#include "broker_test_fixture.h"

namespace {

class EventBroker : public BrokerFixture {};

TEST(EventPattern, ExactOrPrefixBeforeATrailingStar)
{
    using ubusd::eventPatternMatches;
    EXPECT_TRUE(eventPatternMatches("*", "anything.at.all"));
    EXPECT_TRUE(eventPatternMatches("*", ""));
    EXPECT_TRUE(eventPatternMatches("gimbalhub.*", "gimbalhub.position"));
    EXPECT_TRUE(eventPatternMatches("gimbalhub*", "gimbalhub"));
    EXPECT_FALSE(eventPatternMatches("gimbalhub.*", "gimbalhub"));
    EXPECT_TRUE(eventPatternMatches("gimbalhub.position", "gimbalhub.position"));
    EXPECT_FALSE(eventPatternMatches("gimbalhub.position", "gimbalhub.position2"));
    EXPECT_FALSE(eventPatternMatches("gimbalhub.position", "gimbalhub.positio"));
    // Only a trailing star is special.
    EXPECT_FALSE(eventPatternMatches("*.position", "gimbalhub.position"));
    EXPECT_TRUE(eventPatternMatches("a*b", "a*b"));
}

TEST_F(EventBroker, RegisterAndSendChecksInOrder)
{
    Client &a = connect();
    Client &b = connect();
    uint32_t mine = publish(a, nullptr);
    uint32_t theirs = publish(b, nullptr);

    EXPECT_EQ(registerPattern(a, mine, nullptr), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(invokeEvents(a, "register", nullptr), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(registerPattern(a, UBUS_SYSTEM_OBJECT_EVENT, "*"), UBUS_STATUS_PERMISSION_DENIED);
    EXPECT_EQ(registerPattern(a, 1023, "*"), UBUS_STATUS_PERMISSION_DENIED);
    uint32_t unknown = 4096;
    while (unknown == mine || unknown == theirs)
        ++unknown;
    EXPECT_EQ(registerPattern(a, unknown, "*"), UBUS_STATUS_NOT_FOUND);
    EXPECT_EQ(registerPattern(a, theirs, "*"), UBUS_STATUS_PERMISSION_DENIED);
    EXPECT_EQ(registerPattern(a, mine, ""), UBUS_STATUS_PERMISSION_DENIED);
    EXPECT_EQ(registerPattern(a, mine, "x*"), 0);
    EXPECT_EQ(invokeEvents(a, "subscribe", nullptr), UBUS_STATUS_INVALID_COMMAND);

    EXPECT_EQ(sendEvent(b, nullptr, 1), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(sendEvent(b, "x.y", -1), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(sendEvent(b, "ubus.object.add", 1), UBUS_STATUS_PERMISSION_DENIED);
    EXPECT_EQ(invokes(a).size(), 0u);
    // Answered whether or not anybody listens.
    EXPECT_EQ(sendEvent(b, "nobody.listens", 1), 0);
    EXPECT_EQ(sendEvent(b, "x.y", 7), 0);
    std::vector<Msg> got = invokes(a);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].peer, 0u);
    EXPECT_EQ(got[0].objid(), mine);
    EXPECT_EQ(got[0].method(), "x.y");
    EXPECT_EQ(got[0].data(), (std::map<std::string, std::string>{{"v", "7"}}));
}

TEST_F(EventBroker, OnePerListenerObjectNeverBackToTheSender)
{
    Client &a = connect();
    Client &b = connect();
    uint32_t first = publish(a, nullptr);
    uint32_t second = publish(a, nullptr);
    uint32_t senders = publish(b, nullptr);
    // Three patterns that all match still deliver once to that object.
    for (const char *pattern : {"*", "gimbalhub.*", "gimbalhub.position"})
        ASSERT_EQ(registerPattern(a, first, pattern), 0);
    ASSERT_EQ(registerPattern(a, first, "*"), 0);
    ASSERT_EQ(registerPattern(a, second, "gimbalhub.stopped"), 0);
    ASSERT_EQ(registerPattern(b, senders, "*"), 0);

    ASSERT_EQ(sendEvent(b, "gimbalhub.position", 1), 0);
    std::vector<Msg> got = invokes(a);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].objid(), first);
    EXPECT_EQ(invokes(b).size(), 0u);

    ASSERT_EQ(sendEvent(b, "gimbalhub.stopped", 2), 0);
    got = invokes(a);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0].objid(), got[1].objid());
    EXPECT_NE(got[0].seq, got[1].seq);

    // A removed listener hears nothing more; its patterns went with it.
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, first);
    send(a, UBUS_MSG_REMOVE_OBJECT, 0);
    receive(a);
    ASSERT_EQ(sendEvent(b, "gimbalhub.position", 3), 0);
    EXPECT_EQ(invokes(a).size(), 0u);
}

TEST_F(EventBroker, ObjectAddAndRemoveAreAnnouncedAfterTheReply)
{
    Client &watcher = connect();
    uint32_t listener = publish(watcher, nullptr);
    ASSERT_EQ(registerPattern(watcher, listener, "ubus.object.*"), 0);

    Client &owner = connect();
    blob_buf_init(&buf_, 0);
    blob_put_string(&buf_, UBUS_ATTR_OBJPATH, "gimbalhub");
    blob_nest_end(&buf_, blob_nest_start(&buf_, UBUS_ATTR_SIGNATURE));
    send(owner, UBUS_MSG_ADD_OBJECT, 0);
    std::vector<Msg> reply = receive(owner);
    ASSERT_EQ(reply.size(), 2u);
    uint32_t id = reply[0].objid();
    publish(owner, nullptr);  // anonymous: not announced

    std::vector<Msg> got = invokes(watcher);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method(), "ubus.object.add");
    EXPECT_EQ(got[0].data(),
              (std::map<std::string, std::string>{{"id", std::to_string(id)}, {"path", "gimbalhub"}}));

    // The owner disconnects: its named object goes, announced once.
    shutdown(owner.fd, SHUT_RDWR);
    got = invokes(watcher);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].method(), "ubus.object.remove");
    EXPECT_EQ(got[0].data()["path"], "gimbalhub");
}

TEST_F(EventBroker, PatternsPerClientAreBounded)
{
    ubusd::Limits limits;
    limits.maxEventPatternsPerClient = 2;
    start(limits);
    Client &a = connect();
    uint32_t listener = publish(a, nullptr);
    EXPECT_EQ(registerPattern(a, listener, "a"), 0);
    EXPECT_EQ(registerPattern(a, listener, "a"), 0);  // already there, costs nothing
    EXPECT_EQ(registerPattern(a, listener, "b"), 0);
    EXPECT_EQ(registerPattern(a, listener, "c"), UBUS_STATUS_NO_MEMORY);
    // Removing the object gives its patterns back.
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, listener);
    send(a, UBUS_MSG_REMOVE_OBJECT, 0);
    receive(a);
    listener = publish(a, nullptr);
    EXPECT_EQ(registerPattern(a, listener, "c"), 0);
}

}  // namespace
