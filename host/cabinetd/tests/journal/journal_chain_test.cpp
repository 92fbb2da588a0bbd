// The hash chain as an auditor relies on it: verify_journal finds whatever
// was done to a journal's file behind cabinetd's back, however it was done;
// anchors say whose journal they are and what they can and cannot confirm;
// the size cap takes line traffic before anyone's audit; the journal checks
// its own chain.
#include "journal.h"
#include "sqlite_file.h"
#include "temp_dir.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace cabinetd {
namespace {

namespace fs = std::filesystem;
using test_support::eventually;

// The file as someone who can write it sees it.
class Db {
public:
    explicit Db(const std::string &path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK); }
    ~Db() { sqlite3_close(db_); }
    // SQLite's answer to the statements: SQLITE_OK, or why not.
    std::string exec(const std::string &sql) {
        char *err = nullptr;
        const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
        std::string out = rc == SQLITE_OK ? "ok" : (err ? err : "error");
        sqlite3_free(err);
        return out;
    }
    // The row's values as they are stored, and its link and hash.
    StoredRecord stored(std::int64_t cursor, std::int64_t &link, Hash &hash) {
        std::string cols;
        for (auto c : kHashedColumns) cols += std::string(c) + ", ";
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db_,
                           ("SELECT " + cols + "link, hash FROM journal WHERE cursor = ?").c_str(),
                           -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, cursor);
        StoredRecord s;
        EXPECT_EQ(sqlite3_step(st), SQLITE_ROW) << cursor;
        for (int i = 0; i < static_cast<int>(s.size()); ++i) {
            switch (sqlite3_column_type(st, i)) {
            case SQLITE_INTEGER:
                s[i] = Stored::of(static_cast<std::int64_t>(sqlite3_column_int64(st, i)));
                break;
            case SQLITE_TEXT:
                s[i] = Stored::of(
                    std::string_view(reinterpret_cast<const char *>(sqlite3_column_text(st, i)),
                                     static_cast<std::size_t>(sqlite3_column_bytes(st, i))));
                break;
            default: break;
            }
        }
        link = sqlite3_column_int64(st, kHashedColumns.size());
        std::memcpy(hash.data(), sqlite3_column_blob(st, kHashedColumns.size() + 1), hash.size());
        sqlite3_finalize(st);
        return s;
    }
    // A record's hash as stored, in a journal of any version.
    Hash hash_of(std::int64_t cursor) {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db_, "SELECT hash FROM journal WHERE cursor = ?", -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, cursor);
        Hash h{};
        if (sqlite3_step(st) == SQLITE_ROW && sqlite3_column_bytes(st, 0) == 32)
            std::memcpy(h.data(), sqlite3_column_blob(st, 0), h.size());
        sqlite3_finalize(st);
        return h;
    }
    // Makes the journal table as loose as before STRICT (writable_schema),
    // so that any value can be written into it.
    void loosen() {
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db_, "PRAGMA schema_version", -1, &st, nullptr);
        sqlite3_step(st);
        const auto version = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
        ASSERT_EQ(exec(fmt::format("PRAGMA writable_schema=ON; UPDATE sqlite_master SET sql = "
                                   "replace(sql, ') STRICT', ')') WHERE name = 'journal'; "
                                   "PRAGMA schema_version={}; PRAGMA writable_schema=OFF;",
                                   version + 1)),
                  "ok");
    }
    // What a tombstone of the record would hold: its digest and its hash.
    void tombstone(std::int64_t cursor, const Origin &origin, int cls, bool format_1 = false) {
        std::int64_t link = 0;
        Hash hash{};
        const auto s = stored(cursor, link, hash);
        const auto text = [&](const char *c) { return s[hashed_column(c)].bytes; };
        const auto opt = [&](const char *c) -> std::optional<std::uint64_t> {
            const auto &v = s[hashed_column(c)];
            if (v.type == Stored::Type::Null) return std::nullopt;
            return static_cast<std::uint64_t>(v.integer);
        };
        Record r;
        r.cursor = cursor;
        r.at_ms = s[hashed_column("at_ms")].integer;
        r.cabinet = text("cabinet");
        r.kind = *record_kind(text("kind"));
        r.session_id = text("session_id");
        r.event_seq = opt("event_seq");
        r.seq_to = opt("seq_to");
        r.code = text("code");
        r.request_id = text("request_id");
        r.door_id = static_cast<unsigned>(s[hashed_column("door_id")].integer);
        r.detail = text("detail");
        r.key_scope = text("key_scope");
        r.client_key = text("client_key");
        r.uptime_ms = opt("uptime_ms");
        r.requested_by = text("requested_by");
        r.outcome = text("outcome");
        const Hash digest = format_1 ? record_digest_v1(r) : record_digest(origin, s);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db_, "INSERT INTO chain_links VALUES (?, ?, ?, ?, ?, ?)", -1, &st,
                           nullptr);
        sqlite3_bind_int64(st, 1, cursor);
        sqlite3_bind_text(st, 2, s[3].bytes.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 3, link);
        sqlite3_bind_blob(st, 4, digest.data(), 32, SQLITE_TRANSIENT);
        sqlite3_bind_blob(st, 5, hash.data(), 32, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 6, cls);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
        EXPECT_EQ(exec(fmt::format("DELETE FROM journal WHERE cursor = {}", cursor)), "ok");
    }

