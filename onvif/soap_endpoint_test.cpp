// The endpoint without HTTP: SOAP version, faults for broken or hostile
// requests, and who may call what.
#include <gtest/gtest.h>

#include "onvif_test_support.h"
#include "soap_endpoint.h"

using namespace onvif;
using onvif_test::contains;
using onvif_test::request;

namespace {

const char kDeviceNs[] = "xmlns=\"http://www.onvif.org/ver10/device/wsdl\"";

class OnvifEndpoint : public ::testing::Test {
protected:
    OnvifEndpoint() {
        config.users = {{"admin", "secret"}};
        endpoint = std::make_unique<SoapEndpoint>(config, bus);
    }
    // The answer given at once (these cases never reach the bus).
    SoapResponse send(const std::string &text, bool digestUser = false) {
        SoapResponse out;
        int answers = 0;
        RequestContext context{"http://127.0.0.1:8000", digestUser};
        endpoint->handle(text.data(), text.size(), context, [&](SoapResponse r) {
            out = std::move(r);
            ++answers;
        });
        EXPECT_EQ(1, answers);
        return out;
    }

    Config config;
    onvif_test::FakeBus bus;
    std::unique_ptr<SoapEndpoint> endpoint;
};

}  // namespace

TEST_F(OnvifEndpoint, OnlyTheFirstContactOperationsAnswerWithoutCredentials) {
    for (const char *op : {"GetSystemDateAndTime", "GetCapabilities", "GetServices"}) {
        SoapResponse r = send(request(std::string("<") + op + " " + kDeviceNs + "/>"));
        EXPECT_EQ(200u, r.httpStatus) << op;
        EXPECT_TRUE(contains(r.body, std::string(op) + "Response")) << op;
    }
    for (const char *op :
         {"GetDeviceInformation", "GetScopes", "GetHostname", "GetServiceCapabilities"}) {
        SoapResponse r = send(request(std::string("<") + op + " " + kDeviceNs + "/>"));
        EXPECT_EQ(401u, r.httpStatus) << op;
        EXPECT_TRUE(r.challenge) << op;
        EXPECT_TRUE(contains(r.body, "ter:NotAuthorized")) << op;
    }
    SoapResponse r =
        send(request("<GetProfiles xmlns=\"http://www.onvif.org/ver10/media/wsdl\"/>"));
    EXPECT_EQ(401u, r.httpStatus);
}

TEST_F(OnvifEndpoint, UsernameTokenOrDigestOpensTheRest) {
    const std::string op = std::string("<GetDeviceInformation ") + kDeviceNs + "/>";
    SoapResponse good =
        send(request(op, onvif_test::securityHeader("admin", "secret", time(nullptr))));
    EXPECT_EQ(200u, good.httpStatus);
    EXPECT_TRUE(contains(good.body, "<tds:Manufacturer>Gimbalhub</tds:Manufacturer>"));

    SoapResponse wrong =
        send(request(op, onvif_test::securityHeader("admin", "guess", time(nullptr))));
    EXPECT_EQ(400u, wrong.httpStatus);
    EXPECT_FALSE(wrong.challenge);
    EXPECT_TRUE(contains(wrong.body, "ter:NotAuthorized"));
    // The same words whether the name or the password was wrong.
    SoapResponse stranger =
        send(request(op, onvif_test::securityHeader("root", "secret", time(nullptr))));
    EXPECT_EQ(wrong.body, stranger.body);

    SoapResponse stale =
        send(request(op, onvif_test::securityHeader("admin", "secret", time(nullptr) - 3600)));
    EXPECT_EQ(400u, stale.httpStatus);

    EXPECT_EQ(200u, send(request(op), true).httpStatus);
}

TEST_F(OnvifEndpoint, NoUsersMeansNoCredentialsAsked) {
    Config open;
    onvif_test::FakeBus quiet;
    SoapEndpoint anyone(open, quiet);
    std::string text = request(std::string("<GetDeviceInformation ") + kDeviceNs + "/>");
    SoapResponse out;
    anyone.handle(text.data(), text.size(), {"http://h", false}, [&](SoapResponse r) { out = r; });
    EXPECT_EQ(200u, out.httpStatus);
}

TEST_F(OnvifEndpoint, BrokenAndHostileRequestsGetFaults) {
    SoapResponse r =
        send("<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>");
    EXPECT_EQ(400u, r.httpStatus);
    EXPECT_TRUE(contains(r.body, "ter:WellFormed"));

    r = send(
        "<!DOCTYPE a [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>" +
        request(std::string("<GetSystemDateAndTime ") + kDeviceNs + ">&b;</GetSystemDateAndTime>"));
    EXPECT_EQ(400u, r.httpStatus);
    EXPECT_TRUE(contains(r.body, "ter:WellFormed"));

    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<x>";
    for (int i = 0; i < 5000; ++i) deep += "</x>";
    r = send(request(std::string("<GetSystemDateAndTime ") + kDeviceNs + ">" + deep +
                     "</GetSystemDateAndTime>"));
    EXPECT_EQ(400u, r.httpStatus);

    r = send(std::string(70000, '<'));
    EXPECT_EQ(400u, r.httpStatus);

    r = send(
        "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body/></e:Envelope>");
    EXPECT_EQ(500u, r.httpStatus);
    EXPECT_TRUE(contains(r.body, "s:VersionMismatch"));

    r = send(request(""));
    EXPECT_TRUE(contains(r.body, "ter:Tag"));

    r = send(request(std::string("<GetSystemDateAndTime ") + kDeviceNs + "/>",
                     "<x:Trace xmlns:x=\"urn:vendor\" s:mustUnderstand=\"true\"/>"));
    EXPECT_TRUE(contains(r.body, "s:MustUnderstand"));

    r = send(request("<Launch xmlns=\"urn:rockets\"/>",
                     onvif_test::securityHeader("admin", "secret", time(nullptr))));
    EXPECT_EQ(500u, r.httpStatus);
    EXPECT_TRUE(contains(r.body, "ter:ActionNotSupported"));
    EXPECT_TRUE(bus.calls.empty());
}

TEST_F(OnvifEndpoint, NetworkInterfacesAreNotImplementedTheStandardWay) {
    SoapResponse r = send(request(std::string("<GetNetworkInterfaces ") + kDeviceNs + "/>"), true);
    EXPECT_EQ(500u, r.httpStatus);
    EXPECT_TRUE(contains(
        r.body, "<s:Value>s:Receiver</s:Value><s:Subcode><s:Value>ter:ActionNotSupported"));
}

TEST_F(OnvifEndpoint, AddressesFollowTheHostTheClientUsed) {
    SoapResponse r = send(request(std::string("<GetServices ") + kDeviceNs +
                                  "><IncludeCapability>true</IncludeCapability></GetServices>"));
    EXPECT_TRUE(contains(r.body, "<tds:XAddr>http://127.0.0.1:8000/onvif/ptz_service</tds:XAddr>"));
    EXPECT_TRUE(contains(r.body, "MoveStatus=\"true\" StatusPosition=\"true\""));
    r = send(request(std::string("<GetCapabilities ") + kDeviceNs +
                     "><Category>PTZ</Category></GetCapabilities>"));
    EXPECT_TRUE(contains(r.body, "<tt:PTZ><tt:XAddr>http://127.0.0.1:8000/onvif/ptz_service"));
    EXPECT_FALSE(contains(r.body, "<tt:Media>"));
    r = send(request(std::string("<GetCapabilities ") + kDeviceNs +
                     "><Category>Analytics</Category></GetCapabilities>"));
    EXPECT_TRUE(contains(r.body, "ter:NoSuchService"));
}
