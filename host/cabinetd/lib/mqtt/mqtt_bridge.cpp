#include "mqtt_bridge.h"

#include "log.h"
#include "mqtt_discovery.h"
#include "mqtt_uplink.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/protocol.h>

#include <fmt/format.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace cabinetd {

using nlohmann::json;
namespace ch = cabinet_host;

// However far off its next timer, the bridge looks round at least this often:
// a bound on any wait, not a tick.
constexpr std::uint64_t kLongestWaitMs = 10000;

// What the broker clients' threads, the cabinets and the journal's writers
// hand to the bridge's thread. Shared, so that a late answer from a cabinet
// finds it even after the bridge has gone. Commands from outside have a bound
// of their own; the other items are bounded by what the bridge itself did
// (one PUBACK per publish, one answer per command it passed on, one
// connection change per attempt), snapshots by one per cabinet (the latest),
// and the watchdog restarts a bridge whose thread stops taking them.
struct MqttBridge::Incoming {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void(MqttBridge &)>> items;
    // The latest snapshot each cabinet told and not yet taken, and which.
    std::vector<Snapshot> snaps;
    std::vector<std::size_t> told;
    bool journal_moved = false;
    bool boards_changed = false;
    bool stop = false;
    // Commands among the items, those of them to be answered "overloaded",
    // and those dropped since the bridge's thread last looked.
    std::size_t commands = 0, overloaded = 0, dropped = 0;

    void push(std::function<void(MqttBridge &)> f) {
        {
            std::lock_guard lk(mu);
            items.push_back(std::move(f));
        }
        cv.notify_all();
    }
    // A command from the broker, f(bridge, overloaded): a flood of them is
    // answered "overloaded" instead of queueing without end, and past that
    // dropped, so what is incoming stays bounded whatever the broker sends.
    void push_command(std::function<void(MqttBridge &, bool)> f, const MqttTiming &t) {
        {
            std::lock_guard lk(mu);
            const bool over = commands >= t.commands;
            if (over && overloaded >= t.overloaded) {
                ++dropped;
                return;
            }
            ++(over ? overloaded : commands);
            items.push_back([f = std::move(f), over](MqttBridge &b) { f(b, over); });
        }
        cv.notify_all();
    }
    // All items, for the bridge's thread (mu held).
    std::deque<std::function<void(MqttBridge &)>> take() {
        commands = overloaded = 0;
        return std::exchange(items, {});
    }
    void tell(std::size_t index, const Snapshot &snap) {
        {
            std::lock_guard lk(mu);
            if (!snaps[index]) told.push_back(index);
            snaps[index] = snap;
        }
        cv.notify_all();
    }
    void flag(bool Incoming::*what) {
        {
            std::lock_guard lk(mu);
            this->*what = true;
        }
        cv.notify_all();
    }
};

MqttBridge::MqttBridge(const MqttConfig &cfg, Journal &journal, std::vector<Cabinet *> cabinets,
                       const BoardIds &boards, BrokerFactory factory, MqttTiming timing)
        : cfg_(cfg), journal_(journal), boards_(boards), factory_(std::move(factory)),
          timing_(timing), incoming_(std::make_shared<Incoming>()) {
    timing_.clock = or_steady(std::move(timing_.clock));
    validate_mqtt(cfg_, cabinets.size());
    url_ = parse_broker_url(cfg_.url);
    const auto start = journal_.last_cursor();
    // Every cabinet's events up to here went (a cabinetd from before this
    // record counts on each cabinet's own).
    const auto all = journal_.progress("mqtt");
    for (auto *c : cabinets) {
        // A cabinet new to the broker starts with the events from now on
        // (recorded at once: a cabinetd that never reaches the broker before
        // it is restarted still resumes from here); one that was on it before
        // resumes after the last event it acknowledged.
        const auto reader = "mqtt/" + c->name();
        const auto p = journal_.progress(reader);
        if (!p) journal_.set_progress(reader, start);
        auto u =
            std::make_unique<Uplink>(cfg_, timing_, std::max(p.value_or(start), all.value_or(0)));
        u->index = uplinks_.size();
        u->cab = c;
        u->name = c->name();
        u->board = boards_.board(u->name); // as the journal last saw it
        u->prefix = topic_prefix(cfg_, u->name, u->board);
        by_name_[u->name] = u->index;
        u->counted = u->board;
        if (!u->board.empty()) ++board_count_[u->board];
        uplinks_.push_back(std::move(u));
    }
    read_to_ = start;
    for (auto &u : uplinks_) read_to_ = std::min(read_to_, u->events.scan());
    global_recorded_ = all.value_or(-1);
    incoming_->snaps.resize(uplinks_.size());
}

