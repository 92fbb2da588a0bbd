#include "events_query.h"

#include "decimal.h"

#include <cabinet_host/protocol.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>

namespace cabinetd {

namespace {

constexpr std::array kKnown{"cabinet", "door",     "requested_by", "requested_by_prefix",
                            "kind",    "since_ms", "until_ms",     "after",
                            "limit",   "format",   "outcome",      "reason"};
constexpr std::size_t kRequesterMax = 128;
constexpr std::size_t kReasonFilterMax = 200; // as long as a reason may be

std::string lower_trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    std::string out(s);
    for (auto &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The weight of one media range of an Accept header ("q=0.5"); 1 without
// one, 0 for a weight that is not one.
double weight(std::string_view params) {
    while (!params.empty()) {
        const auto semi = params.find(';');
        const auto p = lower_trimmed(params.substr(0, semi));
        params = semi == std::string_view::npos ? std::string_view() : params.substr(semi + 1);
        if (p.rfind("q=", 0) != 0) continue;
        const auto v = p.substr(2);
        const bool ok = !v.empty() && v.size() <= 5 && (v[0] == '0' || v[0] == '1') &&
            (v.size() == 1 || v[1] == '.') &&
            std::all_of(v.begin() + std::min<std::size_t>(2, v.size()), v.end(),
                        [](char c) { return c >= '0' && c <= '9'; });
        return ok ? std::min(1.0, std::stod(v)) : 0.0;
    }
    return 1.0;
}

Refusal bad_query(std::string text) { return Refusal{"bad_request", std::move(text)}; }

// Unix milliseconds, or none when the parameter is not given.
Result<std::optional<std::int64_t>> time_param(const QueryParams &q, const char *name) {
    auto it = q.find(name);
    if (it == q.end()) return std::optional<std::int64_t>();
    auto v = parse_decimal<std::int64_t>(it->second);
    if (!v)
        return bad_query(
            fmt::format("{}: expected Unix milliseconds (a whole number, no leading zeros)", name));
    return v;
}

// A token name, or the start of one, as a filter (empty: none given).
Result<std::string> read_requester(const QueryParams &q, const char *name) {
    auto it = q.find(name);
    if (it == q.end()) return std::string();
    const auto &v = it->second;
    if (v.empty() || v.size() > kRequesterMax ||
        std::any_of(v.begin(), v.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; }))
        return bad_query(fmt::format("{}: a token name, 1 to {} characters without spaces", name,
                                     kRequesterMax));
    return v;
}

// The filters beside cursor and limit.
Result<> read_filters(const QueryParams &q, Query &query) {
    if (auto it = q.find("cabinet"); it != q.end()) query.cabinet = it->second;
    if (auto it = q.find("door"); it != q.end()) {
        auto d = parse_decimal<unsigned>(it->second);
        if (!d || *d < 1 || *d > cabinet_host::kDoors)
            return bad_query(fmt::format("door: 1 to {} (no leading zeros)", cabinet_host::kDoors));
        query.door = *d;
    }
    auto by = read_requester(q, "requested_by");
    if (!by) return by.refusal();
    query.requested_by = *by;
    auto prefix = read_requester(q, "requested_by_prefix");
    if (!prefix) return prefix.refusal();
    query.requested_by_prefix = *prefix;
    // Held in lower case, as the journal compares it: ASCII letters fold.
    for (auto &c : query.requested_by_prefix)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (auto it = q.find("reason"); it != q.end()) {
        const auto &v = it->second;
        if (v.empty() || v.size() > kReasonFilterMax ||
            std::any_of(v.begin(), v.end(), [](unsigned char c) { return c < ' ' || c == 0x7f; }))
            return bad_query(fmt::format("reason: text to look for in reasons, 1 to {} bytes, no "
                                         "control characters",
                                         kReasonFilterMax));
        query.reason = v;
    }
    const auto since = time_param(q, "since_ms");
    if (!since) return since.refusal();
    query.since_ms = *since;
    const auto until = time_param(q, "until_ms");
    if (!until) return until.refusal();
    query.until_ms = *until;
    // Nothing is before 0: an until_ms of 0 would ask for nothing at all.
    if (query.until_ms == 0) return bad_query("until_ms: 1 or more (Unix milliseconds)");
    if (query.since_ms && query.until_ms && *query.until_ms <= *query.since_ms)
        return bad_query("until_ms: must be after since_ms");
    if (auto it = q.find("outcome"); it != q.end()) {
        if (!outcome_name(it->second))
            return bad_query(
                fmt::format("outcome: accepted, refused, or a refusal's or a failure's "
                            "code; not \"{}\"",
                            it->second.substr(0, kRequesterMax)));
        query.outcome = it->second;
    }
    return {};
}

// The kinds of a "kind" parameter; without one, every kind.
Result<> read_kinds(const QueryParams &q, Query &query) {
    auto it = q.find("kind");
    if (it == q.end()) return {};
    auto kinds = parse_kinds(it->second);
    if (!kinds) return kinds.refusal();
    query.kinds = std::move(*kinds);
    return {};
}

} // namespace

bool prefers_csv(std::string_view accept) {
    double csv = 0, json = 0;
    while (!accept.empty()) {
        const auto comma = accept.find(',');
        const auto range = accept.substr(0, comma);
        accept = comma == std::string_view::npos ? std::string_view() : accept.substr(comma + 1);
        const auto semi = range.find(';');
        const auto type = lower_trimmed(range.substr(0, semi));
        const double w = semi == std::string_view::npos ? 1.0 : weight(range.substr(semi + 1));
        if (type == "text/csv") csv = std::max(csv, w);
        if (type == "application/json") json = std::max(json, w);
    }
    return csv > 0 && csv > json;
}

Result<EventsRequest> parse_events_query(const QueryParams &q, std::string_view accept) {
    EventsRequest out;
    for (auto &[name, value] : q)
        if (std::find(kKnown.begin(), kKnown.end(), name) == kKnown.end())
            return bad_query(fmt::format("unknown parameter \"{}\"", name));
    if (auto it = q.find("after"); it != q.end()) {
        auto a = parse_decimal<std::int64_t>(it->second);
        if (!a) return bad_query("after: expected a cursor (a whole number, no leading zeros)");
        out.query.after = *a;
    }
    if (auto it = q.find("limit"); it != q.end()) {
        auto l = parse_decimal<std::size_t>(it->second);
        if (!l || *l < 1 || *l > 1000) return bad_query("limit: 1 to 1000 (no leading zeros)");
        out.query.limit = *l;
    }
    if (auto done = read_filters(q, out.query); !done) return done.refusal();
    if (auto done = read_kinds(q, out.query); !done) return done.refusal();
    out.csv = prefers_csv(accept);
    if (auto it = q.find("format"); it != q.end()) {
        if (it->second != "csv" && it->second != "json") return bad_query("format: csv or json");
        out.csv = it->second == "csv";
    }
    return out;
}

} // namespace cabinetd
