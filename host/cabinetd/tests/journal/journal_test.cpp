#include "fault_vfs.h"
#include "journal.h"
#include "sqlite_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace cabinetd {
namespace {

namespace fs = std::filesystem;

using test_support::eventually;

class JournalTest : public test_support::TestDir {
protected:
    void SetUp() override {
        TestDir::SetUp();
        path_ = path("j.db");
    }

    static Record event(const std::string &session, std::uint64_t seq,
                        std::string code = "door_open") {
        Record r;
        r.cabinet = "lab";
        r.kind = RecordKind::Event;
        r.session_id = session;
        r.event_seq = seq;
        r.code = std::move(code);
        return r;
    }

    // Ten events of lab, one of demo, an ack of lab.
    static std::vector<Record> mixed() {
        std::vector<Record> batch;
        for (std::uint64_t i = 1; i <= 10; ++i) batch.push_back(event("s", i));
        Record other = event("s", 1);
        other.cabinet = "demo";
        batch.push_back(other);
        Record ack;
        ack.cabinet = "lab";
        ack.kind = RecordKind::Ack;
        ack.code = "heartbeat_ok";
        batch.push_back(ack);
        return batch;
    }

    std::string path_;
};

TEST_F(JournalTest, AnEventIsStoredOnceWhateverRestartsHappen) {
    {
        Journal j(path_);
        j.write({event("s1", 1), event("s1", 2)});
        j.write({event("s1", 2), event("s2", 2)}); // s1/2 again: ignored; s2/2 is another event
        j.flush();
        EXPECT_EQ(j.stats().duplicates, 1u);
    }
    Journal j(path_);
    j.write({event("s1", 1), event("s1", 3)});
    j.flush();
    Query q;
    q.kinds = {RecordKind::Event};
    const auto all = j.read(q);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[3].session_id, "s1");
    EXPECT_EQ(*all[3].event_seq, 3u);
    // Cursors keep growing across restarts, so a reader's position stays valid.
    for (std::size_t i = 1; i < all.size(); ++i) EXPECT_GT(all[i].cursor, all[i - 1].cursor);
    EXPECT_EQ(j.last_seq("lab", "s1"), 3u);
    EXPECT_EQ(j.last_seq("lab", "nope"), std::nullopt);
}

TEST_F(JournalTest, GapsCountAsAccountedForAndTheLatestSessionIsKnown) {
    Journal j(path_);
    Record gap;
    gap.cabinet = "lab";
    gap.kind = RecordKind::Gap;
    gap.session_id = "s1";
    gap.event_seq = 4;
    gap.seq_to = 9;
    j.write({event("s1", 3), gap});
    j.write({event("s2", 1)});
    j.flush();
    EXPECT_EQ(j.last_seq("lab", "s1"), 9u);
    EXPECT_EQ(j.last_session("lab"), "s2");
    EXPECT_EQ(j.last_session("other"), std::nullopt);
}

TEST_F(JournalTest, ReadsPageByCursorAndFilter) {
    Journal j(path_);
    j.write(mixed());
    j.flush();
    Query q;
    q.cabinet = "lab";
    q.limit = 4;
    q.kinds = {RecordKind::Event};
    std::vector<std::uint64_t> seen;
    for (;;) {
        auto page = j.read(q);
        if (page.empty()) break;
        for (auto &r : page) seen.push_back(*r.event_seq);
        q.after = page.back().cursor;
    }
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

    // Live readers get the same records from memory as from the database.
    EXPECT_EQ(j.since(0, 100).size(), 12u);
    EXPECT_EQ(j.since(j.last_cursor(), 100).size(), 0u);
    JournalOptions two;
    two.recent = 2;
    Journal small(path_ + "2", two);
    small.write(mixed());
    small.flush();
    const auto from_db = small.since(0, 100);
    ASSERT_EQ(from_db.size(), 12u);
    EXPECT_EQ(from_db[11].kind, RecordKind::Ack);
}

TEST_F(JournalTest, CommittedCallbackRunsAfterTheRecordsAreReadable) {
    Journal j(path_);
    std::atomic<bool> seen{false};
    j.write({event("s", 1)}, [&] {
        Query q;
        seen = j.read(q).size() == 1;
    });
    j.flush();
    EXPECT_TRUE(seen);
}

