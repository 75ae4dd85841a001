// The broker seen from a raw protocol client: routing rules, error statuses,
// and input that the library would never produce.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "e2e_support.h"
#include "raw_client.h"

using e2e::Message;
using e2e::RawClient;

namespace {

class RawBroker : public ::testing::Test {
protected:
    void SetUp() override
    {
        buf_ = {};
        blob_buf_init(&buf_, 0);
    }
    void TearDown() override { blob_buf_free(&buf_); }

    blob_attr *signature(bool valid)
    {
        blob_buf_init(&buf_, 0);
        blob_put_string(&buf_, UBUS_ATTR_OBJPATH, path_.c_str());
        void *sig = blob_nest_start(&buf_, UBUS_ATTR_SIGNATURE);
        void *m = blobmsg_open_table(&buf_, "move");
        blobmsg_add_u32(&buf_, "x", BLOBMSG_TYPE_INT32);
        blobmsg_close_table(&buf_, m);
        if (!valid)  // a method table without a name is rejected
            blobmsg_close_table(&buf_, blobmsg_open_table(&buf_, ""));
        blob_nest_end(&buf_, sig);
        return buf_.head;
    }

    // Publishes path_ from c; returns the object id and stores the type id.
    uint32_t publish(RawClient &c, const std::string &path, bool valid = true, uint16_t seq = 1)
    {
        path_ = path;
        c.send(UBUS_MSG_ADD_OBJECT, seq, 0, signature(valid));
        Message data, status;
        EXPECT_TRUE(c.receive(data));
        EXPECT_EQ(data.type, UBUS_MSG_DATA);
        EXPECT_TRUE(c.receive(status));
        EXPECT_EQ(status.status(), 0);
        blob_attr *type = data.attr(UBUS_ATTR_OBJTYPE);
        typeId_ = type ? blob_get_u32(type) : 0;
        blob_attr *id = data.attr(UBUS_ATTR_OBJID);
        return id ? blob_get_u32(id) : 0;
    }

    blob_attr *lookup(const char *path)
    {
        blob_buf_init(&buf_, 0);
        if (path)
            blob_put_string(&buf_, UBUS_ATTR_OBJPATH, path);
        return buf_.head;
    }

    // Collects DATA messages until the STATUS; returns the status.
    int collect(RawClient &c, std::vector<Message> &data)
    {
        Message m;
        while (c.receive(m)) {
            if (m.type == UBUS_MSG_STATUS)
                return m.status();
            data.push_back(m);
        }
        return -1000;
    }

    static std::string pathOf(Message &m)
    {
        blob_attr *a = m.attr(UBUS_ATTR_OBJPATH);
        return a ? static_cast<const char *>(blob_data(a)) : "";
    }

    // A PING round trip proves the broker still serves this client.
    static bool pingWorks(RawClient &c, uint16_t seq = 77)
    {
        blob_buf b = {};
        blob_buf_init(&b, 0);
        c.send(UBUS_MSG_PING, seq, 0, b.head);
        blob_buf_free(&b);
        Message pong, status;
        return c.receive(pong) && pong.type == UBUS_MSG_DATA && pong.seq == seq && c.receive(status) &&
               status.status() == 0;
    }

