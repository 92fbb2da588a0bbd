// The token file: who may do what, one token per line.
//     NAME ROLE TOKEN [SCOPE] [alarms=ALARMS]
// NAME says who the token belongs to (journalled with everything it asks
// for); names are unique across the file in NFKC with case folded, so
// "Anna" and "ａｎｎａ" cannot be two people. ROLE is "viewer" (read and
// stream) or "operator" (also open doors, approve opens and clear faults).
// TOKEN is the token itself (16 characters or more, no spaces) or, better,
// its SHA-256: "sha256:" and 64 lower-case hex digits, so that whoever
// reads the file cannot take a token from it. SCOPE (scope.h) limits the
// token to some doors of some cabinets, at some hours; without it, every
// door of every cabinet at any time. ALARMS names the doors whose alarms
// the token may acknowledge, whatever its role: a SCOPE without hours, or
// "*" for every door of every cabinet; without it, an operator
// acknowledges the alarms of the doors it may open, a viewer none.
// Blank lines and lines starting with '#' are ignored.
//
// parse_token_file is a pure function of the text, for the daemon and for
// fuzzing alike.
#pragma once

#include "scope.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

enum class Role { Viewer, Operator };
const char *to_string(Role r);

using Digest = std::array<std::uint8_t, 32>; // SHA-256

struct TokenLine {
    int line = 0;       // where in the file
    std::string name;   // as written
    std::string folded; // NFKC, case folded: what tells names apart
    Role role = Role::Viewer;
    Digest digest{};             // the token's SHA-256
    Scope scope;                 // empty: everything
    std::optional<Scope> alarms; // alarms=; none: an operator's own doors
    bool hashed = false;         // the file holds the token's hash, not the token
    bool operator==(const TokenLine &) const = default;
};

// The file's tokens, or refused ("error") at its first line that is not
// one: "token file line 3: ...".
Result<std::vector<TokenLine>> parse_token_file(std::string_view text);

// The SHA-256 of a token, and as "sha256:<hex>".
Digest token_digest(std::string_view token);
std::string digest_text(const Digest &d);

// The shortest token the file takes; what cabinetctl makes is longer.
inline constexpr std::size_t kTokenMin = 16;
inline constexpr std::size_t kNameMax = 64; // code points

} // namespace cabinetd
