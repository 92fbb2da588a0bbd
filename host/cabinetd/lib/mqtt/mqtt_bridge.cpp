#include "mqtt_bridge.h"

#include "log.h"
#include "mqtt_discovery.h"

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
// connection change per attempt), and the watchdog restarts a bridge whose
// thread stops taking them.
struct MqttBridge::Incoming {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void(MqttBridge &)>> items;
    // The bridge's cabinets' live records, up to a bound. Past it the oldest
    // go, and the bridge takes its cabinets' status afresh instead.
    std::deque<Record> records;
    bool records_lost = false;
    bool journal_moved = false;
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
    void push_records(const std::vector<Record> &recs, const std::set<std::string> &cabinets,
                      std::size_t bound) {
        std::unique_lock lk(mu);
        bool any = false;
        for (const auto &r : recs) {
            if (!cabinets.count(r.cabinet)) continue;
            if (r.kind != RecordKind::State && r.kind != RecordKind::Link &&
                r.kind != RecordKind::Session && r.kind != RecordKind::Event)
                continue;
            if (records.size() >= bound) {
                records.pop_front();
                records_lost = true;
            }
            records.push_back(r);
            any = true;
        }
        lk.unlock();
        if (any) cv.notify_all();
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
    for (auto *c : cabinets) {
        auto u = std::make_unique<Uplink>();
        u->index = uplinks_.size();
        u->cab = c;
        u->name = c->name();
        u->backoff = timing_.backoff_min;
        u->board = boards_.board(u->name); // as the journal last saw it
        u->prefix = topic_prefix(cfg_, u->name, u->board);
        // A cabinet new to the broker starts with the events from now on
        // (recorded at once: a cabinetd that never reaches the broker before
        // it is restarted still resumes from here); one that was on it before
        // resumes after the last event it acknowledged.
        const auto p = journal_.progress(u->reader());
        u->scan = p.value_or(start);
        if (!p) journal_.set_progress(u->reader(), start);
        u->recorded = u->scan;
        uplinks_.push_back(std::move(u));
    }
}

MqttBridge::~MqttBridge() { stop(); }

void MqttBridge::start() {
    std::weak_ptr<Incoming> weak = incoming_;
    listener_ = journal_.subscribe([weak](std::int64_t) {
        if (auto in = weak.lock()) {
            {
                std::lock_guard lk(in->mu);
                in->journal_moved = true;
            }
            in->cv.notify_all();
        }
    });
    std::set<std::string> names;
    for (auto &u : uplinks_) names.insert(u->name);
    observer_ = journal_.observe(
        [weak, names, bound = timing_.live_records](const std::vector<Record> &recs) {
            if (auto in = weak.lock()) in->push_records(recs, names, bound);
        });
    // Observed first, then read: a record written in between is followed
    // after the status it is already part of, which it agrees with.
    for (auto &u : uplinks_) {
        u->view = view_of(u->cab->status());
        u->started_ms = now_ms();
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
    journal_.unobserve(observer_);
    journal_.unsubscribe(listener_);
}

// Sleeps until it is told something (an item, a record, the journal moved,
// stop) or the first of its cabinets' timers is due.
void MqttBridge::run() {
    std::uint64_t due = now_ms();
    for (;;) {
        const auto wait = std::chrono::milliseconds(due - std::min(due, now_ms()));
        progress_.idle_for(wait);
        std::deque<std::function<void(MqttBridge &)>> items;
        std::deque<Record> records;
        bool lost = false;
        std::size_t dropped = 0;
        {
            std::unique_lock lk(incoming_->mu);
            incoming_->cv.wait_for(lk, wait, [&] {
                return incoming_->stop || !incoming_->items.empty() ||
                    !incoming_->records.empty() || incoming_->journal_moved;
            });
            if (incoming_->stop) break;
            items = incoming_->take();
            dropped = std::exchange(incoming_->dropped, 0);
            records.swap(incoming_->records);
            lost = std::exchange(incoming_->records_lost, false);
            incoming_->journal_moved = false;
        }
        progress_.mark(); // awake: what it promised asleep no longer covers its work
        if (dropped)
            log(4,
                fmt::format("mqtt: {} commands dropped unanswered: they came faster than they "
                            "were taken",
                            dropped));
        for (auto &f : items) f(*this);
        follow_records(records, lost);
        const auto now = now_ms();
        due = now + kLongestWaitMs;
        for (auto &u : uplinks_) {
            tick(*u, now);
            due = std::min(due, next_due(*u, now));
        }
    }
    shutdown();
}

// The first of the cabinet's timers after now: a connection attempt, its
// availability turning offline, the first state's wait ending, Home
// Assistant's republish, the acknowledged cursor recorded. Everything else
// comes as something the bridge is told.
std::uint64_t MqttBridge::next_due(const Uplink &u, std::uint64_t now) const {
    const auto ms = [](std::chrono::milliseconds d) {
        return static_cast<std::uint64_t>(d.count());
    };
    std::uint64_t due = now + kLongestWaitMs;
    const auto after = [&](std::uint64_t at) {
        if (at > now) due = std::min(due, at);
    };
    if (!u.client) after(u.retry_at);
    after(u.started_ms + ms(timing_.first_state_wait));
    if (u.bad_since) {
        after(*u.bad_since + ms(timing_.offline_after));
        after(*u.bad_since + ms(timing_.first_state_wait));
    }
    if (u.ha_republish_at) after(*u.ha_republish_at);
    if (u.connected) after(u.head_at);
    if (u.acked() != u.recorded) after(u.recorded_at + ms(timing_.progress_every));
    return due;
}

void MqttBridge::follow_records(const std::deque<Record> &records, bool lost) {
    if (lost) {
        log(4, "mqtt: live records came faster than they were taken: reading the cabinets afresh");
        for (auto &u : uplinks_) u->view = view_of(u->cab->status());
        return;
    }
    for (auto &r : records)
        for (auto &u : uplinks_) {
            if (u->name != r.cabinet || !follow(u->view, r) || r.kind != RecordKind::State)
                continue;
            // The versions are not part of a state record: they come with the
            // line it was made of.
            if (const auto st = u->cab->status(); st.state) {
                u->view.fw = st.state->fw;
                u->view.hw = st.state->hw;
            }
        }
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
        record_progress(*u, now_ms(), true);
    }
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
                if (x.generation == gen) f(b, x);
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
            if (auto it = x.by_mid.find(mid); it != x.by_mid.end()) {
                x.inflight.erase(it->second);
                x.by_mid.erase(it);
            }
            std::erase_if(x.results_inflight, [mid](auto &r) { return r.first == mid; });
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
        log(3, fmt::format("{}: mqtt: {}", u.name, e.what()));
        u.retry_at = now + static_cast<std::uint64_t>(timing_.backoff_max.count());
    }
}

