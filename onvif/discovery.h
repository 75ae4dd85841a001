// WS-Discovery: answers Probe messages sent to the multicast group on UDP
// 3702 with a ProbeMatch, announces the endpoint with Hello at start and
// Bye at stop. Runs on a thread of its own and never touches the bus.
#ifndef GIMBAL_ONVIF_DISCOVERY_H
#define GIMBAL_ONVIF_DISCOVERY_H

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace onvif {

struct DiscoveryOptions {
    std::string endpoint;  // "urn:uuid:..."
    std::vector<std::string> scopes;
    std::string listenAddress;  // the HTTP listen address; 0.0.0.0: the interface's
    uint16_t httpPort = 0;
    uint16_t udpPort = 3702;
    unsigned maxDelayMs = 500;  // answers are spread over this, as the protocol asks
};

// Whether a Probe (a whole SOAP message) asks for this device; its
// MessageID goes to *messageId. False for anything that is no Probe.
bool probeWanted(const char *data, size_t size, const std::vector<std::string> &scopes,
                 std::string *messageId);

// The messages, for the given service addresses ("http://a:p/onvif/device_service ...").
std::string probeMatchMessage(const DiscoveryOptions &options, const std::string &relatesTo,
                              const std::string &xaddrs, unsigned messageNumber);
std::string helloMessage(const DiscoveryOptions &options, const std::string &xaddrs,
                         unsigned messageNumber);
std::string byeMessage(const DiscoveryOptions &options, unsigned messageNumber);

class Discovery {
public:
    explicit Discovery(DiscoveryOptions options);
    ~Discovery();
    Discovery(const Discovery &) = delete;
    Discovery &operator=(const Discovery &) = delete;

    // Joins the group, sends Hello and starts answering.
    bool start(std::string &error);
    // Sends Bye and ends the thread.
    void stop();

private:
    void run();
    std::string xaddrsFor(const in_addr &local) const;
    std::string announcedXaddrs() const;
    void send(const std::string &message, const sockaddr_in &to);

    DiscoveryOptions options_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<unsigned> messageNumber_{1};
};

}  // namespace onvif

#endif
