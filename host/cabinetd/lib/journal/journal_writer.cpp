#include "journal.h"

#include "journal_sql.h"
#include "log.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

using namespace journal_sql;

// When what is queued must be committed (mu_ held, queue not empty): a
// group interval after the first records, and a reader's progress alone
// (the MQTT bridge's acknowledged cursor, moved by every event it publishes)
// only after the longer progress interval: losing it to a crash costs no
// more than events published again, and writing it after every event would
// double the commits of a busy cabinet.
std::chrono::steady_clock::time_point Journal::due_at() const {
    auto due = queue_.front().queued + opt_.progress_interval;
    for (auto &b : queue_)
        if (!b.records.empty()) return std::min(due, b.queued + opt_.group_interval);
    return due;
}

void Journal::run() {
    next_prune_ = next_size_ = std::chrono::steady_clock::now();
    if (!startup_records_.empty()) {
        std::vector<Batch> first(1);
        first[0].records = std::move(startup_records_);
        attempt(first, true);
    }
    for (;;) {
        bool retry = false, exiting = false;
        auto batches = take_due(retry, exiting);
        progress_.mark();
        if (!batches.empty() || retry) {
            const std::size_t handled = batches.size();
            attempt(batches, available_ || retry);
            std::lock_guard lk(mu_);
            committed_ += handled;
            done_cv_.notify_all();
        }
        if (exiting) {
            if (held_records_)
                log(3,
                    fmt::format(
                        "journal: stopping while it cannot write: {} records kept in memory are lost",
                        held_records_));
            std::lock_guard lk(mu_);
            exited_ = true;
            done_cv_.notify_all();
            return;
        }
        if (available_) prune_when_due(); // no pruning while it cannot write
    }
}