private:
    sqlite3 *db_ = nullptr;
};

class JournalChain : public test_support::TestDir {
protected:
    void SetUp() override {
        TestDir::SetUp();
        path_ = path("j.db");
    }

    static Record record(RecordKind kind, std::string code, std::string detail = {},
                         std::string request = {}, std::string outcome = {}) {
        Record r;
        r.cabinet = "lab";
        r.kind = kind;
        r.code = std::move(code);
        r.detail = std::move(detail);
        r.request_id = std::move(request);
        r.outcome = std::move(outcome);
        r.door_id = 3;
        return r;
    }

    std::string copy() {
        const auto to = (dir_ / ("t" + std::to_string(++copies_) + ".db")).string();
        fs::copy_file(path_, to);
        return to;
    }
    // A copy of the journal, tampered with, verified.
    Verification tampered(const std::function<void(Db &)> &edit,
                          const std::optional<ChainHead> &anchor = {}) {
        const auto file = copy();
        {
            Db db(file);
            edit(db);
        }
        return verify_journal(file, anchor);
    }

    std::string path_;
    int copies_ = 0;
};

// An accepted open and its ack, a refused one, a refusal before the line,
// an alarm, line traffic; the head after them; a clear.
ChainHead a_day(const std::string &path) {
    Journal j(path);
    using K = RecordKind;
    const auto rec = [](K k, std::string code, std::string detail = {}, std::string req = {},
                        std::string outcome = {}) {
        Record r;
        r.cabinet = "lab";
        r.kind = k;
        r.code = std::move(code);
        r.detail = std::move(detail);
        r.request_id = std::move(req);
        r.outcome = std::move(outcome);
        r.door_id = 3;
        return r;
    };
    j.write({rec(K::Open, "", R"({"requested_by":"ops"})", "r1"),         // 1
             rec(K::Command, "open", "OPEN r1", "r1"),                    // 2
             rec(K::Ack, "accepted", "", "r1", "accepted"),               // 3
             rec(K::Open, "", R"({"requested_by":"eve"})", "r2"),         // 4
             rec(K::Ack, "driver_rearming", "", "r2", "driver_rearming"), // 5
             rec(K::Refused, "not_permitted", R"({"requested_by":"eve","count":1})", "",
                 "not_permitted"),                                                  // 6
             rec(K::Alarm, "forced_open", R"({"state":"raised","alarm_id":"a1"})"), // 7
             rec(K::State, "idle", R"({"state":"idle"})")});                        // 8
    j.flush();
    const auto head = j.head();
    j.write({rec(K::Clear, "", R"({"requested_by":"ops"})", "c1")}); // 9
    j.flush();
    return head;
}

