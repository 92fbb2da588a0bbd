#include "batch_writer.h"

#include "journal_sql.h"

#include <algorithm>

namespace cabinetd {

using namespace journal_sql;

void BatchWriter::commit(std::vector<WriteBatch> &batches) {
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
    ChainHead head = state_.chain();
    std::int64_t next = state_.next_cursor();
    try {
        exec(db_, "BEGIN IMMEDIATE");
        stored = insert(batches, dups, head, next);
        exec(db_, "COMMIT");
    } catch (const JournalError &) {
        // What the database said, not the statement it said it about.
        const std::string why = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw JournalError(why, Kind::Transient);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto [listeners, last] = state_.committed(head, next, stored, dups, seconds);
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
std::vector<Record> BatchWriter::insert(std::vector<WriteBatch> &batches, std::uint64_t &dups,
                                        ChainHead &head, std::int64_t &next) {
    Linker link(db_, head.origin);
    Stmt note(db_,
              "INSERT INTO notes (key, value) VALUES (?1, ?2) "
              "ON CONFLICT DO UPDATE SET value = excluded.value");
    Stmt forget(db_, "DELETE FROM notes WHERE key = ?");
    Stmt sess(
        db_,
        "INSERT INTO sessions (cabinet, session_id, last_seq, first_ms, last_ms) VALUES (?,?,?,?,?) "
        "ON CONFLICT DO UPDATE SET last_seq = max(last_seq, excluded.last_seq), last_ms = excluded.last_ms");
    Stmt prog(db_,
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
