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

Record record_of(const StoredRecord &s) {
    const auto text = [&](const char *c) {
        const auto &v = s[hashed_column(c)];
        return v.type == Stored::Type::Integer ? std::to_string(v.integer) : v.bytes;
    };
    const auto integer = [&](const char *c) { return s[hashed_column(c)].integer; };
    const auto optional = [&](const char *c) -> std::optional<std::uint64_t> {
        const auto &v = s[hashed_column(c)];
        if (v.type == Stored::Type::Null) return std::nullopt;
        return static_cast<std::uint64_t>(v.integer);
    };
    Record r;
    r.cursor = integer("cursor");
    r.at_ms = integer("at_ms");
    r.cabinet = text("cabinet");
    r.kind = record_kind(text("kind")).value_or(RecordKind::Event);
    r.session_id = text("session_id");
    r.event_seq = optional("event_seq");
    r.seq_to = optional("seq_to");
    r.code = text("code");
    r.request_id = text("request_id");
    r.door_id = static_cast<unsigned>(integer("door_id"));
    r.detail = text("detail");
    r.key_scope = text("key_scope");
    r.client_key = text("client_key");
    r.uptime_ms = optional("uptime_ms");
    r.requested_by = text("requested_by");
    r.outcome = text("outcome");
    return r;
}

std::vector<Record> rows(Stmt &s) {
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

const char *const kSettles =
    "SELECT max(cursor) FROM journal WHERE cabinet = ?1 AND request_id = ?2 AND request_id <> '' "
    "AND kind IN ('open', 'clear') AND cursor < ?3";

std::optional<std::int64_t> settles_of(Stmt &settled, const std::string &cabinet,
                                       const std::string &request_id, const std::string &outcome,
                                       std::int64_t cursor) {
    if (outcome.empty() || request_id.empty()) return std::nullopt;
    settled.bind(1, cabinet).bind(2, request_id).bind(3, cursor);
    std::optional<std::int64_t> out;
    if (settled.step() && !settled.null(0)) out = settled.i64(0);
    settled.reset();
    return out;
}

std::optional<ChainMeta> chain_meta(sqlite3 *db) {
    Stmt s(db, "SELECT origin, format_from FROM chain_meta");
    if (!s.step()) return std::nullopt;
    const auto origin = s.stored(0);
    ChainMeta m;
    if (origin.type != Stored::Type::Blob || origin.bytes.size() != m.origin.size() ||
        s.stored(1).type != Stored::Type::Integer || s.i64(1) < 1)
        return std::nullopt;
    std::memcpy(m.origin.data(), origin.bytes.data(), m.origin.size());
    m.format_from = static_cast<std::uint64_t>(s.i64(1));
    return m;
}

namespace {

// The hashed columns in their order, then the link's number and hash.
std::string insert_sql() {
    std::string cols, values;
    for (std::size_t i = 0; i < kHashedColumns.size(); ++i) {
        cols += fmt::format("{}{}", i ? ", " : "", kHashedColumns[i]);
        values += i ? ",?" : "?";
    }
    return fmt::format("INSERT OR IGNORE INTO journal ({}, link, hash) VALUES ({},?,?)", cols,
                       values);
}

} // namespace

Linker::Linker(sqlite3 *db, const Origin &origin)
        : origin_(origin), ins_(db, insert_sql().c_str()), settled_(db, kSettles) {}

bool Linker::insert(Record &r, ChainHead &head, std::int64_t cursor) {
    if (r.at_ms == 0) r.at_ms = wall_ms();
    r.requested_by = requester(r);
    r.cursor = cursor;
    const auto stored =
        stored_record(r, settles_of(settled_, r.cabinet, r.request_id, r.outcome, cursor));
    const auto count = head.count + 1;
    const Hash h = chain_link(head.hash, count, r.cursor, to_string(r.kind), record_class(r),
                              record_digest(origin_, stored));
    int i = 1;
    for (const auto &v : stored) ins_.bind(i++, v);
    ins_.bind(i, static_cast<std::int64_t>(count));
    ins_.bind_blob(i + 1, h.data(), h.size());
    ins_.step();
    ins_.reset();
    if (sqlite3_changes(sqlite3_db_handle(ins_.raw())) == 0) {
        r.cursor = 0;
        return false;
    }
    r.hash = to_hex(h);
    head = {origin_, count, h, r.cursor};
    return true;
}

ChainHead chain_head(sqlite3 *db) {
    ChainHead head;
    const auto take = [&](const char *sql) {
        Stmt s(db, sql);
        if (!s.step() || s.i64(0) <= head.cursor || !s.hash(2)) return;
        head = {{}, static_cast<std::uint64_t>(s.i64(1)), *s.hash(2), s.i64(0)};
    };
    take("SELECT cursor, count, hash FROM chain_base");
    take(
        "SELECT cursor, link, hash FROM journal WHERE hash IS NOT NULL ORDER BY cursor DESC LIMIT 1");
    take("SELECT cursor, link, hash FROM chain_links ORDER BY cursor DESC LIMIT 1");
    if (auto m = chain_meta(db)) head.origin = m->origin;
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
