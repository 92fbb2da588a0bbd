// Proof of life for the service watchdog. Each long-running part of cabinetd
// (the journal writer, every cabinet's thread, the HTTP loop, the MQTT bridge)
// marks its Progress every time its own loop goes round, busy or idle. The
// watchdog pings systemd only while every part has marked recently, so a part
// stuck anywhere stops the pings and systemd restarts the service.
#pragma once

#include "clock.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace cabinetd {

class Progress {
public:
    explicit Progress(std::string part);
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    // Called from the part's own loop.
    void mark();
    // Steady milliseconds of the last mark (construction counts as one).
    std::uint64_t last_ms() const { return last_ms_.load(std::memory_order_relaxed); }
    const std::string &part() const { return part_; }

private:
    std::string part_;
    std::atomic<std::uint64_t> last_ms_;
};

} // namespace cabinetd
