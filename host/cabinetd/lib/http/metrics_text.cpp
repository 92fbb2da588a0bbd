#include "metrics_text.h"

#include <cabinet_host/words.h>

#include <fmt/format.h>

#include <algorithm>
#include <iterator>

namespace cabinetd {
namespace {

std::string label(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') out.push_back('\\');
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out.push_back(c);
    }
    return out;
}

void family(std::string &out, const char *name, const char *type, const char *help) {
    out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

template <class Get>
void per_cabinet(std::string &out, const std::vector<CabinetStatus> &all, const char *name,
                 const char *help, Get get) {
    family(out, name, "counter", help);
    for (auto &s : all)
        out += fmt::format("{}{{cabinet=\"{}\"}} {}\n", name, label(s.name), get(s));
}

void by_code(std::string &out, const std::vector<CabinetStatus> &all, const char *name,
             const char *help, std::map<std::string, std::uint64_t> CabinetStatus::*counts) {
    family(out, name, "counter", help);
    for (auto &s : all)
        for (auto &[code, n] : s.*counts)
            out += fmt::format("{}{{cabinet=\"{}\",code=\"{}\"}} {}\n", name, label(s.name),
                               label(code), n);
}

void cabinet_counters(std::string &out, const std::vector<CabinetStatus> &all) {
    per_cabinet(out, all, "cabinetd_lines_received_total", "Lines received from the controller.",
                [](auto &s) { return s.lines_in; });
    per_cabinet(out, all, "cabinetd_lines_sent_total", "Lines written to the controller.",
                [](auto &s) { return s.lines_out; });
    per_cabinet(out, all, "cabinetd_malformed_lines_total",
                "Received lines that were not a well-formed state, event or ack.",
                [](auto &s) { return s.malformed; });
    per_cabinet(out, all, "cabinetd_connections_total",
                "Connections made to the controller's line.", [](auto &s) { return s.reconnects; });
    per_cabinet(out, all, "cabinetd_sessions_total",
                "Controller sessions seen (first one and every restart).",
                [](auto &s) { return s.sessions; });
    per_cabinet(out, all, "cabinetd_view_reconciled_total",
                "State lines that disagreed with the view followed from events (the line wins).",
                [](auto &s) { return s.view_reconciled; });
    by_code(out, all, "cabinetd_acks_total", "Acks received, by code.", &CabinetStatus::acks);
    by_code(out, all, "cabinetd_faults_total", "Fault events received, by code.",
            &CabinetStatus::faults);
    family(out, "cabinetd_heartbeats_total", "counter",
           "Heartbeats by outcome: ok (acknowledged), refused, missing (no answer).");
    for (auto &s : all)
        for (const char *outcome : {"ok", "refused", "missing"}) {
            const auto it = s.heartbeats.find(outcome);
            out += fmt::format("cabinetd_heartbeats_total{{cabinet=\"{}\",outcome=\"{}\"}} {}\n",
                               label(s.name), outcome, it == s.heartbeats.end() ? 0 : it->second);
        }
}

// clocks: each cabinet's steady clock now, which its stamps are on.
void cabinet_gauges(std::string &out, const std::vector<CabinetStatus> &all,
                    const std::vector<std::uint64_t> &clocks) {
    // A series only while a fault is latched, so an alert on it ends when
    // the fault is cleared (or can no longer be known: the link is not up).
    family(out, "cabinetd_controller_fault", "gauge",
           "1 while the controller reports this latched fault.");
    for (auto &s : all)
        if (s.link == Link::Up && s.state && s.state->fault != cabinet_host::kNoFault)
            out += fmt::format("cabinetd_controller_fault{{cabinet=\"{}\",code=\"{}\"}} 1\n",
                               label(s.name), label(s.state->fault));
    family(out, "cabinetd_heartbeat_age_seconds", "gauge",
           "Time since the controller last acknowledged a heartbeat.");
    for (std::size_t i = 0; i < all.size(); ++i)
        if (const auto &s = all[i]; s.heartbeat_ok_local_ms) {
            const auto at = static_cast<std::uint64_t>(*s.heartbeat_ok_local_ms);
            out += fmt::format("cabinetd_heartbeat_age_seconds{{cabinet=\"{}\"}} {:.3f}\n",
                               label(s.name),
                               static_cast<double>(clocks[i] - std::min(clocks[i], at)) / 1000.0);
        }
}

void alarm_metrics(std::string &out, const std::vector<CabinetStatus> &all) {
    family(out, "cabinetd_alarms_total", "counter",
           "Alarms raised: a door opened without an open, or held open too long.");
    for (auto &s : all)
        for (auto code : {kForcedOpen, kHeldOpen}) {
            const auto it = s.alarms_raised.find(std::string(code));
            out += fmt::format("cabinetd_alarms_total{{cabinet=\"{}\",code=\"{}\"}} {}\n",
                               label(s.name), code, it == s.alarms_raised.end() ? 0 : it->second);
        }
    family(out, "cabinetd_alarms_active", "gauge",
           "Alarms raised and not yet cleared (acknowledged, and the door closed and locked).");
    for (auto &s : all)
        out += fmt::format("cabinetd_alarms_active{{cabinet=\"{}\"}} {}\n", label(s.name),
                           s.alarms.size());
}

void journal_metrics(std::string &out, const Journal &journal) {
    const auto js = journal.stats();
    const auto one = [&](const char *name, const char *type, const char *help, auto value) {
        family(out, name, type, help);
        out += fmt::format("{} {}\n", name, value);
    };
    one("cabinetd_journal_records_total", "counter", "Records committed to the journal.",
        js.records);
    one("cabinetd_journal_duplicates_total", "counter",
        "Events received again and not stored twice.", js.duplicates);
    one("cabinetd_journal_available", "gauge",
        "1 while the journal can write, 0 while opens and clears are refused.",
        journal.available() ? 1 : 0);
    one("cabinetd_journal_unavailable_total", "counter",
        "Times the journal became unable to write (disk full, I/O error, ...).", js.unavailable);
    one("cabinetd_journal_held_records", "gauge",
        "Records kept in memory while the journal cannot write.", js.held);
    one("cabinetd_journal_dropped_records_total", "counter",
        "Records dropped past the memory bound while the journal could not write.", js.dropped);
    one("cabinetd_journal_pruned_records_total", "counter",
        "Records pruned for age or for the size cap.", js.pruned);
    one("cabinetd_journal_audit_pruned_records_total", "counter",
        "Audit records (anything but line traffic: opens, their outcomes, refusals, events, "
        "alarms, ...) younger than the retention pruned for the size cap.",
        js.audit_pruned);
    const auto check = journal.chain_check();
    const bool broken = check.state == ChainCheck::State::Broken;
    one("cabinetd_journal_chain_broken", "gauge",
        "1 when the journal's last check of its own hash chain found it broken: records were "
        "changed behind cabinetd's back.",
        broken ? 1 : 0);
    one("cabinetd_journal_chain_broken_at", "gauge",
        "The cursor of the first record that breaks the journal's hash chain (0: none).",
        broken ? check.broken_at : 0);
    one("cabinetd_journal_chain_checks_total", "counter",
        "Checks of the journal's own hash chain that came to an answer (at start-up and after "
        "each prune).",
        check.checks);
    family(out, "cabinetd_journal_write_seconds", "histogram",
           "Time to commit one batch to the journal.");
    for (std::size_t i = 0; i < std::size(JournalStats::kBuckets); ++i)
        out += fmt::format("cabinetd_journal_write_seconds_bucket{{le=\"{}\"}} {}\n",
                           JournalStats::kBuckets[i], js.write_buckets[i]);
    out += fmt::format("cabinetd_journal_write_seconds_bucket{{le=\"+Inf\"}} {}\n", js.batches);
    out += fmt::format("cabinetd_journal_write_seconds_sum {:.6f}\n", js.write_seconds_sum);
    out += fmt::format("cabinetd_journal_write_seconds_count {}\n", js.batches);
}

void http_metrics(std::string &out, const HttpCounters &c, const TokenPlaces &places) {
    family(out, "cabinetd_http_connections", "gauge",
           "Open HTTP connections, event streams included.");
    out += fmt::format("cabinetd_http_connections {}\n", c.connections.load());
    family(out, "cabinetd_http_streams", "gauge", "Open event streams.");
    out += fmt::format("cabinetd_http_streams {}\n", c.streams.load());
    family(out, "cabinetd_http_unauthenticated_connections", "gauge",
           "Open HTTP connections that have not yet shown a valid token.");
    out += fmt::format("cabinetd_http_unauthenticated_connections {}\n", c.unauthenticated.load());
    family(out, "cabinetd_http_evicted_total", "counter",
           "Connections without a valid token closed to make room for a new one (many: someone "
           "holds idle sockets).");
    out += fmt::format("cabinetd_http_evicted_total {}\n", c.evicted.load());
    const auto held = places.counts();
    family(out, "cabinetd_http_token_connections", "gauge",
           "Open HTTP connections that have shown a valid token, event streams included.");
    out += fmt::format("cabinetd_http_token_connections{{role=\"viewer\"}} {}\n", held.viewers);
    out += fmt::format("cabinetd_http_token_connections{{role=\"operator\"}} {}\n",
                       held.held - held.viewers);
    family(out, "cabinetd_http_refused_total", "counter",
           "Requests with a valid token refused (429) because the token, or the viewers together, "
           "held every connection or stream they may.");
    for (std::size_t i = 0; i < kPlaceRefusals; ++i)
        out += fmt::format("cabinetd_http_refused_total{{reason=\"{}\"}} {}\n",
                           to_string(static_cast<PlaceRefusal>(i)), held.refused[i]);
}

void approval_metrics(std::string &out, const Approvals::Counts &c) {
    family(out, "cabinetd_approvals_total", "counter",
           "Opens of two-person doors by step: requested, then approved by a second operator, "
           "declined, withdrawn by the requester, expired, or revoked with the requester's right.");
    for (const auto &[step, n] : {std::pair{"requested", c.requested},
                                  {"approved", c.approved},
                                  {"declined", c.declined},
                                  {"withdrawn", c.withdrawn},
                                  {"expired", c.expired},
                                  {"revoked", c.revoked}})
        out += fmt::format("cabinetd_approvals_total{{step=\"{}\"}} {}\n", step, n);
    family(out, "cabinetd_approvals_pending", "gauge", "Opens awaiting a second operator.");
    out += fmt::format("cabinetd_approvals_pending {}\n", c.pending);
}

// A series for each pair while two cabinets report one board id, so that an
// alert on it names both and ends with the collision.
void board_metrics(std::string &out, const ApiContext &ctx) {
    family(out, "cabinetd_board_id_shared", "gauge",
           "1 while the cabinet's controller reports the board id of the cabinet `with`.");
    if (!ctx.boards) return;
    for (auto &[c, ep] : ctx.cabinets)
        for (auto &other : ctx.boards->shared_with(c->name()))
            out += fmt::format("cabinetd_board_id_shared{{cabinet=\"{}\",with=\"{}\"}} 1\n",
                               label(c->name()), label(other));
}

} // namespace

std::string metrics_text(ApiContext &ctx) {
    std::string out;
    const auto all = ctx.statuses();
    family(out, "cabinetd_cabinet_up", "gauge",
           "1 while the cabinet's link is up and its controller talking, else 0.");
    for (auto &s : all)
        out += fmt::format("cabinetd_cabinet_up{{cabinet=\"{}\"}} {}\n", label(s.name),
                           s.link == Link::Up ? 1 : 0);
    cabinet_counters(out, all);
    std::vector<std::uint64_t> clocks;
    for (auto &[c, ep] : ctx.cabinets) clocks.push_back(c->clock_ms());
    cabinet_gauges(out, all, clocks);
    board_metrics(out, ctx);
    alarm_metrics(out, all);
    journal_metrics(out, ctx.journal);
    http_metrics(out, ctx.counters, ctx.places);
    approval_metrics(out, ctx.approvals.counts());
    return out;
}

} // namespace cabinetd
