// A cabinet's alarms on the broker: each alarm record on `alarm` (QoS 1, not
// retained, like events), whether any is active on `alarm/state`
// (retained), and the Home Assistant binary_sensor that reads it.
#pragma once

#include "alarms.h"
#include "cabinet_types.h"
#include "record.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace cabinetd {

// The payload of `alarm`: the record's detail with the cabinet, board id,
// code and door.
nlohmann::json alarm_payload(const std::string &cabinet, const std::string &board,
                             const Record &alarm);
// The payload of a committed record published on `<kind>`: `event` or `alarm`.
nlohmann::json record_payload(const std::string &cabinet, const std::string &board,
                              const Record &r);
// The payload of `alarm/state`: {"active": bool, "text": the active alarms'
// texts, or null}.
nlohmann::json alarm_state_payload(const std::vector<Alarm> &active);
// The payload of `result` for `alarm/ack/set`: the command's topic, request
// id and kind (`base`), completed with the alarms it acknowledged.
nlohmann::json alarm_ack_payload(nlohmann::json base, const AlarmAck &ack);
// The discovery components of the cabinet's alarm (a binary_sensor of
// device class problem) and of the button that acknowledges it.
void add_alarm_component(nlohmann::json &components, const std::string &id,
                         const std::string &prefix);

} // namespace cabinetd
