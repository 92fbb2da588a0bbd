#include "cabinet_model.h"

#include <gtest/gtest.h>

using namespace cabinet_sim;

namespace {

constexpr uint64_t ms = ns_per_ms;

// Steps the model every millisecond from `from` to `to` with the given pins.
void run(cabinet_model &m, uint64_t from_ms, uint64_t to_ms, uint8_t pins = 0, bool enable = false) {
    for (uint64_t t = from_ms; t <= to_ms; ++t) m.step(t * ms, pins, enable);
}

bool door_closed(const cabinet_model &m, int door) { return (m.port0() >> (door - 1) & 1) == 0; }
bool latch_locked(const cabinet_model &m, int door) { return (m.port1() >> (door - 1) & 1) == 0; }

}  // namespace

TEST(CabinetModel, ReleasedLatchLetsThePersonOpenAndCloseTheDoor) {
    cabinet_model m;
    m.settings(3).open_after_ms = 800;
    m.settings(3).open_for_ms = 2000;
    const uint8_t pin3 = 1u << 2;
    run(m, 1000, 1049, pin3, true);
    EXPECT_TRUE(latch_locked(m, 3)) << "released before the pulse lasted 50 ms";
    run(m, 1050, 1100, pin3, true);
    EXPECT_FALSE(latch_locked(m, 3));
    EXPECT_TRUE(door_closed(m, 3));
    EXPECT_EQ(m.port1(), 0x04) << "only door 3's latch is released";

    run(m, 1101, 1849);
    EXPECT_TRUE(door_closed(m, 3));
    run(m, 1850, 1850);  // released at 1050, opened 800 ms later
    EXPECT_FALSE(door_closed(m, 3));

    run(m, 1851, 3849);
    EXPECT_FALSE(door_closed(m, 3));
    run(m, 3850, 3850);
    EXPECT_TRUE(door_closed(m, 3));
    EXPECT_TRUE(latch_locked(m, 3)) << "the latch locks as the door closes";
    EXPECT_EQ(m.port0(), 0x00);
    EXPECT_EQ(m.port1(), 0x00);
}

TEST(CabinetModel, ShortPulseOrMissingEnableReleasesNothing) {
    cabinet_model m;
    run(m, 0, 40, 1u << 0, true);  // 41 ms, under the 50 ms release time
    run(m, 41, 3000);
    EXPECT_TRUE(latch_locked(m, 1));

    run(m, 3001, 3500, 1u << 1, false);  // door pin without the common enable
    EXPECT_TRUE(latch_locked(m, 2));

    m.set_release_ms(200);
    run(m, 4000, 4150, 1u << 3, true);
    EXPECT_TRUE(latch_locked(m, 4));
}

TEST(CabinetModel, PersonModesAndManualActions) {
    cabinet_model m;
    m.settings(1).mode = person_mode::never_open;
    m.settings(2).mode = person_mode::hold;
    m.settings(4).leave_unlocked = true;
    for (int door : {1, 2, 4}) {
        uint64_t start = uint64_t(door) * 100'000;
        run(m, start, start + 100, uint8_t(1u << (door - 1)), true);
        run(m, start + 101, start + 20'000);
    }
    EXPECT_TRUE(door_closed(m, 1));
    EXPECT_FALSE(latch_locked(m, 1)) << "never-open leaves the released latch unlocked";
    EXPECT_FALSE(door_closed(m, 2)) << "hold keeps the door open";
    EXPECT_TRUE(door_closed(m, 4));
    EXPECT_FALSE(latch_locked(m, 4)) << "leave-unlocked: closed but not locked";

    EXPECT_FALSE(m.open(3)) << "a latched door cannot be opened";
    EXPECT_TRUE(m.open(1));
    EXPECT_FALSE(door_closed(m, 1));

    m.close(2);
    m.close(4);
    EXPECT_TRUE(door_closed(m, 2) && latch_locked(m, 2));
    EXPECT_TRUE(latch_locked(m, 4));

    m.force_open(5);
    EXPECT_FALSE(door_closed(m, 5));
    EXPECT_FALSE(latch_locked(m, 5));
    run(m, 500'000, 600'000);
    EXPECT_FALSE(door_closed(m, 5)) << "a forced door stays open until closed";
}

TEST(CabinetModel, OneLongStepPlaysTheWholeStoryInOrder) {
    cabinet_model m;
    m.step(0, 1u << 6, true);
    EXPECT_EQ(m.next_change_ns(), 50 * ms) << "the pending release is announced";
    m.step(100 * ms, 1u << 6, true);  // released at 100 ms
    m.step(101 * ms, 0, false);
    EXPECT_EQ(m.next_change_ns(), 900 * ms) << "the person's move is announced";
    m.step(60'000 * ms, 0, false);  // opened at 900, closed at 2900
    EXPECT_TRUE(door_closed(m, 7));
    EXPECT_TRUE(latch_locked(m, 7));
    EXPECT_EQ(m.next_change_ns(), 0u);
}

TEST(CabinetModel, BounceChattersBeforeSettling) {
    cabinet_model m;
    m.set_bounce(true);
    m.step(0, 0, false);
    m.force_open(2);  // door sensor goes high (open) with chatter at t = 0
    std::string seen;
    uint64_t t = 0;
    while (true) {
        uint64_t next = m.next_change_ns();
        if (next == 0) break;
        t = next;
        m.step(t, 0, false);
        seen += door_closed(m, 2) ? 'c' : 'o';
    }
    EXPECT_EQ(seen, "coco") << "toggles back and forth, ends open";
    EXPECT_LT(t, 5 * ms) << "chatter lasts a few milliseconds";
    EXPECT_FALSE(door_closed(m, 2));

    m.set_bounce(false);
    m.close(2);
    EXPECT_TRUE(door_closed(m, 2)) << "no chatter with bounce off";
    EXPECT_EQ(m.next_change_ns(), 0u);
}
