// Input sampling: supply checks, the expander's ports and verification, an
// absent expander, and the latch driver feedback.
#include "harness.h"

namespace {

uint8_t power_with(std::vector<uint16_t> readings) {
    sim::queue_rail_adc(readings);
    return sample_inputs().power_ok;
}

// Lets time pass until now_ms - pulse_started is at least ms (a sample itself
// takes about a millisecond of bus time).
void to_pulse_age(uint64_t ms) {
    const uint64_t target_ns = ((pulse_started + ms) * 1000u + 100u) * 1000u;
    if (target_ns > sim::uptime_ns()) sim::advance(target_ns - sim::uptime_ns());
}

} // namespace

TEST(Sampler, RailWindowAveragingAndPowerGood) {
    Bench b;
    EXPECT_EQ(power_with({2440, 2440, 2440, 2440}), 1);
    EXPECT_EQ(power_with({2980, 2980, 2980, 2980}), 1);
    EXPECT_EQ(power_with({2981, 2981, 2981, 2981}), 0);
    EXPECT_EQ(power_with({2439, 2440, 2440, 2440}), 0); // 9759 / 4 truncates to 2439
    EXPECT_EQ(p24_adc, 2439);
    EXPECT_EQ(power_with({2439, 2440, 2440, 2441}), 1); // 9760 / 4 = 2440
    sim::set_power_good(false);
    EXPECT_EQ(sample_inputs().power_ok, 0);
}

TEST(Sampler, PortsAreInvertedAndTheConfigurationVerified) {
    Bench b;
    sim::expander_set_inputs(0xFE, 0xFF);
    cabinet_inputs_t s = sample_inputs();
    EXPECT_EQ(s.door_closed_mask, 0x01);
    EXPECT_EQ(s.latch_locked_mask, 0x00);
    EXPECT_EQ(s.inputs_valid, 1);
    sim::set_expander_faults({.polarity_readback = 0x01});
    s = sample_inputs();
    EXPECT_EQ(s.inputs_valid | s.door_closed_mask | s.latch_locked_mask, 0);
    EXPECT_EQ(s.power_ok, 1);
    sim::set_expander_faults({.config_readback = 0x7F});
    EXPECT_EQ(sample_inputs().inputs_valid, 0);
    sim::set_expander_faults({.absent = true});
    sim::set_rail_adc(2500);
    s = sample_inputs();
    EXPECT_EQ(s.inputs_valid, 0);
    EXPECT_EQ(s.power_ok, 1);
    EXPECT_EQ(p24_adc, 2500);
}

TEST(Sampler, ExpanderFailingItsSetUpIsLeftAloneForTheRun) {
    Bench b({}, false);
    sim::set_expander_faults({.nack_register = 4});
    pico_startup();
    EXPECT_EQ(sim::i2c_transfers(), 3u); // registers 2, 3, then 4 fails; 5 to 7 never sent
    sim::set_expander_faults({});
    b.run_ms(1100);
    EXPECT_EQ(sim::i2c_transfers(), 3u); // the periodic samples stay off the bus
    const json st = b.lines().back();
    EXPECT_EQ(st["inputs_valid"], false);
    EXPECT_EQ(st["power_ok"], true);
}

TEST(Sampler, DriverThatNeverEnergisesFaultsAfterItsGrace) {
    Bench b;
    sim::set_feedback_fault(sim::feedback_fault::stuck_low);
    cabinet.output_mask = 0x01; // the controller has the pulse commanded
    outputs(nullptr, 0x01, 500);
    to_pulse_age(4);
    EXPECT_EQ(sample_inputs().power_ok, 1);
    to_pulse_age(5);
    EXPECT_EQ(sample_inputs().power_ok, 0);
    EXPECT_FALSE(sim::pin_level(2) || sim::pin_level(10));
    sim::set_feedback_fault(sim::feedback_fault::none);
    cabinet.output_mask = 0;
    EXPECT_EQ(sample_inputs().power_ok, 0); // latched until reset
}

// The controller clears its mask only at its next tick, after the board's
// alarm has ended the pulse; a feedback that follows the driver is low by
// then, and that is no fault.
TEST(Sampler, FeedbackIsNotCheckedOnceThePulseHasEnded) {
    Bench b;
    sim::set_feedback_delays(0, 0);
    cabinet.output_mask = 0x01;
    outputs(nullptr, 0x01, 100);
    to_pulse_age(50);
    EXPECT_EQ(sample_inputs().power_ok, 1);
    to_pulse_age(102);
    ASSERT_FALSE(sim::pin_level(19));
    EXPECT_EQ(sample_inputs().power_ok, 1);
    EXPECT_EQ(hal_fault, 0);
}
