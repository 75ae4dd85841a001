#include "bridge.h"

#include <cstdio>

#include "bridge_log.h"
#include "discovery.h"

namespace mqttbridge {

using nlohmann::json;

namespace {

enum class Kind { Int32, Speed, Count, Name, Names };
struct Member {
    const char *name;
    Kind kind;
};
struct Signature {
    const char *method;
    std::vector<Member> members;
};

const std::vector<Signature> &signatures() {
    static const std::vector<Signature> table = {
        {"changePan", {{"step", Kind::Int32}}},
        {"changeTilt", {{"step", Kind::Int32}}},
        {"changePosition", {{"pan", Kind::Int32}, {"tilt", Kind::Int32}}},
        {"moveTo", {{"pan", Kind::Int32}, {"tilt", Kind::Int32}}},
        {"moveBy", {{"pan", Kind::Int32}, {"tilt", Kind::Int32}}},
        {"jog", {{"pan", Kind::Speed}, {"tilt", Kind::Speed}, {"timeout", Kind::Count}}},
        {"presetSet", {{"name", Kind::Name}, {"pan", Kind::Int32}, {"tilt", Kind::Int32}}},
        {"presetGoto", {{"name", Kind::Name}}},
        {"presetRemove", {{"name", Kind::Name}}},
        {"tourStart", {{"presets", Kind::Names}, {"dwell", Kind::Count}, {"loops", Kind::Count}}},
    };
    return table;
}

bool isInt32(const json &value) {
    if (!value.is_number_integer()) return false;
    if (value.is_number_unsigned()) return value.get<unsigned long long>() <= 0x7fffffffULL;
    const long long number = value.get<long long>();
    return number >= -0x80000000LL && number <= 0x7fffffffLL;
}

bool isName(const json &value) {
    return value.is_string() && value.get_ref<const std::string &>().size() <= 64;
}

bool fits(Kind kind, const json &value) {
    switch (kind) {
        case Kind::Int32:
            return isInt32(value);
        case Kind::Speed:
            return value.is_number() && value.get<double>() >= -1.0 && value.get<double>() <= 1.0;
        case Kind::Count:
            return isInt32(value) && value.get<long long>() >= 0;
        case Kind::Name:
            return isName(value);
        case Kind::Names:
            if (!value.is_array() || value.size() > 64) return false;
            for (const auto &item : value)
                if (!isName(item)) return false;
            return true;
    }
    return false;
}

const char *kindText(Kind kind) {
    switch (kind) {
        case Kind::Int32:
            return "a whole number (32 bits)";
        case Kind::Speed:
            return "a number from -1 to 1";
        case Kind::Count:
            return "a whole number >= 0";
        case Kind::Name:
            return "a string";
        case Kind::Names:
            return "an array of strings";
    }
    return "?";
}

bool movesOrChanges(const std::string &method) {
    return method != "status" && method != "getPosition" && method != "presetList";
}

}  // namespace

std::vector<std::string> commandFilters(const BridgeConfig &config) {
    return {config.topicPrefix + "/cmd/+", config.groupPrefix + "/cmd/+"};
}

std::string commandMethod(const BridgeConfig &config, const std::string &topic) {
    for (const std::string *prefix : {&config.topicPrefix, &config.groupPrefix}) {
        const std::string head = *prefix + "/cmd/";
        if (topic.size() > head.size() && topic.compare(0, head.size(), head) == 0) {
            const std::string method = topic.substr(head.size());
            if (method.find('/') == std::string::npos) return method;
        }
    }
    return "";
}

bool safeResponseTopic(const BridgeConfig &config, const std::string &topic) {
    if (topic.empty() || topic.size() > 256 || topic.find_first_of("+#") != std::string::npos)
        return false;
    for (const std::string *prefix : {&config.topicPrefix, &config.groupPrefix}) {
        const std::string commands = *prefix + "/cmd";
        if (topic.compare(0, commands.size(), commands) == 0 &&
            (topic.size() == commands.size() || topic[commands.size()] == '/'))
            return false;
    }
    return true;
}

bool checkArguments(const std::string &method, const json &args, std::string *why) {
    if (!args.is_object()) {
        *why = "the payload is not a JSON object";
        return false;
    }
    const Signature *signature = nullptr;
    for (const auto &candidate : signatures())
        if (method == candidate.method) signature = &candidate;
    for (const auto &item : args.items()) {
        const Member *member = nullptr;
        if (signature != nullptr)
            for (const auto &candidate : signature->members)
                if (item.key() == candidate.name) member = &candidate;
        if (member == nullptr) {
            *why = "unknown member \"" + item.key() + "\" for " + method;
            return false;
        }
        if (!fits(member->kind, item.value())) {
            *why = "\"" + item.key() + "\" must be " + kindText(member->kind);
            return false;
        }
    }
    return true;
}

Bridge::Bridge(BridgeConfig config, BusPort &bus, MqttPort &mqtt, std::function<void()> wake)
    : config_(std::move(config)), bus_(bus), mqtt_(mqtt), wake_(std::move(wake)) {}

OutboundMessage Bridge::availabilityMessage() const {
    OutboundMessage message;
    message.topic = availabilityTopic();
    message.payload = mqttUp_ && daemonUp_ ? "online" : "offline";
    message.qos = 1;
    message.retain = true;
    return message;
}

void Bridge::publishAll(const std::vector<OutboundMessage> &messages) {
    for (const auto &message : messages) mqtt_.publish(message);
}

void Bridge::publishAvailability() {
    // Serialised, and read at the moment of publishing: two threads that
    // saw different values cannot leave the older one retained.
    std::lock_guard<std::mutex> order(availabilityMutex_);
    OutboundMessage message;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!mqttUp_) return;
        message = availabilityMessage();
    }
    mqtt_.publish(message);
}

