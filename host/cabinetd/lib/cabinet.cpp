#include "cabinet.h"

#include "log.h"
#include "state_view.h"

#include <cabinet_host/explain.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace cabinetd {

using namespace cabinet_host;
using nlohmann::json;

const char *to_string(Link l) {
    switch (l) {
    case Link::Down: return "down";
    case Link::Up: return "up";
    case Link::Silent: return "silent";
    }
    return "down";
}

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

int status_for_ack(const std::string &code) {
    if (is_success_ack(code)) return 202;
    if (code == "range_error" || code == "invalid_command" || is_unread_line_ack(code)) return 422;
    return 409;
}

int status_for_failure(Failure f) {
    switch (f) {
    case Failure::Timeout: return 504;
    case Failure::BadArgument: return 422;
    default: return 503;
    }
}

namespace {

std::unique_ptr<Transport> connect(const std::string &endpoint) {
    if (endpoint.rfind("tcp:", 0) == 0) return open_tcp(endpoint.substr(4), std::chrono::milliseconds(2000));
    if (endpoint == "sim") {
        const auto sim = find_simulator();
        if (sim.empty()) throw std::runtime_error("cabinet-sim not found (set CABINET_SIM)");
        return spawn_simulator(sim, {}, false);
    }
    return open_serial(endpoint);
}

// The line as the client sees it, cut short when the API hands the cabinet's
// thread something to do: the client's wait for a line would otherwise hold
// an open back until a line arrives or a heartbeat falls due.
class WakeableLine final : public Transport {
public:
    WakeableLine(Transport &inner, std::atomic<bool> &wake) : inner_(inner), wake_(wake) {}
    void send_line(const std::string &line) override { inner_.send_line(line); }
    std::optional<std::string> receive_line(std::chrono::milliseconds timeout) override {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (wake_.load()) return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
            if (auto l = inner_.receive_line(std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(1))))
                return l;
            if (left.count() <= 0) return std::nullopt;
        }
    }

private:
    Transport &inner_;
    std::atomic<bool> &wake_;
};

CommandResult from_ack(const AckLine &a) {
    CommandResult r;
    r.status = status_for_ack(a.code);
    r.code = a.code;
    r.text = std::string(explain_text(a.code));
    r.request_id = a.request_id;
    r.session_id = a.session_id;
    return r;
}

CommandResult failure(int status, std::string code, std::string text) {
    CommandResult r;
    r.status = status;
    r.code = std::move(code);
    r.text = std::move(text);
    return r;
}

bool ends_cycle(const std::string &code) { return code == "cycle_complete" || is_fault_code(code); }

CommandResult journal_unavailable(const std::string &reason) {
    return failure(503, "journal_unavailable",
                   fmt::format("the journal cannot write ({}); nothing is sent to a controller that could not be "
                               "recorded: try again once it can",
                               reason.empty() ? "unavailable" : reason));
}

} // namespace

Cabinet::Cabinet(std::string name, std::string endpoint, Journal &journal, LinkOptions opt)
    : name_(std::move(name)), endpoint_(std::move(endpoint)), journal_(journal), opt_(opt),
      seq_([this](const std::string &s) { return journal_.last_seq(name_, s); }), progress_("cabinet " + name_) {
    status_.name = name_;
    status_.endpoint = endpoint_;
    status_.link_since_ms = wall_ms();
    status_.link_reason = "not connected yet";
    known_session_ = journal_.last_session(name_);
}

Cabinet::~Cabinet() { stop(); }

void Cabinet::start() { thread_ = std::thread([this] { run(); }); }

void Cabinet::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

CabinetStatus Cabinet::status() const {
    std::lock_guard lk(mu_);
    return status_;
}

std::uint64_t Cabinet::steady_now() const { return steady_ms(); }

void Cabinet::post(std::function<void()> job) {
    bool stopped;
    {
        std::lock_guard lk(mu_);
        stopped = stop_;
        if (!stopped) jobs_.push_back(std::move(job));
    }
    wake_ = true;
    cv_.notify_all();
}

void Cabinet::open(OpenArgs args, Reply reply) {
    auto shared = std::make_shared<std::pair<OpenArgs, Reply>>(std::move(args), std::move(reply));
    post([this, shared] { start_open(std::move(shared->first), std::move(shared->second)); });
}

