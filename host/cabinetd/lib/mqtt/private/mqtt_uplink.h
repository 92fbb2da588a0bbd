// One cabinet on the broker, inside the bridge: its connection and what it
// last published, its events on their way, and the answers it owes.
#pragma once

#include "mqtt_bridge.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace cabinetd {

// A cabinet's events on their way to the broker. Its own have been taken
// from the journal up to `scan`; those not yet published wait, those
// published await their PUBACK. Behind: more waited than `limit` holds, and
// it reads its own from the journal as it sends them. How far the broker has
// acknowledged them is recorded in the journal, so that a restart resumes
// after the last one acknowledged.
class EventQueue {
public:
    EventQueue(std::size_t limit, std::int64_t scan)
            : limit_(limit), scan_(scan), recorded_(scan) {}

    std::int64_t scan() const { return scan_; }
    bool behind() const { return behind_; }
    bool idle() const { return inflight_.empty() && pending_.empty(); }
    // Before this, everything of its own went and was acknowledged.
    std::int64_t acked() const;
    // Whether how far it was acknowledged has moved since it was recorded,
    // and when it was recorded last.
    bool unrecorded() const { return acked() != recorded_; }
    std::uint64_t recorded_at() const { return recorded_at_; }

    // One of its records, read from the journal with every cabinet's; false
    // when it is not taken (it had it, or it is behind).
    bool offer(const Record &r);
    // Publishes what waits, up to `window` awaiting PUBACK, through publish
    // (nothing: the connection is going); reads its own from the journal,
    // up to read_to, when it is behind.
    using Publish = std::function<std::optional<int>(const Record &)>;
    void pump(const Publish &publish, std::size_t window, Journal &journal,
              const std::string &cabinet, std::int64_t read_to);
    // The broker took message `mid`; false: none of these.
    bool published(int mid);
    // The connection went: what the broker did not acknowledge goes again,
    // first; past the limit, the newest are read from the journal again later.
    void requeue();
    // Records how far it was acknowledged, at most once per `every` unless now_or_never.
    void record(Journal &journal, const std::string &reader, std::uint64_t now,
                std::chrono::milliseconds every, bool now_or_never);

private:
    void take_own(Journal &journal, const std::string &cabinet, std::int64_t read_to);

    std::size_t limit_;
    std::int64_t scan_ = 0;
    std::deque<Record> pending_;
    bool behind_ = false;
    std::map<std::int64_t, std::pair<int, Record>> inflight_;
    std::map<int, std::int64_t> by_mid_;
    std::int64_t recorded_ = -1;
    std::uint64_t recorded_at_ = 0;
};

// Answers owed on a cabinet's result topic: not yet taken by the broker (by
// message id, in the order sent), and those to send once connected. An answer
// sent on a connection that goes before the broker took it is sent again on
// the next, like one that came while there was none; past `limit` the oldest
// go, counted until they are logged.
class OwedResults {
public:
    struct Owed {
        std::string topic, payload;
    };
    explicit OwedResults(std::size_t limit) : limit_(limit) {}

    using Publish = std::function<std::optional<int>(const Owed &)>;
    // publish: none when not connected.
    void send(Owed r, const Publish &publish);
    // Connected again: everything owed goes.
    void resend(const Publish &publish);
    void published(int mid);
    // The connection went: what it did not deliver is owed again.
    void disconnected();
    // How many went unsent since last asked.
    std::size_t take_dropped() { return std::exchange(dropped_, 0); }

private:
    void owe(Owed r);

    std::size_t limit_;
    std::deque<std::pair<int, Owed>> inflight_;
    std::deque<Owed> unsent_;
    std::size_t dropped_ = 0;
};

// What a cabinet's topics say (availability, state, doors, alarm state, the
// journal's head, Home Assistant discovery), from the latest snapshot the
// cabinet told, and what they said last on this connection.
class CabinetTopics {
public:
    CabinetTopics(const MqttConfig &cfg, const MqttTiming &timing) : cfg_(cfg), timing_(timing) {}

    // Where they go: the cabinet's connection and names.
    struct On {
        BrokerClient &client;
        const std::string &prefix, &name, &board;
    };
    // A snapshot the cabinet told; false when it is no newer than the one held.
    bool told(Snapshot s);
    void watch_availability(std::uint64_t now);
    // A new connection: the broker may have forgotten everything retained.
    void cold_start();
    // What the topics say, where it changed (or all of it, forced); shared:
    // another cabinet reports the same board and the topics are both's.
    void refresh(const On &on, bool board_shared, bool force, std::uint64_t now);
    void publish_journal_head(const On &on, Journal &journal, std::uint64_t now);

    TopicView view;      // what the state topics show, of the latest snapshot
    Snapshot snap;       // the latest the cabinet told
    bool online = false; // availability as published
    bool shared = false; // shared with another cabinet's (one board id), as published
    std::optional<std::uint64_t> bad_since; // since when the cabinet has looked bad
    std::optional<std::uint64_t> ha_republish_at;
    std::uint64_t started_ms = 0; // when the bridge started
    std::uint64_t head_at = 0;    // when the journal's head is published next

private:
    bool holding(std::uint64_t now) const;
    void publish_retained(const On &on, const std::string &sub, const std::string &payload,
                          bool force);
    void publish_status(const On &on, bool force);
    void discover(const On &on, bool board_shared, bool again, std::uint64_t now);

    const MqttConfig &cfg_;
    const MqttTiming &timing_;
    std::uint64_t built_ = 0; // the snapshot version the topics were last built of
    std::map<std::string, std::string> retained_; // what was last published, by subtopic
    // The versions (fw, hw) the discovery sent on this connection carried; nothing: none sent yet.
    std::optional<std::pair<std::string, std::string>> discovered_;
};

struct MqttBridge::Uplink {
    Uplink(const MqttConfig &cfg, const MqttTiming &t, std::int64_t scan)
            : backoff(t.backoff_min), topics(cfg, t), events(t.pending, scan),
              results(t.owed_results) {}

    std::size_t index = 0;
    Cabinet *cab = nullptr;
    std::string name, board, prefix;
    std::string counted;              // its board in board_count_: BoardIds', none included
    bool touched = false;             // among the bridge's touched_
    std::optional<std::uint64_t> due; // its entry in timers_

    std::unique_ptr<BrokerClient> client;
    int generation = 0;
    bool connected = false;
    std::uint64_t retry_at = 0;
    std::chrono::milliseconds backoff{0};
    std::string last_reason;

    CabinetTopics topics;
    EventQueue events;
    OwedResults results;
    std::optional<int> goodbye_mid; // "offline" published on the way out
    bool goodbye_acked = false;

    std::string reader() const { return "mqtt/" + name; }
    CabinetTopics::On on() { return {*client, prefix, name, board}; }
};

} // namespace cabinetd
