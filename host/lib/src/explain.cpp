#include "cabinet_host/explain.h"

#include <array>

namespace cabinet_host {
namespace {

using K = CodeKind;

constexpr std::array kTable{
    // Ack codes.
    Explanation{"accepted", K::AckSuccess,
                "The open was admitted: the latch is being pulsed; keep heartbeats going until "
                "\"cycle_complete\"."},
    Explanation{"heartbeat_ok", K::AckSuccess,
                "Heartbeat accepted: opens are admitted for the next 5000 ms."},
    Explanation{"cleared", K::AckSuccess,
                "The controller was reset to idle; any operation in progress was abandoned."},
    Explanation{"invalid_command", K::AckRefusal,
                "The open had an empty request id or session id; send both."},
    Explanation{"session_mismatch", K::AckRefusal,
                "The command quoted another session (the controller restarted, or its identity "
                "is invalid): read a fresh state line and use its session_id."},
    Explanation{"event_seq_exhausted", K::AckRefusal,
                "The controller has run out of event numbers and latched a fault that only a "
                "restart clears: restart the controller."},
    Explanation{"range_error", K::AckRefusal,
                "Door must be 1..8, pulse_ms 100..1000 and ttl_ms 1..5000; correct the values."},
    Explanation{"future_command", K::AckRefusal,
                "issued_at_ms is later than the controller's uptime: stamp commands with the "
                "controller's clock (from uptime_ms), not the host's."},
    Explanation{"expired", K::AckRefusal,
                "The open arrived ttl_ms or more after issued_at_ms: send a new open with a fresh "
                "stamp (check the link delay and clock estimate)."},
    Explanation{"duplicate", K::AckRefusal,
                "This request id was accepted less than 5000 ms ago (a replay): use a new request "
                "id for every open."},
    Explanation{"fault", K::AckRefusal,
                "A fault is latched: read the state's \"fault\", fix the cause, then clear it "
                "(cabinetctl clear)."},
    Explanation{"heartbeat_required", K::AckRefusal,
                "No heartbeat within the last 5000 ms: send heartbeats (one a second) before and "
                "during an open."},
    Explanation{"busy", K::AckRefusal,
                "Another open operation is still in progress: wait for its \"cycle_complete\" "
                "(or its fault) and try again."},
    Explanation{"driver_rearming", K::AckRefusal,
                "The latch driver re-arms for 1300 ms after each accepted open: retry shortly."},
    Explanation{"door_not_secure", K::AckRefusal,
                "Not every door is closed and locked, inputs are not valid and settled, or power "
                "is bad: close all doors, check sensors and supply, retry."},
    Explanation{"clear_denied", K::AckRefusal,
                "Clear refused: every door must be closed and locked, inputs valid and settled, "
                "power good and a heartbeat fresh; \"clock_regressed\" and "
                "\"event_seq_exhausted\" need a restart."},
    Explanation{"invalid_message", K::AckRefusal,
                "The controller could not parse the line (bad JSON, wrong key set, bad value or "
                "character): fix the command text."},
    Explanation{"message_too_long", K::AckRefusal,
                "The line was longer than 512 characters and was dropped: send shorter lines."},
    // Events.
    Explanation{"boot", K::Event,
                "The controller started a new session: use its new session_id from now on."},
    Explanation{"door_open", K::Event, "A door's closed sensor now reads open."},
    Explanation{"door_closed", K::Event, "A door's closed sensor now reads closed."},
    Explanation{"latch_unlocked", K::Event, "A latch's locked sensor now reads unlocked."},
    Explanation{"latch_locked", K::Event, "A latch's locked sensor now reads locked."},
    Explanation{"inputs_ready", K::Event,
                "All sixteen sensor inputs have been read and have settled; opens can now be "
                "admitted."},
    Explanation{"pulse_door_open", K::Event,
                "The door opened while its latch was still pulsed; the pulse was ended early."},
    Explanation{"pulse_complete", K::Event,
                "The latch pulse ended on time; waiting for the door to be opened (10 s)."},
    Explanation{"cycle_complete", K::Event,
                "The door was opened, closed and latched again, everything secure: the operation "
                "is done."},
    Explanation{"door_held_open", K::Event,
                "The door has been open for 60 s and the cycle is not complete: ask for it to be "
                "closed."},
    Explanation{"open_accepted", K::Event, "An open was admitted and its latch pulse started."},
    Explanation{"fault_cleared", K::Event,
                "A fault (or an operation in progress) was cleared; the controller is idle."},
    Explanation{"pulse_cancelled", K::Event,
                "A fault switched the latch pulse off early; the fault's own event follows."},
    // Faults.
    Explanation{"identity_invalid", K::Fault,
                "The controller could not establish its session identity (boot record store): it "
                "cannot be cleared; restart the controller and check its flash."},
    Explanation{"clock_regressed", K::Fault,
                "The controller's clock went backwards: cannot be cleared; restart the "
                "controller."},
    Explanation{"power_fault", K::Fault,
                "The 24 V latch supply is bad or a latch driver fault was seen: check the supply "
                "and wiring, then clear."},
    Explanation{"sensor_fault", K::Fault,
                "The door sensors could not be read during an operation: check the sensor bus, "
                "then clear."},
    Explanation{"heartbeat_lost", K::Fault,
                "No heartbeat for over 5000 ms during an operation: keep heartbeats going until "
                "\"cycle_complete\", then clear."},
    Explanation{"other_door_unsafe", K::Fault,
                "Another door was open or unlocked during an operation: secure all doors, then "
                "clear."},
    Explanation{"open_not_observed", K::Fault,
                "The door was not seen open within 10 s after the pulse: check the latch and the "
                "door sensor, close the door, then clear."},
    Explanation{"event_seq_exhausted", K::Fault,
                "The event numbering is exhausted: cannot be cleared; restart the controller."},
};

} // namespace

const Explanation *explain(std::string_view code) {
    // "event_seq_exhausted" is both an ack code and a fault code; the first
    // entry (the ack) wins a lookup, is_fault_code() knows both roles.
    for (const auto &e : kTable)
        if (e.code == code) return &e;
    return nullptr;
}

std::string_view explain_text(std::string_view code) {
    if (const auto *e = explain(code)) return e->text;
    return "Unknown code (newer firmware?): see the controller's documentation.";
}

std::span<const Explanation> all_explanations() { return kTable; }

bool is_fault_code(std::string_view code) {
    for (const auto &e : kTable)
        if (e.kind == K::Fault && e.code == code) return true;
    return false;
}

bool is_success_ack(std::string_view code) {
    const auto *e = explain(code);
    return e && e->kind == K::AckSuccess;
}

bool is_unread_line_ack(std::string_view code) {
    return code == "invalid_message" || code == "message_too_long";
}

CodeKind event_kind(std::string_view code) { return is_fault_code(code) ? K::Fault : K::Event; }

CodeKind ack_kind(std::string_view code) {
    return is_success_ack(code) ? K::AckSuccess : K::AckRefusal;
}

std::string_view to_string(CodeKind k) {
    switch (k) {
    case K::AckSuccess: return "success";
    case K::AckRefusal: return "refusal";
    case K::Event: return "event";
    case K::Fault: return "fault";
    }
    return "event";
}

bool ends_cycle(std::string_view code) {
    return code == "cycle_complete" || code == "fault_cleared" || is_fault_code(code);
}

bool needs_restart(std::string_view code) {
    return code == "identity_invalid" || code == "clock_regressed" || code == "event_seq_exhausted";
}

bool is_command_error_ack(std::string_view code) {
    return code == "range_error" || code == "invalid_command" || is_unread_line_ack(code);
}

} // namespace cabinet_host
