// The bus tests' own helpers: a raw protocol client and the test object
// owner. Processes and the private broker come from the shared end-to-end
// support library (e2e_support.h).
#ifndef UBUS_TESTS_RAW_CLIENT_H
#define UBUS_TESTS_RAW_CLIENT_H

#include <libubus.h>

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

struct Message {
    uint8_t type = 0;
    uint16_t seq = 0;
    uint32_t peer = 0;
    std::vector<uint8_t> body;  // the root's payload
    blob_attr *attr(int id);    // last attribute with that id, or nullptr
    int status();               // STATUS attribute, or -1000 if absent
};

// Speaks the wire protocol directly, for what the library would never send.
class RawClient {
public:
    explicit RawClient(const std::string &socketPath);
    ~RawClient();
    bool connected() const { return fd_ >= 0; }
    uint32_t id() const { return id_; }
    int fd() const { return fd_; }
    void sendBytes(const void *data, size_t len);
    void send(uint8_t type, uint16_t seq, uint32_t peer, const blob_attr *root);
    bool receive(Message &msg, int timeoutMs = 3000);
    // True once the broker has closed the connection (within timeoutMs).
    bool closedByPeer(int timeoutMs = 3000);

private:
    bool readExact(void *buf, size_t len, int timeoutMs);
    int fd_ = -1;
    uint32_t id_ = 0;
};

// The test object owner program (test_owner.cpp).
std::string owner();

}  // namespace e2e

#endif
