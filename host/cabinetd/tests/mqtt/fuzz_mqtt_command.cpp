// libFuzzer target for the commands taken from the broker
// (parse_mqtt_command, then check_sent_at). The input is the topic after the
// cabinet's prefix, a line feed, and the payload. Whatever they are, the
// answer is a command or a refusal with one of the codes docs/mqtt.md lists;
// nothing is thrown. A command comes only from a topic of that grammar (a
// door exactly 1 to 8) and a payload of it (a plain word, or a JSON object
// of the fields its kind takes, each of its type and range, no key given
// twice), and holds what they say; a refusal echoes no request id that is
// not one. A command written back as its canonical payload parses as
// itself, and its send time is judged as the documented clock rules say.
#include "fuzz_check.h"
#include "fuzz_json.h"
#include "mqtt_topics.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace cabinetd {
namespace {

using nlohmann::json;

// What a topic names, by the grammar: door/N/open/set with N one of 1 to 8
// as written, clear_fault/set or alarm/ack/set.
std::optional<Command> topic_command(std::string_view sub) {
    Command c;
    if (sub == "clear_fault/set") c.kind = Command::ClearFault;
    else if (sub == "alarm/ack/set") c.kind = Command::AckAlarms;
    else if (sub.size() == 15 && sub.substr(0, 5) == "door/" && sub[5] >= '1' && sub[5] <= '8' &&
             sub.substr(6) == "/open/set")
        c.door = static_cast<unsigned>(sub[5] - '0');
    else return std::nullopt;
    return c;
}

bool identifier(const std::string &s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == ':' || c == '_'))
            return false;
    return true;
}

// 1 to 200 code points of UTF-8 (which the JSON parser has checked), none a
// control character: C0, DEL or C1.
bool reason_text(const std::string &s) {
    std::size_t points = 0;
    for (std::size_t i = 0; i < s.size(); ++points) {
        const auto b = static_cast<unsigned char>(s[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xe0 ? 2 : b < 0xf0 ? 3 : 4;
        std::uint32_t cp = n == 1 ? b : b & (0x7f >> n);
        for (std::size_t k = 1; k < n; ++k)
            cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3f);
        if (cp < 0x20 || (cp >= 0x7f && cp <= 0x9f)) return false;
        i += n;
    }
    return points >= 1 && points <= 200;
}

// A whole number of milliseconds in [lo, hi], or the default when absent.
std::uint32_t ms(const json &j, const char *key, std::int64_t lo, std::int64_t hi,
                 std::uint32_t def) {
    const auto it = j.find(key);
    if (it == j.end()) return def;
    FUZZ_CHECK(it->is_number_integer());
    FUZZ_CHECK(it->is_number_unsigned()
                   ? it->get<std::uint64_t>() >= std::uint64_t(lo) &&
                       it->get<std::uint64_t>() <= std::uint64_t(hi)
                   : it->get<std::int64_t>() >= lo && it->get<std::int64_t>() <= hi);
    return it->get<std::uint32_t>();
}

// What a payload the parser took says, by the grammar.
Command expected(Command c, std::string_view payload) {
    const bool open = c.kind == Command::Open;
    const bool plain =
        open ? payload == "OPEN" || payload == "UNLOCK" : payload.empty() || payload == "PRESS";
    if (plain) return c;
    FUZZ_CHECK(!fuzz_json::has_key_twice(payload));
    const auto j = json::parse(payload, nullptr, false);
    FUZZ_CHECK(j.is_object());
    for (auto &[key, v] : j.items())
        FUZZ_CHECK(key == "ttl_ms" || key == "request_id" || key == "sent_at_ms" ||
                   (open && (key == "pulse_ms" || key == "reason")));
    c.ttl_ms = ms(j, "ttl_ms", 1, 5000, c.ttl_ms);
    c.pulse_ms = ms(j, "pulse_ms", 100, 1000, c.pulse_ms);
    if (auto it = j.find("request_id"); it != j.end()) {
        FUZZ_CHECK(it->is_string() && identifier(it->get<std::string>()));
        c.request_id = it->get<std::string>();
    }
    if (auto it = j.find("reason"); it != j.end()) {
        FUZZ_CHECK(it->is_string() && reason_text(it->get<std::string>()));
        c.reason = it->get<std::string>();
    }
    if (auto it = j.find("sent_at_ms"); it != j.end()) {
        FUZZ_CHECK(it->is_number_integer());
        c.sent_at_ms = it->is_number_unsigned() &&
                it->get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())
            ? std::numeric_limits<std::int64_t>::max()
            : it->get<std::int64_t>();
    }
    return c;
}

