// A fleet of simulated heads on one PC, each with its own bus broker, its
// own gimbalhub on the simulated driver and its own gimbalhub-mqtt, all on
// one MQTT broker. Used by the end-to-end tests and the fleet benchmark.
//
// The daemon always uses the default bus socket, so each one runs in a
// mount namespace of its own in which the head's bus folder (a plain folder
// of the scratch tree, where its broker listens) is mounted over
// /var/run/ubus. Everything else, the bridge included, reaches that bus
// through the folder's path: tests can stop, pause and restart any process
// of any head from outside.
#ifndef GIMBALHUB_MQTT_FLEET_H
#define GIMBALHUB_MQTT_FLEET_H

#include <memory>
#include <string>
#include <vector>

#include "mqtt_test_support.h"

namespace mqtttest {

std::string bridgePath();

// Whether heads can run here: namespaces, the unshare tool, the broker.
bool fleetPossible(std::string *why);

struct HeadSettings {
    std::string extraBridgeConfig;  // JSON members added to the bridge's configuration
    double simulatorSpeed = 0;      // steps per second; 0: instant moves
};

class Head {
public:
    Head(std::string dir, std::string id, int brokerPort, HeadSettings settings);
    ~Head();

    const std::string &id() const { return id_; }
    std::string prefix() const { return "gimbalhub/" + id_; }
    std::string password() const { return "pw-" + id_; }
    std::string socket() const { return dir_ + "/bus/ubus.sock"; }
    std::string tracePath() const { return dir_ + "/trace"; }
    std::string bridgeLog() const { return e2e::readFile(dir_ + "/bridge.err"); }
    std::vector<e2e::TraceEntry> moves() const;

    bool startBus(std::string *why);
    // With wait, returns once gimbalhub.control is on the bus.
    bool startDaemon(std::string *why, bool wait = true);
    bool waitDaemon(std::string *why);
    bool startBridge(std::string *why);
    void stopDaemon() { daemon_.stop(5); }
    void stopBus() { bus_.reset(); }
    // SIGSTOP/SIGCONT to the head's bus broker: a stalled bus.
    void pauseBus(bool paused) { bus_->signal(paused ? SIGSTOP : SIGCONT); }
    e2e::Process &bridge() { return bridge_; }
    e2e::Process &daemon() { return daemon_; }

    // The bundled client tool on this head's bus.
    e2e::CommandResult ubus(const std::vector<std::string> &arguments, double timeout = 5);

private:
    std::string dir_;
    std::string id_;
    int brokerPort_;
    HeadSettings settings_;
    std::unique_ptr<e2e::PrivateBus> bus_;
    e2e::Process daemon_;
    e2e::Process bridge_;
};

// The broker (with users for every head plus "operator", and an ACL by which
// a head publishes only under its own prefix and reads its own and the group
// command topics) and n heads, started side by side.
class Fleet {
public:
    Fleet(const std::string &scratch, int heads, HeadSettings settings = {});
    bool start(std::string *why);
    Broker &broker() { return *broker_; }
    Head &head(int index) { return *heads_[static_cast<size_t>(index)]; }
    int size() const { return static_cast<int>(heads_.size()); }
    // An operator client, connected, may publish and read everything.
    std::unique_ptr<Client> operatorClient();

    static std::string aclText();

private:
    std::string scratch_;
    std::unique_ptr<Broker> broker_;
    std::vector<std::unique_ptr<Head>> heads_;
};

}  // namespace mqtttest

#endif
