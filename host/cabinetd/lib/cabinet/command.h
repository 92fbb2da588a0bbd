// The one way in for a command, whichever front end it came through: the
// door, the pulse and ttl, the wait, the fields a body may carry and the
// refusals of all of them are decided here, so that HTTP and MQTT cannot
// drift apart. Each front end maps a refusal's kind to its own answer (an
// HTTP status, an MQTT result code) and keeps only what is its own: HTTP's
// Content-Type and Idempotency-Key, MQTT's topics, plain payloads and send
// time.
#pragma once

#include "cabinet_types.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

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

// A command refused before it reaches a cabinet.
struct CommandError {
    enum class Kind {
        NoDoor,     // no such door (HTTP 404)
        NotJson,    // HTTP's Content-Type is not JSON (415)
        Malformed,  // not a JSON object, an unknown field, a bad type or value (400)
        OutOfRange, // pulse_ms or ttl_ms outside the controller's limits (422)
    };
    Kind kind = Kind::Malformed;
    std::string text;
    std::string request_id; // echoed when one could be read
};

using ParsedCommand = std::variant<Command, CommandError>;

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

// Checks an open, in this order: the door, the wait, the body's type, that
// the body is a JSON object, its fields (the request id first, so that any
// later refusal can echo it), then each value's range.
ParsedCommand parse_open(const OpenInput &in, Front front);
// Checks a fault clear's body (none: the defaults).
ParsedCommand parse_clear(std::optional<std::string_view> body, Front front);
// Checks the body of an acknowledgement of every active alarm, which takes
// what a fault clear's does.
ParsedCommand parse_alarm_ack(std::optional<std::string_view> body, Front front);

} // namespace cabinetd
