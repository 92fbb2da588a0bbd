// The controller's line protocol as seen from the host: typed records for the
// three line types the controller sends, a tolerant parser for them, and
// builders for the four command lines it accepts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace cabinet_host {

// Limits of the controller's line protocol.
inline constexpr std::size_t kLineMax = 512;     // inbound command line, line feed excluded
inline constexpr std::size_t kSessionIdMax = 48; // characters
inline constexpr std::size_t kRequestIdMax = 64; // characters
inline constexpr unsigned kDoors = 8;
inline constexpr std::uint32_t kPulseMinMs = 100;
inline constexpr std::uint32_t kPulseMaxMs = 1000;
inline constexpr std::uint32_t kTtlMinMs = 1;
inline constexpr std::uint32_t kTtlMaxMs = 5000;
inline constexpr std::uint64_t kHeartbeatFreshMs = 5000;
inline constexpr std::uint64_t kRearmMs = 1300;
inline constexpr std::uint64_t kDuplicateWindowMs = 5000;

// A snapshot of the controller, published once a second and on request.
struct StateLine {
    unsigned protocol = 0;
    std::string platform;
    std::string session_id;
    std::uint64_t uptime_ms = 0;
    std::uint64_t event_seq = 0;
    std::string state; // "idle", "pulsing", "wait_open", "wait_close", "fault"
    unsigned active_door = 0;
    unsigned output_mask = 0;
    unsigned door_closed_mask = 0;  // bit d-1: door d closed
    unsigned latch_locked_mask = 0; // bit d-1: latch d locked
    bool inputs_valid = false;
    bool power_ok = false;
    bool heartbeat_ok = false;
    bool driver_ready = false;
    std::string fault; // "none" or the latched fault code
    // Board tail; absent when talking to something that sends the bare body.
    std::optional<unsigned> p24_adc;
    std::string fw;
    std::string hw;
    std::string transport;

    bool door_closed(unsigned door) const { return (door_closed_mask >> (door - 1)) & 1u; }
    bool latch_locked(unsigned door) const { return (latch_locked_mask >> (door - 1)) & 1u; }
};

// One numbered event. Events of an open operation carry its request id.
struct EventLine {
    std::string session_id;
    std::uint64_t event_seq = 0;
    std::uint64_t uptime_ms = 0;
    std::string code;
    std::string request_id;
    unsigned door_id = 0;
};

// The answer to one received line ("state" requests excepted). event_seq is
// the number of the latest event, not a number of its own.
struct AckLine {
    std::string session_id;
    std::uint64_t event_seq = 0;
    std::uint64_t uptime_ms = 0;
    std::string code;
    std::string request_id; // the open's request id; empty for other commands
    unsigned door_id = 0;
};

using Inbound = std::variant<StateLine, EventLine, AckLine>;

// Parses one received line (without its line feed; a trailing carriage return
// is tolerated). Returns nothing for anything that is not a well-formed state,
// event or ack object: wrong JSON, a key given twice, a missing key, a value
// of the wrong type or out of range (a door beyond kDoors, a session or
// request id outside the identifier set; either may be empty). Unknown extra
// keys are ignored so newer firmware still parses.
std::optional<Inbound> parse_line(std::string_view line);

// Session id and uptime common to every inbound line.
const std::string &session_of(const Inbound &line);
std::uint64_t uptime_of(const Inbound &line);

// True when s is 1..max characters of letters, digits, '-', '.', ':' and '_':
// the only characters the controller accepts in identifiers.
bool is_identifier(std::string_view s, std::size_t max);

struct OpenCommand {
    std::string request_id;
    std::string session_id;
    unsigned door_id = 0;
    std::uint32_t pulse_ms = 500;
    std::uint64_t issued_at_ms = 0; // on the controller's clock
    std::uint32_t ttl_ms = 3000;
};

// Command line builders. Each returns the line without its line feed, in the
// exact key set the controller accepts. They throw std::invalid_argument for
// identifiers outside the identifier set or too long, and for a door outside
// 1..8, so no line the controller would reject as "invalid_message" is ever
// built. Pulse and ttl are not range-checked here: the controller judges
// them and answers "range_error".
std::string build_open(const OpenCommand &cmd);
std::string build_heartbeat(std::string_view session_id);
std::string build_clear_fault(std::string_view session_id);
std::string build_state_request();

// n bytes from the operating system's random source (getrandom). Throws
// std::system_error if it cannot give them.
void random_bytes(void *out, std::size_t n);

// Request ids nobody can guess: the time in milliseconds (12 hex digits)
// then 128 bits from the operating system's random source (32 hex digits),
// after an optional label ("ctl-..."). A request id tells the controller's
// replay protection and the journal which open an answer or event belongs
// to, so one that another client could predict would let it claim or block
// someone else's open: the random part is what makes it unguessable. The
// time in front keeps new ids at the end of the journal's index of request
// ids; wholly random ones land anywhere in it, and on an SD card each such
// insert costs a page write of its own when the log is copied back.
class RequestIds {
public:
    static constexpr std::size_t kDigits = 12 + 32;                       // time, then randomness
    static constexpr std::size_t kLabelMax = kRequestIdMax - 1 - kDigits; // label, '-', the digits
    RequestIds() = default;
    // label: an identifier of at most kLabelMax characters; throws
    // std::invalid_argument otherwise.
    explicit RequestIds(std::string label);
    std::string next() const;

private:
    std::string label_;
};

} // namespace cabinet_host
