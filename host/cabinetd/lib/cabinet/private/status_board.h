// A cabinet's status as its thread keeps it, and the snapshots of it that
// every reader takes: a new one only when what the status shows has changed,
// told to whoever asked to be told. Any thread reads; the cabinet's thread
// changes it.
#pragma once

#include "cabinet_types.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace cabinetd {

class StatusBoard {
public:
    explicit StatusBoard(CabinetStatus first, bool journal_available);
    StatusBoard(const StatusBoard &) = delete;
    StatusBoard &operator=(const StatusBoard &) = delete;

    // Changes the status under its lock: change must not block.
    template <class Change> auto update(Change change) {
        std::lock_guard lk(mu_);
        return change(status_);
    }
    template <class Look> auto read(Look look) const {
        std::lock_guard lk(mu_);
        return look(static_cast<const CabinetStatus &>(status_));
    }
    CabinetStatus status() const;
    Link link() const;
    Snapshot snapshot() const;
    LiveFigures live() const;

    // When the controller last acknowledged a heartbeat (steady ms), none
    // while no acknowledgement is known on this link.
    void heartbeat_ok(std::optional<std::int64_t> at_ms);
    void line_figures(std::uint64_t uptime_ms, std::uint64_t event_seq);

    // Each is kept as long as the board and runs on the thread that
    // announces: it must not block.
    void on_change(std::function<void()> watcher);
    void on_snapshot(std::function<void(const Snapshot &)> told);

    // Makes a new snapshot and tells the watchers when what the status shows
    // (with the heartbeats' health and whether the journal can write) has
    // changed since they were last told; false when nothing had.
    bool announce(const std::string &heartbeat_health, bool journal_available);

private:
    mutable std::mutex mu_;
    CabinetStatus status_;
    Snapshot snapshot_;
    std::vector<std::function<void()>> watchers_;
    std::vector<std::function<void(const Snapshot &)>> told_;
    std::string announced_; // what the watchers were last told of, in short
    std::atomic<std::int64_t> heartbeat_ok_ms_{-1};
    std::atomic<std::uint64_t> uptime_ms_{0}, event_seq_{0};
};

} // namespace cabinetd
