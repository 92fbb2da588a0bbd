// Checks a journal's hash chain on a connection of its own, read-only, in
// one read transaction: a consistent snapshot however busy its writer is.
#include "journal_chain.h"
#include "journal_sql.h"

#include <fmt/format.h>

#include <memory>

namespace cabinetd {

using namespace journal_sql;

namespace {

// One link as stored: a record's row, or a tombstone of pruned line traffic.
struct Link {
    std::int64_t cursor = 0;
    RecordKind kind{};
    std::uint64_t number = 0;
    Hash digest{};
    std::optional<Hash> hash;
    bool tombstone = false;
};

class Walk {
public:
    Walk(sqlite3 *db, const std::optional<ChainHead> &anchor, Verification &v)
            : db_(db), anchor_(anchor), v_(v) {}

    // Every link after the base, rows and tombstones merged by cursor;
    // stops at the first that breaks the chain.
    void run() {
        const auto rows_sql =
            fmt::format("SELECT {}, link FROM journal WHERE cursor > ? ORDER BY cursor", kColumns);
        Stmt rows(db_, rows_sql.c_str());
        Stmt tombs(db_,
                   "SELECT cursor, kind, link, digest, hash FROM chain_links WHERE cursor > ? "
                   "ORDER BY cursor");
        rows.bind(1, v_.base.cursor);
        tombs.bind(1, v_.base.cursor);
        at_ = v_.base;
        bool row = rows.step(), tomb = tombs.step();
        while (row || tomb) {
            if (row && tomb && rows.i64(0) == tombs.i64(0)) {
                broken(rows.i64(0), "a record and a tombstone share its cursor");
                return;
            }
            const bool take_row = row && (!tomb || rows.i64(0) < tombs.i64(0));
            const Link l = take_row ? of_row(rows) : of_tomb(tombs);
            if (!check(l)) return;
            if (take_row) row = rows.step();
            else tomb = tombs.step();
        }
        v_.head = at_;
    }

private:
    static Link of_row(const Stmt &s) {
        Link l;
        const Record r = row(s);
        l.cursor = r.cursor;
        l.kind = r.kind;
        l.number = static_cast<std::uint64_t>(s.i64(kColumnCount));
        l.digest = record_digest(r);
        l.hash = r.hash.empty() ? std::nullopt : hash_from_hex(r.hash);
        return l;
    }
    Link of_tomb(const Stmt &s) {
        Link l;
        l.cursor = s.i64(0);
        l.kind = kind_of_row(s.text(1));
        l.number = static_cast<std::uint64_t>(s.i64(2));
        l.digest = s.hash(3).value_or(Hash{});
        l.hash = s.hash(4);
        l.tombstone = true;
        ++v_.tombstones;
        return l;
    }

    bool check(const Link &l) {
        if (!l.hash) return broken(l.cursor, "it carries no hash: inserted after the chain began");
        if (l.number != at_.count + 1)
            return broken(l.cursor,
                          fmt::format("it is link {} where link {} should follow: a "
                                      "record was deleted or inserted before it",
                                      l.number, at_.count + 1));
        if (l.tombstone && !tombstone_kind(l.kind))
            return broken(l.cursor,
                          fmt::format("a tombstone of a {} record, which is never "
                                      "pruned that way",
                                      to_string(l.kind)));
        const Hash h = chain_link(at_.hash, l.digest, l.number, l.kind);
        if (h != *l.hash)
            return broken(l.cursor,
                          "its hash does not chain to the record before it: it was "
                          "edited, inserted, moved, or one before it was deleted");
        at_ = {l.number, h, l.cursor};
        if (anchor_ && anchor_->count == at_.count && anchor_->hash != at_.hash)
            return broken(l.cursor,
                          fmt::format("the anchor {} no longer holds: the records it "
                                      "covered were changed",
                                      anchor_text(*anchor_)));
        return true;
    }

    bool broken(std::int64_t cursor, std::string why) {
        v_.broken_at = cursor;
        v_.problem = std::move(why);
        v_.head = at_;
        return false;
    }

    sqlite3 *db_;
    const std::optional<ChainHead> &anchor_;
    Verification &v_;
    ChainHead at_;
};

void load_base(sqlite3 *db, Verification &v) {
    Stmt base(db, "SELECT cursor, count, hash FROM chain_base");
    if (!base.step()) throw JournalError("journal: the chain's base is missing");
    v.base.cursor = base.i64(0);
    v.base.count = static_cast<std::uint64_t>(base.i64(1));
    v.base.hash = base.hash(2).value_or(Hash{});
    Stmt before(db,
                "SELECT count(*), min(CASE WHEN hash IS NOT NULL THEN cursor END) FROM "
                "journal WHERE cursor <= ?");
    before.bind(1, v.base.cursor);
    before.step();
    v.unchained = static_cast<std::uint64_t>(before.i64(0));
    if (!before.null(1)) {
        v.broken_at = before.i64(1);
        v.problem = "a record before the chain's start carries a hash: the start was moved";
    }
}

// A chain that starts after its first link must say why: a `pruned` record
// in it names the anchor it starts from.
void check_base_named(sqlite3 *db, Verification &v) {
    if (v.base.count == 0 || !v.problem.empty()) return;
    Stmt named(db,
               "SELECT 1 FROM journal WHERE kind = 'journal' AND code = 'pruned' AND "
               "cursor > ? AND json_valid(detail) AND json_extract(detail, '$.anchor') = ?");
    named.bind(1, v.base.cursor).bind(2, anchor_text(v.base));
    if (named.step()) return;
    v.broken_at = v.base.cursor;
    v.problem = fmt::format("the chain starts at {} but no pruned record names that anchor: "
                            "records were removed from its front",
                            anchor_text(v.base));
}

void check_anchor(const ChainHead &anchor, Verification &v) {
    if (!v.problem.empty()) return;
    if (anchor.count < v.base.count || (anchor.count == v.base.count && anchor.hash != v.base.hash))
        v.problem = fmt::format("the anchor {} is older than the chain's start {}: the records it "
                                "covered were pruned",
                                anchor_text(anchor), anchor_text(v.base));
    else if (anchor.count > v.head.count)
        v.problem = fmt::format("the journal ends at link {}, before the anchor {}: records were "
                                "removed from its end",
                                v.head.count, anchor_text(anchor));
}

} // namespace

Verification verify_journal(const std::string &path, const std::optional<ChainHead> &anchor) {
    const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> db(
        open_db(path, SQLITE_OPEN_READONLY, nullptr), sqlite3_close);
    if (pragma_int(db.get(), "PRAGMA application_id") != kApplicationId)
        throw JournalError(fmt::format("{} is not a cabinetd journal", path));
    const int version = pragma_int(db.get(), "PRAGMA user_version");
    if (version != kSchemaVersion)
        throw JournalError(fmt::format("journal {} has schema version {}; this tool reads version "
                                       "{} (cabinetd migrates a journal when it opens it)",
                                       path, version, kSchemaVersion));
    Verification v;
    exec(db.get(), "BEGIN");
    load_base(db.get(), v);
    if (v.problem.empty()) Walk(db.get(), anchor, v).run();
    check_base_named(db.get(), v);
    if (anchor) check_anchor(*anchor, v);
    exec(db.get(), "COMMIT");
    v.ok = v.problem.empty();
    return v;
}

} // namespace cabinetd
