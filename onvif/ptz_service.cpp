// The PTZ service on the bus object gimbalhub.control.
#include <cmath>
#include <cstdlib>

#include "services.h"
#include "soap_message.h"

using nlohmann::json;

namespace onvif {

namespace {

const char kControl[] = "gimbalhub.control";
const char kZoomPrefix[] = "http://www.onvif.org/ver10/tptz/ZoomSpaces/";

SoapResponse ok(const std::string &body) { return SoapResponse{200, envelope(body)}; }

SoapResponse senderFault(const char *subcode, const std::string &reason) {
    return faultResponse({"env:Sender", {"ter:InvalidArgVal", subcode}, reason});
}

SoapResponse invalidArgs(const std::string &reason) {
    return faultResponse({"env:Sender", {"ter:InvalidArgs"}, reason});
}

SoapResponse busFault(int status) {
    const char *reason = status == kBusTimeout ? "The pan/tilt head did not answer in time"
                         : status == kBusNoConnection || status == kBusNotFound
                             ? "The pan/tilt head is not available"
                             : "The pan/tilt head refused the request";
    return faultResponse({"env:Receiver", {"ter:Action"}, reason});
}

bool number(const char *text, double &value) {
    if (!text || !*text) return false;
    char *end = nullptr;
    value = strtod(text, &end);
    return *end == '\0' && std::isfinite(value);
}

struct PanTilt {
    bool present = false;
    double x = 0, y = 0;
    std::string space;
};
struct Zoom {
    bool present = false;
    double x = 0;
    std::string space;
};

// A PTZVector/PTZSpeed: false when an element is there with unusable values.
bool readVector(pugi::xml_node vector, PanTilt &panTilt, Zoom &zoom) {
    pugi::xml_node pt = childElement(vector, ns::kSchema, "PanTilt");
    if (pt) {
        panTilt.present = true;
        panTilt.space = plainAttribute(pt, "space").value();
        if (!number(plainAttribute(pt, "x").value(), panTilt.x) ||
            !number(plainAttribute(pt, "y").value(), panTilt.y))
            return false;
    }
    pugi::xml_node z = childElement(vector, ns::kSchema, "Zoom");
    if (z) {
        zoom.present = true;
        zoom.space = plainAttribute(z, "space").value();
        if (!number(plainAttribute(z, "x").value(), zoom.x)) return false;
    }
    return true;
}

bool inUnitRange(double v) { return v >= -1 && v <= 1; }

// The head has no zoom: a zero zoom in a zoom space is accepted and ignored.
bool zoomAcceptable(const Zoom &zoom) {
    return !zoom.present ||
           (zoom.x == 0 && (zoom.space.empty() ||
                            zoom.space.compare(0, sizeof kZoomPrefix - 1, kZoomPrefix) == 0));
}

// Preset names the daemon takes: 1 to 32 printable characters.
bool presetNameValid(const std::string &name) {
    if (name.empty() || name.size() > 32) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c > 0x7e) return false;
    return true;
}

int rounded(double degrees) {
    double r = std::round(degrees);
    if (r > 2147483647.0) return 2147483647;
    if (r < -2147483648.0) return -2147483647 - 1;
    return static_cast<int>(r);
}

// The whole degree nearest to a position, within limits that need not be
// whole degrees themselves.
int inside(double degrees, double min, double max) {
    int r = rounded(degrees);
    if (r < min) r = rounded(std::ceil(min));
    if (r > max) r = rounded(std::floor(max));
    return r;
}

}  // namespace

void Services::call(const std::string &method, const json &args, Done done,
                    std::function<void(const json &)> onOk,
                    std::function<bool(int, Done &)> onStatus) {
    bus_.call(kControl, method, args, config_.busTimeoutMs,
              [done, onOk, onStatus](int status, const json &data) mutable {
                  if (status == kBusOk) return onOk(data);
                  if (onStatus && onStatus(status, done)) return;
                  done(busFault(status));
              });
}

