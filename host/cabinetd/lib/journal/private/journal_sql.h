// What the journal's parts share about SQLite: errors as JournalError, a
// prepared statement, and a row as a Record. Internal to the journal.
#pragma once

#include "journal.h"
#include "journal_chain.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd::journal_sql {

using Kind = JournalError::Kind;

// "CABJ": marks a database as this service's journal, so a foreign SQLite
// file given by mistake is refused instead of written into.
inline constexpr int kApplicationId = 0x43414a42;

Kind kind_of(sqlite3 *db);
[[noreturn]] void fail(sqlite3 *db, const std::string &what);
void exec(sqlite3 *db, const char *sql);
sqlite3 *open_db(const std::string &path, int flags, const char *vfs);

class Stmt {
public:
    Stmt(sqlite3 *db, const char *sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK)
            fail(db, "journal: prepare");
    }
    ~Stmt() { sqlite3_finalize(st_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    Stmt &bind(int i, std::int64_t v) {
        sqlite3_bind_int64(st_, i, v);
        return *this;
    }
    Stmt &bind(int i, const std::string &v) {
        sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &bind(int i, RecordKind k) {
        const auto name = to_string(k);
        sqlite3_bind_text(st_, i, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
        return *this;
    }
    Stmt &bind(int i, const std::optional<std::uint64_t> &v) {
        if (v) sqlite3_bind_int64(st_, i, static_cast<std::int64_t>(*v));
        else sqlite3_bind_null(st_, i);
        return *this;
    }
    Stmt &bind_blob(int i, const void *data, std::size_t n) {
        sqlite3_bind_blob(st_, i, data, static_cast<int>(n), SQLITE_TRANSIENT);
        return *this;
    }
    // A value as the chain hashes it, bound with its type.
    Stmt &bind(int i, const Stored &v) {
        switch (v.type) {
        case Stored::Type::Integer: sqlite3_bind_int64(st_, i, v.integer); break;
        case Stored::Type::Float: sqlite3_bind_double(st_, i, v.real); break;
        case Stored::Type::Text:
            sqlite3_bind_text(st_, i, v.bytes.data(), static_cast<int>(v.bytes.size()),
                              SQLITE_TRANSIENT);
            break;
        case Stored::Type::Blob: bind_blob(i, v.bytes.data(), v.bytes.size()); break;
        case Stored::Type::Null: sqlite3_bind_null(st_, i); break;
        }
        return *this;
    }
    // True while there is a row.
    bool step() {
        const int rc = sqlite3_step(st_);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) fail(db_, "journal: step");
        return false;
    }
    void reset() {
        sqlite3_reset(st_);
        sqlite3_clear_bindings(st_);
    }
    std::int64_t i64(int c) const { return sqlite3_column_int64(st_, c); }
    bool null(int c) const { return sqlite3_column_type(st_, c) == SQLITE_NULL; }
    // A column's value with its type, as the chain hashes it.
    Stored stored(int c) const {
        Stored v;
        switch (sqlite3_column_type(st_, c)) {
        case SQLITE_INTEGER: return Stored::of(static_cast<std::int64_t>(i64(c)));
        case SQLITE_FLOAT:
            v.type = Stored::Type::Float;
            v.real = sqlite3_column_double(st_, c);
            return v;
        case SQLITE_TEXT: {
            v.type = Stored::Type::Text;
            const auto *p = reinterpret_cast<const char *>(sqlite3_column_text(st_, c));
            if (p) v.bytes.assign(p, static_cast<std::size_t>(sqlite3_column_bytes(st_, c)));
            return v;
        }
        case SQLITE_BLOB: {
            v.type = Stored::Type::Blob;
            const auto *p = static_cast<const char *>(sqlite3_column_blob(st_, c));
            if (p) v.bytes.assign(p, static_cast<std::size_t>(sqlite3_column_bytes(st_, c)));
            return v;
        }
        default: return v;
        }
    }
    std::string text(int c) const {
        const auto *p = sqlite3_column_text(st_, c);
        return p ? std::string(reinterpret_cast<const char *>(p),
                               static_cast<std::size_t>(sqlite3_column_bytes(st_, c)))
                 : std::string();
    }

    // A column holding a hash of the chain; nothing when it holds none.
    std::optional<Hash> hash(int c) const {
        if (sqlite3_column_type(st_, c) != SQLITE_BLOB || sqlite3_column_bytes(st_, c) != 32)
            return std::nullopt;
        Hash h;
        std::memcpy(h.data(), sqlite3_column_blob(st_, c), h.size());
        return h;
    }
    sqlite3_stmt *raw() const { return st_; }

private:
    sqlite3 *db_;
    sqlite3_stmt *st_ = nullptr;
};

int pragma_int(sqlite3 *db, const char *sql);

constexpr const char *kColumns =
    "cursor, at_ms, cabinet, kind, session_id, event_seq, seq_to, code, request_id, door_id, detail, "
    "key_scope, client_key, uptime_ms, requested_by, outcome, hash";
// How many columns kColumns names: a query that selects more after them
// finds its own from this index on.
constexpr int kColumnCount = 17;
Record row(const Stmt &s);
// A record from its stored values, as row() would read them.
Record record_of(const StoredRecord &s);
// Every row a statement still has, each read as row() reads it.
std::vector<Record> rows(Stmt &s);
// A row's kind; a name this cabinetd does not know (a file another program
// wrote into) is refused as the journal not being usable as it is.
RecordKind kind_of_row(const std::string &name);

// What the chain of a journal is: whose (its origin), and from which link
// on its links are of the current format (those before are format 1).
struct ChainMeta {
    Origin origin{};
    std::uint64_t format_from = 1;
};
// Read from chain_meta; nothing when it holds no such row.
std::optional<ChainMeta> chain_meta(sqlite3 *db);

// Stores records as links of the chain, in the open transaction of its
// connection: each one's requester, settles and class found, its values
// bound exactly as they are hashed.
class Linker {
public:
    Linker(sqlite3 *db, const Origin &origin);
    // Stores r at `cursor` as the link after head: sets r's cursor,
    // requester and hash and moves head on. False when it was ignored as
    // already stored (an event, INSERT OR IGNORE).
    bool insert(Record &r, ChainHead &head, std::int64_t cursor);

private:
    Origin origin_;
    Stmt ins_, settled_;
};
// The open or clear a record settles, as it is found when the record is
// stored and again when the chain is verified: for a record with an outcome,
// the latest open or clear before it of its cabinet and request id.
// settled: a statement of kSettles.
extern const char *const kSettles;
std::optional<std::int64_t> settles_of(Stmt &settled, const std::string &cabinet,
                                       const std::string &request_id, const std::string &outcome,
                                       std::int64_t cursor);
// The last link stored (a record's or a tombstone's), else the chain's
// base; with the journal's origin.
ChainHead chain_head(sqlite3 *db);
// The cursor the next record gets: past every cursor ever given.
std::int64_t next_cursor(sqlite3 *db);

// A record of the journal itself (kind "journal"); at_ms 0: now.
Record journal_record(std::string code, std::string detail, std::int64_t at_ms = 0);
std::string json_string(std::string_view s);

// verify_journal, on connections of the VFS given (nullptr: SQLite's default).
Verification verify_with(const std::string &path, const std::optional<ChainHead> &anchor,
                         const char *vfs);

// Creates the tables of a new database, migrates an older schema, and
// refuses a file that is not a journal or has a newer schema.
void prepare_schema(sqlite3 *db, const std::string &path);

} // namespace cabinetd::journal_sql
