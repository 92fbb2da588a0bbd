#include "journal.h"

#include "log.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>

namespace cabinetd {
namespace {

// "CABJ": marks a database as this service's journal, so a foreign SQLite
// file given by mistake is refused instead of written into.
constexpr int kApplicationId = 0x43414a42;

const char *const kSchema = R"sql(
CREATE TABLE journal (
    cursor     INTEGER PRIMARY KEY AUTOINCREMENT,
    at_ms      INTEGER NOT NULL,
    cabinet    TEXT NOT NULL,
    kind       TEXT NOT NULL,
    session_id TEXT NOT NULL DEFAULT '',
    event_seq  INTEGER,
    seq_to     INTEGER,
    code       TEXT NOT NULL DEFAULT '',
    request_id TEXT NOT NULL DEFAULT '',
    door_id    INTEGER NOT NULL DEFAULT 0,
    detail     TEXT NOT NULL DEFAULT '',
    key_scope  TEXT NOT NULL DEFAULT '',
    client_key TEXT NOT NULL DEFAULT ''
);
CREATE UNIQUE INDEX journal_event ON journal(cabinet, session_id, event_seq) WHERE kind = 'event';
CREATE INDEX journal_request ON journal(cabinet, request_id) WHERE request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
CREATE INDEX journal_at ON journal(at_ms);
CREATE TABLE sessions (
    cabinet    TEXT NOT NULL,
    session_id TEXT NOT NULL,
    last_seq   INTEGER NOT NULL DEFAULT 0,
    first_ms   INTEGER NOT NULL,
    last_ms    INTEGER NOT NULL,
    PRIMARY KEY (cabinet, session_id)
);
)sql";

// Version 1 sent a client's idempotency key to the controller as the open's
// request id. Its opens keep answering their key: the request id becomes the
// key, in the scope of whoever asked (no version-1 open can tell a key from
// an id cabinetd generated; a generated one only ever answers its own asker).
const char *const kMigrate1To2 = R"sql(
ALTER TABLE journal ADD COLUMN key_scope TEXT NOT NULL DEFAULT '';
ALTER TABLE journal ADD COLUMN client_key TEXT NOT NULL DEFAULT '';
UPDATE journal SET client_key = request_id,
    key_scope = CASE
        WHEN NOT json_valid(detail) THEN ''
        WHEN json_extract(detail, '$.requested_by') = 'mqtt' THEN 'mqtt'
        ELSE 'http:' || coalesce(json_extract(detail, '$.requested_by'), '') END
    WHERE kind = 'open' AND request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
PRAGMA user_version = 2;
)sql";

[[noreturn]] void fail(sqlite3 *db, const std::string &what) {
    throw JournalError(fmt::format("{}: {}", what, db ? sqlite3_errmsg(db) : "out of memory"));
}

void exec(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw JournalError(fmt::format("journal: {} ({})", msg, sql));
    }
}

class Stmt {
public:
    Stmt(sqlite3 *db, const char *sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) fail(db, "journal: prepare");
    }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    Stmt &bind(int i, std::int64_t v) { sqlite3_bind_int64(st_, i, v); return *this; }
    Stmt &bind(int i, const std::string &v) {
        sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &bind(int i, const std::optional<std::uint64_t> &v) {
        if (v) sqlite3_bind_int64(st_, i, static_cast<std::int64_t>(*v));
        else sqlite3_bind_null(st_, i);
        return *this;
    }
    // True while there is a row.
    bool step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) fail(db_, "journal: step");
        return false;
    }
    void reset() { sqlite3_reset(st_); sqlite3_clear_bindings(st_); }
    std::int64_t i64(int c) const { return sqlite3_column_int64(st_, c); }
    bool null(int c) const { return sqlite3_column_type(st_, c) == SQLITE_NULL; }
    std::string text(int c) const {
        const auto *p = sqlite3_column_text(st_, c);
        return p ? std::string(reinterpret_cast<const char *>(p), static_cast<std::size_t>(sqlite3_column_bytes(st_, c))) : std::string();
    }

