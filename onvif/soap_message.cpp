#include "soap_message.h"

#include <algorithm>
#include <cstring>

namespace onvif {

namespace ns {
const char kSoap12[] = "http://www.w3.org/2003/05/soap-envelope";
const char kSoap11[] = "http://schemas.xmlsoap.org/soap/envelope/";
const char kDevice[] = "http://www.onvif.org/ver10/device/wsdl";
const char kMedia[] = "http://www.onvif.org/ver10/media/wsdl";
const char kPtz[] = "http://www.onvif.org/ver20/ptz/wsdl";
const char kSchema[] = "http://www.onvif.org/ver10/schema";
const char kError[] = "http://www.onvif.org/ver10/error";
const char kWsse[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd";
const char kWsu[] =
    "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd";
const char kAddressing[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
const char kAddressing10[] = "http://www.w3.org/2005/08/addressing";
const char kDiscovery[] = "http://schemas.xmlsoap.org/ws/2005/04/discovery";
const char kNetwork[] = "http://www.onvif.org/ver10/network/wsdl";
}  // namespace ns

namespace {

const char kXmlNs[] = "http://www.w3.org/XML/1998/namespace";

// The URI bound to a prefix ("" for the default namespace) where the node
// stands; the depth limit bounds this walk.
bool lookupPrefix(pugi::xml_node node, const std::string &prefix, std::string &uri) {
    if (prefix == "xml") {
        uri = kXmlNs;
        return true;
    }
    std::string attribute = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    for (; node && node.type() == pugi::node_element; node = node.parent()) {
        pugi::xml_attribute declaration = node.attribute(attribute.c_str());
        if (declaration) {
            uri = declaration.value();
            return true;
        }
    }
    uri.clear();
    return prefix.empty();
}

// Depth of the deepest element, walked without recursion.
bool withinDepth(const pugi::xml_document &doc, unsigned maxDepth) {
    pugi::xml_node node = doc.first_child();
    unsigned depth = 1;
    while (node) {
        if (node.first_child()) {
            node = node.first_child();
            if (++depth > maxDepth) return false;
            continue;
        }
        while (node && !node.next_sibling()) {
            node = node.parent();
            --depth;
            if (node == doc) return true;
        }
        if (node) node = node.next_sibling();
    }
    return true;
}

}  // namespace

std::string namespaceOf(pugi::xml_node element) {
    const char *name = element.name();
    const char *colon = strchr(name, ':');
    std::string prefix = colon ? std::string(name, static_cast<size_t>(colon - name)) : "";
    std::string uri;
    if (!lookupPrefix(element, prefix, uri)) return "";
    return uri;
}

const char *localName(pugi::xml_node element) {
    const char *name = element.name();
    const char *colon = strchr(name, ':');
    return colon ? colon + 1 : name;
}

bool isElement(pugi::xml_node node, const char *ns, const char *local) {
    return node.type() == pugi::node_element && strcmp(localName(node), local) == 0 &&
           namespaceOf(node) == ns;
}

pugi::xml_node childElement(pugi::xml_node parent, const char *ns, const char *local) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        if (isElement(child, ns, local)) return child;
    return {};
}

pugi::xml_node firstElement(pugi::xml_node parent) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element) return child;
    return {};
}

pugi::xml_attribute plainAttribute(pugi::xml_node element, const char *local) {
    return element.attribute(local);
}

pugi::xml_attribute qualifiedAttribute(pugi::xml_node element, const char *ns, const char *local) {
    for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
        const char *name = a.name();
        const char *colon = strchr(name, ':');
        if (!colon || strcmp(colon + 1, local) != 0) continue;
        std::string prefix(name, static_cast<size_t>(colon - name));
        std::string uri;
        if (prefix != "xmlns" && lookupPrefix(element, prefix, uri) && uri == ns) return a;
    }
    return {};
}

std::string textOf(pugi::xml_node element) {
    std::string text = element.text().get();
    const char *space = " \t\r\n";
    size_t begin = text.find_first_not_of(space);
    if (begin == std::string::npos) return "";
    size_t end = text.find_last_not_of(space);
    return text.substr(begin, end - begin + 1);
}

bool resolveQName(pugi::xml_node context, const std::string &qname, std::string &ns,
                  std::string &local) {
    size_t colon = qname.find(':');
    std::string prefix = colon == std::string::npos ? "" : qname.substr(0, colon);
    local = colon == std::string::npos ? qname : qname.substr(colon + 1);
    if (local.empty() || local.find(':') != std::string::npos) return false;
    return lookupPrefix(context, prefix, ns);
}

XmlError SoapMessage::load(const char *data, size_t size, const XmlLimits &limits) {
    doc_.reset();
    if (size > limits.maxBytes) return XmlError::TooLarge;
    // SOAP forbids document type declarations; refusing them outright
    // leaves no room for entity definitions, internal or external.
    static const char doctype[] = "<!DOCTYPE";
    if (std::search(data, data + size, doctype, doctype + sizeof doctype - 1) != data + size)
        return XmlError::Doctype;
    pugi::xml_parse_result parsed = doc_.load_buffer(
        data, size, pugi::parse_default & ~pugi::parse_doctype, pugi::encoding_utf8);
    if (!parsed || !doc_.document_element()) {
        doc_.reset();
        return XmlError::Malformed;
    }
    if (!withinDepth(doc_, limits.maxDepth)) {
        doc_.reset();
        return XmlError::TooDeep;
    }
    return XmlError::None;
}

bool SoapMessage::isEnvelope() const { return isElement(root(), ns::kSoap12, "Envelope"); }

bool SoapMessage::isSoap11() const { return isElement(root(), ns::kSoap11, "Envelope"); }

pugi::xml_node SoapMessage::header() const { return childElement(root(), ns::kSoap12, "Header"); }

pugi::xml_node SoapMessage::body() const { return childElement(root(), ns::kSoap12, "Body"); }

pugi::xml_node SoapMessage::operation() const { return firstElement(body()); }

}  // namespace onvif
