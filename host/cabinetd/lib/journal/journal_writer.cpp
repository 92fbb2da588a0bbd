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
    // The first head is logged by the first check of the chain, once it holds.
    next_prune_ = next_size_ = std::chrono::steady_clock::now();
    next_head_log_ = next_prune_ + opt_.head_log_interval;
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
    if (available_) wake = std::min({wake, next_prune_, next_size_, next_head_log_});
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
    const auto pruned = stats().pruned;
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
    // What a prune changed is checked: the new base, and the chain from it.
    if (stats().pruned != pruned) request_check();
    log_head_when_due();
}

void Journal::commit(std::vector<Batch> &batches) {
    // Only waiters (a flush): nothing to write.
    if (std::all_of(batches.begin(), batches.end(), [](auto &b) {
            return b.records.empty() && b.progress.empty() && b.notes.empty() && !b.within;
        })) {
        for (auto &b : batches)
            if (b.done) b.done(true);
        return;
    }
    const auto t0 = std::chrono::steady_clock::now();
    std::uint64_t dups = 0;
    std::vector<Record> stored;
    // The chain moves on only once the records it moved on by are durable.
    ChainHead head = chain_;
    std::int64_t next = next_cursor_;
    try {
        exec(wdb_, "BEGIN IMMEDIATE");
        stored = insert(batches, dups, head, next);
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
        chain_ = head;
        next_cursor_ = next;
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

// Inserts the batches' records and progress in the open transaction, each
// record the link after `head`; the records stored, with their cursors (an
// event already stored is counted in dups and left out).
std::vector<Record> Journal::insert(std::vector<Batch> &batches, std::uint64_t &dups,
                                    ChainHead &head, std::int64_t &next) {
    Linker link(wdb_, head.origin);
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
        if (b.within) b.within(b.records);
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
            if (!link.insert(r, head, next)) {
                ++dups;
                continue;
            }
            ++next;
            account_session(sess, r);
            stored.push_back(r);
        }
    }
    return stored;
}

} // namespace cabinetd
