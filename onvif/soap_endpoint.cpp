#include "soap_endpoint.h"

#include <cstring>
#include <ctime>

#include "soap_message.h"

namespace onvif {

namespace {

bool publicOperation(const std::string &ns, const char *op) {
    return ns == ns::kDevice &&
           (strcmp(op, "GetSystemDateAndTime") == 0 || strcmp(op, "GetCapabilities") == 0 ||
            strcmp(op, "GetServices") == 0);
}

SoapResponse notAuthorized() {
    return faultResponse({"env:Sender", {"ter:NotAuthorized"}, "Sender not Authorized"});
}

// Header blocks marked mustUnderstand that are neither security nor addressing.
bool headerUnderstood(pugi::xml_node header) {
    for (pugi::xml_node block = firstElement(header); block; block = block.next_sibling()) {
        if (block.type() != pugi::node_element) continue;
        std::string value = qualifiedAttribute(block, ns::kSoap12, "mustUnderstand").value();
        if (value != "1" && value != "true") continue;
        std::string uri = namespaceOf(block);
        if (uri != ns::kWsse && uri != ns::kAddressing && uri != ns::kAddressing10) return false;
    }
    return true;
}

}  // namespace

SoapEndpoint::SoapEndpoint(const Config &config, BusPort &bus)
    : config_(config),
      verifier_(config.users, config.tokenWindowSeconds),
      services_(config_, bus) {}

void SoapEndpoint::handle(const char *data, size_t size, const RequestContext &context, Done done) {
    SoapMessage message;
    switch (message.load(data, size)) {
        case XmlError::None:
            break;
        case XmlError::TooLarge:
            return done(
                faultResponse({"env:Sender", {"ter:InvalidArgs"}, "The request is too large"}));
        default:
            return done(faultResponse({"env:Sender", {"ter:WellFormed"}, "Well-formed Error"}));
    }
    if (!message.isEnvelope())
        return done(faultResponse({"env:VersionMismatch", {}, "SOAP version mismatch"}));
    pugi::xml_node operation = message.operation();
    if (!operation) return done(faultResponse({"env:Sender", {"ter:Tag"}, "No Tag"}));
    if (!headerUnderstood(message.header()))
        return done(faultResponse({"env:MustUnderstand", {}, "SOAP header blocks not understood"}));

    std::string service = namespaceOf(operation);
    const char *op = localName(operation);
    if (authenticationRequired() && !context.digestUser && !publicOperation(service, op)) {
        UsernameToken token = findUsernameToken(message.header());
        // Without any credentials the client is told to use HTTP Digest.
        if (!token.present) {
            SoapResponse response = notAuthorized();
            response.httpStatus = 401;
            response.challenge = true;
            return done(response);
        }
        if (verifier_.verify(token, time(nullptr)) != TokenVerdict::Accepted)
            return done(notAuthorized());
    }
    if (service == ns::kDevice) return services_.device(op, operation, context.base, done);
    if (service == ns::kMedia) return services_.media(op, operation, done);
    if (service == ns::kPtz) return services_.ptz(op, operation, done);
    done(faultResponse(
        {"env:Receiver", {"ter:ActionNotSupported"}, "Optional Action Not Implemented"}));
}

}  // namespace onvif
