#include "cabinet_host/explain.h"

#include <gtest/gtest.h>

using namespace cabinet_host;

TEST(Explain, EveryCodeTheControllerSendsHasAnActionableLine) {
    const char *acks[] = {"accepted",
                          "heartbeat_ok",
                          "cleared",
                          "invalid_command",
                          "session_mismatch",
                          "event_seq_exhausted",
                          "range_error",
                          "future_command",
                          "expired",
                          "duplicate",
                          "fault",
                          "heartbeat_required",
                          "busy",
                          "driver_rearming",
                          "door_not_secure",
                          "clear_denied",
                          "invalid_message",
                          "message_too_long"};
    const char *events[] = {"boot",
                            "identity_invalid",
                            "door_open",
                            "door_closed",
                            "latch_unlocked",
                            "latch_locked",
                            "inputs_ready",
                            "clock_regressed",
                            "power_fault",
                            "sensor_fault",
                            "heartbeat_lost",
                            "other_door_unsafe",
                            "open_not_observed",
                            "pulse_cancelled",
                            "pulse_door_open",
                            "pulse_complete",
                            "cycle_complete",
                            "door_held_open",
                            "open_accepted",
                            "fault_cleared"};
    for (const char *c : acks) {
        const auto *e = explain(c);
        ASSERT_NE(e, nullptr) << c;
        const bool success = c == acks[0] || c == acks[1] || c == acks[2];
        EXPECT_EQ(e->kind == CodeKind::AckSuccess, success) << c;
        EXPECT_EQ(is_success_ack(c), success) << c;
        EXPECT_GT(e->text.size(), 20u);
        EXPECT_EQ(e->text.find('\n'), std::string_view::npos);
    }
    for (const char *c : events) ASSERT_NE(explain(c), nullptr) << c;
    EXPECT_EQ(explain("no_such_code"), nullptr);
    EXPECT_FALSE(explain_text("no_such_code").empty());
}

TEST(Explain, FaultCodesAreKnownAsFaults) {
    for (const char *c :
         {"identity_invalid", "clock_regressed", "power_fault", "sensor_fault", "heartbeat_lost",
          "other_door_unsafe", "open_not_observed", "event_seq_exhausted"})
        EXPECT_TRUE(is_fault_code(c)) << c;
    for (const char *c : {"pulse_cancelled", "cycle_complete", "fault", "none", "boot"})
        EXPECT_FALSE(is_fault_code(c)) << c;
}
