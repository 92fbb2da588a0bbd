// Runs of the controller and their missing events, as the journal keeps them.
#include "run_tracker.h"

#include "journal_dir.h"

#include <gtest/gtest.h>

namespace {

using namespace cabinetd;
using namespace cabinet_host;
using test_support::JournalDir;

TEST(SeqTracker, ReportsTheEventsALineShowsMissing) {
    SeqTracker t([](const std::string &s) -> std::optional<std::uint64_t> {
        if (s == "known") return 40;
        return std::nullopt;
    });
    using Range = std::pair<std::uint64_t, std::uint64_t>;
    const auto range = [](std::optional<SeqTracker::Gap> g) {
        return g ? Range{g->from, g->to} : Range{0, 0};
    };
    const Range none{0, 0};
    // A new session seen from its first event: nothing missing.
    EXPECT_EQ(range(t.event("new", 1)), none);
    EXPECT_EQ(range(t.event("new", 2)), none);
    // A jump within a session.
    EXPECT_EQ(range(t.event("new", 5)), (Range{3, 4}));
    // A state or ack line names the latest event: those after the last one
    // accounted for were missed, up to and including it.
    EXPECT_EQ(range(t.latest("new", 7)), (Range{6, 7}));
    EXPECT_EQ(range(t.latest("new", 7)), none);
    EXPECT_EQ(range(t.event("new", 8)), none);
    // A session known from the journal continues where it stood.
    EXPECT_EQ(range(t.latest("known", 40)), none);
    EXPECT_EQ(range(t.latest("known", 42)), (Range{41, 42}));
    // Joining a session late: everything before was missed.
    EXPECT_EQ(range(t.latest("late", 12)), (Range{1, 12}));
    // A repeated or older number is never a gap.
    EXPECT_EQ(range(t.event("late", 3)), none);
}

EventLine event(const std::string &sid, std::uint64_t seq, std::uint64_t uptime,
                const char *code = "door_open") {
    return EventLine{sid, seq, uptime, code, "", 1};
}

SessionChange first(const std::string &sid) { return {"", sid, true, "first line"}; }

// What a line made of the runs: the records' kinds and codes, in order.
std::vector<std::string> heard(RunTracker &runs, const Inbound &line, JournalDir &j) {
    std::vector<std::string> out;
    auto records = runs.heard(line);
    for (const auto &r : records) out.push_back(std::string(to_string(r.kind)) + ":" + r.code);
    for (auto &r : records) r.cabinet = "lab";
    // What the cabinet journals of the line itself, which the next run is
    // checked against.
    if (const auto *e = std::get_if<EventLine>(&line)) {
        Record r;
        r.cabinet = "lab";
        r.kind = RecordKind::Event;
        r.session_id = runs.key();
        r.event_seq = e->event_seq;
        r.uptime_ms = e->uptime_ms;
        r.code = e->code;
        records.push_back(r);
    }
    j.journal->write(std::move(records));
    j.journal->flush();
    return out;
}

TEST(RunTracker, EachRunOfTheControllerGoesUnderAKeyOfItsOwn) {
    JournalDir j;
    const std::string sid = "E6613852832F4A29-0000000000000001";
    {
        RunTracker runs("lab", *j.journal);
        EXPECT_FALSE(runs.known());
        runs.session_changed(first(sid));
        EXPECT_EQ(heard(runs, event(sid, 1, 100, "boot"), j),
                  std::vector<std::string>{"session:first"});
        EXPECT_EQ(runs.key(), sid);
        EXPECT_EQ(heard(runs, event(sid, 4, 200), j), std::vector<std::string>{"gap:"});
    }
    {
        // cabinetd restarted, the controller went on: the same run.
        RunTracker runs("lab", *j.journal);
        EXPECT_EQ(runs.known(), sid);
        runs.session_changed(first(sid));
        EXPECT_TRUE(heard(runs, event(sid, 5, 300), j).empty());
        EXPECT_EQ(runs.key(), sid);
        // Its boot store erased, it starts again at boot 1 under the same
        // session id: a new run under a key of its own.
        runs.session_changed({sid, sid, false, "uptime went backwards"});
        EXPECT_EQ(heard(runs, event(sid, 1, 50, "boot"), j),
                  std::vector<std::string>{"session:reused"});
        EXPECT_NE(runs.key(), sid);
        EXPECT_EQ(runs.key().rfind(sid + "~", 0), 0u);
    }
    {
        // A new session found on connecting: what the old run said after
        // its last event accounted for is lost.
        RunTracker runs("lab", *j.journal);
        const std::string next = "E6613852832F4A29-0000000000000002";
        runs.session_changed(first(next));
        EXPECT_EQ(heard(runs, event(next, 1, 10, "boot"), j),
                  (std::vector<std::string>{"gap:", "session:restarted"}));
        const auto gaps = j.records(RecordKind::Gap);
        EXPECT_EQ(gaps.back().event_seq, 2u); // after the reused run's boot
        // A controller without an identity: every run a key of its own.
        runs.session_changed({next, "", false, "session id changed"});
        EXPECT_EQ(heard(runs, event("", 1, 10, "boot"), j),
                  std::vector<std::string>{"session:restarted"});
        EXPECT_EQ(runs.key().rfind("unidentified-", 0), 0u);
    }
}

} // namespace
