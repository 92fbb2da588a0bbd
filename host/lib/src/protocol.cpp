#include "cabinet_host/protocol.h"

#include <nlohmann/json.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <sys/random.h>

#ifdef CABINET_HOST_CHECK_CORE_LIMITS
#include "cabinet.h"
#endif

namespace cabinet_host {

#ifdef CABINET_HOST_CHECK_CORE_LIMITS
static_assert(kLineMax == CABINET_LINE_MAX && kSessionIdMax == CABINET_SESSION_ID_MAX &&
                  kRequestIdMax == CABINET_REQUEST_ID_MAX && kDoors == CABINET_DOORS,
              "protocol.h's limits must be the controller's (core/cabinet.h)");
static_assert(kPulseMinMs == CABINET_PULSE_MIN_MS && kPulseMaxMs == CABINET_PULSE_MAX_MS &&
                  kTtlMinMs == CABINET_TTL_MIN_MS && kTtlMaxMs == CABINET_TTL_MAX_MS,
              "protocol.h's pulse and ttl ranges must be the controller's (core/cabinet.h)");
static_assert(kHeartbeatFreshMs == CABINET_HEARTBEAT_TIMEOUT_MS && kRearmMs == CABINET_REARM_MS &&
                  kDuplicateWindowMs == CABINET_DUPLICATE_MS,
              "protocol.h's timings must be the controller's (core/cabinet.h)");
#endif
namespace {

using nlohmann::json;

// The controller never sends more than 511 characters; anything much longer
// is line noise and not worth handing to the JSON parser.
constexpr std::size_t kInboundMax = 4096;

// Field readers: each returns false when the key is missing or of the wrong
// type, so a malformed line is dropped whole.
bool get(const json &j, const char *key, std::string &out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

bool get(const json &j, const char *key, std::uint64_t &out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_number_unsigned()) return false;
    out = it->get<std::uint64_t>();
    return true;
}

bool get_small(const json &j, const char *key, unsigned max, unsigned &out) {
    std::uint64_t v = 0;
    if (!get(j, key, v) || v > max) return false;
    out = static_cast<unsigned>(v);
    return true;
}

bool get(const json &j, const char *key, bool &out) {
    auto it = j.find(key);
    if (it == j.end() || !it->is_boolean()) return false;
    out = it->get<bool>();
    return true;
}

// An identifier of the controller's set, or none (a controller without a
// valid identity has no session id; a line of no open has no request id).
bool get_id(const json &j, const char *key, std::size_t max, std::string &out) {
    return get(j, key, out) && (out.empty() || is_identifier(out, max));
}

std::optional<Inbound> parse_state(const json &j) {
    StateLine s;
    if (!get_small(j, "protocol", 0xffff, s.protocol) || !get(j, "platform", s.platform) ||
        !get_id(j, "session_id", kSessionIdMax, s.session_id) ||
        !get(j, "uptime_ms", s.uptime_ms) || !get(j, "event_seq", s.event_seq) ||
        !get(j, "state", s.state) || !get_small(j, "active_door", kDoors, s.active_door) ||
        !get_small(j, "output_mask", 255, s.output_mask) ||
        !get_small(j, "door_closed_mask", 255, s.door_closed_mask) ||
        !get_small(j, "latch_locked_mask", 255, s.latch_locked_mask) ||
        !get(j, "inputs_valid", s.inputs_valid) || !get(j, "power_ok", s.power_ok) ||
        !get(j, "heartbeat_ok", s.heartbeat_ok) || !get(j, "driver_ready", s.driver_ready) ||
        !get(j, "fault", s.fault))
        return std::nullopt;
    // The board's tail is optional as a whole, but if present must be well formed.
    if (j.contains("p24_adc")) {
        unsigned adc = 0;
        if (!get_small(j, "p24_adc", 0xffff, adc)) return std::nullopt;
        s.p24_adc = adc;
    }
    if (j.contains("fw") && !get(j, "fw", s.fw)) return std::nullopt;
    if (j.contains("hw") && !get(j, "hw", s.hw)) return std::nullopt;
    if (j.contains("transport") && !get(j, "transport", s.transport)) return std::nullopt;
    return s;
}

template <class Line> std::optional<Inbound> parse_numbered(const json &j) {
    Line l;
    if (!get_id(j, "session_id", kSessionIdMax, l.session_id) ||
        !get(j, "event_seq", l.event_seq) || !get(j, "uptime_ms", l.uptime_ms) ||
        !get(j, "code", l.code) || !get_id(j, "request_id", kRequestIdMax, l.request_id) ||
        !get_small(j, "door_id", kDoors, l.door_id))
        return std::nullopt;
    return l;
}

// The line's object; discarded when it is not JSON, or gives a key twice
// (which nlohmann would read as its last value, and another reader of the
// line as its first).
json parse_object(std::string_view line) {
    std::vector<std::vector<std::string>> open; // the keys of each object still open
    bool twice = false;
    const json::parser_callback_t note = [&](int, json::parse_event_t event, json &parsed) {
        if (event == json::parse_event_t::object_start) open.emplace_back();
        if (event == json::parse_event_t::object_end && !open.empty()) open.pop_back();
        if (event == json::parse_event_t::key && !open.empty()) {
            auto &keys = open.back();
            const auto &k = parsed.get_ref<const std::string &>();
            twice = twice || std::find(keys.begin(), keys.end(), k) != keys.end();
            keys.push_back(k);
        }
        return true;
    };
    auto j = json::parse(line.begin(), line.end(), note, /*allow_exceptions=*/false);
    return twice ? json(json::value_t::discarded) : j;
}

void require_identifier(std::string_view what, std::string_view s, std::size_t max) {
    if (!is_identifier(s, max))
        throw std::invalid_argument(fmt::format(
            "{} \"{}\" is not 1..{} characters of letters, digits, '-', '.', ':' or '_'", what, s,
            max));
}

} // namespace

std::optional<Inbound> parse_line(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.size() > kInboundMax) return std::nullopt;
    const json j = parse_object(line);
    if (!j.is_object()) return std::nullopt;
    std::string type;
    if (!get(j, "type", type)) return std::nullopt;
    if (type == "state") return parse_state(j);
    if (type == "event") return parse_numbered<EventLine>(j);
    if (type == "ack") return parse_numbered<AckLine>(j);
    return std::nullopt;
}