    e2e::PrivateBus broker_;
    blob_buf buf_;
    std::string path_;
    uint32_t typeId_ = 0;
};

TEST_F(RawBroker, HelloIdsAreDistinctAndUsable)
{
    RawClient a(broker_.socket()), b(broker_.socket()), c(broker_.socket());
    for (RawClient *cl : {&a, &b, &c}) {
        ASSERT_TRUE(cl->connected());
        EXPECT_GE(cl->id(), 1024u);
        EXPECT_NE(cl->id(), 0x01000000u);
    }
    EXPECT_NE(a.id(), b.id());
    EXPECT_NE(b.id(), c.id());
    EXPECT_NE(a.id(), c.id());
}

TEST_F(RawBroker, PingIsEchoedAsDataThenStatus)
{
    RawClient c(broker_.socket());
    blob_buf_init(&buf_, 0);
    blob_put_string(&buf_, UBUS_ATTR_METHOD, "anything");
    c.send(UBUS_MSG_PING, 9, 0x1234, buf_.head);
    Message pong, status;
    ASSERT_TRUE(c.receive(pong));
    EXPECT_EQ(pong.type, UBUS_MSG_DATA);
    EXPECT_EQ(pong.seq, 9);
    EXPECT_EQ(pong.peer, 0x1234u);
    ASSERT_NE(pong.attr(UBUS_ATTR_METHOD), nullptr);
    ASSERT_TRUE(c.receive(status));
    EXPECT_EQ(status.type, UBUS_MSG_STATUS);
    EXPECT_EQ(status.peer, 0x1234u);
    EXPECT_EQ(status.status(), 0);
}

TEST_F(RawBroker, PublishLookupAndRemove)
{
    RawClient owner(broker_.socket()), other(broker_.socket());
    uint32_t b = publish(owner, "demo/b");
    uint32_t type = typeId_;
    EXPECT_GE(b, 1024u);
    EXPECT_GE(type, 1024u);
    publish(owner, "demo/a", true, 2);
    publish(owner, "zeta", true, 3);

    // A second object with the same path is refused with a bare status.
    path_ = "demo/b";
    owner.send(UBUS_MSG_ADD_OBJECT, 4, 0, signature(true));
    Message m;
    ASSERT_TRUE(owner.receive(m));
    EXPECT_EQ(m.type, UBUS_MSG_STATUS);
    EXPECT_EQ(m.status(), UBUS_STATUS_INVALID_ARGUMENT);

    std::vector<Message> data;
    other.send(UBUS_MSG_LOOKUP, 5, 0, lookup(nullptr));
    EXPECT_EQ(collect(other, data), 0);
    ASSERT_EQ(data.size(), 3u);
    EXPECT_EQ(pathOf(data[0]), "demo/a");
    EXPECT_EQ(pathOf(data[1]), "demo/b");
    EXPECT_EQ(pathOf(data[2]), "zeta");
    EXPECT_EQ(blob_get_u32(data[1].attr(UBUS_ATTR_OBJID)), b);
    EXPECT_EQ(blob_get_u32(data[1].attr(UBUS_ATTR_OBJTYPE)), type);
    // The stored signature comes back intact.
    blob_attr *sig = data[1].attr(UBUS_ATTR_SIGNATURE);
    ASSERT_NE(sig, nullptr);
    auto *method = static_cast<blob_attr *>(blob_data(sig));
    EXPECT_STREQ(blobmsg_name(method), "move");

    data.clear();
    other.send(UBUS_MSG_LOOKUP, 6, 0, lookup("demo/*"));
    EXPECT_EQ(collect(other, data), 0);
    EXPECT_EQ(data.size(), 2u);
    data.clear();
    other.send(UBUS_MSG_LOOKUP, 7, 0, lookup("nope*"));
    EXPECT_EQ(collect(other, data), UBUS_STATUS_NOT_FOUND);
    other.send(UBUS_MSG_LOOKUP, 8, 0, lookup("demo"));
    EXPECT_EQ(collect(other, data), UBUS_STATUS_NOT_FOUND);
    other.send(UBUS_MSG_LOOKUP, 9, 0, lookup(""));
    EXPECT_EQ(collect(other, data), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(data.empty());

    // Removal: only by the owner, and the last user of a type reports it.
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, b);
    other.send(UBUS_MSG_REMOVE_OBJECT, 10, 0, buf_.head);
    EXPECT_EQ(collect(other, data), UBUS_STATUS_PERMISSION_DENIED);
    owner.send(UBUS_MSG_REMOVE_OBJECT, 11, 0, buf_.head);
    std::vector<Message> removed;
    EXPECT_EQ(collect(owner, removed), 0);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(blob_get_u32(removed[0].attr(UBUS_ATTR_OBJID)), b);
    EXPECT_EQ(blob_get_u32(removed[0].attr(UBUS_ATTR_OBJTYPE)), type);
    owner.send(UBUS_MSG_REMOVE_OBJECT, 12, 0, buf_.head);
    EXPECT_EQ(collect(owner, data), UBUS_STATUS_NOT_FOUND);
    blob_buf_init(&buf_, 0);
    owner.send(UBUS_MSG_REMOVE_OBJECT, 13, 0, buf_.head);
    EXPECT_EQ(collect(owner, data), UBUS_STATUS_INVALID_ARGUMENT);
    other.send(UBUS_MSG_LOOKUP, 14, 0, lookup("demo/b"));
    EXPECT_EQ(collect(other, data), UBUS_STATUS_NOT_FOUND);
}

TEST_F(RawBroker, MalformedSignatureLeavesAnUnlistedObjectAndTypesCanBeReused)
{
    RawClient owner(broker_.socket());
    uint32_t bad = publish(owner, "bad", false);
    EXPECT_NE(bad, 0u);
    EXPECT_EQ(typeId_, 0u);
    std::vector<Message> data;
    owner.send(UBUS_MSG_LOOKUP, 2, 0, lookup("bad"));
    EXPECT_EQ(collect(owner, data), 0);
    EXPECT_TRUE(data.empty());

    publish(owner, "first", true, 3);
    uint32_t type = typeId_;
    blob_buf_init(&buf_, 0);
    blob_put_string(&buf_, UBUS_ATTR_OBJPATH, "second");
    blob_put_int32(&buf_, UBUS_ATTR_OBJTYPE, type);
    owner.send(UBUS_MSG_ADD_OBJECT, 4, 0, buf_.head);
    std::vector<Message> added;
    EXPECT_EQ(collect(owner, added), 0);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].attr(UBUS_ATTR_OBJTYPE), nullptr);

    owner.send(UBUS_MSG_LOOKUP, 5, 0, lookup("second"));
    EXPECT_EQ(collect(owner, data), 0);
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(blob_get_u32(data[0].attr(UBUS_ATTR_OBJTYPE)), type);
    EXPECT_NE(data[0].attr(UBUS_ATTR_SIGNATURE), nullptr);
}