void Services::noteLimits(const json &status) {
    const json *limits = status.contains("limits") ? &status.at("limits") : nullptr;
    if (!limits || !limits->is_object()) return;
    auto pair = [&](const char *axis, double &min, double &max) {
        if (!limits->contains(axis)) return false;
        const json &range = limits->at(axis);
        if (!range.is_array() || range.size() != 2 || !range[0].is_number() ||
            !range[1].is_number())
            return false;
        min = range[0].get<double>();
        max = range[1].get<double>();
        return max > min;
    };
    Limits next;
    if (pair("pan", next.panMin, next.panMax) && pair("tilt", next.tiltMin, next.tiltMax)) {
        next.known = true;
        std::lock_guard<std::mutex> lock(mutex_);
        limits_ = next;
    }
}

bool Services::noteCapacity(const json &list) {
    if (!list.contains("capacity") || !list["capacity"].is_number_integer() ||
        list["capacity"].get<int64_t>() < 0 || list["capacity"].get<int64_t>() > 100000)
        return false;
    std::lock_guard<std::mutex> lock(mutex_);
    presetCapacity_ = list["capacity"].get<unsigned>();
    return true;
}

unsigned Services::presetCapacity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return presetCapacity_;
}

void Services::withLimits(Done done, std::function<void(const Limits &)> next) {
    Limits known = limits();
    if (known.known) return next(known);
    call("status", json::object(), done, [this, next](const json &status) {
        noteLimits(status);
        next(limits());
    });
}

std::string Services::positionXml(double pan, double tilt, const Limits &l) const {
    return "<tt:PanTilt x=\"" + xmlNumber(toGeneric(pan, l.panMin, l.panMax)) + "\" y=\"" +
           xmlNumber(toGeneric(tilt, l.tiltMin, l.tiltMax)) + "\" space=\"" + kPositionSpace +
           "\"/>";
}

void Services::ptz(const std::string &op, pugi::xml_node request, Done done) {
    auto argument = [&](const char *name) { return textOf(childElement(request, ns::kPtz, name)); };
    static const char *const withProfile[] = {"GetStatus",        "ContinuousMove", "AbsoluteMove",
                                              "RelativeMove",     "Stop",           "GetPresets",
                                              "SetPreset",        "GotoPreset",     "RemovePreset",
                                              "GotoHomePosition", "SetHomePosition"};
    for (const char *name : withProfile)
        if (op == name && argument("ProfileToken") != kProfileToken)
            return done(senderFault("ter:NoProfile", "The profile does not exist"));

    if (op == "GetServiceCapabilities") {
        done(
            ok("<tptz:GetServiceCapabilitiesResponse><tptz:Capabilities EFlip=\"false\" "
               "Reverse=\"false\" "
               "GetCompatibleConfigurations=\"false\" MoveStatus=\"true\" StatusPosition=\"true\"/>"
               "</tptz:GetServiceCapabilitiesResponse>"));
    } else if (op == "GetNodes" || op == "GetNode") {
        if (op == "GetNode" && argument("NodeToken") != kPtzNodeToken)
            return done(senderFault("ter:NoEntity", "The node does not exist"));
        // The preset capacity is the daemon's; the last one known will do if it does not answer.
        bus_.call(
            kControl, "presetList", json::object(), config_.busTimeoutMs,
            [this, op, done](int status, const json &data) {
                if (status == kBusOk) noteCapacity(data);
                done(ok("<tptz:" + op + "Response>" + nodeXml() + "</tptz:" + op + "Response>"));
            });
    } else if (op == "GetConfigurations") {
        done(ok("<tptz:GetConfigurationsResponse>" + ptzConfigurationXml("tptz:PTZConfiguration") +
                "</tptz:GetConfigurationsResponse>"));
    } else if (op == "GetConfiguration") {
        if (argument("PTZConfigurationToken") != kPtzConfigToken)
            return done(senderFault("ter:NoConfig", "The configuration does not exist"));
        done(ok("<tptz:GetConfigurationResponse>" + ptzConfigurationXml("tptz:PTZConfiguration") +
                "</tptz:GetConfigurationResponse>"));
    } else if (op == "GetConfigurationOptions") {
        if (argument("ConfigurationToken") != kPtzConfigToken)
            return done(senderFault("ter:NoConfig", "The configuration does not exist"));
        done(ok("<tptz:GetConfigurationOptionsResponse><tptz:PTZConfigurationOptions><tt:Spaces>" +
                spacesXml() + "</tt:Spaces><tt:PTZTimeout><tt:Min>PT0.1S</tt:Min><tt:Max>" +
                formatDuration(config_.maxMoveTimeoutMs) +
                "</tt:Max></tt:PTZTimeout></tptz:PTZConfigurationOptions></"
                "tptz:GetConfigurationOptionsResponse>"));
    } else if (op == "GetStatus") {
        getStatus(done);
    } else if (op == "ContinuousMove") {
        continuousMove(request, done);
    } else if (op == "AbsoluteMove") {
        absoluteMove(request, done);
    } else if (op == "RelativeMove") {
        relativeMove(request, done);
    } else if (op == "Stop") {
        stop(request, done);
    } else if (op == "GetPresets") {
        getPresets(done);
    } else if (op == "SetPreset") {
        setPreset(request, done);
    } else if (op == "GotoPreset") {
        gotoPreset(request, done);
    } else if (op == "RemovePreset") {
        removePreset(request, done);
    } else if (op == "GotoHomePosition") {
        call("gotoHome", json::object(), done,
             [done](const json &) { done(ok("<tptz:GotoHomePositionResponse/>")); });
    } else if (op == "SetHomePosition") {
        call(
            "setHome", json::object(), done,
            [done](const json &) { done(ok("<tptz:SetHomePositionResponse/>")); },
            [](int status, Done &d) {
                if (status != kBusUnknownError) return false;
                d(faultResponse(
                    {"env:Receiver", {"ter:Action"}, "The home position cannot be stored now"}));
                return true;
            });
    } else {
        done(faultResponse(
            {"env:Receiver", {"ter:ActionNotSupported"}, "Optional Action Not Implemented"}));
    }
}