const std::string &session_of(const Inbound &line) {
    return std::visit([](const auto &l) -> const std::string & { return l.session_id; }, line);
}

std::uint64_t uptime_of(const Inbound &line) {
    return std::visit([](const auto &l) { return l.uptime_ms; }, line);
}

bool is_identifier(std::string_view s, std::size_t max) {
    if (s.empty() || s.size() > max) return false;
    for (char c : s) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == ':' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// The builders write the lines by hand rather than through a JSON library:
// the controller accepts no escapes, and every value here is either a number
// or an identifier checked above, so the text is exact and predictable.
std::string build_open(const OpenCommand &cmd) {
    require_identifier("request id", cmd.request_id, kRequestIdMax);
    require_identifier("session id", cmd.session_id, kSessionIdMax);
    if (cmd.door_id < 1 || cmd.door_id > kDoors)
        throw std::invalid_argument(fmt::format("door {} is not 1..{}", cmd.door_id, kDoors));
    return fmt::format("{{\"type\":\"open\",\"request_id\":\"{}\",\"session_id\":\"{}\","
                       "\"door_id\":{},\"pulse_ms\":{},\"issued_at_ms\":{},\"ttl_ms\":{}}}",
                       cmd.request_id, cmd.session_id, cmd.door_id, cmd.pulse_ms, cmd.issued_at_ms,
                       cmd.ttl_ms);
}

std::string build_heartbeat(std::string_view session_id) {
    require_identifier("session id", session_id, kSessionIdMax);
    return fmt::format("{{\"type\":\"heartbeat\",\"session_id\":\"{}\"}}", session_id);
}

std::string build_clear_fault(std::string_view session_id) {
    require_identifier("session id", session_id, kSessionIdMax);
    return fmt::format("{{\"type\":\"clear_fault\",\"session_id\":\"{}\"}}", session_id);
}

std::string build_state_request() { return "{\"type\":\"state\"}"; }

void random_bytes(void *out, std::size_t n) {
    auto *p = static_cast<unsigned char *>(out);
    while (n > 0) {
        const ssize_t got = ::getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
}

RequestIds::RequestIds(std::string label) : label_(std::move(label)) {
    require_identifier("request id label", label_, kLabelMax);
}

std::string RequestIds::next() const {
    unsigned char b[16];
    random_bytes(b, sizeof b);
    std::string out = label_.empty() ? std::string() : label_ + "-";
    static constexpr char kHex[] = "0123456789abcdef";
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    const auto t = static_cast<std::uint64_t>(std::max<std::int64_t>(ms, 0));
    for (int shift = 44; shift >= 0; shift -= 4) out.push_back(kHex[(t >> shift) & 15]);
    for (unsigned char c : b) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

} // namespace cabinet_host
