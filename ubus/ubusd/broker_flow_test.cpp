// Who pays when a receiver does not keep up: calls and events queued for a
// slow or stuck client are charged to their senders, within a share per
// receiver and a total for the broker, and whatever does not fit is refused
// with a status instead of stopping the sender or cutting the receiver off.
#include "broker_test_fixture.h"

namespace {

class BrokerFlow : public BrokerFixture {
protected:
    // Every call and event queued for c, read until the broker has no more.
    std::vector<Msg> drainInvokes(Client &c)
    {
        std::vector<Msg> all;
        for (std::vector<Msg> got = invokes(c); !got.empty(); got = invokes(c))
            all.insert(all.end(), got.begin(), got.end());
        return all;
    }

    // A PING round trip: the broker still reads and answers this client.
    bool pingAnswered(Client &c)
    {
        blob_buf_init(&buf_, 0);
        uint16_t seq = send(c, UBUS_MSG_PING, 0);
        std::vector<Msg> got = receive(c);
        return statusOf(got, seq) == 0;
    }
};

// The caller of an owner that has stopped reading may leave only its share
// there; further calls are refused at once and everything else it asks for
// is still served.
TEST_F(BrokerFlow, AStuckOwnerCostsItsCallerOnlyItsShare)
{
    Client &owner = connect(4096);
    uint32_t stuck = publish(owner, "stuck");
    Client &other = connect();
    uint32_t healthy = publish(other, "healthy");
    Client &caller = connect();

    std::vector<uint16_t> seqs;
    for (int i = 0; i < 8; i++)
        seqs.push_back(call(caller, stuck, 60 * 1024));
    std::vector<Msg> got = receive(caller);
    int refused = 0;
    for (uint16_t seq : seqs) {
        int status = statusOf(got, seq);
        EXPECT_TRUE(status == -1000 || status == UBUS_STATUS_NO_MEMORY) << status;
        refused += status == UBUS_STATUS_NO_MEMORY;
    }
    EXPECT_GE(refused, 5);
    EXPECT_LE(broker_->forwardedBytes(), 2 * 64 * 1024u);

    EXPECT_TRUE(pingAnswered(caller));
    uint16_t seq = call(caller, healthy);
    std::vector<Msg> forwarded = invokes(other);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(forwarded[0].seq, seq);
    EXPECT_EQ(forwarded[0].peer, caller.id);
}

// A listener that has stopped reading misses only what a flooding sender
// sends beyond its share; the sender hears so, another sender's events still
// find room, and the listener, once it reads, gets all that was kept.
TEST_F(BrokerFlow, AFlooderPaysForTheEventsASlowListenerCannotTake)
{
    Client &listener = connect(4096);
    uint32_t object = publish(listener, nullptr);
    ASSERT_EQ(registerPattern(listener, object, "*"), 0);
    Client &flooder = connect();
    Client &quiet = connect();

    int accepted = 0, status = 0;
    while (accepted < 1000 && (status = sendEvent(flooder, "flood", accepted, 1024)) == 0)
        accepted++;
    EXPECT_EQ(status, UBUS_STATUS_NO_MEMORY);
    EXPECT_GT(accepted, 40);  // its share of 64 KiB, and what the socket took
    EXPECT_LT(accepted, 200);
    EXPECT_EQ(sendEvent(flooder, "flood", 9999, 1024), UBUS_STATUS_NO_MEMORY);
    EXPECT_EQ(sendEvent(quiet, "quiet", 1), 0);

    std::vector<Msg> got = drainInvokes(listener);
    ASSERT_EQ(got.size(), static_cast<size_t>(accepted + 1));
    for (int i = 0; i < accepted; i++)
        EXPECT_EQ(got[i].data()["v"], std::to_string(i));
    EXPECT_EQ(got.back().method(), "quiet");
    EXPECT_EQ(broker_->forwardedBytes(), 0u);
    // Reading again, it has room for the flooder once more.
    EXPECT_EQ(sendEvent(flooder, "flood", 1, 1024), 0);
    EXPECT_EQ(drainInvokes(listener).size(), 1u);
}

// Many listeners that never read and several flooders: what the broker holds
// for them all stays within its total, and nobody is cut off.
TEST_F(BrokerFlow, SlowListenersAndFloodersStayWithinTheBrokersTotal)
{
    ubusd::Limits limits;
    limits.maxForwardedBytesPerClient = 16 * 1024;
    limits.maxForwardedBytesTotal = 256 * 1024;
    start(limits);
    std::vector<Client *> listeners;
    for (int i = 0; i < 20; i++) {
        Client &l = connect(4096);
        ASSERT_EQ(registerPattern(l, publish(l, nullptr), "*"), 0);
        listeners.push_back(&l);
    }
    std::vector<Client *> flooders;
    for (int i = 0; i < 3; i++)
        flooders.push_back(&connect());

    size_t peak = 0;
    int told = 0;
    for (int n = 0; n < 200; n++)
        for (Client *f : flooders) {
            told += sendEvent(*f, "flood", n, 512) == UBUS_STATUS_NO_MEMORY;
            peak = std::max(peak, broker_->forwardedBytes());
        }
    // One partly written message per listener may go past the total.
    EXPECT_LE(peak, limits.maxForwardedBytesTotal + listeners.size() * 1024);
    EXPECT_GT(told, 0);
    for (Client *l : listeners)
        EXPECT_FALSE(drainInvokes(*l).empty());
    EXPECT_EQ(broker_->forwardedBytes(), 0u);
}

// Only the owner's answers to calls the broker passed to it reach a client:
// nobody can make another client hold data it never asked for.
TEST_F(BrokerFlow, AnswersReachOnlyTheCallersOfOpenCalls)
{
    Client &owner = connect();
    uint32_t object = publish(owner, "owner");
    Client &victim = connect();
    Client &caller = connect();

    answer(owner, UBUS_MSG_DATA, 5, victim.id, object);
    answer(owner, UBUS_MSG_STATUS, 5, victim.id, object);
    EXPECT_TRUE(receive(victim).empty());

    uint16_t seq = call(caller, object);
    ASSERT_EQ(invokes(owner).size(), 1u);
    answer(owner, UBUS_MSG_DATA, seq, caller.id, object);
    answer(owner, UBUS_MSG_DATA, seq, caller.id, object);
    answer(owner, UBUS_MSG_STATUS, seq, caller.id, object);
    // The call is over: nothing more for it.
    answer(owner, UBUS_MSG_DATA, seq, caller.id, object);
    std::vector<Msg> got = receive(caller);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].type, UBUS_MSG_DATA);
    EXPECT_EQ(got[1].type, UBUS_MSG_DATA);
    EXPECT_EQ(got[2].type, UBUS_MSG_STATUS);
    EXPECT_EQ(got[2].peer, object);
}

}  // namespace
