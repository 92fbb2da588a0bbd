// The MQTT bridge's commands: what comes in on a cabinet's command topics,
// and the answers that go back on its result topic.
#include "mqtt_bridge.h"

#include <random>

namespace cabinetd {

using nlohmann::json;

void MqttBridge::on_message(Unit &u, const std::string &topic, const std::string &payload,
                            bool retained, bool overloaded) {
    if (cfg_.discovery && topic == cfg_.ha_status_topic) {
        // Home Assistant came back and has forgotten its entities' states: a
        // fresh round of everything, after a short random delay so a fleet of
        // bridges does not answer all at once.
        if (payload == "online") {
            static thread_local std::mt19937 rng{std::random_device{}()};
            std::uniform_int_distribution<std::uint64_t> delay(
                0, static_cast<std::uint64_t>(timing_.ha_delay_max.count()));
            u.ha_republish_at = steady_ms() + delay(rng);
        }
        return;
    }
    if (topic.rfind(u.prefix, 0) != 0) return;
    command(u, topic.substr(u.prefix.size()), payload, retained, overloaded);
}

void MqttBridge::command(Unit &u, const std::string &sub, const std::string &payload, bool retained,
                         bool overloaded) {
    const auto received_ms = wall_ms();
    auto parsed = parse_mqtt_command(sub, payload);
    json base{{"topic", u.prefix + sub}};
    const auto refuse_with = [&](const std::string &code, std::string text) {
        base["result"] = "error";
        base["code"] = code;
        base["text"] = std::move(text);
        answer(u, std::move(base));
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
    base["command"] = c.kind == MqttCommand::Open ? "open" : "clear_fault";
    if (c.kind == MqttCommand::Open) base["door"] = c.door;
    if (retained) return refuse_with("retained", kRetained);
    if (overloaded)
        return refuse_with("overloaded",
                           "commands arrive faster than cabinetd takes them: "
                           "not carried out, send it again later");
    if (auto stale = check_sent_at(c.sent_at_ms, received_ms, c.ttl_ms))
        return refuse_with(stale->code, stale->text);
    if (!u.online)
        return refuse_with("offline",
                           "the cabinet is offline: its link is down or its controller silent");
    if (c.kind == MqttCommand::Open) {
        OpenArgs a = c.open_args();
        a.key = c.request_id;
        a.key_scope = "mqtt"; // every sender on the broker: cabinetd cannot tell them apart
        a.requested_by = "mqtt";
        return u.cab->open(std::move(a), replier(u, std::move(base)));
    }
    // A fault clear is idempotent by its request id as well: the answer the
    // first one got is given again.
    if (!c.request_id.empty())
        if (auto it = u.clears.find(c.request_id); it != u.clears.end()) {
            auto again = it->second;
            again["replayed"] = true;
            return answer(u, std::move(again));
        }
    u.cab->clear_fault(ClearArgs{"mqtt", c.request_id, "mqtt"}, replier(u, std::move(base)));
}

void MqttBridge::answer(Unit &u, json result) {
    if (!u.connected) {
        if (u.unsent_results.size() < 100) u.unsent_results.push_back(std::move(result));
        return;
    }
    u.client->publish(u.prefix + "result", result.dump(), 1, false);
}

} // namespace cabinetd
