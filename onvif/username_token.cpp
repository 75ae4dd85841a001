#include "username_token.h"

#include <cstdio>
#include <cstring>

#include "crypto.h"
#include "soap_message.h"

namespace onvif {

namespace {

const char kPasswordDigest[] =
    "http://docs.oasis-open.org/wss/2004/01/"
    "oasis-200401-wss-username-token-profile-1.0#PasswordDigest";
const char kBase64Binary[] =
    "http://docs.oasis-open.org/wss/2004/01/"
    "oasis-200401-wss-soap-message-security-1.0#Base64Binary";

bool equalConstantTime(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool digits(const char *text, int count, int &value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

}  // namespace

UsernameToken findUsernameToken(pugi::xml_node header) {
    UsernameToken token;
    pugi::xml_node security = childElement(header, ns::kWsse, "Security");
    pugi::xml_node element = childElement(security, ns::kWsse, "UsernameToken");
    if (!element) return token;
    token.present = true;
    token.username = textOf(childElement(element, ns::kWsse, "Username"));
    pugi::xml_node password = childElement(element, ns::kWsse, "Password");
    token.password = textOf(password);
    token.passwordType = plainAttribute(password, "Type").value();
    pugi::xml_node nonce = childElement(element, ns::kWsse, "Nonce");
    token.nonce = textOf(nonce);
    token.nonceEncoding = plainAttribute(nonce, "EncodingType").value();
    token.created = textOf(childElement(element, ns::kWsu, "Created"));
    // Some clients put Created in the security namespace.
    if (token.created.empty()) token.created = textOf(childElement(element, ns::kWsse, "Created"));
    return token;
}

bool parseDateTime(const std::string &text, time_t &utc) {
    // YYYY-MM-DDThh:mm:ss[.fraction](Z|(+|-)hh:mm)
    const char *s = text.c_str();
    int year, month, day, hour, minute, second;
    if (text.size() < 20 || !digits(s, 4, year) || s[4] != '-' || !digits(s + 5, 2, month) ||
        s[7] != '-' || !digits(s + 8, 2, day) || s[10] != 'T' || !digits(s + 11, 2, hour) ||
        s[13] != ':' || !digits(s + 14, 2, minute) || s[16] != ':' || !digits(s + 17, 2, second))
        return false;
    const char *p = s + 19;
    if (*p == '.') {
        ++p;
        if (*p < '0' || *p > '9') return false;
        while (*p >= '0' && *p <= '9') ++p;
    }
    int offset = 0;
    if (*p == 'Z') {
        ++p;
    } else if (*p == '+' || *p == '-') {
        int oh, om;
        if (!digits(p + 1, 2, oh) || p[3] != ':' || !digits(p + 4, 2, om) || oh > 14 || om > 59)
            return false;
        offset = (oh * 60 + om) * 60 * (*p == '-' ? -1 : 1);
        p += 6;
    } else {
        return false;
    }
    if (*p != '\0' || year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60)
        return false;
    struct tm fields = {};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    utc = timegm(&fields) - offset;
    return true;
}

TokenVerifier::TokenVerifier(std::vector<User> users, unsigned windowSeconds,
                             size_t rememberedNonces)
    : users_(std::move(users)), window_(windowSeconds), capacity_(rememberedNonces) {}

TokenVerdict TokenVerifier::verify(const UsernameToken &token, time_t now, std::string *user) {
    if (!token.present || token.username.empty() || token.password.empty() || token.nonce.empty() ||
        token.created.empty())
        return TokenVerdict::Malformed;
    if (token.passwordType != kPasswordDigest) return TokenVerdict::Rejected;
    if (!token.nonceEncoding.empty() && token.nonceEncoding != kBase64Binary)
        return TokenVerdict::Malformed;
    time_t created = 0;
    if (!parseDateTime(token.created, created)) return TokenVerdict::Malformed;
    if (created > now + static_cast<time_t>(window_) ||
        created < now - static_cast<time_t>(window_))
        return TokenVerdict::Stale;
    std::string nonce;
    if (!base64Decode(token.nonce, nonce) || nonce.empty() || nonce.size() > 64)
        return TokenVerdict::Malformed;

    const User *match = nullptr;
    for (const User &candidate : users_)
        if (candidate.name == token.username) match = &candidate;
    // An unknown name costs the same digest as a known one.
    std::string password = match ? match->password : std::string("\x01unknown");
    Sha1Digest digest = sha1(nonce + token.created + password);
    std::string expected = base64Encode(std::string(digest.begin(), digest.end()));
    if (!equalConstantTime(expected, token.password) || !match) return TokenVerdict::Rejected;

    if (!remember(nonce, now)) return TokenVerdict::Replayed;
    if (user) *user = match->name;
    return TokenVerdict::Accepted;
}

bool TokenVerifier::remember(const std::string &nonce, time_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A token is accepted while its Created lies within the window either
    // side of the clock, so its nonce must be kept twice the window.
    while (!order_.empty() && order_.front().first < now - 2 * static_cast<time_t>(window_)) {
        seen_.erase(order_.front().second);
        order_.pop_front();
    }
    if (seen_.count(nonce)) return false;
    // Full of fresh nonces (a busy client): the oldest goes first.
    if (order_.size() >= capacity_) {
        seen_.erase(order_.front().second);
        order_.pop_front();
    }
    seen_.insert(nonce);
    order_.emplace_back(now, nonce);
    return true;
}

}  // namespace onvif
