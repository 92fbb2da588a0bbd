// Pruning, for age and for size, without breaking the hash chain. The chain
// is cut only at its front: the chain's base moves past what went, and the
// `pruned` record stored in the same transaction names the new base as its
// anchor. For size, line traffic goes first, from anywhere: each such record
// leaves a tombstone the chain passes through, and what an auditor reads
// stays until nothing else is left.
#include "journal.h"

#include "journal_sql.h"
#include "log.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

using namespace journal_sql;

namespace {

// Line traffic: state, link and heartbeat records, counted refusals, and the command and ack
// of a request the controller refused (a flood of refused opens is mostly
// these). The acks and commands of what it did are kept with the audit.
constexpr const char *kLineTraffic =
    "(kind IN ('state', 'link', 'heartbeat', 'refused') OR (kind IN ('ack', 'command') AND request_id <> '' "
    "AND EXISTS (SELECT 1 FROM journal a INDEXED BY journal_request WHERE a.cabinet = "
    "journal.cabinet AND a.request_id = journal.request_id AND a.request_id <> '' AND a.kind = "
    "'ack' AND a.code NOT IN ('accepted', 'cleared'))))";

// The most records one transaction removes: the writer is held up for
// tens of milliseconds at most; the rest goes in the next one.
constexpr std::int64_t kSlice = 1000;
constexpr std::int64_t kFront = 5000;

} // namespace

// What one prune removed.
struct Journal::Pruned {
    std::int64_t records = 0, tombstoned = 0, up_to = 0, up_to_ms = 0;
    std::int64_t audit = 0, audit_from = 0,
                 audit_to = 0;     // audit records younger than the retention
    std::optional<ChainHead> base; // the chain's new base, when it moved
};

std::uint64_t Journal::used_bytes() const {
    return static_cast<std::uint64_t>(pragma_int(wdb_, "PRAGMA page_count") -
                                      pragma_int(wdb_, "PRAGMA freelist_count")) *
        static_cast<std::uint64_t>(pragma_int(wdb_, "PRAGMA page_size"));
}

void Journal::prune_age() {
    const auto before = wall_ms() - opt_.retention.count();
    for (;;) {
        progress_.mark();
        // Up to the first record young enough to keep (the clock may have
        // stepped: an old record after it waits until the front reaches it).
        Stmt front(wdb_, "SELECT cursor, at_ms FROM journal ORDER BY cursor LIMIT ?");
        front.bind(1, kFront);
        std::int64_t cut = 0, seen = 0;
        bool young = false;
        while (front.step() && !(young = front.i64(1) >= before)) {
            cut = front.i64(0);
            ++seen;
        }
        if (cut == 0 || drop_front(cut, "age") == 0 || young || seen < kFront) break;
    }
    Stmt ds(wdb_, "DELETE FROM sessions WHERE last_ms < ?");
    ds.bind(1, before);
    ds.step();
}

void Journal::prune_size() {
    if (!opt_.max_bytes || used_bytes() <= opt_.max_bytes) return;
    // Down to nine tenths of the cap, so that it is not done again for
    // every few records that follow; each slice as many records as the
    // excess holds at the journal's average record size.
    const auto target = opt_.max_bytes / 10 * 9;
    const auto slice = [&]() -> std::int64_t {
        const auto now = used_bytes();
        if (now <= target) return 0;
        Stmt span(wdb_, "SELECT coalesce(max(cursor) - min(cursor) + 1, 0) FROM journal");
        span.step();
        const auto rows = static_cast<std::uint64_t>(span.i64(0));
        return static_cast<std::int64_t>(
            std::clamp<std::uint64_t>(rows * (now - target) / now, 1, kSlice));
    };
    Pruned traffic;
    std::int64_t after = 0;
    for (std::int64_t want; (want = slice()) > 0;) {
        progress_.mark();
        if (tombstone_slice(after, want, traffic) < want) break;
    }
    if (traffic.records) {
        std::vector<Batch> b(1);
        b[0].records.push_back(journal_record("pruned", pruned_detail(traffic, "size")));
        commit(b);
    }
    for (std::int64_t want; (want = slice()) > 0;) {
        progress_.mark();
        Stmt cut(wdb_,
                 "SELECT max(cursor) FROM (SELECT cursor FROM journal ORDER BY cursor LIMIT ?)");
        cut.bind(1, want);
        if (!cut.step() || cut.null(0) || drop_front(cut.i64(0), "size") == 0) break;
    }
}

