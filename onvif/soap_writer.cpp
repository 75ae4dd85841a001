#include "soap_writer.h"

#include <cmath>
#include <cstdio>

namespace onvif {

std::string xmlEscape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r')
                    out += c;
        }
    }
    return out;
}

std::string xmlNumber(double value) {
    if (!std::isfinite(value)) value = 0;
    char text[32];
    snprintf(text, sizeof text, "%.6f", value);
    std::string out = text;
    // Locale-independent: %f never groups, and the C locale is never changed here.
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') out.pop_back();
    if (out == "-0") out = "0";
    return out;
}

std::string envelope(const std::string &body, const std::string &header) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
        " xmlns:tds=\"http://www.onvif.org/ver10/device/wsdl\""
        " xmlns:trt=\"http://www.onvif.org/ver10/media/wsdl\""
        " xmlns:tptz=\"http://www.onvif.org/ver20/ptz/wsdl\""
        " xmlns:tt=\"http://www.onvif.org/ver10/schema\""
        " xmlns:ter=\"http://www.onvif.org/ver10/error\">";
    if (!header.empty()) out += "<s:Header>" + header + "</s:Header>";
    out += "<s:Body>" + body + "</s:Body></s:Envelope>\n";
    return out;
}

SoapResponse faultResponse(const Fault &fault) {
    std::string code = fault.code;
    if (code.compare(0, 4, "env:") == 0) code = "s:" + code.substr(4);
    std::string body = "<s:Fault><s:Code><s:Value>" + code + "</s:Value>";
    for (const std::string &sub : fault.subcodes)
        body += "<s:Subcode><s:Value>" + sub + "</s:Value>";
    for (size_t i = 0; i < fault.subcodes.size(); ++i) body += "</s:Subcode>";
    body += "</s:Code><s:Reason><s:Text xml:lang=\"en\">" + xmlEscape(fault.reason) +
            "</s:Text></s:Reason></s:Fault>";
    SoapResponse response;
    // The SOAP 1.2 HTTP binding: sender faults are client errors.
    response.httpStatus = fault.code == "env:Sender" ? 400 : 500;
    response.body = envelope(body);
    return response;
}

}  // namespace onvif
