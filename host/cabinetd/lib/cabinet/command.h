// The one way in for a command, whichever front end it came through: the
// door, the pulse and ttl, the wait, the fields a body may carry and the
// refusals of all of them are decided here, so that HTTP and MQTT cannot
// drift apart. Each front end turns a refusal into its own answer (an HTTP
// status, an MQTT result code) and keeps only what is its own: HTTP's
// Content-Type and Idempotency-Key, MQTT's topics, plain payloads and send
// time.
#pragma once

#include "cabinet_types.h"
#include "result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cabinetd {

// Which front end a command came through: each lets a body carry different
// fields (an MQTT command has no headers, so its request id and the time it
// was sent travel in the body).
enum class Front { Http, Mqtt };

// An open, a fault clear or an acknowledgement of alarms, checked and ready
// for a cabinet.
struct Command {
    enum Kind { Open, ClearFault, AckAlarms } kind = Open;
    unsigned door = 0;
    std::uint32_t pulse_ms = 500;
    std::uint32_t ttl_ms = 3000;
    bool wait_cycle = false;
    std::string request_id;                 // MQTT's, from the body; empty: none given
    std::optional<std::int64_t> sent_at_ms; // when the sender says it sent it (Unix ms)
    std::string reason;                     // an open's stated reason; empty: none

    // The open's arguments; who asked and the idempotency key are the front end's.
    OpenArgs open_args() const;
};

// An open's reason: 1 to this many characters, one of them visible, none of
// them a control character or a bidi control.
inline constexpr std::size_t kReasonMax = 200;

// A door as a client wrote it, in the one canonical form ("3", never "03"
// or "+3"), and within the cabinet's doors.
std::optional<unsigned> door_number(std::string_view text);

// What a client sent for an open.
struct OpenInput {
    std::string_view door;                // as written in the path or topic
    std::optional<std::string_view> wait; // HTTP's ?wait=
    std::optional<std::string_view> body; // JSON text; none: every default
    bool body_is_json = true;             // HTTP: its Content-Type said JSON
};

// Each parse gives the command checked, or refuses it before it reaches a
// cabinet with one of:
//   not_found               no such door (HTTP 404)
//   unsupported_media_type  HTTP's Content-Type is not JSON (415)
//   bad_request             not a JSON object, an unknown field, a bad type or value (400)
//   out_of_range            pulse_ms or ttl_ms outside the controller's limits (422)
//
// Checks an open, in this order: the door, the wait, the body's type, that
// the body is a JSON object, its fields (the request id first, so that any
// later refusal can echo it), then each value's range.
Result<Command> parse_open(const OpenInput &in, Front front);
// The request id an MQTT body gives, when it is a JSON object whose request
// id is valid: what a refusal of the body's later fields echoes.
std::string request_id_of(std::string_view body);
// Checks a fault clear's body (none: the defaults).
Result<Command> parse_clear(std::optional<std::string_view> body, Front front);
// Checks the body of an acknowledgement of every active alarm, which takes
// what a fault clear's does.
Result<Command> parse_alarm_ack(std::optional<std::string_view> body, Front front);

} // namespace cabinetd
