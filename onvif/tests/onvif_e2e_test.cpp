// gimbalhub-onvif end to end: the real daemon on the simulated driver, the
// bundled broker, the endpoint, and two third-party ONVIF client libraries
// from npm steering the head, each test once per library. Every test runs in
// a network namespace of its own (loopback with a multicast route), so
// discovery on UDP 3702 meets no other test and nothing of the host.
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "daemon_fixture.h"

using nlohmann::json;

namespace {

const char kAtZero[] = R"({"LastCameraPosition":{"Pan":0,"Tilt":0}})";

// Loopback up and multicast through it, in a fresh network namespace.
bool enterPrivateNetwork(std::string *why) {
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq lo = {};
    strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &lo) == 0;
    lo.ifr_flags |= IFF_UP | IFF_MULTICAST;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
    rtentry route = {};
    auto *dst = reinterpret_cast<sockaddr_in *>(&route.rt_dst);
    auto *mask = reinterpret_cast<sockaddr_in *>(&route.rt_genmask);
    dst->sin_family = mask->sin_family = AF_INET;
    inet_pton(AF_INET, "224.0.0.0", &dst->sin_addr);
    inet_pton(AF_INET, "240.0.0.0", &mask->sin_addr);
    route.rt_flags = RTF_UP;
    char device[] = "lo";
    route.rt_dev = device;
    ok = ok && ioctl(fd, SIOCADDRT, &route) == 0;
    if (!ok) *why = std::string("loopback set-up: ") + strerror(errno);
    if (fd >= 0) close(fd);
    return ok;
}

}  // namespace

class OnvifFixture : public DaemonTest {
protected:
    void SetUp() override {
        DaemonTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        if (access(ONVIF_NODE, X_OK) != 0 || access(ONVIF_CLIENTS "/node_modules/onvif", F_OK) != 0)
            GTEST_SKIP() << "node or the npm clients are missing (onvif_clients_install)";
        std::string why;
        ASSERT_TRUE(enterPrivateNetwork(&why)) << why;
    }
    void TearDown() override {
        if (endpoint) endpoint->stop(5.0);
        DaemonTest::TearDown();
    }

    // Broker, daemon (moves of a few degrees take tenths of a second) and
    // the endpoint with one user.
    void startAll(const std::string &extraConfig = "") {
        ASSERT_NO_FATAL_FAILURE(startReadyDaemon(kAtZero, {{"SSP_SIM_SPEED", "2000"}}));
        const std::string config = scratch + "/onvif.json";
        e2e::writeFile(
            config,
            "{\"Users\":[{\"Name\":\"admin\",\"Password\":\"secret\"}],"
            "\"StreamUri\":\"rtsp://127.0.0.1:8554/live\",\"Device\":{\"Name\":\"roof\"}" +
                extraConfig + "}");
        endpoint = std::make_unique<e2e::Process>();
        e2e::SpawnOptions options;
        options.argv = {ONVIF_ENDPOINT, "-c", config, "-l", "127.0.0.1:0"};
        options.captureStdout = true;
        options.stderrPath = scratch + "/onvif.err";
        std::string error;
        ASSERT_TRUE(endpoint->start(options, &error)) << error;
        std::string line = endpoint->waitLine("listening on ", 20);
        ASSERT_FALSE(line.empty()) << e2e::readFile(scratch + "/onvif.err");
        url = line.substr(strlen("listening on "));
        while (!url.empty() && (url.back() == '\n' || url.back() == '\r')) url.pop_back();
    }

    // One command through a client library; the client's JSON reply.
    json run(const std::string &library, const std::string &command, const json &args,
             const std::string &password = "secret") {
        e2e::CommandResult r = e2e::runCommand({ONVIF_NODE, ONVIF_CLIENTS "/client.js", library,
                                                url, "admin", password, command, args.dump()},
                                               40);
        json reply = json::parse(r.out.substr(0, r.out.find('\n')), nullptr, false);
        if (reply.is_discarded()) reply = {{"ok", false}, {"error", "no reply: " + r.out + r.err}};
        return reply;
    }

