#include "watchdog.h"

#include "clock.h"
#include "log.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <string>
#include <vector>

#include <systemd/sd-daemon.h>

namespace cabinetd {

std::optional<Watchdog> Watchdog::from_systemd(const Service &svc) {
    std::uint64_t us = 0;
    if (sd_watchdog_enabled(0, &us) <= 0 || us == 0) return std::nullopt;
    return Watchdog(svc, us / 1000);
}

std::chrono::milliseconds Watchdog::tick_interval() const {
    return std::chrono::milliseconds(std::max<std::uint64_t>(interval_ms_ / 2, 100));
}

void Watchdog::tick() {
    const auto now = steady_ms();
    std::vector<std::string> stuck;
    for (const auto *p : svc_.progress_marks()) {
        if (now - std::min(now, p->last_ms()) > interval_ms_)
            stuck.push_back(
                fmt::format("{} (no progress for {} ms)", p->part(), now - p->last_ms()));
        // Answered by the next look, half an interval from now.
        p->ask();
    }
    if (stuck.empty()) {
        if (stuck_)
            log(Level::Notice, "watchdog: every part shows progress again; pinging systemd again");
        stuck_ = false;
        sd_notify(0, "WATCHDOG=1");
        return;
    }
    if (!stuck_)
        log(Level::Critical,
            fmt::format("watchdog: stuck: {}; not pinging systemd, which restarts the service",
                        fmt::join(stuck, ", ")));
    stuck_ = true;
}

} // namespace cabinetd
