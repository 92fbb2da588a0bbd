#include "state_json.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

namespace cabinetd {

nlohmann::json state_json(const cabinet_host::StateLine &s, StateParts parts) {
    using nlohmann::json;
    json j{{"state", s.state},
           {"fault", s.fault},
           {"active_door", s.active_door},
           {"inputs_valid", s.inputs_valid},
           {"power_ok", s.power_ok},
           {"heartbeat_ok", s.heartbeat_ok},
           {"driver_ready", s.driver_ready}};
    if (parts.masks) {
        j["output_mask"] = s.output_mask;
        j["door_closed_mask"] = s.door_closed_mask;
        j["latch_locked_mask"] = s.latch_locked_mask;
    }
    if (parts.text) {
        j["fault_text"] = s.fault == cabinet_host::kNoFault
            ? json()
            : json(std::string(cabinet_host::explain_text(s.fault)));
        j["fw"] = s.fw;
        j["hw"] = s.hw;
    }
    if (parts.clock) {
        j["uptime_ms"] = s.uptime_ms;
        j["event_seq"] = s.event_seq;
    }
    return j;
}

} // namespace cabinetd
