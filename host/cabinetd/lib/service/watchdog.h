// systemd's watchdog (the unit's WatchdogSec=): WATCHDOG=1 goes to systemd
// only while every part of the service (the journal writer, each cabinet's
// thread, the HTTP loop, the MQTT bridge) has shown progress within the
// interval, as each marks it from its own loop. A part that is stuck is
// named in the log, once, and so is its recovery; without the pings,
// systemd restarts the service.
#pragma once

#include "service.h"

#include <chrono>
#include <cstdint>
#include <optional>

namespace cabinetd {

class Watchdog {
public:
    Watchdog(const Service &svc, std::uint64_t interval_ms)
            : svc_(svc), interval_ms_(interval_ms) {}

    // The watchdog systemd asks for, or nothing.
    static std::optional<Watchdog> from_systemd(const Service &svc);

    // How often tick() is due: twice per interval, so a ping never comes late.
    std::chrono::milliseconds tick_interval() const;
    // Looks at every part, and pings systemd while none is stuck.
    void tick();

private:
    const Service &svc_;
    std::uint64_t interval_ms_;
    bool stuck_ = false;
};

} // namespace cabinetd
