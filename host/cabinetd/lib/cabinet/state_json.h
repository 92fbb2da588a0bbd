// A controller's state line as JSON: the one mapping the journal's state
// records, the API's cabinet views and the MQTT state topic all take their
// fields from.
#pragma once

#include <cabinet_host/protocol.h>

#include <nlohmann/json.hpp>

namespace cabinetd {

// What to add to the fields every view has (state, fault, active_door,
// inputs_valid, power_ok, heartbeat_ok, driver_ready).
struct StateParts {
    bool masks = false; // output, door-closed and latch-locked masks
    bool text = false;  // fault_text (null for no fault), fw, hw
    bool clock = false; // uptime_ms, event_seq: they move all the time
};

nlohmann::json state_json(const cabinet_host::StateLine &s, StateParts parts);

} // namespace cabinetd