TEST_F(RawBroker, InvokeIsRoutedAndRepliesOnlyFromTheOwner)
{
    RawClient owner(broker_.socket()), caller(broker_.socket()), intruder(broker_.socket());
    uint32_t obj = publish(owner, "demo");

    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, obj);
    blob_put_string(&buf_, UBUS_ATTR_METHOD, "move");
    void *d = blob_nest_start(&buf_, UBUS_ATTR_DATA);
    blobmsg_add_u32(&buf_, "x", 10);
    blob_nest_end(&buf_, d);
    caller.send(UBUS_MSG_INVOKE, 2, obj, buf_.head);

    Message inv;
    ASSERT_TRUE(owner.receive(inv));
    EXPECT_EQ(inv.type, UBUS_MSG_INVOKE);
    EXPECT_EQ(inv.seq, 2);
    EXPECT_EQ(inv.peer, caller.id());
    EXPECT_EQ(blob_get_u32(inv.attr(UBUS_ATTR_OBJID)), obj);
    EXPECT_STREQ(static_cast<const char *>(blob_data(inv.attr(UBUS_ATTR_METHOD))), "move");
    EXPECT_NE(inv.attr(UBUS_ATTR_USER), nullptr);
    EXPECT_NE(inv.attr(UBUS_ATTR_GROUP), nullptr);
    ASSERT_NE(inv.attr(UBUS_ATTR_DATA), nullptr);
    EXPECT_EQ(blob_len(inv.attr(UBUS_ATTR_DATA)), 12u);

    // A reply forged by someone who does not own the object goes nowhere.
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_STATUS, 42);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, obj);
    intruder.send(UBUS_MSG_STATUS, 2, caller.id(), buf_.head);

    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, obj);
    d = blob_nest_start(&buf_, UBUS_ATTR_DATA);
    blobmsg_add_u32(&buf_, "pan", 10);
    blob_nest_end(&buf_, d);
    owner.send(UBUS_MSG_DATA, 2, caller.id(), buf_.head);
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_STATUS, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, obj);
    owner.send(UBUS_MSG_STATUS, 2, caller.id(), buf_.head);

    Message data, status;
    ASSERT_TRUE(caller.receive(data));
    EXPECT_EQ(data.type, UBUS_MSG_DATA);
    EXPECT_EQ(data.peer, obj);
    ASSERT_TRUE(caller.receive(status));
    EXPECT_EQ(status.type, UBUS_MSG_STATUS);
    EXPECT_EQ(status.peer, obj);
    EXPECT_EQ(status.status(), 0);
}

