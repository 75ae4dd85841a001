// Reading requests: namespaces by URI whatever the prefixes, and the limits
// that keep hostile XML from costing memory, stack or time.
#include <gtest/gtest.h>

#include <string>

#include "soap_message.h"

using namespace onvif;

namespace {

XmlError load(SoapMessage &m, const std::string &text) { return m.load(text.data(), text.size()); }

}  // namespace

TEST(OnvifSoapMessage, OperationIsFoundByNamespaceWhateverThePrefix) {
    const char *forms[] = {
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"
        "<GetStatus xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"/></s:Body></s:Envelope>",
        "<env:Envelope xmlns:env=\"http://www.w3.org/2003/05/soap-envelope\" "
        "xmlns:x=\"http://www.onvif.org/ver20/ptz/wsdl\"><env:Body><x:GetStatus/></env:Body></"
        "env:Envelope>",
        "<Envelope xmlns=\"http://www.w3.org/2003/05/soap-envelope\"><Body>"
        "<p:GetStatus xmlns:p=\"http://www.onvif.org/ver20/ptz/wsdl\"/></Body></Envelope>",
    };
    for (const char *form : forms) {
        SoapMessage m;
        ASSERT_EQ(XmlError::None, load(m, form)) << form;
        ASSERT_TRUE(m.isEnvelope()) << form;
        EXPECT_EQ(ns::kPtz, namespaceOf(m.operation())) << form;
        EXPECT_STREQ("GetStatus", localName(m.operation())) << form;
    }
}

TEST(OnvifSoapMessage, APrefixMeansWhatItsNearestDeclarationSays) {
    SoapMessage m;
    ASSERT_EQ(
        XmlError::None,
        load(
            m,
            "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" xmlns:t=\"urn:other\">"
            "<s:Body><t:Stop "
            "xmlns:t=\"http://www.onvif.org/ver20/ptz/wsdl\"><t:PanTilt>true</t:PanTilt>"
            "</t:Stop></s:Body></s:Envelope>"));
    pugi::xml_node op = m.operation();
    EXPECT_TRUE(isElement(op, ns::kPtz, "Stop"));
    EXPECT_EQ("true", textOf(childElement(op, ns::kPtz, "PanTilt")));
    // The same local name in another namespace is another element.
    EXPECT_FALSE(childElement(op, ns::kSchema, "PanTilt"));
    // An undeclared prefix resolves to nothing.
    SoapMessage undeclared;
    ASSERT_EQ(XmlError::None, load(undeclared, "<q:Envelope/>"));
    EXPECT_FALSE(undeclared.isEnvelope());
}

TEST(OnvifSoapMessage, QNamesInTextResolveAgainstTheirScope) {
    SoapMessage m;
    ASSERT_EQ(XmlError::None,
              load(m, "<a xmlns:dn=\"http://www.onvif.org/ver10/network/wsdl\"><b>x</b></a>"));
    std::string uri, local;
    ASSERT_TRUE(resolveQName(m.root().first_child(), "dn:NetworkVideoTransmitter", uri, local));
    EXPECT_EQ(ns::kNetwork, uri);
    EXPECT_EQ("NetworkVideoTransmitter", local);
    EXPECT_FALSE(resolveQName(m.root(), "zz:Device", uri, local));
    EXPECT_FALSE(resolveQName(m.root(), "a:b:c", uri, local));
}

TEST(OnvifSoapMessage, HostileDocumentsAreRefusedBeforeTheyCost) {
    SoapMessage m;
    // Entity expansion and external entities need a document type declaration.
    EXPECT_EQ(XmlError::Doctype,
              load(m,
                   "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
                   "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;\">]><lolz>&lol2;</lolz>"));
    EXPECT_EQ(XmlError::Doctype,
              load(m, "<!DOCTYPE x [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><x>&e;</x>"));
    // Without one an entity reference is plain text, never a file's content.
    ASSERT_EQ(XmlError::None, load(m, "<x>&e;</x>"));
    EXPECT_EQ("&e;", textOf(m.root()));

    std::string deep;
    for (int i = 0; i < 10000; ++i) deep += "<a>";
    for (int i = 0; i < 10000; ++i) deep += "</a>";
    XmlLimits limits;
    limits.maxBytes = 1 << 20;
    EXPECT_EQ(XmlError::TooDeep, m.load(deep.data(), deep.size(), limits));
    std::string shallow;
    for (int i = 0; i < 32; ++i) shallow += "<a>";
    for (int i = 0; i < 32; ++i) shallow += "</a>";
    EXPECT_EQ(XmlError::None, load(m, shallow));

    std::string huge(64 * 1024 + 1, ' ');
    EXPECT_EQ(XmlError::TooLarge, load(m, huge));
    EXPECT_EQ(XmlError::Malformed, load(m, "<a><b></a>"));
    EXPECT_EQ(XmlError::Malformed, load(m, ""));
    EXPECT_EQ(XmlError::Malformed, load(m, std::string("<a>\0</a>", 8)));
}
