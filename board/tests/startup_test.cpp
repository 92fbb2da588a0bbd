// Start-up order, and the new session after a watchdog reset.
#include "harness.h"

TEST(Startup, LatchOutputsLowBeforeEnabledEnableFirstAndANewSessionAfterAWatchdogReset) {
    Bench b;
    using k = sim::pin_change_kind;
    std::string order; // the latch pins' changes: "+n" made an output, "^n" driven high
    for (const auto &c : sim::pin_log())
        if (c.gpio >= 2 && c.gpio <= 10 && c.value == 1 && (c.what == k::output_enable || c.what == k::output_value))
            order += (c.what == k::output_enable ? " +" : " ^") + std::to_string(c.gpio);
    EXPECT_EQ(order, " +10 +2 +3 +4 +5 +6 +7 +8 +9");
    EXPECT_EQ(sim::pin(19).pulls, sim::pull::down); // an unconnected feedback reads "not energised"

    EXPECT_STREQ(cabinet.session_id, "E6613852832F4A29-0000000000000001");
    sim::advance(1600000000u); // the loop stalls; nobody feeds the watchdog
    ASSERT_EQ(sim::pending_reset_cause(), sim::reset_cause::watchdog);
    sim::reset();
    pico_startup();
    EXPECT_STREQ(cabinet.session_id, "E6613852832F4A29-0000000000000002");
}
