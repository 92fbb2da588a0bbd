#include "command.h"

#include "decimal.h"
#include "strict_json.h"
#include "unicode.h"

#include <cabinet_host/protocol.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <limits>

namespace cabinetd {

using nlohmann::json;
namespace ch = cabinet_host;

OpenArgs Command::open_args() const {
    OpenArgs a;
    a.door = door;
    a.pulse_ms = pulse_ms;
    a.ttl_ms = ttl_ms;
    a.wait_cycle = wait_cycle;
    a.reason = reason;
    return a;
}

std::optional<unsigned> door_number(std::string_view text) {
    const auto d = parse_decimal<unsigned>(text);
    if (!d || *d < 1 || *d > ch::kDoors) return std::nullopt;
    return d;
}

namespace {

// The fields a command's body may carry, by front end and kind.
bool known_field(const std::string &k, Command::Kind kind, Front front) {
    if (k == "ttl_ms" || (kind == Command::Open && (k == "pulse_ms" || k == "reason"))) return true;
    return front == Front::Mqtt && (k == "request_id" || k == "sent_at_ms");
}

std::string not_an_object(Command::Kind kind, Front front) {
    if (front == Front::Http) return "the body is not a JSON object";
    return kind == Command::Open
        ? "the payload is neither OPEN nor a JSON object "
          "{\"pulse_ms\",\"ttl_ms\",\"request_id\",\"reason\"}"
        : "the payload is neither PRESS nor a JSON object {\"request_id\",\"ttl_ms\"}";
}

// A whole number of milliseconds within [lo, hi]. A number beyond 64 bits
// is out of range too, and is named as the client wrote it.
Result<> read_ms(const json &j, const char *name, std::int64_t lo, std::int64_t hi,
                 std::uint32_t &out) {
    if (!j.contains(name)) return {};
    const auto &v = j[name];
    const bool fits = !v.is_number_unsigned() ||
        v.get<std::uint64_t>() <= std::uint64_t(std::numeric_limits<std::int64_t>::max());
    const auto n = fits ? v.get<std::int64_t>() : std::numeric_limits<std::int64_t>::max();
    if (n < lo || n > hi)
        return Refusal{"out_of_range",
                       fmt::format("{} {} is out of range: {} to {}", name, v.dump(), lo, hi)};
    out = static_cast<std::uint32_t>(n);
    return {};
}

// The send time as the client wrote it; one beyond 64 bits is as far ahead
// as time goes, which the sender's clock check then refuses.
std::optional<std::int64_t> read_sent_at(const json &j) {
    if (!j.contains("sent_at_ms")) return std::nullopt;
    const auto &v = j["sent_at_ms"];
    if (v.is_number_unsigned() &&
        v.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return std::numeric_limits<std::int64_t>::max();
    return v.get<std::int64_t>();
}

// An open's reason: text of 1 to kReasonMax characters (the parser has
// checked it is UTF-8) that says something: a visible character at least,
// no control character, which a journal reader's terminal or spreadsheet
// could take for something else, and no bidi control, which would show the
// words in another order than they were written.
Result<> read_reason(const json &j, Command &c) {
    if (!j.contains("reason")) return {};
    const auto &v = j["reason"];
    const auto refused = [&](const std::string &what) {
        return Refusal{"bad_request",
                       fmt::format("reason: text of 1 to {} characters, {}", kReasonMax, what)};
    };
    if (!v.is_string()) return refused("a string");
    const auto &text = v.get_ref<const std::string &>();
    const auto chars = code_points(text);
    if (chars < 1 || chars > kReasonMax) return refused("no more");
    if (auto fault = reason_fault(text)) return refused(*fault);
    c.reason = text;
    return {};
}

Result<> read_body(std::string_view text, Front front, Command &c) {
    const auto parsed = parse_strict_json(text);
    if (!parsed) return parsed.refusal();
    const auto &j = *parsed;
    if (!j.is_object()) return Refusal{"bad_request", not_an_object(c.kind, front)};
    if (front == Front::Mqtt && j.contains("request_id")) {
        const auto &r = j["request_id"];
        if (!r.is_string() || !ch::is_identifier(r.get<std::string>(), ch::kRequestIdMax))
            return Refusal{"bad_request",
                           fmt::format("request_id: 1 to {} letters, digits, '-', '.', ':' or '_'",
                                       ch::kRequestIdMax)};
        c.request_id = r.get<std::string>();
    }
    for (const auto &[k, v] : j.items()) {
        if (!known_field(k, c.kind, front))
            return Refusal{"bad_request", fmt::format("unknown field \"{}\"", k)};
        if (k != "request_id" && k != "reason" && !v.is_number_integer())
            return Refusal{"bad_request",
                           fmt::format("\"{}\" must be a whole number of milliseconds", k)};
    }
    if (auto read = read_ms(j, "pulse_ms", ch::kPulseMinMs, ch::kPulseMaxMs, c.pulse_ms); !read)
        return read;
    if (auto read = read_ms(j, "ttl_ms", ch::kTtlMinMs, ch::kTtlMaxMs, c.ttl_ms); !read)
        return read;
    c.sent_at_ms = read_sent_at(j);
    return read_reason(j, c);
}

} // namespace

Result<Command> parse_open(const OpenInput &in, Front front) {
    Command c;
    const auto door = door_number(in.door);
    if (!door)
        return Refusal{
            "not_found",
            fmt::format("no door \"{}\": doors are numbered 1 to {}", in.door, ch::kDoors)};
    c.door = *door;
    if (in.wait) {
        if (*in.wait != "cycle") return Refusal{"bad_request", "wait: the only value is \"cycle\""};
        c.wait_cycle = true;
    }
    if (!in.body) return c;
    if (!in.body_is_json)
        return Refusal{"unsupported_media_type",
                       "the body must be JSON (Content-Type: application/json)"};
    if (auto read = read_body(*in.body, front, c); !read) return read.refusal();
    return c;
}

Result<Command> parse_clear(std::optional<std::string_view> body, Front front) {
    Command c;
    c.kind = Command::ClearFault;
    if (!body) return c;
    if (auto read = read_body(*body, front, c); !read) return read.refusal();
    return c;
}

Result<Command> parse_alarm_ack(std::optional<std::string_view> body, Front front) {
    auto parsed = parse_clear(body, front);
    if (parsed) parsed->kind = Command::AckAlarms;
    return parsed;
}

std::string request_id_of(std::string_view body) {
    const auto parsed = parse_strict_json(body);
    if (!parsed || !parsed->is_object()) return {};
    const auto r = parsed->find("request_id");
    if (r == parsed->end() || !r->is_string() ||
        !ch::is_identifier(r->get<std::string>(), ch::kRequestIdMax))
        return {};
    return r->get<std::string>();
}

} // namespace cabinetd
