// What the controller says and what is written to it, into the journal:
// events and acks as they come, the state when it changes, heartbeats as
// changes of their health, each run of the controller under a key of its own.
#include "cabinet.h"

#include "controller_view.h"
#include "log.h"
#include "state_json.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace cabinetd {

using namespace cabinet_host;
using nlohmann::json;

std::uint64_t &SeqTracker::slot(const std::string &session) {
    auto it = last_.find(session);
    if (it == last_.end()) {
        std::optional<std::uint64_t> known;
        if (load_) known = load_(session);
        it = last_.emplace(session, known.value_or(0)).first;
    }
    return it->second;
}

std::optional<SeqTracker::Gap> SeqTracker::event(const std::string &session, std::uint64_t seq) {
    auto &last = slot(session);
    std::optional<Gap> gap;
    if (seq > last + 1) gap = Gap{last + 1, seq - 1};
    if (seq > last) last = seq;
    return gap;
}

std::optional<SeqTracker::Gap> SeqTracker::latest(const std::string &session, std::uint64_t seq) {
    auto &last = slot(session);
    if (seq <= last) return std::nullopt;
    const Gap gap{last + 1, seq};
    last = seq;
    return gap;
}

std::uint64_t SeqTracker::last(const std::string &session) { return slot(session); }

namespace {

// The controller's session id of a run's key in the journal.
std::string session_of_key(const std::string &key) { return key.substr(0, key.find('~')); }

// The controller refuses every open for 1300 ms after it accepts one
// (driver_rearming). Counted here from when the acceptance is heard, which is
// after the controller's own start, plus a margin for the controller's clock,
// which moves in ticks of a few milliseconds: an open that the status admits
// again reaches a driver that has re-armed.
constexpr std::uint64_t kRearmHoldMs = 1300 + 50;

} // namespace

void Cabinet::start_rearm() {
    std::lock_guard lk(mu_);
    status_.rearm_until_ms = static_cast<std::int64_t>(steady_now() + kRearmHoldMs);
}

template <class Line> Record Cabinet::line_record(RecordKind kind, const Line &l) const {
    Record r = record(kind);
    r.session_id = journal_session_; // the line's own, unless it has none
    r.event_seq = l.event_seq;
    r.code = l.code;
    r.request_id = l.request_id;
    r.door_id = l.door_id;
    return r;
}

void Cabinet::gap_record(const std::string &sid, const SeqTracker::Gap &g) {
    Record r = record(RecordKind::Gap);
    r.session_id = sid;
    r.event_seq = g.from;
    r.seq_to = g.to;
    const auto why = fmt::format("events {}-{} of session {} were not received", g.from, g.to, sid);
    r.detail = json{{"reason", why}}.dump();
    batch_.push_back(std::move(r));
}

void Cabinet::on_line(const Inbound &in) {
    if (run_change_) {
        const auto c = std::move(*run_change_);
        run_change_.reset();
        begin_run(c, in);
    }
    run_uptime_ = {journal_session_, uptime_of(in)};
    last_line_ms_ = steady_now();
    {
        std::lock_guard lk(mu_);
        ++status_.lines_in;
    }
    if (const auto *s = std::get_if<StateLine>(&in)) on_state(*s);
    else if (const auto *e = std::get_if<EventLine>(&in)) on_event(*e);
    else if (const auto *a = std::get_if<AckLine>(&in)) on_ack(*a);
    if (status().link == Link::Silent) set_link(Link::Up, "the controller is talking again");
}

