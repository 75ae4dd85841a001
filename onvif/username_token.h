// WS-UsernameToken with a password digest: Base64(SHA-1(nonce + created +
// password)), a Created time within a window of the device's clock, and
// every nonce accepted once.
#ifndef GIMBAL_ONVIF_USERNAME_TOKEN_H
#define GIMBAL_ONVIF_USERNAME_TOKEN_H

#include <pugixml.hpp>

#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "config.h"

namespace onvif {

struct UsernameToken {
    bool present = false;
    std::string username;
    std::string password;
    std::string passwordType;
    std::string nonce;  // as sent (base64)
    std::string nonceEncoding;
    std::string created;
};

// The token in a SOAP Header (wsse:Security/wsse:UsernameToken).
UsernameToken findUsernameToken(pugi::xml_node header);

// xs:dateTime in UTC or with an offset ("2026-12-08T13:13:20.123Z"); false
// for anything else, including a time without a zone.
bool parseDateTime(const std::string &text, time_t &utc);

enum class TokenVerdict { Accepted, Malformed, Stale, Rejected, Replayed };

class TokenVerifier {
public:
    TokenVerifier(std::vector<User> users, unsigned windowSeconds, size_t rememberedNonces = 8192);
    // Thread-safe. The user's name on Accepted.
    TokenVerdict verify(const UsernameToken &token, time_t now, std::string *user = nullptr);

private:
    bool remember(const std::string &nonce, time_t now);

    std::vector<User> users_;
    unsigned window_;
    size_t capacity_;
    std::mutex mutex_;
    std::deque<std::pair<time_t, std::string>> order_;  // by arrival
    std::unordered_set<std::string> seen_;
};

}  // namespace onvif

#endif
