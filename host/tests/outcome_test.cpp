// The one table of codes and outcomes: what each answer of the controller,
// each event, each way a request ends without an answer and each end of an
// open's cycle means for whoever asked (cabinetctl's exit code, cabinetd's
// answer, the line an operator reads).
#include "cabinet_host/explain.h"
#include "cabinet_host/outcome.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace cabinet_host;

namespace {

std::vector<std::string> words(const char *text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// Written out by hand: a code the controller gains must be given its meaning here.
const char *const kSuccessAcks = "accepted heartbeat_ok cleared";
const char *const kRefusalAcks =
    "invalid_command session_mismatch event_seq_exhausted range_error future_command expired "
    "duplicate fault heartbeat_required busy driver_rearming door_not_secure clear_denied "
    "invalid_message message_too_long a_code_of_newer_firmware";
const char *const kFaults =
    "identity_invalid clock_regressed power_fault sensor_fault "
    "heartbeat_lost other_door_unsafe open_not_observed event_seq_exhausted";
const char *const kEvents = "boot door_open door_closed latch_unlocked latch_locked inputs_ready "
                            "pulse_cancelled pulse_door_open pulse_complete cycle_complete "
                            "door_held_open open_accepted fault_cleared";

} // namespace

TEST(Codes, EachHasItsKindAnActionableLineAndAnExitCode) {
    std::set<std::string> acks;
    Request r;
    r.status = RequestStatus::Answered;
    r.ack = AckLine{};
    for (const char *list : {kSuccessAcks, kRefusalAcks}) {
        const bool success = list == kSuccessAcks;
        for (const std::string &code : words(list)) {
            acks.insert(code);
            r.ack->code = code;
            EXPECT_EQ(exit_code(outcome_of_ack(code)), success ? 0 : 2) << code;
            EXPECT_EQ(outcome_of(r), outcome_of_ack(code)) << code;
            EXPECT_EQ(is_success_ack(code), success) << code;
            if (code == "a_code_of_newer_firmware") continue;
            const auto *e = explain(code);
            ASSERT_NE(e, nullptr) << code;
            EXPECT_EQ(e->kind == CodeKind::AckSuccess, success) << code;
            EXPECT_GT(e->text.size(), 20u);
            EXPECT_EQ(e->text.find('\n'), std::string_view::npos);
        }
    }
    for (const auto &e : all_explanations()) {
        const bool ack = e.kind == CodeKind::AckSuccess || e.kind == CodeKind::AckRefusal;
        EXPECT_TRUE(!ack || acks.count(std::string(e.code))) << e.code << " has no exit code here";
    }
    for (const std::string &code : words(kFaults))
        EXPECT_TRUE(explain(code) && is_fault_code(code)) << code;
    for (const std::string &code : words(kEvents)) {
        EXPECT_NE(explain(code), nullptr) << code;
        EXPECT_FALSE(is_fault_code(code)) << code;
    }
    EXPECT_FALSE(is_fault_code("fault") || is_fault_code("none"));
    EXPECT_EQ(explain("no_such_code"), nullptr);
    EXPECT_FALSE(explain_text("no_such_code").empty());
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
