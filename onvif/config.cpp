#include "config.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

using nlohmann::json;

namespace onvif {

namespace {

struct Reader {
    const json &object;
    std::string &error;

    bool string(const char *key, std::string &out, size_t maxLength = 256) {
        if (!object.contains(key)) return true;
        const json &value = object.at(key);
        if (!value.is_string() || value.get_ref<const std::string &>().size() > maxLength) {
            error = std::string(key) + " must be a string of at most " + std::to_string(maxLength) +
                    " bytes";
            return false;
        }
        out = value.get<std::string>();
        return true;
    }
    bool number(const char *key, unsigned &out, unsigned min, unsigned max) {
        if (!object.contains(key)) return true;
        const json &value = object.at(key);
        if (!value.is_number_unsigned() || value.get<uint64_t>() < min ||
            value.get<uint64_t>() > max) {
            error = std::string(key) + " must be a whole number from " + std::to_string(min) +
                    " to " + std::to_string(max);
            return false;
        }
        out = value.get<unsigned>();
        return true;
    }
    bool boolean(const char *key, bool &out) {
        if (!object.contains(key)) return true;
        if (!object.at(key).is_boolean()) {
            error = std::string(key) + " must be true or false";
            return false;
        }
        out = object.at(key).get<bool>();
        return true;
    }
};

// Texts that reach XML and scope URIs: printable, no control characters.
bool printable(const std::string &text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7f) return false;
    return true;
}

}  // namespace

bool parseListen(const std::string &text, std::string &address, uint16_t &port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() ||
        colon + 6 < text.size())
        return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    }
    unsigned long value = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (value > 65535) return false;
    address = host;
    port = static_cast<uint16_t>(value);
    return true;
}

bool parseConfig(const std::string &text, Config &config, std::string &error) {
    json root = json::parse(text, nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        error = "not a JSON object";
        return false;
    }
    Reader top{root, error};
    std::string listen;
    if (!top.string("Listen", listen)) return false;
    if (!listen.empty() && !parseListen(listen, config.listenAddress, config.listenPort)) {
        error = "Listen must be \"ADDR:PORT\"";
        return false;
    }
    if (root.contains("Users")) {
        const json &users = root.at("Users");
        if (!users.is_array() || users.size() > 32) {
            error = "Users must be an array of at most 32 users";
            return false;
        }
        config.users.clear();
        for (const json &entry : users) {
            User user;
            if (!entry.is_object()) {
                error = "Users: each user is an object {\"Name\": ..., \"Password\": ...}";
                return false;
            }
            Reader reader{entry, error};
            if (!reader.string("Name", user.name, 64) ||
                !reader.string("Password", user.password, 128))
                return false;
            if (user.name.empty() || !printable(user.name) ||
                user.name.find(':') != std::string::npos) {
                error = "Users: a Name must be printable, without ':', and not empty";
                return false;
            }
            config.users.push_back(user);
        }
    }
    if (root.contains("Device")) {
        const json &device = root.at("Device");
        if (!device.is_object()) {
            error = "Device must be an object";
            return false;
        }
        Reader reader{device, error};
        if (!reader.string("Manufacturer", config.manufacturer, 64) ||
            !reader.string("Model", config.model, 64) ||
            !reader.string("FirmwareVersion", config.firmwareVersion, 64) ||
            !reader.string("SerialNumber", config.serialNumber, 64) ||
            !reader.string("HardwareId", config.hardwareId, 64) ||
            !reader.string("Name", config.name, 64) ||
            !reader.string("EndpointUuid", config.endpointUuid, 64))
            return false;
        for (const std::string *text :
             {&config.manufacturer, &config.model, &config.firmwareVersion, &config.serialNumber,
              &config.hardwareId, &config.name}) {
            if (!printable(*text)) {
                error = "Device: texts must not hold control characters";
                return false;
            }
        }
    }
    if (!top.string("StreamUri", config.streamUri, 1024) ||
        !top.string("SnapshotUri", config.snapshotUri, 1024))
        return false;
    if (!printable(config.streamUri) || !printable(config.snapshotUri)) {
        error = "StreamUri and SnapshotUri must not hold control characters";
        return false;
    }
    if (root.contains("Video")) {
        const json &video = root.at("Video");
        if (!video.is_object()) {
            error = "Video must be an object";
            return false;
        }
        Reader reader{video, error};
        if (!reader.number("Width", config.videoWidth, 16, 8192) ||
            !reader.number("Height", config.videoHeight, 16, 8192) ||
            !reader.number("FrameRate", config.frameRate, 1, 240) ||
            !reader.number("BitrateKbps", config.bitrateKbps, 16, 1000000))
            return false;
    }
    if (!top.boolean("Discovery", config.discovery)) return false;
    if (root.contains("Scopes")) {
        const json &scopes = root.at("Scopes");
        if (!scopes.is_array() || scopes.size() > 16) {
            error = "Scopes must be an array of at most 16 URIs";
            return false;
        }
        config.scopes.clear();
        for (const json &scope : scopes) {
            if (!scope.is_string() || scope.get_ref<const std::string &>().empty() ||
                scope.get_ref<const std::string &>().size() > 256 ||
                scope.get_ref<const std::string &>().find_first_of(" \t\r\n") !=
                    std::string::npos ||
                !printable(scope.get<std::string>())) {
                error = "Scopes: each scope is a URI without spaces, at most 256 bytes";
                return false;
            }
            config.scopes.push_back(scope.get<std::string>());
        }
    }
    if (root.contains("Ptz")) {
        const json &ptz = root.at("Ptz");
        if (!ptz.is_object()) {
            error = "Ptz must be an object";
            return false;
        }
        Reader reader{ptz, error};
        if (!reader.number("MoveTimeoutMs", config.moveTimeoutMs, 100, 3600000) ||
            !reader.number("MaxMoveTimeoutMs", config.maxMoveTimeoutMs, 100, 3600000) ||
            !reader.number("BusTimeoutMs", config.busTimeoutMs, 100, 30000))
            return false;
        if (config.moveTimeoutMs > config.maxMoveTimeoutMs) {
            error = "Ptz: MoveTimeoutMs must not exceed MaxMoveTimeoutMs";
            return false;
        }
    }
    if (!top.number("TokenWindowSeconds", config.tokenWindowSeconds, 1, 86400) ||
        !top.number("MaxConnections", config.maxConnections, 1, 1024))
        return false;
    return true;
}

bool loadConfig(const std::string &path, Config &config, std::string &error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    if (text.str().size() > 256 * 1024) {
        error = path + " is larger than 256 KiB";
        return false;
    }
    if (!parseConfig(text.str(), config, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

}  // namespace onvif
