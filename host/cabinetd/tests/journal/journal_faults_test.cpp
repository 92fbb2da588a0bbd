// Any write of the journal may fail: the one that migrates a journal of
// schema version 6, a commit of records, a prune (line traffic for size, the
// front for age), a checkpoint. The sweep fails each write of a run in turn,
// once (the disk hiccups) or from then on until the disk is back: whichever,
// the journal left behind is whole (every record it said it stored is
// there) or degraded with a gap that says what was lost, never damaged, and
// its chain verifies.
#include "fault_vfs.h"
#include "journal.h"
#include "sqlite_file.h"
#include "temp_dir.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <set>
#include <future>
#include <sstream>
#include <thread>

namespace cabinetd {
namespace {

namespace fs = std::filesystem;

class JournalFaults : public test_support::TestDir {
protected:
    void SetUp() override {
        TestDir::SetUp();
        std::ifstream in(CABINETD_SCHEMA6);
        std::stringstream sql;
        sql << in.rdbuf();
        fixture_ = path("schema6.db");
        test_support::run_sql(fixture_, sql.str().c_str());
        // Old enough for the age prune to take the fixture's records, and
        // none of the run's.
        sqlite3 *db = nullptr;
        sqlite3_open(fixture_.c_str(), &db);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "SELECT max(at_ms) FROM journal", -1, &st, nullptr);
        sqlite3_step(st);
        fixture_ms_ = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
    }

    static Record event(std::uint64_t seq) {
        Record r;
        r.cabinet = "lab";
        r.kind = RecordKind::Event;
        r.session_id = "s";
        r.event_seq = seq;
        r.code = "door_open";
        return r;
    }
    static Record open(const std::string &id) {
        Record r;
        r.cabinet = "lab";
        r.kind = RecordKind::Open;
        r.request_id = id;
        r.door_id = 3;
        r.detail = R"({"requested_by":"ops"})";
        return r;
    }

    // Whether pred came true within 5 s, looked at every millisecond: a
    // write that fails says so to nobody.
    template <class F> static bool until(F pred) {
        for (int i = 0; i < 5000; ++i) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return pred();
    }

    struct Outcome {
        std::vector<std::string> stored; // opens the journal said were durable
        bool pruned = false;
    };

    // One run on a fresh copy of the fixture, the fault armed at write n
    // (0: none); the journal is closed at its end, the disk back.
    Outcome run(test_support::FaultVfs &vfs, std::uint64_t n, bool persistent) {
        fs::remove(journal_);
        fs::remove(journal_ + "-wal");
        fs::remove(journal_ + "-shm");
        fs::copy_file(fixture_, journal_);
        JournalOptions o;
        o.vfs = vfs.name();
        o.retention =
            std::chrono::milliseconds(std::max<std::int64_t>(1, (wall_ms() - fixture_ms_) / 2));
        o.prune_interval = std::chrono::milliseconds(1);
        // Above what the migrated journal holds once its front went for age
        // (about 25 KB), below it with the run's line traffic (about 45 KB).
        o.max_bytes = 36 * 1024;
        o.retry_interval = std::chrono::milliseconds(1);
        o.checkpoint_pages = 8;
        o.held_max = 4;
        o.group_interval = std::chrono::milliseconds(1);
        const auto failed = vfs.failed(); // none of this run's yet
        const auto faulted = [&] { return vfs.failed() != failed; };
        if (n) vfs.fail_nth(n, persistent);
        std::unique_ptr<Journal> j;
        try {
            j = std::make_unique<Journal>(journal_, o);
        } catch (const JournalError &) {
            vfs.clear(); // restarted once the disk is back
            j = std::make_unique<Journal>(journal_, o);
        }
        Outcome out;
        const auto durable = [&](std::vector<Record> records, const std::string &id) {
            std::promise<bool> done;
            j->write_durable(std::move(records), [&](bool ok) { done.set_value(ok); });
            if (done.get_future().get()) out.stored.push_back(id);
        };
        Record ack = open("a1");
        ack.kind = RecordKind::Ack;
        ack.code = ack.outcome = "accepted";
        durable({open("a1"), ack, event(1), event(2), event(3)}, "a1");
        std::vector<Record> traffic;
        for (int i = 0; i < 20; ++i) {
            Record r;
            r.cabinet = "lab";
            r.kind = RecordKind::State;
            r.code = "idle";
            r.detail = std::string(R"({"pad":")") + std::string(900, 'x') + "\"}";
            traffic.push_back(r);
        }
        j->write(std::move(traffic));
        j->flush();
        // The prunes (for age, then for size) have run, or a write failed.
        until([&] { return j->stats().pruned > 25 || faulted(); });
        // A checkpoint has copied the log into the database, or a write failed.
        const auto copied = vfs.database_writes();
        until([&] { return vfs.database_writes() > copied || faulted(); });
        durable({open("c1"), event(4), event(5), event(6)}, "c1");
        vfs.clear();
        EXPECT_TRUE(until([&] { return j->available(); })) << "the journal did not recover";
        j->flush();
        out.pruned = j->stats().pruned > 0;
        return out;
    }

