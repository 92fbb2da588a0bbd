// The default alarm pool as the latch driver relies on it: deadlines,
// ordering, masking, fire-if-past and a bounded number of slots.
#include "board_sim/control.h"
#include "board_sim/sdk.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

struct fired {
    alarm_id_t id;
    uintptr_t tag;
    uint64_t at_us;
    bool masked;
};
std::vector<fired> calls;
int64_t repeat_with = 0;

int64_t record(alarm_id_t id, void *user) {
    calls.push_back({id, reinterpret_cast<uintptr_t>(user), time_us_64(), board_sim::interrupts_masked()});
    return std::exchange(repeat_with, 0);
}

void *tag(uintptr_t t) { return reinterpret_cast<void *>(t); }

class Alarms : public ::testing::Test {
protected:
    void SetUp() override {
        board_sim::power_on();
        calls.clear();
        repeat_with = 0;
    }
    alarm_pool_t *pool = alarm_pool_get_default();
};

TEST_F(Alarms, FireAtTheirDeadlinesInTimeOrderTiesFirstComeFirst) {
    ASSERT_GT(alarm_pool_add_alarm_at(pool, 3000, record, tag(3), true), 0);
    ASSERT_GT(alarm_pool_add_alarm_at(pool, 1000, record, tag(1), true), 0);
    ASSERT_GT(alarm_pool_add_alarm_at(pool, 3000, record, tag(4), true), 0);
    sleep_us(999);
    EXPECT_TRUE(calls.empty());
    sleep_ms(5);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].tag, 1u);
    EXPECT_EQ(calls[0].at_us, 1000u);
    EXPECT_EQ(calls[1].tag, 3u);
    EXPECT_EQ(calls[2].tag, 4u);
    EXPECT_EQ(calls[2].at_us, 3000u);
    EXPECT_EQ(board_sim::alarms_pending(), 0u);
}

TEST_F(Alarms, MaskedAlarmRunsInsideRestoreNotBefore) {
    ASSERT_GT(alarm_pool_add_alarm_at(pool, 500, record, tag(1), true), 0);
    uint32_t save = save_and_disable_interrupts();
    sleep_ms(2);
    EXPECT_TRUE(calls.empty());
    uint32_t inner = save_and_disable_interrupts(); // nested masking stays masked
    restore_interrupts(inner);
    EXPECT_TRUE(calls.empty());
    restore_interrupts(save);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].at_us, 2000u);
    EXPECT_FALSE(calls[0].masked);
}

TEST_F(Alarms, PastTimeFiresInsideTheCallOnlyWithFireIfPast) {
    sleep_ms(10);
    EXPECT_EQ(alarm_pool_add_alarm_at(pool, 10000, record, tag(1), false), 0);
    EXPECT_TRUE(calls.empty());

    uint32_t save = save_and_disable_interrupts(); // runs even while masked: it is the caller's own call
    EXPECT_EQ(alarm_pool_add_alarm_at(pool, 5000, record, tag(2), true), 0);
    restore_interrupts(save);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].id, 0);
    EXPECT_EQ(calls[0].tag, 2u);
    EXPECT_EQ(board_sim::alarms_pending(), 0u);

    // A callback that asks to repeat leaves a live alarm, whose id is returned.
    repeat_with = 300;
    alarm_id_t id = alarm_pool_add_alarm_at(pool, 1, record, tag(3), true);
    EXPECT_GT(id, 0);
    sleep_us(300);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[2].id, id);
    EXPECT_EQ(calls[2].at_us, 10300u);
}

TEST_F(Alarms, SixteenSlotsThenMinusOneAndCancelFreesASlot) {
    std::vector<alarm_id_t> ids;
    for (int i = 0; i < 16; ++i) {
        ids.push_back(alarm_pool_add_alarm_at(pool, 100000, record, nullptr, true));
        ASSERT_GT(ids.back(), 0);
    }
    EXPECT_EQ(alarm_pool_add_alarm_at(pool, 100000, record, nullptr, true), -1);
    EXPECT_TRUE(alarm_pool_cancel_alarm(pool, ids[5]));
    EXPECT_FALSE(alarm_pool_cancel_alarm(pool, ids[5]));
    EXPECT_GT(alarm_pool_add_alarm_at(pool, 100000, record, nullptr, true), 0);
    EXPECT_EQ(board_sim::alarms_pending(), 16u);
}

TEST_F(Alarms, FiredIdCannotCancelTheSlotsNextAlarm) {
    alarm_id_t first = alarm_pool_add_alarm_at(pool, 100, record, nullptr, true);
    sleep_ms(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(alarm_pool_cancel_alarm(pool, first));
    EXPECT_FALSE(alarm_pool_cancel_alarm(pool, 0));
    // Cycle through all slots so that the first one is handed out again.
    std::vector<alarm_id_t> ids;
    for (int i = 0; i < 16; ++i) ids.push_back(alarm_pool_add_alarm_at(pool, 5000, record, nullptr, true));
    for (alarm_id_t id : ids) EXPECT_NE(id, first);
    EXPECT_FALSE(alarm_pool_cancel_alarm(pool, first));
    EXPECT_EQ(board_sim::alarms_pending(), 16u);
}

TEST_F(Alarms, NegativeRepeatKeepsTheCadence) {
    repeat_with = -1000;
    ASSERT_GT(alarm_pool_add_alarm_at(pool, 1000, record, nullptr, true), 0);
    sleep_us(1500);
    repeat_with = 0;
    sleep_ms(3);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].at_us, 2000u);
}

int64_t sleepy(alarm_id_t, void *) {
    sleep_us(700); // time passes inside the interrupt; the next alarm waits for it
    calls.push_back({0, 0, time_us_64(), false});
    return 0;
}

TEST_F(Alarms, CallbackThatTakesTimeDelaysTheNextOne) {
    ASSERT_GT(alarm_pool_add_alarm_at(pool, 1000, sleepy, nullptr, true), 0);
    ASSERT_GT(alarm_pool_add_alarm_at(pool, 1200, record, tag(2), true), 0);
    sleep_ms(5);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].at_us, 1700u);
    EXPECT_EQ(calls[1].at_us, 1700u);
}

} // namespace
