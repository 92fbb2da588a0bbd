// Start-up order, the first lines of a boot, and what a watchdog reset does.
#include <algorithm>
#include <map>

#include "harness.h"

TEST(Startup, LatchOutputsAreLowBeforeEnabledEnableFirst) {
    Bench b({}, false);
    sim::clear_pin_log();
    b.boot();
    std::vector<unsigned> enabled;  // order in which the latch pins became outputs
    std::map<unsigned, bool> level; // output latch seen so far
    for (const auto &c : sim::pin_log()) {
        if (c.gpio < 2 || c.gpio > 10) continue;
        if (c.what == sim::pin_change_kind::output_value) level[c.gpio] = c.value != 0;
        if (c.what == sim::pin_change_kind::output_enable && c.value == 1) {
            EXPECT_FALSE(level[c.gpio]) << "GPIO" << c.gpio << " enabled while high";
            enabled.push_back(c.gpio);
        }
    }
    EXPECT_EQ(enabled, (std::vector<unsigned>{10, 2, 3, 4, 5, 6, 7, 8, 9}));
    for (unsigned p = 2; p <= 10; ++p) EXPECT_FALSE(sim::pin(p).output_value);
    EXPECT_EQ(sim::pin(19).pulls, sim::pull::down);
    EXPECT_EQ(sim::pin(18).pulls, sim::pull::up);
    EXPECT_EQ(sim::pin(14).pulls, sim::pull::up);
    EXPECT_EQ(sim::pin(26).function, 0x1fu);
    EXPECT_EQ(sim::uart0_status().cr & 0xC000u, 0u); // no hardware flow control
    EXPECT_TRUE(sim::watchdog_enabled());
    EXPECT_EQ(sim::watchdog_timeout_us(), 1500000u);

    b.run_ms(20); // let the first lines leave the wire
    const auto lines = b.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0]["code"], "boot");
    EXPECT_EQ(lines[0]["event_seq"], 1);
    EXPECT_EQ(lines[1]["type"], "state");
    EXPECT_EQ(lines[1]["p24_adc"], 0); // before any sample
    EXPECT_EQ(lines[1]["session_id"], lines[0]["session_id"]);
}

TEST(Startup, WatchdogResetStartsANewSession) {
    Bench b;
    b.run_ms(50);
    const std::string first = Bench::session();
    ASSERT_EQ(first.size(), 33u);
    sim::advance(1600ull * 1000000u); // the loop stalls: nobody feeds the watchdog
    ASSERT_TRUE(sim::reset_pending());
    EXPECT_EQ(sim::pending_reset_cause(), sim::reset_cause::watchdog);
    sim::reset();
    b.boot();
    b.run_ms(20);
    const std::string second = Bench::session();
    EXPECT_EQ(second.substr(0, 17), first.substr(0, 17)); // same board
    EXPECT_EQ(std::stoull(second.substr(17), nullptr, 16), std::stoull(first.substr(17), nullptr, 16) + 1);
    const auto lines = b.lines();
    const auto boot2 = std::find_if(lines.begin(), lines.end(),
                                    [&](const json &l) { return l.value("session_id", "") == second; });
    ASSERT_NE(boot2, lines.end());
    EXPECT_EQ((*boot2)["code"], "boot");
}
