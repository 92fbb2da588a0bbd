#include "cabinet_host/explain.h"
#include "cabinet_host/outcome.h"

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

TEST(Outcome, ExitCodes) {
    EXPECT_EQ(exit_code(Outcome::Done), 0);
    EXPECT_EQ(exit_code(Outcome::Error), 1);
    EXPECT_EQ(exit_code(Outcome::Refused), 2);
    EXPECT_EQ(exit_code(Outcome::Fault), 3);
    EXPECT_EQ(exit_code(Outcome::Timeout), 4);
    EXPECT_EQ(exit_code(Outcome::ConnectionLost), 5);

    Request r;
    r.status = RequestStatus::Answered;
    r.ack = AckLine{};
    for (const char *ok : {"accepted", "heartbeat_ok", "cleared"}) {
        r.ack->code = ok;
        EXPECT_EQ(outcome_of(r), Outcome::Done) << ok;
    }
    for (const char *no : {"busy", "clear_denied", "session_mismatch", "invalid_message"}) {
        r.ack->code = no;
        EXPECT_EQ(outcome_of(r), Outcome::Refused) << no;
    }
    Request f;
    f.status = RequestStatus::Failed;
    const std::pair<Failure, Outcome> failures[] = {
        {Failure::Timeout, Outcome::Timeout},
        {Failure::LineLost, Outcome::Timeout},
        {Failure::SessionChanged, Outcome::ConnectionLost},
        {Failure::ConnectionLost, Outcome::ConnectionLost},
        {Failure::NoSession, Outcome::Refused},
        {Failure::BadArgument, Outcome::Error}};
    for (auto [fail, out] : failures) {
        f.failure = fail;
        EXPECT_EQ(outcome_of(f), out) << to_string(fail);
    }
}