bool utf8(std::string_view s) {
    try {
        (void)json(std::string(s)).dump();
        return true;
    } catch (const json::type_error &) {
        return false;
    }
}

bool same(const Command &a, const Command &b) {
    return a.kind == b.kind && a.door == b.door && a.pulse_ms == b.pulse_ms &&
        a.ttl_ms == b.ttl_ms && a.wait_cycle == b.wait_cycle && a.request_id == b.request_id &&
        a.sent_at_ms == b.sent_at_ms && a.reason == b.reason;
}

// The command's canonical topic and payload: every field it holds.
std::pair<std::string, std::string> written(const Command &c) {
    json p{{"ttl_ms", c.ttl_ms}};
    if (!c.request_id.empty()) p["request_id"] = c.request_id;
    if (c.sent_at_ms) p["sent_at_ms"] = *c.sent_at_ms;
    if (c.kind == Command::Open) {
        p["pulse_ms"] = c.pulse_ms;
        if (!c.reason.empty()) p["reason"] = c.reason;
    }
    const std::string topic = c.kind == Command::ClearFault ? "clear_fault/set"
        : c.kind == Command::AckAlarms                      ? "alarm/ack/set"
                                       : "door/" + std::to_string(c.door) + "/open/set";
    return {topic, p.dump()};
}

// check_sent_at against the rule, in wide arithmetic: more than 2 s ahead of
// now is refused as a bad request, older than its ttl as expired.
void check_send_time(const Command &c, std::int64_t now) {
    const auto r = check_sent_at(c.sent_at_ms, now, c.ttl_ms);
    const __int128 age = static_cast<__int128>(now) - c.sent_at_ms.value_or(now);
    const char *want = age < -kSentAtSkewMs ? "bad_request" : age > c.ttl_ms ? "expired" : nullptr;
    FUZZ_CHECK(want ? !r && r.refusal().code == want : static_cast<bool>(r));
}

} // namespace
} // namespace cabinetd

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace cabinetd;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto newline = input.find('\n');
    const auto sub = input.substr(0, newline);
    const auto payload =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    const auto topic = topic_command(sub);

    auto parsed = parse_mqtt_command(sub, payload);
    if (!parsed.command) {
        const auto *r = &parsed.command.refusal();
        // Refused for what the grammar refuses, in the order the topics
        // table gives: the size, the topic, LOCK, then the payload.
        FUZZ_CHECK(!r->text.empty());
        FUZZ_CHECK(parsed.request_id.empty() || identifier(parsed.request_id));
        const bool large = payload.size() > kMaxCommandPayload;
        const bool lock = topic && topic->kind == Command::Open && payload == "LOCK";
        FUZZ_CHECK(r->code ==
                   (large        ? "payload_too_large"
                        : !topic ? "unknown_topic"
                        : lock   ? "not_supported"
                                 : "bad_request"));
        // The answer on `result` carries the text: JSON, so UTF-8, when the
        // topic is (a broker takes no other topic).
        if (utf8(sub)) (void)json{{"text", r->text}}.dump();
        return 0;
    }
    const auto &c = *parsed.command;
    FUZZ_CHECK(parsed.request_id == c.request_id);
    FUZZ_CHECK(topic && payload.size() <= kMaxCommandPayload);
    FUZZ_CHECK(same(c, expected(*topic, payload)));

    const auto [canonical_topic, canonical_payload] = written(c);
    FUZZ_CHECK(canonical_topic == sub);
    auto again = parse_mqtt_command(canonical_topic, canonical_payload);
    FUZZ_CHECK(again.command && same(*again.command, c));

    constexpr auto lo = std::numeric_limits<std::int64_t>::min();
    constexpr auto hi = std::numeric_limits<std::int64_t>::max();
    for (const std::int64_t now :
         {lo, lo + 1, std::int64_t{-1}, std::int64_t{0}, std::int64_t{1765000000000}, hi - 1, hi})
        check_send_time(c, now);
    if (c.sent_at_ms)
        for (const std::int64_t d : {-2001, -2000, 0, 1, 4999, 5000, 5001}) {
            std::int64_t now = 0;
            if (!__builtin_add_overflow(*c.sent_at_ms, d, &now)) check_send_time(c, now);
        }
    return 0;
}
