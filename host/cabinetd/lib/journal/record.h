// A record of the journal, its kinds, and the filters a reader asks for.
// Plain values, with no database behind them: what a record is, for every
// part that makes, reads or shows one.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

// Kinds of record; each has one name, in the database, the API and MQTT.
//  Event      "event": an event line (stored once per cabinet, session and
//             event_seq; the controller's uptime at it in uptime_ms)
//  Ack        "ack": an ack line
//  Command    "command": a line written to the controller
//  State      "state": the controller's state changed (not every periodic state line)
//  Link       "link": the link went up, down or silent (code: "up", "down", "silent")
//  Session    "session": a new controller session was seen (code: "first",
//             "restarted", "reused": a new run under a session id the journal
//             already holds, journalled under a key of its own)
//  Gap        "gap": events event_seq..seq_to of a session were not received
//             (seq_to empty: everything after event_seq)
//  Open       "open": an open asked for through the API (detail: who asked, pulse, ttl)
//  OpenFailed "open_failed": an open that got no ack (code: why)
//  Clear      "clear": a fault clear asked for through the API
//  Heartbeat  "heartbeat": heartbeat health changed (code: "ok", "refused" with
//             detail.ack, "missing"; detail.reason); heartbeats themselves are
//             not journalled
//  Journal    "journal": the journal itself (code: "pruned", "moved_aside",
//             "unavailable", "recovered"); its cabinet is empty
//  Alarm      "alarm": an alarm of cabinetd's (code: "forced_open", "held_open";
//             door_id; detail: state "raised", "acknowledged" (with by) or
//             "cleared" (with reason), text, alarm_id)
//  ClearFailed "clear_failed": a clear that got no ack (code: why)
//  Refused    "refused": a refusal before the line (the policy's, or a
//             reason door's), and repeated refusals of one requester's opens
//             of a door with one code, counted over a minute instead of
//             journalled one by one (code: the refusal; detail: requested_by,
//             count, first_ms, last_ms, and action "clear_fault",
//             "acknowledge" or "approve" for what was not an open); the first
//             of them is journalled in full before it
//  Approval   "approval": a step of a two-person open (code: "requested",
//             "approved", "declined", "withdrawn", "expired", "revoked";
//             door_id; detail: requested_by, approval_id, reason if any, and
//             who approved, declined or withdrew it; an approved one also the
//             open's request id and outcome; a revoked one why and code: its
//             requester may no longer open that door)
//
// Opens and clears carry their outcome: the record that settles one (the
// ack that answered it, an open_failed or a clear_failed) holds it in
// `outcome` and names the open's or clear's request id; reading an open or
// a clear fills its outcome in from there. A refused record holds its own.
enum class RecordKind : std::uint8_t {
    Event,
    Ack,
    Command,
    State,
    Link,
    Session,
    Gap,
    Open,
    OpenFailed,
    Clear,
    Heartbeat,
    Journal,
    Alarm,
    ClearFailed,
    Refused,
    Approval,
};

// Every kind, in the order above (the API document lists them so).
inline constexpr std::array kRecordKinds{
    RecordKind::Event,      RecordKind::Ack,         RecordKind::Command,   RecordKind::State,
    RecordKind::Link,       RecordKind::Session,     RecordKind::Gap,       RecordKind::Open,
    RecordKind::OpenFailed, RecordKind::Clear,       RecordKind::Heartbeat, RecordKind::Journal,
    RecordKind::Alarm,      RecordKind::ClearFailed, RecordKind::Refused,   RecordKind::Approval};

std::string_view to_string(RecordKind k);
// The kind of a name, exactly as to_string gives it; nothing for any other text.
std::optional<RecordKind> record_kind(std::string_view name);
// What an event stream carries unless told otherwise: what happened to the
// cabinets, not the line traffic (acks and commands stay in the journal).
bool streamed_by_default(RecordKind k);

struct Record {
    std::int64_t cursor = 0; // assigned when stored
    std::int64_t at_ms = 0;  // wall clock, Unix milliseconds
    std::string cabinet;
    RecordKind kind = RecordKind::Event;
    std::string session_id;
    std::optional<std::uint64_t> event_seq;
    std::optional<std::uint64_t> seq_to;
    std::string code;
    std::string request_id;
    unsigned door_id = 0;
    std::string detail; // a JSON object, or empty
    // An open's idempotency key as its client gave it, and whose it is
    // ("http:<token name>", "mqtt"): a key only ever answers its own scope.
    std::string key_scope;
    std::string client_key;
    // Events: the controller's uptime when it happened (milliseconds).
    std::optional<std::uint64_t> uptime_ms;
    // Who asked (requester() of the detail): set when the record is stored,
    // so that a search by requester is an index's, not a parse of every detail.
    std::string requested_by;
    // The record's link in the journal's hash chain (64 hex digits), set
    // when it is stored; empty for a record from before the chain began.
    std::string hash;
    // "accepted", or the refusal's or the failure's code: on a record that
    // settles an open or a clear, and on the open or clear itself as read.
    std::string outcome;
};

// Whether a filter names an outcome: "accepted", "refused" (any refusal,
// the controller's or cabinetd's own before the line: "not_permitted",
// "outside_hours", "same_person", "approval_required", "reason_required"),
// or one code an outcome can have.
bool outcome_name(std::string_view name);
// Whether an outcome is a refusal of the controller's.
bool is_refusal(std::string_view outcome);
// The outcomes that are cabinetd's: why an open or a clear got no answer or
// was never sent ("timeout", "link_down", ...), and its refusals before the
// line ("not_permitted", ...). Each has words in host/lib (meanings.h).
std::span<const std::string_view> failure_outcomes();
std::span<const std::string_view> own_refusals();

struct Query {
    std::int64_t after = 0;
    std::size_t limit = 100;
    std::string cabinet; // empty: all
    // Only these cabinets (a token's scope), when not empty; records of
    // no cabinet (the journal's own) are then left out too.
    std::vector<std::string> cabinets;
    std::vector<RecordKind> kinds; // empty: all
    unsigned door = 0;             // 0: all
    std::string requested_by;      // empty: all
    // Records whose requester starts with this, ASCII letters in either
    // case (held in lower case); empty: no filter. Unlike requested_by it
    // has no index to go through: it is looked for like a kind or a door.
    std::string requested_by_prefix;
    std::optional<std::int64_t> since_ms; // at_ms >= since_ms
    std::optional<std::int64_t> until_ms; // at_ms < until_ms
    std::string outcome;                  // empty: all (else as outcome_name takes it)
    // Opens and refused opens whose stated reason contains this text
    // (case as given); empty: no filter.
    std::string reason;
};

// The reason an open or a refused open was given, as its detail holds it;
// empty for any other record.
std::string stated_reason(const Record &r);

// Who asked for what a record is about, as its detail says: the token name
// of an open's or a clear's requester, or of whoever acknowledged an alarm;
// empty otherwise.
std::string requester(const Record &r);

// Whether a record passes a query's filters (its cursor and limit aside).
bool matches(const Query &q, const Record &r);

// Whether a requester's name starts with a prefix given in lower case,
// ASCII letters of the name in either case.
bool requester_starts(std::string_view name, std::string_view lower_prefix);

} // namespace cabinetd
