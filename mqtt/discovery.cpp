#include "discovery.h"

#include <cmath>

namespace mqttbridge {

using nlohmann::json;

namespace {

// Whole degrees within the configured range; the full turn when unknown.
void limits(const json &state, const char *axis, int *low, int *high) {
    *low = -180;
    *high = 180;
    const json *range = nullptr;
    if (state.contains("limits") && state["limits"].is_object() && state["limits"].contains(axis))
        range = &state["limits"][axis];
    if (range != nullptr && range->is_array() && range->size() == 2 && (*range)[0].is_number() &&
        (*range)[1].is_number()) {
        *low = static_cast<int>(std::ceil((*range)[0].get<double>()));
        *high = static_cast<int>(std::floor((*range)[1].get<double>()));
    }
}

}  // namespace

std::vector<OutboundMessage> discoveryMessages(const BridgeConfig &config, const json &state,
                                               const std::vector<std::string> &presets) {
    const std::string node = "gimbalhub_" + config.deviceId;
    const std::string prefix = config.topicPrefix;
    const json device = {{"identifiers", json::array({node})},
                         {"name", "Camera head " + config.deviceId},
                         {"model", "gimbalhub"},
                         {"manufacturer", "gimbalhub"}};
    std::vector<OutboundMessage> messages;
    auto add = [&](const std::string &component, const std::string &object, json body) {
        OutboundMessage message;
        message.topic =
            config.discoveryPrefix + "/" + component + "/" + node + "/" + object + "/config";
        if (!body.is_null()) {
            body["unique_id"] = node + "_" + object;
            body["object_id"] = node + "_" + object;
            body["availability_topic"] = prefix + "/availability";
            body["device"] = device;
            message.payload = body.dump();
        }
        message.qos = 1;
        message.retain = true;
        messages.push_back(message);
    };
    const std::string state_topic = prefix + "/state";
    for (const char *axis : {"pan", "tilt"}) {
        add("sensor", axis,
            {{"name", std::string(axis == std::string("pan") ? "Pan" : "Tilt")},
             {"state_topic", state_topic},
             {"value_template", std::string("{{ value_json.") + axis + " }}"},
             {"unit_of_measurement", "°"}});
    }
    add("binary_sensor", "moving",
        {{"name", "Moving"},
         {"state_topic", state_topic},
         {"value_template", "{{ 'ON' if value_json.moving else 'OFF' }}"}});
    add("button", "stop",
        {{"name", "Stop"}, {"command_topic", prefix + "/cmd/stop"}, {"payload_press", "{}"}});
    add("button", "home",
        {{"name", "Go home"},
         {"command_topic", prefix + "/cmd/gotoHome"},
         {"payload_press", "{}"}});
    if (presets.empty()) {
        add("select", "preset", json());
    } else {
        add("select", "preset",
            {{"name", "Preset"},
             {"command_topic", prefix + "/cmd/presetGoto"},
             {"command_template", "{\"name\": {{ value | tojson }}}"},
             {"options", presets},
             {"state_topic", state_topic},
             {"value_template", "{{ value_json.preset | default('') }}"}});
    }
    for (const char *axis : {"pan", "tilt"}) {
        int low, high;
        limits(state, axis, &low, &high);
        add("number", std::string(axis) + "_target",
            {{"name", std::string(axis == std::string("pan") ? "Pan target" : "Tilt target")},
             {"command_topic", prefix + "/cmd/moveTo"},
             {"command_template", std::string("{\"") + axis + "\": {{ value | int }}}"},
             {"state_topic", state_topic},
             {"value_template", std::string("{{ value_json.") + axis + " }}"},
             {"min", low},
             {"max", high},
             {"step", 1},
             {"unit_of_measurement", "°"}});
    }
    return messages;
}

}  // namespace mqttbridge
