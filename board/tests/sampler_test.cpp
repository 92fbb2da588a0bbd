// Input sampling: supply checks, the expander's ports and verification, an
// absent expander, and the latch driver feedback.
#include "harness.h"

namespace {

// Lets time pass until now_ms - pulse_started is at least ms (a sample itself
// takes about a millisecond of bus time).
void to_pulse_age(uint64_t ms) {
    const uint64_t target_ns = ((pulse_started + ms) * 1000u + 100u) * 1000u;
    if (target_ns > sim::uptime_ns()) sim::advance(target_ns - sim::uptime_ns());
}

// A pulse the controller has commanded, with the given driver feedback.
void pulse(sim::feedback_fault fb, uint32_t ms) {
    sim::set_feedback_fault(fb);
    cabinet.output_mask = 0x01;
    outputs(nullptr, 0x01, ms);
}

} // namespace

TEST(Sampler, RailWindowOnTheAverageOfFourAndPowerGood) {
    Bench b;
    for (const auto &r : std::vector<std::vector<uint16_t>>{{2440, 2440, 2440, 2440, 1}, {2980, 2980, 2980, 2980, 1},
                                                            {2981, 2981, 2981, 2981, 0}, {2439, 2440, 2440, 2440, 0},
                                                            {2439, 2440, 2440, 2441, 1}}) { // 9759 / 4 < 2440
        sim::queue_rail_adc(std::span(r).first(4));
        EXPECT_EQ(sample_inputs().power_ok, r[4]) << r[0] << " " << r[3];
    }
    sim::set_power_good(false);
    EXPECT_EQ(sample_inputs().power_ok, 0);
}

TEST(Sampler, PortsAreInvertedAndTheConfigurationVerified) {
    Bench b;
    sim::expander_set_inputs(0xFE, 0xFF);
    cabinet_inputs_t s = sample_inputs();
    EXPECT_EQ(s.door_closed_mask | s.latch_locked_mask << 8, 0x01);
    EXPECT_EQ(s.inputs_valid, 1);
    for (const sim::expander_faults &f : {sim::expander_faults{.polarity_readback = 0x01},
                                          sim::expander_faults{.config_readback = 0x7F},
                                          sim::expander_faults{.absent = true}}) {
        sim::set_expander_faults(f);
        s = sample_inputs();
        EXPECT_EQ(s.inputs_valid | s.door_closed_mask | s.latch_locked_mask, 0);
        EXPECT_EQ(s.power_ok, 1); // the supply is judged on its own
    }
}

// The controller clears its mask only at its next tick, after the board's
// alarm has ended the pulse: a feedback that follows the driver is low by
// then, and that is no fault. A driver that never energises is.
TEST(Sampler, FeedbackConfirmsThePulseAfterItsGraceUntilThePulseEnds) {
    Bench b;
    sim::set_feedback_delays(0, 0);
    pulse(sim::feedback_fault::none, 100);
    to_pulse_age(102);
    ASSERT_FALSE(sim::pin_level(19));
    EXPECT_EQ(sample_inputs().power_ok, 1);
    pulse(sim::feedback_fault::stuck_low, 500);
    to_pulse_age(4);
    EXPECT_EQ(sample_inputs().power_ok, 1);
    to_pulse_age(5);
    EXPECT_EQ(sample_inputs().power_ok, 0);
    EXPECT_FALSE(sim::pin_level(2) || sim::pin_level(10));
    sim::set_feedback_fault(sim::feedback_fault::none);
    cabinet.output_mask = 0;
    EXPECT_EQ(sample_inputs().power_ok, 0); // latched until reset
}
