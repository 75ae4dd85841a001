// The endpoint's configuration file (JSON). Every key is optional; the
// defaults are those of docs/onvif.md and config/gimbalhub-onvif.json.
#ifndef GIMBAL_ONVIF_CONFIG_H
#define GIMBAL_ONVIF_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

namespace onvif {

struct User {
    std::string name;
    std::string password;
};

struct Config {
    std::string listenAddress = "0.0.0.0";
    uint16_t listenPort = 8000;
    std::vector<User> users;  // none: nothing asks for credentials

    std::string manufacturer = "Gimbalhub";
    std::string model = "Pan/tilt head";
    std::string firmwareVersion = "0.1.0";
    std::string serialNumber = "0000";
    std::string hardwareId = "gimbalhub";
    std::string name = "gimbalhub";  // the "name" scope
    std::string endpointUuid;        // empty: derived from the serial number and hardware id

    std::string streamUri;
    std::string snapshotUri;
    unsigned videoWidth = 1920;
    unsigned videoHeight = 1080;
    unsigned frameRate = 25;
    unsigned bitrateKbps = 4096;

    bool discovery = true;
    std::vector<std::string> scopes;  // beyond the fixed ones

    unsigned moveTimeoutMs = 5000;      // ContinuousMove without a Timeout
    unsigned maxMoveTimeoutMs = 60000;  // longer Timeouts are cut to this
    unsigned busTimeoutMs = 2000;       // deadline of every bus call
    unsigned tokenWindowSeconds = 300;  // WS-UsernameToken Created may lie this far off
    unsigned maxConnections = 16;
};

// "ADDR:PORT" or "[v6]:PORT"; false when malformed.
bool parseListen(const std::string &text, std::string &address, uint16_t &port);

// Reads the file; false with a reason naming the key at fault.
bool loadConfig(const std::string &path, Config &config, std::string &error);
// The same from text (tests, fuzzing).
bool parseConfig(const std::string &text, Config &config, std::string &error);

}  // namespace onvif

#endif
