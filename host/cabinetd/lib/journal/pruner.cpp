// Pruning, for age and for size, without breaking the hash chain. The chain
// is cut only at its front: the chain's base moves past what went, and the
// `pruned` record stored in the same transaction names the new base as its
// anchor and the base before it. For size, line traffic (each record's class,
// decided when it was stored) goes first, from anywhere: each such record
// leaves a tombstone the chain passes through, and what an auditor reads
// stays until nothing else is left.
#include "pruner.h"

#include "journal_sql.h"
#include "log.h"
#include "progress.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

using namespace journal_sql;

namespace {

// The most records one transaction removes: the writer is held up for
// tens of milliseconds at most; the rest goes in the next one.
constexpr std::int64_t kSlice = 1000;
constexpr std::int64_t kFront = 5000;

} // namespace

// What one prune removed.
struct Pruner::Pruned {
    std::int64_t records = 0, tombstoned = 0, up_to = 0, up_to_ms = 0;
    std::uint64_t from_link = 0; // the chain's base before the cut
    std::int64_t audit = 0, audit_from = 0,
                 audit_to = 0;     // audit records younger than the retention
    std::optional<ChainHead> base; // the chain's new base, when it moved
};

Pruner::Pruner(BatchWriter &writer, JournalState &state, Progress &progress,
               std::chrono::milliseconds retention, std::chrono::milliseconds interval,
               std::uint64_t max_bytes)
        : writer_(writer), db_(writer.db()), state_(state), progress_(progress),
          retention_(retention), interval_(interval), max_bytes_(max_bytes),
          next_age_(std::chrono::steady_clock::now()), next_size_(next_age_) {}

void Pruner::when_due() {
    using clock = std::chrono::steady_clock;
    const auto now = clock::now();
    if (now >= next_age_) {
        next_age_ = now + interval_;
        prune_age();
    }
    if (now >= next_size_) {
        next_size_ = now + std::min<clock::duration>(interval_, std::chrono::minutes(1));
        prune_size();
    }
}

std::uint64_t Pruner::used_bytes() const {
    return static_cast<std::uint64_t>(pragma_int(db_, "PRAGMA page_count") -
                                      pragma_int(db_, "PRAGMA freelist_count")) *
        static_cast<std::uint64_t>(pragma_int(db_, "PRAGMA page_size"));
}

void Pruner::prune_age() {
    const auto before = wall_ms() - retention_.count();
    for (;;) {
        progress_.mark();
        // Up to the first record young enough to keep (the clock may have
        // stepped: an old record after it waits until the front reaches it).
        Stmt front(db_, "SELECT cursor, at_ms FROM journal ORDER BY cursor LIMIT ?");
        front.bind(1, kFront);
        std::int64_t cut = 0, seen = 0;
        bool young = false;
        while (front.step() && !(young = front.i64(1) >= before)) {
            cut = front.i64(0);
            ++seen;
        }
        if (cut == 0 || drop_front(cut, "age") == 0 || young || seen < kFront) break;
    }
    Stmt ds(db_, "DELETE FROM sessions WHERE last_ms < ?");
    ds.bind(1, before);
    ds.step();
}