// The writer sleeps until the first batch is due: records queued behind a
// reader's progress (which waits long for company) must still go out within
// the group interval, not with the progress.
TEST_F(JournalTest, RecordsBehindAReadersProgressAreCommittedWithinTheGroupInterval) {
    JournalOptions o;
    o.group_interval = std::chrono::milliseconds(10);
    o.progress_interval = std::chrono::hours(1);
    std::promise<void> committed; // outlives the journal, whose listener sets it
    Journal j(path_, o);
    j.subscribe([&, once = std::make_shared<std::once_flag>()](std::int64_t) {
        std::call_once(*once, [&] { committed.set_value(); });
    });
    j.set_progress("reader", 0);
    j.write({event("s", 1)});
    EXPECT_EQ(committed.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST_F(JournalTest, ObserversSeeRecordsInWriteOrderBeforeTheyAreCommitted) {
    JournalOptions o;
    o.group_interval = std::chrono::hours(1); // nothing is committed unless someone waits
    Journal j(path_, o);
    std::vector<std::uint64_t> seen;
    const int id = j.observe([&](const std::vector<Record> &recs) {
        for (auto &r : recs) seen.push_back(*r.event_seq);
    });
    j.write({event("s", 1), event("s", 2)});
    j.write_durable({event("s", 3)}, [](bool) {});
    j.write({event("s", 4)});
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2, 3, 4}));
    j.unobserve(id);
    j.write({event("s", 5)});
    EXPECT_EQ(seen.size(), 4u);
}

