// Reads for clients: bounded pages, and the indexes behind the audit's filters.
#include "journal.h"
#include "sqlite_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <condition_variable>
#include <future>
#include <mutex>

namespace cabinetd {
namespace {

using JournalReads = test_support::TestDir;

// A day of a cabinet: opens by two people, alarms acknowledged, line
// traffic between (some with a detail that is not JSON but reads like it), stamped a second apart but out of order by up to 3 s (the
// cabinets stamp records on threads of their own).
std::vector<Record> day() {
    std::vector<Record> out;
    for (int i = 0; i < 600; ++i) {
        Record r;
        r.cabinet = i % 2 ? "lab" : "demo";
        r.at_ms = 1'000'000 + i * 1000 + (i % 3 == 1 ? 3000 : 0);
        r.kind = RecordKind::Ack;
        r.code = "accepted";
        if (i % 10 == 0) {
            r.kind = RecordKind::Open;
            r.door_id = 1 + static_cast<unsigned>(i / 10 % 8);
            r.detail = i % 20 ? R"({"requested_by":"alice","pulse_ms":500})"
                              : R"({"requested_by":"Bob","pulse_ms":500})";
        } else if (i % 37 == 0) {
            r.kind = RecordKind::Alarm;
            r.door_id = 3;
            r.detail = R"({"state":"acknowledged","by":"alice"})";
        } else if (i % 50 == 1) {
            r.detail = R"(not json "requested_by":"alice")";
        }
        out.push_back(r);
    }
    return out;
}

// Every page of a query, from the start; checks what each may examine.
std::vector<Record> all_pages(const Journal &j, Query q, std::int64_t window,
                              Journal::Reader reader = Journal::Reader::audit) {
    std::vector<Record> out;
    for (int pages = 0; pages < 1000; ++pages) {
        const auto p = j.page(q, window, reader);
        EXPECT_LE(p.records.size(), q.limit);
        if (q.requested_by.empty() && !q.since_ms && !q.until_ms) {
            EXPECT_LE(p.scanned_to - q.after, window);
        }
        out.insert(out.end(), p.records.begin(), p.records.end());
        if (!p.more) return out;
        EXPECT_GT(p.scanned_to, q.after) << "a page that moved nothing on";
        q.after = p.scanned_to;
    }
    ADD_FAILURE() << "no end";
    return out;
}

// Streams and audits read on connections of their own, alike.
TEST_F(JournalReads, BoundedPagesTogetherFindEveryMatchFromMemoryAndDatabase) {
    // The day is stamped in 1970: kept past any retention, or the writer
    // prunes it for age while the pages are read.
    JournalOptions kept;
    kept.retention = std::chrono::hours(24 * 365 * 100);
    JournalOptions few = kept;
    few.recent = 4; // pages from the database
    Journal memory(path("m.db"), kept), disk(path("d.db"), few);
    const auto records = day();
    for (Journal *j : {&memory, &disk}) {
        j->write(records);
        j->flush();
    }
    std::vector<Query> queries(10);
    queries[0].kinds = {RecordKind::Clear};
    queries[1].requested_by = "alice";
    queries[2].requested_by = "nobody";
    queries[3].kinds = {RecordKind::Open};
    queries[3].door = 3;
    queries[4].since_ms = 1'200'000; // inside the jitter: stamps out of order at both ends
    queries[4].until_ms = 1'400'000;
    queries[5].since_ms = 1'599'000;
    queries[6].until_ms = 1'001'000;
    queries[7].requested_by = "alice";
    queries[7].since_ms = 1'100'500;
    queries[7].cabinet = "demo";
    queries[8].since_ms = 9'000'000;
    queries[9].requested_by_prefix = "b"; // held folded, as the API parses it
    Query any;
    any.limit = 1000;
    const auto everything = disk.page(any, 1000).records;
    ASSERT_EQ(everything.size(), records.size());
    for (auto &q : queries)
        for (std::size_t limit : {7u, 100u})
            for (std::int64_t window : {50, 1000})
                for (Journal *j : {&memory, &disk}) {
                    auto query = q;
                    query.limit = limit;
                    std::vector<std::int64_t> want, got;
                    for (auto &r : everything)
                        if (matches(q, r)) want.push_back(r.cursor);
                    const auto reader =
                        window == 50 ? Journal::Reader::stream : Journal::Reader::audit;
                    for (auto &r : all_pages(*j, query, window, reader)) got.push_back(r.cursor);
                    EXPECT_EQ(got, want) << "limit " << limit << " window " << window
                                         << (j == &disk ? " database" : " memory");
                }

    // A filter that matches nothing answers at once, with where to go on.
    Query none;
    none.kinds = {RecordKind::Clear};
    auto p = disk.page(none, 50, Journal::Reader::audit);
    EXPECT_TRUE(p.records.empty());
    EXPECT_TRUE(p.more);
    EXPECT_EQ(p.scanned_to, 50);
    // Alarms acknowledged count as their acknowledger's; a detail that is not
    // JSON is nobody's, whatever it says.
    Query alice;
    alice.requested_by = "alice";
    alice.kinds = {RecordKind::Alarm, RecordKind::Ack};
    for (Journal *j : {&memory, &disk}) EXPECT_EQ(all_pages(*j, alice, 1000).size(), 15u);
}

// A journal as version 2 left it, with records as that version wrote them.
constexpr const char *kVersionTwo = R"sql(
PRAGMA page_size=1024;
PRAGMA journal_mode=WAL;
CREATE TABLE journal (
    cursor INTEGER PRIMARY KEY AUTOINCREMENT, at_ms INTEGER NOT NULL, cabinet TEXT NOT NULL, kind TEXT NOT NULL,
    session_id TEXT NOT NULL DEFAULT '', event_seq INTEGER, seq_to INTEGER, code TEXT NOT NULL DEFAULT '',
    request_id TEXT NOT NULL DEFAULT '', door_id INTEGER NOT NULL DEFAULT 0, detail TEXT NOT NULL DEFAULT '',
    key_scope TEXT NOT NULL DEFAULT '', client_key TEXT NOT NULL DEFAULT '', uptime_ms INTEGER);
CREATE UNIQUE INDEX journal_event ON journal(cabinet, session_id, event_seq) WHERE kind = 'event';
CREATE INDEX journal_request ON journal(cabinet, request_id) WHERE request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
CREATE INDEX journal_at ON journal(at_ms);
CREATE TABLE sessions (cabinet TEXT NOT NULL, session_id TEXT NOT NULL, last_seq INTEGER NOT NULL DEFAULT 0,
    first_ms INTEGER NOT NULL, last_ms INTEGER NOT NULL, PRIMARY KEY (cabinet, session_id));
CREATE TABLE progress (reader TEXT PRIMARY KEY, cursor INTEGER NOT NULL);
PRAGMA application_id=1128352322;
PRAGMA user_version=2;
INSERT INTO journal (at_ms, cabinet, kind, session_id, request_id, door_id, detail, key_scope, client_key) VALUES
    (strftime('%s') * 1000 + 0, 'lab', 'open', 's1', '0190abc', 3, '{"pulse_ms":500,"requested_by":"ops","ttl_ms":3000}', 'http:ops', 'k-1');
INSERT INTO journal (at_ms, cabinet, kind, session_id, event_seq, code, request_id, door_id, uptime_ms) VALUES
    (strftime('%s') * 1000 + 1, 'lab', 'event', 's1', 7, 'open_accepted', '0190abc', 3, 5000);
INSERT INTO journal (at_ms, cabinet, kind, code, door_id, detail) VALUES
    (strftime('%s') * 1000 + 2, 'lab', 'alarm', 'forced_open', 5, '{"alarm_id":"A1","by":"ops2","state":"acknowledged","text":"t"}'),
    (strftime('%s') * 1000 + 3, 'lab', 'clear', '', 0, '{"requested_by":"ops2"}'),
    (strftime('%s') * 1000 + 4, 'lab', 'link', 'down', 0, '{"reason":"by the way"}'),
    (strftime('%s') * 1000 + 5, 'lab', 'open', '', 2, 'not json'),
    (strftime('%s') * 1000 + 6, 'lab', 'open', '', 2, '{"requested_by":7,"by":"odd"}');
INSERT INTO sessions VALUES ('lab', 's1', 7, strftime('%s') * 1000, strftime('%s') * 1000 + 1);
INSERT INTO progress VALUES ('mqtt:lab', 2);
)sql";

TEST_F(JournalReads, AVersionTwoJournalIsMigratedAndItsRequestersFound) {
    const auto file = path("v2.db");
    test_support::run_sql(file, kVersionTwo);
    const auto by = [](const Journal &j, const char *who) {
        Query q;
        q.requested_by = who;
        std::vector<std::int64_t> cursors;
        for (auto &r : j.page(q, 1000, Journal::Reader::audit).records) cursors.push_back(r.cursor);
        return cursors;
    };
    for (int run = 0; run < 2; ++run) { // migrated, then opened as it is
        Journal j(file);
        const auto all = j.read(Query{});
        ASSERT_EQ(all.size(), 8u); // and the record saying where the chain starts
        EXPECT_EQ(all[1].uptime_ms, 5000u);
        EXPECT_EQ(j.by_key("lab", "http:ops", "k-1").size(), 1u);
        EXPECT_EQ(j.last_seq("lab", "s1"), 7u);
        EXPECT_EQ(j.progress("mqtt:lab"), 2);
        EXPECT_EQ(by(j, "ops"), (std::vector<std::int64_t>{1}));
        EXPECT_EQ(by(j, "ops2"), (std::vector<std::int64_t>{3, 4}));
        EXPECT_EQ(by(j, "odd"), (std::vector<std::int64_t>{7}));
        for (auto &r : all) EXPECT_EQ(r.requested_by, requester(r)) << r.detail;
    }
    EXPECT_EQ(test_support::user_version(file), kSchemaVersion);
}

} // namespace
} // namespace cabinetd