void Cabinet::clear_fault(std::string requested_by, Reply reply) {
    post([this, by = std::move(requested_by), reply = std::move(reply)]() mutable {
        if (!client_ || status().link != Link::Up) {
            reply_later(std::move(reply), failure(503, "link_down", "the cabinet's link is down"));
            return;
        }
        if (!journal_.available()) {
            reply_later(std::move(reply), journal_unavailable(journal_.unavailable_reason()));
            return;
        }
        Record r = rec("clear");
        r.session_id = journal_session_;
        r.detail = json{{"requested_by", by}}.dump();
        batch_.push_back(r);
        commit_then([this, reply = std::move(reply), r](bool stored) mutable { send_clear(std::move(reply), r, stored); });
    });
}

void Cabinet::send_clear(Reply reply, Record intent, bool stored) {
    if (!stored) {
        reply_later(std::move(reply), journal_unavailable(journal_.unavailable_reason()));
        return;
    }
    if (!client_ || status().link != Link::Up || journal_session_ != intent.session_id) {
        reply_later(std::move(reply), failure(503, "link_down", "the link went down before the clear was sent"));
        return;
    }
    try {
        auto req = client_->clear_fault();
        if (req->done()) {
            reply_later(std::move(reply), failure(status_for_failure(req->failure), to_string(req->failure), req->failure_text));
            return;
        }
        pending_[req.get()] = Pending{OpenArgs{}, std::move(reply), req};
    } catch (const ConnectionLost &) {
        reply_later(std::move(reply), failure(503, "connection_lost", "the link went down"));
    }
}

void Cabinet::run_jobs() {
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard lk(mu_);
        jobs.swap(jobs_);
        wake_ = false;
    }
    for (auto &j : jobs) j();
}

Record Cabinet::rec(std::string kind) const {
    Record r;
    r.at_ms = wall_ms();
    r.cabinet = name_;
    r.kind = std::move(kind);
    return r;
}

void Cabinet::reply_later(Reply reply, CommandResult result) {
    after_commit_.push_back([reply = std::move(reply), result = std::move(result)]() mutable {
        reply(std::move(result));
    });
}

// Commits what is batched at once, and runs next on this thread once it is
// durable (stored) or the journal has refused it (not stored): an open or a
// clear goes to the controller only after its record is in the journal.
void Cabinet::commit_then(std::function<void(bool)> next) {
    struct Outcome {
        std::mutex mu;
        std::condition_variable cv;
        std::optional<bool> stored;
        bool deferred = false; // this thread stopped waiting: the answer comes as a job
    };
    auto o = std::make_shared<Outcome>();
    auto replies = std::move(after_commit_);
    after_commit_.clear();
    journal_.write_durable(std::move(batch_), [this, o, replies, next](bool stored) {
        for (auto &r : replies) r();
        std::lock_guard lk(o->mu);
        o->stored = stored;
        if (o->deferred) post([next, stored] { next(stored); });
        o->cv.notify_all();
    });
    batch_.clear();
    // A commit takes well under a millisecond: waiting for it here spares
    // the open the way back through the job queue. A slow disk holds the
    // line up no longer than this.
    std::unique_lock lk(o->mu);
    if (o->cv.wait_for(lk, std::chrono::milliseconds(20), [&] { return o->stored.has_value(); })) {
        const bool stored = *o->stored;
        lk.unlock();
        next(stored);
        return;
    }
    o->deferred = true;
}

void Cabinet::commit() {
    if (batch_.empty() && after_commit_.empty()) return;
    std::function<void()> done;
    if (!after_commit_.empty())
        done = [cbs = std::move(after_commit_)]() mutable {
            for (auto &cb : cbs) cb();
        };
    journal_.write(std::move(batch_), std::move(done));
    batch_.clear();
    after_commit_.clear();
}