// Each way the chain of format 1 could be walked around without rewriting a
// hash, on a journal of format 2: every one breaks the chain at the record.
TEST_F(JournalChain, EveryRecordAReaderUsesIsCoveredAsStored) {
    const auto anchor = a_day(path_);
    const auto whole = verify_journal(path_, anchor);
    ASSERT_TRUE(whole.ok) << whole.problem;
    ASSERT_EQ(whole.head.count, 9u);
    const auto origin = whole.origin;
    const auto broken_at = [&](const std::function<void(Db &)> &edit) {
        const auto v = tampered(edit);
        EXPECT_EQ(v.answer, Verification::Answer::Broken) << v.problem;
        return std::make_pair(v.broken_at, v.problem);
    };
    // Tombstones of the accepted open's ack, of the refused one's, and of a
    // refusal before the line: as the pruner would write one, or claiming
    // to be of audit.
    for (std::int64_t cursor : {3, 5, 6})
        for (int cls : {0, 1})
            EXPECT_EQ(broken_at([&](Db &db) { db.tombstone(cursor, origin, cls); }).first, cursor)
                << cursor << " class " << cls;
    // Line traffic is what a tombstone may stand for.
    EXPECT_TRUE(tampered([&](Db &db) { db.tombstone(8, origin, 1); }).ok);
    // A value of another type: the STRICT table refuses it; with the table
    // made loose again, the chain does.
    EXPECT_TRUE(tampered([](Db &db) {
                    EXPECT_NE(
                        db.exec("UPDATE journal SET kind = CAST(kind AS BLOB) WHERE cursor = 7"),
                        "ok");
                }).ok);
    const auto kind = broken_at([](Db &db) {
        db.loosen();
        ASSERT_EQ(db.exec("UPDATE journal SET kind = CAST(kind AS BLOB) WHERE cursor = 7"), "ok");
    });
    EXPECT_EQ(kind.first, 7);
    EXPECT_NE(kind.second.find("its kind is a blob"), std::string::npos) << kind.second;
    // A door out of its range: 2^32 more, which an unsigned door of 32 bits
    // would read as the same door.
    const auto door = broken_at([](Db &db) {
        db.exec("UPDATE journal SET door_id = door_id + 4294967296 WHERE cursor = 7");
    });
    EXPECT_EQ(door.first, 7);
    EXPECT_NE(door.second.find("outside 0 to 8"), std::string::npos) << door.second;
    // An outcome moved to another open, or taken from its own.
    EXPECT_EQ(
        broken_at([](Db &db) { db.exec("UPDATE journal SET settles = 4 WHERE cursor = 3"); }).first,
        3);
    EXPECT_EQ(broken_at([](Db &db) {
                  db.exec("UPDATE journal SET settles = NULL WHERE cursor = 3");
              }).first,
              3);
    // The class of a record, which decides whether it may be pruned first.
    EXPECT_EQ(
        broken_at([](Db &db) { db.exec("UPDATE journal SET class = 1 WHERE cursor = 3"); }).first,
        3);
    // The journal's origin, which every record's digest holds.
    EXPECT_EQ(
        broken_at([](Db &db) { db.exec("UPDATE chain_meta SET origin = randomblob(16)"); }).first,
        1);
}

