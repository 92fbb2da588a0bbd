// The latch output driver: refusals, pulse timing and replacement.
#include "harness.h"

namespace {

bool latch_pin_ever_driven_high() {
    for (const auto &c : sim::pin_log())
        if (c.gpio >= 2 && c.gpio <= 10 && c.what == sim::pin_change_kind::output_value && c.value == 1)
            return true;
    return false;
}

} // namespace

TEST(Latch, UnsafeRequestsAreRefusedIntoTheFaultLatch) {
    for (const auto &[mask, ms, feedback_high] : {std::tuple{0x03, 500u, false}, std::tuple{0x01, 99u, false},
                                                  std::tuple{0x01, 1001u, false}, std::tuple{0x01, 500u, true}}) {
        Bench b;
        if (feedback_high) sim::set_feedback_fault(sim::feedback_fault::stuck_high);
        sim::clear_pin_log();
        outputs(nullptr, uint8_t(mask), ms);
        EXPECT_EQ(hal_fault, 1) << mask << " " << ms;
        EXPECT_FALSE(latch_pin_ever_driven_high());
        EXPECT_EQ(sim::alarms_pending(), 0u);
    }
    Bench b; // no alarm left to end the pulse: it is never started
    while (alarm_pool_add_alarm_at(alarm_pool_get_default(), from_us_since_boot(INT64_MAX),
                                   [](alarm_id_t, void *) -> int64_t { return 0; }, nullptr, false) > 0) {
    }
    sim::clear_pin_log();
    outputs(nullptr, 0x01, 500);
    EXPECT_EQ(hal_fault, 1);
    EXPECT_FALSE(latch_pin_ever_driven_high());
}

TEST(Latch, PulseEndsOnTimeAndTheLateOffIsHarmless) {
    Bench b;
    outputs(nullptr, 0x80, 1000);
    EXPECT_TRUE(sim::pin_level(9) && sim::pin_level(10));
    sim::advance(999900000u);
    EXPECT_TRUE(sim::pin_level(9));
    sim::advance(200000u);
    EXPECT_FALSE(sim::pin_level(9) || sim::pin_level(10));
    EXPECT_EQ(pulse_expired, 1);
    EXPECT_EQ(pulse_alarm, 0);
    outputs(nullptr, 0, 0); // the controller's own end, after the alarm
    EXPECT_EQ(hal_fault, 0);
}

TEST(Latch, SecondPulseReplacesTheFirstAndOffCancels) {
    Bench b;
    outputs(nullptr, 0x01, 500);
    sim::advance(100000000u);
    outputs(nullptr, 0x02, 300);
    EXPECT_FALSE(sim::pin_level(2));
    EXPECT_TRUE(sim::pin_level(3));
    EXPECT_EQ(sim::alarms_pending(), 1u);
    sim::advance(299000000u);
    EXPECT_TRUE(sim::pin_level(3));
    sim::advance(2000000u);
    EXPECT_FALSE(sim::pin_level(3) || sim::pin_level(10));
    outputs(nullptr, 0x04, 500);
    outputs(nullptr, 0, 12345); // off, whatever the length
    EXPECT_EQ(sim::alarms_pending(), 0u);
    EXPECT_FALSE(sim::pin_level(4));
    EXPECT_EQ(hal_fault, 0);
}