TEST_F(RawBroker, InvokeErrorsEchoTheRequestHeader)
{
    RawClient caller(broker_.socket());
    std::vector<Message> data;

    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, 0x7777);
    blob_put_string(&buf_, UBUS_ATTR_METHOD, "m");
    caller.send(UBUS_MSG_INVOKE, 3, 0x7777, buf_.head);
    Message m;
    ASSERT_TRUE(caller.receive(m));
    EXPECT_EQ(m.type, UBUS_MSG_STATUS);
    EXPECT_EQ(m.seq, 3);
    EXPECT_EQ(m.peer, 0x7777u);
    EXPECT_EQ(m.status(), UBUS_STATUS_NOT_FOUND);

    // The broker answers for its event object itself, echoing the header too.
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
    blob_put_string(&buf_, UBUS_ATTR_METHOD, "send");
    caller.send(UBUS_MSG_INVOKE, 4, 1, buf_.head);
    EXPECT_EQ(collect(caller, data), UBUS_STATUS_INVALID_ARGUMENT);

    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, 0x7777);
    caller.send(UBUS_MSG_INVOKE, 5, 0, buf_.head);
    EXPECT_EQ(collect(caller, data), UBUS_STATUS_INVALID_ARGUMENT);

    blob_buf_init(&buf_, 0);
    caller.send(UBUS_MSG_HELLO, 6, 0, buf_.head);
    EXPECT_EQ(collect(caller, data), UBUS_STATUS_INVALID_COMMAND);
    caller.send(99, 7, 0, buf_.head);
    EXPECT_EQ(collect(caller, data), UBUS_STATUS_INVALID_COMMAND);
    caller.send(UBUS_MSG_SUBSCRIBE, 8, 0, buf_.head);
    EXPECT_EQ(collect(caller, data), UBUS_STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(data.empty());
}

TEST_F(RawBroker, BrokenFramingDisconnectsOnlyTheOffender)
{
    RawClient bystander(broker_.socket());
    const std::vector<std::vector<uint8_t>> offences = {
        {0, UBUS_MSG_PING, 0, 1, 0, 0, 0, 0, 0x00, 0x00, 0x00, 0x03},  // root shorter than its header
        {0, UBUS_MSG_PING, 0, 1, 0, 0, 0, 0, 0x00, 0x10, 0x00, 0x04},  // body beyond 1 MiB
        std::vector<uint8_t>(64, 0xff),                                // noise
    };
    for (const auto &bytes : offences) {
        RawClient bad(broker_.socket());
        ASSERT_TRUE(bad.connected());
        bad.sendBytes(bytes.data(), bytes.size());
        EXPECT_TRUE(bad.closedByPeer());
        EXPECT_TRUE(pingWorks(bystander));
    }
}

