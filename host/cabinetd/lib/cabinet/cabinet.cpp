// The cabinet's thread: it opens the line, serves it until it goes, and
// backs off before the next attempt, answering what is asked meanwhile.
#include "cabinet.h"

#include "cabinet_answers.h"
#include "log.h"
#include "state_json.h"

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

TransportFactory endpoint_transport(std::string endpoint) {
    return [endpoint = std::move(endpoint)]() -> std::unique_ptr<Transport> {
        if (endpoint.rfind("tcp:", 0) == 0)
            return open_tcp(endpoint.substr(4), std::chrono::milliseconds(2000));
        if (endpoint == "sim") {
            const auto sim = find_simulator();
            if (sim.empty()) throw std::runtime_error("cabinet-sim not found (set CABINET_SIM)");
            return spawn_simulator(sim, {}, false);
        }
        return open_serial(endpoint);
    };
}

namespace {

// However far off its next deadline, the thread looks round at least this
// often: a bound on any wait, not a tick (heartbeats come far sooner).
constexpr std::uint64_t kLongestWaitMs = 10000;

// What of a status is worth telling its watchers at once: not the counters,
// the controller's clock or the heartbeats' times, which move all the time.
// Whether the journal can write decides whether opens are admitted, so it
// counts too (the thread looks at least once a second, as lines come).
std::string shown(const CabinetStatus &s, bool journal_available) {
    json j{to_string(s.link),  s.link_reason,     s.session_id,
           s.heartbeat_health, journal_available, s.rearm_until_ms.has_value()};
    if (s.state) j.push_back(state_json(*s.state, {.masks = true}));
    for (const auto &a : s.alarms) j.push_back({a.id, a.acknowledged_by.value_or("")});
    return j.dump();
}

} // namespace

Cabinet::Cabinet(std::string name, std::string endpoint, TransportFactory connect, Journal &journal,
                 LinkOptions opt)
        : name_(std::move(name)), endpoint_(std::move(endpoint)), connect_(std::move(connect)),
          journal_(journal), opt_(std::move(opt)),
          seq_([this](const std::string &s) { return journal_.last_seq(name_, s); }),
          alarms_(static_cast<std::uint64_t>(opt_.held_open.count())),
          progress_("cabinet " + name_) {
    if (!opt_.clock) opt_.clock = [] { return steady_ms(); };
    status_.name = name_;
    status_.endpoint = endpoint_;
    status_.reason_doors = opt_.reason_doors;
    status_.two_person_doors = opt_.two_person_doors;
    status_.link_since_ms = wall_ms();
    status_.link_reason = "not connected yet";
    known_session_ = journal_.last_session(name_);
    restore_alarms();
}

Cabinet::~Cabinet() { stop(); }

void Cabinet::start() {
    thread_ = std::thread([this] { run(); });
}

void Cabinet::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
        if (line_) line_->wake();
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    // What the journal hands back once the thread has gone (a commit that
    // was under way) is answered here, and committed before stop returns:
    // nothing of this cabinet runs on the writer's thread afterwards.
    journal_.flush();
    run_jobs();
    commit();
    journal_.flush();
}

CabinetStatus Cabinet::status() const {
    std::lock_guard lk(mu_);
    return status_;
}

std::uint64_t Cabinet::steady_now() const { return opt_.clock(); }

// Wakes the thread wherever it waits: on its line (the transport cuts the
// wait short) or in its backoff (the condition variable).
void Cabinet::post(std::function<void()> job) {
    {
        std::lock_guard lk(mu_);
        jobs_.push_back(std::move(job)); // after stop too: stop() runs them
        if (line_) line_->wake();
    }
    cv_.notify_all();
}

void Cabinet::run_jobs() {
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard lk(mu_);
        jobs.swap(jobs_);
    }
    for (auto &j : jobs) j();
}

Record Cabinet::record(RecordKind kind) const {
    Record r;
    r.at_ms = wall_ms();
    r.cabinet = name_;
    r.kind = kind;
    return r;
}

void Cabinet::reply_later(Reply reply, CommandResult result) {
    after_commit_.push_back([reply = std::move(reply), result = std::move(result)]() mutable {
        reply(std::move(result));
    });
}

