// Home-automation discovery: retained configuration messages that describe
// the head's sensors and controls by the bridge's topics.
#ifndef GIMBALHUB_MQTT_DISCOVERY_H
#define GIMBALHUB_MQTT_DISCOVERY_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "bridge.h"

namespace mqttbridge {

// From the last state (for the limits) and the preset names. With no
// presets the selector's message is empty, which removes it.
std::vector<OutboundMessage> discoveryMessages(const BridgeConfig &config,
                                               const nlohmann::json &state,
                                               const std::vector<std::string> &presets);

}  // namespace mqttbridge

#endif
