#include "cabinet_host/clock.h"

namespace cabinet_host {
namespace {
// Values beyond this are no real clock (146 million years); lines carrying
// them are ignored for the estimate so the arithmetic below cannot overflow.
constexpr std::uint64_t kSane = std::uint64_t{1} << 62;
constexpr std::uint64_t kRoundingMarginMs = 1;
constexpr std::uint64_t kDriftDivisor = 5000; // 200 ppm
} // namespace

void ControllerClock::observe(std::uint64_t local_ms, std::uint64_t uptime_ms) {
    if (local_ms >= kSane || uptime_ms >= kSane) return;
    const auto offset = static_cast<std::int64_t>(local_ms) - static_cast<std::int64_t>(uptime_ms);
    // A newer sample with a smaller or equal offset makes older, larger ones useless.
    while (!samples_.empty() && samples_.back().offset >= offset) samples_.pop_back();
    samples_.push_back({local_ms, offset});
    // Let samples older than the window go, but always keep the newest.
    while (samples_.size() > 1 && local_ms - samples_.front().local_ms > window_ms_)
        samples_.pop_front();
}

std::optional<std::uint64_t> ControllerClock::now(std::uint64_t local_ms) const {
    if (samples_.empty() || local_ms >= kSane) return std::nullopt;
    const Sample &best = samples_.front();
    const std::uint64_t age = local_ms > best.local_ms ? local_ms - best.local_ms : 0;
    const std::int64_t margin =
        static_cast<std::int64_t>(kRoundingMarginMs + safety_ms_ + age / kDriftDivisor);
    const std::int64_t est = static_cast<std::int64_t>(local_ms) - best.offset - margin;
    return est > 0 ? static_cast<std::uint64_t>(est) : 0;
}

} // namespace cabinet_host
