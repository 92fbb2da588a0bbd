// The two clocks cabinetd reads: the wall clock, for what records say and
// people read, and the steady clock, for intervals, which a wall clock set
// back or forward must not stretch or shrink.
//
// What waits (a cabinet's line, the idempotency replay window, stream
// tokens, the MQTT bridge's timers) reads the steady clock through a
// SteadyClock it is handed, so that a test can move time by hand instead of
// sleeping through it.
#pragma once

#include <cabinet_host/clock.h>

#include <chrono>
#include <cstdint>
#include <functional>

namespace cabinetd {

// Unix milliseconds.
inline std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Monotonic milliseconds, for intervals: the host library's clock.
using cabinet_host::steady_ms;

// Monotonic milliseconds, as handed to what waits; empty: steady_ms.
using SteadyClock = std::function<std::uint64_t()>;

// The clock itself, or steady_ms where none was given.
inline SteadyClock or_steady(SteadyClock clock) {
    if (clock) return clock;
    return [] { return steady_ms(); };
}

} // namespace cabinetd
