#include "scope.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>

namespace cabinetd {
namespace {

constexpr unsigned kDoors = 8;

bool valid_cabinet(std::string_view n) {
    return !n.empty() && n.size() <= 32 && std::all_of(n.begin(), n.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

// One door number, canonical: a single digit 1 to 8.
std::optional<unsigned> door_of(std::string_view t) {
    if (t.size() != 1 || t[0] < '1' || t[0] > '0' + static_cast<int>(kDoors)) return std::nullopt;
    return static_cast<unsigned>(t[0] - '0');
}

// The doors of one entry.
Result<std::uint8_t> door_mask(std::string_view text) {
    if (text == "*") return kAllDoors;
    std::uint8_t mask = 0;
    while (true) {
        const auto plus = text.find('+');
        const auto part = text.substr(0, plus);
        const auto dash = part.find('-');
        const auto lo = door_of(part.substr(0, dash));
        const auto hi = dash == std::string_view::npos ? lo : door_of(part.substr(dash + 1));
        if (!lo || !hi || (dash != std::string_view::npos && *hi <= *lo))
            return invalid(fmt::format("\"{}\" is not a door (1 to {}) or a range N-M with N < M",
                                       part, kDoors));
        for (unsigned d = *lo; d <= *hi; ++d) {
            const auto bit = static_cast<std::uint8_t>(1u << (d - 1));
            if (mask & bit) return invalid(fmt::format("door {} is given twice", d));
            mask |= bit;
        }
        if (plus == std::string_view::npos) return mask;
        text.remove_prefix(plus + 1);
    }
}

} // namespace

Result<Scope> parse_scope(std::string_view text, bool with_hours) {
    Scope s;
    while (true) {
        const auto comma = text.find(',');
        auto entry = text.substr(0, comma);
        const auto at = entry.find('@');
        std::optional<Hours> hours;
        if (at != std::string_view::npos) {
            if (!with_hours) return invalid(fmt::format("\"{}\": no hours here", entry));
            auto parsed = parse_hours(entry.substr(at + 1));
            if (!parsed)
                return invalid(fmt::format("cabinet {}: hours: {}",
                                           entry.substr(0, entry.find(':')),
                                           parsed.refusal().text));
            hours = std::move(*parsed);
            entry = entry.substr(0, at);
        }
        const auto colon = entry.find(':');
        const auto cabinet = entry.substr(0, colon);
        if (colon == std::string_view::npos || !valid_cabinet(cabinet))
            return invalid(fmt::format("\"{}\" is not CABINET:DOORS", entry));
        const auto mask = door_mask(entry.substr(colon + 1));
        if (!mask) return invalid(fmt::format("cabinet {}: {}", cabinet, mask.refusal().text));
        if (!s.doors.emplace(std::string(cabinet), *mask).second)
            return invalid(
                fmt::format("cabinet {} is named twice (give its doors as 1-4+8)", cabinet));
        if (hours) s.hours.emplace(std::string(cabinet), std::move(*hours));
        if (comma == std::string_view::npos) return s;
        text.remove_prefix(comma + 1);
    }
}

std::uint8_t doors_of(const Scope &s, std::string_view cabinet) {
    if (s.everything()) return kAllDoors;
    const auto it = s.doors.find(cabinet);
    return it == s.doors.end() ? 0 : it->second;
}

bool covers(const Scope &s, std::string_view cabinet, unsigned door) {
    return door >= 1 && door <= kDoors && ((doors_of(s, cabinet) >> (door - 1)) & 1u);
}

bool covers(const Scope &s, std::string_view cabinet) { return doors_of(s, cabinet) != 0; }

const Hours *hours_of(const Scope &s, std::string_view cabinet) {
    const auto it = s.hours.find(cabinet);
    return it == s.hours.end() ? nullptr : &it->second;
}

nlohmann::json scope_json(const Scope &s) {
    if (s.everything()) return nullptr;
    auto out = nlohmann::json::object();
    for (auto &[cabinet, mask] : s.doors) {
        if (mask == kAllDoors) {
            out[cabinet] = "*";
            continue;
        }
        auto doors = nlohmann::json::array();
        for (unsigned d = 1; d <= kDoors; ++d)
            if (mask & (1u << (d - 1))) doors.push_back(d);
        out[cabinet] = doors;
    }
    return out;
}

} // namespace cabinetd
