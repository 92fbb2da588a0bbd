// The MQTT bridge's commands: what comes in on a cabinet's command topics,
// and the answers that go back on its result topic.
#include "mqtt_bridge.h"

#include "log.h"
#include "mqtt_uplink.h"

#include <fmt/format.h>

#include <random>

namespace cabinetd {

using nlohmann::json;

void MqttBridge::on_message(Uplink &u, const Topics &on, const std::string &topic,
                            const std::string &payload, bool retained, bool overloaded) {
    if (cfg_.discovery && topic == cfg_.ha_status_topic) {
        // Home Assistant came back and has forgotten its entities' states: a
        // fresh round of everything, after a short random delay so a fleet of
        // bridges does not answer all at once.
        if (payload == "online") {
            static thread_local std::mt19937 rng{std::random_device{}()};
            std::uniform_int_distribution<std::uint64_t> delay(
                0, static_cast<std::uint64_t>(timing_.ha_delay_max.count()));
            u.topics.ha_republish_at = now_ms() + delay(rng);
        }
        return;
    }
    if (topic.rfind(on.prefix, 0) != 0) return; // none of its subscriptions
    command(u, on, topic.substr(on.prefix.size()), payload, retained, overloaded);
}

namespace {

// How a command came, beside what it says.
struct Taken {
    bool retained = false, overloaded = false;
    std::int64_t received_ms = 0;
    bool online = false; // the cabinet, as its availability topic says
    // The board its topics were named after, and the cabinet's board and
    // who shares it, asked as the command is taken.
    std::string topic_board;
    BoardIds::Principal identity;
};

// Every check a command from the broker passes before it goes to its
// cabinet, in order, with base given what the answer names (request_id,
// command, door) as soon as it is known. Who may do what is not among them:
// that is the policy's, asked by the cabinet as it acts.
Result<MqttCommand> admit(const MqttConfig &cfg, const std::string &cabinet, MqttParsed parsed,
                          const Taken &t, json &base) {
    // A retained command would be carried out again by every reconnect, so
    // none is, whatever it says.
    const Refusal retained{
        "retained",
        "a retained command is never carried out: publish commands without the retain flag"};
    base["request_id"] = parsed.request_id.empty() ? json() : json(parsed.request_id);
    if (!parsed.command) {
        if (t.retained) return retained;
        return parsed.command;
    }
    auto &c = *parsed.command;
    base["command"] = c.kind == MqttCommand::Open ? "open"
        : c.kind == MqttCommand::AckAlarms        ? "alarm_ack"
                                                  : "clear_fault";
    if (c.kind == MqttCommand::Open) base["door"] = c.door;
    if (t.retained) return retained;
    if (t.overloaded)
        return Refusal{"overloaded",
                       "commands arrive faster than cabinetd takes them: "
                       "not carried out, send it again later"};
    if (auto fresh = check_sent_at(c.sent_at_ms, t.received_ms, c.ttl_ms); !fresh)
        return fresh.refusal();
    // Which cabinets share a board is asked now, not followed: a collision
    // known is in force from the next command on.
    if (auto own =
            check_identity(cfg, cabinet, t.topic_board, t.identity.board, t.identity.shared_with);
        !own)
        return own.refusal();
    if (!t.online)
        return Refusal{"offline",
                       "the cabinet is offline: its link is down or its controller silent"};
    return std::move(c);
}

} // namespace

// A command, taken on the topics `on` of the cabinet's connection (which may
// have gone since: the answer goes to the topics the command came on).
void MqttBridge::command(Uplink &u, const Topics &on, const std::string &sub,
                         const std::string &payload, bool retained, bool overloaded) {
    const auto received_ms = wall_ms();
    json base{{"topic", on.prefix + sub}};
    auto taken = admit(
        cfg_, u.name, parse_mqtt_command(sub, payload),
        {retained, overloaded, received_ms, u.topics.online, on.board, boards_.identity(u.name)},
        base);
    if (!taken) return answer(u, on.prefix, refusal_payload(std::move(base), taken.refusal()));
    auto &c = *taken;
    // The broker is a principal of its own (every sender on it: cabinetd
    // cannot tell them apart), which knows no persons, so it can never be
    // the second person a two-person door needs.
    const auto broker = Policy::broker();
    if (c.kind == MqttCommand::Open) {
        OpenArgs a = c.open_args();
        a.key = c.request_id;
        a.key_scope = "mqtt";
        a.who = broker;
        a.requested_by = broker.name;
        return u.cab->open(std::move(a), replier(u, on.prefix, std::move(base)));
    }
    // Acknowledging is idempotent by itself: the same command again finds
    // nothing left to acknowledge.
    if (c.kind == MqttCommand::AckAlarms)
        return u.cab->acknowledge_alarms(std::nullopt, broker,
                                         ack_replier(u, on.prefix, std::move(base)));
    // A fault clear is idempotent by its request id as well: the cabinet
    // gives the answer the first one got again.
    u.cab->clear_fault(ClearArgs{broker, broker.name, c.request_id, "mqtt"},
                       replier(u, on.prefix, std::move(base)));
}

void MqttBridge::answer(Uplink &u, const std::string &prefix, const json &result) {
    u.results.send({prefix + "result", result.dump()},
                   [&](const OwedResults::Owed &r) -> std::optional<int> {
                       if (!u.connected) return std::nullopt;
                       return u.client->publish(r.topic, r.payload, 1, false);
                   });
}

void MqttBridge::results_lost(Uplink &u) {
    if (const auto dropped = u.results.take_dropped())
        log(Level::Warning,
            fmt::format("{}: mqtt: {} answers dropped unsent: more were owed than the {} kept",
                        u.name, dropped, timing_.owed_results));
}

} // namespace cabinetd
