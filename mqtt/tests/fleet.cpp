#include "fleet.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace mqtttest {

std::string bridgePath() { return GIMBAL_MQTT_BRIDGE; }

namespace {

std::string findInPath(const std::string &program) {
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// unshare [-r] -m: a normal user becomes root of a user namespace first.
std::vector<std::string> unshareArgv() {
    std::vector<std::string> argv = {findInPath("unshare")};
    if (geteuid() != 0) argv.push_back("-r");
    argv.insert(argv.end(), {"-m", "--propagation", "private"});
    return argv;
}

// Mounts the head's bus folder over the default socket's folder, then runs
// the daemon with the simulator preloaded (only into the daemon, not the shell).
const char kDaemonLauncher[] =
    "d=/var/run/ubus; "
    "mkdir -p $d 2>/dev/null || { mount -t tmpfs tmpfs /run && mkdir -p $d; } || exit 125; "
    "mount --bind \"$1\" $d || exit 125; shift; "
    "LD_PRELOAD=\"$HEAD_PRELOAD\" exec \"$@\"";

}  // namespace

bool fleetPossible(std::string *why) {
    if (brokerPath().empty()) {
        *why = "no MQTT broker installed (Debian: mosquitto)";
        return false;
    }
    if (findInPath("unshare").empty()) {
        *why = "no unshare tool (Debian: util-linux)";
        return false;
    }
    std::vector<std::string> probe = unshareArgv();
    probe.insert(probe.end(), {"sh", "-c", "mount -t tmpfs tmpfs /mnt"});
    const auto result = e2e::runCommand(probe, 10);
    if (result.exitStatus != 0) {
        *why = "no private mount namespace for the daemons: " + result.err;
        return false;
    }
    return true;
}

Head::Head(std::string dir, std::string id, int brokerPort, HeadSettings settings)
    : dir_(std::move(dir)),
      id_(std::move(id)),
      brokerPort_(brokerPort),
      settings_(std::move(settings)) {
    std::filesystem::create_directories(dir_ + "/bus");
    e2e::writeFile(dir_ + "/gimbalhub.json", configurationText(dir_ + "/position.json"));
    e2e::writeFile(dir_ + "/position.json", "{\"LastCameraPosition\":{\"Pan\":0,\"Tilt\":0}}");
    std::string bridge =
        "{\"Host\":\"127.0.0.1\",\"Port\":" + std::to_string(brokerPort_) + ",\"Username\":\"" +
        id_ + "\",\"Password\":\"" + password() + "\",\"DeviceId\":\"" + id_ +
        "\",\"KeepAlive\":5,\"StateInterval\":100,\"ReconnectMin\":1,\"ReconnectMax\":2";
    if (!settings_.extraBridgeConfig.empty()) bridge += "," + settings_.extraBridgeConfig;
    e2e::writeFile(dir_ + "/mqtt.json", bridge + "}\n");
}

Head::~Head() {
    // The bridge first (it would only report the daemon gone), then the daemon, then its bus.
    bridge_.stop(5);
    daemon_.stop(5);
    bus_.reset();
}

bool Head::startBus(std::string *why) {
    try {
        bus_ = std::make_unique<e2e::PrivateBus>(socket(), dir_);
    } catch (const std::exception &error) {
        *why = error.what();
        return false;
    }
    return true;
}

bool Head::startDaemon(std::string *why, bool wait) {
    e2e::SpawnOptions options;
    options.argv = unshareArgv();
    options.argv.insert(options.argv.end(), {"sh", "-c", kDaemonLauncher, "head", dir_ + "/bus",
                                             e2e::gimbalhubPath(), "-c", dir_ + "/gimbalhub.json"});
    options.setEnv = {{"HEAD_PRELOAD", e2e::simulatorPreload()},
                      {"SSP_SIM_TRACE", tracePath()},
                      {"SSP_SIM_SPEED", std::to_string(settings_.simulatorSpeed)}};
    options.dropEnvPrefixes = {"SSP_SIM_", "LD_PRELOAD"};
    options.stderrPath = dir_ + "/gimbalhub.err";
    if (!daemon_.start(options, why)) return false;
    return !wait || waitDaemon(why);
}

bool Head::waitDaemon(std::string *why) {
    const auto ready = ubus({"-t", "20", "wait_for", "gimbalhub.control"}, 25);
    if (ready.exitStatus != 0) {
        *why = id_ + ": gimbalhub.control did not appear (wait_for: " +
               (ready.finished ? "exit " + std::to_string(ready.exitStatus) : "timed out") +
               ", " + ready.err + "): " + e2e::readFile(dir_ + "/gimbalhub.err");
        return false;
    }
    return true;
}

bool Head::startBridge(std::string *why) {
    e2e::SpawnOptions options;
    options.argv = {bridgePath(), "-c", dir_ + "/mqtt.json", "-s", socket()};
    options.dropEnvPrefixes = {"SSP_SIM_", "LD_PRELOAD"};
    options.stderrPath = dir_ + "/bridge.err";
    return bridge_.start(options, why);
}

e2e::CommandResult Head::ubus(const std::vector<std::string> &arguments, double timeout) {
    std::vector<std::string> argv = {e2e::ubusCliPath(), "-s", socket()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return e2e::runCommand(argv, timeout);
}

std::vector<e2e::TraceEntry> Head::moves() const {
    std::vector<e2e::TraceEntry> found;
    for (const auto &entry : e2e::parseTrace(e2e::readFile(tracePath())))
        if (entry.request == "MOVE") found.push_back(entry);
    return found;
}

std::string Fleet::aclText() {
    return "user operator\n"
           "topic readwrite #\n"
           "\n"
           "# Every other user is a head whose user name is its device id.\n"
           "pattern write gimbalhub/%u/#\n"
           "pattern read gimbalhub/%u/cmd/#\n"
           "pattern read gimbalhub/all/cmd/#\n"
           "pattern write homeassistant/+/gimbalhub_%u/#\n";
}

Fleet::Fleet(const std::string &scratch, int heads, HeadSettings settings) : scratch_(scratch) {
    std::map<std::string, std::string> users = {{"operator", "pw-operator"}};
    std::vector<std::string> ids;
    for (int i = 1; i <= heads; ++i) ids.push_back("head" + std::to_string(i));
    std::filesystem::create_directories(scratch_ + "/broker");
    for (const auto &id : ids) users[id] = "pw-" + id;
    broker_ = std::make_unique<Broker>(scratch_ + "/broker", users, aclText());
    for (const auto &id : ids)
        heads_.push_back(
            std::make_unique<Head>(scratch_ + "/" + id, id, broker_->port(), settings));
}

bool Fleet::start(std::string *why) {
    if (!broker_->start(why)) return false;
    for (auto &head : heads_)
        if (!head->startBus(why)) return false;
    for (auto &head : heads_)
        if (!head->startDaemon(why, false)) return false;
    for (auto &head : heads_)
        if (!head->waitDaemon(why)) return false;
    for (auto &head : heads_)
        if (!head->startBridge(why)) return false;
    return true;
}

std::unique_ptr<Client> Fleet::operatorClient() {
    auto client = std::make_unique<Client>(broker_->port(), "operator", "pw-operator");
    if (!client->connect()) throw std::runtime_error("the operator cannot connect");
    return client;
}

}  // namespace mqtttest
