// The cabinet's thread: it opens the line, serves it until it goes, and
// backs off before the next attempt, answering what is asked meanwhile.
#include "cabinet.h"

#include "cabinet_parts.h"
#include "log.h"
#include "stamped.h"

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

CabinetStatus first_status(const std::string &name, const std::string &endpoint,
                           const LinkOptions &opt) {
    CabinetStatus s;
    s.name = name;
    s.endpoint = endpoint;
    s.reason_doors = opt.reason_doors;
    s.two_person_doors = opt.two_person_doors;
    s.link_since_ms = wall_ms();
    s.link_reason = "not connected yet";
    return s;
}

CabinetStatus with_alarms(CabinetStatus s, std::vector<Alarm> alarms) {
    s.alarms = std::move(alarms);
    return s;
}

} // namespace

Cabinet::Parts::Parts(const std::string &name, Journal &journal, const LinkOptions &opt,
                      CabinetStatus first, AlarmClock now,
                      std::function<void(std::function<void()>)> post)
        : batch(journal), runs(name, journal), heartbeats(name),
          refusals(name, batch, opt.refusal_window),
          alarms(static_cast<std::uint64_t>(opt.held_open.count())),
          board(with_alarms(std::move(first),
                            restore_alarms(alarms, name, journal, runs.known(), now)),
                journal.available()),
          commands({name, opt, batch, runs, board, refusals, std::move(post)}) {}

Cabinet::Cabinet(std::string name, std::string endpoint, TransportFactory connect, Journal &journal,
                 LinkOptions opt)
        : name_(std::move(name)), endpoint_(std::move(endpoint)), connect_(std::move(connect)),
          journal_(journal), opt_(std::move(opt)), progress_("cabinet " + name_) {
    if (!opt_.clock) opt_.clock = [] { return steady_ms(); };
    if (!opt_.policy) opt_.policy = std::make_shared<const Policy>();
    parts_ = std::make_unique<Parts>(name_, journal_, opt_, first_status(name_, endpoint_, opt_),
                                     alarm_now(),
                                     [this](std::function<void()> job) { post(std::move(job)); });
}

Cabinet::~Cabinet() { stop(); }

void Cabinet::start() {
    thread_ = std::thread([this] { run(); });
}

void Cabinet::stop() {
    parts_->inbox.stop();
    if (thread_.joinable()) thread_.join();
    // What the journal hands back once the thread has gone (a commit that
    // was under way) is answered here, and committed before stop returns:
    // nothing of this cabinet runs on the writer's thread afterwards.
    journal_.flush();
    parts_->inbox.run_jobs();
    parts_->batch.commit();
    journal_.flush();
}

CabinetStatus Cabinet::status() const { return parts_->board.status(); }
Snapshot Cabinet::snapshot() const { return parts_->board.snapshot(); }
LiveFigures Cabinet::live() const { return parts_->board.live(); }

void Cabinet::on_status_change(std::function<void()> watcher) {
    parts_->board.on_change(std::move(watcher));
}

void Cabinet::on_counted_refusal(std::function<void(const CountedRefusal &)> told) {
    parts_->refusals.on_counted(std::move(told));
}

void Cabinet::on_snapshot(std::function<void(const Snapshot &)> told) {
    parts_->board.on_snapshot(std::move(told));
}

std::uint64_t Cabinet::steady_now() const { return opt_.clock(); }

void Cabinet::post(std::function<void()> job) { parts_->inbox.post(std::move(job)); }

Record Cabinet::record(RecordKind kind) const { return stamped(name_, kind); }

// What waits for the batch to be durable runs on this thread once it is, or
// once the journal has refused it.
void Cabinet::commit_then(std::function<void(bool)> next) {
    parts_->batch.commit_then(std::move(next),
                              [this](std::function<void()> job) { post(std::move(job)); });
}

void Cabinet::open(OpenArgs args, Reply reply) {
    auto shared = std::make_shared<std::pair<OpenArgs, Reply>>(std::move(args), std::move(reply));
    post([this, shared] {
        parts_->commands.open(std::move(shared->first), std::move(shared->second));
    });
}

void Cabinet::clear_fault(ClearArgs args, Reply reply) {
    auto shared = std::make_shared<std::pair<ClearArgs, Reply>>(std::move(args), std::move(reply));
    post([this, shared] {
        parts_->commands.clear(std::move(shared->first), std::move(shared->second));
    });
}

void Cabinet::refuse(const OpenArgs &args, const Decision &why, Action action) {
    post([this, by = args.requested_by, door = args.door, reason = args.reason, why,
          what = action == Action::Open ? std::string() : std::string(to_string(action))] {
        parts_->commands.refuse_early(by, door, what, why, reason);
        parts_->batch.commit();
    });
}

void Cabinet::set_link(Link l, std::string reason) {
    auto &p = *parts_;
    const bool changed = p.board.update([&](CabinetStatus &s) {
        const bool changed = s.link != l;
        if (!changed && l == Link::Down && s.link_reason != reason)
            log(Level::Warning,
                fmt::format("{}: link down: {}", name_, reason)); // a new reason to fail
        s.link_reason = reason;
        if (changed) {
            s.link = l;
            s.link_since_ms = wall_ms();
        }
        if (l != Link::Up) s.state.reset();
        if (l == Link::Down) s.heartbeat_ok_local_ms.reset();
        return changed;
    });
    if (l == Link::Down) {
        p.board.heartbeat_ok(std::nullopt);
        p.heartbeats.forget(); // the next link's first ack is journalled again
    }
    if (l != Link::Up) p.alarms.forget(); // the doors are unknown until it is
    if (!changed) return;
    log(l == Link::Up ? Level::Info : Level::Warning,
        fmt::format("{}: link {}: {}", name_, to_string(l), reason));
    Record r = record(RecordKind::Link);
    r.code = to_string(l);
    r.session_id = p.client ? p.client->session_id() : std::string();
    r.detail = json{{"reason", reason}}.dump();
    p.batch.add(std::move(r));
    if (l != Link::Up) p.last_logged_state.reset();
}