    json control(const std::string &method) {
        e2e::CommandResult r = e2e::runCommand(
            {e2e::ubusCliPath(), "-S", "-t", "5", "call", "gimbalhub.control", method}, 15);
        return json::parse(r.out, nullptr, false);
    }
    // Until the daemon reports the head idle; its status then.
    json idle() {
        json status;
        e2e::waitUntil(
            [&] {
                status = control("status");
                return status.is_object() && !status.value("moving", true);
            },
            20, 0.05);
        return status;
    }

    std::unique_ptr<e2e::Process> endpoint;
    std::string url;
};

class OnvifEndToEnd : public OnvifFixture, public ::testing::WithParamInterface<const char *> {
protected:
    json client(const std::string &command, const json &args = json::object(),
                const std::string &password = "secret") {
        return run(GetParam(), command, args, password);
    }
    json ok(const std::string &command, const json &args = json::object()) {
        json reply = client(command, args);
        EXPECT_TRUE(reply.value("ok", false)) << command << ": " << reply.dump();
        return reply;
    }
};

TEST_P(OnvifEndToEnd, ConnectsAndReadsTheStatus) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    json connected = ok("connect");
    EXPECT_EQ(json("Profile_1"), connected["profile"]) << connected.dump();
    EXPECT_EQ(json("Gimbalhub"), connected["manufacturer"]) << connected.dump();
    EXPECT_EQ(json("rtsp://127.0.0.1:8554/live"), connected["stream"]) << connected.dump();
    json status = ok("status");
    EXPECT_NEAR(0, status.value("x", 9.0), 0.01);
    EXPECT_NEAR(0, status.value("y", 9.0), 0.01);
    EXPECT_EQ("IDLE", status.value("moveStatus", ""));
}

TEST_P(OnvifEndToEnd, WrongCredentialsGetNothingAndTheEndpointServesOn) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    json refused = client("status", json::object(), "guess");
    EXPECT_FALSE(refused.value("ok", true)) << refused.dump();
    EXPECT_TRUE(endpoint->running());
    ok("status");
}

TEST_P(OnvifEndToEnd, AbsoluteAndRelativeMovesReachTheMotorsClampedAtTheLimits) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    const size_t before = moves().size();
    ok("absolute", {{"x", 0.5}, {"y", -1}});
    json status = idle();
    EXPECT_NEAR(89, status.value("pan", 0), 1);  // half way up the range -177.5..177.5
    EXPECT_EQ(-22, status.value("tilt", 0));     // -22.5 is no whole degree: the nearest inside
    EXPECT_GT(moves().size(), before) << describe(moves());

    ok("relative", {{"x", 1}, {"y", 0}});
    status = idle();
    EXPECT_LE(status.value("pan", 999), 178);
    EXPECT_GE(status.value("pan", 0), 177);
    json reported = ok("status");
    EXPECT_NEAR(1, reported.value("x", 0.0), 0.01);
}

TEST_P(OnvifEndToEnd, ContinuousMoveThenStopEndsWithinOneShortMove) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    const size_t homing = moves().size();
    auto jog = [&] {
        const std::vector<e2e::TraceEntry> all = moves();
        return std::vector<e2e::TraceEntry>(all.begin() + static_cast<long>(homing), all.end());
    };
    ok("continuous", {{"x", 1}, {"y", 0}, {"timeout", 10}});
    ASSERT_TRUE(e2e::waitUntil([&] { return jog().size() >= 2; }, 10))
        << "the jog did not reach the driver: " << describe(moves());
    ok("stop");
    const size_t sentBeforeStop = jog().size();
    json status = idle();
    const std::vector<e2e::TraceEntry> sent = jog();
    // The move on its way to the driver may still arrive; nothing after it.
    EXPECT_LE(sent.size(), sentBeforeStop + 1) << describe(sent);
    // 4096 steps a turn: a short move of the jog is 5 degrees, 57 steps.
    for (const e2e::TraceEntry &move : sent) EXPECT_LE(move.steps, 57) << describe(sent);
    const int stoppedAt = status.value("pan", 0);
    EXPECT_GT(stoppedAt, 0);
    EXPECT_LT(stoppedAt, 177) << "the jog ran to the limit despite Stop";
    EXPECT_EQ("IDLE", ok("status").value("moveStatus", ""));
    EXPECT_EQ(sent.size(), jog().size()) << describe(moves());
}

