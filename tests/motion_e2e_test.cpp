// The motions of gimbalhub.control end to end: moves, jogs, presets across a
// restart, tours, and what the fixed object's moves do to them.
#include <string>

#include "control_fixture.h"

namespace {

const char kNearMinimum[] = R"({"LastCameraPosition":{"Pan":-170,"Tilt":-20}})";

}  // namespace

class Motions : public ControlObject {
protected:
    // The usual configuration with a "Motion" section.
    std::string writeConfigurationWith(const std::string &motion) {
        std::string text = configurationText(positionPath);
        text.insert(text.rfind('}'), ", \"Motion\": " + motion + "\n");
        const std::string path = scratch + "/gimbalhub.json";
        e2e::writeFile(path, text);
        e2e::writeFile(positionPath, kNearMinimum);
        return path;
    }
    void startWith(const std::string &motion) {
        ASSERT_NO_FATAL_FAILURE(startBroker());
        ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", writeConfigurationWith(motion)}));
        ASSERT_TRUE(waitIdleAt(-170, -20));
    }
    std::string reply(const std::string &method, const std::string &json) {
        const auto result = control(method, json);
        return result.exitStatus == 0 ? trimmed(result.out)
                                      : "status " + std::to_string(result.exitStatus);
    }
};

TEST_F(Motions, MovesAndJogsAnswerWithTheirTargetsAndRefuseBadArguments) {
    ASSERT_NO_FATAL_FAILURE(startWith(R"({"JogStepDegrees": 2})"));
    EXPECT_EQ(R"({"pan":177,"tilt":-20})", reply("moveTo", R"({"pan":1000})"));
    ASSERT_TRUE(waitIdleAt(177, -20));
    EXPECT_EQ(R"({"pan":177,"tilt":-22})", reply("moveBy", R"({"tilt":-5})"));
    ASSERT_TRUE(waitIdleAt(177, -22));
    for (const char *bad :
         {R"({})", R"({"pan":"5"})", R"({"pan":1.5})", R"({"pan":5,"tilt":true})"}) {
        EXPECT_EQ("status 2", reply("moveTo", bad)) << bad;
        EXPECT_EQ("status 2", reply("moveBy", bad)) << bad;
    }
    for (const char *bad : {R"({})", R"({"pan":2})", R"({"pan":-1.5})", R"({"pan":"1"})",
                            R"({"pan":1,"timeout":0})", R"({"pan":1,"timeout":1.5})"})
        EXPECT_EQ("status 2", reply("jog", bad)) << bad;
    EXPECT_TRUE(waitIdleAt(177, -22));

    // An integer speed, as the ubus tool sends 1; the deadman ends it.
    EXPECT_EQ(R"({"timeout":600})", reply("jog", R"({"pan":-1,"timeout":600})"));
    EXPECT_TRUE(has(status(), R"("activity":"jog","jog":{"pan":-1.000000,"tilt":0.000000,)"));
    ASSERT_TRUE(e2e::waitUntil([&] { return has(status(), R"("activity":"idle")"); }, 10, 0.05));
    int pan = 0;
    sscanf(status().c_str(), R"({"state":"READY","moving":false,"pan":%d)", &pan);
    EXPECT_LT(pan, 177);
    EXPECT_GE(pan, 177 - 2 * 8);  // two degrees per move, one move per two control cycles
    // A double speed, ended by a jog of zero.
    EXPECT_EQ(R"({"timeout":5000})", reply("jog", R"({"tilt":0.5,"timeout":5000})"));
    EXPECT_EQ("{}", reply("jog", R"({"pan":0,"tilt":0})"));
    EXPECT_TRUE(has(status(), R"("activity":)"));
    ASSERT_TRUE(e2e::waitUntil([&] { return has(status(), R"("activity":"idle")"); }, 10, 0.05));
}