// Sleeps until something is due (a commit, a retry, a prune) or a batch
// arrives that is due sooner, and takes what is queued if it must be
// committed now. retry: the journal cannot write and it is time to
// try again; exiting: stopping, and nothing is left in the queue.
std::vector<Journal::Batch> Journal::take_due(bool &retry, bool &exiting) {
    using clock = std::chrono::steady_clock;
    std::vector<Batch> batches;
    std::unique_lock lk(mu_);
    auto wake = clock::now() + std::chrono::minutes(1); // a bound, not a tick
    if (available_) wake = std::min({wake, next_prune_, next_size_});
    else wake = std::min(wake, next_retry_);
    if (!queue_.empty()) wake = std::min(wake, due_at());
    // Asleep on purpose until then, not stuck.
    progress_.idle_for(std::chrono::ceil<std::chrono::milliseconds>(
        std::max(wake - clock::now(), clock::duration::zero())));
    // A batch that arrives meanwhile may be due sooner (records behind a
    // reader's progress, which waits longer): the wait is set again.
    cv_.wait_until(lk, wake,
                   [&] { return stop_ || urgent_ > 0 || (!queue_.empty() && due_at() < wake); });
    const auto now = clock::now();
    const bool due = stop_ || urgent_ > 0 || (!queue_.empty() && now >= due_at());
    retry = !available_ && (now >= next_retry_ || stop_);
    if (due || retry) {
        // Everything waiting goes into one transaction.
        std::size_t n = 0;
        while (!queue_.empty() && n < 20000) {
            n += queue_.front().records.size();
            if (queue_.front().urgent) --urgent_;
            batches.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
    }
    exiting = stop_ && queue_.empty();
    return batches;
}

void Journal::prune_when_due() {
    using clock = std::chrono::steady_clock;
    const auto now = clock::now();
    try {
        if (now >= next_prune_) {
            next_prune_ = now + opt_.prune_interval;
            prune_age();
        }
        if (now >= next_size_) {
            next_size_ =
                now + std::min<clock::duration>(opt_.prune_interval, std::chrono::minutes(1));
            prune_size();
        }
    } catch (const JournalError &e) {
        log(4, fmt::format("pruning the journal failed, tried again later: {}", e.what()));
    }
}

void Journal::commit(std::vector<Batch> &batches) {
    // Only waiters (a flush): nothing to write.
    if (std::all_of(batches.begin(), batches.end(), [](auto &b) {
            return b.records.empty() && b.progress.empty() && b.notes.empty();
        })) {
        for (auto &b : batches)
            if (b.done) b.done(true);
        return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::uint64_t dups = 0;
    std::vector<Record> stored;
    try {
        exec(wdb_, "BEGIN IMMEDIATE");
        stored = insert(batches, dups);
        exec(wdb_, "COMMIT");
    } catch (const JournalError &) {
        // What the database said, not the statement it said it about.
        const std::string why = sqlite3_errmsg(wdb_);
        sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw JournalError(why, Kind::Transient);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::vector<Listener> listeners;
    std::int64_t last = 0;
    {
        std::lock_guard lk(mu_);
        for (auto &r : stored) {
            recent_.push_back(r);
            last_cursor_ = r.cursor;
        }
        while (recent_.size() > opt_.recent) recent_.pop_front();
        last = last_cursor_;
        stats_.records += stored.size();
        stats_.duplicates += dups;
        ++stats_.batches;
        stats_.write_seconds_sum += seconds;
        for (std::size_t i = 0; i < std::size(JournalStats::kBuckets); ++i)
            if (seconds <= JournalStats::kBuckets[i]) ++stats_.write_buckets[i];
        for (auto &[id, l] : listeners_) listeners.push_back(l);
    }
    for (auto &b : batches)
        if (b.done) b.done(true);
    if (!stored.empty())
        for (auto &l : listeners) l(last);
}

namespace {

// An event, a gap or a session record accounts for its session's events up
// to its number (sess: the sessions table's upsert).
void account_session(Stmt &sess, const Record &r) {
    const bool numbered =
        r.kind == RecordKind::Event || r.kind == RecordKind::Gap || r.kind == RecordKind::Session;
    if (!numbered || r.session_id.empty()) return;
    const auto seq =
        r.kind == RecordKind::Gap ? (r.seq_to ? *r.seq_to : *r.event_seq) : r.event_seq.value_or(0);
    sess.bind(1, r.cabinet)
        .bind(2, r.session_id)
        .bind(3, static_cast<std::int64_t>(seq))
        .bind(4, r.at_ms)
        .bind(5, r.at_ms);
    sess.step();
    sess.reset();
}

} // namespace

// Inserts the batches' records and progress in the open transaction; the
// records stored, with their cursors (an event already stored is counted in
// dups and left out).
std::vector<Record> Journal::insert(std::vector<Batch> &batches, std::uint64_t &dups) {
    // A record that settles an open or a clear names the latest one of its
    // request id (an open retried under its id is settled by its last try).
    Stmt ins(wdb_,
             "INSERT OR IGNORE INTO journal (at_ms, cabinet, kind, session_id, event_seq, seq_to, "
             "code, request_id, door_id, detail, key_scope, client_key, uptime_ms, requested_by, "
             "outcome, settles) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?15, CASE WHEN ?15 <> '' "
             "THEN (SELECT max(cursor) FROM journal WHERE cabinet = ?2 AND request_id = ?8 "
             "AND request_id <> '' AND kind IN ('open', 'clear')) END)");
    Stmt note(wdb_,
              "INSERT INTO notes (key, value) VALUES (?1, ?2) "
              "ON CONFLICT DO UPDATE SET value = excluded.value");
    Stmt forget(wdb_, "DELETE FROM notes WHERE key = ?");
    Stmt sess(
        wdb_,
        "INSERT INTO sessions (cabinet, session_id, last_seq, first_ms, last_ms) VALUES (?,?,?,?,?) "
        "ON CONFLICT DO UPDATE SET last_seq = max(last_seq, excluded.last_seq), last_ms = excluded.last_ms");
    Stmt prog(wdb_,
              "INSERT INTO progress (reader, cursor) VALUES (?,?) "
              "ON CONFLICT DO UPDATE SET cursor = excluded.cursor");
    std::vector<Record> stored;
    for (auto &b : batches) {
        for (auto &[reader, cursor] : b.progress) {
            prog.bind(1, reader).bind(2, cursor);
            prog.step();
            prog.reset();
        }
        for (auto &n : b.notes) {
            auto &st = n.value.empty() ? forget : note;
            st.bind(1, n.key);
            if (!n.value.empty()) st.bind(2, n.value);
            st.step();
            st.reset();
        }
        for (auto &r : b.records) {
            if (r.at_ms == 0) r.at_ms = wall_ms();
            r.requested_by = requester(r);
            ins.bind(1, r.at_ms)
                .bind(2, r.cabinet)
                .bind(3, r.kind)
                .bind(4, r.session_id)
                .bind(5, r.event_seq)
                .bind(6, r.seq_to)
                .bind(7, r.code)
                .bind(8, r.request_id)
                .bind(9, static_cast<std::int64_t>(r.door_id))
                .bind(10, r.detail)
                .bind(11, r.key_scope)
                .bind(12, r.client_key)
                .bind(13, r.uptime_ms)
                .bind(14, r.requested_by)
                .bind(15, r.outcome);
            ins.step();
            ins.reset();
            if (sqlite3_changes(wdb_) == 0) {
                ++dups;
                continue;
            }
            r.cursor = sqlite3_last_insert_rowid(wdb_);
            account_session(sess, r);
            stored.push_back(r);
        }
    }
    return stored;
}

void Journal::prune_age() {
    const auto before = wall_ms() - opt_.retention.count();
    prune_oldest("SELECT cursor FROM journal WHERE at_ms < ?1 LIMIT ?2", before, "age",
                 [] { return 5000; });
    Stmt ds(wdb_, "DELETE FROM sessions WHERE last_ms < ?");
    ds.bind(1, before);
    ds.step();
}

void Journal::prune_size() {
    if (!opt_.max_bytes) return;
    const auto used = [&] {
        return static_cast<std::uint64_t>(pragma_int(wdb_, "PRAGMA page_count") -
                                          pragma_int(wdb_, "PRAGMA freelist_count")) *
            static_cast<std::uint64_t>(pragma_int(wdb_, "PRAGMA page_size"));
    };
    if (used() <= opt_.max_bytes) return;
    // Down to nine tenths of the cap, so that it is not done again for
    // every few records that follow; each slice as many of the oldest
    // records as the excess holds at the journal's average record size.
    const auto target = opt_.max_bytes / 10 * 9;
    prune_oldest(
        "SELECT cursor FROM journal ORDER BY cursor LIMIT ?2", 0, "size", [&]() -> std::int64_t {
            const auto now = used();
            if (now <= target) return 0;
            Stmt span(wdb_, "SELECT coalesce(max(cursor) - min(cursor) + 1, 0) FROM journal");
            span.step();
            const auto rows = static_cast<std::uint64_t>(span.i64(0));
            return static_cast<std::int64_t>(
                std::clamp<std::uint64_t>(rows * (now - target) / now, 1, 1000));
        });
}

// Deletes the records `select` names (?1 arg, ?2 how many), slice by slice
// (a writer is never held up for long) while slice() says how many more,
// and leaves a record saying what went.
void Journal::prune_oldest(const char *select, std::int64_t arg, const char *why,
                           const std::function<std::int64_t()> &slice_size) {
    std::int64_t n = 0, up_to = 0, up_to_ms = 0;
    const auto sql =
        fmt::format("DELETE FROM journal WHERE cursor IN ({}) RETURNING cursor, at_ms", select);
    for (;;) {
        progress_.mark();
        const auto want = slice_size();
        if (want <= 0) break;
        std::int64_t slice = 0;
        exec(wdb_, "BEGIN IMMEDIATE");
        try {
            Stmt del(wdb_, sql.c_str());
            del.bind(1, arg).bind(2, want);
            while (del.step()) {
                ++slice;
                if (del.i64(0) > up_to) {
                    up_to = del.i64(0);
                    up_to_ms = del.i64(1);
                }
            }
            exec(wdb_, "COMMIT");
        } catch (...) {
            sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        n += slice;
        if (slice < want) break;
    }
    if (n == 0) return;
    {
        std::lock_guard lk(mu_);
        stats_.pruned += static_cast<std::uint64_t>(n);
    }
    log(6, fmt::format("journal: pruned {} records up to cursor {} ({})", n, up_to, why));
    std::vector<Batch> b(1);
    b[0].records.push_back(journal_record(
        "pruned",
        fmt::format(
            R"({{"records":{},"up_to_cursor":{},"up_to_ms":{},"why":"{}","max_bytes":{},"retention_days":{}}})",
            n, up_to, up_to_ms, why, opt_.max_bytes,
            std::chrono::duration_cast<std::chrono::hours>(opt_.retention).count() / 24)));
    commit(b);
}
} // namespace cabinetd
