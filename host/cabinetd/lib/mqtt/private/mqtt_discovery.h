// Home Assistant's MQTT discovery of a cabinet: one device, announced with
// device-based discovery, whose entities read the cabinet's topics.
#pragma once

#include "mqtt_config.h"
#include "mqtt_topics.h"

#include <nlohmann/json.hpp>

#include <string>

namespace cabinetd {

// The Home Assistant device discovery config of one cabinet.
nlohmann::json discovery_config(const std::string &cabinet, const std::string &board_id,
                                const std::string &prefix, const TopicView &view);
std::string discovery_topic(const MqttConfig &m, const std::string &board_id);

} // namespace cabinetd
