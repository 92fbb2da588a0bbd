#include "alarms.h"

#include <gtest/gtest.h>

namespace cabinetd {
namespace {

using What = AlarmChange::What;

struct Rig {
    AlarmModel m{60000, [this] { return "a" + std::to_string(++ids); }};
    int ids = 0;
    std::uint64_t t = 1000;
    std::vector<AlarmChange> ev(std::string_view code, unsigned door) {
        return m.on_event(code, door, {t, 1765000000000});
    }
    cabinet_host::StateLine state(std::string s, unsigned active, unsigned closed,
                                  unsigned locked) {
        cabinet_host::StateLine l;
        l.state = std::move(s);
        l.active_door = active;
        l.door_closed_mask = closed;
        l.latch_locked_mask = locked;
        l.inputs_valid = true;
        return l;
    }
};

TEST(Alarms, ForcedOnlyWithoutAnAdmittedOpenOfThatDoor) {
    Rig r;
    // An admitted cycle of door 3: its latch and door move without an alarm.
    EXPECT_TRUE(r.ev("open_accepted", 3).empty());
    EXPECT_TRUE(r.ev("latch_unlocked", 3).empty());
    EXPECT_TRUE(r.ev("door_open", 3).empty());
    // Another door forced meanwhile.
    auto raised = r.ev("door_open", 5);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].what, What::Raised);
    EXPECT_EQ(raised[0].alarm.code, kForcedOpen);
    EXPECT_EQ(raised[0].alarm.door, 5u);
    EXPECT_EQ(raised[0].alarm.raised_at_ms, 1765000000000);
    // Its latch too: still the one alarm per door and code.
    EXPECT_TRUE(r.ev("latch_unlocked", 5).empty());
    EXPECT_TRUE(r.ev("door_closed", 3).empty());
    EXPECT_TRUE(r.ev("cycle_complete", 3).empty());
    // After the cycle, door 3 again is forced.
    EXPECT_EQ(r.ev("latch_unlocked", 3).size(), 1u);
    EXPECT_EQ(r.m.active().size(), 2u);
    // A fault ends the cycle as well; a state line names the door under way.
    EXPECT_TRUE(r.ev("open_accepted", 1).empty());
    r.ev("power_fault", 0);
    EXPECT_EQ(r.ev("door_open", 1).size(), 1u);
    r.m.on_state(r.state("wait_open", 2, 0xff, 0xff), {r.t, 0});
    EXPECT_TRUE(r.ev("door_open", 2).empty());
    EXPECT_TRUE(r.ev("door_open", 9).empty()); // no such door: nothing
}

TEST(Alarms, ClearsOnlyWhenAcknowledgedAndSecure) {
    Rig r;
    r.ev("door_open", 4);
    r.ev("latch_unlocked", 4);
    ASSERT_EQ(r.m.active().size(), 1u);
    const auto id = r.m.active()[0].id;
    // Shut and locked, but nobody acknowledged it: it stays.
    EXPECT_TRUE(r.ev("door_closed", 4).empty());
    EXPECT_TRUE(r.ev("latch_locked", 4).empty());
    r.ev("door_open", 4); // forced again: still the one alarm
    EXPECT_EQ(r.m.active().size(), 1u);
    EXPECT_FALSE(r.m.acknowledge(std::string("nope"), "frontdesk"));
    auto acked = r.m.acknowledge(id, "frontdesk");
    ASSERT_TRUE(acked);
    ASSERT_EQ(acked->size(), 1u); // the door is open: acknowledged, not cleared
    EXPECT_EQ((*acked)[0].alarm.acknowledged_by, "frontdesk");
    EXPECT_TRUE(r.m.acknowledge(std::nullopt, "other")->empty()); // nothing new to acknowledge
    // Closed again, its latch still locked from before: cleared.
    auto cleared = r.ev("door_closed", 4);
    ASSERT_EQ(cleared.size(), 1u);
    EXPECT_EQ(cleared[0].what, What::Cleared);
    EXPECT_EQ(cleared[0].alarm.id, id);
    EXPECT_TRUE(r.m.active().empty());
}

TEST(Alarms, HeldOpenPastTheConfiguredTime) {
    Rig r;
    r.ev("open_accepted", 2);
    r.ev("door_open", 2);
    r.t += 59999;
    EXPECT_TRUE(r.m.tick({r.t, 0}).empty());
    r.t += 1;
    auto held = r.m.tick({r.t, 0});
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].alarm.code, kHeldOpen);
    EXPECT_EQ(held[0].alarm.door, 2u);
    EXPECT_TRUE(r.m.tick({r.t + 5000, 0}).empty()); // one while it is active
    // Link lost: the doors are unknown, no timer runs; the alarm stays.
    r.m.forget();
    EXPECT_TRUE(r.m.tick({r.t + 120000, 0}).empty());
    EXPECT_EQ(r.m.active().size(), 1u);
    // An acknowledged alarm with the door shut and locked clears at once.
    r.m.on_state(r.state("idle", 0, 0xff, 0xff), {r.t, 0});
    auto acked = r.m.acknowledge(std::nullopt, "frontdesk");
    ASSERT_EQ(acked->size(), 2u);
    EXPECT_EQ((*acked)[1].what, What::Cleared);
    // A door seen open on a state line is timed from then.
    r.m.on_state(r.state("idle", 0, 0xfe, 0xff), {r.t, 0});
    EXPECT_EQ(r.m.tick({r.t + 60000, 0}).size(), 1u);
}

TEST(Alarms, ADoorTheJournalSawOpenIsTimedFromThen) {
    Rig r;
    const std::int64_t wall = 1765000000000;
    // Door 2 open 50 s before cabinetd started, door 7 70 s before, door 8 too
    // (but found shut); steady time is measured back from now.
    r.t = 100000;
    r.m.restore({}, {{2, wall - 50000}, {7, wall - 70000}, {8, wall - 70000}}, {r.t, wall});
    EXPECT_FALSE(r.m.next_due()); // nothing known of the doors until heard
    r.m.forget();                 // the first connection: still the journal's times
    r.m.on_state(r.state("idle", 0, 0xbd, 0xff), {r.t, wall}); // 2 and 7 open, 8 shut
    auto held = r.m.tick({r.t, wall});
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].alarm.door, 7u);
    EXPECT_EQ(r.m.next_due(), r.t + 10000);
    // Door 8 opens later: timed from then, the journal's time gone.
    r.m.on_state(r.state("idle", 0, 0x3d, 0xff), {r.t, wall});
    EXPECT_EQ(r.m.tick({r.t + 10000, wall}).size(), 1u); // door 2 only
    EXPECT_EQ(r.m.next_due(), r.t + 60000);
}

} // namespace
} // namespace cabinetd
