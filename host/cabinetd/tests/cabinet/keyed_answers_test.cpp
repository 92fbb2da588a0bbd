// A keyed command's retry answered again, from memory or the journal, never
// sent again, and only in its own client's scope.
#include "keyed_answers.h"

#include "journal_dir.h"

#include <gtest/gtest.h>

namespace {

using namespace cabinetd;
using test_support::JournalDir;

OpenArgs keyed_open(unsigned door, std::string key, std::string scope = "http:ops") {
    OpenArgs a;
    a.door = door;
    a.key = std::move(key);
    a.key_scope = std::move(scope);
    return a;
}

CommandResult accepted(const std::string &request_id) {
    CommandResult r;
    r.outcome = cabinet_host::Outcome::Done;
    r.code = "accepted";
    r.request_id = request_id;
    return r;
}

Record journalled(RecordKind kind, const std::string &request_id, const std::string &code = {}) {
    Record r;
    r.cabinet = "lab";
    r.kind = kind;
    r.session_id = "s1";
    r.request_id = request_id;
    r.code = code;
    r.door_id = 3;
    return r;
}

TEST(KeyedAnswers, AnOpenIsAnsweredAgainWithinTheWindowThenFromTheJournal) {
    JournalDir j;
    KeyedAnswers keyed("lab", *j.journal, 10000);
    const auto open = keyed_open(3, "k1");
    EXPECT_FALSE(keyed.open_again(open, 0, false).answer); // first time: it goes out
    keyed.committing({"http:ops", "k1"});
    EXPECT_EQ(keyed.open_again(open, 0, false).answer->code, "in_progress");
    keyed.committed({"http:ops", "k1"});
    EXPECT_EQ(keyed.open_again(open, 0, true).answer->code, "in_progress"); // sent, unanswered
    keyed.opened({"http:ops", "k1"}, 3, accepted("r1"), 100);
    auto again = keyed.open_again(open, 5000, false).answer;
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->replayed);
    EXPECT_EQ(again->request_id, "r1");
    EXPECT_EQ(keyed.open_again(keyed_open(4, "k1"), 5000, false).answer->code, "key_reused");
    EXPECT_FALSE(keyed.open_again(keyed_open(4, "k1", "mqtt"), 5000, false).answer);

    // Past the window the journal answers: the ack it holds, or, for an open
    // that got none, the request id it goes again under.
    auto intent = journalled(RecordKind::Open, "r1");
    intent.key_scope = "http:ops";
    intent.client_key = "k1";
    auto unanswered = journalled(RecordKind::Open, "r2");
    unanswered.key_scope = "http:ops";
    unanswered.client_key = "k2";
    j.journal->write({intent, journalled(RecordKind::Ack, "r1", "door_not_secure"), unanswered});
    j.journal->flush();
    again = keyed.open_again(open, 20000, false).answer;
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code, "door_not_secure");
    EXPECT_EQ(again->outcome, cabinet_host::Outcome::Refused);
    EXPECT_TRUE(again->replayed);
    const auto retry = keyed.open_again(keyed_open(3, "k2"), 20000, false);
    EXPECT_FALSE(retry.answer);
    EXPECT_EQ(retry.request_id, "r2");
    EXPECT_EQ(keyed.open_again(keyed_open(5, "k2"), 20000, false).answer->code, "key_reused");
}

TEST(KeyedAnswers, AClearIsAnsweredAgainOnceAnswered) {
    JournalDir j;
    KeyedAnswers keyed("lab", *j.journal, 10000);
    const AnswerKey key{"mqtt", "c1"};
    EXPECT_FALSE(keyed.clear_again(key, false));
    EXPECT_EQ(keyed.clear_again(key, true)->code, "in_progress");
    CommandResult cleared;
    cleared.code = "cleared";
    keyed.cleared(key, cleared);
    EXPECT_TRUE(keyed.clear_again(key, false)->replayed);
    EXPECT_FALSE(keyed.clear_again({"http:ops", "c1"}, false));
}

} // namespace
