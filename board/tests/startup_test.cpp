// Start-up order, the first lines of a boot, and a watchdog reset.
#include <map>

#include "harness.h"

TEST(Startup, LatchOutputsLowBeforeEnabledEnableFirstThenBootAndState) {
    Bench b({}, false);
    pico_startup();
    std::vector<unsigned> enabled; // latch pins in the order they became outputs
    std::map<unsigned, bool> high;
    for (const auto &c : sim::pin_log()) {
        if (c.gpio < 2 || c.gpio > 10) continue;
        if (c.what == sim::pin_change_kind::output_value) high[c.gpio] = c.value != 0;
        if (c.what == sim::pin_change_kind::output_enable && c.value == 1) {
            EXPECT_FALSE(high[c.gpio]) << "GPIO" << c.gpio;
            enabled.push_back(c.gpio);
        }
    }
    EXPECT_EQ(enabled, (std::vector<unsigned>{10, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(sim::pin(19).pulls, sim::pull::down);
    EXPECT_EQ(sim::pin(18).pulls, sim::pull::up);
    EXPECT_EQ(sim::watchdog_timeout_us(), 1500000u);
    b.run_ms(20);
    const auto lines = b.lines();
    EXPECT_EQ(lines.at(0)["code"], "boot");
    EXPECT_EQ(lines.at(1)["type"], "state");
    EXPECT_EQ(lines.at(1)["p24_adc"], 0); // before any sample
}

TEST(Startup, WatchdogResetStartsANewSession) {
    Bench b;
    b.run_ms(50);
    const std::string first = cabinet.session_id;
    sim::advance(1600000000u); // the loop stalls; nobody feeds the watchdog
    ASSERT_EQ(sim::pending_reset_cause(), sim::reset_cause::watchdog);
    sim::reset();
    b.raw_lines();
    pico_startup();
    b.run_ms(20);
    const std::string second = cabinet.session_id;
    EXPECT_EQ(second.substr(0, 17), first.substr(0, 17));
    EXPECT_EQ(std::stoull(second.substr(17), nullptr, 16), std::stoull(first.substr(17), nullptr, 16) + 1);
    const auto lines = b.lines();
    EXPECT_EQ(lines.at(0)["code"], "boot");
    EXPECT_EQ(lines.at(0)["session_id"], second);
}
