#include "bridge_config.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <set>

namespace mqttbridge {

using nlohmann::json;

const std::vector<MethodInfo> &knownMethods() {
    static const std::vector<MethodInfo> methods = {
        {"changePan", "gimbalhub"},          {"changeTilt", "gimbalhub"},
        {"changePosition", "gimbalhub"},     {"getPosition", "gimbalhub"},
        {"status", "gimbalhub.control"},     {"stop", "gimbalhub.control"},
        {"setHome", "gimbalhub.control"},    {"gotoHome", "gimbalhub.control"},
        {"moveTo", "gimbalhub.control"},     {"moveBy", "gimbalhub.control"},
        {"jog", "gimbalhub.control"},        {"presetSet", "gimbalhub.control"},
        {"presetGoto", "gimbalhub.control"}, {"presetRemove", "gimbalhub.control"},
        {"presetList", "gimbalhub.control"}, {"tourStart", "gimbalhub.control"},
        {"tourStop", "gimbalhub.control"},
    };
    return methods;
}

const char *objectOf(const std::string &method) {
    for (const auto &known : knownMethods())
        if (method == known.name) return known.object;
    return nullptr;
}

std::string sanitizeId(const std::string &raw) {
    std::string id;
    for (char c : raw) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_';
        id += safe ? c : '_';
    }
    if (id.size() > 64) id.resize(64);
    return id.empty() ? "gimbalhub" : id;
}