void Cabinet::on_state(const StateLine &s) {
    if (auto g = seq_.latest(journal_session_, s.event_seq)) gap_record(journal_session_, *g);
    bool reconciled = false;
    {
        std::lock_guard lk(mu_);
        const auto &was = status_.state;
        reconciled = was && disagrees(controller_view(*was), was->inputs_valid, s);
        if (reconciled) ++status_.view_reconciled;
        status_.state = s;
        // A re-arm not heard to begin (an open accepted before cabinetd
        // started): the controller says so, and it is over within the hold.
        if (!s.driver_ready && !status_.rearm_until_ms)
            status_.rearm_until_ms = static_cast<std::int64_t>(steady_now() + kRearmHoldMs);
    }
    // What of a state line is worth a journal record when it changes: not
    // the clock, the event counter or the rail reading, which move all the time.
    // One that corrects what the events made of the state is recorded too, so
    // that whoever follows the records is corrected as well.
    auto fields = state_json(s, {.masks = true});
    if (reconciled || !last_logged_state_ ||
        state_json(*last_logged_state_, {.masks = true}) != fields) {
        Record r = record(RecordKind::State);
        r.session_id = journal_session_;
        r.event_seq = s.event_seq;
        r.code = s.state;
        r.detail = fields.dump();
        batch_.push_back(std::move(r));
    }
    last_logged_state_ = s;
    alarm_changes(alarms_.on_state(s, alarm_now()));
}

void Cabinet::on_event(const EventLine &e) {
    if (auto g = seq_.event(journal_session_, e.event_seq)) gap_record(journal_session_, *g);
    {
        std::lock_guard lk(mu_);
        if (is_fault_code(e.code)) ++status_.faults[e.code];
        // Every view follows the event at once, not only the next state line.
        if (status_.state) {
            auto v = controller_view(*status_.state);
            if (apply_event(v, e.code, e.door_id)) put_view(*status_.state, v);
        }
    }
    if (e.code == codes::kOpenAccepted) start_rearm();
    // An open sent quietly that the controller acted on is journalled
    // before what came of it.
    if (!e.request_id.empty()) write_quiet(e.request_id);
    Record r = line_record(RecordKind::Event, e);
    r.uptime_ms = e.uptime_ms;
    batch_.push_back(std::move(r));
    alarm_changes(alarms_.on_event(e.code, e.door_id, alarm_now()));
    auto c = cycles_.find(e.request_id);
    if (c == cycles_.end() || !ends_cycle(e.code)) return;
    if (c->second.reply) {
        finish_cycle(c->first, c->second, e.code);
        cycles_.erase(c);
    } else {
        c->second.result.cycle_end = e.code; // ended before its ack arrived
    }
}

void Cabinet::on_ack(const AckLine &a) {
    if (auto g = seq_.latest(journal_session_, a.event_seq)) gap_record(journal_session_, *g);
    {
        std::lock_guard lk(mu_);
        ++status_.acks[a.code];
        if (a.code == codes::kHeartbeatOk)
            status_.heartbeat_ok_local_ms = static_cast<std::int64_t>(steady_now());
    }
    // An accepted open's ack, should its event have been lost on the way.
    if (a.code == codes::kAccepted && a.door_id != 0) start_rearm();
    // An ack that answered a heartbeat is periodic traffic: counted
    // above, and journalled only as a change of heartbeat health.
    if (std::exchange(ack_answered_heartbeat_, false)) return;
    // One that settles an open or a clear carries its outcome, and names a
    // clear by the request id it was journalled under (a clear's line has none).
    auto r = line_record(RecordKind::Ack, a);
    if (auto settles = std::exchange(ack_settles_, std::nullopt)) {
        if (settles->counted) return;
        r.request_id = settles->request_id;
        r.outcome = settles->outcome;
    }
    batch_.push_back(std::move(r));
}

void Cabinet::on_sent(const std::string &line, const Request *req) {
    {
        std::lock_guard lk(mu_);
        ++status_.lines_out;
    }
    // Heartbeats and state requests are periodic: counted, not journalled.
    if (!req || req->kind == RequestKind::Heartbeat) return;
    Record r = record(RecordKind::Command);
    r.detail = line;
    r.code = to_string(req->kind);
    r.session_id = req->session_id;
    r.request_id = req->request_id;
    r.door_id = req->door_id;
    auto quiet = req->kind == RequestKind::Open ? quiet_.find(req->request_id) : quiet_.end();
    if (quiet != quiet_.end()) quiet->second.lines.push_back(std::move(r));
    else batch_.push_back(std::move(r));
}

