// The hash chain as an auditor relies on it: verify_journal finds whatever
// was done to a journal's file behind cabinetd's back, and the size cap
// removes a client's flood before anyone's audit.
#include "journal.h"
#include "sqlite_file.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <thread>

namespace cabinetd {
namespace {

namespace fs = std::filesystem;

class JournalChain : public test_support::TestDir {
protected:
    void SetUp() override {
        TestDir::SetUp();
        path_ = path("j.db");
    }

    static Record record(RecordKind kind, std::string code, std::string detail = {},
                         std::string request = {}) {
        Record r;
        r.cabinet = "lab";
        r.kind = kind;
        r.code = std::move(code);
        r.detail = std::move(detail);
        r.request_id = std::move(request);
        r.door_id = 3;
        return r;
    }

    // A copy of the journal, tampered with by `sql`, verified.
    Verification tampered(const char *sql, const std::optional<ChainHead> &anchor = {}) {
        const auto copy = (dir_ / ("t" + std::to_string(++copies_) + ".db")).string();
        fs::copy_file(path_, copy);
        test_support::run_sql(copy, sql);
        return verify_journal(copy, anchor);
    }

    // Hashes every link again, as someone who can write the file can: the
    // chain is whole again, and only an anchor kept elsewhere tells.
    static void rehash(const std::string &path) {
        std::vector<Record> all;
        {
            Journal j(path);
            all = j.read(Query{});
        }
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db, "UPDATE journal SET hash = ? WHERE cursor = ?", -1, &st, nullptr);
        Hash prev{};
        std::uint64_t count = 0;
        for (const auto &r : all) {
            prev = chain_link(prev, record_digest(r), ++count, r.kind);
            sqlite3_bind_blob(st, 1, prev.data(), static_cast<int>(prev.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int64(st, 2, r.cursor);
            EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
            sqlite3_reset(st);
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
    }

    std::string path_;
    int copies_ = 0;
};

TEST_F(JournalChain, VerifyFindsAnEditADeletionAnInsertionAReorderingAndAStaleAnchor) {
    ChainHead anchor;
    {
        Journal j(path_);
        for (int i = 0; i < 4; ++i)
            j.write(
                {record(RecordKind::Open, "", R"({"requested_by":"ops"})", "r" + std::to_string(i)),
                 record(RecordKind::Ack, "accepted", "", "r" + std::to_string(i))});
        j.flush();
        anchor = j.head();
        j.write({record(RecordKind::Clear, "", R"({"requested_by":"ops"})")});
        j.flush();
        EXPECT_EQ(j.read(Query{}).back().hash, to_hex(j.head().hash));
    }
    const auto whole = verify_journal(path_, anchor);
    ASSERT_TRUE(whole.ok) << whole.problem;
    EXPECT_EQ(whole.head.count, 9u);
    EXPECT_EQ(whole.head.cursor, 9);

    const auto broken_at = [&](const char *sql) {
        const auto v = tampered(sql);
        EXPECT_FALSE(v.ok) << sql;
        return v.broken_at;
    };
    EXPECT_EQ(
        broken_at("UPDATE journal SET detail = '{\"requested_by\":\"eve\"}' WHERE cursor = 3"), 3);
    EXPECT_EQ(broken_at("DELETE FROM journal WHERE cursor = 3"), 4);
    EXPECT_EQ(
        broken_at("INSERT INTO journal (cursor, at_ms, cabinet, kind, link, hash) "
                  "SELECT 100, at_ms, cabinet, 'open', 10, hash FROM journal WHERE cursor = 9"),
        100);
    EXPECT_EQ(broken_at("UPDATE journal SET cursor = -cursor WHERE cursor IN (3, 4); "
                        "UPDATE journal SET cursor = CASE cursor WHEN -3 THEN 4 ELSE 3 END "
                        "WHERE cursor < 0"),
              3);
    // The last record removed: the chain left is whole, but shorter than
    // the head someone kept.
    const auto head = whole.head;
    EXPECT_TRUE(tampered("DELETE FROM journal WHERE cursor = 9").ok);
    EXPECT_FALSE(tampered("DELETE FROM journal WHERE cursor = 9", head).ok);
    // Edited and hashed again from there on: only the anchor tells.
    const auto copy = (dir_ / "rehashed.db").string();
    fs::copy_file(path_, copy);
    test_support::run_sql(
        copy, "UPDATE journal SET detail = '{\"requested_by\":\"eve\"}' WHERE cursor = 1");
    rehash(copy);
    EXPECT_TRUE(verify_journal(copy, std::nullopt).ok);
    const auto against = verify_journal(copy, anchor);
    EXPECT_FALSE(against.ok);
    EXPECT_EQ(against.broken_at, anchor.cursor);
    EXPECT_NE(against.problem.find(anchor_text(anchor)), std::string::npos) << against.problem;
}

TEST_F(JournalChain, AFloodOfRefusedOpensAtTheSizeCapKeepsEveryoneElsesAudit) {
    JournalOptions opt;
    opt.max_bytes = 16ull << 20;
    opt.prune_interval = std::chrono::milliseconds(20);
    Journal j(path_, opt);
    const std::string pad(200, 'x');
    auto other = record(RecordKind::Open, "", R"({"requested_by":"ops","pulse_ms":500})", "ops-1");
    std::vector<Record> audit{other, record(RecordKind::Command, "open", "OPEN 3 ...", "ops-1"),
                              record(RecordKind::Ack, "accepted", "", "ops-1")};
    for (const char *state : {"raised", "acknowledged", "cleared"})
        audit.push_back(record(RecordKind::Alarm, "forced_open",
                               std::string(R"({"state":")") + state + R"(","by":"ops"})"));
    j.write(audit);
    // The flood: 16,000 refused opens of one operator, about 1.1 KB each
    // with their command and ack, more than the cap holds.
    for (int batch = 0; batch < 16; ++batch) {
        std::vector<Record> flood;
        for (int i = 0; i < 1000; ++i) {
            const auto id = "f" + std::to_string(batch * 1000 + i);
            flood.push_back(
                record(RecordKind::Open, "",
                       R"({"requested_by":"flood","pulse_ms":500,"pad":")" + pad + "\"}", id));
            flood.push_back(record(RecordKind::Command, "open", "OPEN 3 " + pad + pad, id));
            flood.push_back(
                record(RecordKind::Ack, "driver_rearming", R"({"pad":")" + pad + "\"}", id));
        }
        j.write(std::move(flood));
        j.flush();
    }
    for (int i = 0; i < 500 && j.stats().pruned == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    j.flush();
    ASSERT_GT(j.stats().pruned, 0u);
    EXPECT_EQ(j.stats().audit_pruned, 0u);
    Query q;
    q.requested_by = "ops";
    q.limit = 100;
    const auto kept = j.read(q);
    ASSERT_EQ(kept.size(), 4u); // the open, and the alarm raised, acknowledged and cleared
    EXPECT_EQ(kept[0].request_id, "ops-1");
    EXPECT_EQ(j.by_request("lab", "ops-1").size(), 3u); // its accepted ack and command too
    const auto v = verify_journal(path_, std::nullopt);
    EXPECT_TRUE(v.ok) << v.problem;
    EXPECT_GT(v.tombstones, 10000u);
}

} // namespace
} // namespace cabinetd
