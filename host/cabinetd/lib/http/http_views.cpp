#include "http_views.h"

#include "clock.h"
#include "controller_view.h"
#include "state_json.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/meanings.h>
#include <cabinet_host/outcome.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <vector>

namespace cabinetd {

using nlohmann::json;

namespace {

// The text with the endpoint (and, for tcp:HOST:PORT, the HOST:PORT) put
// out of sight.
std::string redact(std::string text, std::string_view endpoint) {
    if (endpoint.empty() || endpoint == "sim") return text;
    std::vector<std::string_view> hide{endpoint};
    if (endpoint.substr(0, 4) == "tcp:") hide.push_back(endpoint.substr(4));
    for (auto h : hide)
        for (auto at = text.find(h); at != std::string::npos; at = text.find(h, at))
            text.replace(at, h.size(), "(endpoint)");
    return text;
}

json alarms_json(const std::vector<Alarm> &alarms) {
    json out = json::array();
    for (auto &a : alarms)
        out.push_back({{"alarm_id", a.id},
                       {"code", a.code},
                       {"door", a.door},
                       {"text", a.text},
                       {"raised_at_ms", a.raised_at_ms},
                       {"acknowledged_by", a.acknowledged_by ? json(*a.acknowledged_by) : json()}});
    return out;
}

json doors_json(const cabinet_host::StateLine &st, std::uint8_t reason_doors) {
    json doors = json::array();
    for (unsigned d = 1; d <= cabinet_host::kDoors; ++d)
        doors.push_back({{"door", d},
                         {"closed", st.door_closed(d)},
                         {"locked", st.latch_locked(d)},
                         {"needs_reason", (reason_doors & (1u << (d - 1))) != 0}});
    return doors;
}

// A fault's explanation up to what to do about it ("another door was open or
// unlocked during an operation"), which the card's fault line says in full.
std::string fault_words(const std::string &fault) {
    if (!cabinet_host::explain(fault)) return "code " + fault; // newer firmware's
    std::string text(cabinet_host::explain_text(fault));
    text = text.substr(0, text.find_first_of(":;"));
    if (text.empty()) return fault;
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// Why the controller would refuse an open now, as far as cabinetd can tell,
// or nothing: the page disables its Open buttons and says this instead.
std::optional<std::string> open_blocked(const CabinetStatus &s, bool journal_available,
                                        std::uint64_t now) {
    if (s.link != Link::Up)
        return fmt::format("the link to the controller is {}", to_string(s.link));
    if (!s.state) return "no state heard from the controller yet";
    if (!journal_available) return "the journal cannot write";
    const auto &st = *s.state;
    if (st.fault != cabinet_host::kNoFault)
        return fmt::format("a fault is latched ({})", fault_words(st.fault));
    if (!st.inputs_valid) return "the controller's inputs have not settled";
    if (!st.power_ok) return "the latch supply is out of range";
    for (unsigned d = 1; d <= cabinet_host::kDoors; ++d)
        if (!st.door_closed(d) || !st.latch_locked(d))
            return fmt::format("door {} is not closed and locked", d);
    if (cabinet_host::parse_state(st.state) != cabinet_host::ControllerState::Idle)
        return fmt::format("the controller is busy: {}", state_text(controller_view(st)));
    if (!st.heartbeat_ok) return "the controller has no fresh heartbeat";
    if (s.rearm_until_ms) {
        // Whole seconds left, never "0 s" while it lasts.
        const auto left = *s.rearm_until_ms - static_cast<std::int64_t>(now);
        return fmt::format("the latch driver is re-arming, {} s",
                           std::max<std::int64_t>(1, (left + 500) / 1000));
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string_view> record_text(const Record &r) {
    switch (r.kind) {
    case RecordKind::Event: return cabinet_host::words_for("event", r.code);
    case RecordKind::Ack: return cabinet_host::words_for("ack", r.code);
    case RecordKind::Refused: return cabinet_host::words_for("refusal", r.code);
    case RecordKind::OpenFailed:
    case RecordKind::ClearFailed: return cabinet_host::words_for("failure", r.code);
    case RecordKind::Gap:
        return "The controller numbered events that never arrived here (the link dropped or "
               "lines were damaged): what they said is lost; the state now is what the "
               "controller reports, so check the doors if it matters.";
    case RecordKind::Approval:
    case RecordKind::Alarm:
    case RecordKind::Link:
    case RecordKind::Session:
    case RecordKind::Heartbeat:
    case RecordKind::Journal:
    case RecordKind::State: return cabinet_host::words_for(to_string(r.kind), r.code);
    // What was asked or written: their outcome, not their code, says how it went.
    case RecordKind::Command:
    case RecordKind::Open:
    case RecordKind::Clear: return std::nullopt;
    }
    return std::nullopt;
}

json status_json(const CabinetStatus &s, bool for_operator, const StatusContext &context) {
    json j{{"name", s.name},
           {"link", to_string(s.link)},
           {"link_since_ms", s.link_since_ms},
           {"link_reason", for_operator ? s.link_reason : redact(s.link_reason, s.endpoint)},
           {"session_id", s.session_id.empty() ? json() : json(s.session_id)},
           {"heartbeat_age_s", json()},
           {"heartbeat", s.heartbeat_health.empty() ? json() : json(s.heartbeat_health)},
           {"controller", json()},
           {"doors", json()},
           {"alarms", alarms_json(s.alarms)}};
    if (for_operator) j["endpoint"] = s.endpoint;
    const auto now = context.now_ms.value_or(steady_ms());
    const auto heartbeat = context.live ? context.live->heartbeat_ok_ms : s.heartbeat_ok_local_ms;
    if (heartbeat) {
        const auto age = now - std::min(now, static_cast<std::uint64_t>(*heartbeat));
        j["heartbeat_age_s"] = static_cast<double>(age) / 1000.0;
    }
    // What the controller last said is shown only while it is still talking:
    // a cabinet whose link is down is not what it was when the link went.
    const auto blocked = open_blocked(s, context.journal_available, now);
    j["admits_open"] = !blocked;
    j["open_blocked_reason"] = blocked ? json(*blocked) : json();
    j["board_id"] = context.board_id.empty() ? json() : json(context.board_id);
    j["board_id_shared_with"] = context.board_shared_with;
    json unowned = json::array();
    for (unsigned d = 1; d <= 8; ++d)
        if ((context.unowned_alarms >> (d - 1)) & 1U) unowned.push_back(d);
    j["alarms_unowned_doors"] = unowned;
    if (s.link == Link::Up && s.state) {
        j["controller"] = state_json(*s.state, {.text = true, .clock = true});
        if (context.live) {
            j["controller"]["uptime_ms"] = context.live->uptime_ms;
            j["controller"]["event_seq"] = context.live->event_seq;
        }
        j["controller"]["state_text"] = state_text(controller_view(*s.state));
        // Until the controller's inputs have settled (just after a start) its
        // masks say nothing about the doors.
        if (s.state->inputs_valid) j["doors"] = doors_json(*s.state, s.reason_doors);
    }
    json two_person = json::array();
    for (unsigned d = 1; d <= 8; ++d)
        if ((s.two_person_doors >> (d - 1)) & 1U) two_person.push_back(d);
    j["two_person_doors"] = two_person;
    if (j["doors"].is_array())
        for (auto &door : j["doors"])
            door["needs_approval"] =
                ((s.two_person_doors >> (door["door"].get<unsigned>() - 1)) & 1U) != 0;
    return j;
}

json record_json(const Record &r) {
    json j{{"cursor", r.cursor},         {"at_ms", r.at_ms},    {"cabinet", r.cabinet},
           {"kind", to_string(r.kind)},  {"code", r.code},      {"session_id", r.session_id},
           {"request_id", r.request_id}, {"door_id", r.door_id}};
    j["event_seq"] = r.event_seq ? json(*r.event_seq) : json();
    if (r.kind == RecordKind::Gap) j["seq_to"] = r.seq_to ? json(*r.seq_to) : json();
    if (!r.client_key.empty()) j["idempotency_key"] = r.client_key;
    if (!r.detail.empty()) {
        auto d = json::parse(r.detail, nullptr, false);
        j["detail"] = d.is_discarded() ? json(r.detail) : d;
    }
    // An event's uptime is a column; answers show it in the detail, as always.
    if (r.uptime_ms && (!j.contains("detail") || j["detail"].is_object()))
        j["detail"]["uptime_ms"] = *r.uptime_ms;
    if (auto text = record_text(r)) j["text"] = std::string(*text);
    if (r.kind == RecordKind::Event || r.kind == RecordKind::Ack)
        j["code_kind"] = to_string(r.kind == RecordKind::Event ? cabinet_host::event_kind(r.code)
                                                               : cabinet_host::ack_kind(r.code));
    if (!r.hash.empty()) j["hash"] = r.hash;
    // Who approved a two-person open (its open record, and the approval's
    // "approved" step), beside who asked.
    if (j.contains("detail") && j["detail"].is_object() && j["detail"].contains("approved_by") &&
        j["detail"]["approved_by"].is_string())
        j["approved_by"] = j["detail"]["approved_by"];
    if (!r.outcome.empty()) j["outcome"] = r.outcome;
    // An alarm's state and who acted: the sensors (cabinetd) raise and clear
    // it, an operator acknowledges it.
    if (r.kind == RecordKind::Alarm && j.contains("detail") && j["detail"].is_object()) {
        const auto &d = j["detail"];
        if (d.contains("state") && d["state"].is_string()) j["alarm_state"] = d["state"];
        j["actor"] = d.contains("by") && d["by"].is_string() ? d["by"] : json("cabinetd");
    }
    return j;
}

json record_json(const Record &r, bool for_operator, std::string_view endpoint) {
    json j = record_json(r);
    if (!for_operator && r.kind == RecordKind::Link && j.contains("detail") &&
        j["detail"].is_object() && j["detail"].contains("reason") &&
        j["detail"]["reason"].is_string())
        j["detail"]["reason"] = redact(j["detail"]["reason"].get<std::string>(), endpoint);
    return j;
}

json result_json(const CommandResult &r) {
    json j{{"outcome", cabinet_host::to_string(r.outcome)},
           {"code", r.code},
           {"text", r.text},
           {"request_id", r.request_id},
           {"replayed", r.replayed}};
    j["session_id"] = r.session_id.empty() ? json() : json(r.session_id);
    j["idempotency_key"] = r.key.empty() ? json() : json(r.key);
    if (r.cycle_end) {
        json ev = json::array();
        for (auto &e : r.events) ev.push_back(record_json(e));
        j["cycle"] = {{"end", *r.cycle_end}, {"events", ev}};
    }
    return j;
}

} // namespace cabinetd
