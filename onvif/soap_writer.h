// Writing SOAP replies: escaping, the envelope with the prefixes every reply
// uses, and faults with their HTTP status.
#ifndef GIMBAL_ONVIF_SOAP_WRITER_H
#define GIMBAL_ONVIF_SOAP_WRITER_H

#include <string>
#include <vector>

namespace onvif {

struct SoapResponse {
    unsigned httpStatus = 200;
    std::string body;
    bool challenge = false;  // answer 401 with an HTTP Digest challenge
};

// Text and attribute values; control characters XML cannot carry are dropped.
std::string xmlEscape(const std::string &text);
// A number as xs:float text ("0.25", "-1"): no locale, no exponent.
std::string xmlNumber(double value);

// s: SOAP 1.2, tds/trt/tptz: device, media, ptz, tt: schema, ter: errors.
std::string envelope(const std::string &body, const std::string &header = "");

struct Fault {
    std::string code;                   // "env:Sender", "env:Receiver", "env:VersionMismatch", ...
    std::vector<std::string> subcodes;  // "ter:InvalidArgVal", "ter:NoProfile"
    std::string reason;
};
SoapResponse faultResponse(const Fault &fault);

}  // namespace onvif

#endif
