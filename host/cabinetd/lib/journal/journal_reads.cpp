#include "journal_reads.h"

#include "journal_sql.h"

#include <cabinet_host/explain.h>
#include <fmt/format.h>

#include <algorithm>
#include <limits>
#include <thread>

namespace cabinetd {

using namespace journal_sql;

namespace {

// Records mostly follow each other in the order of their wall-clock times,
// but not strictly: cabinets stamp them on threads of their own before they
// are queued, and the clock may be stepped. Records stamped this close to one
// another are taken to be possibly out of order.
constexpr std::int64_t kClockSlackMs = 10000;
// The times a record can carry (whatever a damaged journal holds).
constexpr std::int64_t kMaxMs = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinMs = std::numeric_limits<std::int64_t>::min();

// The cursors a page may look at: after `from`, up to `to`.
struct Span {
    std::int64_t from = 0, to = 0;
};

// A query's filters beyond its cursors, then its order and limit: the end of
// a SELECT whose own conditions come first. bind_filter binds their values
// from parameter i on, in the same order. The requester's condition names
// its index's own, so that the index can serve it. The times are compared
// as `+at_ms`, which keeps the time index out of the scan: it would read
// every record of a wide time range before putting them in cursor order
// (time_span uses that index instead, with bounded work).
std::string filter_sql(const Query &q) {
    std::string sql;
    if (!q.requested_by.empty()) sql += " AND requested_by = ? AND requested_by <> ''";
    if (!q.requested_by_prefix.empty())
        sql += " AND requested_by <> '' AND instr(lower(requested_by), ?) = 1";
    if (!q.cabinet.empty()) sql += " AND cabinet = ?";
    if (!q.cabinets.empty()) {
        sql += " AND cabinet IN (";
        for (std::size_t i = 0; i < q.cabinets.size(); ++i) sql += i ? ",?" : "?";
        sql += ")";
    }
    // A reason is an open's or a refused open's; CASE keeps any other
    // record's detail (which need not be JSON) from being parsed at all.
    if (!q.reason.empty())
        sql += " AND CASE WHEN kind IN ('open', 'refused') AND json_valid(detail) "
               "THEN instr(json_extract(detail, '$.reason'), ?) > 0 ELSE 0 END";
    if (!q.kinds.empty()) {
        sql += " AND kind IN (";
        for (std::size_t i = 0; i < q.kinds.size(); ++i) sql += i ? ",?" : "?";
        sql += ")";
    }
    if (q.door) sql += " AND door_id = ?";
    if (q.since_ms) sql += " AND +at_ms >= ?";
    if (q.until_ms) sql += " AND +at_ms < ?";
    return sql + " ORDER BY cursor LIMIT ?";
}

void bind_filter(Stmt &s, int i, const Query &q) {
    if (!q.requested_by.empty()) s.bind(i++, q.requested_by);
    if (!q.requested_by_prefix.empty()) s.bind(i++, q.requested_by_prefix);
    if (!q.cabinet.empty()) s.bind(i++, q.cabinet);
    for (auto &c : q.cabinets) s.bind(i++, c);
    if (!q.reason.empty()) s.bind(i++, q.reason);
    for (auto &k : q.kinds) s.bind(i++, k);
    if (q.door) s.bind(i++, static_cast<std::int64_t>(q.door));
    if (q.since_ms) s.bind(i++, *q.since_ms);
    if (q.until_ms) s.bind(i++, *q.until_ms);
    s.bind(i++, static_cast<std::int64_t>(q.limit));
}

// Narrows a span to the cursors that may hold records of the query's time
// range, through the time index alone (a few seeks and the records of a few
// seconds, whatever the journal's size): from the first record stamped at or
// after since_ms to the last one stamped before until_ms, each widened by
// the records stamped within kClockSlackMs of it. What lies outside is
// stamped out of order by more than that: made before the clock was stepped
// back by more. Each record in the span is still filtered by its own time.
void time_span(sqlite3 *db, const Query &q, Span &s) {
    if (q.since_ms) {
        Stmt first(db,
                   "SELECT at_ms FROM journal INDEXED BY journal_at WHERE at_ms >= ? "
                   "ORDER BY at_ms LIMIT 1");
        first.bind(1, *q.since_ms);
        if (!first.step()) {
            s.from = s.to; // nothing stamped that late
            return;
        }
        Stmt lo(db,
                "SELECT min(cursor) FROM journal INDEXED BY journal_at "
                "WHERE at_ms >= ? AND at_ms <= ?");
        const auto at = first.i64(0);
        lo.bind(1, at).bind(2, at > kMaxMs - kClockSlackMs ? kMaxMs : at + kClockSlackMs);
        lo.step();
        s.from = std::max(s.from, lo.i64(0) - 1);
    }
    if (q.until_ms) {
        Stmt last(db,
                  "SELECT at_ms FROM journal INDEXED BY journal_at WHERE at_ms < ? "
                  "ORDER BY at_ms DESC LIMIT 1");
        last.bind(1, *q.until_ms);
        if (!last.step()) {
            s.to = s.from; // nothing stamped that early
            return;
        }
        Stmt hi(db,
                "SELECT max(cursor) FROM journal INDEXED BY journal_at "
                "WHERE at_ms >= ? AND at_ms < ?");
        const auto at = last.i64(0);
        hi.bind(1, at < kMinMs + kClockSlackMs ? kMinMs : at - kClockSlackMs).bind(2, *q.until_ms);
        hi.step();
        s.to = std::min(s.to, hi.i64(0));
    }
}

// Where a page of a requester's records stops looking: at its window-th
// record in the span, found in the requester's index, or the span's end.
std::int64_t requester_upto(sqlite3 *db, const Query &q, const Span &s, std::int64_t window) {
    Stmt st(db,
            "SELECT cursor FROM journal INDEXED BY journal_requester WHERE requested_by = ? "
            "AND requested_by <> '' AND cursor > ? AND cursor <= ? "
            "ORDER BY cursor LIMIT 1 OFFSET ?");
    st.bind(1, q.requested_by)
        .bind(2, s.from)
        .bind(3, s.to)
        .bind(4, std::max<std::int64_t>(window - 1, 0));
    return st.step() ? st.i64(0) : s.to;
}

// The records of (from, upto] that match q, by the query (see filter_sql):
// through the requester's index for a requester, else by cursor.
void scan_db(sqlite3 *db, const Query &q, std::int64_t from, std::int64_t upto,
             std::vector<Record> &out) {
    const auto sql =
        fmt::format("SELECT {} FROM journal {} WHERE cursor > ? AND cursor <= ?", kColumns,
                    q.requested_by.empty() ? "NOT INDEXED" : "INDEXED BY journal_requester") +
        filter_sql(q);
    Stmt s(db, sql.c_str());
    s.bind(1, from).bind(2, upto);
    bind_filter(s, 3, q);
    while (s.step()) out.push_back(row(s));
}

// Where a page of an outcome's records stops looking, and the cursors of
// what it found there: the opens and clears the outcome's records settle
// (and refused records, which settle themselves), from its index, at most
// `window` of them.
std::int64_t outcome_positions(sqlite3 *db, const Query &q, const Span &s, std::int64_t window,
                               std::vector<std::int64_t> &at) {
    const bool any_refusal = q.outcome == "refused";
    const auto sql = fmt::format(
        "SELECT coalesce(settles, cursor) AS pos FROM journal INDEXED BY {} WHERE {} "
        "AND pos > ?2 AND pos <= ?3 ORDER BY pos LIMIT ?4",
        any_refusal ? "journal_refused" : "journal_outcome",
        any_refusal ? "outcome <> '' AND kind IN ('ack', 'refused') AND outcome <> 'accepted'"
                    : "outcome = ?1 AND outcome <> ''");
    Stmt st(db, sql.c_str());
    st.bind(1, q.outcome).bind(2, s.from).bind(3, s.to).bind(4, window);
    while (st.step()) at.push_back(st.i64(0));
    return static_cast<std::int64_t>(at.size()) == window ? at.back() : s.to;
}

// What settled each open and clear among the records: the outcome of the
// record that names it, or for one journalled before outcomes were kept,
// what its last ack or open_failed says.
void fill_outcomes(sqlite3 *db, std::vector<Record> &records) {
    Stmt s(db,
           "SELECT outcome, settles, kind, code FROM journal WHERE cabinet = ?1 AND "
           "request_id = ?2 AND request_id <> '' AND cursor > ?3 "
           "AND kind IN ('ack', 'open_failed', 'clear_failed') ORDER BY cursor LIMIT 16");
    for (auto &r : records) {
        if ((r.kind != RecordKind::Open && r.kind != RecordKind::Clear) || r.request_id.empty() ||
            !r.outcome.empty())
            continue;
        s.bind(1, r.cabinet).bind(2, r.request_id).bind(3, r.cursor);
        std::string found;
        while (s.step()) {
            if (!s.null(1) && s.i64(1) == r.cursor) {
                found = s.text(0);
                break;
            }
            if (s.null(1) && s.text(0).empty())
                found = s.text(2) == "ack" && cabinet_host::is_success_ack(s.text(3))
                    ? std::string("accepted")
                    : s.text(3);
        }
        s.reset();
        r.outcome = std::move(found);
    }
}

// The records at those cursors that match the query, at most its limit.
void records_at(sqlite3 *db, const Query &q, const std::vector<std::int64_t> &at,
                std::vector<Record> &out) {
    Stmt s(db, fmt::format("SELECT {} FROM journal WHERE cursor = ?", kColumns).c_str());
    std::int64_t last = 0;
    for (const auto c : at) {
        if (c == last) continue; // settled twice: an open retried under its request id
        last = c;
        s.bind(1, c);
        std::vector<Record> one;
        if (s.step()) one.push_back(row(s));
        s.reset();
        fill_outcomes(db, one);
        if (!one.empty() && matches(q, one.front())) out.push_back(std::move(one.front()));
        if (out.size() == q.limit) return;
    }
}

} // namespace

// The calling thread's own read connection, opened on its first read, so
// that no thread's read (a cabinet's, the bridge's catching up, the writer's
// answering a cycle) waits behind another's; past kOwnReaders threads, the
// rest share one connection under a lock.
class JournalReads::ReadDb {
public:
    explicit ReadDb(const JournalReads &j) : db_(j.own_reader()) {
        if (db_) return;
        shared_ = std::unique_lock(j.rmu_);
        db_ = j.rdb_;
    }
    operator sqlite3 *() const { return db_; }

private:
    sqlite3 *db_;
    std::unique_lock<std::mutex> shared_;
};

JournalReads::JournalReads(std::string path, const char *vfs, const JournalState &state)
        : path_(std::move(path)), vfs_(vfs), state_(state) {
    try {
        rdb_ = open_db(path_, SQLITE_OPEN_READONLY, vfs_);
        pdb_ = open_db(path_, SQLITE_OPEN_READONLY, vfs_);
        adb_ = open_db(path_, SQLITE_OPEN_READONLY, vfs_);
    } catch (...) {
        sqlite3_close(rdb_);
        sqlite3_close(pdb_);
        sqlite3_close(adb_);
        throw;
    }
}

JournalReads::~JournalReads() {
    sqlite3_close(rdb_);
    for (auto &[thread, db] : readers_) sqlite3_close(db);
    sqlite3_close(pdb_);
    sqlite3_close(adb_);
}

sqlite3 *JournalReads::own_reader() const {
    std::lock_guard lk(readers_mu_);
    const auto me = std::this_thread::get_id();
    if (auto it = readers_.find(me); it != readers_.end()) return it->second;
    if (readers_.size() >= kOwnReaders) return nullptr;
    sqlite3 *db = nullptr;
    try {
        db = open_db(path_, SQLITE_OPEN_READONLY, vfs_);
        // Lookups by index: a small cache serves them.
        exec(db, "PRAGMA cache_size=-256");
    } catch (const JournalError &) {
        sqlite3_close(db);
        return nullptr; // the shared one serves
    }
    readers_.emplace(me, db);
    return db;
}

std::vector<Record> JournalReads::read(const Query &q) const {
    const auto sql =
        fmt::format("SELECT {} FROM journal WHERE cursor > ?", kColumns) + filter_sql(q);
    const ReadDb db(*this);
    Stmt s(db, sql.c_str());
    s.bind(1, q.after);
    bind_filter(s, 2, q);
    return rows(s);
}

std::vector<Record> JournalReads::by_request(const std::string &cabinet,
                                             const std::string &request_id) const {
    const ReadDb db(*this);
    Stmt s(
        db,
        fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND request_id = ? ORDER BY cursor",
                    kColumns)
            .c_str());
    s.bind(1, cabinet).bind(2, request_id);
    return rows(s);
}