void Pruner::prune_size() {
    if (!max_bytes_ || used_bytes() <= max_bytes_) return;
    // Down to nine tenths of the cap, so that it is not done again for
    // every few records that follow; each slice as many records as the
    // excess holds at the journal's average record size.
    const auto target = max_bytes_ / 10 * 9;
    const auto slice = [&]() -> std::int64_t {
        const auto now = used_bytes();
        if (now <= target) return 0;
        Stmt span(db_, "SELECT coalesce(max(cursor) - min(cursor) + 1, 0) FROM journal");
        span.step();
        const auto rows = static_cast<std::uint64_t>(span.i64(0));
        return static_cast<std::int64_t>(
            std::clamp<std::uint64_t>(rows * (now - target) / now, 1, kSlice));
    };
    // Line traffic first, as long as any is left: the front is cut only
    // when none is, and the record saying what traffic went is written
    // before (it may itself take the journal back over the target, which is
    // no reason to cut anyone's audit).
    Pruned traffic;
    std::int64_t after = 0;
    const auto say_traffic = [&] {
        std::vector<WriteBatch> b(1);
        b[0].records.push_back(journal_record("pruned", pruned_detail(traffic, "size")));
        writer_.commit(b);
        traffic = {};
    };
    for (std::int64_t want; (want = slice()) > 0;) {
        progress_.mark();
        if (tombstone_slice(after, want, traffic) > 0) continue;
        if (traffic.records) {
            say_traffic();
            continue;
        }
        Stmt cut(db_,
                 "SELECT max(cursor) FROM (SELECT cursor FROM journal ORDER BY cursor LIMIT ?)");
        cut.bind(1, want);
        if (!cut.step() || cut.null(0) || drop_front(cut.i64(0), "size") == 0) break;
    }
    if (traffic.records) say_traffic();
}