TEST_P(OnvifEndToEnd, PresetsAreSetListedRecalledAndRemoved) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    ok("absolute", {{"x", -0.5}, {"y", 0.5}});
    json at = idle();
    json set = ok("setPreset", {{"name", "door"}});
    EXPECT_EQ("door", set.value("token", ""));
    ok("absolute", {{"x", 0.5}, {"y", 0}});
    idle();
    json listed = ok("presets");
    EXPECT_NE(std::string::npos, listed.dump().find("door")) << listed.dump();

    ok("gotoPreset", {{"token", "door"}});
    json back = idle();
    EXPECT_EQ(at.value("pan", 0), back.value("pan", 1));
    EXPECT_EQ(at.value("tilt", 0), back.value("tilt", 1));

    ok("removePreset", {{"token", "door"}});
    EXPECT_EQ(std::string::npos, ok("presets").dump().find("door"));
    EXPECT_FALSE(client("gotoPreset", {{"token", "door"}}).value("ok", true));
}

TEST_P(OnvifEndToEnd, HomeIsSetAndReturnedTo) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    ok("absolute", {{"x", -0.5}, {"y", 0.5}});
    json at = idle();
    ok("setHome");
    ok("absolute", {{"x", 0}, {"y", 0}});
    idle();
    ok("home");
    json home = idle();
    EXPECT_EQ(at.value("pan", 0), home.value("pan", 1));
    EXPECT_EQ(at.value("tilt", 0), home.value("tilt", 1));
}

TEST_P(OnvifEndToEnd, DiscoveryFindsTheEndpoint) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    json found = ok("probe", {{"timeout", 2500}});
    ASSERT_EQ(1u, found["found"].size()) << found.dump();
    const json &match = found["found"][0];
    EXPECT_EQ(0u, match.value("address", "").find("urn:uuid:"));
    EXPECT_NE(std::string::npos, match.value("xaddrs", "").find(url.substr(0, url.find("/onvif"))))
        << match.dump();
    EXPECT_NE(std::string::npos, match.dump().find("onvif://www.onvif.org/name/roof"));
}

INSTANTIATE_TEST_SUITE_P(Clients, OnvifEndToEnd, ::testing::Values("onvif", "node-onvif"),
                         [](const ::testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param) == "onvif" ? "onvif" : "node_onvif";
                         });

// Hello when it starts, Bye when SIGTERM ends it, heard on the group.
TEST_F(OnvifFixture, AnnouncesItselfAndSaysByeOnSigterm) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in bound = {};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(3702);
    ip_mreq group = {};
    inet_pton(AF_INET, "239.255.255.250", &group.imr_multiaddr);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&bound), sizeof bound)) << strerror(errno);
    ASSERT_EQ(0, setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group))
        << strerror(errno);
    timeval limit = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    auto next = [&]() {
        char buffer[8192];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
    };

    ASSERT_NO_FATAL_FAILURE(startAll());
    std::string hello = next();
    EXPECT_NE(std::string::npos, hello.find("<d:Hello>")) << hello;
    EXPECT_NE(std::string::npos, hello.find("dn:NetworkVideoTransmitter tds:Device"));
    endpoint->signal(SIGTERM);
    std::string bye;
    while (bye.find("<d:Bye>") == std::string::npos) {
        bye = next();
        if (bye.empty()) break;
    }
    EXPECT_NE(std::string::npos, bye.find("<d:Bye>"));
    ASSERT_TRUE(endpoint->wait(10));
    EXPECT_TRUE(endpoint->exited());
    EXPECT_EQ(0, endpoint->exitStatus());
    close(fd);
}

// A client that speaks HTTP Digest only, as many recorders do.
TEST_F(OnvifFixture, HttpDigestAloneOpensTheServices) {
    ASSERT_NO_FATAL_FAILURE(startAll());
    json status = run("onvif", "status", {{"digest", true}});
    EXPECT_TRUE(status.value("ok", false)) << status.dump();
    json refused = run("onvif", "status", {{"digest", true}}, "guess");
    EXPECT_FALSE(refused.value("ok", true)) << refused.dump();
    EXPECT_TRUE(endpoint->running());
}
