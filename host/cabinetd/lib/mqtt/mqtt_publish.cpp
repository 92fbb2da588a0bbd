// What a cabinet's topics say: its availability, state, doors and alarm
// state, and its Home Assistant discovery.
#include "mqtt_bridge.h"
#include "mqtt_discovery.h"
#include "mqtt_uplink.h"

#include <cabinet_host/protocol.h>

#include <fmt/format.h>

namespace cabinetd {

namespace ch = cabinet_host;

// Whether another of the cabinets reports the cabinet's board, as BoardIds
// last said (each cabinet's board follows it: take_board). Counted, not
// looked for among every cabinet at each look.
bool MqttBridge::board_shared(const Uplink &u) const {
    const auto at = board_count_.find(u.counted);
    return !u.counted.empty() && at != board_count_.end() && at->second > 1;
}

// Whether the cabinet's topics are another cabinet's too: one board id, and
// a prefix that names no cabinet.
bool MqttBridge::shares_topics(const Uplink &u) const {
    return topics_shared_by_board(cfg_) && board_shared(u);
}

// Two layers of availability: the will covers cabinetd; this covers the
// cabinet. A lost connection counts at once; silence or a stale heartbeat
// only once it has lasted, so a single late state line does not flap it.
void CabinetTopics::watch_availability(std::uint64_t now) {
    if (looks_online(view)) {
        bad_since.reset();
        online = true;
        return;
    }
    if (!bad_since) bad_since = now;
    if (view.link == Link::Down ||
        now - *bad_since >= static_cast<std::uint64_t>(timing_.offline_after.count()))
        online = false;
}

// Whether to hold what the cabinet's topics say while its first state line is
// due: just after the bridge started (the cabinet is still connecting), or
// once its link has come up. For a moment at most: a cabinet that stays down,
// or a controller that sends no state, is shown as it is.
bool CabinetTopics::holding(std::uint64_t now) const {
    if (view.link == Link::Up && view.state) return false;
    const auto wait = static_cast<std::uint64_t>(timing_.first_state_wait.count());
    if (now - started_ms < wait) return true;
    return settling(view) && (!bad_since || now - *bad_since < wait);
}

// What the topics say, where it changed (or all of it, forced). Topics
// shared by cabinets of one board say "offline" and nothing more: whatever
// else went there would be either cabinet's, and overwritten by the other's.
// Their events and alarms wait in the journal until the topics are one
// cabinet's again. Just after a start or a link coming up, nothing is said
// while the first state line is due: never a passing "offline" or a state of
// nulls for a cabinet that is up.
void CabinetTopics::refresh(const On &on, bool board_shared, bool force, std::uint64_t now) {
    if (shared) {
        publish_retained(on, "availability", "offline", force);
        return;
    }
    if (!holding(now)) publish_retained(on, "availability", online ? "online" : "offline", force);
    discover(on, board_shared, force, now);
    if (!holding(now)) publish_status(on, force);
}

void CabinetTopics::publish_retained(const On &on, const std::string &sub,
                                     const std::string &payload, bool force) {
    auto &last = retained_[sub];
    if (!force && last == payload) return;
    if (on.client.publish(on.prefix + sub, payload, 1, true)) last = payload;
}

bool CabinetTopics::told(Snapshot s) {
    if (!s || (snap && s->version <= snap->version)) return false;
    snap = std::move(s);
    view = view_of(snap->status);
    return true;
}

void CabinetTopics::cold_start() {
    retained_.clear();
    ha_republish_at.reset();
    discovered_.reset();
}

// Built only when the cabinet told a new snapshot since (or all of it is
// said afresh): a cabinet that does not change costs nothing here.
void CabinetTopics::publish_status(const On &on, bool force) {
    if (!force && built_ == snap->version) return;
    built_ = snap->version;
    publish_retained(on, "state", state_payload(on.name, on.board, view).dump(), force);
    for (unsigned d = 1; d <= ch::kDoors; ++d)
        if (auto door = door_payload(view, d))
            publish_retained(on, fmt::format("door/{}/state", d), door->dump(), force);
    publish_retained(on, "alarm/state", alarm_state_payload(snap->status.alarms).dump(), force);
}

// The journal's chain head, every journal_head_s and on each new connection
// (which forgets what was published): copies outside the host for a site to
// keep as anchors. Topics shared by two cabinets say nothing but "offline",
// and nothing is said before the first state line (refresh).
void CabinetTopics::publish_journal_head(const On &on, Journal &journal, std::uint64_t now) {
    if (shared || holding(now) || (now < head_at && retained_.count("journal/head"))) return;
    // Only a head the journal's own check found holding (the journal says
    // when that changes).
    const auto h = journal.published_head();
    if (!h) return;
    head_at = now + std::uint64_t{cfg_.journal_head_s} * 1000;
    publish_retained(on, "journal/head",
                     nlohmann::json{{"origin", to_hex(h->origin)},
                                    {"count", h->count},
                                    {"hash", to_hex(h->hash)},
                                    {"cursor", h->cursor},
                                    {"anchor", anchor_text(*h)},
                                    {"at_ms", wall_ms()}}
                         .dump(),
                     false);
}

// Home Assistant keeps the versions of the first discovery it gets: it goes
// out once the cabinet's state line has said them (or the line is not up, and
// may not say them for long), and again whenever they change.
void CabinetTopics::discover(const On &on, bool board_shared, bool again, std::uint64_t now) {
    // The device and its entities are named by the board, whatever the prefix.
    if (!cfg_.discovery || holding(now) || board_shared) return;
    std::pair versions{view.fw, view.hw};
    if (!again && discovered_ == versions) return;
    on.client.publish(discovery_topic(cfg_, on.board),
                      discovery_config(on.name, on.board, on.prefix, view).dump(), 1, true);
    discovered_ = std::move(versions);
}

} // namespace cabinetd
