// Lines in the controller's exact output templates, for the tests.
#pragma once

#include <fmt/format.h>

#include <cstdint>
#include <string>

namespace test_lines {

inline const std::string kSid = "E6613852832F4A29-0000000000000001";

inline std::string state(const std::string &sid, std::uint64_t uptime, std::uint64_t seq = 1,
                         const char *st = "idle", unsigned closed = 255, unsigned locked = 255,
                         bool valid = true, bool hb = false, const char *fault = "none") {
    return fmt::format(
        "{{\"type\":\"state\",\"protocol\":1,\"platform\":\"rp2040_pico\",\"session_id\":\"{}\","
        "\"uptime_ms\":{},\"event_seq\":{},\"state\":\"{}\",\"active_door\":0,\"output_mask\":0,"
        "\"door_closed_mask\":{},\"latch_locked_mask\":{},\"inputs_valid\":{},\"power_ok\":true,"
        "\"heartbeat_ok\":{},\"driver_ready\":true,\"fault\":\"{}\",\"p24_adc\":2710,"
        "\"fw\":\"0.2.0\",\"hw\":\"0.2\",\"transport\":\"uart0\"}}",
        sid, uptime, seq, st, closed, locked, valid, hb, fault);
}

inline std::string numbered(const char *type, const std::string &sid, std::uint64_t seq,
                            std::uint64_t uptime, const std::string &code,
                            const std::string &request_id = "", unsigned door = 0) {
    return fmt::format("{{\"type\":\"{}\",\"session_id\":\"{}\",\"event_seq\":{},\"uptime_ms\":{},"
                       "\"code\":\"{}\",\"request_id\":\"{}\",\"door_id\":{}}}",
                       type, sid, seq, uptime, code, request_id, door);
}

inline std::string event(const std::string &sid, std::uint64_t seq, std::uint64_t uptime,
                         const std::string &code, const std::string &rid = "", unsigned door = 0) {
    return numbered("event", sid, seq, uptime, code, rid, door);
}

inline std::string ack(const std::string &sid, std::uint64_t uptime, const std::string &code,
                       const std::string &rid = "", unsigned door = 0, std::uint64_t seq = 1) {
    return numbered("ack", sid, seq, uptime, code, rid, door);
}

} // namespace test_lines
