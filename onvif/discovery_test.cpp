// WS-Discovery messages: the probes the npm clients send are answered, other
// types and scopes are not, and what is sent carries what clients read.
#include <gtest/gtest.h>

#include "discovery.h"
#include "onvif_test_support.h"
#include "soap_message.h"

using namespace onvif;
using onvif_test::contains;

namespace {

const std::vector<std::string> kScopes = {"onvif://www.onvif.org/type/ptz",
                                          "onvif://www.onvif.org/name/roof%20cam",
                                          "onvif://www.onvif.org/location/country/de"};

bool wanted(const std::string &probe, std::string *id = nullptr) {
    return probeWanted(probe.data(), probe.size(), kScopes, id);
}

std::string probe(const std::string &types, const std::string &scopes = "",
                  const std::string &matchBy = "") {
    return "<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"><Header>"
           "<wsa:MessageID "
           "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\">urn:uuid:42</"
           "wsa:MessageID>"
           "</Header><Body><Probe "
           "xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"><Types>" +
           types + "</Types><Scopes" + (matchBy.empty() ? "" : " MatchBy=\"" + matchBy + "\"") +
           ">" + scopes + "</Scopes></Probe></Body></Envelope>";
}

}  // namespace

TEST(OnvifDiscoveryProbe, TheClientsProbesAreAnswered) {
    std::string id;
    EXPECT_TRUE(wanted(probe("dn:NetworkVideoTransmitter"), &id));
    EXPECT_EQ("urn:uuid:42", id);
    // node-onvif declares its own prefix on Types.
    EXPECT_TRUE(wanted(
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\"><s:Header>"
        "<a:Action "
        "s:mustUnderstand=\"1\">http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action>"
        "<a:MessageID>uuid:1</a:MessageID></s:Header><s:Body>"
        "<Probe xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"><d:Types "
        "xmlns:d=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
        "xmlns:dp0=\"http://www.onvif.org/ver10/network/wsdl\">dp0:NetworkVideoTransmitter</"
        "d:Types>"
        "</Probe></s:Body></s:Envelope>"));
    EXPECT_TRUE(wanted(probe("")));
    std::string device = probe("tds:Device");
    device.insert(device.find(" xmlns:dn="),
                  " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\"");
    EXPECT_TRUE(wanted(device));
}

TEST(OnvifDiscoveryProbe, OtherTypesAndScopesAreNot) {
    EXPECT_FALSE(wanted(probe("dn:Printer")));
    EXPECT_FALSE(wanted(probe("x:NetworkVideoTransmitter")));  // undeclared prefix
    EXPECT_TRUE(wanted(probe("", "onvif://www.onvif.org/location/country")));
    EXPECT_TRUE(wanted(probe("", "ONVIF://WWW.ONVIF.ORG/type/ptz")));
    EXPECT_FALSE(wanted(probe("", "onvif://www.onvif.org/location/coun")));
    EXPECT_FALSE(
        wanted(probe("", "onvif://www.onvif.org/type/ptz onvif://www.onvif.org/type/audio")));
    EXPECT_TRUE(wanted(probe("", "onvif://www.onvif.org/name/roof%20cam",
                             "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0")));
    EXPECT_FALSE(wanted(probe("", "onvif://www.onvif.org/name",
                              "http://schemas.xmlsoap.org/ws/2005/04/discovery/strcmp0")));
    EXPECT_FALSE(wanted(probe("", "onvif://www.onvif.org/type", "urn:unknown-rule")));
    EXPECT_FALSE(
        wanted("<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Body><Resolve "
               "xmlns=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\"/></Body></Envelope>"));
    EXPECT_FALSE(wanted("garbage"));
}

TEST(OnvifDiscoveryMessages, CarryTheEndpointTypesScopesAndAddresses) {
    DiscoveryOptions options;
    options.endpoint = "urn:uuid:4b020cab-cded-5697-bc47-a1f808a6f0f2";
    options.scopes = kScopes;
    const std::string xaddrs = "http://192.0.2.7:8000/onvif/device_service";
    for (const std::string &text : {probeMatchMessage(options, "urn:uuid:42", xaddrs, 3),
                                    helloMessage(options, xaddrs, 1), byeMessage(options, 2)}) {
        SoapMessage m;
        ASSERT_EQ(XmlError::None, m.load(text.data(), text.size())) << text;
        pugi::xml_node op = m.operation();
        if (isElement(op, ns::kDiscovery, "ProbeMatches")) {
            op = childElement(op, ns::kDiscovery, "ProbeMatch");
            EXPECT_EQ("urn:uuid:42",
                      textOf(childElement(m.header(), ns::kAddressing, "RelatesTo")));
        }
        pugi::xml_node epr = childElement(op, ns::kAddressing, "EndpointReference");
        EXPECT_EQ(options.endpoint, textOf(childElement(epr, ns::kAddressing, "Address"))) << text;
        if (isElement(op, ns::kDiscovery, "Bye")) continue;
        pugi::xml_node types = childElement(op, ns::kDiscovery, "Types");
        std::string uri, local;
        ASSERT_TRUE(resolveQName(types, "dn:NetworkVideoTransmitter", uri, local));
        EXPECT_EQ(ns::kNetwork, uri);
        EXPECT_EQ("dn:NetworkVideoTransmitter tds:Device", textOf(types));
        EXPECT_TRUE(contains(textOf(childElement(op, ns::kDiscovery, "Scopes")),
                             "onvif://www.onvif.org/type/ptz"));
        EXPECT_EQ(xaddrs, textOf(childElement(op, ns::kDiscovery, "XAddrs")));
    }
}

TEST(OnvifDiscoveryEndpoint, TheUuidIsStablePerDevice) {
    EXPECT_EQ("4b020cab-cded-5697-bc47-a1f808a6f0f2", nameUuid("gimbalhub/0000"));
    EXPECT_NE(nameUuid("gimbalhub/0001"), nameUuid("gimbalhub/0000"));
    EXPECT_NE(randomUuid(), randomUuid());
}
