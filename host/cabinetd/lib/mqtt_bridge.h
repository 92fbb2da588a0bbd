// cabinetd on an MQTT broker: per cabinet, its availability, state, doors and
// every journalled event are published under a topic prefix, and (when
// allowed) open and clear_fault commands are taken from it, with Home
// Assistant discovery on request.
//
// Each cabinet has a broker connection of its own, so that its availability
// topic can be the connection's will: when cabinetd dies, the broker marks
// exactly its cabinets offline.
#pragma once

#include "broker.h"
#include "cabinet.h"
#include "config.h"
#include "journal.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

namespace cabinetd {

struct BrokerUrl {
    std::string host;
    unsigned short port = 1883;
    bool tls = false;
};
// "mqtt://HOST[:PORT]" (1883) or "mqtts://HOST[:PORT]" (8883); throws ConfigError.
BrokerUrl parse_broker_url(const std::string &url);

// Checks the broker settings for this many cabinets; throws ConfigError.
void validate_mqtt(const MqttConfig &m, std::size_t cabinets);

// The board id of a session id: its first 16 hex digits, or nothing.
std::optional<std::string> board_id_of(std::string_view session_id);

// A command taken from the broker, checked and ready for a cabinet.
struct MqttCommand {
    enum Kind { Open, ClearFault } kind = Open;
    unsigned door = 0;
    std::uint32_t pulse_ms = 500;
    std::uint32_t ttl_ms = 3000;
    std::string request_id;            // empty: none given
    std::optional<std::int64_t> sent_at_ms; // when the sender says it sent it (Unix ms)
};
// A command refused before it reaches a cabinet.
struct MqttRefusal {
    std::string code; // "bad_request", "unknown_topic", "not_supported", "payload_too_large", "expired"
    std::string text;
    std::string request_id; // echoed when one could be read
};
// Reads a command from the part of its topic after the cabinet's prefix
// ("door/3/open/set", "clear_fault/set") and its payload.
std::variant<MqttCommand, MqttRefusal> parse_mqtt_command(std::string_view subtopic, std::string_view payload,
                                                          std::size_t max_payload = 4096);

// How far ahead of cabinetd's clock a command's sent_at_ms may be.
inline constexpr std::int64_t kSentAtSkewMs = 2000;
// Refuses a command whose sent_at_ms (Unix ms) is more than the skew ahead of
// now ("bad_request": it would never expire), or older than its ttl
// ("expired"). Any value is taken, without overflow.
std::optional<MqttRefusal> check_sent_at(std::optional<std::int64_t> sent_at_ms, std::int64_t now_ms,
                                         std::uint32_t ttl_ms, std::string request_id = {});

// The Home Assistant device discovery config of one cabinet.
nlohmann::json discovery_config(const std::string &cabinet, const std::string &board_id, const std::string &prefix,
                                const CabinetStatus &status);
std::string discovery_topic(const MqttConfig &m, const std::string &board_id);

struct MqttTiming {
    std::chrono::milliseconds offline_after{1500};  // silent or heartbeat stale this long: offline
    std::chrono::milliseconds backoff_min{250}, backoff_max{5000};
    std::chrono::milliseconds ha_delay_max{2000};   // republishing after Home Assistant comes online
    std::chrono::milliseconds progress_every{200};  // recording the acknowledged cursor
    std::size_t window = 32;                        // events awaiting PUBACK
    std::chrono::seconds keepalive{10};
};

class MqttBridge {
public:
    MqttBridge(const MqttConfig &cfg, Journal &journal, std::vector<Cabinet *> cabinets,
               BrokerFactory factory = make_mosquitto_client, MqttTiming timing = {});
    ~MqttBridge();
    MqttBridge(const MqttBridge &) = delete;
    MqttBridge &operator=(const MqttBridge &) = delete;

    void start();
    // The bridge thread's proof of life, for the watchdog.
    const Progress &progress_mark() const { return progress_; }
    // Marks every cabinet offline, disconnects cleanly and records how far
    // the broker has acknowledged the events.
    void stop();

    struct Inbox;
    struct Unit;

private:
    void run();
    void tick(Unit &u, std::uint64_t now);
    void connect(Unit &u, std::uint64_t now);
    void on_connected(Unit &u);
    void on_disconnected(Unit &u, const std::string &reason, std::uint64_t now);
    void on_message(Unit &u, const std::string &topic, const std::string &payload, bool retained);
    void command(Unit &u, const std::string &subtopic, const std::string &payload, bool retained);
    void answer(Unit &u, nlohmann::json result);
    void publish_retained(Unit &u, const std::string &sub, const std::string &payload, bool force);
    void publish_status(Unit &u, bool force);
    void publish_discovery(Unit &u);
    void pump(Unit &u);
    void record_progress(Unit &u, std::uint64_t now, bool now_or_never);
    void shutdown();

    MqttConfig cfg_;
    BrokerUrl url_;
    Journal &journal_;
    BrokerFactory factory_;
    MqttTiming timing_;
    std::shared_ptr<Inbox> inbox_;
    std::vector<std::unique_ptr<Unit>> units_;
    int listener_ = 0;
    Progress progress_{"mqtt"};
    std::thread thread_;
};

} // namespace cabinetd