TEST_F(RawBroker, AttributesThatOverrunTheMessageAreIgnored)
{
    RawClient c(broker_.socket());
    // INVOKE whose METHOD claims 200 bytes in a 16-byte body, then an
    // attribute with an impossible length of 1, then a string without NUL.
    uint32_t words[] = {htobe32(0x00000018), htobe32(0x040000c8), htobe32(0x41414141),
                        htobe32(0x03000001), htobe32(0x02000008), htobe32(0x41414141)};
    uint8_t hdr[8] = {0, UBUS_MSG_INVOKE, 0, 5, 0, 0, 0, 0};
    c.sendBytes(hdr, sizeof(hdr));
    c.sendBytes(words, sizeof(words));
    std::vector<Message> data;
    EXPECT_EQ(collect(c, data), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(pingWorks(c));
}

TEST_F(RawBroker, ForwardThatWouldExceedTheLimitIsRefused)
{
    RawClient owner(broker_.socket()), caller(broker_.socket());
    uint32_t obj = publish(owner, "demo");
    // 8 bytes below the limit as sent; the caller's user and group names
    // (at least 8 bytes each) push the forwarded copy over it.
    std::vector<char> big(UBUS_MAX_MSGLEN - 40, 'x');
    big.back() = 0;
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, obj);
    blob_put_string(&buf_, UBUS_ATTR_METHOD, "m");
    void *d = blob_nest_start(&buf_, UBUS_ATTR_DATA);
    blobmsg_add_string(&buf_, "s", big.data());
    blob_nest_end(&buf_, d);
    ASSERT_EQ(blob_pad_len(buf_.head), static_cast<size_t>(UBUS_MAX_MSGLEN - 8));
    caller.send(UBUS_MSG_INVOKE, 2, obj, buf_.head);
    std::vector<Message> data;
    EXPECT_EQ(collect(caller, data), UBUS_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(pingWorks(owner));
}

TEST_F(RawBroker, AClientThatDoesNotReadIsSlowedDownAndLosesNothing)
{
    RawClient sink(broker_.socket()), other(broker_.socket());
    std::vector<char> payload(64 * 1024, 'p');
    payload.back() = 0;
    blob_buf ping = {};
    blob_buf_init(&ping, 0);
    blob_put_string(&ping, UBUS_ATTR_METHOD, payload.data());
    // About 19 MiB of echoes: more than the broker would ever hold for one client.
    const int pings = 300;
    std::thread writer([&] {
        for (int i = 0; i < pings; i++)
            sink.send(UBUS_MSG_PING, static_cast<uint16_t>(i), 0, ping.head);
    });
    EXPECT_TRUE(pingWorks(other));

    // Every echo arrives, in order, once the sink reads.
    Message m;
    int received = 0;
    while (received < 2 * pings && sink.receive(m, 5000)) {
        const int i = received / 2;
        const bool expected = m.type == (received % 2 ? UBUS_MSG_STATUS : UBUS_MSG_DATA) && m.seq == i &&
                              (m.type == UBUS_MSG_STATUS || m.body.size() == blob_len(ping.head));
        if (!expected) {
            ADD_FAILURE() << "message " << received << " is not the echo of ping " << i;
            break;
        }
        received++;
    }
    if (received != 2 * pings)
        shutdown(sink.fd(), SHUT_RDWR);  // frees a writer still blocked
    writer.join();
    blob_buf_free(&ping);
    EXPECT_EQ(received, 2 * pings);
    EXPECT_TRUE(pingWorks(sink, 500));
}

TEST_F(RawBroker, ListingLargerThanAnyQueueArrivesWhole)
{
    RawClient owner(broker_.socket()), lister(broker_.socket());
    // 40 objects of about 40 KiB each: 1.6 MiB of listing.
    const int objects = 40;
    std::vector<char> name(40 * 1024, 'a');
    name.back() = 0;
    for (int i = 0; i < objects; i++) {
        blob_buf_init(&buf_, 0);
        blob_put_string(&buf_, UBUS_ATTR_OBJPATH, ("big" + std::to_string(100 + i)).c_str());
        void *sig = blob_nest_start(&buf_, UBUS_ATTR_SIGNATURE);
        name[0] = static_cast<char>('a' + i % 26);
        blobmsg_close_table(&buf_, blobmsg_open_table(&buf_, name.data()));
        blob_nest_end(&buf_, sig);
        owner.send(UBUS_MSG_ADD_OBJECT, static_cast<uint16_t>(i), 0, buf_.head);
        std::vector<Message> reply;
        ASSERT_EQ(collect(owner, reply), 0) << i;
    }

    lister.send(UBUS_MSG_LOOKUP, 9, 0, lookup(nullptr));
    std::vector<Message> data;
    EXPECT_EQ(collect(lister, data), 0);
    ASSERT_EQ(data.size(), static_cast<size_t>(objects));
    for (int i = 0; i < objects; i++)
        EXPECT_EQ(pathOf(data[i]), "big" + std::to_string(100 + i));

    e2e::CommandResult list = e2e::runCommand({e2e::ubusCliPath(), "-s", broker_.socket(), "list"}, 10);
    EXPECT_EQ(list.exitStatus, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), objects);
}

