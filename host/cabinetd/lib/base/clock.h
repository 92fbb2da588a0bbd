// The two clocks cabinetd reads: the wall clock, for what records say and
// people read, and the steady clock, for intervals, which a wall clock set
// back or forward must not stretch or shrink.
#pragma once

#include <cabinet_host/clock.h>

#include <chrono>
#include <cstdint>

namespace cabinetd {

// Unix milliseconds.
inline std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Monotonic milliseconds, for intervals: the host library's clock.
using cabinet_host::steady_ms;

} // namespace cabinetd