MqttBridge::~MqttBridge() { stop(); }

void MqttBridge::start() {
    std::weak_ptr<Incoming> weak = incoming_;
    listener_ = journal_.subscribe([weak](std::int64_t) {
        if (auto in = weak.lock()) in->flag(&Incoming::journal_moved);
    });
    boards_.on_change([weak] {
        if (auto in = weak.lock()) in->flag(&Incoming::boards_changed);
    });
    // Told first, then read: a snapshot made in between comes again, newer.
    for (auto &u : uplinks_) {
        u->cab->on_snapshot([weak, index = u->index](const Snapshot &snap) {
            if (auto in = weak.lock()) in->tell(index, snap);
        });
        u->topics.told(u->cab->snapshot());
        u->topics.started_ms = now_ms();
    }
    thread_ = std::thread([this] { run(); });
}

void MqttBridge::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lk(incoming_->mu);
        incoming_->stop = true;
    }
    incoming_->cv.notify_all();
    thread_.join();
    journal_.unsubscribe(listener_);
}

// Looks at a cabinet on this turn of the bridge's thread.
void MqttBridge::touch(Uplink &u) {
    if (std::exchange(u.touched, true)) return;
    touched_.push_back(u.index);
}

void MqttBridge::touch_all() {
    for (auto &u : uplinks_) touch(*u);
}

void MqttBridge::schedule(Uplink &u, std::uint64_t now) {
    const auto at = next_due(u, now);
    if (u.due == at) return;
    if (u.due) timers_.erase({*u.due, u.index});
    u.due = at;
    if (at) timers_.emplace(*u.due, u.index);
}

// Sleeps until it is told something (an item, a snapshot, the journal
// moved, the boards changed, stop) or the first timer is due, and looks at
// the cabinets these are about, and only those.
void MqttBridge::run() {
    touch_all();    // each cabinet's first look: its connection, its topics
    read_journal(); // what came since the cabinets' events last went
    for (;;) {
        auto now = now_ms();
        // What a cabinet's look does may touch another (a board, a topic
        // given up): those are looked at in the same turn.
        for (std::size_t i = 0; i < touched_.size(); ++i) {
            auto &u = *uplinks_[touched_[i]];
            u.touched = false;
            tick(u, now);
            schedule(u, now);
        }
        if (!touched_.empty()) global_due_ = true;
        touched_.clear();
        record_global(now, false);
        std::uint64_t due = now + kLongestWaitMs;
        if (!timers_.empty()) due = std::min(due, timers_.begin()->first);
        if (global_due_)
            due = std::min(due,
                           global_recorded_at_ +
                               static_cast<std::uint64_t>(timing_.progress_every.count()));
        const auto wait = std::chrono::milliseconds(due - std::min(due, now));
        progress_.idle_for(wait);
        std::deque<std::function<void(MqttBridge &)>> items;
        std::vector<std::pair<std::size_t, Snapshot>> snaps;
        bool moved, boards;
        std::size_t dropped = 0;
        {
            std::unique_lock lk(incoming_->mu);
            incoming_->cv.wait_for(lk, wait, [&] {
                return incoming_->stop || !incoming_->items.empty() || !incoming_->told.empty() ||
                    incoming_->journal_moved || incoming_->boards_changed;
            });
            if (incoming_->stop) break;
            items = incoming_->take();
            dropped = std::exchange(incoming_->dropped, 0);
            for (auto i : std::exchange(incoming_->told, {}))
                snaps.emplace_back(i, std::exchange(incoming_->snaps[i], nullptr));
            moved = std::exchange(incoming_->journal_moved, false);
            boards = std::exchange(incoming_->boards_changed, false);
        }
        progress_.mark(); // awake: what it promised asleep no longer covers its work
        if (dropped)
            log(Level::Warning,
                fmt::format("mqtt: {} commands dropped unanswered: they came faster than they "
                            "were taken",
                            dropped));
        for (auto &f : items) f(*this);
        for (auto &[i, snap] : snaps) told(*uplinks_[i], std::move(snap));
        // A board that changed may end or start another cabinet's sharing:
        // every board counted first, then every cabinet looked at.
        if (boards) {
            for (auto &u : uplinks_) count_board(*u);
            touch_all();
        }
        if (moved) read_journal();
        now = now_ms();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            auto &u = *uplinks_[timers_.begin()->second];
            timers_.erase(timers_.begin());
            u.due.reset();
            touch(u);
        }
    }
    shutdown();
}

