// Reading SOAP messages: the XML parser with the limits an endpoint on a
// network needs (size, depth, no document type declarations, hence no
// entities), and element lookup by namespace URI and local name, never by
// prefix: clients pick prefixes freely.
#ifndef GIMBAL_ONVIF_SOAP_MESSAGE_H
#define GIMBAL_ONVIF_SOAP_MESSAGE_H

#include <pugixml.hpp>

#include <cstddef>
#include <string>

namespace onvif {

namespace ns {
extern const char kSoap12[];
extern const char kSoap11[];
extern const char kDevice[];
extern const char kMedia[];
extern const char kPtz[];
extern const char kSchema[];
extern const char kError[];
extern const char kWsse[];
extern const char kWsu[];
extern const char kAddressing[];    // the 2004/08 form discovery uses
extern const char kAddressing10[];  // the W3C form
extern const char kDiscovery[];
extern const char kNetwork[];
}  // namespace ns

struct XmlLimits {
    size_t maxBytes = 64 * 1024;
    unsigned maxDepth = 32;
};

enum class XmlError { None, TooLarge, Doctype, Malformed, TooDeep };

// The namespace URI of an element ("" when it has none); prefixes are
// resolved through the xmlns declarations in scope.
std::string namespaceOf(pugi::xml_node element);
const char *localName(pugi::xml_node element);
bool isElement(pugi::xml_node node, const char *ns, const char *local);
// The first child element with this namespace and local name.
pugi::xml_node childElement(pugi::xml_node parent, const char *ns, const char *local);
// The first child element at all.
pugi::xml_node firstElement(pugi::xml_node parent);
// An attribute without prefix (schema attributes are unqualified).
pugi::xml_attribute plainAttribute(pugi::xml_node element, const char *local);
// An attribute in a namespace (soap:mustUnderstand).
pugi::xml_attribute qualifiedAttribute(pugi::xml_node element, const char *ns, const char *local);
// Text content with surrounding whitespace removed.
std::string textOf(pugi::xml_node element);
// Resolves a QName written as element content ("dn:NetworkVideoTransmitter").
bool resolveQName(pugi::xml_node context, const std::string &qname, std::string &ns,
                  std::string &local);

// A parsed SOAP envelope.
class SoapMessage {
public:
    XmlError load(const char *data, size_t size, const XmlLimits &limits = {});

    pugi::xml_node root() const { return doc_.document_element(); }
    bool isEnvelope() const;  // a SOAP 1.2 Envelope
    bool isSoap11() const;    // a SOAP 1.1 Envelope (answered with VersionMismatch)
    pugi::xml_node header() const;
    pugi::xml_node body() const;
    // The Body's first element: the operation.
    pugi::xml_node operation() const;

private:
    pugi::xml_document doc_;
};

}  // namespace onvif

#endif
