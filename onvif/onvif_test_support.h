// Helpers of the endpoint's unit tests: a bus whose answers the test gives,
// requests as clients write them, and UsernameTokens.
#ifndef GIMBAL_ONVIF_TEST_SUPPORT_H
#define GIMBAL_ONVIF_TEST_SUPPORT_H

#include <ctime>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "bus_port.h"
#include "crypto.h"

namespace onvif_test {

struct Call {
    std::string object;
    std::string method;
    nlohmann::json args;
    unsigned timeoutMs = 0;
    onvif::BusPort::Reply reply;
};

// Records calls; the test answers them in order.
class FakeBus : public onvif::BusPort {
public:
    void call(const std::string &object, const std::string &method, const nlohmann::json &args,
              unsigned timeoutMs, Reply reply) override {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back({object, method, args, timeoutMs, std::move(reply)});
    }
    // Answers the oldest call; false when there is none.
    bool answer(int status, const nlohmann::json &data = nlohmann::json::object()) {
        Call next;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (calls.empty()) return false;
            next = std::move(calls.front());
            calls.pop_front();
        }
        next.reply(status, data);
        return true;
    }
    std::mutex mutex;
    std::deque<Call> calls;
};

// A request as the npm clients write it: SOAP 1.2 with the operation in its
// service's namespace as the default namespace.
inline std::string request(const std::string &body, const std::string &header = "") {
    return "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Header>" + header +
           "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

inline std::string isoTime(time_t t) {
    char text[32];
    struct tm utc;
    gmtime_r(&t, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// A wsse:Security header with a PasswordDigest token.
inline std::string securityHeader(const std::string &user, const std::string &password,
                                  time_t created,
                                  const std::string &nonce = onvif::randomBytes(16)) {
    std::string stamp = isoTime(created);
    onvif::Sha1Digest d = onvif::sha1(nonce + stamp + password);
    return "<Security s:mustUnderstand=\"1\" xmlns=\"http://docs.oasis-open.org/wss/2004/01/"
           "oasis-200401-wss-wssecurity-secext-1.0.xsd\"><UsernameToken><Username>" +
           user +
           "</Username><Password Type=\"http://docs.oasis-open.org/wss/2004/01/"
           "oasis-200401-wss-username-token-profile-1.0#PasswordDigest\">" +
           onvif::base64Encode(std::string(d.begin(), d.end())) + "</Password><Nonce>" +
           onvif::base64Encode(nonce) +
           "</Nonce><Created xmlns=\"http://docs.oasis-open.org/wss/2004/01/"
           "oasis-200401-wss-wssecurity-utility-1.0.xsd\">" +
           stamp + "</Created></UsernameToken></Security>";
}

inline bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

}  // namespace onvif_test

#endif