private:
    sqlite3 *db_;
    sqlite3_stmt *st_ = nullptr;
};

sqlite3 *open_db(const std::string &path, int flags) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw JournalError(fmt::format("cannot open journal {}: {}", path, msg));
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

int pragma_int(sqlite3 *db, const char *sql) {
    Stmt s(db, sql);
    return s.step() ? static_cast<int>(s.i64(0)) : 0;
}

constexpr const char *kColumns =
    "cursor, at_ms, cabinet, kind, session_id, event_seq, seq_to, code, request_id, door_id, detail, "
    "key_scope, client_key";

Record row(const Stmt &s) {
    Record r;
    r.cursor = s.i64(0);
    r.at_ms = s.i64(1);
    r.cabinet = s.text(2);
    r.kind = s.text(3);
    r.session_id = s.text(4);
    if (!s.null(5)) r.event_seq = static_cast<std::uint64_t>(s.i64(5));
    if (!s.null(6)) r.seq_to = static_cast<std::uint64_t>(s.i64(6));
    r.code = s.text(7);
    r.request_id = s.text(8);
    r.door_id = static_cast<unsigned>(s.i64(9));
    r.detail = s.text(10);
    r.key_scope = s.text(11);
    r.client_key = s.text(12);
    return r;
}

} // namespace

std::uint64_t steady_ms() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