void MqttBridge::on_connected(Uplink &u) {
    log(6,
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
    u.retained.clear();
    u.ha_republish_at.reset();
    u.discovered.reset();
    u.shared = shares_topics(u);
    refresh(u, true);
    for (auto &r : std::exchange(u.unsent_results, {})) send_result(u, std::move(r));
    if (!u.shared) pump(u);
}

void MqttBridge::on_disconnected(Uplink &u, const std::string &reason, std::uint64_t now) {
    if (u.connected) log(4, fmt::format("{}: mqtt: disconnected: {}", u.name, reason));
    else if (reason != u.last_reason) log(4, fmt::format("{}: mqtt: {}", u.name, reason));
    u.last_reason = reason;
    u.connected = false;
    if (u.client) u.client->stop();
    u.client.reset();
    // What the broker has not acknowledged goes again: events from the
    // journal, answers from what is owed.
    u.scan = u.acked();
    u.inflight.clear();
    u.by_mid.clear();
    auto sent = std::exchange(u.results_inflight, {});
    auto owed = std::exchange(u.unsent_results, {});
    for (auto &r : sent) owe(u, std::move(r.second));
    for (auto &r : owed) owe(u, std::move(r));
    u.retry_at = now + static_cast<std::uint64_t>(u.backoff.count());
    u.backoff = std::min(u.backoff * 2, timing_.backoff_max);
}

// A board met for the first time, or another board on this port: its topics
// are named by the new board, on a connection of its own. (A controller
// without a board id leaves the topics as they were.)
void MqttBridge::take_board(Uplink &u, std::uint64_t now) {
    const auto b = boards_.board(u.name);
    if (b.empty() || b == u.board) return;
    if (u.connected) {
        u.client->publish(u.prefix + "availability", "offline", 1, true);
        on_disconnected(u, "the cabinet's board changed", now);
        u.retry_at = now;
    }
    log(6, fmt::format("{}: board {}", u.name, b));
    u.board = b;
    u.prefix = topic_prefix(cfg_, u.name, u.board);
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
    watch_availability(u, now);
    results_lost(u);
    if (!u.client) {
        if (now >= u.retry_at && !parked(u)) connect(u, now);
        return;
    }
    if (!u.connected) return;
    bool again = u.ha_republish_at && now >= *u.ha_republish_at;
    if (again) u.ha_republish_at.reset();
    if (const bool shared = shares_topics(u); shared != u.shared) {
        u.shared = shared;
        again = true; // everything said afresh, for the one cabinet or for none
    }
    refresh(u, again);
    publish_journal_head(u, now);
    if (!u.shared) pump(u);
    record_progress(u, now, false);
}

void MqttBridge::pump(Uplink &u) {
    while (u.connected && u.inflight.size() < timing_.window) {
        auto recs = journal_.since(u.scan, 256);
        if (recs.empty()) return;
        for (auto &r : recs) {
            if (u.inflight.size() >= timing_.window) return;
            if (r.cabinet == u.name &&
                (r.kind == RecordKind::Event || r.kind == RecordKind::Alarm)) {
                auto mid = u.client->publish(u.prefix + std::string(to_string(r.kind)),
                                             record_payload(u.name, u.board, r).dump(), 1, false);
                if (!mid) return; // the connection is going; its end resets the scan
                u.inflight[r.cursor] = *mid;
                u.by_mid[*mid] = r.cursor;
            }
            u.scan = r.cursor;
        }
    }
}

void MqttBridge::record_progress(Uplink &u, std::uint64_t now, bool now_or_never) {
    const auto acked = u.acked();
    if (acked == u.recorded) return;
    if (!now_or_never &&
        now - u.recorded_at < static_cast<std::uint64_t>(timing_.progress_every.count()))
        return;
    journal_.set_progress(u.reader(), acked);
    u.recorded = acked;
    u.recorded_at = now;
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