void Bridge::mqttConnected() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mqttUp_ = true;
        // The broker may have lost or replaced everything retained of ours.
        stateWanted_ = true;
        stateForced_ = true;
        discoveryWanted_ = config_.discovery;
        lastDiscovery_.clear();
    }
    publishAvailability();
    if (config_.discovery) refreshPresets();
    if (wake_) wake_();
}

void Bridge::mqttDisconnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    mqttUp_ = false;
}

void Bridge::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        daemonUp_ = false;
    }
    publishAvailability();
}

bool Bridge::setDaemonUp(bool up) {
    if (daemonUp_ == up) return false;
    daemonUp_ = up;
    if (up) stateWanted_ = true;
    return true;
}

void Bridge::busConnection(bool up) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!up) changed = setDaemonUp(false);
        stateWanted_ = true;  // a new connection: ask whether the daemon is there
    }
    if (changed) publishAvailability();
    if (wake_) wake_();
}

void Bridge::daemonPresence(bool present) {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Its appearance is confirmed by the first status that answers.
        if (!present) changed = setDaemonUp(false);
        stateWanted_ = true;
    }
    if (changed) publishAvailability();
    if (present && config_.discovery) refreshPresets();
    if (wake_) wake_();
}

void Bridge::busEvent(const std::string &name, const json &data) {
    OutboundMessage event;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stateWanted_ = true;
        if (!mqttUp_) return;
    }
    const std::string prefix = "gimbalhub.";
    const std::string shortName =
        name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
    if (shortName.empty() || shortName.find_first_of("/+#") != std::string::npos) return;
    event.topic = config_.topicPrefix + "/event/" + shortName;
    event.payload = data.dump();
    mqtt_.publish(event);
    if (wake_) wake_();
}

void Bridge::requestState() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stateWanted_ = true;
    }
    if (wake_) wake_();
}

Bridge::Clock::time_point Bridge::nextPoll() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!mqttUp_ || stateInFlight_) return Clock::time_point::max();
    const auto interval = std::chrono::milliseconds(config_.stateIntervalMs);
    if (stateWanted_ || moving_) return lastStateRequest_ + interval;
    // While the daemon is away, look for it now and then in case a notice
    // of its return was missed.
    if (!daemonUp_) return lastStateRequest_ + std::max(interval, std::chrono::milliseconds(2000));
    return Clock::time_point::max();
}

void Bridge::poll(Clock::time_point now) {
    if (nextPoll() > now) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stateInFlight_) return;
        stateInFlight_ = true;
        stateWanted_ = false;
        lastStateRequest_ = now;
    }
    bus_.call("gimbalhub.control", "status", json::object(), config_.callTimeoutMs,
              [this](int status, const json &data) { stateReply(status, data); });
}

void Bridge::stateReply(int status, const json &data) {
    std::vector<OutboundMessage> out;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stateInFlight_ = false;
        if (status != kOk || !data.is_object()) {
            moving_ = false;
            if (status == kNotFound || status == kConnectionFailed || status == kMethodNotFound)
                changed = setDaemonUp(false);
        } else {
            changed = setDaemonUp(true);
            const auto activity = data.find("activity");
            moving_ = data.value("moving", false) ||
                      (activity != data.end() && activity->is_string() && *activity != "idle");
            std::string payload = data.dump();
            if (mqttUp_ && (stateForced_ || payload != lastState_)) {
                OutboundMessage state;
                state.topic = stateTopic();
                state.payload = payload;
                state.qos = 1;
                state.retain = true;
                out.push_back(state);
                lastState_ = std::move(payload);
                stateForced_ = false;
            }
            lastStateData_ = data;
            collectDiscovery(&out);
        }
    }
    if (changed) publishAvailability();
    publishAll(out);
    if (wake_) wake_();
}

