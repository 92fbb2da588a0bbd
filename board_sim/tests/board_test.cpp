// Watchdog, reset and power, the latch driver feedback, and the time modes.
// (The pins' pulls and change log, and the board identifier, are checked
// through the firmware's start-up, sampler and latch tests.)
#include "sim_test.h"

#include <algorithm>

namespace {

TEST(Watchdog, UnfedWatchdogResetsTheBoardAndTheBoardIsInertUntilReset) {
    sim::power_on();
    uart_up();
    latch_outputs();
    gpio_set_mask(1u << 2 | 1u << 10);
    watchdog_enable(1500, false);
    sleep_ms(1000);
    watchdog_update();
    sleep_ms(1499);
    EXPECT_FALSE(sim::reset_pending());
    ASSERT_GT(alarm_pool_add_alarm_at(alarm_pool_get_default(), time_us_64() + 10,
                                      [](alarm_id_t, void *) -> int64_t {
                                          ADD_FAILURE() << "alarm ran after the board went into reset";
                                          return 0;
                                      },
                                      nullptr, true),
              0);
    const uint32_t irq = save_and_disable_interrupts(); // not even once unmasked after the reset
    sleep_ms(1);
    EXPECT_EQ(sim::pending_reset_cause(), sim::reset_cause::watchdog);
    EXPECT_EQ(sim::uptime_ns(), 2500000000u);
    restore_interrupts(irq);
    EXPECT_FALSE(sim::pin_level(2) || sim::driver_on()); // outputs released by the reset

    gpio_set_mask(1u << 3); // inert: writes ignored, transmit taken and dropped at once
    for (int i = 0; i < 100; ++i) uart_putc_raw(uart0, 'x');
    EXPECT_FALSE(sim::pin_level(3));
    EXPECT_EQ(sim::uptime_ns(), 2500000000u);

    const uint64_t before = sim::now_ns();
    sim::reset();
    EXPECT_EQ(time_us_64(), 0u);
    EXPECT_EQ(sim::now_ns(), before);
    EXPECT_FALSE(sim::reset_pending() || sim::watchdog_enabled());
    EXPECT_EQ(sim::alarms_pending(), 0u);
    EXPECT_EQ(sim::pin(2).function, static_cast<unsigned>(GPIO_FUNC_NULL));
    sim::advance(1000000);
    EXPECT_EQ(sim::uart_host_take(), "");
}

TEST(Feedback, FollowsTheDriverWithItsDelaysUnlessStuck) {
    sim::config cfg;
    cfg.feedback_rise_us = 300;
    cfg.feedback_fall_us = 50;
    sim::power_on(cfg);
    latch_outputs();
    gpio_set_mask(1u << 10); // the enable alone does not energise the driver
    sleep_ms(1);
    EXPECT_FALSE(gpio_get(19));
    gpio_set_mask(1u << 9);
    sleep_us(299);
    EXPECT_FALSE(gpio_get(19));
    sleep_us(1);
    EXPECT_TRUE(gpio_get(19));
    gpio_clr_mask(1u << 10);
    sleep_us(49);
    EXPECT_TRUE(gpio_get(19));
    sleep_us(1);
    EXPECT_FALSE(gpio_get(19));
    sim::set_feedback_fault(sim::feedback_fault::stuck_high);
    EXPECT_TRUE(gpio_get(19));
    sim::set_feedback_fault(sim::feedback_fault::stuck_low);
    gpio_set_mask(1u << 10);
    sleep_ms(1);
    EXPECT_FALSE(gpio_get(19));
}

TEST(Time, WorldHookSeesTimePassAndCanAskToBeWoken) {
    sim::power_on();
    std::vector<uint64_t> seen;
    sim::set_world_hook([&](uint64_t t) { seen.push_back(t); });
    sim::world_wake_at(1234567);
    sleep_ms(2);
    EXPECT_NE(std::find(seen.begin(), seen.end(), 1234567u), seen.end());
    EXPECT_EQ(seen.back(), 2000000u);
}

TEST(Time, RealTimeSleepsGoThroughTheIdleHook) {
    sim::config cfg;
    cfg.mode = sim::time_mode::real_time;
    sim::power_on(cfg);
    std::vector<uint64_t> untils;
    sim::set_idle_hook([&](uint64_t until) { untils.push_back(until); });
    const uint64_t start = time_us_64();
    sleep_ms(3);
    EXPECT_GE(time_us_64(), start + 3000);
    ASSERT_FALSE(untils.empty());
    EXPECT_LE(untils.front(), (start + 3000) * 1000 + 1000);
}

} // namespace