// Heartbeats go out every second and are not journalled one by one: what a
// person auditing the cabinet needs is each change of their health, and the
// counts (in the metrics).
void Cabinet::heartbeat_done(const Request &req) {
    std::string outcome, refusal;
    if (req.status == RequestStatus::Answered && req.ack) {
        ack_answered_heartbeat_ = true;
        if (req.ack->code == codes::kHeartbeatOk) outcome = "ok";
        else {
            outcome = "refused";
            refusal = req.ack->code;
        }
    } else if (req.failure == Failure::Timeout || req.failure == Failure::LineLost) {
        outcome = "missing";
    } else {
        // The link went or the controller restarted: their own records say
        // so, and the health of the next session starts afresh.
        heartbeat_health_.clear();
        return;
    }
    {
        std::lock_guard lk(mu_);
        ++status_.heartbeats[outcome];
    }
    // A new session's first is journalled.
    if (req.session_id != heartbeat_session_) heartbeat_health_.clear();
    heartbeat_session_ = req.session_id;
    if (outcome == heartbeat_health_ && refusal == heartbeat_refusal_) return;
    json detail;
    if (outcome == "ok") {
        if (heartbeat_health_.empty()) detail["reason"] = "first heartbeat acknowledged";
        else if (heartbeat_health_ == "refused")
            detail["reason"] =
                fmt::format("acknowledged again after being refused ({})", heartbeat_refusal_);
        else detail["reason"] = "answered again after heartbeats went unanswered";
    } else if (outcome == "refused") {
        detail["ack"] = refusal;
        detail["reason"] = std::string(explain_text(refusal));
    } else {
        detail["reason"] =
            req.failure_text.empty() ? std::string("a heartbeat got no answer") : req.failure_text;
    }
    if (outcome != "ok" || !heartbeat_health_.empty())
        log(outcome == "ok" ? 5 : 4,
            fmt::format("{}: heartbeat {}: {}", name_, outcome,
                        detail["reason"].get<std::string>()));
    Record r = record(RecordKind::Heartbeat);
    r.session_id = req.session_id;
    r.code = outcome;
    r.detail = detail.dump();
    batch_.push_back(std::move(r));
    heartbeat_health_ = outcome;
    heartbeat_refusal_ = refusal;
}

void Cabinet::on_session(const SessionChange &c) {
    {
        std::lock_guard lk(mu_);
        status_.session_id = c.new_id;
        ++status_.sessions;
        status_.state.reset();
        status_.rearm_until_ms.reset(); // a controller that restarted has no re-arm to wait for
    }
    last_logged_state_.reset();
    alarms_.forget();
    if (!c.first) end_cycles("session_changed");
    // Which run of the controller this is takes the line that showed the
    // change, which on_line() is given next.
    run_change_ = c;
}

// Whether the first line heard after (re)connecting shows a new run of the
// controller under the session id of the run last heard. A controller that
// kept running (cabinetd restarted, or the link came back) continues both its
// uptime and its event numbers; one whose boot store was erased starts again
// at boot 1, with the same session id.
std::optional<std::string> Cabinet::new_run_reason(const std::string &key, const Inbound &line) {
    const auto uptime = uptime_of(line);
    std::optional<std::uint64_t> known_uptime;
    if (run_uptime_.first == key) known_uptime = run_uptime_.second;
    else if (auto e = journal_.last_event(name_, key)) known_uptime = e->uptime_ms;
    if (known_uptime && uptime < *known_uptime)
        return fmt::format("uptime went backwards: {} ms after {} ms", uptime, *known_uptime);
    const auto last = seq_.last(key);
    if (const auto *e = std::get_if<EventLine>(&line)) {
        if (e->code == codes::kBoot && last > 0)
            return fmt::format("a boot event after event {}", last);
        if (e->event_seq <= last) {
            const auto stored = journal_.event(name_, key, e->event_seq);
            if (!stored || stored->code != e->code || stored->uptime_ms != e->uptime_ms)
                return fmt::format("event {} again, unlike the one journalled", e->event_seq);
        }
        return std::nullopt;
    }
    const auto seq = std::visit([](const auto &l) { return l.event_seq; }, line);
    if (seq < last) return fmt::format("event numbers went back: {} after {}", seq, last);
    return std::nullopt;
}