std::vector<Record> JournalReads::by_key(const std::string &cabinet, const std::string &scope,
                                         const std::string &key) const {
    const ReadDb db(*this);
    Stmt s(
        db,
        fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND key_scope = ? AND client_key = ? "
                    "AND client_key <> '' AND kind = 'open' ORDER BY cursor",
                    kColumns)
            .c_str());
    s.bind(1, cabinet).bind(2, scope).bind(3, key);
    return rows(s);
}

std::optional<Record> JournalReads::event(const std::string &cabinet, const std::string &session,
                                          std::uint64_t seq) const {
    const ReadDb db(*this);
    Stmt s(
        db,
        fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND event_seq = ? "
                    "AND kind = 'event'",
                    kColumns)
            .c_str());
    s.bind(1, cabinet).bind(2, session).bind(3, static_cast<std::int64_t>(seq));
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<Record> JournalReads::last_event(const std::string &cabinet,
                                               const std::string &session) const {
    const ReadDb db(*this);
    Stmt s(db,
           fmt::format(
               "SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND kind = 'event' "
               "ORDER BY event_seq DESC LIMIT 1",
               kColumns)
               .c_str());
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<std::uint64_t> JournalReads::last_seq(const std::string &cabinet,
                                                    const std::string &session) const {
    const ReadDb db(*this);
    Stmt s(db, "SELECT last_seq FROM sessions WHERE cabinet = ? AND session_id = ?");
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return static_cast<std::uint64_t>(s.i64(0));
}

std::optional<std::string> JournalReads::last_session(const std::string &cabinet) const {
    const ReadDb db(*this);
    Stmt s(
        db,
        "SELECT session_id FROM sessions WHERE cabinet = ? ORDER BY last_ms DESC, rowid DESC LIMIT 1");
    s.bind(1, cabinet);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::vector<Record> JournalReads::latest_alarms(const std::string &cabinet, unsigned door,
                                                const std::string &code, std::size_t limit) const {
    const ReadDb db(*this);
    Stmt s(db,
           fmt::format("SELECT {} FROM journal INDEXED BY journal_alarm WHERE cabinet = ? "
                       "AND door_id = ? AND code = ? AND kind = 'alarm' "
                       "ORDER BY cursor DESC LIMIT ?",
                       kColumns)
               .c_str());
    s.bind(1, cabinet)
        .bind(2, static_cast<std::int64_t>(door))
        .bind(3, code)
        .bind(4, static_cast<std::int64_t>(limit));
    return rows(s);
}

std::vector<Record> JournalReads::latest_events(const std::string &cabinet,
                                                const std::string &session,
                                                std::size_t limit) const {
    const ReadDb db(*this);
    Stmt s(db,
           fmt::format("SELECT {} FROM journal INDEXED BY journal_event WHERE cabinet = ? "
                       "AND session_id = ? AND kind = 'event' "
                       "ORDER BY event_seq DESC LIMIT ?",
                       kColumns)
               .c_str());
    s.bind(1, cabinet).bind(2, session).bind(3, static_cast<std::int64_t>(limit));
    return rows(s);
}

std::vector<Record> JournalReads::since(std::int64_t after, std::size_t limit) const {
    if (auto recent = state_.since(after, limit)) return std::move(*recent);
    Query q;
    q.after = after;
    q.limit = limit;
    return read(q);
}

Journal::Page JournalReads::page(const Query &q, std::int64_t window,
                                 Journal::Reader reader) const {
    sqlite3 *db = reader == Journal::Reader::audit ? adb_ : pdb_;
    std::mutex &dbmu = reader == Journal::Reader::audit ? amu_ : pmu_;
    const std::int64_t end = state_.last_cursor();
    Span span{q.after, end};
    if (q.since_ms || q.until_ms) {
        std::lock_guard lk(dbmu);
        time_span(db, q, span);
    }
    // Never before the cursor asked for, never past the last committed record.
    span.from = std::max(q.after, std::min(span.from, end));
    span.to = std::max(span.from, std::min(span.to, end));
    Journal::Page out;
    out.scanned_to = span.from;
    if (span.from == span.to || q.limit == 0) return out;
    // How far this page looks: `window` cursors on, or `window` of the
    // requester's records on (found below, in its index).
    std::int64_t upto = window >= span.to - span.from ? span.to : span.from + window;
    if (!q.outcome.empty()) {
        std::lock_guard lk(dbmu);
        std::vector<std::int64_t> at;
        upto = outcome_positions(db, q, span, window, at);
        records_at(db, q, at, out.records);
        out.scanned_to = out.records.size() == q.limit ? out.records.back().cursor : upto;
        out.more = out.scanned_to < span.to;
        return out;
    }
    auto recent = state_.matching(q, span.from, upto);
    if (recent) out.records = std::move(*recent);
    else {
        std::lock_guard lk(dbmu);
        if (!q.requested_by.empty()) upto = requester_upto(db, q, span, window);
        scan_db(db, q, span.from, upto, out.records);
    }
    {
        std::lock_guard lk(dbmu);
        fill_outcomes(db, out.records);
    }
    out.scanned_to = out.records.size() == q.limit ? out.records.back().cursor : upto;
    out.more = out.scanned_to < span.to;
    return out;
}

std::vector<Note> JournalReads::notes(const std::string &prefix) const {
    const ReadDb db(*this);
    Stmt s(db, "SELECT key, value FROM notes WHERE substr(key, 1, length(?1)) = ?1 ORDER BY key");
    s.bind(1, prefix);
    std::vector<Note> out;
    while (s.step()) out.push_back({s.text(0), s.text(1)});
    return out;
}

std::optional<std::int64_t> JournalReads::progress(const std::string &reader) const {
    const ReadDb db(*this);
    Stmt s(db, "SELECT cursor FROM progress WHERE reader = ?");
    s.bind(1, reader);
    if (!s.step()) return std::nullopt;
    return s.i64(0);
}

} // namespace cabinetd
