// Proof of life for the service watchdog. Each long-running part of cabinetd
// (the journal writer, every cabinet's thread, the HTTP loop, the MQTT bridge)
// marks its Progress every time its own loop goes round, and a part about to
// sleep until it has work says until when at the latest, so it need not wake
// only to show itself alive. A part that sleeps with no deadline of its own
// (an event loop waiting for its sockets) is asked instead: the watchdog asks
// as it looks, and the part marks once its loop gets round to the question.
// The watchdog pings systemd only while no part is past its mark by more than
// its interval, so a part stuck anywhere stops the pings and systemd restarts
// the service.
#pragma once

#include "clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
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

    // How to ask the part to mark from its own loop (set once, before the
    // watchdog looks); without it, ask() does nothing.
    void answer_with(std::function<void()> ask) { ask_ = std::move(ask); }
    // Called by the watchdog, from its own thread.
    void ask() const {
        if (ask_) ask_();
    }

private:
    std::string part_;
    std::function<void()> ask_;
    std::atomic<std::uint64_t> last_ms_;
};

} // namespace cabinetd
