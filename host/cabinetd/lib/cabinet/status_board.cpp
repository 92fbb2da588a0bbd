#include "status_board.h"

#include "state_json.h"

#include <nlohmann/json.hpp>

namespace cabinetd {

namespace {

// What of a status is worth telling its watchers at once: not the counters,
// the controller's clock or the heartbeats' times, which move all the time.
// Whether the journal can write decides whether opens are admitted, so it
// counts too (the thread looks at least once a second, as lines come).
std::string shown(const CabinetStatus &s, bool journal_available) {
    nlohmann::json j{to_string(s.link),  s.link_reason,     s.session_id,
                     s.heartbeat_health, journal_available, s.rearm_until_ms.has_value()};
    if (s.state) j.push_back(state_json(*s.state, {.masks = true}));
    for (const auto &a : s.alarms) j.push_back({a.id, a.acknowledged_by.value_or("")});
    return j.dump();
}

} // namespace

StatusBoard::StatusBoard(CabinetStatus first, bool journal_available)
        : status_(std::move(first)),
          snapshot_(std::make_shared<const StatusSnapshot>(StatusSnapshot{1, status_})),
          announced_(shown(status_, journal_available)) {}

CabinetStatus StatusBoard::status() const {
    std::lock_guard lk(mu_);
    return status_;
}

Link StatusBoard::link() const {
    std::lock_guard lk(mu_);
    return status_.link;
}

Snapshot StatusBoard::snapshot() const {
    std::lock_guard lk(mu_);
    return snapshot_;
}

LiveFigures StatusBoard::live() const {
    LiveFigures f;
    if (const auto at = heartbeat_ok_ms_.load(std::memory_order_relaxed); at >= 0)
        f.heartbeat_ok_ms = at;
    f.uptime_ms = uptime_ms_.load(std::memory_order_relaxed);
    f.event_seq = event_seq_.load(std::memory_order_relaxed);
    return f;
}

void StatusBoard::heartbeat_ok(std::optional<std::int64_t> at_ms) {
    heartbeat_ok_ms_ = at_ms.value_or(-1);
}

void StatusBoard::line_figures(std::uint64_t uptime_ms, std::uint64_t event_seq) {
    uptime_ms_ = uptime_ms;
    event_seq_ = event_seq;
}

void StatusBoard::on_change(std::function<void()> watcher) {
    std::lock_guard lk(mu_);
    watchers_.push_back(std::move(watcher));
}

void StatusBoard::on_snapshot(std::function<void(const Snapshot &)> told) {
    std::lock_guard lk(mu_);
    told_.push_back(std::move(told));
}

bool StatusBoard::announce(const std::string &heartbeat_health, bool journal_available) {
    std::string now;
    std::vector<std::function<void()>> watchers;
    std::vector<std::function<void(const Snapshot &)>> told;
    Snapshot snap;
    {
        std::lock_guard lk(mu_);
        status_.heartbeat_health = heartbeat_health;
        now = shown(status_, journal_available);
        if (now == announced_) return false;
        snapshot_ = snap =
            std::make_shared<const StatusSnapshot>(StatusSnapshot{snapshot_->version + 1, status_});
        watchers = watchers_;
        told = told_;
        announced_ = now;
    }
    for (auto &w : watchers) w();
    for (auto &t : told) t(snap);
    return true;
}

} // namespace cabinetd
