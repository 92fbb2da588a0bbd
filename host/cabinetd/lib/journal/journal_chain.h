// The journal's hash chain: every record carries a hash that chains it to
// the one before, so that an edited, deleted, inserted or reordered record
// shows. docs/journal-format.md says exactly what is hashed, for a verifier
// of another team's; tests/journal/chain_vectors.json pins it.
//
// A record's digest is SHA-256 of its bytes: a format version, a domain
// tag, the journal's origin, then every stored column an auditor's reader
// uses, each as its SQLite type and value. A link's hash is SHA-256 of the
// previous link's hash, the link's number, the record's cursor, kind and
// class, and its digest. Line traffic pruned from the middle of the journal
// leaves a tombstone of exactly those (cursor, kind, class, link number,
// digest, hash), so the chain still verifies across it, and a tombstone of
// an audit record does not: its class is in the hash. A pruned front moves
// the chain's base, which the `pruned` record stored with the cut names.
//
// Links before a journal's `format_from` (chain_meta) were written in format
// 1, by cabinetd before format 2: their digest is over the values as read,
// without settles or class; the verifier knows both.
#pragma once

#include "anchor.h"
#include "record.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

// The format of the links a journal writes now.
inline constexpr int kChainFormat = 2;

// Whether a record is line traffic (what the size cap may take first, from
// anywhere, leaving a tombstone) or audit (kept until the front is cut).
// Decided once, when the record is stored, and stored and hashed with it.
enum class RecordClass : std::uint8_t { Audit = 0, LineTraffic = 1 };
// The one rule: state, link and heartbeat records and the lines written to
// the controller are line traffic; everything else, acks (which hold the
// outcome of what they answer) and refusals of every kind among it, is audit.
RecordClass record_class(const Record &r);

// One stored value, with its SQLite type (the type codes are SQLite's).
struct Stored {
    enum class Type : std::uint8_t { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5 };
    Type type = Type::Null;
    std::int64_t integer = 0;
    double real = 0;
    std::string bytes; // text or blob

    static Stored of(std::int64_t v) { return {Type::Integer, v, 0, {}}; }
    static Stored of(std::string_view v) { return {Type::Text, 0, 0, std::string(v)}; }
    static Stored of(const std::optional<std::int64_t> &v) { return v ? of(*v) : Stored{}; }
    bool operator==(const Stored &) const = default;
};

// The columns a record's digest covers, in the table's order: every column a
// reader uses to find or interpret a record.
inline constexpr std::array<std::string_view, 18> kHashedColumns{
    "cursor",     "at_ms",     "cabinet",      "kind",    "session_id", "event_seq",
    "seq_to",     "code",      "request_id",   "door_id", "detail",     "key_scope",
    "client_key", "uptime_ms", "requested_by", "outcome", "settles",    "class"};
using StoredRecord = std::array<Stored, kHashedColumns.size()>;
// Where a column is among them.
constexpr std::size_t hashed_column(std::string_view name) {
    for (std::size_t i = 0; i < kHashedColumns.size(); ++i)
        if (kHashedColumns[i] == name) return i;
    return kHashedColumns.size();
}

// What a record is stored as, column by column (the journal binds exactly
// these values, so what is hashed is what is stored). settles: the cursor of
// the open or clear it settles, when it settles one.
StoredRecord stored_record(const Record &r, std::optional<std::int64_t> settles);

// Format 2: a record's bytes and digest, and a link's bytes and hash.
std::string record_bytes(const Origin &origin, const StoredRecord &s);
Hash record_digest(const Origin &origin, const StoredRecord &s);
std::string link_bytes(const Hash &prev, std::uint64_t number, std::int64_t cursor,
                       std::string_view kind, RecordClass c, const Hash &digest);
Hash chain_link(const Hash &prev, std::uint64_t number, std::int64_t cursor, std::string_view kind,
                RecordClass c, const Hash &digest);

// Format 1, as older journals' links were made: a digest of the values as
// read (integers as 8 bytes, texts length-prefixed, outcome only when set),
// and a link over the previous hash, the digest, the number and the kind.
Hash record_digest_v1(const Record &r);
Hash chain_link_v1(const Hash &prev, const Hash &digest, std::uint64_t count, RecordKind kind);

// The format-1 tombstones of audit records (acks, refusals) that format 1's
// pruning left, as a migration to format 2 found them: SHA-256 over the
// format version, a domain tag and their link numbers in order. The
// migration's `chain_format` record holds it, so that the list (table
// chain_legacy) cannot grow after it.
Hash legacy_digest(const std::vector<std::uint64_t> &links);

// A range of links the journal no longer holds, and the `pruned` record
// that says they went.
struct PrunedRange {
    std::uint64_t from_link = 0; // links from_link + 1 to to_link
    std::uint64_t to_link = 0;
    std::int64_t record = 0; // the cursor of the pruned record that says so (0: none left)
    std::uint64_t record_link = 0;
    std::string why;        // "age" or "size", as that record says
    std::int64_t at_ms = 0; // when, as it says
};

// What an anchor told about the journal.
struct AnchorCheck {
    enum class Answer {
        Holds, // every link it covered is there unchanged, or was pruned before it was taken
        CannotConfirm, // what is there holds, but links it covered were pruned after it
        DoesNotHold,   // the links it covered were changed, or the journal ends before it
        OtherJournal,  // it is of a journal of another origin
    };
    Answer answer = Answer::DoesNotHold;
    ChainHead anchor;
    // Links it covered that the journal still holds unchanged: after this
    // one, up to anchor.count (when it holds or cannot confirm).
    std::uint64_t confirmed_after = 0;
    // Links it covered that were pruned after it was taken: the chain cannot
    // tell that they went by pruning rather than by someone's hand.
    std::vector<PrunedRange> unconfirmed;
    std::string problem;
};

// A journal's chain, checked from its base to its head on a read-only
// connection (safe beside a running cabinetd): what it confirmed, and what
// it could not.
struct Verification {
    enum class Answer { Holds, Broken, CannotConfirm };
    Answer answer = Answer::Broken;
    bool ok = false; // answer == Holds
    Origin origin{};
    ChainHead head;                // as far as it holds
    ChainHead base;                // the chain starts after this (count 0: from its first link)
    std::uint64_t format_from = 1; // links before it are format 1
    std::uint64_t unchained = 0;   // records from before the chain started (a migrated journal)
    std::uint64_t tombstones = 0;  // pruned line traffic the chain passes through
    std::int64_t broken_at =
        0;               // the cursor of the first record that breaks it (0: none, or none to name)
    std::string problem; // why it does not hold
    std::optional<AnchorCheck> anchor;
};
// Throws JournalError when the file cannot be read as a journal at all
// (missing, not a regular file, not a journal, another schema version).
Verification verify_journal(const std::string &path, const std::optional<ChainHead> &anchor);

} // namespace cabinetd