TEST_F(JournalChain, VerifyFindsAnEditADeletionAnInsertionAReorderingAndAStaleAnchor) {
    const auto anchor = a_day(path_);
    const auto broken_at = [&](const char *sql) {
        const auto v = tampered([&](Db &db) { EXPECT_EQ(db.exec(sql), "ok") << sql; });
        EXPECT_FALSE(v.ok) << sql;
        return v.broken_at;
    };
    EXPECT_EQ(
        broken_at("UPDATE journal SET detail = '{\"requested_by\":\"mallory\"}' WHERE cursor = 4"),
        4);
    EXPECT_EQ(broken_at("DELETE FROM journal WHERE cursor = 4"), 5);
    EXPECT_EQ(
        broken_at("INSERT INTO journal (cursor, at_ms, cabinet, kind, link, hash) "
                  "SELECT 100, at_ms, cabinet, 'open', 10, hash FROM journal WHERE cursor = 9"),
        100);
    EXPECT_EQ(broken_at("UPDATE journal SET cursor = -cursor WHERE cursor IN (3, 4); "
                        "UPDATE journal SET cursor = CASE cursor WHEN -3 THEN 4 ELSE 3 END "
                        "WHERE cursor < 0"),
              3);
    // The last record removed: the chain left is whole, but ends before
    // the head someone kept.
    const auto cut = [](Db &db) { db.exec("DELETE FROM journal WHERE cursor = 9"); };
    EXPECT_TRUE(tampered(cut).ok);
    const auto v = verify_journal(path_, std::nullopt);
    const auto shorter = tampered(cut, v.head);
    EXPECT_EQ(shorter.answer, Verification::Answer::Broken);
    EXPECT_EQ(shorter.anchor->answer, AnchorCheck::Answer::DoesNotHold);
    // Edited, and every hash after it written again (the chain has no
    // secret): only an anchor kept elsewhere tells.
    const auto file = copy();
    {
        Db db(file);
        db.exec("UPDATE journal SET detail = '{\"requested_by\":\"mallory\"}' WHERE cursor = 1");
        Hash prev{};
        for (std::int64_t c = 1; c <= 9; ++c) {
            std::int64_t link = 0;
            Hash old{};
            const auto s = db.stored(c, link, old);
            prev = chain_link(prev, static_cast<std::uint64_t>(link), c, s[3].bytes,
                              static_cast<RecordClass>(s[17].integer), record_digest(v.origin, s));
            db.exec(
                fmt::format("UPDATE journal SET hash = x'{}' WHERE cursor = {}", to_hex(prev), c));
        }
    }
    const auto rewritten = verify_journal(file, std::nullopt);
    EXPECT_TRUE(rewritten.ok) << rewritten.problem;
    const auto against = verify_journal(file, anchor);
    EXPECT_EQ(against.answer, Verification::Answer::Broken);
    EXPECT_NE(against.problem.find(anchor_text(anchor)), std::string::npos) << against.problem;
}