std::int64_t wall_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Journal::Journal(const std::string &path, JournalOptions options) : opt_(options) {
    wdb_ = open_db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    try {
        const int app = pragma_int(wdb_, "PRAGMA application_id");
        const int version = pragma_int(wdb_, "PRAGMA user_version");
        const int tables = pragma_int(wdb_, "SELECT count(*) FROM sqlite_master");
        if (tables == 0) {
            exec(wdb_, "PRAGMA journal_mode=WAL");
            exec(wdb_, "BEGIN");
            exec(wdb_, kSchema);
            exec(wdb_, fmt::format("PRAGMA application_id={}", kApplicationId).c_str());
            exec(wdb_, fmt::format("PRAGMA user_version={}", kSchemaVersion).c_str());
            exec(wdb_, "COMMIT");
        } else if (app != kApplicationId) {
            throw JournalError(fmt::format("{} is not a cabinetd journal", path));
        } else if (version == 1) {
            exec(wdb_, "BEGIN IMMEDIATE");
            try {
                exec(wdb_, kMigrate1To2);
                exec(wdb_, "COMMIT");
            } catch (...) {
                sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
            log(5, fmt::format("journal {}: schema version 1 migrated to {}", path, kSchemaVersion));
        } else if (version != kSchemaVersion) {
            throw JournalError(fmt::format(
                "journal {} has schema version {}; this cabinetd reads version {}", path, version,
                kSchemaVersion));
        }
        // Readers' progress came after the first schema; a journal without it
        // gains it here, and older readers of the database ignore it.
        exec(wdb_, "CREATE TABLE IF NOT EXISTS progress (reader TEXT PRIMARY KEY, cursor INTEGER NOT NULL)");
        Stmt mode(wdb_, "PRAGMA journal_mode=WAL");
        if (!mode.step() || mode.text(0) != "wal")
            throw JournalError(fmt::format("journal {}: cannot use write-ahead logging", path));
        // A committed batch survives the process being killed in either mode:
        // it is in the log file. With full_sync it survives power loss too.
        exec(wdb_, opt_.full_sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        // Checkpoints copy the log into the database and sync it, which takes
        // tens of milliseconds: a thread of their own does them, so a commit
        // (and the API answer waiting for it) never pays for one.
        exec(wdb_, "PRAGMA wal_autocheckpoint=0");
        rdb_ = open_db(path, SQLITE_OPEN_READONLY);
        pdb_ = open_db(path, SQLITE_OPEN_READONLY);
        cdb_ = open_db(path, SQLITE_OPEN_READWRITE);
        Stmt last(wdb_, "SELECT coalesce(max(cursor), 0) FROM journal");
        last.step();
        last_cursor_ = last.i64(0);
    } catch (...) {
        sqlite3_close(wdb_);
        sqlite3_close(rdb_);
        sqlite3_close(pdb_);
        sqlite3_close(cdb_);
        throw;
    }
    writer_ = std::thread([this] { run(); });
    checkpointer_ = std::thread([this] { checkpoints(); });
}

void Journal::checkpoints() {
    std::unique_lock lk(mu_);
    while (!stop_) {
        cv_stop_.wait_for(lk, std::chrono::milliseconds(500), [&] { return stop_; });
        lk.unlock();
        // Passive: copies what no reader still needs, never waits for the writer.
        sqlite3_wal_checkpoint_v2(cdb_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        lk.lock();
    }
}

Journal::~Journal() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    cv_stop_.notify_all();
    writer_.join();
    checkpointer_.join();
    sqlite3_close(cdb_);
    sqlite3_close(rdb_);
    sqlite3_close(pdb_);
    sqlite3_close(wdb_);
}

void Journal::write(std::vector<Record> records, std::function<void()> committed) {
    {
        std::lock_guard lk(mu_);
        queue_.push_back({std::move(records), std::move(committed), {}});
        ++queued_;
    }
    cv_.notify_all();
}

void Journal::flush() {
    std::unique_lock lk(mu_);
    const auto target = queued_;
    done_cv_.wait(lk, [&] { return committed_ >= target || stop_; });
}

void Journal::run() {
    auto next_prune = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<Batch> batches;
        {
            std::unique_lock lk(mu_);
            cv_.wait_until(lk, next_prune, [&] { return stop_ || !queue_.empty(); });
            // Everything waiting goes into one transaction.
            std::size_t n = 0;
            while (!queue_.empty() && n < 20000) {
                n += queue_.front().records.size();
                batches.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
            if (batches.empty() && stop_) return;
        }
        if (!batches.empty()) {
            try {
                commit(batches);
            } catch (const JournalError &e) {
                // Nothing sensible is left to do with the journal broken (disk
                // full, file removed): stop rather than confirm unsaved work.
                log(2, fmt::format("journal write failed: {}", e.what()));
                std::abort();
            }
            std::lock_guard lk(mu_);
            committed_ += batches.size();
            done_cv_.notify_all();
        }
        if (std::chrono::steady_clock::now() >= next_prune) {
            try {
                prune(wall_ms() - opt_.retention.count());
            } catch (const JournalError &e) {
                log(4, fmt::format("pruning the journal failed, tried again later: {}", e.what()));
            }
            next_prune = std::chrono::steady_clock::now() + opt_.prune_interval;
        }
    }
}

void Journal::commit(std::vector<Batch> &batches) {
    const auto t0 = std::chrono::steady_clock::now();
    Stmt ins(wdb_, "INSERT OR IGNORE INTO journal (at_ms, cabinet, kind, session_id, event_seq, seq_to, "
                   "code, request_id, door_id, detail, key_scope, client_key) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
    Stmt sess(wdb_, "INSERT INTO sessions (cabinet, session_id, last_seq, first_ms, last_ms) VALUES (?,?,?,?,?) "
                    "ON CONFLICT DO UPDATE SET last_seq = max(last_seq, excluded.last_seq), last_ms = excluded.last_ms");
    Stmt prog(wdb_, "INSERT INTO progress (reader, cursor) VALUES (?,?) "
                    "ON CONFLICT DO UPDATE SET cursor = excluded.cursor");
    std::vector<Record> stored;
    std::uint64_t dups = 0;
    exec(wdb_, "BEGIN IMMEDIATE");
    try {
        for (auto &b : batches) {
            for (auto &[reader, cursor] : b.progress) {
                prog.bind(1, reader).bind(2, cursor);
                prog.step();
                prog.reset();
            }
            for (auto &r : b.records) {
                if (r.at_ms == 0) r.at_ms = wall_ms();
                ins.bind(1, r.at_ms).bind(2, r.cabinet).bind(3, r.kind).bind(4, r.session_id)
                    .bind(5, r.event_seq).bind(6, r.seq_to).bind(7, r.code).bind(8, r.request_id)
                    .bind(9, static_cast<std::int64_t>(r.door_id)).bind(10, r.detail).bind(11, r.key_scope)
                    .bind(12, r.client_key);
                ins.step();
                ins.reset();
                if (sqlite3_changes(wdb_) == 0) {
                    ++dups;
                    continue;
                }
                r.cursor = sqlite3_last_insert_rowid(wdb_);
                const bool numbered = r.kind == "event" || r.kind == "gap" || r.kind == "session";
                if (numbered && !r.session_id.empty()) {
                    const auto seq = r.kind == "gap" ? (r.seq_to ? *r.seq_to : *r.event_seq) : r.event_seq.value_or(0);
                    sess.bind(1, r.cabinet).bind(2, r.session_id).bind(3, static_cast<std::int64_t>(seq))
                        .bind(4, r.at_ms).bind(5, r.at_ms);
                    sess.step();
                    sess.reset();
                }
                stored.push_back(r);
            }
        }
        exec(wdb_, "COMMIT");
    } catch (...) {
        sqlite3_exec(wdb_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
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
        if (b.committed) b.committed();
    if (!stored.empty())
        for (auto &l : listeners) l(last);
}

void Journal::prune(std::int64_t before_ms) {
    // In slices, so writers are never held up for long.
    for (;;) {
        exec(wdb_, "BEGIN IMMEDIATE");
        Stmt del(wdb_, "DELETE FROM journal WHERE cursor IN (SELECT cursor FROM journal WHERE at_ms < ? LIMIT 5000)");
        del.bind(1, before_ms);
        del.step();
        const int n = sqlite3_changes(wdb_);
        Stmt ds(wdb_, "DELETE FROM sessions WHERE last_ms < ?");
        ds.bind(1, before_ms);
        ds.step();
        exec(wdb_, "COMMIT");
        if (n < 5000) break;
    }
}

std::vector<Record> Journal::read(const Query &q) const {
    std::string sql = fmt::format("SELECT {} FROM journal WHERE cursor > ?", kColumns);
    if (!q.cabinet.empty()) sql += " AND cabinet = ?";
    if (!q.kinds.empty()) {
        sql += " AND kind IN (";
        for (std::size_t i = 0; i < q.kinds.size(); ++i) sql += i ? ",?" : "?";
        sql += ")";
    }
    sql += " ORDER BY cursor LIMIT ?";
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, sql.c_str());
    int i = 1;
    s.bind(i++, q.after);
    if (!q.cabinet.empty()) s.bind(i++, q.cabinet);
    for (auto &k : q.kinds) s.bind(i++, k);
    s.bind(i++, static_cast<std::int64_t>(q.limit));
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::vector<Record> Journal::by_request(const std::string &cabinet, const std::string &request_id) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND request_id = ? ORDER BY cursor", kColumns).c_str());
    s.bind(1, cabinet).bind(2, request_id);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::vector<Record> Journal::by_key(const std::string &cabinet, const std::string &scope, const std::string &key) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND key_scope = ? AND client_key = ? "
                             "AND client_key <> '' AND kind = 'open' ORDER BY cursor", kColumns).c_str());
    s.bind(1, cabinet).bind(2, scope).bind(3, key);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::optional<Record> Journal::event(const std::string &cabinet, const std::string &session, std::uint64_t seq) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND event_seq = ? "
                             "AND kind = 'event'", kColumns).c_str());
    s.bind(1, cabinet).bind(2, session).bind(3, static_cast<std::int64_t>(seq));
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<Record> Journal::last_event(const std::string &cabinet, const std::string &session) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND kind = 'event' "
                             "ORDER BY event_seq DESC LIMIT 1", kColumns).c_str());
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<std::uint64_t> Journal::last_seq(const std::string &cabinet, const std::string &session) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT last_seq FROM sessions WHERE cabinet = ? AND session_id = ?");
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return static_cast<std::uint64_t>(s.i64(0));
}

