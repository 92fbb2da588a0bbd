// The journal's hash chain: every record carries a hash that chains it to
// the one before, so that an edited, deleted, inserted or reordered record
// shows. A link's hash is SHA-256 over the previous link's hash, the
// record's digest (SHA-256 of its canonical bytes), the link's number and
// the record's kind. Line traffic pruned out of the middle of the journal
// leaves a tombstone (cursor, kind, link number, digest, hash), so the chain
// still verifies across it; a pruned front moves the chain's base, which a
// `pruned` record of the journal names as its anchor.
#pragma once

#include "record.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cabinetd {

using Hash = std::array<unsigned char, 32>;

// A point of the chain: how many links it covers, the last one's hash, and
// the cursor of the record that link is.
struct ChainHead {
    std::uint64_t count = 0;
    Hash hash{};
    std::int64_t cursor = 0;
};

std::string to_hex(const Hash &h);
// Exactly 64 hex digits (either case); nothing for anything else.
std::optional<Hash> hash_from_hex(std::string_view hex);
// "COUNT:HASH", the form an anchor is kept and given in.
std::string anchor_text(const ChainHead &h);
// Strict: a decimal count without sign or leading zeros, ':', 64 hex digits.
std::optional<ChainHead> parse_anchor(std::string_view text);

// SHA-256 of a record's canonical bytes (its stored fields, each
// length-prefixed or fixed-width, cursor included; the hash itself not).
Hash record_digest(const Record &r);
Hash chain_link(const Hash &prev, const Hash &digest, std::uint64_t count, RecordKind kind);

// Line traffic: what the size cap removes first, leaving a tombstone.
// Commands and acks count only when the ack refused (decided by the
// pruning query, which sees both).
bool tombstone_kind(RecordKind k);
// What an auditor reads (opens, clears, alarms, sessions, the journal's own
// records): pruned for size only once nothing else is left.
bool audit_kind(RecordKind k);

// A journal's chain, checked from its base to its head on a read-only
// connection (safe beside a running cabinetd).
struct Verification {
    bool ok = false;
    ChainHead head;
    ChainHead base;               // the chain starts after this (count 0: from the first link)
    std::uint64_t unchained = 0;  // records from before the chain started (a migrated journal)
    std::uint64_t tombstones = 0; // pruned line traffic the chain passes through
    std::int64_t broken_at = 0;   // the cursor of the first record that breaks it (0: none)
    std::string problem;          // why it does not verify
};
// Throws JournalError when the file cannot be read as a journal at all.
Verification verify_journal(const std::string &path, const std::optional<ChainHead> &anchor);

} // namespace cabinetd
