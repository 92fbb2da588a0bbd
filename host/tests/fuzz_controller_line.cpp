// libFuzzer target for the lines a controller sends (parse_line): whatever
// arrives on the serial line is a state, event or ack record or nothing,
// and nothing is thrown. A line that is taken is a JSON object with no key
// given twice, of at most 4096 characters and an optional carriage return,
// holding every key of its type (docs/protocol.md, section 3) with a value
// of its type and range: numbers whole and unsigned, doors 0 to 8, masks of
// eight doors, identifiers of the controller's set (or none); the record
// holds exactly those values. Written out again as the controller writes it
// (its keys in its order, no spaces), with a key the host does not know
// added or not, it parses as the same record.
#include "cabinet_host/protocol.h"
#include "fuzz_check.h"
#include "fuzz_json.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace {

using namespace cabinet_host;
using nlohmann::json;
using ordered = nlohmann::ordered_json;

bool identifier_or_none(const std::string &s, std::size_t max) {
    if (s.size() > max) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == ':' || c == '_'))
            return false;
    return true;
}

// The value of a key the line must have, of the record's type.
template <class T> T value(const json &j, const char *key) {
    const auto it = j.find(key);
    FUZZ_CHECK(it != j.end());
    if constexpr (std::is_same_v<T, bool>) FUZZ_CHECK(it->is_boolean());
    else if constexpr (std::is_same_v<T, std::string>) FUZZ_CHECK(it->is_string());
    else FUZZ_CHECK(it->is_number_unsigned());
    return it->get<T>();
}

unsigned small(const json &j, const char *key, std::uint64_t max) {
    const auto v = value<std::uint64_t>(j, key);
    FUZZ_CHECK(v <= max);
    return static_cast<unsigned>(v);
}

void check_state(const json &j, const StateLine &s) {
    FUZZ_CHECK(s.protocol == small(j, "protocol", 0xffff));
    FUZZ_CHECK(s.platform == value<std::string>(j, "platform"));
    FUZZ_CHECK(s.session_id == value<std::string>(j, "session_id"));
    FUZZ_CHECK(s.uptime_ms == value<std::uint64_t>(j, "uptime_ms"));
    FUZZ_CHECK(s.event_seq == value<std::uint64_t>(j, "event_seq"));
    FUZZ_CHECK(s.state == value<std::string>(j, "state"));
    FUZZ_CHECK(s.active_door == small(j, "active_door", kDoors));
    FUZZ_CHECK(s.output_mask == small(j, "output_mask", 255));
    FUZZ_CHECK(s.door_closed_mask == small(j, "door_closed_mask", 255));
    FUZZ_CHECK(s.latch_locked_mask == small(j, "latch_locked_mask", 255));
    FUZZ_CHECK(s.inputs_valid == value<bool>(j, "inputs_valid"));
    FUZZ_CHECK(s.power_ok == value<bool>(j, "power_ok"));
    FUZZ_CHECK(s.heartbeat_ok == value<bool>(j, "heartbeat_ok"));
    FUZZ_CHECK(s.driver_ready == value<bool>(j, "driver_ready"));
    FUZZ_CHECK(s.fault == value<std::string>(j, "fault"));
    // The board's tail: each key optional, of its type where it is there.
    FUZZ_CHECK(s.p24_adc.has_value() == j.contains("p24_adc"));
    if (s.p24_adc) FUZZ_CHECK(*s.p24_adc == small(j, "p24_adc", 0xffff));
    FUZZ_CHECK(s.fw == (j.contains("fw") ? value<std::string>(j, "fw") : ""));
    FUZZ_CHECK(s.hw == (j.contains("hw") ? value<std::string>(j, "hw") : ""));
    FUZZ_CHECK(s.transport == (j.contains("transport") ? value<std::string>(j, "transport") : ""));
    FUZZ_CHECK(identifier_or_none(s.session_id, kSessionIdMax));
}

template <class Line> void check_numbered(const json &j, const Line &l) {
    FUZZ_CHECK(l.session_id == value<std::string>(j, "session_id"));
    FUZZ_CHECK(l.event_seq == value<std::uint64_t>(j, "event_seq"));
    FUZZ_CHECK(l.uptime_ms == value<std::uint64_t>(j, "uptime_ms"));
    FUZZ_CHECK(l.code == value<std::string>(j, "code"));
    FUZZ_CHECK(l.request_id == value<std::string>(j, "request_id"));
    FUZZ_CHECK(l.door_id == small(j, "door_id", kDoors));
    FUZZ_CHECK(identifier_or_none(l.session_id, kSessionIdMax));
    FUZZ_CHECK(identifier_or_none(l.request_id, kRequestIdMax));
}

