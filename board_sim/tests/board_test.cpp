// Watchdog, reset and power, pins and the latch driver feedback, the board
// identifier, and the time modes.
#include "board_sim/control.h"
#include "board_sim/sdk.h"
#include "firmware_style.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int64_t never_called(alarm_id_t, void *) {
    ADD_FAILURE() << "alarm ran after the board went into reset";
    return 0;
}

void latch_outputs() {
    for (uint pin = 2; pin <= 10; ++pin) {
        gpio_init(pin);
        gpio_clr_mask(1u << pin);
        gpio_set_dir(pin, GPIO_OUT);
    }
    gpio_init(19);
    gpio_set_pulls(19, false, true);
}

TEST(Watchdog, UnfedWatchdogResetsTheBoardAndTheBoardIsInertUntilReset) {
    board_sim::power_on();
    uart_init(uart0, 115200);
    gpio_set_function(0, GPIO_FUNC_UART);
    latch_outputs();
    gpio_set_mask(1u << 2 | 1u << 10);
    watchdog_enable(1500, false);
    sleep_ms(1000);
    watchdog_update();
    sleep_ms(1499);
    EXPECT_FALSE(board_sim::reset_pending());
    ASSERT_GT(alarm_pool_add_alarm_at(alarm_pool_get_default(), time_us_64() + 10, never_called, nullptr, true), 0);
    uint32_t irq = save_and_disable_interrupts(); // even a masked alarm must not run after the reset
    sleep_ms(1);
    EXPECT_TRUE(board_sim::reset_pending());
    EXPECT_EQ(board_sim::pending_reset_cause(), board_sim::reset_cause::watchdog);
    EXPECT_EQ(board_sim::uptime_ns(), 2500000000u);
    restore_interrupts(irq);
    EXPECT_FALSE(board_sim::pin_level(2)); // outputs released by the reset
    EXPECT_FALSE(board_sim::driver_on());

    // Inert: writes ignored, the transmitter always takes characters and drops them.
    gpio_set_dir(3, GPIO_OUT);
    gpio_set_mask(1u << 3);
    EXPECT_FALSE(board_sim::pin_level(3));
    for (int i = 0; i < 100; ++i) uart_putc_raw(uart0, 'x');
    EXPECT_EQ(board_sim::uptime_ns(), 2500000000u);

    uint64_t before = board_sim::now_ns();
    board_sim::reset();
    EXPECT_FALSE(board_sim::reset_pending());
    EXPECT_EQ(time_us_64(), 0u);
    EXPECT_EQ(board_sim::now_ns(), before);
    EXPECT_EQ(board_sim::resets(), 1u);
    EXPECT_FALSE(board_sim::watchdog_enabled());
    EXPECT_EQ(board_sim::alarms_pending(), 0u);
    EXPECT_EQ(board_sim::pin(2).function, static_cast<unsigned>(GPIO_FUNC_NULL));
    board_sim::advance(1000000);
    EXPECT_EQ(board_sim::uart_host_take(), "");
}

TEST(Pins, PullsDecideUndrivenInputsAndChangesAreLogged) {
    board_sim::power_on();
    gpio_init(14);
    EXPECT_FALSE(gpio_get(14)); // pull-down after reset
    gpio_set_pulls(14, true, false);
    EXPECT_TRUE(gpio_get(14));
    board_sim::drive_pin(14, false);
    EXPECT_FALSE(gpio_get(14));
    board_sim::release_pin(14);
    EXPECT_TRUE(gpio_get(14));
    EXPECT_TRUE(gpio_get(18)); // power good, driven by the supply
    board_sim::set_power_good(false);
    EXPECT_FALSE(gpio_get(18));
    gpio_set_input_enabled(14, false);
    EXPECT_FALSE(gpio_get(14));

    board_sim::clear_pin_log();
    gpio_init(5);
    sleep_us(10);
    gpio_set_dir(5, GPIO_OUT);
    gpio_put(5, true);
    gpio_put(5, true); // no change, no entry
    std::vector<board_sim::pin_change> log = board_sim::pin_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].what, board_sim::pin_change_kind::function);
    EXPECT_EQ(log[1].what, board_sim::pin_change_kind::output_enable);
    EXPECT_EQ(log[1].time_ns, 10000u);
    EXPECT_EQ(log[2].what, board_sim::pin_change_kind::output_value);
    EXPECT_EQ(log[3].what, board_sim::pin_change_kind::level);
    EXPECT_EQ(log[3].gpio, 5u);
    EXPECT_EQ(log[3].value, 1u);
}

