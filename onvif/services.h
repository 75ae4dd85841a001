// The Device, Media and PTZ operations: each reads its arguments from the
// request, asks the bus what it must, and answers once with a reply body or
// a fault. Answers for bus calls arrive on the bus's thread.
#ifndef GIMBAL_ONVIF_SERVICES_H
#define GIMBAL_ONVIF_SERVICES_H

#include <pugixml.hpp>

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "bus_port.h"
#include "config.h"
#include "soap_writer.h"

namespace onvif {

// Tokens of the one profile and what it holds.
extern const char kProfileToken[];
extern const char kVideoSourceToken[];
extern const char kVideoSourceConfigToken[];
extern const char kEncoderConfigToken[];
extern const char kPtzNodeToken[];
extern const char kPtzConfigToken[];

// The generic spaces (−1..1), the only ones the head has.
extern const char kPositionSpace[];
extern const char kTranslationSpace[];
extern const char kVelocitySpace[];
extern const char kSpeedSpace[];

using Done = std::function<void(SoapResponse)>;

// xs:duration without years or months ("PT5S", "PT0.5S", "P0DT1M"); false
// for anything else.
bool parseDuration(const std::string &text, double &seconds);
std::string formatDuration(unsigned milliseconds);
// Scope URI segment: everything but unreserved characters percent-encoded.
std::string scopeSegment(const std::string &text);

struct Limits {
    double panMin = -180, panMax = 180, tiltMin = -90, tiltMax = 90;
    bool known = false;
};
// Degrees <-> the generic position space, linear over the configured range.
double toGeneric(double degrees, double min, double max);
double fromGeneric(double generic, double min, double max);

class Services {
public:
    Services(const Config &config, BusPort &bus);

    // Where the services are reached ("http://host:port"), per request.
    void device(const std::string &op, pugi::xml_node request, const std::string &base, Done done);
    void media(const std::string &op, pugi::xml_node request, Done done);
    void ptz(const std::string &op, pugi::xml_node request, Done done);

    std::vector<std::string> scopes() const;
    Limits limits() const;

private:
    void call(const std::string &method, const nlohmann::json &args, Done done,
              std::function<void(const nlohmann::json &)> onOk,
              std::function<bool(int, Done &)> onStatus = nullptr);
    void withLimits(Done done, std::function<void(const Limits &)> next);
    void noteLimits(const nlohmann::json &status);
    // From a presetList reply; false when it names no capacity.
    bool noteCapacity(const nlohmann::json &list);
    unsigned presetCapacity() const;

    void getStatus(Done done);
    void continuousMove(pugi::xml_node request, Done done);
    void absoluteMove(pugi::xml_node request, Done done);
    void relativeMove(pugi::xml_node request, Done done);
    bool readMove(pugi::xml_node request, const char *element, const char *space,
                  const char *rangeFault, double &x, double &y, bool &present, Done &done);
    void stop(pugi::xml_node request, Done done);
    void getPresets(Done done);
    void setPreset(pugi::xml_node request, Done done);
    void gotoPreset(pugi::xml_node request, Done done);
    void removePreset(pugi::xml_node request, Done done);

    std::string profileXml(const std::string &element) const;
    std::string ptzConfigurationXml(const std::string &element) const;
    std::string spacesXml() const;
    std::string nodeXml() const;
    std::string positionXml(double pan, double tilt, const Limits &limits) const;

    const Config &config_;
    BusPort &bus_;
    mutable std::mutex mutex_;
    Limits limits_;
    unsigned presetCapacity_ = 32;
};

}  // namespace onvif

#endif
