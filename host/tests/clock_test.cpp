#include "cabinet_host/clock.h"

#include <gtest/gtest.h>

#include <random>

using cabinet_host::ControllerClock;

namespace {

// A controller whose clock started at host time `boot_ms` and runs at
// (1 + ppm/1e6) of the host's rate; lines arrive after a random delay.
struct Link {
    std::int64_t boot_ms;
    double ppm;
    std::uint64_t controller_at(std::uint64_t host_ms) const {
        const double elapsed = static_cast<double>(static_cast<std::int64_t>(host_ms) - boot_ms);
        return static_cast<std::uint64_t>(elapsed * (1.0 + ppm / 1e6)); // floor, like the firmware
    }
};

// Drives a clock with lines for `duration` host ms; checks at every moment
// that the estimate is never ahead of the controller and returns the largest
// lag seen after the first second.
std::uint64_t run(ControllerClock &clk, const Link &link, std::uint64_t start,
                  std::uint64_t duration, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delay(0, 60); // write time plus host scheduling
    std::uint64_t max_lag = 0;
    for (std::uint64_t t = start; t < start + duration; t += 7) {
        if (t % 250 < 7) {
            // The line carries the controller's time of a tick a little earlier.
            const std::uint64_t stamp_at = t - static_cast<std::uint64_t>(delay(rng));
            clk.observe(t, link.controller_at(stamp_at));
        }
        const auto est = clk.now(t);
        if (!est) continue;
        const std::uint64_t truth = link.controller_at(t);
        EXPECT_LE(*est, truth) << "estimate ahead of the controller at host time " << t;
        if (t > start + 1000) max_lag = std::max(max_lag, truth - *est);
    }
    return max_lag;
}

} // namespace

TEST(ControllerClock, UnknownUntilTheFirstLineAndAfterReset) {
    ControllerClock c(10000, 0);
    EXPECT_FALSE(c.now(1000));
    c.observe(1000, 400);
    ASSERT_TRUE(c.now(1000));
    EXPECT_LE(*c.now(1000), 400u);
    EXPECT_GE(*c.now(1500), 898u); // follows local time
    c.reset();
    EXPECT_FALSE(c.now(1500));
}

TEST(ControllerClock, NeverAheadOfTheControllerAndClose) {
    for (unsigned seed = 1; seed <= 5; ++seed) {
        ControllerClock tight(10000, 0);
        EXPECT_LT(run(tight, {100000, 0.0}, 200000, 20000, seed), 40u) << "lags more than needed";
        ControllerClock safe(10000, 100);
        EXPECT_LT(run(safe, {100000, 0.0}, 200000, 20000, seed), 140u);
    }
}

TEST(ControllerClock, NeverAheadWhileTheClocksDrift) {
    // A slow controller makes old samples optimistic; the window and margin
    // must keep the estimate behind it over a long run.
    for (double ppm : {-200.0, -50.0, 50.0, 200.0}) {
        ControllerClock c(30000, 0);
        run(c, {0, ppm}, 1000, 600000, 7);
    }
}

TEST(ControllerClock, IgnoresAbsurdValuesAndClampsAtZero) {
    ControllerClock c(10000, 0);
    c.observe(10, 18446744073709551615ull);
    EXPECT_FALSE(c.known());
    c.observe(10, 0);
    EXPECT_EQ(c.now(10), 0u); // margin never takes it below zero
}

TEST(ControllerClock, SafetyMarginCoversAControllerClockThatFallsBehind) {
    // The controller's clock stalls for 90 ms after our samples (a simulated
    // board on a busy host): the margin keeps the estimate behind it, and a
    // rebase on the controller's word starts over from its time.
    ControllerClock c;
    c.observe(1000, 500);
    c.observe(2000, 1500);
    const std::uint64_t truth = 2500 - 90;
    EXPECT_LE(*c.now(2500), truth);
    c.rebase(2600, 2000);
    EXPECT_LE(*c.now(2600), 2000u);
    EXPECT_GE(*c.now(2600), 1890u);
}
