// Estimate of the controller's uptime clock, for stamping "issued_at_ms".
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

namespace cabinet_host {

// The host's monotonic milliseconds: what intervals and the controller's
// clock are measured against, which a wall clock set back or forward must not
// stretch or shrink.
inline std::uint64_t steady_ms() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// Every line the controller sends carries its uptime at some moment before the
// line arrived here. So for each line, local_receive_ms - uptime_ms is at
// least the true offset between the two clocks, and the smallest such value
// over recent lines gives an estimate of the controller's time that is never
// ahead of it: a command stamped with it is never "future_command".
//
// The minimum is taken over a sliding window so that the estimate follows
// drift between the two crystals, and a margin keeps it behind the
// controller: 1 ms for the millisecond rounding on both sides, 200 ppm of the
// sample's age for drift, and a fixed safety_ms for a controller clock that
// does not run steadily against ours (a simulated board paced against a busy
// host's wall clock falls behind by tens of milliseconds now and then). The
// margin costs that much of a command's ttl and nothing else.
class ControllerClock {
public:
    explicit ControllerClock(std::uint64_t window_ms = 10000, std::uint64_t safety_ms = 100)
            : window_ms_(window_ms), safety_ms_(safety_ms) {}

    // One line received at local_ms carrying the controller's uptime_ms.
    void observe(std::uint64_t local_ms, std::uint64_t uptime_ms);

    // The controller's uptime now, conservatively; nothing before the first line.
    std::optional<std::uint64_t> now(std::uint64_t local_ms) const;

    // Forget everything (a new session started: its clock began at zero again).
    void reset() { samples_.clear(); }

    // Start again from one line: the controller said our estimate was ahead
    // ("future_command"), so older samples no longer describe its clock.
    void rebase(std::uint64_t local_ms, std::uint64_t uptime_ms) {
        samples_.clear();
        observe(local_ms, uptime_ms);
    }

    bool known() const { return !samples_.empty(); }

private:
    struct Sample {
        std::uint64_t local_ms;
        std::int64_t offset; // local_ms - uptime_ms
    };
    std::uint64_t window_ms_;
    std::uint64_t safety_ms_;
    // Monotonic queue: offsets strictly increase from front to back, so the
    // front is the minimum over the window.
    std::deque<Sample> samples_;
};

} // namespace cabinet_host