// An owner that stops (SIGSTOP) while calls of 60 KiB pour in: the caller
// may leave only its share with it, is told at once about the rest, and is
// served meanwhile; once the owner runs again, the calls it got are answered.
TEST_F(RawBroker, AStoppedOwnerNeitherHoldsItsCallerNorLeavesItWithoutAnswer)
{
    e2e::Process owner({e2e::owner(), "-s", broker_.socket()});
    const uint32_t object =
        static_cast<uint32_t>(std::stoul(owner.waitLine("ready ").substr(6), nullptr, 16));
    owner.signal(SIGSTOP);
    RawClient caller(broker_.socket());
    std::vector<char> fill(60 * 1024, 'f');
    fill.back() = 0;
    blob_buf_init(&buf_, 0);
    blob_put_int32(&buf_, UBUS_ATTR_OBJID, object);
    blob_put_string(&buf_, UBUS_ATTR_METHOD, "echo");
    void *d = blob_nest_start(&buf_, UBUS_ATTR_DATA);
    blobmsg_add_string(&buf_, "fill", fill.data());
    blob_nest_end(&buf_, d);
    // Written aside: a broker that stopped reading the caller would block it.
    std::atomic<bool> written{false};
    std::thread writer([&] {
        for (uint16_t seq = 1; seq <= 8; seq++)
            caller.send(UBUS_MSG_INVOKE, seq, object, buf_.head);
        written = true;
    });
    const bool allWritten = e2e::waitUntil([&] { return written.load(); }, 5);
    if (!allWritten)
        shutdown(caller.fd(), SHUT_RDWR);
    writer.join();
    if (!allWritten)
        owner.signal(SIGCONT);
    ASSERT_TRUE(allWritten) << "the broker stopped reading the caller";
    std::vector<uint16_t> refused;
    Message m;
    while (refused.size() < 8 && caller.receive(m, 500)) {
        EXPECT_EQ(m.status(), UBUS_STATUS_NO_MEMORY);
        refused.push_back(m.seq);
    }
    EXPECT_GE(refused.size(), 3u);
    EXPECT_LT(refused.size(), 8u);
    EXPECT_TRUE(pingWorks(caller));

    owner.signal(SIGCONT);
    size_t answered = 0;
    while (answered < 8 - refused.size() && caller.receive(m, 3000)) {
        if (m.type != UBUS_MSG_STATUS)
            continue;
        EXPECT_EQ(m.status(), 0);
        EXPECT_EQ(std::count(refused.begin(), refused.end(), m.seq), 0);
        answered++;
    }
    EXPECT_EQ(answered, 8 - refused.size());
}