void Cabinet::start_open(OpenArgs args, Reply reply) {
    // Every answer to a keyed open names the client's key beside the
    // controller's request id.
    if (!args.key.empty())
        reply = [reply = std::move(reply), key = args.key](CommandResult r) {
            r.key = key;
            reply(std::move(r));
        };
    const auto now = steady_now();
    std::erase_if(recent_, [&](auto &p) { return now - p.second.at_ms > 10000; });
    std::string request_id; // what the controller is sent
    if (!args.key.empty()) {
        // A retried request: answer what the first one got, from memory or
        // the journal, without sending anything the controller might act on.
        // A key is looked up in its client's scope only, so one client's key
        // never answers or blocks another client's open.
        const auto key_reused = [&](unsigned door) {
            reply_later(std::move(reply), failure(409, "key_reused",
                                                  fmt::format("this Idempotency-Key was used to open door {}", door)));
        };
        if (auto it = recent_.find({args.key_scope, args.key}); it != recent_.end()) {
            if (it->second.door != args.door) return key_reused(it->second.door);
            auto r = it->second.result;
            r.replayed = true;
            reply_later(std::move(reply), std::move(r));
            return;
        }
        if (committing_.count({args.key_scope, args.key}) > 0 ||
            std::any_of(pending_.begin(), pending_.end(), [&](auto &p) {
                return !p.second.args.key.empty() && p.second.args.key == args.key &&
                       p.second.args.key_scope == args.key_scope;
            })) {
            reply_later(std::move(reply), failure(409, "in_progress",
                                                  "an open with this Idempotency-Key is still waiting for its answer"));
            return;
        }
        std::optional<CommandResult> earlier;
        for (const auto &open : journal_.by_key(name_, args.key_scope, args.key)) {
            if (open.door_id != args.door) return key_reused(open.door_id);
            // An open that got no answer goes again under the request id it
            // had, so the controller's replay protection still refuses it if
            // the first one did arrive.
            request_id = open.request_id;
            for (const auto &r : journal_.by_request(name_, open.request_id)) {
                if (r.kind == "ack" && r.code != "future_command" && !is_unread_line_ack(r.code)) {
                    AckLine a;
                    a.code = r.code;
                    a.request_id = r.request_id;
                    a.session_id = r.session_id;
                    earlier = from_ack(a);
                } else if (r.kind == "event" && r.code == "open_accepted" && !earlier) {
                    AckLine a;
                    a.code = "accepted";
                    a.request_id = r.request_id;
                    a.session_id = r.session_id;
                    earlier = from_ack(a);
                }
            }
        }
        if (earlier) {
            earlier->replayed = true;
            reply_later(std::move(reply), std::move(*earlier));
            return;
        }
    }
    if (!client_ || status().link != Link::Up || !client_->session_known()) {
        reply_later(std::move(reply), failure(503, "link_down", "the cabinet's link is down or its controller is silent"));
        return;
    }
    if (!journal_.available()) {
        reply_later(std::move(reply), journal_unavailable(journal_.unavailable_reason()));
        return;
    }
    if (request_id.empty()) {
        try {
            request_id = ids_.next();
        } catch (const std::exception &e) {
            reply_later(std::move(reply), failure(503, "no_random_source", e.what()));
            return;
        }
    }
    Record r = rec("open");
    r.session_id = journal_session_;
    r.request_id = request_id;
    r.door_id = args.door;
    r.client_key = args.key;
    if (!args.key.empty()) r.key_scope = args.key_scope;
    r.detail = json{{"requested_by", args.requested_by}, {"pulse_ms", args.pulse_ms}, {"ttl_ms", args.ttl_ms}}.dump();
    batch_.push_back(r);
    if (!args.key.empty()) committing_.insert({args.key_scope, args.key});
    commit_then([this, args, reply = std::move(reply), r](bool stored) mutable {
        send_open(std::move(args), std::move(reply), r, stored);
    });
}

void Cabinet::send_open(OpenArgs args, Reply reply, Record intent, bool stored) {
    if (!args.key.empty()) committing_.erase({args.key_scope, args.key});
    const auto refuse = [&](CommandResult result) {
        Record f = rec("open_failed");
        f.session_id = intent.session_id;
        f.request_id = intent.request_id;
        f.door_id = args.door;
        f.code = result.code;
        f.detail = json{{"reason", result.text}}.dump();
        batch_.push_back(std::move(f));
        result.request_id = intent.request_id;
        reply_later(std::move(reply), std::move(result));
    };
    if (!stored) return refuse(journal_unavailable(journal_.unavailable_reason()));
    if (!client_ || status().link != Link::Up || !client_->session_known() || journal_session_ != intent.session_id)
        return refuse(failure(503, "link_down", "the link went down before the open was sent"));
    try {
        auto req = client_->open(args.door, args.pulse_ms, args.ttl_ms, intent.request_id);
        Pending p{std::move(args), std::move(reply), req};
        if (req->done()) {
            pending_[req.get()] = std::move(p);
            on_done(*req);
            return;
        }
        if (p.args.wait_cycle)
            cycles_[req->request_id] =
                CycleWait{{}, {}, steady_now() + static_cast<std::uint64_t>(opt_.cycle_timeout.count())};
        pending_[req.get()] = std::move(p);
    } catch (const ConnectionLost &) {
        reply_later(std::move(reply), failure(503, "connection_lost", "the link went down"));
    }
}

