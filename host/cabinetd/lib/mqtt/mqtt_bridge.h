// cabinetd on an MQTT broker: per cabinet, its availability, state, doors and
// every journalled event are published under a topic prefix, and (when
// allowed) open and clear_fault commands are taken from it, with Home
// Assistant discovery on request.
//
// The state and door topics follow the journal's records as they are written
// (a cabinet's link, session and state records), so a change is published as
// soon as the cabinet has seen it. Events follow the committed journal
// instead: a cursor the broker's acknowledgements move, kept across broker
// outages and restarts.
//
// Each cabinet has a broker connection of its own, so that its availability
// topic can be the connection's will: when cabinetd dies, the broker marks
// exactly its cabinets offline.
//
// Two cabinets that report one board id (a copied configuration, a cloned
// board) have the same topics unless the prefix names the cabinet. Such
// topics get one connection, which publishes them "offline" and refuses every
// command on them ("board_id_shared"), so nothing meant for one cabinet
// reaches the other, and what the two are is not mixed under one name.
// Which cabinets share a board is BoardIds' to say, asked as each command is
// taken.
#pragma once

#include "board_ids.h"
#include "broker.h"
#include "cabinet.h"
#include "clock.h"
#include "journal.h"
#include "mqtt_alarms.h"
#include "mqtt_config.h"
#include "mqtt_topics.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace cabinetd {

struct MqttTiming {
    std::chrono::milliseconds offline_after{1500}; // silent or heartbeat stale this long: offline
    std::chrono::milliseconds backoff_min{250}, backoff_max{5000};
    std::chrono::milliseconds ha_delay_max{2000}; // republishing after Home Assistant comes online
    // How long a cabinet's topics and discovery wait for its first state line,
    // after the bridge starts or the cabinet's link comes up.
    std::chrono::milliseconds first_state_wait{3000};
    std::chrono::milliseconds progress_every{200}; // recording the acknowledged cursor
    std::size_t window = 32;                       // events awaiting PUBACK
    std::size_t live_records = 4096;               // live records waiting for the bridge's thread
    // Commands from the broker waiting for the bridge's thread; past it, up to
    // `overloaded` more are answered "overloaded" and the rest are dropped.
    std::size_t commands = 1024, overloaded = 64;
    // Answers owed per cabinet while its connection is down, or sent on one
    // that went before the broker took them; past it the oldest go (logged).
    std::size_t owed_results = 1024;
    std::chrono::seconds keepalive{10};
    // What the timers above run on; empty: the steady clock.
    SteadyClock clock;
};

class MqttBridge {
public:
    MqttBridge(const MqttConfig &cfg, Journal &journal, std::vector<Cabinet *> cabinets,
               const BoardIds &boards, BrokerFactory factory = make_mosquitto_client,
               MqttTiming timing = {});
    ~MqttBridge();
    MqttBridge(const MqttBridge &) = delete;
    MqttBridge &operator=(const MqttBridge &) = delete;

    void start();
    // The bridge thread's proof of life, for the watchdog.
    const Progress &progress_mark() const { return progress_; }
    // Marks every cabinet offline, disconnects cleanly and records how far
    // the broker has acknowledged the events.
    void stop();

private:
    struct Incoming;
    struct Uplink;
    // The topics a connection was made for: what its commands came on.
    struct Topics {
        std::string prefix, board;
    };
    struct Owed {
        std::string topic, payload;
    };

    void run();
    void tick(Uplink &u, std::uint64_t now);
    std::uint64_t next_due(const Uplink &u, std::uint64_t now) const;
    void follow_records(const std::deque<Record> &records, bool lost);
    void watch_availability(Uplink &u, std::uint64_t now);
    void take_board(Uplink &u, std::uint64_t now);
    bool shares_topics(const Uplink &u) const;
    bool parked(const Uplink &u) const;
    void refresh(Uplink &u, bool force);
    Reply replier(Uplink &u, std::string prefix, nlohmann::json base);
    std::function<void(AlarmAck)> ack_replier(Uplink &u, std::string prefix, nlohmann::json base);
    void connect(Uplink &u, std::uint64_t now);
    BrokerClient::Callbacks callbacks(Uplink &u);
    void on_connected(Uplink &u);
    void on_disconnected(Uplink &u, const std::string &reason, std::uint64_t now);
    void on_message(Uplink &u, const Topics &on, const std::string &topic,
                    const std::string &payload, bool retained, bool overloaded);
    void command(Uplink &u, const Topics &on, const std::string &subtopic,
                 const std::string &payload, bool retained, bool overloaded);
    void answer(Uplink &u, const std::string &prefix, const nlohmann::json &result);
    void send_result(Uplink &u, Owed r);
    void owe(Uplink &u, Owed r);
    void results_lost(Uplink &u);
    void publish_retained(Uplink &u, const std::string &sub, const std::string &payload,
                          bool force);
    void publish_status(Uplink &u, bool force);
    void publish_discovery(Uplink &u);
    void publish_journal_head(Uplink &u, std::uint64_t now);
    void discover(Uplink &u, bool again);
    bool holding(const Uplink &u) const;
    void pump(Uplink &u);
    void record_progress(Uplink &u, std::uint64_t now, bool now_or_never);
    void shutdown();
    std::uint64_t now_ms() const { return timing_.clock(); }

    MqttConfig cfg_;
    BrokerUrl url_;
    Journal &journal_;
    const BoardIds &boards_;
    BrokerFactory factory_;
    MqttTiming timing_;
    std::shared_ptr<Incoming> incoming_;
    std::vector<std::unique_ptr<Uplink>> uplinks_;
    int listener_ = 0;
    int observer_ = 0;
    Progress progress_{"mqtt"};
    std::thread thread_;
};

// One cabinet on the broker: its connection, what it last published, and
// how far its events have gone.
struct MqttBridge::Uplink {
    std::size_t index = 0;
    Cabinet *cab = nullptr;
    std::string name, board, prefix;
    TopicView view; // what the state topics show, as followed from the journal

    std::unique_ptr<BrokerClient> client;
    int generation = 0;
    bool connected = false;
    std::uint64_t retry_at = 0;
    std::chrono::milliseconds backoff{0};
    std::string last_reason;

    // Availability as published, and since when the cabinet has looked bad.
    bool online = false;
    // The topics are shared with another cabinet's (one board id), as last published.
    bool shared = false;
    std::optional<std::uint64_t> bad_since;
    std::map<std::string, std::string> retained; // what was last published, by subtopic
    std::optional<std::uint64_t> ha_republish_at;
    // The versions (fw, hw) the discovery sent on this connection carried; nothing: none sent yet.
    std::optional<std::pair<std::string, std::string>> discovered;
    std::uint64_t started_ms = 0; // when the bridge started
    std::uint64_t head_at = 0;    // when the journal's head is published next

    // Events: the journal has been read up to `scan`; those awaiting PUBACK by cursor.
    std::int64_t scan = 0;
    std::map<std::int64_t, int> inflight;
    std::map<int, std::int64_t> by_mid;
    std::int64_t recorded = -1;
    std::uint64_t recorded_at = 0;

    // Answers owed: not yet taken by the broker (by message id, in the order
    // sent), and those to send once connected; and how many were dropped.
    std::deque<std::pair<int, Owed>> results_inflight;
    std::deque<Owed> unsent_results;
    std::size_t results_dropped = 0;
    std::optional<int> goodbye_mid; // "offline" published on the way out
    bool goodbye_acked = false;

    std::string reader() const { return "mqtt/" + name; }
    std::int64_t acked() const { return inflight.empty() ? scan : inflight.begin()->first - 1; }
};

} // namespace cabinetd
