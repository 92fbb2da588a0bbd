// The latch output driver: refusals, pulse timing, replacement, and the alarm
// against the switch-on.
#include "harness.h"

namespace {

bool any_latch_pin_driven_high() {
    for (const auto &c : sim::pin_log())
        if (c.gpio >= 2 && c.gpio <= 10 && c.what == sim::pin_change_kind::output_value && c.value == 1)
            return true;
    return false;
}

// Absolute times (ns) at which gpio's output went high and low again.
std::pair<uint64_t, uint64_t> pulse_edges(unsigned gpio) {
    uint64_t up = 0, down = 0;
    for (const auto &c : sim::pin_log()) {
        if (c.gpio != gpio || c.what != sim::pin_change_kind::output_value) continue;
        if (c.value == 1) up = c.time_ns;
        if (c.value == 0 && up != 0) down = c.time_ns;
    }
    return {up, down};
}

} // namespace

TEST(Latch, UnsafeRequestsAreRefusedIntoTheFaultLatch) {
    struct Case {
        uint8_t mask;
        uint32_t ms;
        bool feedback_high;
    };
    for (const Case c : {Case{0x03, 500, false}, Case{0x01, 99, false}, Case{0x01, 1001, false},
                         Case{0x01, 500, true}}) {
        Bench b;
        if (c.feedback_high) sim::set_feedback_fault(sim::feedback_fault::stuck_high);
        sim::clear_pin_log();
        outputs(nullptr, c.mask, c.ms);
        EXPECT_EQ(hal_fault, 1) << int(c.mask) << " " << c.ms;
        EXPECT_FALSE(any_latch_pin_driven_high());
        EXPECT_EQ(sim::alarms_pending(), 0u);
    }
    Bench b; // no alarm left to end the pulse: it is never started
    while (alarm_pool_add_alarm_at(alarm_pool_get_default(), from_us_since_boot(INT64_MAX),
                                   [](alarm_id_t, void *) -> int64_t { return 0; }, nullptr, false) > 0) {
    }
    sim::clear_pin_log();
    outputs(nullptr, 0x01, 500);
    EXPECT_EQ(hal_fault, 1);
    EXPECT_FALSE(any_latch_pin_driven_high());

    Bench b2;
    outputs(nullptr, 0x01, 500);
    outputs(nullptr, 0, 12345); // off, whatever the length: cancels, no fault
    EXPECT_EQ(hal_fault, 0);
    EXPECT_EQ(sim::alarms_pending(), 0u);
    EXPECT_FALSE(sim::pin_level(2));
}

TEST(Latch, PulseEndsOnTimeAndTheLateOffFindsNothing) {
    for (const auto &[mask, ms, gpio] : {std::tuple{0x01, 100u, 2u}, std::tuple{0x80, 1000u, 9u}}) {
        Bench b;
        sim::clear_pin_log();
        outputs(nullptr, uint8_t(mask), ms);
        EXPECT_TRUE(sim::pin_level(gpio));
        EXPECT_TRUE(sim::pin_level(10));
        EXPECT_GT(pulse_alarm, 0);
        sim::advance(uint64_t(ms) * 1000000u + 1000u);
        const auto [up, down] = pulse_edges(gpio);
        EXPECT_LE(down - up, uint64_t(ms) * 1000000u);
        EXPECT_GE(down - up, uint64_t(ms) * 1000000u - 10000u);
        EXPECT_FALSE(sim::pin_level(10));
        EXPECT_EQ(pulse_expired, 1);
        EXPECT_EQ(pulse_alarm, 0);
        outputs(nullptr, 0, 0); // the controller's own end of the pulse
        EXPECT_EQ(hal_fault, 0);
        EXPECT_FALSE(any_latch_pin_driven_high() && sim::pin_level(gpio));
    }
}

TEST(Latch, SecondPulseReplacesTheFirst) {
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
    EXPECT_FALSE(sim::pin_level(3));
    EXPECT_FALSE(sim::pin_level(10));
    EXPECT_EQ(hal_fault, 0);
}
