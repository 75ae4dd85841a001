// The HTTP side with a real socket: what reaches the SOAP endpoint and what
// is turned away before, HTTP Digest, and requests waiting for the bus not
// holding up others.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mbedtls/md5.h>
#include <mbedtls/version.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>

#include "http_server.h"
#include "onvif_test_support.h"

using namespace onvif;
using onvif_test::contains;

namespace {

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
};

std::string md5hex(const std::string &text) {
    unsigned char out[16];
#if MBEDTLS_VERSION_MAJOR < 3
    mbedtls_md5_ret(reinterpret_cast<const unsigned char *>(text.data()), text.size(), out);
#else
    mbedtls_md5(reinterpret_cast<const unsigned char *>(text.data()), text.size(), out);
#endif
    char hex[33];
    for (int i = 0; i < 16; ++i) snprintf(hex + 2 * i, 3, "%02x", out[i]);
    return hex;
}

// The value of a parameter in a Digest challenge.
std::string param(const std::string &head, const std::string &name) {
    size_t at = head.find(name + "=\"");
    if (at == std::string::npos) return "";
    at += name.size() + 2;
    return head.substr(at, head.find('"', at) - at);
}

class OnvifHttp : public ::testing::Test {
protected:
    void SetUp() override {
        config.users = {{"admin", "secret"}};
        ASSERT_NO_FATAL_FAILURE(startServer());
    }
    void startServer() {
        server.reset();
        endpoint = std::make_unique<SoapEndpoint>(config, bus);
        HttpOptions options;
        options.address = "127.0.0.1";
        options.port = 0;
        server = std::make_unique<HttpServer>(*endpoint, options);
        std::string error;
        ASSERT_TRUE(server->start(error)) << error;
    }

    Reply exchange(const std::string &method, const std::string &path, const std::string &body,
                   const std::map<std::string, std::string> &headers = {
                       {"Content-Type", "application/soap+xml"}}) {
        Reply reply;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(server->port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit = {10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd);
            return reply;
        }
        std::string text =
            method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
            "\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        for (const auto &h : headers) text += h.first + ": " + h.second + "\r\n";
        text += "\r\n" + body;
        size_t sent = 0;
        while (sent < text.size()) {
            ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;  // the server may answer and close before it has read all
            sent += static_cast<size_t>(n);
        }
        std::string all;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0)
            all.append(buffer, static_cast<size_t>(n));
        close(fd);
        size_t end = all.find("\r\n\r\n");
        if (all.size() < 12 || end == std::string::npos) return reply;
        reply.status = std::stoi(all.substr(9, 3));
        reply.head = all.substr(0, end);
        reply.body = all.substr(end + 4);
        return reply;
    }

    Reply post(const std::string &body, const std::map<std::string, std::string> &extra = {}) {
        std::map<std::string, std::string> headers = {
            {"Content-Type", "application/soap+xml; charset=utf-8"}};
        headers.insert(extra.begin(), extra.end());
        return exchange("POST", "/onvif/device_service", body, headers);
    }

    std::string digest(const std::string &challenge, const std::string &password,
                       const std::string &path) {
        std::string nonce = param(challenge, "nonce"), realm = param(challenge, "realm");
        std::string ha1 = md5hex("admin:" + realm + ":" + password), ha2 = md5hex("POST:" + path);
        std::string response = md5hex(ha1 + ":" + nonce + ":00000001:0a4f113b:auth:" + ha2);
        return "Digest username=\"admin\", realm=\"" + realm + "\", nonce=\"" + nonce +
               "\", uri=\"" + path + "\", qop=auth, nc=00000001, cnonce=\"0a4f113b\", response=\"" +
               response + "\", opaque=\"" + param(challenge, "opaque") + "\"";
    }

    Config config;
    onvif_test::FakeBus bus;
    std::unique_ptr<SoapEndpoint> endpoint;
    std::unique_ptr<HttpServer> server;
};

