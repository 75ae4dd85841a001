#include "services.h"

#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "soap_message.h"

namespace onvif {

const char kProfileToken[] = "Profile_1";
const char kVideoSourceToken[] = "VideoSource_1";
const char kVideoSourceConfigToken[] = "VideoSourceConfig_1";
const char kEncoderConfigToken[] = "VideoEncoderConfig_1";
const char kPtzNodeToken[] = "PTZNode_1";
const char kPtzConfigToken[] = "PTZConfig_1";

const char kPositionSpace[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace";
const char kTranslationSpace[] =
    "http://www.onvif.org/ver10/tptz/PanTiltSpaces/TranslationGenericSpace";
const char kVelocitySpace[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
const char kSpeedSpace[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/GenericSpeedSpace";

namespace {

SoapResponse ok(const std::string &body) { return SoapResponse{200, envelope(body)}; }

SoapResponse noProfile() {
    return faultResponse(
        {"env:Sender", {"ter:InvalidArgVal", "ter:NoProfile"}, "The profile does not exist"});
}

std::string element(const std::string &name, const std::string &text) {
    return "<" + name + ">" + xmlEscape(text) + "</" + name + ">";
}

std::string dateTimeXml(const char *name, const struct tm &t) {
    return std::string("<tt:") + name + "><tt:Time><tt:Hour>" + std::to_string(t.tm_hour) +
           "</tt:Hour><tt:Minute>" + std::to_string(t.tm_min) + "</tt:Minute><tt:Second>" +
           std::to_string(t.tm_sec) + "</tt:Second></tt:Time><tt:Date><tt:Year>" +
           std::to_string(t.tm_year + 1900) + "</tt:Year><tt:Month>" +
           std::to_string(t.tm_mon + 1) + "</tt:Month><tt:Day>" + std::to_string(t.tm_mday) +
           "</tt:Day></tt:Date></tt:" + name + ">";
}

const char kDeviceCapabilities[] =
    "<tds:Capabilities><tds:Network IPFilter=\"false\" ZeroConfiguration=\"false\" "
    "IPVersion6=\"false\" "
    "DynDNS=\"false\" Dot11Configuration=\"false\" HostnameFromDHCP=\"false\" NTP=\"0\"/>"
    "<tds:Security TLS1.0=\"false\" TLS1.1=\"false\" TLS1.2=\"false\" "
    "OnboardKeyGeneration=\"false\" "
    "AccessPolicyConfig=\"false\" DefaultAccessPolicy=\"false\" Dot1X=\"false\" "
    "RemoteUserHandling=\"false\" "
    "X.509Token=\"false\" SAMLToken=\"false\" KerberosToken=\"false\" UsernameToken=\"true\" "
    "HttpDigest=\"true\" RELToken=\"false\"/>"
    "<tds:System DiscoveryResolve=\"false\" DiscoveryBye=\"true\" RemoteDiscovery=\"false\" "
    "SystemBackup=\"false\" SystemLogging=\"false\" FirmwareUpgrade=\"false\" "
    "HttpFirmwareUpgrade=\"false\" "
    "HttpSystemBackup=\"false\" HttpSystemLogging=\"false\" HttpSupportInformation=\"false\"/>"
    "</tds:Capabilities>";
const char kMediaCapabilities[] =
    "<trt:Capabilities SnapshotUri=\"true\" Rotation=\"false\" VideoSourceMode=\"false\" "
    "OSD=\"false\">"
    "<trt:ProfileCapabilities MaximumNumberOfProfiles=\"1\"/>"
    "<trt:StreamingCapabilities RTPMulticast=\"false\" RTP_TCP=\"false\" RTP_RTSP_TCP=\"true\"/>"
    "</trt:Capabilities>";
const char kPtzCapabilities[] =
    "<tptz:Capabilities EFlip=\"false\" Reverse=\"false\" GetCompatibleConfigurations=\"false\" "
    "MoveStatus=\"true\" StatusPosition=\"true\"/>";

}  // namespace

bool parseDuration(const std::string &text, double &seconds) {
    // P[nD][T[nH][nM][n[.n]S]]
    size_t i = 0;
    if (text.size() < 3 || text[i++] != 'P') return false;
    double total = 0;
    bool inTime = false, any = false;
    while (i < text.size()) {
        if (text[i] == 'T') {
            if (inTime) return false;
            inTime = true;
            ++i;
            continue;
        }
        size_t start = i;
        while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || text[i] == '.')) ++i;
        if (i == start || i >= text.size() || i - start > 12) return false;
        double value = strtod(text.substr(start, i - start).c_str(), nullptr);
        char unit = text[i++];
        if (!inTime && unit == 'D')
            total += value * 86400;
        else if (inTime && unit == 'H')
            total += value * 3600;
        else if (inTime && unit == 'M')
            total += value * 60;
        else if (inTime && unit == 'S')
            total += value;
        else
            return false;
        any = true;
    }
    if (!any || !std::isfinite(total)) return false;
    seconds = total;
    return true;
}

std::string formatDuration(unsigned milliseconds) {
    char text[32];
    if (milliseconds % 1000 == 0)
        snprintf(text, sizeof text, "PT%uS", milliseconds / 1000);
    else
        snprintf(text, sizeof text, "PT%u.%03uS", milliseconds / 1000, milliseconds % 1000);
    return text;
}

std::string scopeSegment(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

double toGeneric(double degrees, double min, double max) {
    if (!(max > min)) return 0;
    double x = (degrees - min) / (max - min) * 2 - 1;
    return x < -1 ? -1 : x > 1 ? 1 : x;
}

double fromGeneric(double generic, double min, double max) {
    return min + (generic + 1) / 2 * (max - min);
}

Services::Services(const Config &config, BusPort &bus) : config_(config), bus_(bus) {}

std::vector<std::string> Services::scopes() const {
    std::vector<std::string> out = {
        "onvif://www.onvif.org/Profile/Streaming",
        "onvif://www.onvif.org/type/ptz",
        "onvif://www.onvif.org/type/video_encoder",
        "onvif://www.onvif.org/name/" + scopeSegment(config_.name),
        "onvif://www.onvif.org/hardware/" + scopeSegment(config_.hardwareId),
    };
    out.insert(out.end(), config_.scopes.begin(), config_.scopes.end());
    return out;
}

Limits Services::limits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return limits_;
}

void Services::device(const std::string &op, pugi::xml_node request, const std::string &base,
                      Done done) {
    if (op == "GetSystemDateAndTime") {
        time_t now = time(nullptr);
        struct tm utc;
        gmtime_r(&now, &utc);
        done(
            ok("<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>Manual</"
               "tt:DateTimeType>"
               "<tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>UTC0</tt:TZ></"
               "tt:TimeZone>" +
               dateTimeXml("UTCDateTime", utc) + dateTimeXml("LocalDateTime", utc) +
               "</tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>"));
    } else if (op == "GetCapabilities") {
        std::vector<std::string> categories;
        for (pugi::xml_node c = request.first_child(); c; c = c.next_sibling())
            if (isElement(c, ns::kDevice, "Category")) categories.push_back(textOf(c));
        bool all = categories.empty();
        bool wantDevice = false, wantMedia = false, wantPtz = false;
        for (const std::string &c : categories) {
            if (c == "All")
                all = true;
            else if (c == "Device")
                wantDevice = true;
            else if (c == "Media")
                wantMedia = true;
            else if (c == "PTZ")
                wantPtz = true;
            else
                return done(faultResponse({"env:Receiver",
                                           {"ter:ActionNotSupported", "ter:NoSuchService"},
                                           "The device has no " + c + " service"}));
        }
        std::string body = "<tds:GetCapabilitiesResponse><tds:Capabilities>";
        if (all || wantDevice)
            body +=
                "<tt:Device><tt:XAddr>" + xmlEscape(base) +
                "/onvif/device_service</tt:XAddr><tt:Network><tt:IPFilter>false</tt:IPFilter>"
                "<tt:ZeroConfiguration>false</tt:ZeroConfiguration><tt:IPVersion6>false</"
                "tt:IPVersion6>"
                "<tt:DynDNS>false</tt:DynDNS></tt:Network><tt:System><tt:DiscoveryResolve>false"
                "</tt:DiscoveryResolve><tt:DiscoveryBye>true</"
                "tt:DiscoveryBye><tt:RemoteDiscovery>false"
                "</tt:RemoteDiscovery><tt:SystemBackup>false</"
                "tt:SystemBackup><tt:SystemLogging>false"
                "</tt:SystemLogging><tt:FirmwareUpgrade>false</"
                "tt:FirmwareUpgrade><tt:SupportedVersions>"
                "<tt:Major>2</tt:Major><tt:Minor>40</tt:Minor></tt:SupportedVersions></tt:System>"
                "<tt:Security><tt:TLS1.1>false</tt:TLS1.1><tt:TLS1.2>false</tt:TLS1.2>"
                "<tt:OnboardKeyGeneration>false</"
                "tt:OnboardKeyGeneration><tt:AccessPolicyConfig>false"
                "</tt:AccessPolicyConfig><tt:X.509Token>false</tt:X.509Token><tt:SAMLToken>false"
                "</tt:SAMLToken><tt:KerberosToken>false</tt:KerberosToken><tt:RELToken>false</"
                "tt:RELToken>"
                "</tt:Security></tt:Device>";
        if (all || wantMedia)
            body +=
                "<tt:Media><tt:XAddr>" + xmlEscape(base) +
                "/onvif/media_service</tt:XAddr><tt:StreamingCapabilities><tt:RTPMulticast>false"
                "</tt:RTPMulticast><tt:RTP_TCP>false</tt:RTP_TCP><tt:RTP_RTSP_TCP>true</"
                "tt:RTP_RTSP_TCP>"
                "</tt:StreamingCapabilities></tt:Media>";
        if (all || wantPtz)
            body +=
                "<tt:PTZ><tt:XAddr>" + xmlEscape(base) + "/onvif/ptz_service</tt:XAddr></tt:PTZ>";
        done(ok(body + "</tds:Capabilities></tds:GetCapabilitiesResponse>"));
    } else if (op == "GetServices") {
        bool withCapabilities =
            textOf(childElement(request, ns::kDevice, "IncludeCapability")) == "true";
        struct {
            const char *ns;
            const char *path;
            const char *capabilities;
        } services[] = {{ns::kDevice, "device_service", kDeviceCapabilities},
                        {ns::kMedia, "media_service", kMediaCapabilities},
                        {ns::kPtz, "ptz_service", kPtzCapabilities}};
        std::string body = "<tds:GetServicesResponse>";
        for (const auto &s : services) {
            body += std::string("<tds:Service><tds:Namespace>") + s.ns +
                    "</tds:Namespace><tds:XAddr>" + xmlEscape(base) + "/onvif/" + s.path +
                    "</tds:XAddr>";
            if (withCapabilities)
                body += std::string("<tds:Capabilities>") + s.capabilities + "</tds:Capabilities>";
            body +=
                "<tds:Version><tt:Major>2</tt:Major><tt:Minor>40</tt:Minor></tds:Version></"
                "tds:Service>";
        }
        done(ok(body + "</tds:GetServicesResponse>"));
    } else if (op == "GetServiceCapabilities") {
        done(ok(std::string("<tds:GetServiceCapabilitiesResponse>") + kDeviceCapabilities +
                "</tds:GetServiceCapabilitiesResponse>"));
    } else if (op == "GetDeviceInformation") {
        done(ok("<tds:GetDeviceInformationResponse>" +
                element("tds:Manufacturer", config_.manufacturer) +
                element("tds:Model", config_.model) +
                element("tds:FirmwareVersion", config_.firmwareVersion) +
                element("tds:SerialNumber", config_.serialNumber) +
                element("tds:HardwareId", config_.hardwareId) +
                "</tds:GetDeviceInformationResponse>"));
    } else if (op == "GetScopes") {
        std::string body = "<tds:GetScopesResponse>";
        size_t fixed = scopes().size() - config_.scopes.size();
        size_t index = 0;
        for (const std::string &scope : scopes())
            body += std::string("<tds:Scopes><tt:ScopeDef>") +
                    (index++ < fixed ? "Fixed" : "Configurable") + "</tt:ScopeDef>" +
                    element("tt:ScopeItem", scope) + "</tds:Scopes>";
        done(ok(body + "</tds:GetScopesResponse>"));
    } else if (op == "GetHostname") {
        char name[256] = "";
        if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
        done(ok(
            "<tds:GetHostnameResponse><tds:HostnameInformation><tt:FromDHCP>false</tt:FromDHCP>" +
            element("tt:Name", name) + "</tds:HostnameInformation></tds:GetHostnameResponse>"));
    } else {
        done(faultResponse(
            {"env:Receiver", {"ter:ActionNotSupported"}, "Optional Action Not Implemented"}));
    }
}

std::string Services::spacesXml() const {
    auto space2d = [](const char *element, const char *uri, double min) {
        std::string m = xmlNumber(min);
        return std::string("<tt:") + element + "><tt:URI>" + uri + "</tt:URI><tt:XRange><tt:Min>" +
               m + "</tt:Min><tt:Max>1</tt:Max></tt:XRange><tt:YRange><tt:Min>" + m +
               "</tt:Min><tt:Max>1</tt:Max></tt:YRange></tt:" + element + ">";
    };
    return space2d("AbsolutePanTiltPositionSpace", kPositionSpace, -1) +
           space2d("RelativePanTiltTranslationSpace", kTranslationSpace, -1) +
           space2d("ContinuousPanTiltVelocitySpace", kVelocitySpace, -1) +
           std::string("<tt:PanTiltSpeedSpace><tt:URI>") + kSpeedSpace +
           "</tt:URI><tt:XRange><tt:Min>0</tt:Min><tt:Max>1</tt:Max></tt:XRange></"
           "tt:PanTiltSpeedSpace>";
}

std::string Services::nodeXml() const {
    unsigned capacity = presetCapacity();
    return std::string("<tptz:PTZNode token=\"") + kPtzNodeToken +
           "\" FixedHomePosition=\"false\" GeoMove=\"false\"><tt:Name>Pan/tilt head</tt:Name>"
           "<tt:SupportedPTZSpaces>" +
           spacesXml() + "</tt:SupportedPTZSpaces><tt:MaximumNumberOfPresets>" +
           std::to_string(capacity) +
           "</tt:MaximumNumberOfPresets><tt:HomeSupported>true</tt:HomeSupported></tptz:PTZNode>";
}

std::string Services::ptzConfigurationXml(const std::string &name) const {
    return "<" + name + " token=\"" + kPtzConfigToken +
           "\"><tt:Name>PTZ</tt:Name><tt:UseCount>1</tt:UseCount>" + "<tt:NodeToken>" +
           kPtzNodeToken + "</tt:NodeToken>" + "<tt:DefaultAbsolutePantTiltPositionSpace>" +
           kPositionSpace + "</tt:DefaultAbsolutePantTiltPositionSpace>" +
           "<tt:DefaultRelativePanTiltTranslationSpace>" + kTranslationSpace +
           "</"
           "tt:DefaultRelativePanTiltTranslationSpace><tt:DefaultContinuousPanTiltVelocitySpace>" +
           kVelocitySpace +
           "</tt:DefaultContinuousPanTiltVelocitySpace><tt:DefaultPTZSpeed><tt:PanTilt x=\"1\" "
           "y=\"1\" space=\"" +
           kSpeedSpace + "\"/></tt:DefaultPTZSpeed><tt:DefaultPTZTimeout>" +
           formatDuration(config_.moveTimeoutMs) +
           "</tt:DefaultPTZTimeout><tt:PanTiltLimits><tt:Range><tt:URI>" + kPositionSpace +
           "</tt:URI><tt:XRange><tt:Min>-1</tt:Min><tt:Max>1</tt:Max></"
           "tt:XRange><tt:YRange><tt:Min>-1</tt:Min>"
           "<tt:Max>1</tt:Max></tt:YRange></tt:Range></tt:PanTiltLimits></" +
           name + ">";
}

std::string Services::profileXml(const std::string &name) const {
    std::string w = std::to_string(config_.videoWidth), h = std::to_string(config_.videoHeight);
    return "<" + name + " token=\"" + kProfileToken + "\" fixed=\"true\"><tt:Name>Main</tt:Name>" +
           "<tt:VideoSourceConfiguration token=\"" + kVideoSourceConfigToken +
           "\"><tt:Name>Camera</tt:Name><tt:UseCount>1</tt:UseCount><tt:SourceToken>" +
           kVideoSourceToken + "</tt:SourceToken><tt:Bounds x=\"0\" y=\"0\" width=\"" + w +
           "\" height=\"" + h +
           "\"/></tt:VideoSourceConfiguration><tt:VideoEncoderConfiguration token=\"" +
           kEncoderConfigToken +
           "\"><tt:Name>H264</tt:Name><tt:UseCount>1</tt:UseCount><tt:Encoding>H264</tt:Encoding>"
           "<tt:Resolution><tt:Width>" +
           w + "</tt:Width><tt:Height>" + h +
           "</tt:Height></tt:Resolution><tt:Quality>5</tt:Quality>" +
           "<tt:RateControl><tt:FrameRateLimit>" + std::to_string(config_.frameRate) +
           "</tt:FrameRateLimit><tt:EncodingInterval>1</tt:EncodingInterval><tt:BitrateLimit>" +
           std::to_string(config_.bitrateKbps) +
           "</tt:BitrateLimit></tt:RateControl><tt:H264><tt:GovLength>" +
           std::to_string(config_.frameRate * 2) +
           "</tt:GovLength><tt:H264Profile>Main</tt:H264Profile></"
           "tt:H264><tt:Multicast><tt:Address>"
           "<tt:Type>IPv4</tt:Type><tt:IPv4Address>0.0.0.0</tt:IPv4Address></"
           "tt:Address><tt:Port>0</tt:Port>"
           "<tt:TTL>1</tt:TTL><tt:AutoStart>false</tt:AutoStart></"
           "tt:Multicast><tt:SessionTimeout>PT60S"
           "</tt:SessionTimeout></tt:VideoEncoderConfiguration>" +
           ptzConfigurationXml("tt:PTZConfiguration") + "</" + name + ">";
}

void Services::media(const std::string &op, pugi::xml_node request, Done done) {
    auto profileArgument = [&]() {
        return textOf(childElement(request, ns::kMedia, "ProfileToken"));
    };
    if (op == "GetProfiles") {
        done(ok("<trt:GetProfilesResponse>" + profileXml("trt:Profiles") +
                "</trt:GetProfilesResponse>"));
    } else if (op == "GetProfile") {
        if (profileArgument() != kProfileToken) return done(noProfile());
        done(ok("<trt:GetProfileResponse>" + profileXml("trt:Profile") +
                "</trt:GetProfileResponse>"));
    } else if (op == "GetVideoSources") {
        done(ok(std::string("<trt:GetVideoSourcesResponse><trt:VideoSources token=\"") +
                kVideoSourceToken + "\"><tt:Framerate>" + std::to_string(config_.frameRate) +
                "</tt:Framerate><tt:Resolution><tt:Width>" + std::to_string(config_.videoWidth) +
                "</tt:Width><tt:Height>" + std::to_string(config_.videoHeight) +
                "</tt:Height></tt:Resolution></trt:VideoSources></trt:GetVideoSourcesResponse>"));
    } else if (op == "GetStreamUri" || op == "GetSnapshotUri") {
        if (profileArgument() != kProfileToken) return done(noProfile());
        const std::string &uri = op == "GetStreamUri" ? config_.streamUri : config_.snapshotUri;
        if (uri.empty())
            return done(
                faultResponse({"env:Receiver",
                               {"ter:ActionNotSupported"},
                               op == "GetStreamUri" ? "No stream address is configured"
                                                    : "No snapshot address is configured"}));
        done(ok("<trt:" + op + "Response><trt:MediaUri>" + element("tt:Uri", uri) +
                "<tt:InvalidAfterConnect>false</tt:InvalidAfterConnect><tt:InvalidAfterReboot>false"
                "</tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri></trt:" +
                op + "Response>"));
    } else if (op == "GetServiceCapabilities") {
        done(ok(std::string("<trt:GetServiceCapabilitiesResponse>") + kMediaCapabilities +
                "</trt:GetServiceCapabilitiesResponse>"));
    } else {
        done(faultResponse(
            {"env:Receiver", {"ter:ActionNotSupported"}, "Optional Action Not Implemented"}));
    }
}

}  // namespace onvif
