// The PTZ and Media operations against a bus that answers what the test
// says: what each asks of gimbalhub.control and how its reply is mapped.
#include <gtest/gtest.h>

#include "onvif_test_support.h"
#include "soap_endpoint.h"

using namespace onvif;
using nlohmann::json;
using onvif_test::contains;

namespace {

const json kStatus = {{"state", "READY"},
                      {"moving", false},
                      {"pan", 90},
                      {"tilt", -10},
                      {"queued", 0},
                      {"activity", "idle"},
                      {"home", {{"pan", 0}, {"tilt", 0}}},
                      {"limits", {{"pan", {-180.0, 180.0}}, {"tilt", {-20.0, 20.0}}}}};

std::string ptz(const std::string &op, const std::string &inner = "") {
    return onvif_test::request(
        "<" + op +
        " xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\" "
        "xmlns:tt=\"http://www.onvif.org/ver10/schema\"><ProfileToken>Profile_1</ProfileToken>" +
        inner + "</" + op + ">");
}

class OnvifPtz : public ::testing::Test {
protected:
    OnvifPtz() : endpoint(config, bus) {}
    void send(const std::string &text) {
        answers = 0;
        endpoint.handle(text.data(), text.size(), {"http://h:1", false}, [this](SoapResponse r) {
            last = std::move(r);
            ++answers;
        });
    }
    // Answers the pending call with the given method and reply.
    void expectCall(const std::string &method, const json &args, int status = kBusOk,
                    const json &reply = json::object()) {
        ASSERT_FALSE(bus.calls.empty()) << "no call, expected " << method;
        EXPECT_EQ("gimbalhub.control", bus.calls.front().object);
        EXPECT_EQ(method, bus.calls.front().method);
        if (!args.is_null()) {
            EXPECT_EQ(args, bus.calls.front().args) << method;
        }
        EXPECT_EQ(config.busTimeoutMs, bus.calls.front().timeoutMs);
        bus.answer(status, reply);
    }
    void expectOk(const std::string &part) {
        EXPECT_EQ(1, answers);
        EXPECT_EQ(200u, last.httpStatus) << last.body;
        EXPECT_TRUE(contains(last.body, part)) << last.body;
        EXPECT_TRUE(bus.calls.empty());
    }
    void expectFault(unsigned status, const std::string &subcode) {
        EXPECT_EQ(1, answers);
        EXPECT_EQ(status, last.httpStatus) << last.body;
        EXPECT_TRUE(contains(last.body, subcode)) << last.body;
        EXPECT_TRUE(bus.calls.empty());
    }