// The first of the cabinet's timers after now: a connection attempt, its
// availability turning offline, the first state's wait ending, Home
// Assistant's republish, the journal's head, the acknowledged cursor
// recorded. Nothing: none (everything else comes as something the bridge
// is told).
std::optional<std::uint64_t> MqttBridge::next_due(const Uplink &u, std::uint64_t now) const {
    const auto ms = [](std::chrono::milliseconds d) {
        return static_cast<std::uint64_t>(d.count());
    };
    std::optional<std::uint64_t> due;
    const auto after = [&](std::uint64_t at) {
        if (at > now) due = std::min(due.value_or(at), at);
    };
    if (!u.client) after(u.retry_at);
    const auto &t = u.topics;
    after(t.started_ms + ms(timing_.first_state_wait));
    if (t.bad_since) {
        after(*t.bad_since + ms(timing_.offline_after));
        after(*t.bad_since + ms(timing_.first_state_wait));
    }
    if (t.ha_republish_at) after(*t.ha_republish_at);
    if (u.connected) after(t.head_at);
    if (u.events.unrecorded()) after(u.events.recorded_at() + ms(timing_.progress_every));
    return due;
}

// A new snapshot of the cabinet: what its topics show, from it alone.
void MqttBridge::told(Uplink &u, Snapshot snap) {
    if (u.topics.told(std::move(snap))) touch(u);
}

// The journal's new records, read once for every cabinet: each cabinet's
// events and alarms go to it, to be published once it can.
void MqttBridge::read_journal() {
    for (;;) {
        const auto recs = journal_.since(read_to_, 256);
        if (recs.empty()) return;
        for (const auto &r : recs) {
            read_to_ = r.cursor;
            if (r.kind != RecordKind::Event && r.kind != RecordKind::Alarm) continue;
            const auto at = by_name_.find(r.cabinet);
            if (at == by_name_.end()) continue;
            auto &u = *uplinks_[at->second];
            if (u.events.offer(r)) touch(u);
        }
    }
}

void MqttBridge::pump(Uplink &u) {
    if (!u.connected) return;
    u.events.pump(
        [&](const Record &r) {
            return u.client->publish(u.prefix + std::string(to_string(r.kind)),
                                     record_payload(u.name, u.board, r).dump(), 1, false);
        },
        timing_.window, journal_, u.name, read_to_);
}

// How far every cabinet's events went: what a restart need not read again
// for any of them (a cabinet that has had none for long resumes from here,
// not from its own last one). One record for all, at most once per interval.
void MqttBridge::record_global(std::uint64_t now, bool now_or_never) {
    if (!global_due_ ||
        (!now_or_never &&
         now - global_recorded_at_ < static_cast<std::uint64_t>(timing_.progress_every.count())))
        return;
    global_due_ = false;
    global_recorded_at_ = now;
    std::int64_t all = read_to_;
    for (auto &u : uplinks_) {
        if (!u->events.idle()) all = std::min(all, u->events.acked());
        else if (u->events.behind()) all = std::min(all, u->events.scan());
    }
    if (all <= global_recorded_) return;
    journal_.set_progress("mqtt", all);
    global_recorded_ = all;
}

void MqttBridge::shutdown() {
    // Clean disconnects suppress the wills, so each cabinet is marked offline
    // here, and the mark is given a moment to be acknowledged.
    std::vector<std::pair<Uplink *, int>> waiting;
    for (auto &u : uplinks_)
        if (u->connected &&
            (u->goodbye_mid = u->client->publish(u->prefix + "availability", "offline", 1, true)))
            waiting.emplace_back(u.get(), *u->goodbye_mid);
    const auto until = steady_ms() + 1000;
    while (!waiting.empty() && steady_ms() < until) {
        std::deque<std::function<void(MqttBridge &)>> items;
        {
            std::unique_lock lk(incoming_->mu);
            incoming_->cv.wait_for(lk, std::chrono::milliseconds(20),
                                   [&] { return !incoming_->items.empty(); });
            items = incoming_->take();
        }
        for (auto &f : items) f(*this); // PUBACKs land in by_mid / inflight
        std::erase_if(waiting,
                      [](auto &w) { return !w.first->connected || w.first->goodbye_acked; });
    }
    for (auto &u : uplinks_) {
        if (u->client) u->client->stop();
        u->client.reset();
        u->connected = false;
        u->events.requeue();
        u->events.record(journal_, u->reader(), now_ms(), timing_.progress_every, true);
    }
    global_due_ = true;
    record_global(now_ms(), true);
}

