#include "discovery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <sstream>

#include "crypto.h"
#include "soap_message.h"
#include "soap_writer.h"

namespace onvif {

namespace {

const char kGroup[] = "239.255.255.250";
const char kRfc3986[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/rfc3986";
const char kStrcmp0[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0";
const size_t kMaxQueued = 16;           // answers waiting for their delay
const unsigned kAnswersPerSecond = 20;  // a flood of probes gets no flood of answers

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    std::string word;
    while (in >> word) out.push_back(word);
    return out;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return text;
}

// RFC 3986 matching as discovery defines it: same scheme and authority
// (case-insensitive), and the probe's path segments a prefix of ours.
bool scopeMatches(const std::string &wanted, const std::string &ours) {
    auto split = [](const std::string &uri, std::string &head, std::vector<std::string> &segments) {
        size_t scheme = uri.find(':');
        if (scheme == std::string::npos) return false;
        size_t pathStart =
            uri.compare(scheme + 1, 2, "//") == 0 ? uri.find('/', scheme + 3) : scheme + 1;
        if (pathStart == std::string::npos) pathStart = uri.size();
        head = lower(uri.substr(0, pathStart));
        std::string path = uri.substr(pathStart);
        size_t start = 0;
        while (start < path.size()) {
            size_t end = path.find('/', start);
            if (end == std::string::npos) end = path.size();
            if (end > start) segments.push_back(path.substr(start, end - start));
            start = end + 1;
        }
        return true;
    };
    std::string wantedHead, ourHead;
    std::vector<std::string> wantedPath, ourPath;
    if (!split(wanted, wantedHead, wantedPath) || !split(ours, ourHead, ourPath)) return false;
    if (wantedHead != ourHead || wantedPath.size() > ourPath.size()) return false;
    return std::equal(wantedPath.begin(), wantedPath.end(), ourPath.begin());
}

std::string header(const char *action, const std::string &messageId, const std::string &to,
                   const std::string &relatesTo, const std::string &instanceId,
                   unsigned messageNumber) {
    std::string out = std::string("<a:Action>") + action +
                      "</a:Action><a:MessageID>urn:uuid:" + messageId + "</a:MessageID>";
    if (!relatesTo.empty()) out += "<a:RelatesTo>" + xmlEscape(relatesTo) + "</a:RelatesTo>";
    out += "<a:To>" + to + "</a:To><d:AppSequence InstanceId=\"" + instanceId +
           "\" MessageNumber=\"" + std::to_string(messageNumber) + "\"/>";
    return out;
}

// Changes with every start, as the sequence numbers start over.
const std::string &instanceId() {
    static const std::string id = std::to_string(time(nullptr));
    return id;
}

std::string message(const std::string &head, const std::string &body) {
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
               " xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\""
               " xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\""
               " xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\""
               " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"><s:Header>") +
           head + "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>\n";
}

std::string scopesText(const std::vector<std::string> &scopes) {
    std::string out;
    for (const std::string &scope : scopes) out += (out.empty() ? "" : " ") + xmlEscape(scope);
    return out;
}

std::string endpointXml(const DiscoveryOptions &options) {
    return "<a:EndpointReference><a:Address>" + xmlEscape(options.endpoint) +
           "</a:Address></a:EndpointReference>";
}

const char kTypes[] = "<d:Types>dn:NetworkVideoTransmitter tds:Device</d:Types>";

// musl's CMSG_NXTHDR compares a signed with an unsigned length inside the
// macro, which clang reports where it is expanded.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
cmsghdr *nextControlHeader(msghdr *msg, cmsghdr *header) { return CMSG_NXTHDR(msg, header); }
#pragma GCC diagnostic pop

}  // namespace

bool probeWanted(const char *data, size_t size, const std::vector<std::string> &scopes,
                 std::string *messageId) {
    SoapMessage probe;
    if (probe.load(data, size) != XmlError::None || !probe.isEnvelope()) return false;
    pugi::xml_node body = probe.operation();
    if (!isElement(body, ns::kDiscovery, "Probe")) return false;
    if (messageId) *messageId = textOf(childElement(probe.header(), ns::kAddressing, "MessageID"));
    pugi::xml_node types = childElement(body, ns::kDiscovery, "Types");
    for (const std::string &qname : words(textOf(types))) {
        std::string uri, local;
        if (!resolveQName(types, qname, uri, local)) return false;
        bool ours = (uri == ns::kNetwork && local == "NetworkVideoTransmitter") ||
                    (uri == ns::kDevice && local == "Device");
        if (!ours) return false;
    }
    pugi::xml_node wanted = childElement(body, ns::kDiscovery, "Scopes");
    std::string matchBy = plainAttribute(wanted, "MatchBy").value();
    if (!matchBy.empty() && matchBy != kRfc3986 && matchBy != kStrcmp0) return false;
    for (const std::string &scope : words(textOf(wanted))) {
        bool found = false;
        for (const std::string &own : scopes)
            found = found || (matchBy == kStrcmp0 ? scope == own : scopeMatches(scope, own));
        if (!found) return false;
    }
    return true;
}

std::string probeMatchMessage(const DiscoveryOptions &options, const std::string &relatesTo,
                              const std::string &xaddrs, unsigned messageNumber) {
    return message(
        header("http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches", randomUuid(),
               "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous", relatesTo,
               instanceId(), messageNumber),
        "<d:ProbeMatches><d:ProbeMatch>" + endpointXml(options) + kTypes + "<d:Scopes>" +
            scopesText(options.scopes) + "</d:Scopes><d:XAddrs>" + xmlEscape(xaddrs) +
            "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion></d:ProbeMatch></d:ProbeMatches>");
}

std::string helloMessage(const DiscoveryOptions &options, const std::string &xaddrs,
                         unsigned messageNumber) {
    return message(
        header("http://schemas.xmlsoap.org/ws/2005/04/discovery/Hello", randomUuid(),
               "urn:schemas-xmlsoap-org:ws:2005:04:discovery", "", instanceId(), messageNumber),
        "<d:Hello>" + endpointXml(options) + kTypes + "<d:Scopes>" + scopesText(options.scopes) +
            "</d:Scopes><d:XAddrs>" + xmlEscape(xaddrs) +
            "</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion></d:Hello>");
}

std::string byeMessage(const DiscoveryOptions &options, unsigned messageNumber) {
    return message(
        header("http://schemas.xmlsoap.org/ws/2005/04/discovery/Bye", randomUuid(),
               "urn:schemas-xmlsoap-org:ws:2005:04:discovery", "", instanceId(), messageNumber),
        "<d:Bye>" + endpointXml(options) + "</d:Bye>");
}

Discovery::Discovery(DiscoveryOptions options) : options_(std::move(options)) {}

Discovery::~Discovery() { stop(); }

std::string Discovery::xaddrsFor(const in_addr &local) const {
    char text[INET_ADDRSTRLEN] = "";
    in_addr address = local;
    in_addr configured;
    if (inet_pton(AF_INET, options_.listenAddress.c_str(), &configured) == 1 &&
        configured.s_addr != INADDR_ANY)
        address = configured;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return std::string("http://") + text + ":" + std::to_string(options_.httpPort) +
           "/onvif/device_service";
}

// Hello names every IPv4 address the endpoint is reached at.
std::string Discovery::announcedXaddrs() const {
    in_addr configured;
    if (inet_pton(AF_INET, options_.listenAddress.c_str(), &configured) == 1 &&
        configured.s_addr != INADDR_ANY)
        return xaddrsFor(configured);
    std::string out;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
                (i->ifa_flags & IFF_LOOPBACK))
                continue;
            out += (out.empty() ? "" : " ") +
                   xaddrsFor(reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr);
        }
        freeifaddrs(list);
    }
    if (out.empty()) {
        in_addr loopback;
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        out = xaddrsFor(loopback);
    }
    return out;
}