TEST_F(JournalTest, RefusesAForeignDatabaseAndANewerSchema) {
    test_support::run_sql(path_, "CREATE TABLE t(x)");
    EXPECT_THROW(Journal j(path_), JournalError);

    const auto other = (dir_ / "newer.db").string();
    { Journal j(other); }
    test_support::run_sql(other, "PRAGMA user_version=99");
    try {
        Journal j(other);
        FAIL() << "a newer schema was accepted";
    } catch (const JournalError &e) {
        EXPECT_NE(std::string(e.what()).find("schema version 99"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Journal j((dir_ / "missing" / "x.db").string()), JournalError);
}

// A journal written by the first schema, as that version of cabinetd left it.
constexpr const char *kVersionOne = R"sql(
PRAGMA journal_mode=WAL;
CREATE TABLE journal (
    cursor INTEGER PRIMARY KEY AUTOINCREMENT, at_ms INTEGER NOT NULL, cabinet TEXT NOT NULL, kind TEXT NOT NULL,
    session_id TEXT NOT NULL DEFAULT '', event_seq INTEGER, seq_to INTEGER, code TEXT NOT NULL DEFAULT '',
    request_id TEXT NOT NULL DEFAULT '', door_id INTEGER NOT NULL DEFAULT 0, detail TEXT NOT NULL DEFAULT '');
CREATE UNIQUE INDEX journal_event ON journal(cabinet, session_id, event_seq) WHERE kind = 'event';
CREATE INDEX journal_request ON journal(cabinet, request_id) WHERE request_id <> '';
CREATE INDEX journal_at ON journal(at_ms);
CREATE TABLE sessions (cabinet TEXT NOT NULL, session_id TEXT NOT NULL, last_seq INTEGER NOT NULL DEFAULT 0,
    first_ms INTEGER NOT NULL, last_ms INTEGER NOT NULL, PRIMARY KEY (cabinet, session_id));
CREATE TABLE progress (reader TEXT PRIMARY KEY, cursor INTEGER NOT NULL);
PRAGMA application_id=1128352322;
PRAGMA user_version=1;
INSERT INTO journal (at_ms, cabinet, kind, session_id, request_id, door_id, detail) VALUES
    (strftime('%s') * 1000 + 0, 'lab', 'open', 's1', 'order-1', 3, '{"requested_by":"ops","pulse_ms":500,"ttl_ms":3000}');
INSERT INTO journal (at_ms, cabinet, kind, session_id, event_seq, code, request_id, door_id, detail) VALUES
    (strftime('%s') * 1000 + 1, 'lab', 'event', 's1', 7, 'open_accepted', 'order-1', 3, '{"uptime_ms":5000}'),
    (strftime('%s') * 1000 + 2, 'lab', 'ack', 's1', 7, 'accepted', 'order-1', 3, '');
INSERT INTO journal (at_ms, cabinet, kind, session_id, request_id, door_id, detail) VALUES
    (strftime('%s') * 1000 + 3, 'lab', 'open', 's1', 'm-1', 2, '{"requested_by":"mqtt","pulse_ms":500,"ttl_ms":3000}'),
    (strftime('%s') * 1000 + 4, 'lab', 'open', 's1', 'odd', 2, 'not json');
INSERT INTO sessions VALUES ('lab', 's1', 7, strftime('%s') * 1000, strftime('%s') * 1000 + 4);
INSERT INTO progress VALUES ('mqtt:lab', 2);
)sql";

TEST_F(JournalTest, AVersionOneJournalIsMigratedWithEveryRecord) {
    test_support::run_sql(path_, kVersionOne);
    {
        Journal j(path_);
        const auto all = j.read(Query{});
        ASSERT_EQ(all.size(), 6u);
        // Its records stay as they were; the chain starts after them.
        EXPECT_EQ(all[5].code, "chain_started");
        EXPECT_EQ(all[5].detail, R"({"after_cursor":5,"unchained":5})");
        EXPECT_TRUE(all[4].hash.empty());
        EXPECT_EQ(all[1].code, "open_accepted");
        EXPECT_EQ(all[1].uptime_ms, 5000u); // out of the detail, into its column
        EXPECT_EQ(all[1].detail, "");
        EXPECT_EQ(all[4].detail, "not json");
        EXPECT_EQ(j.last_seq("lab", "s1"), 7u);
        EXPECT_EQ(j.progress("mqtt:lab"), 2);
        // Its keyed opens answer their key, in the scope of who asked only.
        const auto open = j.by_key("lab", "http:ops", "order-1");
        ASSERT_EQ(open.size(), 1u);
        EXPECT_EQ(open[0].request_id, "order-1");
        EXPECT_EQ(open[0].door_id, 3u);
        EXPECT_TRUE(j.by_key("lab", "http:someone", "order-1").empty());
        EXPECT_EQ(j.by_key("lab", "mqtt", "m-1").size(), 1u);
        Record r = event("s1", 8);
        r.kind = RecordKind::Open;
        r.event_seq.reset();
        r.request_id = "0123abcd";
        r.key_scope = "http:ops";
        r.client_key = "order-2";
        j.write({r});
        j.flush();
    }
    Journal j(path_); // the current version now, opened as it is
    EXPECT_EQ(j.read(Query{}).size(), 7u);
    const auto v = verify_journal(path_, std::nullopt);
    EXPECT_TRUE(v.ok) << v.problem;
    EXPECT_EQ(v.unchained, 5u);
    EXPECT_EQ(v.head.count, 2u);
    EXPECT_EQ(j.by_key("lab", "http:ops", "order-2").at(0).request_id, "0123abcd");
    EXPECT_EQ(test_support::user_version(path_), kSchemaVersion);
}

std::vector<Record> of_kind(const Journal &j, RecordKind kind) {
    Query q;
    q.kinds = {kind};
    q.limit = 100000;
    return j.read(q);
}

TEST_F(JournalTest, PrunesForAgeAndForSizeOldestFirstAndSaysWhatWent) {
    JournalOptions opt;
    opt.retention = std::chrono::hours(1);
    opt.prune_interval = std::chrono::milliseconds(20);
    opt.max_bytes = 200 * 1024;
    Journal j(path_, opt);
    Record old = event("s", 1);
    old.at_ms = wall_ms() - 2 * 3600 * 1000;
    j.write({old, event("s", 2)});
    j.flush();
    ASSERT_TRUE(eventually([&] { return of_kind(j, RecordKind::Journal).size() == 1; }));
    const auto aged = of_kind(j, RecordKind::Journal)[0];
    EXPECT_EQ(aged.code, "pruned");
    EXPECT_NE(aged.detail.find(R"("records":1,"up_to_cursor":1,)"), std::string::npos)
        << aged.detail;
    EXPECT_NE(aged.detail.find(R"("why":"age")"), std::string::npos) << aged.detail;
    EXPECT_EQ(of_kind(j, RecordKind::Event).size(), 1u);

    std::vector<Record> batch;
    for (std::uint64_t i = 3; i <= 3000; ++i) {
        batch.push_back(event("s", i));
        batch.back().detail = std::string(200, 'x');
    }
    j.write(batch);
    j.flush();
    const auto used = [&] {
        sqlite3 *db = nullptr;
        EXPECT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT (SELECT page_count FROM pragma_page_count) - (SELECT "
                           "freelist_count FROM pragma_freelist_count)",
                           -1, &st, nullptr);
        const auto pages = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        sqlite3_close(db);
        return pages * 1024;
    };
    ASSERT_TRUE(eventually([&] { return used() <= 200 * 1024; }));
    // What is left is the newest records, without a hole; with nothing else
    // to remove, audit records went too (the journal's own), and the record
    // saying so names them and the anchor the chain now starts from.
    const auto left = of_kind(j, RecordKind::Event);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(*left.back().event_seq, 3000u);
    EXPECT_EQ(*left.back().event_seq - *left.front().event_seq + 1, left.size());
    EXPECT_LT(left.size(), 1000u);
    EXPECT_GT(j.stats().audit_pruned, 0u);
    const auto marks = of_kind(j, RecordKind::Journal);
    ASSERT_FALSE(marks.empty());
    EXPECT_NE(marks.back().detail.find(R"("why":"size")"), std::string::npos);
    EXPECT_NE(marks.back().detail.find(R"("anchor":")"), std::string::npos) << marks.back().detail;
    EXPECT_TRUE(verify_journal(path_, std::nullopt).ok);
}

TEST_F(JournalTest, WhileTheDiskFailsRecordsWaitInMemoryAndAGapSaysWhatDidNotFit) {
    const auto fault = (dir_ / "fault").string();
    test_support::FaultVfs vfs;
    vfs.fail_while(fault);
    JournalOptions opt;
    opt.vfs = vfs.name();
    opt.held_max = 5;
    opt.retry_interval = std::chrono::milliseconds(20);
    Journal j(path_, opt);
    j.write({event("s", 1)});
    j.flush();

    std::ofstream(fault) << "full";
    std::promise<bool> stored;
    j.write_durable({event("s", 2)}, [&](bool ok) { stored.set_value(ok); });
    EXPECT_FALSE(stored.get_future().get()); // a caller waiting for it learns at once
    EXPECT_FALSE(j.available());
    EXPECT_NE(j.unavailable_reason().find("full"), std::string::npos) << j.unavailable_reason();
    for (std::uint64_t seq = 3; seq <= 10; ++seq) j.write({event("s", seq)});
    j.flush(); // returns: what it cannot write is held, not waited for
    EXPECT_EQ(j.stats().held, 5u);
    EXPECT_EQ(j.stats().dropped, 4u);

    fs::remove(fault);
    ASSERT_TRUE(eventually([&] { return j.available(); }));
    std::vector<std::uint64_t> seqs;
    for (auto &r : of_kind(j, RecordKind::Event)) seqs.push_back(*r.event_seq);
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{1, 6, 7, 8, 9, 10}));
    const auto gaps = of_kind(j, RecordKind::Gap);
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(*gaps[0].event_seq, 2u);
    EXPECT_EQ(*gaps[0].seq_to, 5u);
    EXPECT_EQ(j.last_seq("lab", "s"), 10u);
    const auto marks = of_kind(j, RecordKind::Journal);
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].code, "unavailable");
    EXPECT_EQ(marks[1].code, "recovered");

    std::promise<bool> again;
    j.write_durable({event("s", 11)}, [&](bool ok) { again.set_value(ok); });
    EXPECT_TRUE(again.get_future().get());
}

} // namespace
} // namespace cabinetd