std::optional<std::string> Journal::last_session(const std::string &cabinet) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT session_id FROM sessions WHERE cabinet = ? ORDER BY last_ms DESC, rowid DESC LIMIT 1");
    s.bind(1, cabinet);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::int64_t Journal::last_cursor() const {
    std::lock_guard lk(mu_);
    return last_cursor_;
}

std::vector<Record> Journal::since(std::int64_t after, std::size_t limit) const {
    {
        std::lock_guard lk(mu_);
        if (after >= last_cursor_) return {};
        if (!recent_.empty() && recent_.front().cursor <= after + 1) {
            auto it = std::upper_bound(recent_.begin(), recent_.end(), after,
                                       [](std::int64_t c, const Record &r) { return c < r.cursor; });
            std::vector<Record> out;
            for (; it != recent_.end() && out.size() < limit; ++it) out.push_back(*it);
            return out;
        }
    }
    Query q;
    q.after = after;
    q.limit = limit;
    return read(q);
}

Journal::Page Journal::page(const Query &q, std::int64_t window) const {
    Page out;
    const auto wanted = [&](const Record &r) {
        return (q.cabinet.empty() || r.cabinet == q.cabinet) &&
               (q.kinds.empty() || std::find(q.kinds.begin(), q.kinds.end(), r.kind) != q.kinds.end());
    };
    std::int64_t upto = 0;
    {
        std::lock_guard lk(mu_);
        upto = window >= last_cursor_ - q.after ? last_cursor_ : q.after + window;
        out.scanned_to = std::max(q.after, upto);
        if (q.after >= upto || q.limit == 0) return out;
        if (!recent_.empty() && recent_.front().cursor <= q.after + 1) {
            auto it = std::upper_bound(recent_.begin(), recent_.end(), q.after,
                                       [](std::int64_t c, const Record &r) { return c < r.cursor; });
            for (; it != recent_.end() && it->cursor <= upto; ++it) {
                if (!wanted(*it)) continue;
                out.records.push_back(*it);
                if (out.records.size() == q.limit) {
                    out.scanned_to = it->cursor;
                    break;
                }
            }
            return out;
        }
    }
    std::string sql = fmt::format("SELECT {} FROM journal WHERE cursor > ? AND cursor <= ?", kColumns);
    if (!q.cabinet.empty()) sql += " AND cabinet = ?";
    if (!q.kinds.empty()) {
        sql += " AND kind IN (";
        for (std::size_t i = 0; i < q.kinds.size(); ++i) sql += i ? ",?" : "?";
        sql += ")";
    }
    sql += " ORDER BY cursor LIMIT ?";
    std::lock_guard lk(pmu_);
    Stmt s(pdb_, sql.c_str());
    int i = 1;
    s.bind(i++, q.after);
    s.bind(i++, upto);
    if (!q.cabinet.empty()) s.bind(i++, q.cabinet);
    for (auto &k : q.kinds) s.bind(i++, k);
    s.bind(i++, static_cast<std::int64_t>(q.limit));
    while (s.step()) out.records.push_back(row(s));
    if (out.records.size() == q.limit) out.scanned_to = out.records.back().cursor;
    return out;
}

int Journal::subscribe(Listener l) {
    std::lock_guard lk(mu_);
    listeners_.emplace_back(next_listener_, std::move(l));
    return next_listener_++;
}

void Journal::unsubscribe(int id) {
    std::lock_guard lk(mu_);
    std::erase_if(listeners_, [&](auto &p) { return p.first == id; });
}

void Journal::set_progress(const std::string &reader, std::int64_t cursor) {
    {
        std::lock_guard lk(mu_);
        Batch b;
        b.progress.emplace_back(reader, cursor);
        queue_.push_back(std::move(b));
        ++queued_;
    }
    cv_.notify_all();
}

std::optional<std::int64_t> Journal::progress(const std::string &reader) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT cursor FROM progress WHERE reader = ?");
    s.bind(1, reader);
    if (!s.step()) return std::nullopt;
    return s.i64(0);
}

JournalStats Journal::stats() const {
    std::lock_guard lk(mu_);
    return stats_;
}

} // namespace cabinetd
