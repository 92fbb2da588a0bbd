#include "run_tracker.h"

#include "log.h"
#include "stamped.h"

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

} // namespace

RunTracker::RunTracker(std::string cabinet, Journal &journal)
        : cabinet_(std::move(cabinet)), journal_(journal),
          seq_([this](const std::string &s) { return journal_.last_seq(cabinet_, s); }),
          known_(journal_.last_session(cabinet_)) {}

std::vector<Record> RunTracker::heard(const Inbound &line) {
    std::vector<Record> out;
    if (change_) {
        const auto c = std::move(*change_);
        change_.reset();
        out = begin_run(c, line);
    }
    uptime_ = {key_, uptime_of(line)};
    std::optional<SeqTracker::Gap> g;
    if (const auto *e = std::get_if<EventLine>(&line)) g = seq_.event(key_, e->event_seq);
    else g = seq_.latest(key_, std::visit([](const auto &l) { return l.event_seq; }, line));
    if (auto r = gap(key_, g)) out.push_back(std::move(*r));
    return out;
}

std::optional<Record> RunTracker::gap(const std::string &sid,
                                      std::optional<SeqTracker::Gap> g) const {
    if (!g) return std::nullopt;
    Record r = stamped(cabinet_, RecordKind::Gap);
    r.session_id = sid;
    r.event_seq = g->from;
    r.seq_to = g->to;
    const auto why =
        fmt::format("events {}-{} of session {} were not received", g->from, g->to, sid);
    r.detail = json{{"reason", why}}.dump();
    return r;
}

// Whether the first line heard after (re)connecting shows a new run of the
// controller under the session id of the run last heard. A controller that
// kept running (cabinetd restarted, or the link came back) continues both its
// uptime and its event numbers; one whose boot store was erased starts again
// at boot 1, with the same session id.
std::optional<std::string> RunTracker::new_run_reason(const std::string &key, const Inbound &line) {
    const auto uptime = uptime_of(line);
    std::optional<std::uint64_t> known_uptime;
    if (uptime_.first == key) known_uptime = uptime_.second;
    else if (auto e = journal_.last_event(cabinet_, key)) known_uptime = e->uptime_ms;
    if (known_uptime && uptime < *known_uptime)
        return fmt::format("uptime went backwards: {} ms after {} ms", uptime, *known_uptime);
    const auto last = seq_.last(key);
    if (const auto *e = std::get_if<EventLine>(&line)) {
        if (e->code == codes::kBoot && last > 0)
            return fmt::format("a boot event after event {}", last);
        if (e->event_seq <= last) {
            const auto stored = journal_.event(cabinet_, key, e->event_seq);
            if (!stored || stored->code != e->code || stored->uptime_ms != e->uptime_ms)
                return fmt::format("event {} again, unlike the one journalled", e->event_seq);
        }
        return std::nullopt;
    }
    const auto seq = std::visit([](const auto &l) { return l.event_seq; }, line);
    if (seq < last) return fmt::format("event numbers went back: {} after {}", seq, last);
    return std::nullopt;
}

std::string RunTracker::fresh_key(const std::string &session) {
    for (auto t = wall_ms();; ++t) {
        auto key = fmt::format("{}~{}", session, t);
        if (key != known_ && !journal_.last_seq(cabinet_, key)) return key;
    }
}

// Why this run is a new one under a session id already journalled, or that
// it is the run last heard, reconnected.
RunTracker::Reused RunTracker::reused(const SessionChange &c, const Inbound &line) {
    if (c.first && known_ && session_of_key(*known_) == c.new_id) {
        auto why = new_run_reason(*known_, line);
        return {why.value_or(""), !why};
    }
    if (!c.first && c.old_id == c.new_id)
        return {c.reason}; // the client saw the uptime go backwards
    if (journal_.last_seq(cabinet_, c.new_id))
        return {"the journal holds an earlier run under this session id"};
    return {};
}

// Sets the key a new run's records go under in the journal: normally its
// session id. A controller without a valid identity has no session id and
// starts every run at event 1, and one whose boot store was erased (a
// reflashed or replaced board) starts again at boot 1 under a session id the
// journal already holds: each such run gets a key of its own, so that its
// events are not taken for an earlier run's and dropped.
std::vector<Record> RunTracker::begin_run(const SessionChange &c, const Inbound &line) {
    const auto previous = known_;
    Reused again;
    if (c.new_id.empty()) {
        key_ = fmt::format("unidentified-{}", wall_ms());
    } else {
        again = reused(c, line);
        if (again.same_run) {
            key_ = *previous; // the same run, reconnected
            return {};
        }
        key_ = again.why.empty() ? c.new_id : fresh_key(c.new_id);
    }
    std::vector<Record> out;
    Record r = stamped(cabinet_, RecordKind::Session);
    r.session_id = key_;
    if (c.first && previous) {
        // The controller restarted while the link was down: whatever its old
        // run said after the last event accounted for is lost.
        Record g = stamped(cabinet_, RecordKind::Gap);
        g.session_id = *previous;
        g.event_seq = seq_.last(*previous) + 1;
        g.detail = json{{"reason", "the controller restarted while the link was down"}}.dump();
        out.push_back(std::move(g));
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
    if (!again.why.empty()) {
        r.code = "reused";
        const auto why =
            fmt::format("a new run under a session id already journalled: {}", again.why);
        r.detail = json{
            {"session_id", c.new_id},
            {"previous", previous ? json(*previous) : json()},
            {"reason",
             why}}.dump();
        log(Level::Warning,
            fmt::format("{}: the controller reused session id {} ({}): journalled as {}; its "
                        "boot store may have been erased",
                        cabinet_, c.new_id, again.why, key_));
    } else {
        log(Level::Notice, fmt::format("{}: session {} ({})", cabinet_, c.new_id, r.code));
    }
    out.push_back(std::move(r));
    known_ = key_;
    return out;
}

} // namespace cabinetd