void Discovery::send(const std::string &text, const sockaddr_in &to) {
    sendto(fd_, text.data(), text.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to),
           sizeof to);
}

bool Discovery::start(std::string &error) {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("discovery socket: ") + strerror(errno);
        return false;
    }
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    unsigned char ttl = 1, loop = 1;
    setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
    sockaddr_in bound = {};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(options_.udpPort);
    bound.sin_addr.s_addr = htonl(INADDR_ANY);
    ip_mreq group = {};
    inet_pton(AF_INET, kGroup, &group.imr_multiaddr);
    group.imr_interface.s_addr = htonl(INADDR_ANY);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&bound), sizeof bound) != 0 ||
        setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) != 0 ||
        pipe2(wake_, O_CLOEXEC) != 0) {
        error = std::string("discovery on UDP ") + std::to_string(options_.udpPort) + ": " +
                strerror(errno);
        close(fd_);
        fd_ = -1;
        return false;
    }
    sockaddr_in multicast = {};
    multicast.sin_family = AF_INET;
    multicast.sin_port = htons(options_.udpPort);
    multicast.sin_addr = group.imr_multiaddr;
    send(helloMessage(options_, announcedXaddrs(), messageNumber_++), multicast);
    thread_ = std::thread(&Discovery::run, this);
    return true;
}

