// cabinetd on an MQTT broker: per cabinet, its availability, state, doors and
// every journalled event are published under a topic prefix, and (when
// allowed) open and clear_fault commands are taken from it, with Home
// Assistant discovery on request.
//
// The work follows what changes, never the number of cabinets: a cabinet
// tells the bridge each snapshot of its status as it makes it (cabinet.h),
// and only then are that cabinet's state, door and alarm topics built again,
// and published where they changed; events follow the committed journal,
// read once for every cabinet and handed to each its own, and a cursor the
// broker's acknowledgements move is kept across broker outages and restarts.
// Timers wake the bridge for the cabinets they are for. An idle cabinet costs
// it nothing but its connection's keepalive.
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
#include <map>
#include <memory>
#include <optional>
#include <set>
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
    // A cabinet's events read from the journal and waiting for its
    // connection; past it, it reads its own from the journal when it can
    // send them.
    std::size_t pending = 4096;
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
               const BoardIds &boards, BrokerFactory factory = mosquitto_clients(),
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
    struct Uplink; // private/mqtt_uplink.h
    // The topics a connection was made for: what its commands came on.
    struct Topics {
        std::string prefix, board;
    };

    void run();
    void tick(Uplink &u, std::uint64_t now);
    std::optional<std::uint64_t> next_due(const Uplink &u, std::uint64_t now) const;
    void touch(Uplink &u);
    void touch_all();
    void schedule(Uplink &u, std::uint64_t now);
    void told(Uplink &u, Snapshot snap);
    void read_journal();
    void record_global(std::uint64_t now, bool now_or_never);
    void take_board(Uplink &u, std::uint64_t now);
    std::string count_board(Uplink &u);
    bool shares_topics(const Uplink &u) const;
    bool board_shared(const Uplink &u) const;
    bool parked(const Uplink &u) const;
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
    void results_lost(Uplink &u);
    void pump(Uplink &u);
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
    std::map<std::string, std::size_t> by_name_;
    std::map<std::string, std::size_t> board_count_; // how many cabinets report each board
    // The bridge's thread only: the cabinets to look at now, and when each
    // next wants looking at.
    std::vector<std::size_t> touched_;
    std::set<std::pair<std::uint64_t, std::size_t>> timers_;
    // Every cabinet's events have been taken from the journal up to here;
    // how far every cabinet's have gone, as last recorded.
    std::int64_t read_to_ = 0, global_recorded_ = -1;
    std::uint64_t global_recorded_at_ = 0;
    bool global_due_ = false; // something moved since it was last recorded
    int listener_ = 0;
    Progress progress_{"mqtt"};
    std::thread thread_;
};

} // namespace cabinetd