// What an anchor can say: it holds, it is another journal's, or the records
// it covered were pruned after it was taken, which no pruned record can
// stand in for (a forged front looks the same).
TEST_F(JournalChain, AnAnchorSaysWhoseItIsAndWhatPruningLeftUnconfirmed) {
    const auto old = wall_ms() - 2 * 3600 * 1000;
    ChainHead inside, before_prune;
    {
        Journal j(path_);
        std::vector<Record> old_ones;
        for (int i = 0; i < 3; ++i) {
            old_ones.push_back(
                record(RecordKind::Open, "", R"({"requested_by":"ops"})", fmt::format("o{}", i)));
            old_ones.back().at_ms = old + i;
        }
        j.write({old_ones[0], old_ones[1]});
        j.flush();
        inside = j.head(); // link 2, to be pruned
        j.write({old_ones[2], record(RecordKind::Clear, "", R"({"requested_by":"ops"})", "c1")});
        j.flush();
        before_prune = j.head();
    }
    // The forged front, against that anchor: the oldest records deleted, the
    // base moved past them, and a pruned record saying so written by
    // cabinetd's own code.
    {
        const auto file = copy();
        std::int64_t link = 0;
        Hash hash{};
        Db db(file);
        db.stored(2, link, hash);
        db.exec(
            fmt::format("DELETE FROM journal WHERE cursor <= 2; UPDATE chain_base SET cursor = 2, "
                        "count = 2, hash = x'{}'",
                        to_hex(hash)));
        {
            Journal j(file);
            ChainHead base = before_prune;
            base.count = 2;
            base.hash = hash;
            j.write({record(
                RecordKind::Journal, "pruned",
                fmt::format(
                    R"({{"records":2,"up_to_cursor":2,"why":"age","anchor":"{}","from_link":0}})",
                    anchor_text(base)))});
            j.flush();
        }
        EXPECT_TRUE(
            verify_journal(file, std::nullopt).ok); // nothing says otherwise without an anchor
        const auto forged = verify_journal(file, before_prune);
        EXPECT_EQ(forged.answer, Verification::Answer::CannotConfirm) << forged.problem;
        ASSERT_EQ(forged.anchor->unconfirmed.size(), 1u);
        EXPECT_EQ(forged.anchor->unconfirmed[0].from_link, 0u);
        EXPECT_EQ(forged.anchor->unconfirmed[0].to_link, 2u);
        EXPECT_EQ(forged.anchor->unconfirmed[0].record_link, 5u);
        EXPECT_EQ(forged.anchor->confirmed_after, 2u); // links 3 and 4 hold
    }
    // Pruned for age by cabinetd itself, after the anchor: the same answer,
    // which names the pruned record; an anchor taken after the prune holds.
    {
        JournalOptions o;
        o.retention = std::chrono::hours(1);
        o.prune_interval = std::chrono::milliseconds(20);
        Journal j(path_, o);
        ASSERT_TRUE(eventually([&] { return j.stats().pruned == 3; }));
        j.flush();
    }
    const auto after = verify_journal(path_, before_prune);
    ASSERT_EQ(after.answer, Verification::Answer::CannotConfirm) << after.problem;
    ASSERT_EQ(after.anchor->unconfirmed.size(), 1u);
    EXPECT_EQ(after.anchor->unconfirmed[0].to_link, 3u);
    EXPECT_EQ(after.anchor->unconfirmed[0].why, "age");
    EXPECT_EQ(verify_journal(path_, inside).anchor->answer, AnchorCheck::Answer::CannotConfirm);
    EXPECT_EQ(verify_journal(path_, verify_journal(path_, std::nullopt).head).answer,
              Verification::Answer::Holds);
    // Another journal's anchor, however its count and hash read.
    const auto other = path("other.db");
    { Journal j(other); }
    auto foreign = before_prune;
    foreign.origin = verify_journal(other, std::nullopt).origin;
    const auto refused = verify_journal(path_, foreign);
    EXPECT_EQ(refused.answer, Verification::Answer::Broken);
    EXPECT_EQ(refused.anchor->answer, AnchorCheck::Answer::OtherJournal);
}

TEST(Anchor, IsReadStrictlyAndCanonically) {
    ChainHead h;
    h.origin[0] = 0xab;
    h.count = 42;
    h.hash[31] = 0x0f;
    const auto text = anchor_text(h);
    EXPECT_EQ(text, "ab000000000000000000000000000000:42:" + std::string(62, '0') + "0f");
    const auto back = parse_anchor(text);
    ASSERT_TRUE(back) << back.refusal().text;
    EXPECT_EQ(anchor_text(*back), text);
    const auto hash = to_hex(h.hash);
    for (const std::string &bad :
         {std::string(), "42:" + hash, "AB000000000000000000000000000000:42:" + hash,
          "ab000000000000000000000000000000:042:" + hash,
          "ab000000000000000000000000000000:+42:" + hash,
          "ab000000000000000000000000000000:42:" + hash + ":", text + " ", " " + text,
          "ab000000000000000000000000000000:18446744073709551616:" + hash})
        EXPECT_FALSE(parse_anchor(bad)) << bad;
    EXPECT_NE(parse_anchor("42:" + hash).refusal().text.find("origin"), std::string::npos);
}

