// The broker's event object (id 1) driven in-process: pattern matching,
// the checks of "register" and "send", and who receives what.
#include <gtest/gtest.h>

#include <libubus.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "broker.h"

namespace {

struct Msg {
    uint8_t type = 0;
    uint16_t seq = 0;
    uint32_t peer = 0;
    std::vector<uint8_t> root;  // the root attribute, header included

    blob_attr *attr(unsigned id)
    {
        auto *r = reinterpret_cast<blob_attr *>(root.data());
        blob_attr *found = nullptr;
        blob_attr *a;
        size_t rem;
        blob_for_each_attr(a, r, rem)
        {
            if (blob_id(a) == id)
                found = a;
        }
        return found;
    }
    int status()
    {
        blob_attr *a = attr(UBUS_ATTR_STATUS);
        return a ? static_cast<int>(blob_get_u32(a)) : -1000;
    }
    std::string method()
    {
        blob_attr *a = attr(UBUS_ATTR_METHOD);
        return a ? static_cast<const char *>(blob_data(a)) : "";
    }
    uint32_t objid()
    {
        blob_attr *a = attr(UBUS_ATTR_OBJID);
        return a ? blob_get_u32(a) : 0;
    }
    // The DATA attribute's members as "name=value" for INT32 and STRING.
    std::map<std::string, std::string> data()
    {
        std::map<std::string, std::string> out;
        blob_attr *d = attr(UBUS_ATTR_DATA);
        if (!d)
            return out;
        blob_attr *a;
        size_t rem;
        blob_for_each_attr(a, d, rem)
        {
            if (blobmsg_type(a) == BLOBMSG_TYPE_INT32)
                out[blobmsg_name(a)] = std::to_string(blobmsg_get_u32(a));
            else if (blobmsg_type(a) == BLOBMSG_TYPE_STRING)
                out[blobmsg_name(a)] = blobmsg_get_string(a);
        }
        return out;
    }
};

class EventBroker : public ::testing::Test {
protected:
    struct Client {
        int fd = -1;
        uint32_t id = 0;
        uint16_t seq = 0;
        std::vector<uint8_t> pending;
    };

    void SetUp() override { start(ubusd::Limits()); }

    void start(const ubusd::Limits &limits)
    {
        broker_ = std::make_unique<ubusd::Broker>("", limits);
        ASSERT_TRUE(broker_->openDetached());
    }
    void TearDown() override
    {
        for (Client &c : clients_)
            close(c.fd);
        blob_buf_free(&buf_);
    }

    Client &connect()
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        clients_.emplace_back();
        Client &c = clients_.back();
        c.fd = sv[1];
        c.id = broker_->adoptClient(sv[0]);
        EXPECT_NE(c.id, 0u);
        std::vector<Msg> hello = receive(c);
        EXPECT_EQ(hello.size(), 1u);
        return c;
    }

    // Sends one message, lets the broker handle it and returns the seq used.
    uint16_t send(Client &c, uint8_t type, uint32_t peer)
    {
        uint16_t seq = ++c.seq;
        uint8_t hdr[8] = {0,
                          type,
                          static_cast<uint8_t>(seq >> 8),
                          static_cast<uint8_t>(seq),
                          static_cast<uint8_t>(peer >> 24),
                          static_cast<uint8_t>(peer >> 16),
                          static_cast<uint8_t>(peer >> 8),
                          static_cast<uint8_t>(peer)};
        std::vector<uint8_t> bytes(hdr, hdr + 8);
        auto *root = reinterpret_cast<uint8_t *>(buf_.head);
        bytes.insert(bytes.end(), root, root + blob_raw_len(buf_.head));
        EXPECT_EQ(::send(c.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        EXPECT_TRUE(broker_->runUntilIdle());
        return seq;
    }

    std::vector<Msg> receive(Client &c)
    {
        EXPECT_TRUE(broker_->runUntilIdle());
        char chunk[65536];
        ssize_t n;
        while ((n = recv(c.fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
            c.pending.insert(c.pending.end(), chunk, chunk + n);
        std::vector<Msg> out;
        while (c.pending.size() >= 12) {
            const uint8_t *h = c.pending.data();
            size_t raw = (size_t(h[9]) << 16) | (size_t(h[10]) << 8) | h[11];
            if (c.pending.size() < 8 + raw)
                break;
            Msg m;
            m.type = h[1];
            m.seq = static_cast<uint16_t>((h[2] << 8) | h[3]);
            m.peer = (uint32_t(h[4]) << 24) | (uint32_t(h[5]) << 16) | (uint32_t(h[6]) << 8) | h[7];
            m.root.assign(h + 8, h + 8 + raw);
            out.push_back(std::move(m));
            c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<long>(8 + raw));
        }
        return out;
    }

    // Publishes an object (named, with an empty method list, or anonymous).
    uint32_t publish(Client &c, const char *path)
    {
        blob_buf_init(&buf_, 0);
        if (path) {
            blob_put_string(&buf_, UBUS_ATTR_OBJPATH, path);
            blob_nest_end(&buf_, blob_nest_start(&buf_, UBUS_ATTR_SIGNATURE));
        }
        send(c, UBUS_MSG_ADD_OBJECT, 0);
        std::vector<Msg> reply = receive(c);
        EXPECT_GE(reply.size(), 2u);
        return reply.empty() ? 0 : reply[0].objid();
    }

    // INVOKE on the event object; returns the STATUS it got back.
    int invokeEvents(Client &c, const char *method, const std::function<void()> &fill)
    {
        blob_buf_init(&buf_, 0);
        blob_put_int32(&buf_, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
        blob_put_string(&buf_, UBUS_ATTR_METHOD, method);
        if (fill) {
            void *data = blob_nest_start(&buf_, UBUS_ATTR_DATA);
            fill();
            blob_nest_end(&buf_, data);
        }
        uint16_t seq = send(c, UBUS_MSG_INVOKE, UBUS_SYSTEM_OBJECT_EVENT);
        std::vector<Msg> reply = receive(c);
        for (Msg &m : reply)
            if (m.type == UBUS_MSG_STATUS && m.seq == seq && m.peer == UBUS_SYSTEM_OBJECT_EVENT)
                return m.status();
        return -1000;
    }

    int registerPattern(Client &c, uint32_t object, const char *pattern)
    {
        return invokeEvents(c, "register", [&] {
            blobmsg_add_u32(&buf_, "object", object);
            if (pattern)
                blobmsg_add_string(&buf_, "pattern", pattern);
        });
    }

    int sendEvent(Client &c, const char *id, int value)
    {
        return invokeEvents(c, "send", [&] {
            if (id)
                blobmsg_add_string(&buf_, "id", id);
            if (value >= 0) {
                void *t = blobmsg_open_table(&buf_, "data");
                blobmsg_add_u32(&buf_, "v", static_cast<uint32_t>(value));
                blobmsg_close_table(&buf_, t);
            }
        });
    }

    std::vector<Msg> invokes(Client &c)
    {
        std::vector<Msg> out;
        for (Msg &m : receive(c))
            if (m.type == UBUS_MSG_INVOKE)
                out.push_back(m);
        return out;
    }

    std::unique_ptr<ubusd::Broker> broker_;
    std::deque<Client> clients_;  // references to clients stay valid
    blob_buf buf_ = {};
};

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
