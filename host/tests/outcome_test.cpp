// The one table of outcomes: what each answer of the controller, each way a
// request ends without one and each end of an open's cycle means for whoever
// asked (cabinetctl's exit code, cabinetd's answer).
#include "cabinet_host/explain.h"
#include "cabinet_host/outcome.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

using namespace cabinet_host;

TEST(Outcome, EveryAckCodeIsDoneOrRefused) {
    // Written out by hand: a new ack code must be given its exit code here.
    const std::map<std::string, int> exits{{"accepted", 0},
                                           {"heartbeat_ok", 0},
                                           {"cleared", 0},
                                           {"invalid_command", 2},
                                           {"session_mismatch", 2},
                                           {"event_seq_exhausted", 2},
                                           {"range_error", 2},
                                           {"future_command", 2},
                                           {"expired", 2},
                                           {"duplicate", 2},
                                           {"fault", 2},
                                           {"heartbeat_required", 2},
                                           {"busy", 2},
                                           {"driver_rearming", 2},
                                           {"door_not_secure", 2},
                                           {"clear_denied", 2},
                                           {"invalid_message", 2},
                                           {"message_too_long", 2},
                                           {"a_code_of_newer_firmware", 2}};
    for (const auto &e : all_explanations()) {
        if (e.kind == CodeKind::AckSuccess || e.kind == CodeKind::AckRefusal) {
            EXPECT_TRUE(exits.count(std::string(e.code))) << e.code << " has no exit code here";
        }
    }
    Request r;
    r.status = RequestStatus::Answered;
    r.ack = AckLine{};
    for (const auto &[code, exit] : exits) {
        r.ack->code = code;
        EXPECT_EQ(exit_code(outcome_of_ack(code)), exit) << code;
        EXPECT_EQ(outcome_of(r), outcome_of_ack(code)) << code;
    }
}

TEST(Outcome, RequestsWithoutAnAck) {
    const std::pair<Failure, Outcome> table[] = {
        {Failure::Timeout, Outcome::Timeout},
        {Failure::LineLost, Outcome::Timeout}, // no answer to it will come
        {Failure::SessionChanged, Outcome::ConnectionLost},
        {Failure::ConnectionLost, Outcome::ConnectionLost},
        {Failure::NoSession, Outcome::Refused},
        {Failure::IdentityInvalid, Outcome::Refused},
        {Failure::BadArgument, Outcome::Error}};
    Request r;
    r.status = RequestStatus::Failed;
    for (auto [failure, outcome] : table) {
        r.failure = failure;
        EXPECT_EQ(outcome_of_failure(failure), outcome) << to_string(failure);
        EXPECT_EQ(outcome_of(r), outcome) << to_string(failure);
    }
    EXPECT_EQ(exit_code(outcome_of_failure(Failure::IdentityInvalid)), 2);
    EXPECT_EQ(exit_code(outcome_of_failure(Failure::LineLost)), 4);
}

TEST(Outcome, CycleEnds) {
    const std::pair<const char *, Outcome> table[] = {
        {"cycle_complete", Outcome::Done},
        {"other_door_unsafe", Outcome::Fault},
        {"open_not_observed", Outcome::Fault},
        {"event_seq_exhausted", Outcome::Fault}, // a fault as an event
        {"fault_cleared", Outcome::Fault},       // a clear abandoned the operation
        {"timeout", Outcome::Timeout},
        {"session_changed", Outcome::ConnectionLost},
        {"connection_lost", Outcome::ConnectionLost},
        {"stopping", Outcome::ConnectionLost}};
    for (auto [end, outcome] : table) {
        EXPECT_EQ(outcome_of_cycle_end(end), outcome) << end;
        if (outcome == Outcome::Done || outcome == Outcome::Fault) {
            EXPECT_TRUE(ends_cycle(end)) << end;
        }
    }
    EXPECT_FALSE(ends_cycle("door_open"));
    EXPECT_FALSE(ends_cycle("pulse_complete"));
}

TEST(Outcome, NamesAndExitCodes) {
    const std::pair<Outcome, int> table[] = {
        {Outcome::Done, 0},         {Outcome::Error, 1},   {Outcome::Refused, 2},
        {Outcome::Fault, 3},        {Outcome::Timeout, 4}, {Outcome::ConnectionLost, 5},
        {Outcome::Interrupted, 130}};
    for (auto [outcome, exit] : table) {
        EXPECT_EQ(exit_code(outcome), exit);
        EXPECT_EQ(parse_outcome(to_string(outcome)), outcome) << to_string(outcome);
    }
    EXPECT_EQ(to_string(Outcome::ConnectionLost), "connection_lost");
    for (const char *bad : {"", "Refused", "refused ", "2", "connection-lost"})
        EXPECT_FALSE(parse_outcome(bad)) << bad;
}
