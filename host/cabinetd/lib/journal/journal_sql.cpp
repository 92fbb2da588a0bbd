#include "journal_sql.h"

#include "journal_chain.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd::journal_sql {

// Errors of the disk or the moment (full, I/O, busy) may pass; the rest
// (a foreign or damaged file) will not.
Kind kind_of(sqlite3 *db) {
    if (!db) return Kind::Transient;
    switch (sqlite3_errcode(db) & 0xff) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_PERM:
    case SQLITE_AUTH: return Kind::Unusable;
    default: return Kind::Transient;
    }
}

[[noreturn]] void fail(sqlite3 *db, const std::string &what) {
    throw JournalError(fmt::format("{}: {}", what, db ? sqlite3_errmsg(db) : "out of memory"),
                       kind_of(db));
}

void exec(sqlite3 *db, const char *sql) {
    char *err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "unknown error";
        sqlite3_free(err);
        throw JournalError(fmt::format("journal: {} ({})", msg, sql), kind_of(db));
    }
}

sqlite3 *open_db(const std::string &path, int flags, const char *vfs) {
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, vfs) != SQLITE_OK) {
        std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        const auto kind = kind_of(db);
        sqlite3_close(db);
        throw JournalError(fmt::format("cannot open journal {}: {}", path, msg), kind);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

int pragma_int(sqlite3 *db, const char *sql) {
    Stmt s(db, sql);
    return s.step() ? static_cast<int>(s.i64(0)) : 0;
}

RecordKind kind_of_row(const std::string &name) {
    if (auto k = record_kind(name)) return *k;
    throw JournalError(fmt::format("journal: a record of unknown kind \"{}\"", name));
}

Record row(const Stmt &s) {
    Record r;
    r.cursor = s.i64(0);
    r.at_ms = s.i64(1);
    r.cabinet = s.text(2);
    r.kind = kind_of_row(s.text(3));
    r.session_id = s.text(4);
    if (!s.null(5)) r.event_seq = static_cast<std::uint64_t>(s.i64(5));
    if (!s.null(6)) r.seq_to = static_cast<std::uint64_t>(s.i64(6));
    r.code = s.text(7);
    r.request_id = s.text(8);
    r.door_id = static_cast<unsigned>(s.i64(9));
    r.detail = s.text(10);
    r.key_scope = s.text(11);
    r.client_key = s.text(12);
    if (!s.null(13)) r.uptime_ms = static_cast<std::uint64_t>(s.i64(13));
    r.requested_by = s.text(14);
    r.outcome = s.text(15);
    if (auto h = s.hash(16)) r.hash = to_hex(*h);
    return r;
}

// A record that settles an open or a clear names the latest one of its
// request id (an open retried under its id is settled by its last try).
std::vector<Record> rows(Stmt &s) {
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

const char *const kInsertRecord =
    "INSERT OR IGNORE INTO journal (cursor, at_ms, cabinet, kind, session_id, event_seq, seq_to, "
    "code, request_id, door_id, detail, key_scope, client_key, uptime_ms, requested_by, link, hash, "
    "outcome, settles) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?18, CASE WHEN ?18 <> '' THEN "
    "(SELECT max(cursor) FROM journal WHERE cabinet = ?3 AND request_id = ?9 AND request_id <> '' "
    "AND kind IN ('open', 'clear')) END)";

bool insert_linked(Stmt &ins, Record &r, ChainHead &head, std::int64_t cursor) {
    if (r.at_ms == 0) r.at_ms = wall_ms();
    r.requested_by = requester(r);
    r.cursor = cursor;
    const auto count = head.count + 1;
    const Hash h = chain_link(head.hash, record_digest(r), count, r.kind);
    ins.bind(1, r.cursor)
        .bind(2, r.at_ms)
        .bind(3, r.cabinet)
        .bind(4, r.kind)
        .bind(5, r.session_id)
        .bind(6, r.event_seq)
        .bind(7, r.seq_to)
        .bind(8, r.code)
        .bind(9, r.request_id)
        .bind(10, static_cast<std::int64_t>(r.door_id))
        .bind(11, r.detail)
        .bind(12, r.key_scope)
        .bind(13, r.client_key)
        .bind(14, r.uptime_ms)
        .bind(15, r.requested_by)
        .bind(16, static_cast<std::int64_t>(count))
        .bind_blob(17, h.data(), h.size())
        .bind(18, r.outcome);
    ins.step();
    ins.reset();
    if (sqlite3_changes(sqlite3_db_handle(ins.raw())) == 0) {
        r.cursor = 0;
        return false;
    }
    r.hash = to_hex(h);
    head = {count, h, r.cursor};
    return true;
}

ChainHead chain_head(sqlite3 *db) {
    ChainHead head;
    const auto take = [&](const char *sql) {
        Stmt s(db, sql);
        if (!s.step() || s.i64(0) <= head.cursor || !s.hash(2)) return;
        head = {static_cast<std::uint64_t>(s.i64(1)), *s.hash(2), s.i64(0)};
    };
    take("SELECT cursor, count, hash FROM chain_base");
    take(
        "SELECT cursor, link, hash FROM journal WHERE hash IS NOT NULL ORDER BY cursor DESC LIMIT 1");
    take("SELECT cursor, link, hash FROM chain_links ORDER BY cursor DESC LIMIT 1");
    return head;
}

std::int64_t next_cursor(sqlite3 *db) {
    Stmt seq(db,
             "SELECT (SELECT coalesce(max(seq), 0) FROM sqlite_sequence WHERE name = 'journal'), "
             "(SELECT coalesce(max(cursor), 0) FROM journal), "
             "(SELECT coalesce(max(cursor), 0) FROM chain_links)");
    seq.step();
    return std::max({seq.i64(0), seq.i64(1), seq.i64(2)}) + 1;
}

Record journal_record(std::string code, std::string detail, std::int64_t at_ms) {
    Record r;
    r.at_ms = at_ms ? at_ms : wall_ms();
    r.kind = RecordKind::Journal;
    r.code = std::move(code);
    r.detail = std::move(detail);
    return r;
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) {
            out += fmt::format("\\u{:04x}", static_cast<unsigned>(c));
            continue;
        }
        out += c;
    }
    return out + "\"";
}

} // namespace cabinetd::journal_sql
