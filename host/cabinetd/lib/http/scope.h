// Which doors of which cabinets a token may act on: the optional fourth
// field of a token file's line.
//     SCOPE = ENTRY{,ENTRY}     ENTRY = CABINET:DOORS
//     DOORS = * | PART{+PART}   PART  = N | N-M   (1 <= N < M <= 8)
// e.g. "ward:1-4+8,store:*". Commas separate cabinets, '+' the doors of one
// cabinet, so every scope has one way to be written: a cabinet named twice,
// a door given twice, "0", "9", "03" or "4-1" are refused.
#pragma once

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

    bool everything() const { return doors.empty(); }
    bool operator==(const Scope &) const = default;
};

inline constexpr std::uint8_t kAllDoors = 0xff;

// The scope a SCOPE field writes; nothing, with why, when it is not one.
std::optional<Scope> parse_scope(std::string_view text, std::string &why);
// As the API shows it: null for everything, else {"ward": [1,2,3,4], "store": "*"}.
nlohmann::json scope_json(const Scope &s);

} // namespace cabinetd