const std::string kTime =
    onvif_test::request("<GetSystemDateAndTime xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/>");
const std::string kInformation =
    onvif_test::request("<GetDeviceInformation xmlns=\"http://www.onvif.org/ver10/device/wsdl\"/>");

}  // namespace

TEST_F(OnvifHttp, WhatIsNoSoapRequestIsTurnedAwayAndServingGoesOn) {
    EXPECT_EQ(405, exchange("GET", "/onvif/device_service", "").status);
    EXPECT_EQ(404, exchange("POST", "/index.html", kTime).status);
    EXPECT_EQ(415, exchange("POST", "/onvif/device_service", kTime,
                            {{"Content-Type", "application/json"}})
                       .status);
    EXPECT_EQ(415, exchange("POST", "/onvif/device_service", kTime, {}).status);
    EXPECT_EQ(413, post(std::string(1 << 20, 'x')).status);

    std::string deep;
    for (int i = 0; i < 20000; ++i) deep += "<a>";
    Reply r = post(deep);
    EXPECT_EQ(400, r.status);
    EXPECT_TRUE(contains(r.body, "ter:WellFormed"));
    r = post(
        "<!DOCTYPE l [<!ENTITY a \"aaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">]>" +
        kTime);
    EXPECT_EQ(400, r.status);

    r = post(kTime);
    EXPECT_EQ(200, r.status);
    EXPECT_TRUE(contains(r.head, "Content-Type: application/soap+xml"));
    EXPECT_TRUE(contains(r.body, "<tt:UTCDateTime>"));
}

TEST_F(OnvifHttp, DigestCredentialsOpenWhatNeedsAuthentication) {
    Reply challenge = post(kInformation);
    ASSERT_EQ(401, challenge.status);
    ASSERT_TRUE(contains(challenge.head, "WWW-Authenticate: Digest")) << challenge.head;
    EXPECT_TRUE(contains(challenge.body, "ter:NotAuthorized"));

    Reply in = post(kInformation,
                    {{"Authorization", digest(challenge.head, "secret", "/onvif/device_service")}});
    EXPECT_EQ(200, in.status) << in.head;
    EXPECT_TRUE(contains(in.body, "GetDeviceInformationResponse"));

    Reply wrong =
        post(kInformation,
             {{"Authorization", digest(challenge.head, "guess", "/onvif/device_service")}});
    EXPECT_EQ(401, wrong.status);
    Reply forged = post(kInformation, {{"Authorization",
                                        "Digest username=\"admin\", realm=\"x\", nonce=\"1\", "
                                        "uri=\"/onvif/device_service\", response=\"00\""}});
    EXPECT_EQ(401, forged.status);
    EXPECT_EQ(401, post(kInformation, {{"Authorization", "Basic YWRtaW46c2VjcmV0"}}).status);
}

TEST_F(OnvifHttp, ARequestWaitingForTheBusHoldsUpNoOther) {
    config.users.clear();
    ASSERT_NO_FATAL_FAILURE(startServer());

    Reply status;
    std::thread waiting([&] {
        status =
            exchange("POST", "/onvif/ptz_service",
                     onvif_test::request("<GetStatus xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\">"
                                         "<ProfileToken>Profile_1</ProfileToken></GetStatus>"));
    });
    auto pendingCalls = [&] {
        std::lock_guard<std::mutex> lock(bus.mutex);
        return bus.calls.size();
    };
    for (int i = 0; i < 1000 && pendingCalls() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(1u, pendingCalls());
    EXPECT_EQ(1, server->pending());
    EXPECT_EQ(200, post(kTime).status);
    // The bus thread hands the answer over.
    std::thread busThread([&] { bus.answer(kBusTimeout); });
    busThread.join();
    waiting.join();
    EXPECT_EQ(500, status.status);
    EXPECT_TRUE(contains(status.body, "did not answer in time"));
    EXPECT_EQ(0, server->pending());
}
