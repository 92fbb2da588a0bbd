// What a cabinet's topics say: its availability, state, doors and alarm
// state, and its Home Assistant discovery.
#include "mqtt_bridge.h"
#include "mqtt_discovery.h"

#include <cabinet_host/protocol.h>

#include <fmt/format.h>

namespace cabinetd {

namespace ch = cabinet_host;

// Whether the cabinet's topics are another cabinet's too: one board id, and
// a prefix that names no cabinet.
bool MqttBridge::shares_topics(const Uplink &u) const {
    return topics_shared_by_board(cfg_) && !boards_.shared_with(u.name).empty();
}

// Two layers of availability: the will covers cabinetd; this covers the
// cabinet. A lost connection counts at once; silence or a stale heartbeat
// only once it has lasted, so a single late state line does not flap it.
void MqttBridge::watch_availability(Uplink &u, std::uint64_t now) {
    if (looks_online(u.view)) {
        u.bad_since.reset();
        u.online = true;
        return;
    }
    if (!u.bad_since) u.bad_since = now;
    if (u.view.link == Link::Down ||
        now - *u.bad_since >= static_cast<std::uint64_t>(timing_.offline_after.count()))
        u.online = false;
}

// Whether to hold what the cabinet's topics say while its first state line is
// due: just after the bridge started (the cabinet is still connecting), or
// once its link has come up. For a moment at most: a cabinet that stays down,
// or a controller that sends no state, is shown as it is.
bool MqttBridge::holding(const Uplink &u) const {
    if (u.view.link == Link::Up && u.view.state) return false;
    const auto now = now_ms();
    const auto wait = static_cast<std::uint64_t>(timing_.first_state_wait.count());
    if (now - u.started_ms < wait) return true;
    return settling(u.view) && (!u.bad_since || now - *u.bad_since < wait);
}

// What the topics say, where it changed (or all of it, forced). Topics
// shared by cabinets of one board say "offline" and nothing more: whatever
// else went there would be either cabinet's, and overwritten by the other's.
// Their events and alarms wait in the journal until the topics are one
// cabinet's again. Just after a start or a link coming up, nothing is said
// while the first state line is due: never a passing "offline" or a state of
// nulls for a cabinet that is up.
void MqttBridge::refresh(Uplink &u, bool force) {
    if (u.shared) {
        publish_retained(u, "availability", "offline", force);
        return;
    }
    if (!holding(u)) publish_retained(u, "availability", u.online ? "online" : "offline", force);
    discover(u, force);
    if (!holding(u)) publish_status(u, force);
}

void MqttBridge::publish_retained(Uplink &u, const std::string &sub, const std::string &payload,
                                  bool force) {
    auto &last = u.retained[sub];
    if (!force && last == payload) return;
    if (u.client->publish(u.prefix + sub, payload, 1, true)) last = payload;
}

void MqttBridge::publish_status(Uplink &u, bool force) {
    publish_retained(u, "state", state_payload(u.name, u.board, u.view).dump(), force);
    for (unsigned d = 1; d <= ch::kDoors; ++d)
        if (auto door = door_payload(u.view, d))
            publish_retained(u, fmt::format("door/{}/state", d), door->dump(), force);
    publish_retained(u, "alarm/state", alarm_state_payload(u.cab->alarms()).dump(), force);
}

// The journal's chain head, every journal_head_s and on each new connection
// (which forgets what was published): copies outside the host for a site to
// keep as anchors. Topics shared by two cabinets say nothing but "offline",
// and nothing is said before the first state line (refresh).
void MqttBridge::publish_journal_head(Uplink &u, std::uint64_t now) {
    if (u.shared || holding(u) || (now < u.head_at && u.retained.count("journal/head"))) return;
    u.head_at = now + std::uint64_t{cfg_.journal_head_s} * 1000;
    const auto h = journal_.head();
    publish_retained(u, "journal/head",
                     nlohmann::json{{"count", h.count},
                                    {"hash", to_hex(h.hash)},
                                    {"cursor", h.cursor},
                                    {"anchor", anchor_text(h)},
                                    {"at_ms", wall_ms()}}
                         .dump(),
                     false);
}

void MqttBridge::publish_discovery(Uplink &u) {
    u.client->publish(discovery_topic(cfg_, u.board),
                      discovery_config(u.name, u.board, u.prefix, u.view).dump(), 1, true);
}

// Home Assistant keeps the versions of the first discovery it gets: it goes
// out once the cabinet's state line has said them (or the line is not up, and
// may not say them for long), and again whenever they change.
void MqttBridge::discover(Uplink &u, bool again) {
    // The device and its entities are named by the board, whatever the prefix.
    if (!cfg_.discovery || holding(u) || !boards_.shared_with(u.name).empty()) return;
    std::pair versions{u.view.fw, u.view.hw};
    if (!again && u.discovered == versions) return;
    publish_discovery(u);
    u.discovered = std::move(versions);
}

} // namespace cabinetd
