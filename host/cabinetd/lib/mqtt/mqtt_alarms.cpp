#include "mqtt_alarms.h"

#include "mqtt_topics.h"

#include <fmt/format.h>

namespace cabinetd {

using nlohmann::json;

json alarm_payload(const std::string &cabinet, const std::string &board, const Record &r) {
    auto j = json::parse(r.detail, nullptr, false);
    if (!j.is_object()) j = json::object(); // the cabinet writes an object: never otherwise
    j["cabinet"] = cabinet;
    j["board_id"] = board;
    j["code"] = r.code;
    j["door"] = r.door_id;
    j["at_ms"] = r.at_ms;
    j["cursor"] = r.cursor;
    return j;
}

json record_payload(const std::string &cabinet, const std::string &board, const Record &r) {
    return r.kind == RecordKind::Alarm ? alarm_payload(cabinet, board, r)
                                       : event_payload(cabinet, board, r);
}

json alarm_state_payload(const std::vector<Alarm> &active) {
    if (active.empty()) return json{{"active", false}, {"text", nullptr}};
    std::string text;
    for (auto &a : active) text += (text.empty() ? "" : "; ") + a.text;
    return json{{"active", true}, {"text", text}};
}

json alarm_ack_payload(json base, const AlarmAck &ack) {
    if (ack.outcome == AlarmAck::Outcome::Refused)
        return refusal_payload(std::move(base), ack.refusal);
    if (ack.outcome != AlarmAck::Outcome::Done)
        return refusal_payload(std::move(base),
                               {"journal_unavailable",
                                "the journal cannot write just now, so nothing was acknowledged"});
    base["result"] = "ok";
    base["code"] = "acknowledged";
    base["text"] = ack.acknowledged.empty()
        ? std::string("no active alarm was waiting to be acknowledged")
        : fmt::format("{} alarm(s) acknowledged", ack.acknowledged.size());
    base["acknowledged"] = ack.acknowledged;
    return base;
}

void add_alarm_component(json &cmps, const std::string &id, const std::string &prefix) {
    const auto topic = prefix + "alarm/state";
    cmps["alarm"] = {{"platform", "binary_sensor"},
                     {"name", "Alarm"},
                     {"unique_id", id + "_alarm"},
                     {"default_entity_id", fmt::format("binary_sensor.{}_alarm", id)},
                     {"device_class", "problem"},
                     {"state_topic", topic},
                     {"value_template", "{{ 'ON' if value_json.active else 'OFF' }}"},
                     {"payload_on", "ON"},
                     {"payload_off", "OFF"},
                     {"json_attributes_topic", topic},
                     {"json_attributes_template", "{{ {'text': value_json.text} | tojson }}"},
                     {"qos", 1}};
    cmps["alarm_ack"] =
        discovery_button(id, "alarm_ack", "Acknowledge alarms", prefix + "alarm/ack/set");
}

} // namespace cabinetd
