#include "mqtt_discovery.h"

#include "mqtt_alarms.h"

#include <cabinet_host/protocol.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>

namespace cabinetd {

using nlohmann::json;
namespace ch = cabinet_host;

namespace {

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

std::string discovery_topic(const MqttConfig &m, const std::string &board_id) {
    return fmt::format("{}/device/tessaro_{}/config", m.discovery_prefix, lower(board_id));
}

namespace {

json device(const std::string &cabinet, const std::string &board_id, const std::string &id,
            const TopicView &view) {
    json dev{{"identifiers", json::array({id})},
             {"name", fmt::format("Cabinet {}", cabinet)},
             {"manufacturer", "Tessaro"},
             {"model", "Eight-door cabinet controller"},
             {"serial_number", board_id}};
    if (!view.fw.empty()) dev["sw_version"] = view.fw;
    if (!view.hw.empty()) dev["hw_version"] = view.hw;
    return dev;
}

// A door's latch (a lock that opens) and its door (a sensor). The latch of
// a two-person door is a sensor too: every open of it needs a second
// person's approval, which the broker cannot give (it knows no persons), so
// an unlock there could only ever be refused.
void add_door(json &cmps, const std::string &id, const std::string &prefix, unsigned d,
              bool two_person) {
    const auto door_topic = fmt::format("{}door/{}/state", prefix, d);
    if (two_person)
        cmps[fmt::format("door{}_latch", d)] = {
            {"platform", "binary_sensor"},
            {"name", fmt::format("Door {} latch", d)},
            {"unique_id", fmt::format("{}_door{}_latch", id, d)},
            {"default_entity_id", fmt::format("binary_sensor.{}_door_{}_latch", id, d)},
            {"device_class", "lock"}, // on: unlocked
            {"state_topic", door_topic},
            {"value_template", "{{ value_json.latch }}"},
            {"payload_on", "unlocked"},
            {"payload_off", "locked"},
            {"qos", 1}};
    else
        cmps[fmt::format("door{}_latch", d)] = {
            {"platform", "lock"},
            {"name", fmt::format("Door {} latch", d)},
            {"unique_id", fmt::format("{}_door{}_latch", id, d)},
            {"default_entity_id", fmt::format("lock.{}_door_{}_latch", id, d)},
            {"state_topic", door_topic},
            {"value_template", "{{ value_json.latch }}"},
            {"state_locked", "locked"},
            {"state_unlocked", "unlocked"},
            {"command_topic", fmt::format("{}door/{}/open/set", prefix, d)},
            {"payload_lock", "LOCK"},
            {"payload_unlock", "UNLOCK"},
            {"payload_open", "OPEN"},
            {"optimistic", false},
            {"qos", 1},
            {"retain", false}};
    cmps[fmt::format("door{}", d)] = {
        {"platform", "binary_sensor"},
        {"name", fmt::format("Door {}", d)},
        {"unique_id", fmt::format("{}_door{}", id, d)},
        {"default_entity_id", fmt::format("binary_sensor.{}_door_{}", id, d)},
        {"device_class", "door"},
        {"state_topic", door_topic},
        {"value_template", "{{ value_json.door }}"},
        {"payload_on", "open"},
        {"payload_off", "closed"},
        {"qos", 1}};
}

// The controller's state, its fault and the button that clears it.
void add_controller(json &cmps, const std::string &id, const std::string &prefix) {
    // In words (a fault's explanation, "waiting for door 4 to close"); the
    // controller's own state name is an attribute, for automations.
    cmps["state"] = {{"platform", "sensor"},
                     {"name", "Controller state"},
                     {"unique_id", id + "_state"},
                     {"default_entity_id", fmt::format("sensor.{}_state", id)},
                     {"state_topic", prefix + "state"},
                     {"value_template", "{{ value_json.text }}"},
                     {"json_attributes_topic", prefix + "state"},
                     {"json_attributes_template",
                      "{{ {'state': value_json.state, 'fault': value_json.fault} | tojson }}"},
                     {"qos", 1}};
    cmps["fault"] = {
        {"platform", "sensor"},
        {"name", "Fault"},
        {"unique_id", id + "_fault"},
        {"default_entity_id", fmt::format("sensor.{}_fault", id)},
        {"state_topic", prefix + "state"},
        {"value_template", "{{ value_json.fault }}"},
        {"json_attributes_topic", prefix + "state"},
        {"json_attributes_template", "{{ {'explanation': value_json.fault_text} | tojson }}"},
        {"entity_category", "diagnostic"},
        {"qos", 1}};
    cmps["clear_fault"] =
        discovery_button(id, "clear_fault", "Clear fault", prefix + "clear_fault/set");
}

} // namespace

json discovery_config(const std::string &cabinet, const std::string &board_id,
                      const std::string &prefix, const TopicView &view) {
    const auto id = "tessaro_" + lower(board_id);
    json cmps = json::object();
    for (unsigned d = 1; d <= ch::kDoors; ++d)
        add_door(cmps, id, prefix, d, ((view.two_person_doors >> (d - 1)) & 1U) != 0);
    add_controller(cmps, id, prefix);
    add_alarm_component(cmps, id, prefix);
    return json{{"device", device(cabinet, board_id, id, view)},
                {"origin", {{"name", "cabinetd"}}},
                {"availability_topic", prefix + "availability"},
                {"payload_available", "online"},
                {"payload_not_available", "offline"},
                {"components", cmps}};
}

} // namespace cabinetd
