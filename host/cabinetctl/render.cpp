#include "render.h"

#include "cabinet_host/explain.h"
#include "cabinet_host/words.h"

#include <fmt/format.h>

namespace cabinetctl {

using cabinet_host::AckLine;
using cabinet_host::EventLine;
using cabinet_host::kDoors;
using cabinet_host::StateLine;

namespace {
const char *yes_no(bool b) { return b ? "yes" : "no"; }

std::string door_list(unsigned mask_missing) {
    std::string out;
    for (unsigned d = 1; d <= kDoors; ++d)
        if ((mask_missing >> (d - 1)) & 1u) out += (out.empty() ? "" : ", ") + std::to_string(d);
    return out;
}
} // namespace

std::string uptime_text(std::uint64_t ms) {
    return fmt::format("{}.{:03} s", ms / 1000, ms % 1000);
}

std::string describe_state(const StateLine &s) {
    std::string out;
    out += fmt::format("session       {}\n",
                       s.session_id.empty() ? "(none: identity invalid)" : s.session_id);
    out +=
        fmt::format("uptime        {}   last event #{}\n", uptime_text(s.uptime_ms), s.event_seq);
    out += fmt::format("state         {}   active door {}   fault {}\n", s.state,
                       s.active_door ? std::to_string(s.active_door) : "-", s.fault);
    if (s.fault != cabinet_host::kNoFault)
        out += fmt::format("              {}\n", cabinet_host::explain_text(s.fault));
    out += "door          ";
    for (unsigned d = 1; d <= kDoors; ++d) out += fmt::format("{:<9}", d);
    // Without valid inputs the masks mean nothing: show that rather than "open".
    out += "\nclosed        ";
    for (unsigned d = 1; d <= kDoors; ++d)
        out += fmt::format("{:<9}", !s.inputs_valid ? "?" : s.door_closed(d) ? "closed" : "OPEN");
    out += "\nlatch         ";
    for (unsigned d = 1; d <= kDoors; ++d)
        out += fmt::format("{:<9}",
                           !s.inputs_valid         ? "?"
                               : s.latch_locked(d) ? "locked"
                                                   : "UNLOCKED");
    out +=
        fmt::format("\ninputs valid  {}   power ok {}{}   heartbeat fresh {}   driver ready {}\n",
                    yes_no(s.inputs_valid), yes_no(s.power_ok),
                    s.p24_adc ? fmt::format(" (24 V ADC {})", *s.p24_adc) : "",
                    yes_no(s.heartbeat_ok), yes_no(s.driver_ready));
    if (s.output_mask)
        out += fmt::format("latch output  driven for door(s) {}\n", door_list(s.output_mask));
    out += fmt::format("firmware      {} (hw {}, {}, {}, protocol {})\n", s.fw.empty() ? "?" : s.fw,
                       s.hw.empty() ? "?" : s.hw, s.platform,
                       s.transport.empty() ? "?" : s.transport, s.protocol);
    return out;
}

std::string describe_event(const EventLine &e) {
    return fmt::format("#{:<5} {:>12}  {:<18} door {}{}  {}", e.event_seq, uptime_text(e.uptime_ms),
                       e.code, e.door_id ? std::to_string(e.door_id) : "-",
                       e.request_id.empty() ? "" : "  [" + e.request_id + "]",
                       cabinet_host::explain_text(e.code));
}

std::string describe_ack(const AckLine &a) {
    return fmt::format("{}: {}", a.code, cabinet_host::explain_text(a.code));
}

std::string state_summary(const StateLine &s) {
    std::string doors; // c/O: closed/OPEN, l/U: locked/UNLOCKED, ?: not known
    for (unsigned d = 1; d <= kDoors; ++d)
        doors += !s.inputs_valid
            ? fmt::format("{}??", d)
            : fmt::format("{}{}{}", d, s.door_closed(d) ? 'c' : 'O', s.latch_locked(d) ? 'l' : 'U');
    return fmt::format("{:>12}  {:<10} door {}  fault {}  doors {}  hb {}  power {}  inputs {}",
                       uptime_text(s.uptime_ms), s.state,
                       s.active_door ? std::to_string(s.active_door) : "-", s.fault, doors,
                       s.heartbeat_ok ? "ok" : "stale", s.power_ok ? "ok" : "BAD",
                       s.inputs_valid ? "ok" : "invalid");
}

std::string watch_screen(const StateLine *s, const std::deque<EventLine> &events,
                         const std::string &note) {
    std::string out = "cabinetctl watch  (Ctrl-C to stop)\n\n";
    if (!s) {
        out += "waiting for the first state line...\n";
    } else {
        out += describe_state(*s);
    }
    out += "\nlatest events:\n";
    if (events.empty()) out += "  (none yet)\n";
    for (const auto &e : events) out += "  " + describe_event(e) + "\n";
    if (!note.empty()) out += "\n" + note + "\n";
    return out;
}

std::string clear_obstacles(const StateLine &s) {
    std::string out;
    const unsigned open = ~s.door_closed_mask & 0xffu;
    const unsigned unlocked = ~s.latch_locked_mask & 0xffu;
    if (open) out += fmt::format("  - door(s) {} open: close them\n", door_list(open));
    if (unlocked) out += fmt::format("  - latch(es) {} unlocked: lock them\n", door_list(unlocked));
    if (!s.inputs_valid)
        out += "  - sensor inputs not valid or not settled: check the sensor bus\n";
    if (!s.power_ok) out += "  - latch supply not good: check the 24 V supply\n";
    if (cabinet_host::needs_restart(s.fault))
        out += fmt::format("  - fault \"{}\" cannot be cleared: restart the controller\n", s.fault);
    if (out.empty())
        out = "  - nothing visible in the last state line; an input may have changed within the "
              "last 30 ms: retry\n";
    return out;
}

} // namespace cabinetctl
