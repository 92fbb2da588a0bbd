// Which doors of which cabinets a token may act on: the optional fourth
// field of a token file's line.
//     SCOPE = ENTRY{,ENTRY}     ENTRY = CABINET:DOORS[@HOURS]
//     DOORS = * | PART{+PART}   PART  = N | N-M   (1 <= N < M <= 8)
// e.g. "ward:1-4+8,store:*", "ward:1-4@Mon-Fri/07:00-19:00" (hours.h).
// Commas separate cabinets, '+' the doors of one cabinet, so every scope
// has one way to be written: a cabinet named twice, a door given twice,
// "0", "9", "03" or "4-1" are refused.
#pragma once

#include "hours.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace cabinetd {

struct Scope {
    // Cabinet name -> its doors, bit d-1 for door d. Empty: every door of
    // every cabinet (a token without a scope, as tokens always were).
    std::map<std::string, std::uint8_t, std::less<>> doors;
    // The hours of those entries that have any (the others: at any time).
    std::map<std::string, Hours, std::less<>> hours;

    bool everything() const { return doors.empty(); }
    bool operator==(const Scope &) const = default;
};

inline constexpr std::uint8_t kAllDoors = 0xff;

// The scope a SCOPE field writes; refused ("error"), saying why, when it is
// not one (or when it has hours and `with_hours` is false).
Result<Scope> parse_scope(std::string_view text, bool with_hours = true);
// Whether the scope covers door `door` of `cabinet` (hours aside), and any of its doors.
bool covers(const Scope &s, std::string_view cabinet, unsigned door);
bool covers(const Scope &s, std::string_view cabinet);
// The doors of a cabinet it covers, bit d-1 for door d.
std::uint8_t doors_of(const Scope &s, std::string_view cabinet);
// The hours of a cabinet's entry, or nothing when it is not limited.
const Hours *hours_of(const Scope &s, std::string_view cabinet);
// As the API shows it: null for everything, else {"ward": [1,2,3,4], "store": "*"}.
nlohmann::json scope_json(const Scope &s);

} // namespace cabinetd
