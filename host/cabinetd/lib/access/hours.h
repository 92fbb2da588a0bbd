// Weekly hours, the optional part of a scope entry after '@': when, in the
// site's time zone, a token may open those doors (and approve their opens).
//     HOURS  = WINDOW{;WINDOW}      WINDOW = DAYS/HH:MM-HH:MM
//     DAYS   = PART{+PART}          PART   = DAY | DAY-DAY
//     DAY    = Mon | Tue | Wed | Thu | Fri | Sat | Sun
// e.g. "Mon-Fri/07:00-19:00" or "Mon+Wed/19:00-07:00;Sat-Sun/08:00-12:00".
// A window whose end is before its start runs past midnight, into the day
// after each of its days; "24:00" ends a window at midnight. There is one way
// to write each: days in week order, a run of two or more days as a range,
// windows in order of their first day and start, none overlapping another;
// anything else is refused, with why.
//
// The hours are the site's wall clock: a window from 07:00 starts at 07:00
// on the day daylight-saving time begins as on any other. A start inside the
// hour the clocks skip is taken as the moment they jump; the repeated hour
// of autumn counts once for each time it passes.
#pragma once

#include "result.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace date {
class time_zone;
}

namespace cabinetd {

struct Hours {
    struct Window {
        std::uint8_t days = 0;          // bit 0 Monday .. bit 6 Sunday
        std::uint16_t from = 0, to = 0; // minutes after midnight; to may be 1440
        bool operator==(const Window &) const = default;
    };
    std::vector<Window> windows;
    bool operator==(const Hours &) const = default;
};

inline constexpr std::size_t kHourWindowsMax = 16;

// The hours an HOURS field writes; refused ("error"), saying why, when it is
// not one.
Result<Hours> parse_hours(std::string_view text);
// The canonical text: what parse_hours takes back.
std::string hours_text(const Hours &h);
// Whether a local moment is within: weekday 0 is Monday, minute since midnight.
bool within(const Hours &h, unsigned weekday, unsigned minute);

using WallTime = std::chrono::sys_time<std::chrono::milliseconds>;

// The site's time zone, from the system's time-zone database.
class SiteZone {
public:
    // The zone the system is set to (/etc/localtime), else UTC.
    SiteZone();
    // An IANA name ("Europe/Berlin"); throws ConfigError for one the
    // database does not hold.
    explicit SiteZone(const std::string &name);

    const std::string &name() const { return name_; }
    bool within(const Hours &h, WallTime at) const;
    // When the hours next let in, from `at` on (`at` itself when they do
    // now); nothing when they never do within a week.
    std::optional<WallTime> next_open(const Hours &h, WallTime at) const;
    // When they next shut, after `at`; nothing when they never do.
    std::optional<WallTime> next_close(const Hours &h, WallTime at) const;

private:
    std::vector<WallTime> edges(const Hours &h, WallTime at, bool starts) const;
    const date::time_zone *zone_ = nullptr;
    std::string name_;
};

} // namespace cabinetd
