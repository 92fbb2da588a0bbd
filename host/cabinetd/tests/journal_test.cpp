#include "cabinet.h"
#include "journal.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <future>
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
    JournalOptions two;
    two.recent = 2;
    Journal small(path_ + "2", two);
    small.write(batch);
    small.flush();
    const auto from_db = small.since(0, 100);
    ASSERT_EQ(from_db.size(), 12u);
    EXPECT_EQ(from_db[11].kind, "ack");
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

// Waits (up to 5 s) for a condition the writer thread brings about.
bool eventually(const std::function<bool()> &pred) {
    for (int i = 0; i < 500; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

std::vector<Record> of_kind(const Journal &j, const std::string &kind) {
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
    ASSERT_TRUE(eventually([&] { return of_kind(j, "journal").size() == 1; }));
    const auto aged = of_kind(j, "journal")[0];
    EXPECT_EQ(aged.code, "pruned");
    EXPECT_NE(aged.detail.find(R"("records":1,"up_to_cursor":1,)"), std::string::npos) << aged.detail;
    EXPECT_NE(aged.detail.find(R"("why":"age")"), std::string::npos) << aged.detail;
    EXPECT_EQ(of_kind(j, "event").size(), 1u);

    std::vector<Record> batch;
    for (std::uint64_t i = 3; i <= 3000; ++i) {
        batch.push_back(event("s", i));
        batch.back().detail = std::string(200, 'x');
    }
    j.write(batch);
    j.flush();
    ASSERT_TRUE(eventually([&] {
        const auto marks = of_kind(j, "journal");
        return !marks.empty() && marks.back().detail.find(R"("why":"size")") != std::string::npos;
    }));
    // What is left is the newest records, without a hole, within the cap.
    const auto left = of_kind(j, "event");
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(*left.back().event_seq, 3000u);
    EXPECT_EQ(*left.back().event_seq - *left.front().event_seq + 1, left.size());
    EXPECT_LT(left.size(), 1000u);
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "SELECT (SELECT page_count FROM pragma_page_count) - (SELECT freelist_count FROM pragma_freelist_count)", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_LE(sqlite3_column_int64(st, 0) * 1024, 200 * 1024);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST_F(JournalTest, WhileTheDiskFailsRecordsWaitInMemoryAndAGapSaysWhatDidNotFit) {
    const auto fault = (dir_ / "fault").string();
    JournalOptions opt;
    opt.fault_file = fault;
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
    for (auto &r : of_kind(j, "event")) seqs.push_back(*r.event_seq);
    EXPECT_EQ(seqs, (std::vector<std::uint64_t>{1, 6, 7, 8, 9, 10}));
    const auto gaps = of_kind(j, "gap");
    ASSERT_EQ(gaps.size(), 1u);
    EXPECT_EQ(*gaps[0].event_seq, 2u);
    EXPECT_EQ(*gaps[0].seq_to, 5u);
    EXPECT_EQ(j.last_seq("lab", "s"), 10u);
    const auto marks = of_kind(j, "journal");
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_EQ(marks[0].code, "unavailable");
    EXPECT_EQ(marks[1].code, "recovered");

    std::promise<bool> again;
    j.write_durable({event("s", 11)}, [&](bool ok) { again.set_value(ok); });
    EXPECT_TRUE(again.get_future().get());
}

TEST_F(JournalTest, ADamagedJournalIsMovedAsideAndANewOneStarted) {
    {
        Journal j(path_);
        std::vector<Record> batch;
        for (std::uint64_t i = 1; i <= 500; ++i) batch.push_back(event("s", i));
        j.write(batch);
    }
    {
        // Garbage over everything but the header page.
        std::fstream f(path_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(1024);
        const std::string junk(16 * 1024, '\x5a');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    Journal j(path_);
    ASSERT_TRUE(eventually([&] { return of_kind(j, "journal").size() == 1; }));
    const auto mark = of_kind(j, "journal")[0];
    EXPECT_EQ(mark.code, "moved_aside");
    std::vector<fs::path> aside;
    for (auto &e : fs::directory_iterator(dir_))
        if (e.path().filename().string().rfind("j.db.damaged-", 0) == 0) aside.push_back(e.path());
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_NE(mark.detail.find(aside[0].filename().string()), std::string::npos) << mark.detail;
    EXPECT_TRUE(of_kind(j, "event").empty());
}

TEST_F(JournalTest, OneJournalOneWriter) {
    Journal j(path_);
    try {
        Journal second(path_);
        FAIL() << "a second writer was let in";
    } catch (const JournalError &e) {
        EXPECT_EQ(e.kind(), JournalError::Kind::InUse);
        EXPECT_NE(std::string(e.what()).find("pid " + std::to_string(::getpid())), std::string::npos) << e.what();
    }
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