// Replaces up to `want` records of line traffic after `after` with their
// tombstones, oldest first, in one transaction; how many it replaced.
std::int64_t Pruner::tombstone_slice(std::int64_t &after, std::int64_t want, Pruned &p) {
    std::string cols;
    for (auto c : kHashedColumns) cols += fmt::format("{}, ", c);
    const auto sql = fmt::format("SELECT {}link, hash FROM journal WHERE cursor > ? AND class = {} "
                                 "ORDER BY cursor LIMIT ?",
                                 cols, static_cast<int>(RecordClass::LineTraffic));
    constexpr int kLink = static_cast<int>(kHashedColumns.size());
    struct Found {
        std::int64_t cursor, at_ms;
    };
    std::vector<Found> found;
    exec(db_, "BEGIN IMMEDIATE");
    try {
        Stmt sel(db_, sql.c_str());
        sel.bind(1, after).bind(2, want);
        Stmt tomb(db_,
                  "INSERT INTO chain_links (cursor, kind, link, digest, hash, class) VALUES "
                  "(?,?,?,?,?,?)");
        Stmt del(db_, "DELETE FROM journal WHERE cursor = ?");
        while (sel.step()) {
            StoredRecord stored;
            for (std::size_t i = 0; i < stored.size(); ++i)
                stored[i] = sel.stored(static_cast<int>(i));
            const auto cursor = sel.i64(0);
            found.push_back({cursor, sel.i64(1)});
            // A record from before the chain began is simply removed.
            if (auto h = sel.hash(kLink + 1)) {
                const auto link = sel.i64(kLink);
                const Hash digest = static_cast<std::uint64_t>(link) < state_.format_from()
                    ? record_digest_v1(record_of(stored))
                    : record_digest(state_.chain().origin, stored);
                tomb.bind(1, cursor).bind(2, stored[hashed_column("kind")]).bind(3, link);
                tomb.bind_blob(4, digest.data(), digest.size()).bind_blob(5, h->data(), h->size());
                tomb.bind(6, stored[hashed_column("class")]);
                tomb.step();
                tomb.reset();
            }
            del.bind(1, cursor);
            del.step();
            del.reset();
        }
        exec(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    for (auto &f : found) {
        after = f.cursor;
        p.up_to = f.cursor;
        p.up_to_ms = f.at_ms;
    }
    const auto n = static_cast<std::int64_t>(found.size());
    p.records += n;
    p.tombstoned += n;
    std::lock_guard lk(state_.mutex());
    state_.stats_locked().pruned += static_cast<std::uint64_t>(n);
    return n;
}

// Removes every record and tombstone up to `cut`, moves the chain's base
// past them and stores the `pruned` record naming it, in one transaction;
// how many records went.
std::int64_t Pruner::drop_front(std::int64_t cut, const char *why) {
    Pruned p;
    std::vector<WriteBatch> b(1);
    b[0].records.push_back(journal_record("pruned", ""));
    b[0].within = [&](std::vector<Record> &records) {
        drop_within(cut, p);
        records.front().detail = pruned_detail(p, why);
    };
    writer_.commit(b);
    {
        std::lock_guard lk(state_.mutex());
        state_.stats_locked().pruned += static_cast<std::uint64_t>(p.records);
        state_.stats_locked().audit_pruned += static_cast<std::uint64_t>(p.audit);
    }
    log(p.audit ? 4 : 6,
        fmt::format("journal: pruned {} records up to cursor {} ({}){}", p.records, p.up_to, why,
                    p.audit ? fmt::format(", {} of them audit records younger than the retention "
                                          "(cursors {} to {})",
                                          p.audit, p.audit_from, p.audit_to)
                            : std::string()));
    return p.records;
}

void Pruner::drop_within(std::int64_t cut, Pruned &p) {
    ChainHead base;
    base.origin = state_.chain().origin;
    {
        Stmt before(db_, "SELECT count FROM chain_base");
        if (before.step()) p.from_link = static_cast<std::uint64_t>(before.i64(0));
    }
    for (const char *sql : {"SELECT cursor, link, hash FROM journal WHERE cursor <= ? AND hash IS "
                            "NOT NULL ORDER BY cursor DESC LIMIT 1",
                            "SELECT cursor, link, hash FROM chain_links WHERE cursor <= ? ORDER BY "
                            "cursor DESC LIMIT 1"}) {
        Stmt last(db_, sql);
        last.bind(1, cut);
        if (!last.step() || last.i64(0) <= base.cursor || !last.hash(2)) continue;
        base = {state_.chain().origin, static_cast<std::uint64_t>(last.i64(1)), *last.hash(2),
                last.i64(0)};
    }
    const auto young = wall_ms() - retention_.count();
    Stmt del(db_, "DELETE FROM journal WHERE cursor <= ? RETURNING cursor, at_ms, class");
    del.bind(1, cut);
    while (del.step()) {
        ++p.records;
        if (del.i64(0) > p.up_to) {
            p.up_to = del.i64(0);
            p.up_to_ms = del.i64(1);
        }
        // Any audit record younger than the retention: the cap is too small.
        if (del.i64(2) != static_cast<std::int64_t>(RecordClass::Audit) || del.i64(1) < young)
            continue;
        ++p.audit;
        p.audit_from = p.audit_from ? std::min(p.audit_from, del.i64(0)) : del.i64(0);
        p.audit_to = std::max(p.audit_to, del.i64(0));
    }
    Stmt tombs(db_, "DELETE FROM chain_links WHERE cursor <= ?");
    tombs.bind(1, cut);
    tombs.step();
    if (base.cursor == 0) return; // only records from before the chain began
    Stmt move(db_, "UPDATE chain_base SET cursor = ?, count = ?, hash = ?");
    move.bind(1, base.cursor).bind(2, static_cast<std::int64_t>(base.count));
    move.bind_blob(3, base.hash.data(), base.hash.size());
    move.step();
    p.base = base;
    // The list of format-1 tombstones is needed only while format-1 links remain.
    if (base.count + 1 >= state_.format_from()) exec(db_, "DELETE FROM chain_legacy");
}

std::string Pruner::pruned_detail(const Pruned &p, const char *why) const {
    auto d = fmt::format(
        R"({{"records":{},"up_to_cursor":{},"up_to_ms":{},"why":"{}","max_bytes":{},"retention_days":{})",
        p.records, p.up_to, p.up_to_ms, why, max_bytes_,
        std::chrono::duration_cast<std::chrono::hours>(retention_).count() / 24);
    if (p.tombstoned) d += fmt::format(R"(,"tombstoned":{})", p.tombstoned);
    if (p.base)
        d += fmt::format(R"(,"anchor":"{}","from_link":{})", anchor_text(*p.base), p.from_link);
    if (p.audit)
        d += fmt::format(R"(,"audit_records":{},"audit_from_cursor":{},"audit_to_cursor":{})",
                         p.audit, p.audit_from, p.audit_to);
    return d + "}";
}

} // namespace cabinetd
