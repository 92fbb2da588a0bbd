// The cabinet as followed from events between state lines.
#include "controller_view.h"

#include <gtest/gtest.h>

namespace cabinetd {
namespace {

ControllerView idle() { return {"idle", "none", 0, 0xff, 0xff}; }

TEST(ControllerView, FollowsADoorCycleEventByEvent) {
    auto v = idle();
    const auto step = [&](const char *code, unsigned door) {
        EXPECT_TRUE(apply_event(v, code, door)) << code;
        return state_text(v);
    };
    EXPECT_EQ(state_text(v), "idle");
    EXPECT_EQ(step("open_accepted", 3), "pulsing door 3");
    EXPECT_EQ(step("latch_unlocked", 3), "pulsing door 3");
    EXPECT_EQ(step("pulse_complete", 3), "waiting for door 3 to open");
    EXPECT_EQ(step("door_open", 3), "waiting for door 3 to close");
    EXPECT_EQ(v.door_closed_mask, 0xfbu);
    EXPECT_EQ(v.latch_locked_mask, 0xfbu);
    EXPECT_EQ(step("door_closed", 3), "waiting for door 3 to close");
    EXPECT_EQ(step("latch_locked", 3), "waiting for door 3 to close");
    EXPECT_EQ(step("cycle_complete", 3), "idle");
    EXPECT_EQ(v, idle());

    // The door already seen open when the pulse ends early.
    v = idle();
    apply_event(v, "open_accepted", 5);
    apply_event(v, "door_open", 5);
    EXPECT_FALSE(apply_event(v, "pulse_door_open", 5));
    EXPECT_EQ(state_text(v), "waiting for door 5 to close");
}

TEST(ControllerView, FaultsOutliveTheirCycleUntilCleared) {
    auto v = idle();
    apply_event(v, "open_accepted", 2);
    apply_event(v, "door_open", 4); // another door: the active one is still waited for
    EXPECT_EQ(state_text(v), "pulsing door 2");
    apply_event(v, "other_door_unsafe", 2);
    EXPECT_EQ(state_text(v), "fault: other_door_unsafe");
    apply_event(v, "door_closed", 4);
    apply_event(v, "cycle_complete", 2);
    EXPECT_EQ(v.state, "fault");
    EXPECT_TRUE(apply_event(v, "fault_cleared", 0));
    EXPECT_EQ(v, idle());
}

TEST(ControllerView, IgnoresWhatItCannotPlace) {
    auto v = idle();
    for (unsigned door : {0u, 9u, 32u, 4294967295u}) {
        EXPECT_FALSE(apply_event(v, "door_open", door));
        EXPECT_FALSE(apply_event(v, "open_accepted", door));
    }
    EXPECT_FALSE(apply_event(v, "door_held_open", 1));
    EXPECT_FALSE(apply_event(v, "no_such_code", 1));
    EXPECT_FALSE(apply_event(v, "pulse_complete", 1)); // not pulsing
    EXPECT_EQ(v, idle());
    v.state = "something_new";
    EXPECT_EQ(state_text(v), "something_new");
}

TEST(ControllerView, AStateLineDisagreesOnlyOnWhatItCanKnow) {
    cabinet_host::StateLine line;
    line.state = "idle";
    line.fault = "none";
    line.door_closed_mask = line.latch_locked_mask = 0xff;
    line.inputs_valid = true;
    auto v = idle();
    EXPECT_FALSE(disagrees(v, true, line));
    v.door_closed_mask = 0xfe; // a door_closed missed
    EXPECT_TRUE(disagrees(v, true, line));
    // Inputs that had not settled yet: the masks said nothing.
    EXPECT_FALSE(disagrees(v, false, line));
    v = idle();
    v.state = "pulsing";
    v.active_door = 1;
    EXPECT_TRUE(disagrees(v, false, line));
    put_view(line, v);
    EXPECT_EQ(controller_view(line), v);
}

} // namespace
} // namespace cabinetd