// Commits what is batched at once, and runs next on this thread once it is
// durable (stored) or the journal has refused it (not stored): an open or a
// clear goes to the controller only after its record is in the journal. The
// thread does not wait for the writer meanwhile (nothing but its line may
// hold it): next comes back as a job, which wakes it at once.
void Cabinet::commit_then(std::function<void(bool)> next) {
    auto replies = std::exchange(after_commit_, {});
    journal_.write_durable(
        std::exchange(batch_, {}),
        [this, replies = std::move(replies), next](bool stored) {
            for (auto &r : replies) r();
            post([next, stored] { next(stored); });
        },
        std::exchange(notes_, {}));
}

void Cabinet::commit() {
    if (batch_.empty() && after_commit_.empty() && notes_.empty()) return;
    std::function<void()> done;
    if (!after_commit_.empty())
        done = [cbs = std::move(after_commit_)]() mutable {
            for (auto &cb : cbs) cb();
        };
    journal_.write(std::move(batch_), std::move(done), std::exchange(notes_, {}));
    batch_.clear();
    after_commit_.clear();
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
    if (l != Link::Up) alarms_.forget();            // the doors are unknown until it is
    if (!changed) return;
    log(l == Link::Up ? 6 : 4, fmt::format("{}: link {}: {}", name_, to_string(l), reason));
    Record r = record(RecordKind::Link);
    r.code = to_string(l);
    r.session_id = client_ ? client_->session_id() : std::string();
    r.detail = json{{"reason", reason}}.dump();
    batch_.push_back(std::move(r));
    if (l != Link::Up) last_logged_state_.reset();
}

// Ends the re-arm when its time is up: a deadline of the thread's own
// (next_wait), so the status admits opens again the moment it is over.
void Cabinet::end_rearm(std::uint64_t now) {
    std::lock_guard lk(mu_);
    if (status_.rearm_until_ms && static_cast<std::int64_t>(now) >= *status_.rearm_until_ms)
        status_.rearm_until_ms.reset();
}

// Tells the watchers when what the status shows has changed since they
// were last told: once per turn of the thread, however many lines it took.
void Cabinet::announce() {
    std::string now;
    std::vector<std::function<void()>> watchers;
    {
        std::lock_guard lk(mu_);
        status_.heartbeat_health = heartbeat_health_;
        if (watchers_.empty()) return;
        now = shown(status_, journal_.available());
        if (now == announced_) return;
        watchers = watchers_;
    }
    announced_ = std::move(now);
    for (auto &w : watchers) w();
}

void Cabinet::serve(Transport &line) {
    Client client(line, ClientOptions{}, opt_.clock);
    client_ = &client;
    {
        std::lock_guard lk(mu_);
        line_ = &line;
    }
    struct Reset {
        Cabinet *c;
        ~Reset() {
            c->client_ = nullptr;
            std::lock_guard lk(c->mu_);
            c->line_ = nullptr;
        }
    } reset{this};
    client.on_line = [this](const Inbound &in, const std::string &) { on_line(in); };
    client.on_session = [this](const SessionChange &c) { on_session(c); };
    client.on_request_done = [this](const Request &r) { on_done(r); };
    client.on_malformed = [this](const std::string &) {
        std::lock_guard lk(mu_);
        ++status_.malformed;
    };
    client.on_sent = [this](const std::string &l, const Request *r) { on_sent(l, r); };
    last_line_ms_ = steady_now();
    set_link(Link::Up, "connected");
    commit();
    announce();
    for (;;) {
        {
            std::lock_guard lk(mu_);
            if (stop_) return;
        }
        serve_step(client);
    }
}

