// The default alarm pool as the latch driver relies on it: masking and a
// bounded number of slots. (That a pulse's alarm fires at its deadline is the
// latch tests' check; the driver never holds two alarms or sets one in the past.)
#include "sim_test.h"

#include <algorithm>
#include <tuple>

namespace {

using call = std::tuple<uintptr_t, uint64_t, bool>; // tag, time_us_64, interrupts masked
std::vector<call> calls;

int64_t record(alarm_id_t, void *user) {
    calls.emplace_back(reinterpret_cast<uintptr_t>(user), time_us_64(), sim::interrupts_masked());
    return 0;
}

alarm_id_t add(uint64_t at_us, uintptr_t tag = 0) {
    return alarm_pool_add_alarm_at(alarm_pool_get_default(), at_us, record, reinterpret_cast<void *>(tag), true);
}

bool cancel(alarm_id_t id) { return alarm_pool_cancel_alarm(alarm_pool_get_default(), id); }

struct Alarms : ::testing::Test {
    void SetUp() override {
        sim::power_on();
        calls.clear();
    }
};

TEST_F(Alarms, MaskedAlarmRunsInsideTheOutermostRestore) {
    ASSERT_GT(add(500, 1), 0);
    const uint32_t save = save_and_disable_interrupts();
    sleep_ms(2);
    restore_interrupts(save_and_disable_interrupts()); // nested masking stays masked
    EXPECT_TRUE(calls.empty());
    restore_interrupts(save);
    EXPECT_EQ(calls, (std::vector<call>{{1, 2000, false}}));
}

TEST_F(Alarms, SixteenSlotsAndAFiredIdCancelsNothing) {
    const alarm_id_t fired = add(100);
    sleep_ms(1);
    EXPECT_FALSE(cancel(fired));
    std::vector<alarm_id_t> ids; // the fired alarm's slot is handed out again among them
    for (int i = 0; i < 16; ++i) ids.push_back(add(100000));
    EXPECT_TRUE(std::all_of(ids.begin(), ids.end(), [&](alarm_id_t id) { return id > 0 && id != fired; }));
    EXPECT_EQ(add(100000), -1);
    EXPECT_FALSE(cancel(fired)); // not the slot's new alarm
    EXPECT_TRUE(cancel(ids[5]));
    EXPECT_FALSE(cancel(ids[5]));
    EXPECT_GT(add(100000), 0);
    EXPECT_EQ(sim::alarms_pending(), 16u);
}

} // namespace