TEST(Feedback, FollowsTheDriverWithItsRiseDelayAndDropsAtOnce) {
    board_sim::config cfg;
    cfg.feedback_rise_us = 300;
    board_sim::power_on(cfg);
    latch_outputs();
    gpio_set_mask(1u << 10); // enable alone does not energise the driver
    sleep_ms(1);
    EXPECT_FALSE(gpio_get(19));
    gpio_set_mask(1u << 9);
    EXPECT_TRUE(board_sim::driver_on());
    sleep_us(299);
    EXPECT_FALSE(gpio_get(19));
    sleep_us(1);
    EXPECT_TRUE(gpio_get(19));
    gpio_clr_mask(1u << 10);
    EXPECT_FALSE(gpio_get(19));

    board_sim::set_feedback_fault(board_sim::feedback_fault::stuck_high);
    EXPECT_TRUE(gpio_get(19));
    board_sim::set_feedback_fault(board_sim::feedback_fault::stuck_low);
    gpio_set_mask(1u << 10);
    sleep_ms(1);
    EXPECT_FALSE(gpio_get(19));
}

TEST(Feedback, WithoutItsPullDownTheReleasedLineKeepsItsLevel) {
    board_sim::config cfg;
    cfg.feedback_rise_us = 0;
    board_sim::power_on(cfg);
    latch_outputs();
    gpio_disable_pulls(19);
    gpio_set_mask(1u << 2 | 1u << 10);
    EXPECT_TRUE(gpio_get(19));
    gpio_clr_mask(1u << 10);
    EXPECT_TRUE(gpio_get(19)); // floating: nothing pulls it low
}

TEST(BoardId, FormatsUpperCaseHexAndTruncatesToTheBuffer) {
    board_sim::power_on();
    board_sim::set_board_id({0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x23, 0x45, 0x6a});
    char id[17];
    pico_get_unique_board_id_string(id, sizeof id);
    EXPECT_STREQ(id, "DEADBEEF0123456A");
    char small[5];
    pico_get_unique_board_id_string(small, sizeof small);
    EXPECT_STREQ(small, "DEAD");
}

TEST(Time, WorldHookSeesTimePassAndCanAskToBeWoken) {
    board_sim::power_on();
    std::vector<uint64_t> seen;
    board_sim::set_world_hook([&](uint64_t t) { seen.push_back(t); });
    board_sim::world_wake_at(1234567);
    sleep_ms(2);
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(std::find(seen.begin(), seen.end(), 1234567u), seen.end());
    EXPECT_EQ(seen.back(), 2000000u);
}

TEST(Time, RealTimeSleepsGoThroughTheIdleHook) {
    board_sim::config cfg;
    cfg.mode = board_sim::time_mode::real_time;
    board_sim::power_on(cfg);
    std::vector<uint64_t> untils;
    board_sim::set_idle_hook([&](uint64_t until) { untils.push_back(until); });
    uint64_t start = time_us_64();
    sleep_ms(3);
    EXPECT_GE(time_us_64(), start + 3000);
    ASSERT_FALSE(untils.empty());
    EXPECT_LE(untils.front(), (start + 3000) * 1000 + 1000);
}

TEST(Header, FirmwareStyleUseCompilesUnderFirmwareFlagsAndRuns) {
    board_sim::power_on();
    fw_style_exercise();
    EXPECT_EQ(board_sim::uart_host_take(), "hi\n");
    EXPECT_FALSE(board_sim::reset_pending());
    EXPECT_EQ(board_sim::api_misuse(), 0u);
}

} // namespace