void Services::getStatus(Done done) {
    call("status", json::object(), done, [this, done](const json &status) {
        noteLimits(status);
        Limits l = limits();
        double pan = status.value("pan", 0.0), tilt = status.value("tilt", 0.0);
        bool moving = status.value("moving", false);
        if (status.contains("activity") && status["activity"].is_string())
            moving = status["activity"] != "idle";
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
        std::string body = "<tptz:GetStatusResponse><tptz:PTZStatus><tt:Position>";
        if (l.known) body += positionXml(pan, tilt, l);
        body += std::string("</tt:Position><tt:MoveStatus><tt:PanTilt>") +
                (moving ? "MOVING" : "IDLE") + "</tt:PanTilt></tt:MoveStatus><tt:UtcTime>" + stamp +
                "</tt:UtcTime></tptz:PTZStatus></tptz:GetStatusResponse>";
        done(ok(body));
    });
}

void Services::continuousMove(pugi::xml_node request, Done done) {
    pugi::xml_node velocity = childElement(request, ns::kPtz, "Velocity");
    PanTilt pt;
    Zoom zoom;
    if (!velocity || !readVector(velocity, pt, zoom))
        return done(invalidArgs("Velocity is missing or malformed"));
    if (pt.present && !pt.space.empty() && pt.space != kVelocitySpace)
        return done(senderFault("ter:SpaceNotSupported", "The velocity space is not supported"));
    if ((pt.present && (!inUnitRange(pt.x) || !inUnitRange(pt.y))) || !zoomAcceptable(zoom))
        return done(senderFault("ter:InvalidVelocity", "The velocity is out of range"));
    unsigned timeoutMs = config_.moveTimeoutMs;
    pugi::xml_node timeout = childElement(request, ns::kPtz, "Timeout");
    if (timeout) {
        double seconds = 0;
        if (!parseDuration(textOf(timeout), seconds) || seconds <= 0)
            return done(
                senderFault("ter:TimeoutNotSupported", "The timeout is not a positive duration"));
        double ms = seconds * 1000;
        timeoutMs = ms >= config_.maxMoveTimeoutMs ? config_.maxMoveTimeoutMs
                    : ms < 100                     ? 100
                                                   : static_cast<unsigned>(ms);
    }
    // Without a pan/tilt velocity the pan/tilt motion stays as it is.
    if (!pt.present) return done(ok("<tptz:ContinuousMoveResponse/>"));
    json args = {{"pan", pt.x}, {"tilt", pt.y}, {"timeout", timeoutMs}};
    call("jog", args, done, [done](const json &) { done(ok("<tptz:ContinuousMoveResponse/>")); });
}