void Discovery::stop() {
    if (fd_ < 0) return;
    if (thread_.joinable()) {
        char stop = 1;
        (void)!write(wake_[1], &stop, 1);
        thread_.join();
    }
    sockaddr_in multicast = {};
    multicast.sin_family = AF_INET;
    multicast.sin_port = htons(options_.udpPort);
    inet_pton(AF_INET, kGroup, &multicast.sin_addr);
    send(byeMessage(options_, messageNumber_++), multicast);
    close(fd_);
    close(wake_[0]);
    close(wake_[1]);
    fd_ = -1;
}

void Discovery::run() {
    using Clock = std::chrono::steady_clock;
    struct Answer {
        Clock::time_point due;
        sockaddr_in to;
        std::string text;
    };
    std::deque<Answer> queued;
    Clock::time_point windowStart = Clock::now();
    unsigned answered = 0;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        int timeout = -1;
        if (!queued.empty()) {
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(queued.front().due -
                                                                              Clock::now())
                            .count();
            timeout = wait < 0 ? 0 : static_cast<int>(wait);
        }
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        while (!queued.empty() && queued.front().due <= Clock::now()) {
            send(queued.front().text, queued.front().to);
            queued.pop_front();
        }
        if (!(fds[0].revents & POLLIN)) continue;

        sockaddr_in from = {};
        char control[256];
        iovec io = {buffer.data(), buffer.size()};
        msghdr msg = {};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof from;
        msg.msg_iov = &io;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t got = recvmsg(fd_, &msg, MSG_DONTWAIT);
        if (got <= 0 || (msg.msg_flags & MSG_TRUNC)) continue;
        in_pktinfo info = {};
        bool haveInfo = false;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = nextControlHeader(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                memcpy(&info, CMSG_DATA(c), sizeof info);
                haveInfo = true;
            }
        // Only probes sent to the group: a directed probe with a forged
        // source would make this device send unsolicited traffic elsewhere.
        in_addr groupAddress;
        inet_pton(AF_INET, kGroup, &groupAddress);
        if (!haveInfo || info.ipi_addr.s_addr != groupAddress.s_addr) continue;
        std::string relatesTo;
        if (!probeWanted(buffer.data(), static_cast<size_t>(got), options_.scopes, &relatesTo))
            continue;
        if (Clock::now() - windowStart >= std::chrono::seconds(1)) {
            windowStart = Clock::now();
            answered = 0;
        }
        if (answered >= kAnswersPerSecond || queued.size() >= kMaxQueued) continue;
        ++answered;
        unsigned delay = 0;
        if (options_.maxDelayMs > 0) {
            std::string r = randomBytes(2);
            delay = (static_cast<unsigned char>(r[0]) << 8 | static_cast<unsigned char>(r[1])) %
                    (options_.maxDelayMs + 1);
        }
        Answer answer{
            Clock::now() + std::chrono::milliseconds(delay), from,
            probeMatchMessage(options_, relatesTo, xaddrsFor(info.ipi_spec_dst), messageNumber_++)};
        auto at =
            std::upper_bound(queued.begin(), queued.end(), answer.due,
                             [](Clock::time_point due, const Answer &a) { return due < a.due; });
        queued.insert(at, std::move(answer));
    }
}

}  // namespace onvif
