#include "progress.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <thread>

namespace cabinetd {
namespace {

const std::uint64_t kStartMs = steady_ms();

// Test-only seam: CABINETD_TEST_STALL="PART,AFTER_MS,FOR_MS" makes the named
// part's loop hang in mark() from AFTER_MS after start-up for FOR_MS, as a
// part stuck in a system call or a deadlock would, so a test can see the
// watchdog stop pinging and name the part. Never set in production.
struct Stall {
    std::string part;
    std::uint64_t from_ms = 0, to_ms = 0;
};

std::optional<Stall> parse_stall() {
    const char *env = std::getenv("CABINETD_TEST_STALL");
    if (!env) return std::nullopt;
    const std::string_view s(env);
    const auto c1 = s.find(',');
    const auto c2 = c1 == std::string_view::npos ? c1 : s.find(',', c1 + 1);
    if (c2 == std::string_view::npos) return std::nullopt;
    std::uint64_t after = 0, length = 0;
    const auto num = [](std::string_view t, std::uint64_t &v) {
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
        return ec == std::errc() && p == t.data() + t.size();
    };
    if (!num(s.substr(c1 + 1, c2 - c1 - 1), after) || !num(s.substr(c2 + 1), length))
        return std::nullopt;
    return Stall{std::string(s.substr(0, c1)), kStartMs + after, kStartMs + after + length};
}

const std::optional<Stall> &stall() {
    static const std::optional<Stall> s = parse_stall();
    return s;
}

} // namespace

Progress::Progress(std::string part) : part_(std::move(part)), last_ms_(steady_ms()) {}

void Progress::mark() { idle_for(std::chrono::milliseconds(0)); }

void Progress::idle_for(std::chrono::milliseconds wait) {
    if (const auto &s = stall(); s && s->part == part_) {
        const auto now = steady_ms();
        if (now >= s->from_ms && now < s->to_ms) {
            // Hung at work, not asleep: what the part promised before it woke
            // no longer covers it.
            last_ms_.store(now, std::memory_order_relaxed);
            std::this_thread::sleep_for(std::chrono::milliseconds(s->to_ms - now));
        }
    }
    const auto ms = static_cast<std::uint64_t>(std::max<std::int64_t>(wait.count(), 0));
    last_ms_.store(steady_ms() + ms, std::memory_order_relaxed);
}

} // namespace cabinetd