// Sleeps on the line until a line arrives, a job is posted or the next
// deadline (the client's heartbeat or ack timeout, or one of ours) is due.
void Cabinet::serve_step(Client &client) {
    const auto wait = std::chrono::milliseconds(next_wait(steady_now()));
    progress_.idle_for(wait); // asleep on purpose, not stuck
    client.poll(wait);
    progress_.mark(); // awake: what it promised asleep no longer covers its work
    run_jobs();
    const auto now = steady_now();
    const auto quiet = now - last_line_ms_;
    if (link() == Link::Up && quiet > static_cast<std::uint64_t>(opt_.silent_after.count()))
        set_link(Link::Silent, fmt::format("no line from the controller for {} ms", quiet));
    expire_cycles(now);
    end_rearm(now);
    alarm_changes(alarms_.tick(alarm_now()));
    close_refusals(now, false);
    commit();
    announce();
}

// Milliseconds until the first of the thread's own deadlines: the silence
// check, an open's cycle timing out, a door held open too long.
std::uint64_t Cabinet::next_wait(std::uint64_t now) const {
    std::uint64_t due = now + kLongestWaitMs;
    if (link() == Link::Up)
        due = std::min(due,
                       last_line_ms_ + static_cast<std::uint64_t>(opt_.silent_after.count()) + 1);
    for (const auto &[id, c] : cycles_)
        if (c.reply) due = std::min(due, c.deadline_ms);
    if (const auto held = alarms_.next_due()) due = std::min(due, *held);
    {
        std::lock_guard lk(mu_);
        if (status_.rearm_until_ms)
            due = std::min(due, static_cast<std::uint64_t>(*status_.rearm_until_ms));
    }
    for (const auto &[key, w] : refusals_) due = std::min(due, w.closes_at);
    return due > now ? due - now : 0;
}

Link Cabinet::link() const {
    std::lock_guard lk(mu_);
    return status_.link;
}

// Answers what had no client left to answer it.
void Cabinet::drop_outstanding(Outcome outcome, const std::string &code, const std::string &text) {
    for (auto &[ptr, p] : pending_) {
        if (p.req->kind == RequestKind::Open) open_failed(*p.req, code, text);
        else clear_failed(p.clear_id, failure(outcome, code, text));
        reply_later(std::move(p.reply), failure(outcome, code, text));
    }
    pending_.clear();
    end_cycles(code);
    cycles_.clear();
}

void Cabinet::run_line(Transport &t) {
    {
        std::lock_guard lk(mu_);
        ++status_.reconnects;
    }
    try {
        serve(t);
    } catch (const std::exception &e) {
        set_link(Link::Down, e.what());
    }
    // The client has failed what was in flight; anything left had no
    // client to answer it.
    drop_outstanding(Outcome::ConnectionLost, "connection_lost", "the link went down");
    if (status().link != Link::Down) set_link(Link::Down, "stopped");
}

// Waits before the next attempt, answering what is asked meanwhile.
void Cabinet::wait_backoff(std::chrono::milliseconds backoff) {
    using clock = std::chrono::steady_clock;
    const auto until = clock::now() + backoff;
    for (;;) {
        run_jobs();
        close_refusals(steady_now(), false);
        commit();
        announce();
        const auto now = clock::now();
        if (now >= until) return;
        progress_.idle_for(std::chrono::ceil<std::chrono::milliseconds>(until - now));
        std::unique_lock lk(mu_);
        if (stop_ || !cv_.wait_until(lk, until, [&] { return stop_ || !jobs_.empty(); })) return;
    }
}

void Cabinet::run() {
    recover_quiet_opens();
    auto backoff = opt_.backoff_min;
    for (;;) {
        {
            std::lock_guard lk(mu_);
            if (stop_) break;
        }
        progress_.mark();
        std::unique_ptr<Transport> t;
        try {
            t = connect_();
        } catch (const std::exception &e) {
            set_link(Link::Down, e.what());
        }
        if (t) {
            backoff = opt_.backoff_min;
            run_line(*t);
        }
        t.reset();
        commit();
        wait_backoff(backoff);
        backoff = std::min(backoff * 2, opt_.backoff_max);
    }
    run_jobs();
    // Interrupted is for a client that was itself stopped: to the one that
    // asked, cabinetd stopping is the link to the controller going away.
    drop_outstanding(Outcome::ConnectionLost, "stopping", "cabinetd is stopping");
    close_refusals(0, true);
    commit();
}

} // namespace cabinetd