// The size cap: line traffic of a chatty cabinet goes first, from anywhere,
// and what an auditor reads stays where it was, refusals and outcomes with it.
TEST_F(JournalChain, AtTheSizeCapLineTrafficGoesBeforeAnyonesAudit) {
    JournalOptions opt;
    opt.max_bytes = 16ull << 20;
    opt.prune_interval = std::chrono::milliseconds(20);
    Journal j(path_, opt);
    const std::string pad(300, 'x');
    std::vector<Record> audit{
        record(RecordKind::Open, "", R"({"requested_by":"ops","pulse_ms":500})", "ops-1"),
        record(RecordKind::Command, "open", "OPEN 3 ...", "ops-1"),
        record(RecordKind::Ack, "accepted", "", "ops-1", "accepted"),
        record(RecordKind::Open, "", R"({"requested_by":"ops","pulse_ms":500})", "ops-2"),
        record(RecordKind::Ack, "driver_rearming", "", "ops-2", "driver_rearming"),
        record(RecordKind::Refused, "not_permitted", R"({"requested_by":"eve","count":40})", "",
               "not_permitted")};
    for (const char *state : {"raised", "acknowledged", "cleared"})
        audit.push_back(record(RecordKind::Alarm, "forced_open",
                               std::string(R"({"state":")") + state + R"(","by":"ops"})"));
    j.write(audit);
    // More line traffic than the cap holds: about 1 KB each three records.
    for (int batch = 0; batch < 16; ++batch) {
        std::vector<Record> flood;
        for (int i = 0; i < 1000; ++i) {
            flood.push_back(record(RecordKind::State, "idle", R"({"pad":")" + pad + "\"}"));
            flood.push_back(record(RecordKind::Command, "state", "STATE " + pad));
            flood.push_back(record(RecordKind::Link, "up", R"({"pad":")" + pad + "\"}"));
        }
        j.write(std::move(flood));
        j.flush();
    }
    ASSERT_TRUE(eventually([&] { return j.stats().pruned > 0; }));
    j.flush();
    EXPECT_EQ(j.stats().audit_pruned, 0u);
    Query q;
    q.kinds = {RecordKind::Open, RecordKind::Ack, RecordKind::Refused, RecordKind::Alarm};
    q.limit = 100;
    EXPECT_EQ(j.read(q).size(), 8u);
    const auto v = verify_journal(path_, std::nullopt);
    EXPECT_TRUE(v.ok) << v.problem;
    EXPECT_GT(v.tombstones, 10000u);
}

// cabinetd's journal checks its own chain when it starts: a break is
// noticed, named and recorded, and the head is no longer published.
TEST_F(JournalChain, TheJournalNoticesAnEditOfItsFile) {
    a_day(path_);
    {
        Journal j(path_);
        ASSERT_TRUE(eventually([&] { return j.chain_check().state == ChainCheck::State::Holds; }));
        EXPECT_TRUE(j.published_head());
    }
    Db(path_).exec("UPDATE journal SET detail = '{\"requested_by\":\"mallory\"}' WHERE cursor = 4");
    Journal j(path_);
    ASSERT_TRUE(eventually([&] { return j.chain_check().state == ChainCheck::State::Broken; }));
    EXPECT_EQ(j.chain_check().broken_at, 4);
    EXPECT_FALSE(j.published_head());
    Query q;
    q.kinds = {RecordKind::Journal};
    ASSERT_TRUE(eventually([&] { return !j.read(q).empty(); }));
    EXPECT_EQ(j.read(q)[0].code, "chain_broken");
    EXPECT_NE(j.read(q)[0].detail.find(R"("broken_at":4)"), std::string::npos);
}

// A journal as schema version 6 left it (tests/journal/schema6.sql: chain
// format 1, tombstones among which an ack and a refusal, a pruned front).
class JournalMigration : public JournalChain {
protected:
    void SetUp() override {
        JournalChain::SetUp();
        std::ifstream in(CABINETD_SCHEMA6);
        std::stringstream sql;
        sql << in.rdbuf();
        test_support::run_sql(path_, sql.str().c_str());
    }
    // Its records are from when it was made: kept, whenever the test runs.
    static JournalOptions kept() {
        JournalOptions o;
        o.retention = std::chrono::hours(24 * 365 * 100);
        return o;
    }
};