    Config config;
    onvif_test::FakeBus bus;
    SoapEndpoint endpoint;
    SoapResponse last;
    int answers = 0;
};

const char kVelocity[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";

}  // namespace

TEST_F(OnvifPtz, StatusMapsDegreesOntoTheGenericSpaceOfTheConfiguredRange) {
    send(ptz("GetStatus"));
    expectCall("status", json::object(), kBusOk, kStatus);
    expectOk(
        "<tt:PanTilt x=\"0.5\" y=\"-0.5\" "
        "space=\"http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace\"/>");
    EXPECT_TRUE(contains(last.body, "<tt:MoveStatus><tt:PanTilt>IDLE</tt:PanTilt>"));

    json jogging = kStatus;
    jogging["activity"] = "jog";
    jogging["pan"] = 400;  // beyond the limits: the contract methods do not clamp
    send(ptz("GetStatus"));
    expectCall("status", json::object(), kBusOk, jogging);
    expectOk("<tt:PanTilt>MOVING</tt:PanTilt>");
    EXPECT_TRUE(contains(last.body, "x=\"1\""));
}

TEST_F(OnvifPtz, ContinuousMoveJogsWithTheTimeoutOrTheDefault) {
    send(ptz("ContinuousMove", "<Velocity><tt:PanTilt x=\"0.5\" y=\"-1\" space=\"" +
                                   std::string(kVelocity) +
                                   "\"/></Velocity><Timeout>PT2.5S</Timeout>"));
    expectCall("jog", {{"pan", 0.5}, {"tilt", -1.0}, {"timeout", 2500}}, kBusOk,
               {{"timeout", 2500}});
    expectOk("ContinuousMoveResponse");

    send(ptz("ContinuousMove",
             "<Velocity><tt:PanTilt x=\"0\" y=\"0.25\"/><tt:Zoom x=\"0\"/></Velocity>"));
    expectCall("jog", {{"pan", 0.0}, {"tilt", 0.25}, {"timeout", 5000}});
    expectOk("ContinuousMoveResponse");

    send(ptz("ContinuousMove",
             "<Velocity><tt:PanTilt x=\"1\" y=\"1\"/></Velocity><Timeout>PT1H</Timeout>"));
    expectCall("jog", {{"pan", 1.0}, {"tilt", 1.0}, {"timeout", 60000}});
    expectOk("ContinuousMoveResponse");

    // Zoom alone leaves the pan/tilt motion as it is.
    send(ptz("ContinuousMove", "<Velocity><tt:Zoom x=\"0\"/></Velocity>"));
    expectOk("ContinuousMoveResponse");
}

TEST_F(OnvifPtz, MovesOutsideWhatTheHeadHasGetTheirFaults) {
    send(ptz("ContinuousMove", "<Velocity><tt:PanTilt x=\"1.5\" y=\"0\"/></Velocity>"));
    expectFault(400, "ter:InvalidVelocity");
    send(ptz("ContinuousMove", "<Velocity><tt:Zoom x=\"0.3\"/></Velocity>"));
    expectFault(400, "ter:InvalidVelocity");
    send(ptz("ContinuousMove",
             "<Velocity><tt:PanTilt x=\"0.1\" y=\"0\" space=\"urn:degrees\"/></Velocity>"));
    expectFault(400, "ter:SpaceNotSupported");
    send(ptz("ContinuousMove", "<Velocity><tt:PanTilt x=\"fast\" y=\"0\"/></Velocity>"));
    expectFault(400, "ter:InvalidArgs");
    send(ptz("ContinuousMove",
             "<Velocity><tt:PanTilt x=\"0.1\" y=\"0\"/></Velocity><Timeout>soon</Timeout>"));
    expectFault(400, "ter:TimeoutNotSupported");
    send(ptz("AbsoluteMove", "<Position><tt:PanTilt x=\"-1.01\" y=\"0\"/></Position>"));
    expectFault(400, "ter:InvalidPosition");
    send(ptz("AbsoluteMove", "<Position><tt:PanTilt x=\"0\" y=\"0\" space=\"" +
                                 std::string(kVelocity) + "\"/></Position>"));
    expectFault(400, "ter:SpaceNotSupported");
    send(ptz("RelativeMove", "<Translation><tt:PanTilt x=\"0\" y=\"2\"/></Translation>"));
    expectFault(400, "ter:InvalidTranslation");
    send(ptz("RelativeMove",
             "<Translation><tt:PanTilt x=\"0.1\" y=\"0\"/><tt:Zoom x=\"0.2\"/></Translation>"));
    expectFault(400, "ter:InvalidTranslation");
    send(onvif_test::request(
        "<GetStatus xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><ProfileToken>Other"
        "</ProfileToken></GetStatus>"));
    expectFault(400, "ter:NoProfile");
}

TEST_F(OnvifPtz, AbsoluteAndRelativeMovesUseTheDaemonsLimits) {
    send(ptz("AbsoluteMove",
             "<Position><tt:PanTilt x=\"0.5\" y=\"-1\"/><tt:Zoom x=\"0\"/></Position>"
             "<Speed><tt:PanTilt x=\"0.5\" y=\"0.5\"/></Speed>"));
    // The limits are not known yet: status first.
    expectCall("status", json::object(), kBusOk, kStatus);
    expectCall("moveTo", {{"pan", 90}, {"tilt", -20}}, kBusOk, {{"pan", 90}, {"tilt", -20}});
    expectOk("AbsoluteMoveResponse");

    send(ptz("RelativeMove", "<Translation><tt:PanTilt x=\"-0.25\" y=\"0.1\"/></Translation>"));
    expectCall("moveBy", {{"pan", -45}, {"tilt", 2}});
    expectOk("RelativeMoveResponse");
}

TEST_F(OnvifPtz, AbsoluteTargetsStayInsideLimitsThatAreNoWholeDegrees) {
    json status = kStatus;
    status["limits"] = {{"pan", {-177.5, 177.5}}, {"tilt", {-22.5, 22.5}}};
    send(ptz("GetStatus"));
    expectCall("status", json::object(), kBusOk, status);
    send(ptz("AbsoluteMove", "<Position><tt:PanTilt x=\"1\" y=\"-1\"/></Position>"));
    expectCall("moveTo", {{"pan", 177}, {"tilt", -22}});
    expectOk("AbsoluteMoveResponse");
}

TEST_F(OnvifPtz, StopEndsPanTiltUnlessOnlyZoomIsAsked) {
    send(ptz("Stop", "<PanTilt>true</PanTilt><Zoom>true</Zoom>"));
    expectCall("stop", json::object(), kBusOk, {{"dropped", 0}});
    expectOk("StopResponse");
    send(ptz("Stop"));
    expectCall("stop", json::object());
    expectOk("StopResponse");
    send(ptz("Stop", "<PanTilt>false</PanTilt><Zoom>true</Zoom>"));
    expectOk("StopResponse");
}

TEST_F(OnvifPtz, PresetsAreTheDaemonsPresetsByName) {
    const json list = {{"presets",
                        {{{"name", "door"}, {"pan", -90}, {"tilt", 0}},
                         {{"name", "Preset 1"}, {"pan", 0}, {"tilt", 20}}}},
                       {"capacity", 3}};
    send(ptz("GetPresets"));
    expectCall("status", json::object(), kBusOk, kStatus);
    expectCall("presetList", json::object(), kBusOk, list);
    expectOk(
        "<tptz:Preset token=\"door\"><tt:Name>door</tt:Name><tt:PTZPosition><tt:PanTilt x=\"-0.5\" "
        "y=\"0\"");

    send(ptz("SetPreset", "<PresetName>window</PresetName>"));
    expectCall("presetList", json::object(), kBusOk, list);
    expectCall("presetSet", {{"name", "window"}});
    expectOk("<tptz:PresetToken>window</tptz:PresetToken>");

    // Without a name the first free one is taken.
    send(ptz("SetPreset"));
    expectCall("presetList", json::object(), kBusOk, list);
    expectCall("presetSet", {{"name", "Preset 2"}});
    expectOk("<tptz:PresetToken>Preset 2</tptz:PresetToken>");

    send(ptz("SetPreset", "<PresetName>door</PresetName>"));
    expectCall("presetList", json::object(), kBusOk, list);
    expectFault(400, "ter:PresetExist");

    // An existing token stores the current position under it, renamed if asked.
    send(ptz("SetPreset", "<PresetName>gate</PresetName><PresetToken>door</PresetToken>"));
    expectCall("presetList", json::object(), kBusOk, list);
    expectCall("presetSet", {{"name", "gate"}});
    expectCall("presetRemove", {{"name", "door"}});
    expectOk("<tptz:PresetToken>gate</tptz:PresetToken>");

    send(ptz("SetPreset", "<PresetToken>nowhere</PresetToken>"));
    expectCall("presetList", json::object(), kBusOk, list);
    expectFault(400, "ter:NoToken");

    send(ptz("SetPreset", "<PresetName>" + std::string(40, 'x') + "</PresetName>"));
    expectFault(400, "ter:InvalidPresetName");

    json full = list;
    full["capacity"] = 2;
    send(ptz("SetPreset", "<PresetName>attic</PresetName>"));
    expectCall("presetList", json::object(), kBusOk, full);
    expectFault(500, "ter:TooManyPresets");

    send(ptz("SetPreset", "<PresetName>attic</PresetName>"));
    expectCall("presetList", json::object(), kBusOk, list);
    expectCall("presetSet", {{"name", "attic"}}, kBusUnknownError);
    expectFault(500, "ter:MovingPTZ");

    send(ptz("GotoPreset", "<PresetToken>door</PresetToken>"));
    expectCall("presetGoto", {{"name", "door"}}, kBusOk, {{"pan", -90}, {"tilt", 0}});
    expectOk("GotoPresetResponse");
    send(ptz("GotoPreset", "<PresetToken>nowhere</PresetToken>"));
    expectCall("presetGoto", {{"name", "nowhere"}}, kBusNotFound);
    expectFault(400, "ter:NoToken");
    send(ptz("RemovePreset", "<PresetToken>door</PresetToken>"));
    expectCall("presetRemove", {{"name", "door"}});
    expectOk("RemovePresetResponse");
    send(ptz("RemovePreset", "<PresetToken>door</PresetToken>"));
    expectCall("presetRemove", {{"name", "door"}}, kBusNotFound);
    expectFault(400, "ter:NoToken");
}

TEST_F(OnvifPtz, HomeAndABusThatDoesNotAnswer) {
    send(ptz("GotoHomePosition"));
    expectCall("gotoHome", json::object(), kBusOk, {{"pan", 0}, {"tilt", 0}});
    expectOk("GotoHomePositionResponse");
    send(ptz("SetHomePosition"));
    expectCall("setHome", json::object(), kBusOk, {{"pan", 90}, {"tilt", -10}});
    expectOk("SetHomePositionResponse");
    send(ptz("SetHomePosition"));
    expectCall("setHome", json::object(), kBusUnknownError);
    expectFault(500, "ter:Action");

    send(ptz("GetStatus"));
    EXPECT_EQ(0, answers);
    expectCall("status", json::object(), kBusTimeout);
    expectFault(500, "s:Receiver");
    send(ptz("Stop"));
    expectCall("stop", json::object(), kBusNoConnection);
    expectFault(500, "not available");
}

TEST_F(OnvifPtz, NodesConfigurationsAndProfilesDescribeTheOneHead) {
    send(onvif_test::request("<GetNodes xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"/>"));
    expectCall("presetList", json::object(), kBusOk,
               {{"presets", json::array()}, {"capacity", 24}});
    expectOk(
        "<tt:MaximumNumberOfPresets>24</tt:MaximumNumberOfPresets><tt:HomeSupported>true</"
        "tt:HomeSupported>");
    EXPECT_FALSE(contains(last.body, "Zoom"));

    send(onvif_test::request(
        "<GetConfigurationOptions xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\">"
        "<ConfigurationToken>PTZConfig_1</ConfigurationToken></GetConfigurationOptions>"));
    expectOk("<tt:PTZTimeout><tt:Min>PT0.1S</tt:Min><tt:Max>PT60S</tt:Max></tt:PTZTimeout>");
    send(onvif_test::request(
        "<GetConfiguration xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\">"
        "<PTZConfigurationToken>nope</PTZConfigurationToken></GetConfiguration>"));
    expectFault(400, "ter:NoConfig");
    send(onvif_test::request(
        "<GetNode "
        "xmlns=\"http://www.onvif.org/ver20/ptz/wsdl\"><NodeToken>x</NodeToken></GetNode>"));
    expectFault(400, "ter:NoEntity");

    // Clients refuse profiles without a video source, an H.264 encoder and PTZ.
    send(onvif_test::request("<GetProfiles xmlns=\"http://www.onvif.org/ver10/media/wsdl\"/>"));
    expectOk("<trt:Profiles token=\"Profile_1\" fixed=\"true\">");
    for (const char *part :
         {"<tt:VideoSourceConfiguration token=", "<tt:SourceToken>VideoSource_1</tt:SourceToken>",
          "<tt:Encoding>H264</tt:Encoding>", "<tt:PTZConfiguration token=\"PTZConfig_1\">",
          "<tt:DefaultPTZTimeout>PT5S</tt:DefaultPTZTimeout>"})
        EXPECT_TRUE(contains(last.body, part)) << part;
    send(
        onvif_test::request("<GetStreamUri xmlns=\"http://www.onvif.org/ver10/media/wsdl\">"
                            "<ProfileToken>Profile_1</ProfileToken></GetStreamUri>"));
    expectFault(500, "ter:ActionNotSupported");
}

TEST(OnvifMediaUris, ComeFromTheConfigurationEscaped) {
    Config config;
    config.streamUri = "rtsp://10.0.0.2/live?a=1&b=2";
    onvif_test::FakeBus bus;
    SoapEndpoint endpoint(config, bus);
    std::string text = onvif_test::request(
        "<GetStreamUri xmlns=\"http://www.onvif.org/ver10/media/wsdl\">"
        "<ProfileToken>Profile_1</ProfileToken></GetStreamUri>");
    SoapResponse out;
    endpoint.handle(text.data(), text.size(), {"http://h", false},
                    [&](SoapResponse r) { out = r; });
    EXPECT_TRUE(contains(out.body, "<tt:Uri>rtsp://10.0.0.2/live?a=1&amp;b=2</tt:Uri>"))
        << out.body;
}

TEST(OnvifDurations, TheFormsClientsSend) {
    double s = 0;
    EXPECT_TRUE(parseDuration("PT5S", s));
    EXPECT_DOUBLE_EQ(5, s);
    EXPECT_TRUE(parseDuration("PT0.5S", s));
    EXPECT_DOUBLE_EQ(0.5, s);
    EXPECT_TRUE(parseDuration("P0DT1M30S", s));
    EXPECT_DOUBLE_EQ(90, s);
    for (const char *bad : {"", "P", "PT", "5S", "PT5", "PTS", "P1Y", "PT1S2", "-PT1S"})
        EXPECT_FALSE(parseDuration(bad, s)) << bad;
    EXPECT_EQ("PT5S", formatDuration(5000));
    EXPECT_EQ("PT0.100S", formatDuration(100));
}