// Fifty listeners that never read and flooders that never read either: the
// broker's memory stays within its bound, and no listener is disconnected.
TEST(BrokerMemory, FloodsToListenersThatNeverReadStayWithinTheBound)
{
    std::string dir = (std::filesystem::temp_directory_path() / "ubus-memory-XXXXXX").string();
    ASSERT_NE(mkdtemp(&dir[0]), nullptr);
    {
        e2e::PrivateBus bus("", dir);
        blob_buf b = {};
        std::vector<std::unique_ptr<RawClient>> listeners;
        for (int i = 0; i < 50; i++) {
            auto l = std::make_unique<RawClient>(bus.socket());
            blob_buf_init(&b, 0);
            l->send(UBUS_MSG_ADD_OBJECT, 1, 0, b.head);
            Message data, status;
            ASSERT_TRUE(l->receive(data) && l->receive(status));
            blob_buf_init(&b, 0);
            blob_put_int32(&b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
            blob_put_string(&b, UBUS_ATTR_METHOD, "register");
            void *d = blob_nest_start(&b, UBUS_ATTR_DATA);
            blobmsg_add_u32(&b, "object", blob_get_u32(data.attr(UBUS_ATTR_OBJID)));
            blobmsg_add_string(&b, "pattern", "*");
            blob_nest_end(&b, d);
            l->send(UBUS_MSG_INVOKE, 2, UBUS_SYSTEM_OBJECT_EVENT, b.head);
            ASSERT_TRUE(l->receive(status));
            ASSERT_EQ(status.status(), 0);
            listeners.push_back(std::move(l));
        }
        blob_buf_init(&b, 0);
        blob_put_int32(&b, UBUS_ATTR_OBJID, UBUS_SYSTEM_OBJECT_EVENT);
        blob_put_string(&b, UBUS_ATTR_METHOD, "send");
        void *d = blob_nest_start(&b, UBUS_ATTR_DATA);
        blobmsg_add_string(&b, "id", "flood");
        void *t = blobmsg_open_table(&b, "data");
        blobmsg_add_string(&b, "fill", std::string(1000, 'f').c_str());
        blobmsg_close_table(&b, t);
        blob_nest_end(&b, d);
        std::vector<uint8_t> event(8 + blob_raw_len(b.head));
        event[1] = UBUS_MSG_INVOKE;
        event[7] = UBUS_SYSTEM_OBJECT_EVENT;
        memcpy(&event[8], b.head, blob_raw_len(b.head));
        blob_buf_free(&b);

        const long before = e2e::residentKilobytes(bus.process().pid());
        std::vector<std::unique_ptr<e2e::SilentFlooder>> flooders;
        for (int i = 0; i < 3; i++)
            flooders.push_back(std::make_unique<e2e::SilentFlooder>(bus.socket(), event));
        long peak = before;
        for (auto &f : flooders)
            EXPECT_TRUE(e2e::waitUntil(
                [&] {
                    peak = std::max(peak, e2e::residentKilobytes(bus.process().pid()));
                    return f->sent() >= 5000 || !bus.alive();
                },
                30))
                << f->sent();
        flooders.clear();
        ASSERT_TRUE(bus.alive());
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // Sanitizer runtimes keep freed memory back, so only a plain build measures it.
        EXPECT_LT(peak - before, 24 * 1024) << "kB grown";
#endif
    }
    std::string err = e2e::readFile(dir + "/ubusd.err");
    EXPECT_NE(err.find("reads events more slowly than they are sent"), std::string::npos) << err;
    EXPECT_EQ(err.find("disconnecting"), std::string::npos) << err.substr(0, 2000);
    std::filesystem::remove_all(dir);
}

// Paths count towards what a client may keep registered, not only signatures.
TEST_F(RawBroker, LongPathsExhaustTheRegistrationBudget)
{
    RawClient owner(broker_.socket());
    std::string path(64 * 1024, 'p');
    int accepted = 0, status = 0;
    for (int i = 0; i < 100 && status == 0; i++) {
        path[0] = static_cast<char>('A' + i / 26);
        path[1] = static_cast<char>('a' + i % 26);
        blob_buf_init(&buf_, 0);
        blob_put_string(&buf_, UBUS_ATTR_OBJPATH, path.c_str());
        owner.send(UBUS_MSG_ADD_OBJECT, static_cast<uint16_t>(i), 0, buf_.head);
        std::vector<Message> reply;
        status = collect(owner, reply);
        if (status == 0)
            accepted++;
    }
    EXPECT_EQ(status, UBUS_STATUS_NO_MEMORY);
    EXPECT_GT(accepted, 32);  // about 4 MiB of paths
    EXPECT_LT(accepted, 64);
    EXPECT_TRUE(pingWorks(owner));
}

TEST_F(RawBroker, ObjectsVanishWithTheirOwner)
{
    RawClient watcher(broker_.socket());
    {
        RawClient owner(broker_.socket());
        publish(owner, "short-lived");
    }
    std::vector<Message> data;
    int status = 0;
    for (int i = 0; i < 200 && status != UBUS_STATUS_NOT_FOUND; i++) {
        watcher.send(UBUS_MSG_LOOKUP, static_cast<uint16_t>(i), 0, lookup("short-lived"));
        status = collect(watcher, data);
        if (status != UBUS_STATUS_NOT_FOUND)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(status, UBUS_STATUS_NOT_FOUND);
}

TEST(BrokerSocket, CreatedWorldWritableAndRemovedOnTermination)
{
    e2e::PrivateBus broker;
    struct stat st {};
    ASSERT_EQ(lstat(broker.socket().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    // A second broker must not take over a live socket.
    auto second = e2e::runCommand({e2e::ubusdPath(), "-s", broker.socket()}, 5);
    EXPECT_EQ(second.exitStatus, 1);
    EXPECT_NE(second.err.find("another broker"), std::string::npos);
    RawClient still(broker.socket());
    EXPECT_TRUE(still.connected());

    EXPECT_EQ(broker.stop(), 0);
    EXPECT_NE(lstat(broker.socket().c_str(), &st), 0);
}

TEST(BrokerSocket, RefusesToReplaceARegularFile)
{
    e2e::PrivateBus broker;  // only for its private directory
    std::string path = broker.dir() + "/precious";
    std::ofstream(path) << "keep me";
    auto r = e2e::runCommand({e2e::ubusdPath(), "-s", path}, 5);
    EXPECT_EQ(r.exitStatus, 1);
    std::ifstream in(path);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

}  // namespace