// The pan/tilt target of an absolute or relative move, checked as the
// operation's faults say; false when `done` has had the fault.
bool Services::readMove(pugi::xml_node request, const char *element, const char *space,
                        const char *rangeFault, double &x, double &y, bool &present, Done &done) {
    pugi::xml_node vector = childElement(request, ns::kPtz, element);
    PanTilt pt, speedPt;
    Zoom zoom, speedZoom;
    if (!vector || !readVector(vector, pt, zoom)) {
        done(invalidArgs(std::string(element) + " is missing or malformed"));
        return false;
    }
    if (pugi::xml_node speed = childElement(request, ns::kPtz, "Speed")) {
        if (!readVector(speed, speedPt, speedZoom) ||
            (speedPt.present && !speedPt.space.empty() && speedPt.space != kSpeedSpace)) {
            done(senderFault("ter:InvalidSpeed", "The speed is not supported"));
            return false;
        }
    }
    if (pt.present && !pt.space.empty() && pt.space != space) {
        done(senderFault("ter:SpaceNotSupported", "The space is not supported"));
        return false;
    }
    if ((pt.present && (!inUnitRange(pt.x) || !inUnitRange(pt.y))) || !zoomAcceptable(zoom)) {
        done(senderFault(rangeFault, "The move is out of range"));
        return false;
    }
    x = pt.x;
    y = pt.y;
    present = pt.present;
    return true;
}

void Services::absoluteMove(pugi::xml_node request, Done done) {
    double x = 0, y = 0;
    bool present = false;
    if (!readMove(request, "Position", kPositionSpace, "ter:InvalidPosition", x, y, present, done))
        return;
    if (!present) return done(ok("<tptz:AbsoluteMoveResponse/>"));
    withLimits(done, [this, x, y, done](const Limits &l) {
        json args = {{"pan", inside(fromGeneric(x, l.panMin, l.panMax), l.panMin, l.panMax)},
                     {"tilt", inside(fromGeneric(y, l.tiltMin, l.tiltMax), l.tiltMin, l.tiltMax)}};
        call("moveTo", args, done,
             [done](const json &) { done(ok("<tptz:AbsoluteMoveResponse/>")); });
    });
}

void Services::relativeMove(pugi::xml_node request, Done done) {
    double x = 0, y = 0;
    bool present = false;
    if (!readMove(request, "Translation", kTranslationSpace, "ter:InvalidTranslation", x, y,
                  present, done))
        return;
    if (!present) return done(ok("<tptz:RelativeMoveResponse/>"));
    withLimits(done, [this, x, y, done](const Limits &l) {
        json args = {{"pan", rounded(x * (l.panMax - l.panMin) / 2)},
                     {"tilt", rounded(y * (l.tiltMax - l.tiltMin) / 2)}};
        call("moveBy", args, done,
             [done](const json &) { done(ok("<tptz:RelativeMoveResponse/>")); });
    });
}

void Services::stop(pugi::xml_node request, Done done) {
    // PanTilt defaults to true; Zoom has nothing to stop.
    std::string panTilt = textOf(childElement(request, ns::kPtz, "PanTilt"));
    if (panTilt == "false" || panTilt == "0") return done(ok("<tptz:StopResponse/>"));
    call("stop", json::object(), done, [done](const json &) { done(ok("<tptz:StopResponse/>")); });
}

void Services::getPresets(Done done) {
    withLimits(done, [this, done](const Limits &l) {
        call("presetList", json::object(), done, [this, l, done](const json &list) {
            std::string body = "<tptz:GetPresetsResponse>";
            if (list.contains("presets") && list["presets"].is_array())
                for (const json &p : list["presets"]) {
                    if (!p.is_object() || !p.contains("name") || !p["name"].is_string()) continue;
                    std::string name = xmlEscape(p["name"].get<std::string>());
                    body += "<tptz:Preset token=\"" + name + "\"><tt:Name>" + name +
                            "</tt:Name><tt:PTZPosition>" +
                            positionXml(p.value("pan", 0.0), p.value("tilt", 0.0), l) +
                            "</tt:PTZPosition></tptz:Preset>";
                }
            noteCapacity(list);
            done(ok(body + "</tptz:GetPresetsResponse>"));
        });
    });
}