// Once per turn of the thread, however many lines it took.
void Cabinet::announce() {
    parts_->board.announce(parts_->heartbeats.health(), journal_.available());
}

void Cabinet::serve(Transport &line) {
    auto &p = *parts_;
    Client client(line, ClientOptions{}, opt_.clock);
    p.client = &client;
    p.commands.serving(&client);
    p.inbox.serving(&line);
    struct Reset {
        Parts &p;
        ~Reset() {
            p.client = nullptr;
            p.commands.serving(nullptr);
            p.inbox.serving(nullptr);
        }
    } reset{p};
    client.on_line = [this](const Inbound &in, const std::string &) { on_line(in); };
    client.on_session = [this](const SessionChange &c) { on_session(c); };
    client.on_request_done = [this](const Request &r) {
        if (r.kind == RequestKind::Heartbeat) heartbeat_done(r);
        parts_->commands.done(r);
    };
    client.on_malformed = [&p](const std::string &) {
        p.board.update([](CabinetStatus &s) { ++s.malformed; });
    };
    client.on_sent = [this](const std::string &l, const Request *r) { on_sent(l, r); };
    p.last_line_ms = steady_now();
    set_link(Link::Up, "connected");
    p.batch.commit();
    announce();
    while (!p.inbox.stopped()) serve_step(client);
}

// Sleeps on the line until a line arrives, a job is posted or the next
// deadline (the client's heartbeat or ack timeout, or one of ours) is due.
void Cabinet::serve_step(Client &client) {
    auto &p = *parts_;
    const auto wait = std::chrono::milliseconds(next_wait(steady_now()));
    progress_.idle_for(wait); // asleep on purpose, not stuck
    client.poll(wait);
    progress_.mark(); // awake: what it promised asleep no longer covers its work
    p.inbox.run_jobs();
    const auto now = steady_now();
    const auto quiet = now - p.last_line_ms;
    if (p.board.link() == Link::Up && quiet > static_cast<std::uint64_t>(opt_.silent_after.count()))
        set_link(Link::Silent, fmt::format("no line from the controller for {} ms", quiet));
    look_round(now);
}

// What is due by now, on or off the line: cycles timed out, the re-arm over
// (so the status admits opens again the moment it is), doors held open too
// long, refusal windows closed; then the turn's commit and news.
void Cabinet::look_round(std::uint64_t now) {
    auto &p = *parts_;
    p.commands.expire(now);
    p.board.update([&](CabinetStatus &s) {
        if (s.rearm_until_ms && static_cast<std::int64_t>(now) >= *s.rearm_until_ms)
            s.rearm_until_ms.reset();
    });
    alarm_changes(p.alarms.tick(alarm_now()));
    p.refusals.close(now, false);
    p.batch.commit();
    announce();
}

// Milliseconds until the first of the thread's own deadlines: the silence
// check, an open's cycle timing out, a door held open too long, the re-arm's
// end, a refusal window closing.
std::uint64_t Cabinet::next_wait(std::uint64_t now) const {
    const auto &p = *parts_;
    std::uint64_t due = now + kLongestWaitMs;
    const auto status = p.board.read([](const CabinetStatus &s) {
        return std::pair{s.link, s.rearm_until_ms};
    });
    if (status.first == Link::Up)
        due = std::min(due,
                       p.last_line_ms + static_cast<std::uint64_t>(opt_.silent_after.count()) + 1);
    if (status.second) due = std::min(due, static_cast<std::uint64_t>(*status.second));
    for (const auto next : {p.commands.next_due(), p.alarms.next_due(), p.refusals.next_due()})
        if (next) due = std::min(due, *next);
    return due > now ? due - now : 0;
}

void Cabinet::run_line(Transport &t) {
    parts_->board.update([](CabinetStatus &s) { ++s.reconnects; });
    try {
        serve(t);
    } catch (const std::exception &e) {
        set_link(Link::Down, e.what());
    }
    // The client has failed what was in flight; anything left had no
    // client to answer it.
    parts_->commands.drop(Outcome::ConnectionLost, "connection_lost", "the link went down");
    if (parts_->board.link() != Link::Down) set_link(Link::Down, "stopped");
}

// Waits before the next attempt, answering what is asked meanwhile.
void Cabinet::wait_backoff(std::chrono::milliseconds backoff) {
    using clock = std::chrono::steady_clock;
    auto &p = *parts_;
    const auto until = clock::now() + backoff;
    for (;;) {
        p.inbox.run_jobs();
        p.refusals.close(steady_now(), false);
        p.batch.commit();
        announce();
        const auto now = clock::now();
        if (now >= until) return;
        progress_.idle_for(std::chrono::ceil<std::chrono::milliseconds>(until - now));
        if (!p.inbox.wait_until(until)) return;
    }
}

void Cabinet::run() {
    auto &p = *parts_;
    p.refusals.recover(journal_);
    p.batch.commit();
    auto backoff = opt_.backoff_min;
    while (!p.inbox.stopped()) {
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
        p.batch.commit();
        wait_backoff(backoff);
        backoff = std::min(backoff * 2, opt_.backoff_max);
    }
    p.inbox.run_jobs();
    // Interrupted is for a client that was itself stopped: to the one that
    // asked, cabinetd stopping is the link to the controller going away.
    p.commands.drop(Outcome::ConnectionLost, "stopping", "cabinetd is stopping");
    p.refusals.close(0, true);
    p.batch.commit();
}

} // namespace cabinetd
