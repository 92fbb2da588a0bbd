#include "cabinet.h"
#include "journal.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <thread>

namespace cabinetd {
namespace {

namespace fs = std::filesystem;

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("cabinetd-journal-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "j.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    static Record event(const std::string &session, std::uint64_t seq, std::string code = "door_open") {
        Record r;
        r.cabinet = "lab";
        r.kind = "event";
        r.session_id = session;
        r.event_seq = seq;
        r.code = std::move(code);
        return r;
    }

    fs::path dir_;
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
    q.kinds = {"event"};
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
    gap.kind = "gap";
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
    std::vector<Record> batch;
    for (std::uint64_t i = 1; i <= 10; ++i) batch.push_back(event("s", i));
    Record other = event("s", 1);
    other.cabinet = "demo";
    batch.push_back(other);
    Record ack;
    ack.cabinet = "lab";
    ack.kind = "ack";
    ack.code = "heartbeat_ok";
    batch.push_back(ack);
    j.write(batch);
    j.flush();

    Query q;
    q.cabinet = "lab";
    q.limit = 4;
    q.kinds = {"event"};
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
    Journal small(path_ + "2", JournalOptions{std::chrono::hours(1), std::chrono::minutes(10), 2});
    small.write(batch);
    small.flush();
    const auto from_db = small.since(0, 100);
    ASSERT_EQ(from_db.size(), 12u);
    EXPECT_EQ(from_db[11].kind, "ack");

    // Pages for live readers, from memory and from the database alike: the
    // filter is applied by the read, a window bounds how far one page looks,
    // and a page that matched nothing still moves the reader on.
    for (Journal *jj : {&j, &small}) {
        Query none;
        none.kinds = {"gap"};
        auto p = jj->page(none, 5);
        EXPECT_TRUE(p.records.empty());
        EXPECT_EQ(p.scanned_to, 5);
        none.after = 5;
        EXPECT_EQ(jj->page(none, 1000).scanned_to, jj->last_cursor());
        Query demo;
        demo.cabinet = "demo";
        p = jj->page(demo, 1000);
        ASSERT_EQ(p.records.size(), 1u);
        EXPECT_EQ(p.records[0].cabinet, "demo");
        Query events = q;
        events.after = 0;
        p = jj->page(events, 1000); // a full page ends at its last record
        ASSERT_EQ(p.records.size(), 4u);
        EXPECT_EQ(p.scanned_to, p.records.back().cursor);
        events.after = jj->last_cursor();
        EXPECT_EQ(jj->page(events, 1000).scanned_to, jj->last_cursor());
    }
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

TEST_F(JournalTest, RefusesAForeignDatabaseAndANewerSchema) {
    const auto sql = [](const std::string &path, const char *statement) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, statement, nullptr, nullptr, nullptr);
        sqlite3_close(db);
    };
    sql(path_, "CREATE TABLE t(x)");
    EXPECT_THROW(Journal j(path_), JournalError);

    const auto other = (dir_ / "newer.db").string();
    { Journal j(other); }
    sql(other, "PRAGMA user_version=99");
    try {
        Journal j(other);
        FAIL() << "a newer schema was accepted";
    } catch (const JournalError &e) {
        EXPECT_NE(std::string(e.what()).find("schema version 99"), std::string::npos) << e.what();
    }
    EXPECT_THROW(Journal j((dir_ / "missing" / "x.db").string()), JournalError);
}

TEST_F(JournalTest, PrunesWhatIsOlderThanTheRetention) {
    JournalOptions opt;
    opt.retention = std::chrono::hours(1);
    opt.prune_interval = std::chrono::milliseconds(20);
    Journal j(path_, opt);
    Record old = event("s", 1);
    old.at_ms = wall_ms() - 2 * 3600 * 1000;
    j.write({old, event("s", 2)});
    j.flush();
    for (int i = 0; i < 200 && j.read(Query{}).size() != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const auto left = j.read(Query{});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(*left[0].event_seq, 2u);
}

TEST(SeqTracker, ReportsTheEventsALineShowsMissing) {
    SeqTracker t([](const std::string &s) -> std::optional<std::uint64_t> {
        if (s == "known") return 40;
        return std::nullopt;
    });
    using Range = std::pair<std::uint64_t, std::uint64_t>;
    const auto range = [](std::optional<SeqTracker::Gap> g) { return g ? Range{g->from, g->to} : Range{0, 0}; };
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

} // namespace
} // namespace cabinetd
