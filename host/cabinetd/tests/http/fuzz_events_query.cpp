// libFuzzer target for what GET /api/events reads from its request: the
// query string (parse_query) and the parameters and Accept header
// (parse_events_query). The input is the query string, a line feed, and the
// Accept header. Nothing is thrown whatever they are. The query string is
// taken exactly when it is well formed (every '%' two hex digits, no
// parameter twice), and the parameters exactly when docs/openapi.yaml's
// rules for /api/events take them: each value in its documented range and
// canonical form, and the query holds what they say. An accepted query
// written back as a request target parses as itself.
#include "events_query.h"
#include "fuzz_check.h"
#include "fuzz_form.h"
#include "http_query.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cabinetd {
namespace {

using fuzz_form::encoded;
using fuzz_form::form;

std::string target_of(const QueryParams &p) {
    std::string t = "/api/events";
    char sep = '?';
    for (auto &[k, v] : p) {
        t += sep + encoded(k) + "=" + encoded(v);
        sep = '&';
    }
    return t;
}

// A whole number in its one form: digits, no leading zero, at most max.
std::optional<std::uint64_t> whole(const QueryParams &p, const char *name, std::uint64_t max,
                                   bool &bad) {
    const auto it = p.find(name);
    if (it == p.end()) return std::nullopt;
    const auto &s = it->second;
    bool ok = !s.empty() && s.size() <= 20 && (s.size() == 1 || s[0] != '0');
    unsigned __int128 v = 0;
    for (const char c : s) {
        ok = ok && c >= '0' && c <= '9';
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (!ok || v > max) {
        bad = true;
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(v);
}

// 1 to max bytes, none of them what `refused` says.
bool text(const std::string &s, std::size_t max, bool (*refused)(unsigned char)) {
    return !s.empty() && s.size() <= max && std::none_of(s.begin(), s.end(), [&](char c) {
        return refused(static_cast<unsigned char>(c));
    });
}

constexpr std::uint64_t kInt64Max = 9223372036854775807ULL;
constexpr std::string_view kParameters[] = {
    "cabinet", "door",     "requested_by", "requested_by_prefix",
    "kind",    "since_ms", "until_ms",     "after",
    "limit",   "format",   "outcome",      "reason"};

// The query the documented rules make of the parameters, or nothing where
// they refuse them. `csv` is what the Accept header asked for.
std::optional<EventsRequest> documented(const QueryParams &p, bool csv) {
    for (auto &[k, v] : p)
        if (std::find(std::begin(kParameters), std::end(kParameters), k) == std::end(kParameters))
            return std::nullopt;
    EventsRequest out;
    auto &q = out.query;
    bool bad = false;
    q.after = static_cast<std::int64_t>(whole(p, "after", kInt64Max, bad).value_or(0));
    q.limit = whole(p, "limit", 1000, bad).value_or(100);
    q.door = static_cast<unsigned>(whole(p, "door", 8, bad).value_or(0));
    const auto since = whole(p, "since_ms", kInt64Max, bad);
    const auto until = whole(p, "until_ms", kInt64Max, bad);
    if (bad || q.limit == 0 || (p.count("door") && q.door == 0)) return std::nullopt;
    if (until && (*until < 1 || (since && *until <= *since))) return std::nullopt;
    if (since) q.since_ms = static_cast<std::int64_t>(*since);
    if (until) q.until_ms = static_cast<std::int64_t>(*until);
    if (auto it = p.find("cabinet"); it != p.end()) q.cabinet = it->second;
    const auto name_refused = [](unsigned char c) { return c <= ' ' || c == 0x7f; };
    for (auto [name, field] : {std::pair{"requested_by", &Query::requested_by},
                               std::pair{"requested_by_prefix", &Query::requested_by_prefix}}) {
        const auto it = p.find(name);
        if (it == p.end()) continue;
        if (!text(it->second, 128, name_refused)) return std::nullopt;
        q.*field = it->second;
    }
    for (auto &c : q.requested_by_prefix)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    if (auto it = p.find("reason"); it != p.end()) {
        if (!text(it->second, 200, [](unsigned char c) { return c < ' ' || c == 0x7f; }))
            return std::nullopt;
        q.reason = it->second;
    }
    if (auto it = p.find("outcome"); it != p.end()) {
        if (!outcome_name(it->second)) return std::nullopt;
        q.outcome = it->second;
    }
    if (auto it = p.find("kind"); it != p.end()) {
        std::string_view rest = it->second;
        for (bool more = true; more;) {
            const auto comma = rest.find(',');
            more = comma != std::string_view::npos;
            const auto name = rest.substr(0, comma);
            rest = more ? rest.substr(comma + 1) : std::string_view();
            const auto kind = std::find_if(kRecordKinds.begin(), kRecordKinds.end(),
                                           [&](RecordKind k) { return to_string(k) == name; });
            if (kind == kRecordKinds.end()) return std::nullopt;
            if (std::find(q.kinds.begin(), q.kinds.end(), *kind) == q.kinds.end())
                q.kinds.push_back(*kind);
        }
    }
    out.csv = csv;
    if (auto it = p.find("format"); it != p.end()) {
        if (it->second != "csv" && it->second != "json") return std::nullopt;
        out.csv = it->second == "csv";
    }
    return out;
}

bool same(const EventsRequest &a, const EventsRequest &b) {
    const auto &x = a.query, &y = b.query;
    return a.csv == b.csv && x.after == y.after && x.limit == y.limit && x.cabinet == y.cabinet &&
        x.cabinets == y.cabinets && x.kinds == y.kinds && x.door == y.door &&
        x.requested_by == y.requested_by && x.requested_by_prefix == y.requested_by_prefix &&
        x.since_ms == y.since_ms && x.until_ms == y.until_ms && x.outcome == y.outcome &&
        x.reason == y.reason;
}

// The parameters that ask for this query, every one written out.
QueryParams written(const EventsRequest &r) {
    const auto &q = r.query;
    QueryParams p{{"after", std::to_string(q.after)},
                  {"limit", std::to_string(q.limit)},
                  {"format", r.csv ? "csv" : "json"}};
    if (!q.cabinet.empty()) p["cabinet"] = q.cabinet;
    if (q.door) p["door"] = std::to_string(q.door);
    if (!q.requested_by.empty()) p["requested_by"] = q.requested_by;
    if (!q.requested_by_prefix.empty()) p["requested_by_prefix"] = q.requested_by_prefix;
    if (!q.reason.empty()) p["reason"] = q.reason;
    if (!q.outcome.empty()) p["outcome"] = q.outcome;
    if (q.since_ms) p["since_ms"] = std::to_string(*q.since_ms);
    if (q.until_ms) p["until_ms"] = std::to_string(*q.until_ms);
    std::string kinds;
    for (auto k : q.kinds) kinds += (kinds.empty() ? "" : ",") + std::string(to_string(k));
    if (!kinds.empty()) p["kind"] = kinds;
    return p;
}

} // namespace
} // namespace cabinetd

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace cabinetd;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const auto newline = input.find('\n');
    const auto query = input.substr(0, newline);
    const auto accept =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    const bool csv = prefers_csv(accept);
    // A weight is at most 1, so JSON named without one is never passed over.
    FUZZ_CHECK(!prefers_csv(std::string(accept) + ",application/json"));

    const auto target = "/api/events?" + std::string(query);
    const auto params = parse_query(target);
    const auto want_params = form(query);
    FUZZ_CHECK(params.has_value() == want_params.has_value());
    if (!params) return 0;
    FUZZ_CHECK(*params == *want_params);
    const auto again = parse_query(target_of(*params));
    FUZZ_CHECK(again && *again == *params);

    const auto parsed = parse_events_query(*params, accept);
    const auto want = documented(*params, csv);
    FUZZ_CHECK(static_cast<bool>(parsed) == want.has_value());
    if (!want) {
        FUZZ_CHECK(!parsed.refusal().text.empty());
        return 0;
    }
    const auto &request = *parsed;
    FUZZ_CHECK(same(request, *want));

    const auto canonical = parse_query(target_of(written(request)));
    FUZZ_CHECK(canonical.has_value());
    const auto reparsed = parse_events_query(*canonical, "");
    FUZZ_CHECK(reparsed && same(*reparsed, request));
    return 0;
}
