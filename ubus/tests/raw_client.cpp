#include "raw_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

std::string owner()
{
    return UBUS_OWNER_BIN;
}

blob_attr *Message::attr(int id)
{
    blob_attr *found = nullptr;
    size_t rem = body.size();
    uint8_t *pos = body.data();
    while (rem >= 4) {
        auto *a = reinterpret_cast<blob_attr *>(pos);
        size_t raw = blob_raw_len(a);
        size_t pad = blob_pad_len(a);
        if (raw < 4 || pad > rem)
            break;
        if (static_cast<int>(blob_id(a)) == id)
            found = a;
        rem -= pad;
        pos += pad;
    }
    return found;
}

int Message::status()
{
    blob_attr *a = attr(UBUS_ATTR_STATUS);
    return a && blob_len(a) == 4 ? static_cast<int>(blob_get_u32(a)) : -1000;
}

RawClient::RawClient(const std::string &socketPath)
{
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socketPath.c_str(), sizeof(addr.sun_path) - 1);
    Message hello;
    if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) < 0 || !receive(hello, 3000) ||
        hello.type != UBUS_MSG_HELLO) {
        close(fd_);
        fd_ = -1;
        return;
    }
    id_ = hello.peer;
}

RawClient::~RawClient()
{
    if (fd_ >= 0)
        close(fd_);
}

void RawClient::sendBytes(const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void RawClient::send(uint8_t type, uint16_t seq, uint32_t peer, const blob_attr *root)
{
    std::vector<uint8_t> msg(8 + blob_raw_len(root));
    msg[1] = type;
    msg[2] = static_cast<uint8_t>(seq >> 8);
    msg[3] = static_cast<uint8_t>(seq);
    uint32_t be = htobe32(peer);
    memcpy(&msg[4], &be, 4);
    memcpy(&msg[8], root, blob_raw_len(root));
    sendBytes(msg.data(), msg.size());
}

bool RawClient::readExact(void *buf, size_t len, int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto *p = static_cast<uint8_t *>(buf);
    while (len > 0) {
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, msLeft(deadline)) <= 0)
            return false;
        ssize_t n = recv(fd_, p, len, 0);
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool RawClient::receive(Message &msg, int timeoutMs)
{
    uint8_t hdr[12];
    if (fd_ < 0 || !readExact(hdr, sizeof(hdr), timeoutMs))
        return false;
    msg.type = hdr[1];
    msg.seq = static_cast<uint16_t>((hdr[2] << 8) | hdr[3]);
    uint32_t peer;
    memcpy(&peer, &hdr[4], 4);
    msg.peer = be32toh(peer);
    uint32_t raw = (static_cast<uint32_t>(hdr[9]) << 16) | (static_cast<uint32_t>(hdr[10]) << 8) | hdr[11];
    if (raw < 4 || raw > UBUS_MAX_MSGLEN)
        return false;
    msg.body.assign(((raw + 3) & ~3u) - 4, 0);
    return readExact(msg.body.data(), raw - 4, timeoutMs);
}

bool RawClient::closedByPeer(int timeoutMs)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    for (;;) {
        pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, msLeft(deadline)) <= 0)
            return false;
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
    }
}

}  // namespace e2e
