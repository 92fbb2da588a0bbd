// The MQTT bridge's commands: what comes in on a cabinet's command topics,
// and the answers that go back on its result topic.
#include "mqtt_bridge.h"

#include "log.h"

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
            u.ha_republish_at = now_ms() + delay(rng);
        }
        return;
    }
    if (topic.rfind(on.prefix, 0) != 0) return; // none of its subscriptions
    command(u, on, topic.substr(on.prefix.size()), payload, retained, overloaded);
}

// A command, taken on the topics `on` of the cabinet's connection (which may
// have gone since: the answer goes to the topics the command came on).
void MqttBridge::command(Uplink &u, const Topics &on, const std::string &sub,
                         const std::string &payload, bool retained, bool overloaded) {
    const auto received_ms = wall_ms();
    auto parsed = parse_mqtt_command(sub, payload);
    json base{{"topic", on.prefix + sub}};
    const auto refuse_with = [&](const std::string &code, std::string text) {
        base["result"] = "error";
        base["code"] = code;
        base["text"] = std::move(text);
        answer(u, on.prefix, base);
    };
    // A retained command would be carried out again by every reconnect, so
    // none is, whatever it says.
    const char *const kRetained =
        "a retained command is never carried out: publish commands without the retain flag";
    if (auto *r = std::get_if<MqttRefusal>(&parsed)) {
        base["request_id"] = r->request_id.empty() ? json() : json(r->request_id);
        return retained ? refuse_with("retained", kRetained) : refuse_with(r->code, r->text);
    }
    auto &c = std::get<MqttCommand>(parsed);
    base["request_id"] = c.request_id.empty() ? json() : json(c.request_id);
    base["command"] = c.kind == MqttCommand::Open ? "open"
        : c.kind == MqttCommand::AckAlarms        ? "alarm_ack"
                                                  : "clear_fault";
    if (c.kind == MqttCommand::Open) base["door"] = c.door;
    if (retained) return refuse_with("retained", kRetained);
    if (overloaded)
        return refuse_with("overloaded",
                           "commands arrive faster than cabinetd takes them: "
                           "not carried out, send it again later");
    if (auto stale = check_sent_at(c.sent_at_ms, received_ms, c.ttl_ms))
        return refuse_with(stale->code, stale->text);
    // Which cabinets share a board is asked now, not followed: a collision
    // known is in force from the next command on.
    const auto id = boards_.identity(u.name);
    if (auto r = check_identity(cfg_, u.name, on.board, id.board, id.shared_with))
        return refuse_with(r->code, r->text);
    // The broker knows no persons, so nobody on it can be the second one.
    if (c.kind == MqttCommand::Open && u.cab->needs_approval(c.door))
        return refuse_with("approval_required",
                           fmt::format("door {} needs a second operator's approval: open it "
                                       "through the HTTP API or the page",
                                       c.door));
    if (!u.online)
        return refuse_with("offline",
                           "the cabinet is offline: its link is down or its controller silent");
    if (c.kind == MqttCommand::Open) {
        OpenArgs a = c.open_args();
        a.key = c.request_id;
        a.key_scope = "mqtt"; // every sender on the broker: cabinetd cannot tell them apart
        a.requested_by = "mqtt";
        return u.cab->open(std::move(a), replier(u, on.prefix, std::move(base)));
    }
    // Acknowledging is idempotent by itself: the same command again finds
    // nothing left to acknowledge.
    if (c.kind == MqttCommand::AckAlarms)
        return u.cab->acknowledge_alarms(std::nullopt, "mqtt",
                                         ack_replier(u, on.prefix, std::move(base)));
    // A fault clear is idempotent by its request id as well: the cabinet
    // gives the answer the first one got again.
    u.cab->clear_fault(ClearArgs{"mqtt", c.request_id, "mqtt"},
                       replier(u, on.prefix, std::move(base)));
}

void MqttBridge::answer(Uplink &u, const std::string &prefix, const json &result) {
    send_result(u, Owed{prefix + "result", result.dump()});
}

// An answer is owed until the broker has taken it (PUBACK): one sent on a
// connection that goes before that is sent again on the next, like one that
// came while there was none.
void MqttBridge::send_result(Uplink &u, Owed r) {
    std::optional<int> mid;
    if (u.connected) mid = u.client->publish(r.topic, r.payload, 1, false);
    if (!mid) return owe(u, std::move(r));
    u.results_inflight.emplace_back(*mid, std::move(r));
    // A broker that takes nothing would keep them all: past the bound the
    // oldest are left to the client library, which still sends them.
    if (u.results_inflight.size() > timing_.owed_results) u.results_inflight.pop_front();
}

// Keeps what is owed within its bound: past it the oldest go (and are
// logged by the bridge's next look at the cabinet).
void MqttBridge::owe(Uplink &u, Owed r) {
    u.unsent_results.push_back(std::move(r));
    while (u.unsent_results.size() + u.results_inflight.size() > timing_.owed_results &&
           !u.unsent_results.empty()) {
        u.unsent_results.pop_front();
        ++u.results_dropped;
    }
}

void MqttBridge::results_lost(Uplink &u) {
    if (!u.results_dropped) return;
    log(4,
        fmt::format("{}: mqtt: {} answers dropped unsent: more were owed than the {} kept", u.name,
                    std::exchange(u.results_dropped, 0), timing_.owed_results));
}

} // namespace cabinetd