namespace {

// A topic prefix that names a subtree: levels without wildcards, no empty
// level at either end.
bool validPrefix(const std::string &prefix) {
    if (prefix.empty() || prefix.size() > 200 || prefix.front() == '/' || prefix.back() == '/')
        return false;
    if (prefix.find("//") != std::string::npos) return false;
    return std::none_of(prefix.begin(), prefix.end(), [](char c) {
        return c == '+' || c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

class Reader {
public:
    Reader(const json &doc, std::string *error) : doc_(doc), error_(error) {}

    bool string(const char *key, std::string *out) {
        if (!doc_.contains(key)) return true;
        if (!doc_[key].is_string()) return fail(std::string(key) + " must be a string");
        *out = doc_[key].get<std::string>();
        return true;
    }
    bool boolean(const char *key, bool *out) {
        if (!doc_.contains(key)) return true;
        if (!doc_[key].is_boolean()) return fail(std::string(key) + " must be true or false");
        *out = doc_[key].get<bool>();
        return true;
    }
    template <typename T>
    bool integer(const char *key, T *out, long long min, long long max) {
        if (!doc_.contains(key)) return true;
        const json &value = doc_[key];
        // Unsigned first: a huge number would wrap as long long.
        const bool inRange =
            !value.is_number_integer() ? false
            : value.is_number_unsigned()
                ? value.get<unsigned long long>() <= static_cast<unsigned long long>(max) &&
                      static_cast<long long>(value.get<unsigned long long>()) >= min
                : value.get<long long>() >= min && value.get<long long>() <= max;
        if (!inRange)
            return fail(std::string(key) + " must be a whole number from " + std::to_string(min) +
                        " to " + std::to_string(max));
        *out = static_cast<T>(value.get<long long>());
        return true;
    }
    bool fail(const std::string &why) {
        *error_ = why;
        return false;
    }

private:
    const json &doc_;
    std::string *error_;
};

bool parseTls(const json &value, TlsConfig *tls, std::string *error) {
    if (value.is_boolean()) {
        tls->enabled = value.get<bool>();
        return true;
    }
    if (!value.is_object()) {
        *error = "Tls must be an object (CaFile, CertFile, KeyFile) or true/false";
        return false;
    }
    for (const auto &item : value.items()) {
        if (item.key() != "CaFile" && item.key() != "CertFile" && item.key() != "KeyFile") {
            *error = "unknown key Tls." + item.key();
            return false;
        }
    }
    Reader reader(value, error);
    tls->enabled = true;
    if (!reader.string("CaFile", &tls->caFile) || !reader.string("CertFile", &tls->certFile) ||
        !reader.string("KeyFile", &tls->keyFile))
        return false;
    if (tls->certFile.empty() != tls->keyFile.empty())
        return reader.fail("Tls.CertFile and Tls.KeyFile go together");
    return true;
}

}  // namespace

bool parseConfig(const std::string &text, const std::string &hostName, BridgeConfig *config,
                 std::string *error) {
    BridgeConfig result;
    json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        *error = "not a JSON object";
        return false;
    }
    static const std::set<std::string> keys = {
        "Host",        "Port",          "Tls",          "Username",
        "Password",    "ClientId",      "DeviceId",     "TopicPrefix",
        "GroupPrefix", "KeepAlive",     "Discovery",    "DiscoveryPrefix",
        "Methods",     "StateInterval", "CallTimeout",  "MaxPayload",
        "MaxInFlight", "SessionExpiry", "ReconnectMin", "ReconnectMax"};
    // A misspelt key would silently keep its default: refuse it.
    for (const auto &item : doc.items()) {
        if (keys.count(item.key()) == 0) {
            *error = "unknown key " + item.key();
            return false;
        }
    }
    Reader reader(doc, error);
    bool portGiven = doc.contains("Port");
    if (!reader.string("Host", &result.host) || !reader.integer("Port", &result.port, 1, 65535) ||
        !reader.string("Username", &result.username) ||
        !reader.string("Password", &result.password) ||
        !reader.string("ClientId", &result.clientId) ||
        !reader.string("DeviceId", &result.deviceId) ||
        !reader.string("TopicPrefix", &result.topicPrefix) ||
        !reader.string("GroupPrefix", &result.groupPrefix) ||
        !reader.integer("KeepAlive", &result.keepAlive, 5, 65535) ||
        !reader.boolean("Discovery", &result.discovery) ||
        !reader.string("DiscoveryPrefix", &result.discoveryPrefix) ||
        !reader.integer("StateInterval", &result.stateIntervalMs, 20, 60000) ||
        !reader.integer("CallTimeout", &result.callTimeoutMs, 100, 60000) ||
        !reader.integer("MaxPayload", &result.maxPayload, 64, 65536) ||
        !reader.integer("MaxInFlight", &result.maxInFlight, 1, 256) ||
        !reader.integer("SessionExpiry", &result.sessionExpiry, 0, 0xFFFFFFFFLL) ||
        !reader.integer("ReconnectMin", &result.reconnectMin, 1, 3600) ||
        !reader.integer("ReconnectMax", &result.reconnectMax, 1, 3600))
        return false;
    if (doc.contains("Tls") && !parseTls(doc["Tls"], &result.tls, error)) return false;
    if (result.tls.enabled && !portGiven) result.port = 8883;
    if (result.host.empty()) return reader.fail("Host is empty");
    if (result.reconnectMax < result.reconnectMin)
        return reader.fail("ReconnectMax is below ReconnectMin");
    if (result.username.empty() && !result.password.empty())
        return reader.fail("Password without Username");

    if (result.deviceId.empty()) result.deviceId = sanitizeId(hostName);
    if (result.deviceId != sanitizeId(result.deviceId))
        return reader.fail("DeviceId may hold only letters, digits, '-' and '_' (at most 64)");
    if (result.clientId.empty()) result.clientId = "gimbalhub-" + result.deviceId;
    if (result.clientId.size() > 128) return reader.fail("ClientId is longer than 128 bytes");
    if (result.topicPrefix.empty()) result.topicPrefix = "gimbalhub/" + result.deviceId;
    if (!validPrefix(result.topicPrefix))
        return reader.fail("TopicPrefix is not a plain topic (no + # or empty level)");
    if (!validPrefix(result.groupPrefix))
        return reader.fail("GroupPrefix is not a plain topic (no + # or empty level)");
    if (result.groupPrefix == result.topicPrefix)
        return reader.fail("GroupPrefix equals TopicPrefix");
    if (!validPrefix(result.discoveryPrefix))
        return reader.fail("DiscoveryPrefix is not a plain topic");

    if (doc.contains("Methods")) {
        const json &list = doc["Methods"];
        if (!list.is_array()) return reader.fail("Methods must be an array of method names");
        for (const auto &item : list) {
            if (!item.is_string() || objectOf(item.get<std::string>()) == nullptr)
                return reader.fail("Methods: unknown method " + item.dump());
            result.methods.push_back(item.get<std::string>());
        }
    } else {
        // setHome rewrites the persistence file: one group publish would
        // move every head's home, so it is opt-in.
        for (const auto &known : knownMethods())
            if (strcmp(known.name, "setHome") != 0) result.methods.push_back(known.name);
    }
    *config = result;
    return true;
}

}  // namespace mqttbridge