// Replaces up to `want` records of line traffic after `after` with their
// tombstones, oldest first, in one transaction; how many it replaced.
std::int64_t Journal::tombstone_slice(std::int64_t &after, std::int64_t want, Pruned &p) {
    const auto sql = fmt::format("SELECT {}, link FROM journal WHERE cursor > ? AND {} ORDER BY "
                                 "cursor LIMIT ?",
                                 kColumns, kLineTraffic);
    std::vector<std::pair<Record, std::int64_t>> found;
    exec(wdb_, "BEGIN IMMEDIATE");
    try {
        Stmt sel(wdb_, sql.c_str());
        sel.bind(1, after).bind(2, want);
        while (sel.step()) found.emplace_back(row(sel), sel.i64(kColumnCount));
        Stmt tomb(wdb_,
                  "INSERT INTO chain_links (cursor, kind, link, digest, hash) VALUES (?,?,?,?,?)");
        Stmt del(wdb_, "DELETE FROM journal WHERE cursor = ?");
        for (auto &[r, link] : found) {
            // A record from before the chain began is simply removed.
            if (auto h = hash_from_hex(r.hash)) {
                const Hash digest = record_digest(r);
                tomb.bind(1, r.cursor).bind(2, r.kind).bind(3, link);
                tomb.bind_blob(4, digest.data(), digest.size()).bind_blob(5, h->data(), h->size());
                tomb.step();
                tomb.reset();
            }
            del.bind(1, r.cursor);
            del.step();
            del.reset();
        }
        exec(wdb_, "COMMIT");
    } catch (...) {
        sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    for (auto &[r, link] : found) {
        after = r.cursor;
        p.up_to = r.cursor;
        p.up_to_ms = r.at_ms;
    }
    const auto n = static_cast<std::int64_t>(found.size());
    p.records += n;
    p.tombstoned += n;
    std::lock_guard lk(mu_);
    stats_.pruned += static_cast<std::uint64_t>(n);
    return n;
}

// Removes every record and tombstone up to `cut`, moves the chain's base
// past them and stores the `pruned` record naming it, in one transaction;
// how many records went.
std::int64_t Journal::drop_front(std::int64_t cut, const char *why) {
    Pruned p;
    std::vector<Batch> b(1);
    b[0].records.push_back(journal_record("pruned", ""));
    b[0].within = [&](std::vector<Record> &records) {
        drop_within(cut, p);
        records.front().detail = pruned_detail(p, why);
    };
    commit(b);
    {
        std::lock_guard lk(mu_);
        stats_.pruned += static_cast<std::uint64_t>(p.records);
        stats_.audit_pruned += static_cast<std::uint64_t>(p.audit);
    }
    log(p.audit ? 4 : 6,
        fmt::format("journal: pruned {} records up to cursor {} ({}){}", p.records, p.up_to, why,
                    p.audit ? fmt::format(", {} of them audit records younger than the retention "
                                          "(cursors {} to {})",
                                          p.audit, p.audit_from, p.audit_to)
                            : std::string()));
    return p.records;
}

void Journal::drop_within(std::int64_t cut, Pruned &p) {
    ChainHead base;
    for (const char *sql : {"SELECT cursor, link, hash FROM journal WHERE cursor <= ? AND hash IS "
                            "NOT NULL ORDER BY cursor DESC LIMIT 1",
                            "SELECT cursor, link, hash FROM chain_links WHERE cursor <= ? ORDER BY "
                            "cursor DESC LIMIT 1"}) {
        Stmt last(wdb_, sql);
        last.bind(1, cut);
        if (!last.step() || last.i64(0) <= base.cursor || !last.hash(2)) continue;
        base = {static_cast<std::uint64_t>(last.i64(1)), *last.hash(2), last.i64(0)};
    }
    const auto young = wall_ms() - opt_.retention.count();
    Stmt del(wdb_, "DELETE FROM journal WHERE cursor <= ? RETURNING cursor, at_ms, kind");
    del.bind(1, cut);
    while (del.step()) {
        ++p.records;
        if (del.i64(0) > p.up_to) {
            p.up_to = del.i64(0);
            p.up_to_ms = del.i64(1);
        }
        const auto kind = record_kind(del.text(2));
        if (!kind || !audit_kind(*kind) || del.i64(1) < young) continue;
        ++p.audit;
        p.audit_from = p.audit_from ? std::min(p.audit_from, del.i64(0)) : del.i64(0);
        p.audit_to = std::max(p.audit_to, del.i64(0));
    }
    Stmt tombs(wdb_, "DELETE FROM chain_links WHERE cursor <= ?");
    tombs.bind(1, cut);
    tombs.step();
    if (base.cursor == 0) return; // only records from before the chain began
    Stmt move(wdb_, "UPDATE chain_base SET cursor = ?, count = ?, hash = ?");
    move.bind(1, base.cursor).bind(2, static_cast<std::int64_t>(base.count));
    move.bind_blob(3, base.hash.data(), base.hash.size());
    move.step();
    p.base = base;
}

std::string Journal::pruned_detail(const Pruned &p, const char *why) const {
    auto d = fmt::format(
        R"({{"records":{},"up_to_cursor":{},"up_to_ms":{},"why":"{}","max_bytes":{},"retention_days":{})",
        p.records, p.up_to, p.up_to_ms, why, opt_.max_bytes,
        std::chrono::duration_cast<std::chrono::hours>(opt_.retention).count() / 24);
    if (p.tombstoned) d += fmt::format(R"(,"tombstoned":{})", p.tombstoned);
    if (p.base) d += fmt::format(R"(,"anchor":"{}")", anchor_text(*p.base));
    if (p.audit)
        d += fmt::format(R"(,"audit_records":{},"audit_from_cursor":{},"audit_to_cursor":{})",
                         p.audit, p.audit_from, p.audit_to);
    return d + "}";
}

void Journal::log_head_when_due() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_head_log_) return;
    next_head_log_ = now + opt_.head_log_interval;
    const auto h = head();
    log(6,
        fmt::format("journal head {} at cursor {} (cabinetctl journal verify --anchor {})",
                    anchor_text(h), h.cursor, anchor_text(h)));
}

ChainHead Journal::head() const {
    std::lock_guard lk(mu_);
    return chain_;
}

} // namespace cabinetd