// Heartbeats go out every second and are not journalled one by one: what a
// person auditing the cabinet needs is each change of their health, and the
// counts (in the metrics).
void Cabinet::heartbeat_done(const Request &req) {
    std::string outcome, refusal;
    if (req.status == RequestStatus::Answered && req.ack) {
        ack_answered_heartbeat_ = true;
        if (req.ack->code == "heartbeat_ok") outcome = "ok";
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
    if (req.session_id != heartbeat_session_) heartbeat_health_.clear(); // a new session's first is journalled
    heartbeat_session_ = req.session_id;
    if (outcome == heartbeat_health_ && refusal == heartbeat_refusal_) return;
    json detail;
    if (outcome == "ok") {
        detail["reason"] = heartbeat_health_.empty()      ? "first heartbeat acknowledged"
                           : heartbeat_health_ == "refused" ? fmt::format("acknowledged again after being refused ({})", heartbeat_refusal_)
                                                            : std::string("answered again after heartbeats went unanswered");
    } else if (outcome == "refused") {
        detail["ack"] = refusal;
        detail["reason"] = std::string(explain_text(refusal));
    } else {
        detail["reason"] = req.failure_text.empty() ? std::string("a heartbeat got no answer") : req.failure_text;
    }
    if (outcome != "ok" || !heartbeat_health_.empty())
        log(outcome == "ok" ? 5 : 4, fmt::format("{}: heartbeat {}: {}", name_, outcome, detail["reason"].get<std::string>()));
    Record r = rec("heartbeat");
    r.session_id = req.session_id;
    r.code = outcome;
    r.detail = detail.dump();
    batch_.push_back(std::move(r));
    heartbeat_health_ = outcome;
    heartbeat_refusal_ = refusal;
}

void Cabinet::on_done(const Request &req) {
    if (req.kind == RequestKind::Heartbeat) heartbeat_done(req);
    auto it = pending_.find(&req);
    if (it == pending_.end()) return; // heartbeats
    Pending p = std::move(it->second);
    pending_.erase(it);
    CommandResult result;
    if (req.status == RequestStatus::Answered && req.ack) {
        result = from_ack(*req.ack);
        if (req.kind == RequestKind::ClearFault && req.succeeded()) result.status = 200;
    } else {
        result = failure(status_for_failure(req.failure), to_string(req.failure), req.failure_text);
        result.session_id = req.session_id;
        if (req.kind == RequestKind::Open) {
            Record r = rec("open_failed");
            r.session_id = req.session_id;
            r.request_id = req.request_id;
            r.door_id = req.door_id;
            r.code = to_string(req.failure);
            r.detail = json{{"reason", req.failure_text}}.dump();
            batch_.push_back(std::move(r));
        }
    }
    result.request_id = req.request_id;
    if (req.kind != RequestKind::Open) {
        reply_later(std::move(p.reply), std::move(result));
        return;
    }
    if (req.status == RequestStatus::Answered && !p.args.key.empty()) {
        if (recent_.size() >= 1024) // a bound for a burst of keyed refusals within the 10 s
            recent_.erase(std::min_element(recent_.begin(), recent_.end(), [](auto &a, auto &b) {
                return a.second.at_ms < b.second.at_ms;
            }));
        recent_[{p.args.key_scope, p.args.key}] = {steady_now(), req.door_id, result};
    }
    auto c = cycles_.find(req.request_id);
    if (c != cycles_.end()) {
        if (req.succeeded() && !c->second.result.cycle_end) {
            // Answered when the cycle ends.
            c->second.result = std::move(result);
            c->second.reply = std::move(p.reply);
            return;
        }
        cycles_.erase(c);
    }
    reply_later(std::move(p.reply), std::move(result));
}

void Cabinet::end_cycles(const std::string &why) {
    // Opens still waiting for their ack are answered by the client's failure.
    for (auto it = cycles_.begin(); it != cycles_.end();) {
        if (!it->second.reply) {
            ++it;
            continue;
        }
        finish_cycle(it->first, it->second, why);
        it = cycles_.erase(it);
    }
}

// Answers an open that waited for its cycle, with the cycle's events as
// the journal has them once they are committed.
void Cabinet::finish_cycle(const std::string &request_id, CycleWait &c, const std::string &end) {
    c.result.cycle_end = end;
    after_commit_.push_back([this, reply = std::move(c.reply), result = std::move(c.result), request_id]() mutable {
        for (auto &r : journal_.by_request(name_, request_id))
            if (r.kind == "event") result.events.push_back(r);
        reply(std::move(result));
    });
}

template <class Line> Record Cabinet::line_record(std::string kind, const Line &l) const {
    Record r = rec(std::move(kind));
    r.session_id = journal_session_; // the line's own, unless it has none
    r.event_seq = l.event_seq;
    r.code = l.code;
    r.request_id = l.request_id;
    r.door_id = l.door_id;
    return r;
}

void Cabinet::set_link(Link l, std::string reason) {
    bool changed;
    {
        std::lock_guard lk(mu_);
        changed = status_.link != l;
        if (!changed && l == Link::Down && status_.link_reason != reason)
            log(4, fmt::format("{}: link down: {}", name_, reason)); // a new reason to fail
        status_.link_reason = reason;
        if (changed) {
            status_.link = l;
            status_.link_since_ms = wall_ms();
        }
        if (l != Link::Up) status_.state.reset();
        if (l == Link::Down) status_.heartbeat_ok_local_ms.reset();
    }
    if (l == Link::Down) heartbeat_health_.clear(); // the next link's first ack is journalled again
    if (!changed) return;
    log(l == Link::Up ? 6 : 4, fmt::format("{}: link {}: {}", name_, to_string(l), reason));
    Record r = rec("link");
    r.code = to_string(l);
    r.session_id = client_ ? client_->session_id() : std::string();
    r.detail = json{{"reason", reason}}.dump();
    batch_.push_back(std::move(r));
    if (l != Link::Up) last_logged_state_.reset();
}

void Cabinet::on_session(const SessionChange &c) {
    {
        std::lock_guard lk(mu_);
        status_.session_id = c.new_id;
        ++status_.sessions;
        status_.state.reset();
    }
    last_logged_state_.reset();
    if (!c.first) end_cycles("session_changed");
    // Which run of the controller this is takes the line that showed the
    // change, which on_line() is given next.
    run_change_ = c;
}

namespace {

// The controller's session id of a run's key in the journal.
std::string session_of_key(const std::string &key) { return key.substr(0, key.find('~')); }

std::optional<std::uint64_t> uptime_in(const Record &event) {
    auto d = json::parse(event.detail, nullptr, false);
    if (!d.is_object() || !d.contains("uptime_ms") || !d["uptime_ms"].is_number_unsigned()) return std::nullopt;
    return d["uptime_ms"].get<std::uint64_t>();
}

} // namespace

// Whether the first line heard after (re)connecting shows a new run of the
// controller under the session id of the run last heard. A controller that
// kept running (cabinetd restarted, or the link came back) continues both its
// uptime and its event numbers; one whose boot store was erased starts again
// at boot 1, with the same session id.
std::optional<std::string> Cabinet::new_run_reason(const std::string &key, const Inbound &line) {
    const auto uptime = uptime_of(line);
    std::optional<std::uint64_t> known_uptime;
    if (run_uptime_.first == key) known_uptime = run_uptime_.second;
    else if (auto e = journal_.last_event(name_, key)) known_uptime = uptime_in(*e);
    if (known_uptime && uptime < *known_uptime)
        return fmt::format("uptime went backwards: {} ms after {} ms", uptime, *known_uptime);
    const auto last = seq_.last(key);
    if (const auto *e = std::get_if<EventLine>(&line)) {
        if (e->code == "boot" && last > 0) return fmt::format("a boot event after event {}", last);
        if (e->event_seq <= last) {
            const auto stored = journal_.event(name_, key, e->event_seq);
            if (!stored || stored->code != e->code || uptime_in(*stored) != e->uptime_ms)
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
    } else if (c.first && previous && session_of_key(*previous) == c.new_id) {
        auto why = new_run_reason(*previous, line);
        if (!why) {
            journal_session_ = *previous; // the same run, reconnected
            return;
        }
        reused = *why;
    } else if (!c.first && c.old_id == c.new_id) {
        reused = c.reason; // the client saw the uptime go backwards
    } else if (journal_.last_seq(name_, c.new_id)) {
        reused = "the journal holds an earlier run under this session id";
    }
    if (!c.new_id.empty()) journal_session_ = reused.empty() ? c.new_id : fresh_run_key(c.new_id);
    Record r = rec("session");
    r.session_id = journal_session_;
    if (c.first && previous) {
        // The controller restarted while the link was down: whatever its old
        // run said after the last event accounted for is lost.
        Record g = rec("gap");
        g.session_id = *previous;
        g.event_seq = seq_.last(*previous) + 1;
        g.detail = json{{"reason", "the controller restarted while the link was down"}}.dump();
        batch_.push_back(std::move(g));
        r.code = "restarted";
        r.detail = json{{"previous", *previous}, {"reason", "new session found on connecting"}}.dump();
    } else if (c.first) {
        r.code = "first";
        r.detail = json{{"reason", "first session seen for this cabinet"}}.dump();
    } else {
        r.code = "restarted";
        r.detail = json{{"previous", previous.value_or(c.old_id)}, {"reason", c.reason}}.dump();
    }
    if (!reused.empty()) {
        r.code = "reused";
        r.detail = json{{"session_id", c.new_id},
                        {"previous", previous ? json(*previous) : json()},
                        {"reason", fmt::format("a new run under a session id already journalled: {}", reused)}}
                       .dump();
        log(4, fmt::format("{}: the controller reused session id {} ({}): journalled as {}; its boot store may "
                           "have been erased", name_, c.new_id, reused, journal_session_));
    } else {
        log(5, fmt::format("{}: session {} ({})", name_, c.new_id, r.code));
    }
    batch_.push_back(std::move(r));
    known_session_ = journal_session_;
}

void Cabinet::on_line(const Inbound &in, const std::string &) {
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
    const auto gap_record = [&](const std::string &sid, const SeqTracker::Gap &g) {
        Record r = rec("gap");
        r.session_id = sid;
        r.event_seq = g.from;
        r.seq_to = g.to;
        r.detail = json{{"reason", fmt::format("events {}-{} of session {} were not received", g.from, g.to, sid)}}.dump();
        batch_.push_back(std::move(r));
    };
    if (const auto *s = std::get_if<StateLine>(&in)) {
        if (auto g = seq_.latest(journal_session_, s->event_seq)) gap_record(journal_session_, *g);
        {
            std::lock_guard lk(mu_);
            status_.state = *s;
        }
        // What of a state line is worth a journal record when it changes: not
        // the clock, the event counter or the rail reading, which move all the time.
        auto fields = state_json(*s, {.masks = true});
        if (!last_logged_state_ || state_json(*last_logged_state_, {.masks = true}) != fields) {
            Record r = rec("state");
            r.session_id = journal_session_;
            r.event_seq = s->event_seq;
            r.code = s->state;
            r.detail = fields.dump();
            batch_.push_back(std::move(r));
        }
        last_logged_state_ = *s;
    } else if (const auto *e = std::get_if<EventLine>(&in)) {
        if (auto g = seq_.event(journal_session_, e->event_seq)) gap_record(journal_session_, *g);
        if (is_fault_code(e->code)) {
            std::lock_guard lk(mu_);
            ++status_.faults[e->code];
        }
        Record r = line_record("event", *e);
        r.detail = json{{"uptime_ms", e->uptime_ms}}.dump();
        batch_.push_back(std::move(r));
        if (auto c = cycles_.find(e->request_id); c != cycles_.end() && ends_cycle(e->code)) {
            if (c->second.reply) {
                finish_cycle(c->first, c->second, e->code);
                cycles_.erase(c);
            } else {
                c->second.result.cycle_end = e->code; // ended before its ack arrived
            }
        }
    } else if (const auto *a = std::get_if<AckLine>(&in)) {
        if (auto g = seq_.latest(journal_session_, a->event_seq)) gap_record(journal_session_, *g);
        {
            std::lock_guard lk(mu_);
            ++status_.acks[a->code];
            if (a->code == "heartbeat_ok") status_.heartbeat_ok_local_ms = static_cast<std::int64_t>(steady_now());
        }
        // An ack that answered a heartbeat is periodic traffic: counted
        // above, and journalled only as a change of heartbeat health.
        if (!std::exchange(ack_answered_heartbeat_, false)) batch_.push_back(line_record("ack", *a));
    }
    if (status().link == Link::Silent) set_link(Link::Up, "the controller is talking again");
}

void Cabinet::serve(Transport &line) {
    WakeableLine t(line, wake_);
    ClientOptions co;
    Client client(t, co);
    client_ = &client;
    struct Reset {
        Cabinet *c;
        ~Reset() { c->client_ = nullptr; }
    } reset{this};
    client.on_line = [this](const Inbound &in, const std::string &raw) { on_line(in, raw); };
    client.on_session = [this](const SessionChange &c) { on_session(c); };
    client.on_request_done = [this](const Request &r) { on_done(r); };
    client.on_malformed = [this](const std::string &raw) {
        std::lock_guard lk(mu_);
        ++status_.malformed;
        (void)raw;
    };
    client.on_sent = [this](const std::string &line) {
        {
            std::lock_guard lk(mu_);
            ++status_.lines_out;
        }
        Record r = rec("command");
        r.detail = line;
        auto j = json::parse(line, nullptr, false);
        // Heartbeats and state requests are periodic: counted, not journalled.
        if (j.is_object() && (j.value("type", "") == "heartbeat" || j.value("type", "") == "state")) return;
        if (j.is_object()) {
            r.code = j.value("type", "");
            r.session_id = j.value("session_id", "");
            r.request_id = j.value("request_id", "");
            r.door_id = j.value("door_id", 0u);
        }
        batch_.push_back(std::move(r));
    };
    last_line_ms_ = steady_now();
    set_link(Link::Up, "connected");
    commit();
    for (;;) {
        progress_.mark();
        {
            std::lock_guard lk(mu_);
            if (stop_) return;
        }
        client.poll(std::chrono::milliseconds(100));
        run_jobs();
        const auto now = steady_now();
        if (status().link == Link::Up && now - last_line_ms_ > static_cast<std::uint64_t>(opt_.silent_after.count()))
            set_link(Link::Silent, fmt::format("no line from the controller for {} ms", now - last_line_ms_));
        for (auto it = cycles_.begin(); it != cycles_.end();) {
            if (now >= it->second.deadline_ms && it->second.reply) {
                finish_cycle(it->first, it->second, "timeout");
                it = cycles_.erase(it);
            } else {
                ++it;
            }
        }
        commit();
    }
}

void Cabinet::run() {
    auto backoff = opt_.backoff_min;
    for (;;) {
        {
            std::lock_guard lk(mu_);
            if (stop_) break;
        }
        progress_.mark();
        std::unique_ptr<Transport> t;
        try {
            t = connect(endpoint_);
        } catch (const std::exception &e) {
            set_link(Link::Down, e.what());
        }
        if (t) {
            backoff = opt_.backoff_min;
            {
                std::lock_guard lk(mu_);
                ++status_.reconnects;
            }
            try {
                serve(*t);
            } catch (const ConnectionLost &e) {
                set_link(Link::Down, e.what());
            } catch (const std::exception &e) {
                set_link(Link::Down, e.what());
            }
            // The client has failed what was in flight; anything left had no
            // client to answer it.
            end_cycles("connection_lost");
            cycles_.clear();
            for (auto &[ptr, p] : pending_)
                reply_later(std::move(p.reply), failure(503, "connection_lost", "the link went down"));
            pending_.clear();
            t.reset();
            if (status().link != Link::Down) set_link(Link::Down, "stopped");
        }
        commit();
        // Wait before the next attempt, answering what is asked meanwhile.
        const auto until = std::chrono::steady_clock::now() + backoff;
        for (;;) {
            progress_.mark();
            run_jobs();
            commit();
            std::unique_lock lk(mu_);
            if (stop_) break;
            // In slices, so that the wait itself shows the thread alive.
            const auto slice = std::min(until, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
            if (!cv_.wait_until(lk, slice, [&] { return stop_ || !jobs_.empty(); }) &&
                std::chrono::steady_clock::now() >= until)
                break;
        }
        backoff = std::min(backoff * 2, opt_.backoff_max);
    }
    run_jobs();
    for (auto &[ptr, p] : pending_) reply_later(std::move(p.reply), failure(503, "stopping", "cabinetd is stopping"));
    pending_.clear();
    end_cycles("stopping");
    cycles_.clear();
    commit();
}

} // namespace cabinetd
