// A point of a journal's hash chain, as it is kept and given outside the
// journal: ORIGIN:COUNT:HASH. The origin names the journal (made from the
// OS's random source when the journal was created), so that an anchor is
// never checked against another journal's chain; COUNT is how many links the
// chain had, HASH the last one's. Pure functions: nothing here reads a
// database, so the parser can be fuzzed on its own.
#pragma once

#include "result.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cabinetd {

using Hash = std::array<unsigned char, 32>;
using Origin = std::array<unsigned char, 16>;

// A point of the chain: whose, how many links it covers, the last one's
// hash, and the cursor of the record that link is (not part of an anchor's
// text: a reader of the anchor needs no cursor).
struct ChainHead {
    Origin origin{};
    std::uint64_t count = 0;
    Hash hash{};
    std::int64_t cursor = 0;
};

// Lowercase hex, two digits a byte.
std::string to_hex(const Hash &h);
std::string to_hex(const Origin &o);
// Exactly 64 hex digits (either case, as a hash column of the journal is
// read); nothing for anything else.
std::optional<Hash> hash_from_hex(std::string_view hex);

// "ORIGIN:COUNT:HASH": 32 and 64 lowercase hex digits, the count in decimal.
std::string anchor_text(const ChainHead &h);

// The anchor a text is (its cursor 0), or refused ("error") saying why it
// is none. Strict and canonical: exactly what anchor_text gives (lowercase
// hex, a count without sign or leading zeros that fits 64 bits), nothing
// around it. An anchor of the form before journals had an origin
// (COUNT:HASH) is refused with words that say so.
Result<ChainHead> parse_anchor(std::string_view text);

} // namespace cabinetd