BrokerClient::Callbacks MqttBridge::callbacks(Uplink &u) {
    const int gen = ++u.generation;
    const auto index = u.index;
    const Topics topics{u.prefix, u.board};
    // Runs f on the bridge's thread, unless this connection has been
    // replaced by then.
    const auto on_unit = [weak = std::weak_ptr<Incoming>(incoming_), index, gen](auto f) {
        if (auto in = weak.lock())
            in->push([index, gen, f = std::move(f)](MqttBridge &b) mutable {
                auto &x = *b.uplinks_[index];
                if (x.generation != gen) return;
                f(b, x);
                b.touch(x);
            });
    };
    BrokerClient::Callbacks cb;
    cb.connected = [on_unit] { on_unit([](MqttBridge &b, Uplink &x) { b.on_connected(x); }); };
    cb.disconnected = [on_unit](std::string reason) {
        on_unit([reason = std::move(reason)](MqttBridge &b, Uplink &x) {
            b.on_disconnected(x, reason, b.now_ms());
        });
    };
    cb.published = [on_unit](int mid) {
        on_unit([mid](MqttBridge &, Uplink &x) {
            x.events.published(mid);
            x.results.published(mid);
            if (x.goodbye_mid == mid) x.goodbye_acked = true;
        });
    };
    // A command is answered even when its connection has gone by the time
    // it is taken: the broker has handed it over and will not again.
    cb.message = [weak = std::weak_ptr<Incoming>(incoming_), index, topics,
                  timing = timing_](std::string topic, std::string payload, bool retained) {
        auto in = weak.lock();
        if (!in) return;
        // One byte past what a command may carry keeps it refused as too large.
        if (payload.size() > kMaxCommandPayload) payload.resize(kMaxCommandPayload + 1);
        in->push_command(
            [index, topics, topic = std::move(topic), payload = std::move(payload),
             retained](MqttBridge &b, bool overloaded) {
                b.on_message(*b.uplinks_[index], topics, topic, payload, retained, overloaded);
            },
            timing);
    };
    return cb;
}

void MqttBridge::connect(Uplink &u, std::uint64_t now) {
    auto cb = callbacks(u);
    BrokerSettings s;
    s.host = url_.host;
    s.port = url_.port;
    s.tls = url_.tls;
    s.ca_file = cfg_.ca_file;
    s.username = cfg_.username;
    s.password = cfg_.password;
    s.client_id = client_id(u.board, u.name);
    s.keepalive = timing_.keepalive;
    s.will = BrokerSettings::Will{u.prefix + "availability", "offline", 1, true};
    try {
        u.client = factory_();
        u.client->start(s, std::move(cb));
    } catch (const std::exception &e) {
        u.client.reset();
        log(Level::Error, fmt::format("{}: mqtt: {}", u.name, e.what()));
        u.retry_at = now + static_cast<std::uint64_t>(timing_.backoff_max.count());
    }
}

void MqttBridge::on_connected(Uplink &u) {
    log(Level::Info,
        fmt::format("{}: mqtt: connected to {}:{} as {}", u.name, url_.host, url_.port, u.prefix));
    u.connected = true;
    u.backoff = timing_.backoff_min;
    u.last_reason.clear();
    // A cold start every time: the broker may have forgotten everything
    // retained. Subscriptions first, so no command in reply is missed; then
    // availability, discovery and a fresh snapshot; events follow in pump().
    if (cfg_.commands)
        for (const char *p :
             {"+/set", "door/+/set", "door/+/+/set", "door/+/+/+/set", "alarm/+/set"})
            u.client->subscribe(u.prefix + p, 1);
    if (cfg_.discovery) u.client->subscribe(cfg_.ha_status_topic, 1);
    u.topics.cold_start();
    u.topics.shared = shares_topics(u);
    u.topics.refresh(u.on(), board_shared(u), true, now_ms());
    u.results.resend([&](const OwedResults::Owed &r) {
        return u.client->publish(r.topic, r.payload, 1, false);
    });
    if (!u.topics.shared) pump(u);
}

