// The protocol's words the host acts on: the controller's states, the codes
// it tells apart by name, and the form of a session id. Code outside host/lib
// takes them from here instead of spelling them (explain.h has what every
// code means and which kind it is).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cabinet_host {

// The controller's state, as a state line names it.
enum class ControllerState { Idle, Pulsing, WaitOpen, WaitClose, Fault };

// Nothing for a name the controller does not send.
std::optional<ControllerState> parse_state(std::string_view name);
std::string_view to_string(ControllerState s);

// A state line's "fault" while none is latched.
inline constexpr std::string_view kNoFault = "none";

// The codes the host acts on one by one.
namespace codes {
inline constexpr std::string_view kAccepted = "accepted";
inline constexpr std::string_view kHeartbeatOk = "heartbeat_ok";
inline constexpr std::string_view kCleared = "cleared";
inline constexpr std::string_view kClearDenied = "clear_denied";
inline constexpr std::string_view kFutureCommand = "future_command";
// An open that arrived ttl_ms or more after it was stamped.
inline constexpr std::string_view kExpired = "expired";
inline constexpr std::string_view kBoot = "boot";
inline constexpr std::string_view kInputsReady = "inputs_ready";
inline constexpr std::string_view kIdentityInvalid = "identity_invalid";
inline constexpr std::string_view kOpenAccepted = "open_accepted";
inline constexpr std::string_view kCycleComplete = "cycle_complete";
inline constexpr std::string_view kFaultCleared = "fault_cleared";
// A door's sensors (debounced), whoever moved the door.
inline constexpr std::string_view kDoorOpen = "door_open";
inline constexpr std::string_view kDoorClosed = "door_closed";
inline constexpr std::string_view kLatchUnlocked = "latch_unlocked";
inline constexpr std::string_view kLatchLocked = "latch_locked";
inline constexpr std::string_view kPulseComplete = "pulse_complete";
inline constexpr std::string_view kPulseDoorOpen = "pulse_door_open";
} // namespace codes

// A session id: the board's id and the number of the boot it started with,
// written as 16 upper-case hex digits, '-', 16 lower-case hex digits
// ("E6613852832F4A29-0000000000000001").
struct SessionId {
    std::string board_id; // 16 upper-case hex digits
    std::uint64_t boot = 0;
    bool operator==(const SessionId &) const = default;
};

// Only the canonical form parses; anything else (another case, another
// length, a missing part) is nothing.
std::optional<SessionId> parse_session_id(std::string_view s);
// Throws std::invalid_argument for a board id that is not 16 upper-case hex digits.
std::string format_session_id(const SessionId &id);

} // namespace cabinet_host
