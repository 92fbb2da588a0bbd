// Proof of life for the service watchdog. Each long-running part of cabinetd
// (the journal writer, every cabinet's thread, the HTTP loop, the MQTT bridge)
// marks its Progress every time its own loop goes round, and a part about to
// sleep until it has work says until when at the latest, so it need not wake
// only to show itself alive. The watchdog pings systemd only while no part is
// past its mark by more than its interval, so a part stuck anywhere stops the
// pings and systemd restarts the service.
#pragma once

#include "clock.h"

#include <atomic>
#include <chrono>
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
    // Called from the part's own loop as it goes to sleep for at most `wait`:
    // it counts as alive until then.
    void idle_for(std::chrono::milliseconds wait);
    // Steady milliseconds until which the part counts as alive: its last
    // mark, or the end of the wait it went to sleep for (construction counts
    // as a mark).
    std::uint64_t last_ms() const { return last_ms_.load(std::memory_order_relaxed); }
    const std::string &part() const { return part_; }

private:
    std::string part_;
    std::atomic<std::uint64_t> last_ms_;
};

} // namespace cabinetd
