#include "controller_view.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>

namespace cabinetd {

namespace ch = cabinet_host;
using ch::ControllerState;
namespace codes = ch::codes;

ControllerView controller_view(const ch::StateLine &s) {
    return {s.state, s.fault, s.active_door, s.door_closed_mask, s.latch_locked_mask};
}

void put_view(ch::StateLine &s, const ControllerView &v) {
    s.state = v.state;
    s.fault = v.fault;
    s.active_door = v.active_door;
    s.door_closed_mask = v.door_closed_mask;
    s.latch_locked_mask = v.latch_locked_mask;
}

namespace {

void set_bit(unsigned &mask, unsigned door, bool on) {
    const auto bit = 1u << (door - 1);
    mask = on ? (mask | bit) : (mask & ~bit);
}

void set_state(ControllerView &v, ControllerState s) { v.state = std::string(to_string(s)); }

// What the controller does next with its active door: once its door is seen
// open it waits for it to close, until then for it to open.
ControllerState waiting_state(const ControllerView &v) {
    const bool closed = v.active_door >= 1 && v.active_door <= ch::kDoors &&
        ((v.door_closed_mask >> (v.active_door - 1)) & 1u);
    return closed ? ControllerState::WaitOpen : ControllerState::WaitClose;
}

bool is_state(const ControllerView &v, ControllerState s) { return ch::parse_state(v.state) == s; }

void apply_door(ControllerView &v, std::string_view code, unsigned door) {
    if (code == codes::kDoorOpen || code == codes::kDoorClosed)
        set_bit(v.door_closed_mask, door, code == codes::kDoorClosed);
    else set_bit(v.latch_locked_mask, door, code == codes::kLatchLocked);
    if (code == codes::kDoorOpen && door == v.active_door &&
        (is_state(v, ControllerState::Pulsing) || is_state(v, ControllerState::WaitOpen)))
        set_state(v, ControllerState::WaitClose);
}

} // namespace

bool apply_event(ControllerView &v, std::string_view code, unsigned door) {
    const auto before = v;
    const bool valid_door = door >= 1 && door <= ch::kDoors;
    if (code == codes::kDoorOpen || code == codes::kDoorClosed || code == codes::kLatchUnlocked ||
        code == codes::kLatchLocked) {
        if (valid_door) apply_door(v, code, door);
    } else if (code == codes::kOpenAccepted) {
        if (!valid_door) return false;
        set_state(v, ControllerState::Pulsing);
        v.active_door = door;
    } else if (code == codes::kPulseComplete || code == codes::kPulseDoorOpen) {
        if (is_state(v, ControllerState::Pulsing)) set_state(v, waiting_state(v));
    } else if (code == codes::kCycleComplete || code == codes::kFaultCleared) {
        // A fault raised at the end of a cycle outlives its cycle_complete.
        if (code == codes::kFaultCleared || !is_state(v, ControllerState::Fault)) {
            set_state(v, ControllerState::Idle);
            v.active_door = 0;
            v.fault = std::string(ch::kNoFault);
        }
    } else if (ch::is_fault_code(code)) {
        set_state(v, ControllerState::Fault);
        v.fault = std::string(code);
    }
    return !(v == before);
}

bool disagrees(const ControllerView &followed, bool followed_inputs_valid,
               const ch::StateLine &line) {
    const auto now = controller_view(line);
    if (followed.state != now.state || followed.fault != now.fault ||
        followed.active_door != now.active_door)
        return true;
    if (!followed_inputs_valid || !line.inputs_valid) return false;
    return followed.door_closed_mask != now.door_closed_mask ||
        followed.latch_locked_mask != now.latch_locked_mask;
}

std::string state_text(const ControllerView &v) {
    const auto s = ch::parse_state(v.state);
    if (!s) return v.state;
    switch (*s) {
    case ControllerState::Idle: return "idle";
    case ControllerState::Pulsing: return fmt::format("pulsing door {}", v.active_door);
    case ControllerState::WaitOpen:
        return fmt::format("waiting for door {} to open", v.active_door);
    case ControllerState::WaitClose:
        return fmt::format("waiting for door {} to close", v.active_door);
    case ControllerState::Fault: return fmt::format("fault: {}", v.fault);
    }
    return v.state;
}

} // namespace cabinetd
