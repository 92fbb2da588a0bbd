// The latch output driver: refusals, pulse timing and replacement.
#include "harness.h"

TEST(Latch, UnsafeRequestsAreRefusedIntoTheFaultLatch) {
    struct row { uint8_t mask; uint32_t ms; bool feedback_high, alarms_full; };
    for (const row &r : {row{0x03, 500, false, false}, row{0x01, 99, false, false}, row{0x01, 1001, false, false},
                         row{0x01, 500, true, false}, row{0x01, 500, false, true}}) {
        Bench b;
        if (r.feedback_high) sim::set_feedback_fault(sim::feedback_fault::stuck_high);
        while (r.alarms_full && alarm_pool_add_alarm_at(alarm_pool_get_default(), from_us_since_boot(INT64_MAX),
                                                        [](alarm_id_t, void *) -> int64_t { return 0; }, nullptr,
                                                        false) > 0) {
        } // no alarm left to end the pulse: it is never started
        sim::clear_pin_log();
        outputs(nullptr, r.mask, r.ms);
        EXPECT_EQ(hal_fault, 1) << int(r.mask) << " " << r.ms;
        for (const auto &c : sim::pin_log())
            EXPECT_FALSE(c.what == sim::pin_change_kind::output_value && c.value == 1) << "GPIO" << c.gpio;
        EXPECT_EQ(sim::alarms_pending(), r.alarms_full ? 16u : 0u);
    }
}

// The order in which latch pins went low since the log was last cleared.
std::string switched_off() {
    std::string order;
    for (const auto &c : sim::pin_log())
        if (c.what == sim::pin_change_kind::output_value && c.value == 0) order += " " + std::to_string(c.gpio);
    sim::clear_pin_log();
    return order;
}

// Every way a pulse ends drops the common enable before the door pin, so no
// door pin is ever live on its own account: the alarm at its deadline, the
// controller's own end (whatever length it names), and a new pulse replacing
// it, which then runs its own length. The longest pulse the driver takes,
// 1000 ms, runs its full length.
TEST(Latch, EveryEndOfAPulseDropsTheEnableFirst) {
    Bench b;
    outputs(nullptr, 0x80, 1000);
    sim::clear_pin_log();
    sim::advance(999900000u);
    EXPECT_TRUE(sim::pin_level(9) && sim::pin_level(10));
    sim::advance(200000u);
    EXPECT_EQ(switched_off(), " 10 9"); // the alarm
    outputs(nullptr, 0, 0);             // the controller's own end, after the alarm
    outputs(nullptr, 0x80, 100);
    sim::clear_pin_log();
    outputs(nullptr, 0, 12345);
    EXPECT_EQ(switched_off(), " 10 9"); // the controller
    EXPECT_EQ(sim::alarms_pending(), 0u);
    outputs(nullptr, 0x80, 500);
    sim::advance(100000000u);
    sim::clear_pin_log();
    outputs(nullptr, 0x01, 300);
    EXPECT_EQ(switched_off(), " 10 9"); // the next pulse, before it drives its own pin
    EXPECT_EQ(sim::alarms_pending(), 1u);
    sim::advance(299900000u);
    EXPECT_TRUE(sim::pin_level(2) && sim::pin_level(10));
    sim::advance(200000u);
    EXPECT_FALSE(sim::pin_level(2) || sim::pin_level(10));
    EXPECT_EQ(hal_fault, 0);
}
