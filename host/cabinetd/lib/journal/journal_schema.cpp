#include "journal_sql.h"

#include "journal_chain.h"
#include "log.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd::journal_sql {
namespace {

// New databases use small pages: a commit writes every page it touches to
// the log, and a record is a few hundred bytes, so a 1 KB page writes a
// quarter of what a 4 KB page does for the same record (the write budget).
constexpr int kPageSize = 1024;

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
    client_key TEXT NOT NULL DEFAULT '',
    uptime_ms  INTEGER,
    requested_by TEXT NOT NULL DEFAULT ''
);
CREATE UNIQUE INDEX journal_event ON journal(cabinet, session_id, event_seq) WHERE kind = 'event';
CREATE INDEX journal_request ON journal(cabinet, request_id) WHERE request_id <> '';
CREATE INDEX journal_client_key ON journal(cabinet, key_scope, client_key) WHERE client_key <> '';
CREATE INDEX journal_at ON journal(at_ms);
CREATE INDEX journal_requester ON journal(requested_by) WHERE requested_by <> '';
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
PRAGMA user_version = 2;
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
PRAGMA user_version = 3;
)sql";

// Version 4 chains every record to the one before (journal_chain.h): a
// record's link number and hash, the tombstones line traffic leaves when it
// is pruned, and the chain's base (what the first kept link follows). The
// records of an older journal stay as they were, unchained: the chain starts
// after them, with a record that says where (migrate_3_to_current).
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
PRAGMA user_version = 4;
)sql";

// Version 5 finds a cabinet's latest alarm records by door and code, so that
// a cabinetd that starts again rebuilds its active alarms with a few seeks
// whatever the journal's size. Only alarm records are indexed: a few a day,
// so the index costs the SD card next to nothing.
const char *const kMigrate4To5 = R"sql(
CREATE INDEX journal_alarm ON journal(cabinet, door_id, code, cursor) WHERE kind = 'alarm';
PRAGMA user_version = 5;
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
PRAGMA user_version = 6;
)sql";

// Runs one step of migration in a transaction of its own: a journal is
// either at the version before it or the one after, never in between.
void migrate(sqlite3 *db, const std::string &path, const char *sql, int from) {
    exec(db, "BEGIN IMMEDIATE");
    try {
        exec(db, sql);
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    log(5, fmt::format("journal {}: schema version {} migrated to {}", path, from, from + 1));
}

// A journal from before the chain goes to the current version in one
// transaction: the steps after the chain's add columns that the record
// saying where the chain starts is stored with, so it is written last.
void migrate_3_to_current(sqlite3 *db, const std::string &path) {
    exec(db, "BEGIN IMMEDIATE");
    try {
        exec(db, kMigrate3To4);
        exec(db, kMigrate4To5);
        exec(db, kMigrate5To6);
        Stmt before(db, "SELECT count(*), coalesce(max(cursor), 0) FROM journal");
        before.step();
        if (before.i64(0) > 0) {
            const auto last = std::max(before.i64(1), next_cursor(db) - 1);
            Record r = journal_record(
                "chain_started",
                fmt::format(R"({{"after_cursor":{},"unchained":{}}})", last, before.i64(0)));
            Stmt ins(db, kInsertRecord);
            ChainHead head;
            insert_linked(ins, r, head, last + 1);
            log(5,
                fmt::format("journal {}: schema version 3 migrated to {}, chained after cursor {}",
                            path, kSchemaVersion, last));
        }
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
    if (tables == 0) {
        exec(db, fmt::format("PRAGMA page_size={}", kPageSize).c_str());
        exec(db, "PRAGMA journal_mode=WAL");
        exec(db, "BEGIN");
        exec(db, kSchema);
        exec(db, fmt::format("PRAGMA application_id={}", kApplicationId).c_str());
        exec(db, "PRAGMA user_version=3");
        exec(db, "COMMIT");
        migrate_3_to_current(db, path);
    } else if (app != kApplicationId) {
        throw JournalError(fmt::format("{} is not a cabinetd journal", path));
    } else if (version >= 1 && version < kSchemaVersion) {
        if (version == 1) migrate(db, path, kMigrate1To2, 1);
        if (version <= 2) migrate(db, path, kMigrate2To3, 2);
        if (version <= 3) {
            migrate_3_to_current(db, path);
        } else {
            if (version == 4) migrate(db, path, kMigrate4To5, 4);
            migrate(db, path, kMigrate5To6, 5);
        }
    } else if (version != kSchemaVersion) {
        throw JournalError(
            fmt::format("journal {} has schema version {}; this cabinetd reads version {}", path,
                        version, kSchemaVersion));
    }
    // The readers' progress table; a journal without it gains it here, and
    // older readers of the database ignore it.
    exec(db,
         "CREATE TABLE IF NOT EXISTS progress (reader TEXT PRIMARY KEY, cursor INTEGER NOT NULL)");
}

} // namespace cabinetd::journal_sql
