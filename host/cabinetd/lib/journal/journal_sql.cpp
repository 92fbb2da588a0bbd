#include "journal_sql.h"

#include <fmt/format.h>

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
    return r;
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
