#include "journal_sql.h"

#include "journal_chain.h"
#include "log.h"
#include "random.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace cabinetd::journal_sql {
namespace {

// New databases use small pages: a commit writes every page it touches to
// the log, and a record is a few hundred bytes, so a 1 KB page writes a
// quarter of what a 4 KB page does for the same record (the write budget).
constexpr int kPageSize = 1024;

// The tables of a journal as this version makes them: STRICT, so that a
// value of another type than its column's cannot be stored. An older
// journal has the same columns in the same order (its migrations added
// them), and is made STRICT in place by make_strict.
struct Table {
    const char *name;
    const char *sql;
};
constexpr Table kTables[] = {
    {"journal", R"sql(CREATE TABLE journal (
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
    client_key TEXT NOT NULL DEFAULT '',
    uptime_ms  INTEGER,
    requested_by TEXT NOT NULL DEFAULT '',
    link       INTEGER,
    hash       BLOB,
    outcome    TEXT NOT NULL DEFAULT '',
    settles    INTEGER,
    class      INTEGER NOT NULL DEFAULT 0
) STRICT)sql"},
    {"sessions", R"sql(CREATE TABLE sessions (
    cabinet    TEXT NOT NULL,
    session_id TEXT NOT NULL,
    last_seq   INTEGER NOT NULL DEFAULT 0,
    first_ms   INTEGER NOT NULL,
    last_ms    INTEGER NOT NULL,
    PRIMARY KEY (cabinet, session_id)
) STRICT)sql"},
    {"progress", "CREATE TABLE progress (reader TEXT PRIMARY KEY, cursor INTEGER NOT NULL) STRICT"},
    {"notes", "CREATE TABLE notes (key TEXT PRIMARY KEY, value TEXT NOT NULL) STRICT"},
    {"chain_links", R"sql(CREATE TABLE chain_links (
    cursor INTEGER PRIMARY KEY,
    kind   TEXT NOT NULL,
    link   INTEGER NOT NULL,
    digest BLOB NOT NULL,
    hash   BLOB NOT NULL,
    class  INTEGER NOT NULL DEFAULT 1
) STRICT)sql"},
    {"chain_base", R"sql(CREATE TABLE chain_base (
    one    INTEGER PRIMARY KEY CHECK (one = 1),
    cursor INTEGER NOT NULL,
    count  INTEGER NOT NULL,
    hash   BLOB NOT NULL
) STRICT)sql"},
    {"chain_meta", R"sql(CREATE TABLE chain_meta (
    one         INTEGER PRIMARY KEY CHECK (one = 1),
    origin      BLOB NOT NULL,
    format_from INTEGER NOT NULL
) STRICT)sql"},
    {"chain_legacy", "CREATE TABLE chain_legacy (link INTEGER PRIMARY KEY) STRICT"},
};

// The indexes, as every version made them.
const char *const kIndexes = R"sql(
CREATE UNIQUE INDEX journal_event ON journal(cabinet, session_id, event_seq) WHERE kind = 'event';
CREATE INDEX journal_request ON journal(cabinet, request_id) WHERE request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
CREATE INDEX journal_at ON journal(at_ms);
CREATE INDEX journal_requester ON journal(requested_by) WHERE requested_by <> '';
CREATE INDEX journal_alarm ON journal(cabinet, door_id, code, cursor) WHERE kind = 'alarm';
CREATE INDEX journal_outcome ON journal(outcome, coalesce(settles, cursor)) WHERE outcome <> '';
CREATE INDEX journal_refused ON journal(coalesce(settles, cursor))
    WHERE outcome <> '' AND kind IN ('ack', 'refused') AND outcome <> 'accepted';
)sql";

// Version 1 sent a client's idempotency key to the controller as the open's
// request id. Its opens keep answering their key: the request id becomes the
// key, in the scope of whoever asked (no version-1 open can tell a key from
// an id cabinetd generated; a generated one only ever answers its own asker).
// An event's uptime moves from its detail to a column of its own.
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
ALTER TABLE journal ADD COLUMN uptime_ms INTEGER;
UPDATE journal SET uptime_ms = json_extract(detail, '$.uptime_ms'),
    detail = CASE json_remove(detail, '$.uptime_ms') WHEN '{}' THEN '' ELSE json_remove(detail, '$.uptime_ms') END
    WHERE kind = 'event' AND json_valid(detail) AND json_type(detail, '$.uptime_ms') = 'integer';
)sql";

