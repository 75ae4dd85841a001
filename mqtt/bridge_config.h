// Configuration of gimbalhub-mqtt: a JSON file, every key optional.
#ifndef GIMBALHUB_MQTT_BRIDGE_CONFIG_H
#define GIMBALHUB_MQTT_BRIDGE_CONFIG_H

#include <string>
#include <vector>

namespace mqttbridge {

struct TlsConfig {
    bool enabled = false;
    std::string caFile;
    std::string certFile;  // client certificate, with keyFile
    std::string keyFile;
};

struct BridgeConfig {
    std::string host = "localhost";
    int port = 1883;  // 8883 by default when Tls is set
    TlsConfig tls;
    std::string username;
    std::string password;
    std::string clientId;     // default "gimbalhub-<DeviceId>"
    std::string deviceId;     // default: the host name
    std::string topicPrefix;  // default "gimbalhub/<DeviceId>"
    std::string groupPrefix = "gimbalhub/all";
    int keepAlive = 30;  // seconds
    bool discovery = false;
    std::string discoveryPrefix = "homeassistant";
    std::vector<std::string> methods;  // the allow-list; default: all but setHome
    int stateIntervalMs = 250;         // at most one state per interval
    int callTimeoutMs = 3000;
    int maxPayload = 4096;                    // bytes of a command payload
    int maxInFlight = 16;                     // bus calls of commands at once
    unsigned sessionExpiry = 86400;           // seconds the broker keeps the session
    int reconnectMin = 1, reconnectMax = 30;  // backoff bounds, seconds
};

// Every method the bridge knows, with the object that serves it.
struct MethodInfo {
    const char *name;
    const char *object;
};
const std::vector<MethodInfo> &knownMethods();
const char *objectOf(const std::string &method);  // nullptr when unknown

// The configuration from JSON text; false with the reason in *error.
// hostName fills DeviceId when the file leaves it out.
bool parseConfig(const std::string &text, const std::string &hostName, BridgeConfig *config,
                 std::string *error);

// A topic level made of the characters that are safe everywhere a device id
// appears (topics, client ids, discovery object ids).
std::string sanitizeId(const std::string &raw);

}  // namespace mqttbridge

#endif