// The line as the controller writes it.
ordered written(const Inbound &in) {
    if (const auto *s = std::get_if<StateLine>(&in)) {
        ordered o{{"type", "state"},
                  {"protocol", s->protocol},
                  {"platform", s->platform},
                  {"session_id", s->session_id},
                  {"uptime_ms", s->uptime_ms},
                  {"event_seq", s->event_seq},
                  {"state", s->state},
                  {"active_door", s->active_door},
                  {"output_mask", s->output_mask},
                  {"door_closed_mask", s->door_closed_mask},
                  {"latch_locked_mask", s->latch_locked_mask},
                  {"inputs_valid", s->inputs_valid},
                  {"power_ok", s->power_ok},
                  {"heartbeat_ok", s->heartbeat_ok},
                  {"driver_ready", s->driver_ready},
                  {"fault", s->fault}};
        if (s->p24_adc) o["p24_adc"] = *s->p24_adc;
        if (!s->fw.empty()) o["fw"] = s->fw;
        if (!s->hw.empty()) o["hw"] = s->hw;
        if (!s->transport.empty()) o["transport"] = s->transport;
        return o;
    }
    const auto numbered = [](const char *type, const auto &l) {
        return ordered{{"type", type},
                       {"session_id", l.session_id},
                       {"event_seq", l.event_seq},
                       {"uptime_ms", l.uptime_ms},
                       {"code", l.code},
                       {"request_id", l.request_id},
                       {"door_id", l.door_id}};
    };
    if (const auto *e = std::get_if<EventLine>(&in)) return numbered("event", *e);
    return numbered("ack", std::get<AckLine>(in));
}

bool same(const Inbound &a, const Inbound &b) {
    if (a.index() != b.index()) return false;
    if (const auto *x = std::get_if<StateLine>(&a)) {
        const auto &y = std::get<StateLine>(b);
        return x->protocol == y.protocol && x->platform == y.platform &&
            x->session_id == y.session_id && x->uptime_ms == y.uptime_ms &&
            x->event_seq == y.event_seq && x->state == y.state && x->active_door == y.active_door &&
            x->output_mask == y.output_mask && x->door_closed_mask == y.door_closed_mask &&
            x->latch_locked_mask == y.latch_locked_mask && x->inputs_valid == y.inputs_valid &&
            x->power_ok == y.power_ok && x->heartbeat_ok == y.heartbeat_ok &&
            x->driver_ready == y.driver_ready && x->fault == y.fault && x->p24_adc == y.p24_adc &&
            x->fw == y.fw && x->hw == y.hw && x->transport == y.transport;
    }
    const auto numbered = [](const auto &x, const auto &y) {
        return x.session_id == y.session_id && x.event_seq == y.event_seq &&
            x.uptime_ms == y.uptime_ms && x.code == y.code && x.request_id == y.request_id &&
            x.door_id == y.door_id;
    };
    if (const auto *x = std::get_if<EventLine>(&a)) return numbered(*x, std::get<EventLine>(b));
    return numbered(std::get<AckLine>(a), std::get<AckLine>(b));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string_view line(reinterpret_cast<const char *>(data), size);
    const auto in = parse_line(line);
    if (!in) return 0;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    FUZZ_CHECK(!line.empty() && line.size() <= 4096);
    FUZZ_CHECK(!fuzz_json::has_key_twice(line));
    const auto j = json::parse(line, nullptr, false);
    FUZZ_CHECK(j.is_object());
    const auto type = value<std::string>(j, "type");
    if (const auto *s = std::get_if<StateLine>(&*in)) {
        FUZZ_CHECK(type == "state");
        check_state(j, *s);
    } else if (const auto *e = std::get_if<EventLine>(&*in)) {
        FUZZ_CHECK(type == "event");
        check_numbered(j, *e);
    } else {
        FUZZ_CHECK(type == "ack");
        check_numbered(j, std::get<AckLine>(*in));
    }

    auto canonical = written(*in);
    const auto again = parse_line(canonical.dump());
    FUZZ_CHECK(again && same(*again, *in));
    canonical["newer"] = {{"x", 1}};
    if (const auto text = canonical.dump() + "\r"; text.size() <= 4097) {
        const auto newer = parse_line(text);
        FUZZ_CHECK(newer && same(*newer, *in));
    }
    return 0;
}
