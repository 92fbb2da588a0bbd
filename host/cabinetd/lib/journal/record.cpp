// The kinds' names, and the journal's filters on a record in memory
// (page_sql in journal_read.cpp asks the same of the database).
#include "record.h"

#include <cabinet_host/explain.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>

namespace cabinetd {
namespace {

struct KindName {
    RecordKind kind;
    std::string_view name;
    bool streamed; // by default
};

constexpr KindName kNames[] = {{RecordKind::Event, "event", true},
                               {RecordKind::Ack, "ack", false},
                               {RecordKind::Command, "command", false},
                               {RecordKind::State, "state", true},
                               {RecordKind::Link, "link", true},
                               {RecordKind::Session, "session", true},
                               {RecordKind::Gap, "gap", true},
                               {RecordKind::Open, "open", true},
                               {RecordKind::OpenFailed, "open_failed", true},
                               {RecordKind::Clear, "clear", true},
                               {RecordKind::Heartbeat, "heartbeat", true},
                               {RecordKind::Journal, "journal", true},
                               {RecordKind::Alarm, "alarm", true},
                               {RecordKind::ClearFailed, "clear_failed", true},
                               {RecordKind::Refused, "refused", true},
                               {RecordKind::Approval, "approval", true}};
static_assert(std::size(kNames) == kRecordKinds.size());

constexpr bool in_order() {
    for (std::size_t i = 0; i < kRecordKinds.size(); ++i)
        if (kNames[i].kind != kRecordKinds[i] || static_cast<std::size_t>(kRecordKinds[i]) != i)
            return false;
    return true;
}
static_assert(in_order(), "kNames and kRecordKinds list the kinds in the enum's order");

// The outcomes that are cabinetd's, not the controller's: why an open or a
// clear got no answer, or was never sent.
constexpr std::array<std::string_view, 12> kFailures{
    "timeout",   "session_changed", "connection_lost", "no_session",          "identity_invalid",
    "line_lost", "bad_argument",    "link_down",       "journal_unavailable", "no_random_source",
    "stopping",  "unknown"};

// cabinetd's own refusals before the line: the access policy's, and a
// reason door's without a reason.
constexpr std::array<std::string_view, 5> kOwnRefusals{
    "not_permitted", "outside_hours", "same_person", "approval_required", "reason_required"};

} // namespace

std::span<const std::string_view> failure_outcomes() { return kFailures; }
std::span<const std::string_view> own_refusals() { return kOwnRefusals; }

bool is_refusal(std::string_view outcome) {
    return !outcome.empty() && outcome != "accepted" &&
        std::find(kFailures.begin(), kFailures.end(), outcome) == kFailures.end();
}

bool outcome_name(std::string_view name) {
    if (name == "accepted" || name == "refused") return true;
    if (std::find(kOwnRefusals.begin(), kOwnRefusals.end(), name) != kOwnRefusals.end())
        return true;
    if (std::find(kFailures.begin(), kFailures.end(), name) != kFailures.end()) return true;
    const auto *e = cabinet_host::explain(name);
    return e && e->kind == cabinet_host::CodeKind::AckRefusal;
}

std::string_view to_string(RecordKind k) { return kNames[static_cast<std::size_t>(k)].name; }

std::optional<RecordKind> record_kind(std::string_view name) {
    for (const auto &n : kNames)
        if (n.name == name) return n.kind;
    return std::nullopt;
}

bool streamed_by_default(RecordKind k) { return kNames[static_cast<std::size_t>(k)].streamed; }

std::string requester(const Record &r) {
    // Most records name nobody: their detail is not parsed at all.
    if (r.detail.find("\"requested_by\"") == std::string::npos &&
        r.detail.find("\"by\"") == std::string::npos)
        return {};
    const auto d = nlohmann::json::parse(r.detail, nullptr, false);
    if (!d.is_object()) return {};
    for (const char *field : {"requested_by", "by"}) {
        auto it = d.find(field);
        if (it != d.end() && it->is_string()) return it->get<std::string>();
    }
    return {};
}

std::string stated_reason(const Record &r) {
    if ((r.kind != RecordKind::Open && r.kind != RecordKind::Refused) ||
        r.detail.find("\"reason\"") == std::string::npos)
        return {};
    const auto d = nlohmann::json::parse(r.detail, nullptr, false);
    auto it = d.is_object() ? d.find("reason") : d.end();
    return d.is_object() && it != d.end() && it->is_string() ? it->get<std::string>()
                                                             : std::string();
}

bool matches(const Query &q, const Record &r) {
    if (!q.cabinet.empty() && r.cabinet != q.cabinet) return false;
    if (!q.cabinets.empty() &&
        std::find(q.cabinets.begin(), q.cabinets.end(), r.cabinet) == q.cabinets.end())
        return false;
    if (!q.reason.empty() && stated_reason(r).find(q.reason) == std::string::npos) return false;
    if (!q.kinds.empty() && std::find(q.kinds.begin(), q.kinds.end(), r.kind) == q.kinds.end())
        return false;
    if (q.door && r.door_id != q.door) return false;
    if (q.since_ms && r.at_ms < *q.since_ms) return false;
    if (q.until_ms && r.at_ms >= *q.until_ms) return false;
    if (!q.outcome.empty() &&
        !(q.outcome == "refused" ? is_refusal(r.outcome) : r.outcome == q.outcome))
        return false;
    if (!q.requested_by_prefix.empty() && !requester_starts(r.requested_by, q.requested_by_prefix))
        return false;
    return q.requested_by.empty() || r.requested_by == q.requested_by;
}

// As SQLite's lower() compares: ASCII letters alone fold, so the journal's
// recent records and its file answer a search alike.
bool requester_starts(std::string_view name, std::string_view lower_prefix) {
    if (name.size() < lower_prefix.size()) return false;
    for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
        const char c = name[i];
        if ((c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c) != lower_prefix[i])
            return false;
    }
    return true;
}

} // namespace cabinetd