std::string Cabinet::fresh_run_key(const std::string &session) {
    for (auto t = wall_ms();; ++t) {
        auto key = fmt::format("{}~{}", session, t);
        if (key != known_session_ && !journal_.last_seq(name_, key)) return key;
    }
}

// Why this run is a new one under a session id already journalled (empty:
// it is not); same_run: it is the run last heard, reconnected.
std::string Cabinet::reused_reason(const SessionChange &c,
                                   const std::optional<std::string> &previous, const Inbound &line,
                                   bool &same_run) {
    same_run = false;
    if (c.first && previous && session_of_key(*previous) == c.new_id) {
        auto why = new_run_reason(*previous, line);
        same_run = !why;
        return why.value_or("");
    }
    if (!c.first && c.old_id == c.new_id) return c.reason; // the client saw the uptime go backwards
    if (journal_.last_seq(name_, c.new_id))
        return "the journal holds an earlier run under this session id";
    return {};
}

// Sets the key a new run's records go under in the journal: normally its
// session id. A controller without a valid identity has no session id and
// starts every run at event 1, and one whose boot store was erased (a
// reflashed or replaced board) starts again at boot 1 under a session id the
// journal already holds: each such run gets a key of its own, so that its
// events are not taken for an earlier run's and dropped.
void Cabinet::begin_run(const SessionChange &c, const Inbound &line) {
    const auto previous = known_session_;
    std::string reused; // why this is a new run under a session id already journalled
    if (c.new_id.empty()) {
        journal_session_ = fmt::format("unidentified-{}", wall_ms());
    } else {
        bool same_run = false;
        reused = reused_reason(c, previous, line, same_run);
        if (same_run) {
            journal_session_ = *previous; // the same run, reconnected
            return;
        }
        journal_session_ = reused.empty() ? c.new_id : fresh_run_key(c.new_id);
    }
    Record r = record(RecordKind::Session);
    r.session_id = journal_session_;
    if (c.first && previous) {
        // The controller restarted while the link was down: whatever its old
        // run said after the last event accounted for is lost.
        Record g = record(RecordKind::Gap);
        g.session_id = *previous;
        g.event_seq = seq_.last(*previous) + 1;
        g.detail = json{{"reason", "the controller restarted while the link was down"}}.dump();
        batch_.push_back(std::move(g));
        r.code = "restarted";
        r.detail =
            json{{"previous", *previous}, {"reason", "new session found on connecting"}}.dump();
    } else if (c.first) {
        r.code = "first";
        r.detail = json{{"reason", "first session seen for this cabinet"}}.dump();
    } else {
        r.code = "restarted";
        r.detail = json{{"previous", previous.value_or(c.old_id)}, {"reason", c.reason}}.dump();
    }
    if (!reused.empty()) {
        r.code = "reused";
        const auto why = fmt::format("a new run under a session id already journalled: {}", reused);
        r.detail = json{
            {"session_id", c.new_id},
            {"previous", previous ? json(*previous) : json()},
            {"reason",
             why}}.dump();
        log(4,
            fmt::format("{}: the controller reused session id {} ({}): journalled as {}; its "
                        "boot store may have been erased",
                        name_, c.new_id, reused, journal_session_));
    } else {
        log(5, fmt::format("{}: session {} ({})", name_, c.new_id, r.code));
    }
    batch_.push_back(std::move(r));
    known_session_ = journal_session_;
}

} // namespace cabinetd