// Version 2 read an audit's requester out of each record's detail, a full
// scan of the journal for every search by requester. Version 3 keeps it in a
// column of its own, indexed where there is one (opens, clears, alarm
// acknowledgements: a few records a day, so the index costs the SD card next
// to nothing). The column holds what the detail says, as requester() reads it:
// `requested_by`, else `by`, when it is a string.
const char *const kMigrate2To3 = R"sql(
ALTER TABLE journal ADD COLUMN requested_by TEXT NOT NULL DEFAULT '';
UPDATE journal SET requested_by = CASE
        WHEN json_type(detail, '$.requested_by') = 'text' THEN json_extract(detail, '$.requested_by')
        ELSE json_extract(detail, '$.by') END
    WHERE detail <> '' AND json_valid(detail) AND json_type(detail) = 'object'
        AND (json_type(detail, '$.requested_by') = 'text' OR json_type(detail, '$.by') = 'text');
CREATE INDEX journal_requester ON journal(requested_by) WHERE requested_by <> '';
)sql";

// Version 4 chains every record to the one before (journal_chain.h): a
// record's link number and hash, the tombstones line traffic leaves when it
// is pruned, and the chain's base (what the first kept link follows). The
// records of an older journal stay as they were, unchained: the chain starts
// after them, with a record that says where (migrate_6_to_7).
const char *const kMigrate3To4 = R"sql(
ALTER TABLE journal ADD COLUMN link INTEGER;
ALTER TABLE journal ADD COLUMN hash BLOB;
CREATE TABLE chain_links (
    cursor INTEGER PRIMARY KEY,
    kind   TEXT NOT NULL,
    link   INTEGER NOT NULL,
    digest BLOB NOT NULL,
    hash   BLOB NOT NULL
);
CREATE TABLE chain_base (
    one    INTEGER PRIMARY KEY CHECK (one = 1),
    cursor INTEGER NOT NULL,
    count  INTEGER NOT NULL,
    hash   BLOB NOT NULL
);
INSERT INTO chain_base VALUES (1, (SELECT coalesce(max(cursor), 0) FROM journal), 0, zeroblob(32));
)sql";

// Version 5 finds a cabinet's latest alarm records by door and code, so that
// a cabinetd that starts again rebuilds its active alarms with a few seeks
// whatever the journal's size. Only alarm records are indexed: a few a day,
// so the index costs the SD card next to nothing.
const char *const kMigrate4To5 = R"sql(
CREATE INDEX journal_alarm ON journal(cabinet, door_id, code, cursor) WHERE kind = 'alarm';
)sql";

// Version 5 left an open's outcome to be found among the records after it.
// Version 6 keeps it on the record that settles the open or clear (its ack,
// an open_failed or a clear_failed), with the cursor of what it settles,
// indexed so that a search by outcome reads only what matches. Records
// written before keep their content: their opens show the outcome their ack
// says, and are not found by that search. A table of notes beside the
// records holds what must survive a crash without being a record yet (an
// open sent while its refusals are being counted).
const char *const kMigrate5To6 = R"sql(
ALTER TABLE journal ADD COLUMN outcome TEXT NOT NULL DEFAULT '';
ALTER TABLE journal ADD COLUMN settles INTEGER;
CREATE INDEX journal_outcome ON journal(outcome, coalesce(settles, cursor)) WHERE outcome <> '';
CREATE INDEX journal_refused ON journal(coalesce(settles, cursor))
    WHERE outcome <> '' AND kind IN ('ack', 'refused') AND outcome <> 'accepted';
CREATE TABLE notes (key TEXT PRIMARY KEY, value TEXT NOT NULL);
)sql";

// The kinds that are line traffic and audit, as SQL lists: record_class
// decides, this only says it in SQL.
std::string kinds_sql(RecordClass c) {
    std::string out;
    for (auto k : kRecordKinds) {
        Record r;
        r.kind = k;
        if (record_class(r) != c) continue;
        out += fmt::format("{}'{}'", out.empty() ? "" : ", ", to_string(k));
    }
    return "(" + out + ")";
}

std::string table_info(sqlite3 *db, const std::string &schema_table) {
    // A STRICT table's key is NOT NULL whether it says so or not.
    Stmt s(db,
           fmt::format("SELECT name, type, max(\"notnull\", pk > 0), coalesce(dflt_value, ''), "
                       "pk FROM pragma_table_info('{}') GROUP BY cid ORDER BY cid",
                       schema_table)
               .c_str());
    std::string out;
    while (s.step())
        out += fmt::format("{} {} {} {} {};", s.text(0), s.text(1), s.i64(2), s.text(3), s.i64(4));
    return out;
}