TEST_F(JournalMigration, ASchemaSixJournalKeepsItsChainAndTheRestIsFormatTwo) {
    const auto old_head = Db(path_).hash_of(54), old_ack = Db(path_).hash_of(9);
    {
        Journal j(path_, kept());
        j.write({record(RecordKind::Clear, "", R"({"requested_by":"ops"})", "c-2")});
        j.flush();
    }
    sqlite3 *raw = nullptr;
    sqlite3_open(path_.c_str(), &raw);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(raw,
                       "SELECT count(*) FROM pragma_table_list WHERE schema = 'main' AND "
                       "name NOT LIKE 'sqlite_%' AND strict = 0",
                       -1, &st, nullptr);
    sqlite3_step(st);
    EXPECT_EQ(sqlite3_column_int(st, 0), 0) << "a table that is not STRICT";
    sqlite3_finalize(st);
    sqlite3_close(raw);
    const auto v = verify_journal(path_, std::nullopt);
    ASSERT_TRUE(v.ok) << v.problem;
    EXPECT_EQ(v.format_from, 55u); // link 55 says so, 56 is the clear
    EXPECT_EQ(v.head.count, 56u);
    EXPECT_EQ(v.base.count, 4u);
    EXPECT_EQ(v.tombstones, 31u);
    EXPECT_EQ(Db(path_).hash_of(9), old_ack);
    // The head its cabinetd published (COUNT:HASH), with the origin the
    // journal now has: it holds, and so does the front pruned before it.
    ChainHead anchor = v.head;
    anchor.count = 54;
    anchor.hash = old_head;
    EXPECT_EQ(verify_journal(path_, anchor).answer, Verification::Answer::Holds);
    // What format 1 did not hash is checked all the same: a tombstone of
    // an audit record that format 1's pruning never left, the settles of an
    // ack, a door, the list of format 1's tombstones.
    const auto origin = v.origin;
    const auto at = [&](const std::function<void(Db &)> &edit) {
        const auto t = tampered(edit);
        EXPECT_FALSE(t.ok);
        return t.broken_at;
    };
    EXPECT_EQ(at([&](Db &db) { db.tombstone(9, origin, 1, true); }), 9);
    EXPECT_EQ(at([](Db &db) { db.exec("UPDATE journal SET settles = 10 WHERE cursor = 9"); }), 9);
    EXPECT_EQ(at([](Db &db) {
                  db.exec("UPDATE journal SET door_id = door_id + 4294967296 WHERE cursor = 14");
              }),
              14);
    EXPECT_EQ(at([&](Db &db) {
                  db.exec("INSERT INTO chain_legacy VALUES (9)");
                  db.tombstone(9, origin, 1, true);
              }),
              55);
}

// A value a file written into by hand holds with another type than its
// column's (a kind as a BLOB: readers did not find the record) is given its
// column's type, as format 1 read it, and the record is found again.
TEST_F(JournalMigration, AValueOfAnotherTypeIsGivenItsColumnsTypeAndFoundAgain) {
    Db(path_).exec("UPDATE journal SET kind = CAST(kind AS BLOB) WHERE cursor = 14");
    Journal j(path_, kept());
    EXPECT_EQ(j.latest_alarms("lab", 3, "forced_open", 5).size(), 2u);
    EXPECT_TRUE(verify_journal(path_, std::nullopt).ok);
    Query q;
    q.kinds = {RecordKind::Journal};
    const auto marks = j.read(q);
    ASSERT_FALSE(marks.empty());
    EXPECT_EQ(marks.back().code, "chain_format");
    EXPECT_NE(marks.back().detail.find(R"("retyped":1)"), std::string::npos) << marks.back().detail;
}

} // namespace
} // namespace cabinetd
