// What the controller says and what is written to it, into the journal:
// events and acks as they come, the state when it changes, heartbeats as
// changes of their health, each run of the controller under a key of its own.
#include "cabinet.h"

#include "cabinet_parts.h"
#include "controller_view.h"
#include "state_json.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

namespace cabinetd {

using namespace cabinet_host;

namespace {

// The controller refuses every open for 1300 ms after it accepts one
// (driver_rearming). Counted here from when the acceptance is heard, which is
// after the controller's own start, plus a margin for the controller's clock,
// which moves in ticks of a few milliseconds: an open that the status admits
// again reaches a driver that has re-armed.
constexpr std::uint64_t kRearmHoldMs = 1300 + 50;

} // namespace

void Cabinet::start_rearm() {
    parts_->board.update([&](CabinetStatus &s) {
        s.rearm_until_ms = static_cast<std::int64_t>(steady_now() + kRearmHoldMs);
    });
}

template <class Line> Record Cabinet::line_record(RecordKind kind, const Line &l) const {
    Record r = record(kind);
    r.session_id = parts_->runs.key(); // the line's own, unless it has none
    r.event_seq = l.event_seq;
    r.code = l.code;
    r.request_id = l.request_id;
    r.door_id = l.door_id;
    return r;
}

void Cabinet::on_line(const Inbound &in) {
    auto &p = *parts_;
    // The run's records (a new one's, the events the line shows missing) go
    // before the line's own.
    for (auto &r : p.runs.heard(in)) p.batch.add(std::move(r));
    p.last_line_ms = steady_now();
    p.board.update([](CabinetStatus &s) { ++s.lines_in; });
    if (const auto *s = std::get_if<StateLine>(&in)) on_state(*s);
    else if (const auto *e = std::get_if<EventLine>(&in)) on_event(*e);
    else if (const auto *a = std::get_if<AckLine>(&in)) on_ack(*a);
    if (p.board.link() == Link::Silent) set_link(Link::Up, "the controller is talking again");
}

void Cabinet::on_state(const StateLine &s) {
    auto &p = *parts_;
    const bool reconciled = p.board.update([&](CabinetStatus &st) {
        const auto &was = st.state;
        const bool reconciled = was && disagrees(controller_view(*was), was->inputs_valid, s);
        if (reconciled) ++st.view_reconciled;
        st.state = s;
        // A re-arm not heard to begin (an open accepted before cabinetd
        // started): the controller says so, and it is over within the hold.
        if (!s.driver_ready && !st.rearm_until_ms)
            st.rearm_until_ms = static_cast<std::int64_t>(steady_now() + kRearmHoldMs);
        return reconciled;
    });
    p.board.line_figures(s.uptime_ms, s.event_seq);
    // What of a state line is worth a journal record when it changes: not
    // the clock, the event counter or the rail reading, which move all the time.
    // One that corrects what the events made of the state is recorded too, so
    // that whoever follows the records is corrected as well.
    auto fields = state_json(s, {.masks = true});
    if (reconciled || !p.last_logged_state ||
        state_json(*p.last_logged_state, {.masks = true}) != fields) {
        Record r = record(RecordKind::State);
        r.session_id = p.runs.key();
        r.event_seq = s.event_seq;
        r.code = s.state;
        r.detail = fields.dump();
        p.batch.add(std::move(r));
    }
    p.last_logged_state = s;
    alarm_changes(p.alarms.on_state(s, alarm_now()));
}

void Cabinet::on_event(const EventLine &e) {
    auto &p = *parts_;
    p.board.update([&](CabinetStatus &s) {
        if (is_fault_code(e.code)) ++s.faults[e.code];
        // Every view follows the event at once, not only the next state line.
        if (s.state) {
            auto v = controller_view(*s.state);
            if (apply_event(v, e.code, e.door_id)) put_view(*s.state, v);
        }
    });
    if (e.code == codes::kOpenAccepted) start_rearm();
    // An open sent quietly that the controller acted on is journalled
    // before what came of it.
    if (!e.request_id.empty()) p.refusals.write_quiet(e.request_id);
    Record r = line_record(RecordKind::Event, e);
    r.uptime_ms = e.uptime_ms;
    p.batch.add(std::move(r));
    alarm_changes(p.alarms.on_event(e.code, e.door_id, alarm_now()));
    p.commands.event(e.request_id, e.code);
}

void Cabinet::on_ack(const AckLine &a) {
    auto &p = *parts_;
    p.board.update([&](CabinetStatus &s) {
        ++s.acks[a.code];
        if (a.code == codes::kHeartbeatOk) {
            s.heartbeat_ok_local_ms = static_cast<std::int64_t>(steady_now());
            p.board.heartbeat_ok(s.heartbeat_ok_local_ms);
        }
    });
    // An accepted open's ack, should its event have been lost on the way.
    if (a.code == codes::kAccepted && a.door_id != 0) start_rearm();
    // An ack that answered a heartbeat is periodic traffic: counted
    // above, and journalled only as a change of heartbeat health. So is a
    // heartbeat_ok that found its heartbeat already taken as answered: the
    // controller's answer to a line mangled at power-up (invalid_message)
    // comes first and is matched to the heartbeat in flight.
    if (p.heartbeats.take_answered() || a.code == codes::kHeartbeatOk) return;
    // One that settles an open or a clear carries its outcome, and names a
    // clear by the request id it was journalled under (a clear's line has none).
    auto r = line_record(RecordKind::Ack, a);
    if (auto settles = p.commands.take_settles()) {
        if (settles->counted) return;
        r.request_id = settles->request_id;
        r.outcome = settles->outcome;
    }
    p.batch.add(std::move(r));
}

void Cabinet::on_sent(const std::string &line, const Request *req) {
    auto &p = *parts_;
    p.board.update([](CabinetStatus &s) { ++s.lines_out; });
    // Heartbeats and state requests are periodic: counted, not journalled.
    if (!req || req->kind == RequestKind::Heartbeat) return;
    Record r = record(RecordKind::Command);
    r.detail = line;
    r.code = to_string(req->kind);
    r.session_id = req->session_id;
    r.request_id = req->request_id;
    r.door_id = req->door_id;
    if (req->kind == RequestKind::Open && p.refusals.keep_line(req->request_id, r)) return;
    p.batch.add(std::move(r));
}

void Cabinet::heartbeat_done(const Request &req) {
    auto heard = parts_->heartbeats.done(req);
    if (!heard.outcome.empty())
        parts_->board.update([&](CabinetStatus &s) { ++s.heartbeats[heard.outcome]; });
    if (heard.record) parts_->batch.add(std::move(*heard.record));
}

void Cabinet::on_session(const SessionChange &c) {
    auto &p = *parts_;
    p.board.update([&](CabinetStatus &s) {
        s.session_id = c.new_id;
        ++s.sessions;
        s.state.reset();
        s.rearm_until_ms.reset(); // a controller that restarted has no re-arm to wait for
    });
    p.last_logged_state.reset();
    p.alarms.forget();
    if (!c.first) p.commands.session_changed();
    // Which run of the controller this is takes the line that showed the
    // change, which on_line() is given next.
    p.runs.session_changed(c);
}

} // namespace cabinetd
