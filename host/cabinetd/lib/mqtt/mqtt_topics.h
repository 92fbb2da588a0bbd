// What cabinetd says and hears on an MQTT broker, as pure functions: the
// broker settings, the topics of a cabinet, the commands read from them, and
// the state and door payloads followed from the journal's records.
#pragma once

#include "cabinet_types.h"
#include "controller_view.h"
#include "command.h"
#include "config_error.h"
#include "mqtt_config.h"
#include "record.h"
#include "result.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// The board id of a session id, or nothing for anything but a session id.
std::optional<std::string> board_id_of(std::string_view session_id);
// A cabinet's topic prefix, from the configured pattern.
std::string topic_prefix(const MqttConfig &m, const std::string &cabinet, const std::string &board);
// The broker client id of a cabinet's connection: "cabinetd-", the board in
// lower case, "-" and the cabinet's name (at most 58 characters, all ASCII).
// The name keeps two cabinets that report one board apart, so neither takes
// the other's connection over; the board keeps cabinets of one name on two
// cabinetds apart. Both are stable across restarts.
std::string client_id(const std::string &board, const std::string &cabinet);
// Whether cabinets' topics are told apart by their board alone: the prefix
// names no cabinet, so two cabinets that report one board id share every topic.
bool topics_shared_by_board(const MqttConfig &m);

// A command taken from the broker, checked and ready for a cabinet.
using MqttCommand = Command;
// A command read from the broker: checked, or refused before it reaches a
// cabinet ("bad_request", "unknown_topic", "not_supported",
// "payload_too_large"); and the request id its payload gave, which the
// answer echoes, a refusal's too (empty: none could be read).
struct MqttParsed {
    Result<MqttCommand> command;
    std::string request_id;
};
// The most a command's payload may carry.
inline constexpr std::size_t kMaxCommandPayload = 4096;
// Reads a command from the part of its topic after the cabinet's prefix
// ("door/3/open/set", "clear_fault/set") and its payload.
MqttParsed parse_mqtt_command(std::string_view subtopic, std::string_view payload,
                              std::size_t max_payload = kMaxCommandPayload);

// How far ahead of cabinetd's clock a command's sent_at_ms may be.
inline constexpr std::int64_t kSentAtSkewMs = 2000;
// Refuses a command whose sent_at_ms (Unix ms) is more than the skew ahead of
// now ("bad_request": it would never expire), or older than its ttl
// ("expired"). Any value is taken, without overflow.
Result<> check_sent_at(std::optional<std::int64_t> sent_at_ms, std::int64_t now_ms,
                       std::uint32_t ttl_ms);

// Why a command may not be carried out for `cabinet`, whose topics it came
// on were named after `topic_board`, now that the cabinet reports `board`
// ("" for none) and shares it with the cabinets `shared`: "board_id_shared"
// while the topic could mean one of those as well, "offline" while the topic
// names a board the cabinet no longer reports. Done: the topic means this
// cabinet alone.
Result<> check_identity(const MqttConfig &m, const std::string &cabinet,
                        const std::string &topic_board, const std::string &board,
                        const std::vector<std::string> &shared);

// A cabinet as its state topics show it, followed record by record.
struct TopicView {
    // What a state record holds of the controller's state line; events move
    // the part they tell of.
    struct State : ControllerView {
        bool inputs_valid = false, power_ok = false, heartbeat_ok = false, driver_ready = false;
    };
    Link link = Link::Down;
    std::string session_id;     // the controller's; empty: none seen
    std::optional<State> state; // since the link came up in this run
    std::string fw, hw;         // the firmware's and the board's versions, once heard
    // Doors whose every open needs a second person (bit d-1: door d): no
    // command of the broker's can open them, so discovery offers none.
    std::uint8_t two_person_doors = 0;
};
// The view of a cabinet's status, to start from.
TopicView view_of(const CabinetStatus &status);
// Follows one record of the cabinet: a link, session or state record, or an
// event that changes the doors or the controller's state, moves the view
// (true); any other record leaves it alone (false).
bool follow(TopicView &view, const Record &record);
// The cabinet is talking and its heartbeat is fresh.
bool looks_online(const TopicView &view);
// The link is up and its first state line is due: what the cabinet is
// (online or not, its state, its versions) is about to be known.
bool settling(const TopicView &view);
// The cabinet as a person would say it: the link, the controller's state, or
// its fault's explanation (what Home Assistant's state sensor shows).
std::string state_words(const TopicView &v);
// The payload of `state`, and of `door/<n>/state` (nothing while the
// controller is not talking: a door is never shown as it was when the link went).
nlohmann::json state_payload(const std::string &cabinet, const std::string &board,
                             const TopicView &view);
std::optional<nlohmann::json> door_payload(const TopicView &view, unsigned door);

// The payload of `event`: one journalled event of a cabinet.
nlohmann::json event_payload(const std::string &cabinet, const std::string &board,
                             const Record &event);
// The payload of `result`: a command's topic, request id, kind and door
// (`base`), completed with the cabinet's answer.
nlohmann::json result_payload(nlohmann::json base, const CommandResult &result);
// The answer to a command refused: the one shape of every refusal on the
// result topic, cabinetd's own or the policy's.
nlohmann::json refusal_payload(nlohmann::json base, const Refusal &r);
// A Home Assistant button of the cabinet's device `id`, named `key` in its
// ids, that publishes PRESS (QoS 1, not retained) on `command_topic`.
nlohmann::json discovery_button(const std::string &id, const std::string &key,
                                const std::string &name, const std::string &command_topic);

} // namespace cabinetd
