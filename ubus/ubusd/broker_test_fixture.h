// An in-process broker and raw clients on socketpairs for the broker's unit
// tests: messages are sent and the broker turned until it is idle, so every
// test runs without timing.
#ifndef UBUSD_BROKER_TEST_FIXTURE_H
#define UBUSD_BROKER_TEST_FIXTURE_H

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

class BrokerFixture : public ::testing::Test {
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

    // brokerSendBuffer: a small kernel buffer towards a client that will not
    // read, so that the broker starts queueing for it after a few messages.
    Client &connect(int brokerSendBuffer = 0)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        if (brokerSendBuffer > 0)
            setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &brokerSendBuffer, sizeof brokerSendBuffer);
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

    // An event {"v": value}, with a string of fill bytes beside it if asked.
    int sendEvent(Client &c, const char *id, int value, size_t fill = 0)
    {
        return invokeEvents(c, "send", [&] {
            if (id)
                blobmsg_add_string(&buf_, "id", id);
            if (value >= 0) {
                void *t = blobmsg_open_table(&buf_, "data");
                blobmsg_add_u32(&buf_, "v", static_cast<uint32_t>(value));
                if (fill)
                    blobmsg_add_string(&buf_, "fill", std::string(fill, 'f').c_str());
                blobmsg_close_table(&buf_, t);
            }
        });
    }

    // Sends a call with `fill` bytes of argument and returns its seq; the
    // answer is left for the caller to receive.
    uint16_t call(Client &c, uint32_t object, size_t fill = 0)
    {
        blob_buf_init(&buf_, 0);
        blob_put_int32(&buf_, UBUS_ATTR_OBJID, object);
        blob_put_string(&buf_, UBUS_ATTR_METHOD, "m");
        void *data = blob_nest_start(&buf_, UBUS_ATTR_DATA);
        if (fill)
            blobmsg_add_string(&buf_, "fill", std::string(fill, 'f').c_str());
        blob_nest_end(&buf_, data);
        return send(c, UBUS_MSG_INVOKE, object);
    }

    // An owner's answer to a call: DATA (with "v") or STATUS.
    void answer(Client &owner, uint8_t type, uint16_t seq, uint32_t caller, uint32_t object)
    {
        blob_buf_init(&buf_, 0);
        if (type == UBUS_MSG_STATUS)
            blob_put_int32(&buf_, UBUS_ATTR_STATUS, 0);
        blob_put_int32(&buf_, UBUS_ATTR_OBJID, object);
        if (type == UBUS_MSG_DATA) {
            void *data = blob_nest_start(&buf_, UBUS_ATTR_DATA);
            blobmsg_add_u32(&buf_, "v", 1);
            blob_nest_end(&buf_, data);
        }
        owner.seq = static_cast<uint16_t>(seq - 1);
        send(owner, type, caller);
    }

    // The STATUS for seq among msgs, or -1000.
    static int statusOf(std::vector<Msg> &msgs, uint16_t seq)
    {
        for (Msg &m : msgs)
            if (m.type == UBUS_MSG_STATUS && m.seq == seq)
                return m.status();
        return -1000;
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

#endif