void MqttBridge::on_disconnected(Uplink &u, const std::string &reason, std::uint64_t now) {
    if (u.connected) log(Level::Warning, fmt::format("{}: mqtt: disconnected: {}", u.name, reason));
    else if (reason != u.last_reason)
        log(Level::Warning, fmt::format("{}: mqtt: {}", u.name, reason));
    u.last_reason = reason;
    u.connected = false;
    if (u.client) u.client->stop();
    u.client.reset();
    // What the broker has not acknowledged goes again: events first, then
    // answers from what is owed.
    u.events.requeue();
    u.results.disconnected();
    u.retry_at = now + static_cast<std::uint64_t>(u.backoff.count());
    u.backoff = std::min(u.backoff * 2, timing_.backoff_max);
    // A cabinet of the same topics that waited for them may connect now.
    for (auto &o : uplinks_)
        if (o.get() != &u && o->prefix == u.prefix) touch(*o);
}

// The cabinet's board as BoardIds says it now (none included), counted.
std::string MqttBridge::count_board(Uplink &u) {
    auto b = boards_.board(u.name);
    if (b == u.counted) return b;
    if (!u.counted.empty() && --board_count_[u.counted] == 0) board_count_.erase(u.counted);
    if (!b.empty()) ++board_count_[b];
    u.counted = b;
    return b;
}

// A board met for the first time, or another board on this port: its topics
// are named by the new board, on a connection of its own. (A controller
// without a board id leaves the topics as they were.)
void MqttBridge::take_board(Uplink &u, std::uint64_t now) {
    const auto b = count_board(u);
    if (b.empty() || b == u.board) return;
    if (u.connected) {
        u.client->publish(u.prefix + "availability", "offline", 1, true);
        on_disconnected(u, "the cabinet's board changed", now);
        u.retry_at = now;
    }
    log(Level::Info, fmt::format("{}: board {}", u.name, b));
    u.board = b;
    u.prefix = topic_prefix(cfg_, u.name, u.board);
    touch_all(); // whether others share topics may have changed with it
}

// Whether another cabinet's connection holds these topics: one connection
// per topic prefix, so that a command on it is taken, and answered, once.
// Whichever connects first keeps them; the other waits for its turn.
bool MqttBridge::parked(const Uplink &u) const {
    return std::any_of(uplinks_.begin(), uplinks_.end(), [&](const auto &o) {
        return o.get() != &u && o->client && o->prefix == u.prefix;
    });
}

void MqttBridge::tick(Uplink &u, std::uint64_t now) {
    take_board(u, now);
    if (u.board.empty()) return; // nothing to name its topics by yet
    u.topics.watch_availability(now);
    results_lost(u);
    if (!u.client) {
        if (now >= u.retry_at && !parked(u)) connect(u, now);
        return;
    }
    if (!u.connected) return;
    auto &t = u.topics;
    bool again = t.ha_republish_at && now >= *t.ha_republish_at;
    if (again) t.ha_republish_at.reset();
    if (const bool shared = shares_topics(u); shared != t.shared) {
        t.shared = shared;
        again = true; // everything said afresh, for the one cabinet or for none
    }
    t.refresh(u.on(), board_shared(u), again, now_ms());
    t.publish_journal_head(u.on(), journal_, now);
    if (!t.shared) pump(u);
    u.events.record(journal_, u.reader(), now, timing_.progress_every, false);
}

// The answer to a command, once its cabinet has one: handed to the bridge's
// thread.
Reply MqttBridge::replier(Uplink &u, std::string prefix, json base) {
    std::weak_ptr<Incoming> weak = incoming_;
    const auto index = u.index;
    return [weak, index, prefix = std::move(prefix),
            base = std::move(base)](const CommandResult &r) mutable {
        if (auto in = weak.lock())
            in->push([index, prefix, base = result_payload(std::move(base), r)](MqttBridge &b) {
                b.answer(*b.uplinks_[index], prefix, base);
            });
    };
}

std::function<void(AlarmAck)> MqttBridge::ack_replier(Uplink &u, std::string prefix, json base) {
    std::weak_ptr<Incoming> weak = incoming_;
    const auto index = u.index;
    return [weak, index, prefix = std::move(prefix), base = std::move(base)](AlarmAck a) mutable {
        if (auto in = weak.lock())
            in->push([index, prefix, base = alarm_ack_payload(std::move(base), a)](MqttBridge &b) {
                b.answer(*b.uplinks_[index], prefix, base);
            });
    };
}

} // namespace cabinetd
