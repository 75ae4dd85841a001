// The bridge between one head's bus objects and an MQTT broker. It knows
// neither libmosquitto nor the bus library: both sides come in through the
// two small interfaces below, so the whole logic runs in unit tests.
//
// Threads: the MQTT side calls mqttConnected/mqttDisconnected/message from
// its network thread, the bus side calls busEvent/busConnection/
// daemonPresence and the call replies from the bus thread, and a pacer calls
// poll at nextPoll(). No lock is held while a port is called, and no port
// call waits for the other side.
#ifndef GIMBALHUB_MQTT_BRIDGE_H
#define GIMBALHUB_MQTT_BRIDGE_H

#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "bridge_config.h"

namespace mqttbridge {

// ubus statuses, which the replies carry.
enum Status {
    kOk = 0,
    kInvalidCommand = 1,
    kInvalidArgument = 2,
    kMethodNotFound = 3,
    kNotFound = 4,
    kPermissionDenied = 6,
    kTimeout = 7,
    kUnknownError = 9,
    kConnectionFailed = 10,
};

struct InboundMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
    std::string responseTopic;  // MQTT 5, empty when absent
    std::string correlation;    // MQTT 5 correlation data (binary)
    bool hasCorrelation = false;
};

struct OutboundMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retain = false;
    std::string correlation;
    bool hasCorrelation = false;
};

class MqttPort {
public:
    virtual ~MqttPort() = default;
    // Queues the message; never waits for the network.
    virtual void publish(const OutboundMessage &message) = 0;
};

class BusPort {
public:
    using Reply = std::function<void(int status, const nlohmann::json &data)>;
    virtual ~BusPort() = default;
    // Asynchronous; the reply comes exactly once, at the latest after the
    // timeout, possibly before call returns.
    virtual void call(const std::string &object, const std::string &method,
                      const nlohmann::json &args, int timeoutMs, Reply reply) = 0;
};

// The subscriptions of a bridge: its own and the group's command topics.
std::vector<std::string> commandFilters(const BridgeConfig &config);

// The method a topic commands, or "" when it is no command topic of this bridge.
std::string commandMethod(const BridgeConfig &config, const std::string &topic);

// Whether a requester may have the answer sent to this topic: never into a
// command subtree (a reply would become a command) nor with wildcards.
bool safeResponseTopic(const BridgeConfig &config, const std::string &topic);

// Checks a command's arguments against the method's members and types;
// false with the reason.
bool checkArguments(const std::string &method, const nlohmann::json &args, std::string *why);

class Bridge {
public:
    using Clock = std::chrono::steady_clock;

    // wake is called when nextPoll() may have moved earlier.
    Bridge(BridgeConfig config, BusPort &bus, MqttPort &mqtt, std::function<void()> wake = {});

    const BridgeConfig &config() const { return config_; }

    void mqttConnected();
    void mqttDisconnected();
    void message(const InboundMessage &message);

    void busEvent(const std::string &name, const nlohmann::json &data);
    void busConnection(bool up);
    void daemonPresence(bool present);

    // Runs what is due: a state refresh at most once per StateInterval.
    void poll(Clock::time_point now);
    Clock::time_point nextPoll() const;

    // Before a clean disconnect: availability "offline".
    void shutdown();

    std::string availabilityTopic() const { return config_.topicPrefix + "/availability"; }
    std::string stateTopic() const { return config_.topicPrefix + "/state"; }

private:
    void reply(const InboundMessage &request, const std::string &method, int status,
               const nlohmann::json &data, const std::string &error);
    void refuse(const InboundMessage &request, const std::string &method, int status,
                const std::string &error);
    void execute(const InboundMessage &request, const std::string &method,
                 const nlohmann::json &args);
    void stateReply(int status, const nlohmann::json &data);
    void refreshPresets();
    bool setDaemonUp(bool up);  // under mutex_; true when it changed
    void publishAvailability();
    void requestState();
    void publishAll(const std::vector<OutboundMessage> &messages);
    OutboundMessage availabilityMessage() const;
    void collectDiscovery(std::vector<OutboundMessage> *out);

    const BridgeConfig config_;
    BusPort &bus_;
    MqttPort &mqtt_;
    std::function<void()> wake_;

    mutable std::mutex mutex_;
    std::mutex availabilityMutex_;  // taken before mutex_, never inside it
    bool mqttUp_ = false;
    bool daemonUp_ = false;
    bool stateWanted_ = true;
    bool stateForced_ = true;  // publish even when unchanged (after a reconnect)
    bool stateInFlight_ = false;
    bool moving_ = false;
    Clock::time_point lastStateRequest_{};
    std::string lastState_;  // the last state payload published
    nlohmann::json lastStateData_;
    int inFlight_ = 0;
    std::set<size_t> refusedRetained_;
    bool discoveryWanted_ = false;
    bool presetsKnown_ = false;
    std::vector<std::string> presets_;
    std::map<std::string, std::string> lastDiscovery_;  // topic -> payload published
};

}  // namespace mqttbridge

#endif