void Services::setPreset(pugi::xml_node request, Done done) {
    pugi::xml_node nameNode = childElement(request, ns::kPtz, "PresetName");
    std::string name = textOf(nameNode);
    std::string token = textOf(childElement(request, ns::kPtz, "PresetToken"));
    if (nameNode && !presetNameValid(name))
        return done(senderFault("ter:InvalidPresetName", "The preset name is not valid"));
    call("presetList", json::object(), done, [this, name, token, done](const json &list) {
        std::vector<std::string> names;
        if (list.contains("presets") && list["presets"].is_array())
            for (const json &p : list["presets"])
                if (p.is_object() && p.contains("name") && p["name"].is_string())
                    names.push_back(p["name"]);
        size_t capacity = noteCapacity(list) ? presetCapacity() : SIZE_MAX;
        auto exists = [&](const std::string &n) {
            return std::find(names.begin(), names.end(), n) != names.end();
        };
        std::string target = name;
        std::string replaced;  // a preset stored under another name gives way to this one
        if (!token.empty()) {
            if (!exists(token))
                return done(senderFault("ter:NoToken", "The preset does not exist"));
            if (target.empty()) target = token;
            if (target != token) {
                if (exists(target))
                    return done(senderFault("ter:PresetExist", "A preset with this name exists"));
                replaced = token;
            }
        } else {
            if (target.empty()) {
                for (unsigned n = 1; target.empty() || exists(target); ++n)
                    target = "Preset " + std::to_string(n);
            } else if (exists(target)) {
                return done(senderFault("ter:PresetExist", "A preset with this name exists"));
            }
            if (names.size() >= capacity)
                return done(faultResponse({"env:Receiver",
                                           {"ter:Action", "ter:TooManyPresets"},
                                           "The preset table is full"}));
        }
        auto refused = [](int status, Done &d) {
            if (status == kBusInvalidArgument)
                d(faultResponse({"env:Receiver",
                                 {"ter:Action", "ter:TooManyPresets"},
                                 "The preset table is full"}));
            else if (status == kBusUnknownError)
                d(faultResponse(
                    {"env:Receiver", {"ter:Action", "ter:MovingPTZ"}, "The head is homing"}));
            else
                return false;
            return true;
        };
        std::string reply = "<tptz:SetPresetResponse><tptz:PresetToken>" + xmlEscape(target) +
                            "</tptz:PresetToken></tptz:SetPresetResponse>";
        call(
            "presetSet", json{{"name", target}}, done,
            [this, replaced, reply, done](const json &) {
                if (replaced.empty()) return done(ok(reply));
                call("presetRemove", json{{"name", replaced}}, done,
                     [reply, done](const json &) { done(ok(reply)); });
            },
            refused);
    });
}

void Services::gotoPreset(pugi::xml_node request, Done done) {
    std::string token = textOf(childElement(request, ns::kPtz, "PresetToken"));
    auto unknown = [](int status, Done &d) {
        if (status != kBusNotFound && status != kBusInvalidArgument) return false;
        d(senderFault("ter:NoToken", "The preset does not exist"));
        return true;
    };
    call(
        "presetGoto", json{{"name", token}}, done,
        [done](const json &) { done(ok("<tptz:GotoPresetResponse/>")); }, unknown);
}

void Services::removePreset(pugi::xml_node request, Done done) {
    std::string token = textOf(childElement(request, ns::kPtz, "PresetToken"));
    auto unknown = [](int status, Done &d) {
        if (status != kBusNotFound && status != kBusInvalidArgument) return false;
        d(senderFault("ter:NoToken", "The preset does not exist"));
        return true;
    };
    call(
        "presetRemove", json{{"name", token}}, done,
        [done](const json &) { done(ok("<tptz:RemovePresetResponse/>")); }, unknown);
}

}  // namespace onvif