    // What the journal on disk must be whatever write failed: undamaged, of
    // the current version, its chain whole, and nothing missing that no gap
    // or outage record accounts for.
    void expect_sound(const Outcome &out, const std::string &what) {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(journal_.c_str(), &db), SQLITE_OK);
        const auto one = [&](const std::string &sql) {
            sqlite3_stmt *st = nullptr;
            sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
            std::string v = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_text(st, 0)
                ? reinterpret_cast<const char *>(sqlite3_column_text(st, 0))
                : "";
            sqlite3_finalize(st);
            return v;
        };
        EXPECT_EQ(one("PRAGMA quick_check"), "ok") << what;
        EXPECT_EQ(one("PRAGMA user_version"), std::to_string(kSchemaVersion)) << what;
        for (const auto &id : out.stored)
            EXPECT_EQ(one(fmt::format("SELECT count(*) FROM journal WHERE kind = 'open' AND "
                                      "request_id = '{}'",
                                      id)),
                      "1")
                << what << ": " << id << " was said stored";
        for (std::uint64_t seq = 1; seq <= 6; ++seq)
            EXPECT_EQ(one(fmt::format("SELECT count(*) FROM journal WHERE session_id = 's' AND ("
                                      "(kind = 'event' AND event_seq = {0}) OR (kind = 'gap' AND "
                                      "event_seq <= {0} AND {0} <= seq_to))",
                                      seq)),
                      "1")
                << what << ": event " << seq << " neither stored nor in a gap";
        sqlite3_close(db);
        const auto v = verify_journal(journal_, std::nullopt);
        EXPECT_TRUE(v.ok) << what << ": " << v.problem;
    }

    std::string fixture_, journal_ = (fs::temp_directory_path() / "cabinetd-faults-j.db").string();
    std::int64_t fixture_ms_ = 0;
};

// Failing once and failing from then on are two sweeps of their own, each
// its own test, so that they may run side by side.
class JournalFaultSweep : public JournalFaults, public testing::WithParamInterface<bool> {};

TEST_P(JournalFaultSweep, EveryWriteThatFailsLeavesTheJournalWholeOrWithAGapAndItsChainHolding) {
    const bool persistent = GetParam();
    journal_ = path("j.db");
    test_support::FaultVfs vfs;
    // The run as it goes when nothing fails: how many writes, and that it
    // reaches every kind of write point.
    const auto clean = run(vfs, 0, false);
    const auto writes = vfs.writes();
    // The fixture's tombstones went with its front: any left are the run's.
    ASSERT_TRUE(clean.pruned && verify_journal(journal_, std::nullopt).tombstones > 0)
        << "the run must prune for age and for size";
    ASSERT_EQ(clean.stored.size(), 2u);
    expect_sound(clean, "no fault");
    ASSERT_GT(writes, 50u);
    std::printf("%llu writes a run, each failed in turn\n",
                static_cast<unsigned long long>(writes));
    std::set<std::string> points; // which calls on which files failed
    for (std::uint64_t n = 1; n <= writes; ++n) {
        const auto failed = vfs.failed();
        const auto out = run(vfs, n, persistent);
        const auto f = vfs.last_failure();
        points.insert(f.substr(0, f.find(' ')) +
                      (f.ends_with("-wal")      ? " of the log"
                           : f.ends_with(".db") ? " of the database"
                                                : " of another file"));
        const auto what = fmt::format("write {} of {} ({}) failing{}", n, writes,
                                      vfs.last_failure(), persistent ? " from then on" : " once");
        if (vfs.failed() == failed) continue; // this run wrote less: nothing failed
        expect_sound(out, what);
        if (HasFailure()) return;
    }
    // Commits write the log; a checkpoint syncs it, then writes the database.
    for (const char *point : {"xWrite of the log", "xSync of the log", "xWrite of the database"})
        EXPECT_TRUE(points.count(point)) << point << " never failed";
}

INSTANTIATE_TEST_SUITE_P(, JournalFaultSweep, testing::Values(false, true),
                         [](const auto &p) { return p.param ? "FromThenOn" : "Once"; });

} // namespace
} // namespace cabinetd