// Gives every value of a table the type its column declares, as the value
// was read before (a TEXT column's number as its text, an INTEGER column's
// text as its number), so that the table can be made STRICT; how many rows
// it changed (none but in a file written into by hand).
std::int64_t retype(sqlite3 *db, const char *table) {
    Stmt cols(db,
              fmt::format("SELECT name, type, \"notnull\", pk FROM pragma_table_info('{}')", table)
                  .c_str());
    std::string set, where;
    while (cols.step()) {
        if (cols.i64(3) == 1 && cols.text(1) == "INTEGER") continue; // the rowid itself
        const auto name = cols.text(0), type = cols.text(1);
        std::string lower = type;
        for (auto &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto wrong =
            fmt::format("typeof({}) NOT IN ('{}'{})", name, lower, cols.i64(2) ? "" : ", 'null'");
        set += fmt::format("{}{} = CASE WHEN {} THEN CAST({} AS {}) ELSE {} END",
                           set.empty() ? "" : ", ", name, wrong, name, type, name);
        where += fmt::format("{}{}", where.empty() ? "" : " OR ", wrong);
    }
    if (set.empty()) return 0;
    exec(db, fmt::format("UPDATE {} SET {} WHERE {}", table, set, where).c_str());
    return sqlite3_changes(db);
}

// Makes the tables of a migrated journal what a new journal's are, STRICT,
// without copying a record: each table's columns are checked to be exactly
// those of the new table, every value is given its column's type, and the
// table's definition is then replaced (as SQLite's documentation describes
// for a change of a table that leaves its rows as they are). In the
// caller's transaction; the check of the whole file at its end refuses it
// should any value still not fit.
std::int64_t make_strict(sqlite3 *db, const std::string &path) {
    std::int64_t retyped = 0;
    for (const auto &t : kTables) {
        const std::string probe = std::string("CREATE TEMP TABLE probe") +
            (std::string(t.sql).c_str() + std::strlen("CREATE TABLE ") + std::strlen(t.name));
        exec(db, probe.c_str());
        const bool same = table_info(db, t.name) == table_info(db, "probe");
        exec(db, "DROP TABLE temp.probe");
        if (!same)
            throw JournalError(fmt::format("journal {}: its table {} does not have the columns "
                                           "a journal of schema version {} has",
                                           path, t.name, kSchemaVersion - 1));
        retyped += retype(db, t.name);
    }
    const int version = pragma_int(db, "PRAGMA schema_version");
    exec(db, "PRAGMA writable_schema=ON");
    try {
        Stmt up(db, "UPDATE sqlite_master SET sql = ?1 WHERE type = 'table' AND name = ?2");
        for (const auto &t : kTables) {
            up.bind(1, std::string(t.sql)).bind(2, std::string(t.name));
            up.step();
            up.reset();
        }
        exec(db, fmt::format("PRAGMA schema_version={}", version + 1).c_str());
    } catch (...) {
        sqlite3_exec(db, "PRAGMA writable_schema=OFF", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db, "PRAGMA writable_schema=OFF");
    Stmt check(db, "PRAGMA quick_check");
    if (!check.step() || check.text(0) != "ok")
        throw JournalError(
            fmt::format("journal {}: cannot be made STRICT: {}", path, check.text(0)));
    return retyped;
}

Origin new_origin() {
    Origin o;
    const auto hex = random_hex(o.size());
    for (std::size_t i = 0; i < o.size(); ++i)
        o[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    return o;
}

void store_meta(sqlite3 *db, const Origin &origin, std::uint64_t format_from) {
    Stmt meta(db, "INSERT INTO chain_meta (one, origin, format_from) VALUES (1, ?, ?)");
    meta.bind_blob(1, origin.data(), origin.size()).bind(2, static_cast<std::int64_t>(format_from));
    meta.step();
}

// Version 7 (from 6): STRICT tables, the class of each record, the
// journal's origin, and links of chain format 2 from here on. The records
// and tombstones already chained keep their hashes (format 1); the line
// traffic among them is marked as such by its kind, and the tombstones of
// audit records that format 1's pruning left (acks, refusals) are listed in
// chain_legacy, which the record written here commits to: the verifier
// takes a format-1 tombstone of an audit record only from that list.
void migrate_6_to_7(sqlite3 *db, const std::string &path, bool chained) {
    exec(db, "ALTER TABLE journal ADD COLUMN class INTEGER NOT NULL DEFAULT 0");
    exec(db, "ALTER TABLE chain_links ADD COLUMN class INTEGER NOT NULL DEFAULT 1");
    for (const char *t : {"chain_meta", "chain_legacy"})
        for (const auto &table : kTables)
            if (std::string_view(table.name) == t) exec(db, table.sql);
    exec(db,
         fmt::format("UPDATE journal SET class = 1 WHERE kind IN {}",
                     kinds_sql(RecordClass::LineTraffic))
             .c_str());
    exec(db,
         fmt::format("INSERT INTO chain_legacy (link) SELECT link FROM chain_links WHERE kind "
                     "IN {}",
                     kinds_sql(RecordClass::Audit))
             .c_str());
    const auto retyped = make_strict(db, path);
    if (retyped)
        log(4,
            fmt::format("journal {}: {} records held values of another type than their "
                        "column's (written into the file by hand): each value now has its "
                        "column's type, as it was read before",
                        path, retyped));
    ChainHead head = chain_head(db);
    head.origin = new_origin();
    const auto format_from = head.count + 1;
    store_meta(db, head.origin, format_from);
    Stmt before(db, "SELECT count(*), coalesce(max(cursor), 0), count(hash) FROM journal");
    before.step();
    const auto records = before.i64(0), chained_rows = before.i64(2);
    const auto tombs = pragma_int(db, "SELECT count(*) FROM chain_links");
    Record r;
    if (chained && chained_rows + tombs > 0) {
        Stmt legacy(db, "SELECT link FROM chain_legacy ORDER BY link");
        std::vector<std::uint64_t> links;
        while (legacy.step()) links.push_back(static_cast<std::uint64_t>(legacy.i64(0)));
        r = journal_record("chain_format",
                           fmt::format(R"({{"format":{},"from_link":{},"origin":"{}",)"
                                       R"("legacy_tombstones":{},"legacy_sha256":"{}",)"
                                       R"("retyped":{}}})",
                                       kChainFormat, format_from, to_hex(head.origin), links.size(),
                                       to_hex(legacy_digest(links)), retyped));
    } else if (!chained && records > 0) {
        r = journal_record("chain_started",
                           fmt::format(R"({{"after_cursor":{},"unchained":{}}})",
                                       std::max(before.i64(1), next_cursor(db) - 1), records));
    } else {
        return;
    }
    Linker(db, head.origin).insert(r, head, next_cursor(db));
}

// Migrates an older journal to the current version in one transaction: it
// is either as it was or of the current version, never in between.
void migrate(sqlite3 *db, const std::string &path, int from) {
    exec(db, "BEGIN IMMEDIATE");
    try {
        if (from <= 1) exec(db, kMigrate1To2);
        if (from <= 2) exec(db, kMigrate2To3);
        if (from <= 3) exec(db, kMigrate3To4);
        if (from <= 4) exec(db, kMigrate4To5);
        if (from <= 5) exec(db, kMigrate5To6);
        exec(db,
             "CREATE TABLE IF NOT EXISTS progress (reader TEXT PRIMARY KEY, cursor INTEGER "
             "NOT NULL)");
        migrate_6_to_7(db, path, from >= 4);
        exec(db, fmt::format("PRAGMA user_version={}", kSchemaVersion).c_str());
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    log(5, fmt::format("journal {}: schema version {} migrated to {}", path, from, kSchemaVersion));
}

void create(sqlite3 *db) {
    exec(db, fmt::format("PRAGMA page_size={}", kPageSize).c_str());
    exec(db, "PRAGMA journal_mode=WAL");
    exec(db, "BEGIN IMMEDIATE");
    try {
        for (const auto &t : kTables) exec(db, t.sql);
        exec(db, kIndexes);
        exec(db, "INSERT INTO chain_base VALUES (1, 0, 0, zeroblob(32))");
        store_meta(db, new_origin(), 1);
        exec(db, fmt::format("PRAGMA application_id={}", kApplicationId).c_str());
        exec(db, fmt::format("PRAGMA user_version={}", kSchemaVersion).c_str());
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

} // namespace

void prepare_schema(sqlite3 *db, const std::string &path) {
    const int app = pragma_int(db, "PRAGMA application_id");
    const int version = pragma_int(db, "PRAGMA user_version");
    const int tables = pragma_int(db, "SELECT count(*) FROM sqlite_master");
    if (tables == 0) create(db);
    else if (app != kApplicationId)
        throw JournalError(fmt::format("{} is not a cabinetd journal", path));
    else if (version >= 1 && version < kSchemaVersion) migrate(db, path, version);
    else if (version != kSchemaVersion)
        throw JournalError(
            fmt::format("journal {} has schema version {}; this cabinetd reads version {}", path,
                        version, kSchemaVersion));
}

} // namespace cabinetd::journal_sql