void Bridge::refreshPresets() {
    bus_.call("gimbalhub.control", "presetList", json::object(), config_.callTimeoutMs,
              [this](int status, const json &data) {
                  std::vector<OutboundMessage> out;
                  {
                      std::lock_guard<std::mutex> lock(mutex_);
                      presetsKnown_ = true;
                      presets_.clear();
                      if (status == kOk && data.contains("presets") && data["presets"].is_array())
                          for (const auto &preset : data["presets"])
                              if (preset.is_object() && preset.contains("name") &&
                                  preset["name"].is_string())
                                  presets_.push_back(preset["name"].get<std::string>());
                      discoveryWanted_ = config_.discovery;
                      collectDiscovery(&out);
                  }
                  publishAll(out);
              });
}

void Bridge::collectDiscovery(std::vector<OutboundMessage> *out) {
    if (!discoveryWanted_ || !presetsKnown_ || !mqttUp_ || !lastStateData_.is_object()) return;
    discoveryWanted_ = false;
    // Limits come with every state; republish only what changed.
    for (auto &message : discoveryMessages(config_, lastStateData_, presets_)) {
        auto known = lastDiscovery_.find(message.topic);
        if (known != lastDiscovery_.end() && known->second == message.payload) continue;
        lastDiscovery_[message.topic] = message.payload;
        out->push_back(std::move(message));
    }
}

void Bridge::reply(const InboundMessage &request, const std::string &method, int status,
                   const json &data, const std::string &error) {
    OutboundMessage answer;
    bool useResponseTopic =
        !request.responseTopic.empty() && safeResponseTopic(config_, request.responseTopic);
    answer.topic =
        useResponseTopic ? request.responseTopic : config_.topicPrefix + "/reply/" + method;
    json body = {{"status", status},
                 {"data", data.is_object() ? data : json::object()},
                 {"device", config_.deviceId}};
    if (!error.empty()) body["error"] = error;
    answer.payload = body.dump();
    answer.qos = 1;
    answer.correlation = request.correlation;
    answer.hasCorrelation = request.hasCorrelation;
    mqtt_.publish(answer);
}

void Bridge::refuse(const InboundMessage &request, const std::string &method, int status,
                    const std::string &error) {
    logLine(LogLevel::Warning, "refused %s: %s", request.topic.c_str(), error.c_str());
    reply(request, method, status, json::object(), error);
}

void Bridge::message(const InboundMessage &request) {
    const std::string method = commandMethod(config_, request.topic);
    if (method.empty()) return;  // not ours (a response topic we did not ask for)
    // The reply topic names the method: keep it printable and short.
    const std::string replyName =
        method.size() > 64 || method.find_first_of("+#") != std::string::npos
            ? std::string("invalid")
            : method;
    if (request.retained) {
        if (request.payload.empty()) return;  // someone clearing a retained command
        // A retained command would run again at every reconnect: answer it
        // once, never execute it.
        const size_t digest = std::hash<std::string>()(request.topic + '\n' + request.payload);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (refusedRetained_.count(digest) != 0) return;
            if (refusedRetained_.size() >= 256) refusedRetained_.clear();
            refusedRetained_.insert(digest);
        }
        refuse(request, replyName, kPermissionDenied, "retained command refused");
        return;
    }
    if (!request.responseTopic.empty() && !safeResponseTopic(config_, request.responseTopic)) {
        refuse(request, replyName, kInvalidArgument, "response topic refused");
        return;
    }
    if (static_cast<long>(request.payload.size()) > config_.maxPayload) {
        refuse(request, replyName, kInvalidArgument, "payload too large");
        return;
    }
    bool allowed = false;
    for (const auto &name : config_.methods) allowed = allowed || name == method;
    if (!allowed) {
        refuse(request, replyName, kMethodNotFound, "unknown or disallowed method");
        return;
    }
    json args = request.payload.find_first_not_of(" \t\r\n") == std::string::npos
                    ? json::object()
                    : json::parse(request.payload, nullptr, false);
    if (args.is_discarded()) {
        refuse(request, replyName, kInvalidArgument, "the payload is not JSON");
        return;
    }
    std::string why;
    if (!checkArguments(method, args, &why)) {
        refuse(request, replyName, kInvalidArgument, why);
        return;
    }
    execute(request, method, args);
}

void Bridge::execute(const InboundMessage &request, const std::string &method, const json &args) {
    bool accepted;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Unbounded queueing would turn a flood into minutes of moves.
        accepted = inFlight_ < config_.maxInFlight;
        if (accepted) ++inFlight_;
    }
    if (!accepted) {
        refuse(request, method, kUnknownError, "too many commands in flight");
        return;
    }
    bus_.call(objectOf(method), method, args, config_.callTimeoutMs,
              [this, request, method](int status, const json &data) {
                  {
                      std::lock_guard<std::mutex> lock(mutex_);
                      --inFlight_;
                  }
                  reply(request, method, status, data, "");
                  if (status == kOk && (method == "presetSet" || method == "presetRemove") &&
                      config_.discovery)
                      refreshPresets();
                  if (movesOrChanges(method)) requestState();
              });
}

}  // namespace mqttbridge