TEST_F(Motions, PresetsSurviveARestartAndArrivalsAreAnnounced) {
    ASSERT_NO_FATAL_FAILURE(startWith("{}"));
    ASSERT_NO_FATAL_FAILURE(startListener({"gimbalhub.*"}));
    ASSERT_TRUE(waitListening());
    EXPECT_EQ(R"({"name":"corner","pan":-170,"tilt":-20})",
              reply("presetSet", R"({"name":"corner"})"));
    EXPECT_EQ(R"({"name":"gate 2","pan":30,"tilt":22})",
              reply("presetSet", R"({"name":"gate 2","pan":30,"tilt":99})"));
    for (const char *bad :
         {R"({})", R"({"name":""})", R"({"name":"a\tb"})", R"({"name":5})",
          R"({"name":"0123456789012345678901234567890123"})", R"({"name":"x","pan":"1"})"})
        EXPECT_EQ("status 2", reply("presetSet", bad)) << bad;
    EXPECT_EQ("status 4", reply("presetGoto", R"({"name":"attic"})"));
    EXPECT_EQ("status 4", reply("presetRemove", R"({"name":"attic"})"));

    EXPECT_EQ(R"({"pan":30,"tilt":22})", reply("presetGoto", R"({"name":"gate 2"})"));
    ASSERT_TRUE(e2e::waitUntil(
        [&] { return has(heard(), R"({ "gimbalhub.preset": {"name":"gate 2"} })"); }, 10));
    EXPECT_TRUE(has(status(), R"("activity":"idle","preset":"gate 2")"));

    daemon->stop(5.0);
    ASSERT_TRUE(daemon->exited() && daemon->exitStatus() == 0);
    ASSERT_NO_FATAL_FAILURE(startDaemon({"-c", scratch + "/gimbalhub.json"}));
    ASSERT_TRUE(waitIdleAt(-170, -20));
    EXPECT_EQ(R"({"presets":[{"name":"corner","pan":-170,"tilt":-20},)"
              R"({"name":"gate 2","pan":30,"tilt":22}],"capacity":64})",
              reply("presetList", ""));
    EXPECT_EQ("{}", reply("presetRemove", R"({"name":"corner"})"));
    EXPECT_EQ(R"({"presets":[{"name":"gate 2","pan":30,"tilt":22}],"capacity":64})",
              reply("presetList", ""));
}

TEST_F(Motions, ADamagedPresetFileLeavesNoPresetsAndTheDaemonServing) {
    e2e::writeFile(scratch + "/presets.json", "{\"presets\":[{\"name\":");
    ASSERT_NO_FATAL_FAILURE(startWith(R"({"PresetFile": ")" + scratch + R"(/presets.json"})"));
    EXPECT_TRUE(waitForLog("Preset file unusable, starting with no presets: " + scratch +
                           "/presets.json (not JSON)"));
    EXPECT_EQ(R"({"presets":[],"capacity":64})", reply("presetList", ""));
    EXPECT_EQ(R"({"pan":-170,"tilt":-20})", trimmed(call("getPosition", "{}").out));
}

TEST_F(Motions, ToursRunUntilStoppedAndTheFixedObjectEndsAJogSilently) {
    ASSERT_NO_FATAL_FAILURE(startWith("{}"));
    ASSERT_EQ("status 0",
              "status " + std::to_string(control("presetSet", R"({"name":"a"})").exitStatus));
    ASSERT_EQ(0, control("presetSet", R"({"name":"b","pan":-160})").exitStatus);
    EXPECT_EQ("status 4", reply("tourStart", R"({"presets":["a","attic"],"dwell":0,"loops":0})"));
    for (const char *bad :
         {R"({"presets":["a"],"dwell":0,"loops":0})", R"({"presets":["a",1],"dwell":0,"loops":0})",
          R"({"presets":"a","dwell":0,"loops":0})", R"({"presets":["a","b"],"dwell":-1,"loops":0})",
          R"({"presets":["a","b"],"loops":0})"})
        EXPECT_EQ("status 2", reply("tourStart", bad)) << bad;
    EXPECT_EQ("{}", reply("tourStart", R"({"presets":["a","b"],"dwell":0,"loops":0})"));
    EXPECT_TRUE(has(status(), R"("activity":"tour","tour":{"presets":["a","b"],)"));
    const auto stopped = control("stop");
    EXPECT_EQ(0, stopped.exitStatus);
    EXPECT_TRUE(has(stopped.out, "dropped"));
    EXPECT_FALSE(has(status(), R"("activity":"tour")"));

    EXPECT_EQ(R"({"timeout":20000})", reply("jog", R"({"tilt":1,"timeout":20000})"));
    const size_t before = log().size();
    ASSERT_EQ(0, call("changePan", R"({"step":1})").exitStatus);
    EXPECT_FALSE(has(status(), R"("activity":"jog")"));
    // The fixed object's lines, and nothing of the jog's end among them.
    const auto lines = log();
    const long entering = indexOf(lines, "Entering", before);
    ASSERT_GE(entering, 0);
    EXPECT_EQ("step of the message received: 1", lines[entering + 1].message);
    EXPECT_EQ("Queuing PAN change command. delta = 1", lines[entering + 2].message);
    EXPECT_EQ("Exiting", lines[entering + 3].message) << describe(lines);
}
