#include "hours.h"

#include "config_error.h"

#include <date/tz.h>
#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <array>

namespace cabinetd {
namespace {

constexpr std::array<std::string_view, 7> kDays{"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
constexpr unsigned kDay = 1440;

std::optional<unsigned> day_of(std::string_view t) {
    for (unsigned d = 0; d < kDays.size(); ++d)
        if (kDays[d] == t) return d;
    return std::nullopt;
}

// HH:MM, two digits each; 24:00 only where allowed (a window's end).
std::optional<unsigned> minute_of(std::string_view t, bool end) {
    const auto digit = [&](std::size_t i) { return t[i] >= '0' && t[i] <= '9'; };
    if (t.size() != 5 || t[2] != ':' || !digit(0) || !digit(1) || !digit(3) || !digit(4))
        return std::nullopt;
    const unsigned h = (t[0] - '0') * 10u + (t[1] - '0'), m = (t[3] - '0') * 10u + (t[4] - '0');
    if (m > 59 || h > 24 || (h == 24 && (!end || m != 0))) return std::nullopt;
    return h * 60 + m;
}

Result<std::uint8_t> days_of(std::string_view text) {
    std::uint8_t mask = 0;
    int last = -2; // the last day of the part before
    while (true) {
        const auto plus = text.find('+');
        const auto part = text.substr(0, plus);
        const auto dash = part.find('-');
        const auto lo = day_of(part.substr(0, dash));
        const auto hi = dash == std::string_view::npos ? lo : day_of(part.substr(dash + 1));
        if (!lo || !hi || (dash != std::string_view::npos && *hi <= *lo)) {
            return invalid(fmt::format(
                "\"{}\" is not a day (Mon to Sun) or a range of days like Mon-Fri", part));
        }
        if (static_cast<int>(*lo) <= last + 1) {
            return invalid(fmt::format("\"{}\": give the days in week order, a run of days as one "
                                       "range (Mon-Wed, not Mon+Tue+Wed)",
                                       text));
        }
        for (unsigned d = *lo; d <= *hi; ++d) mask |= static_cast<std::uint8_t>(1u << d);
        last = static_cast<int>(*hi);
        if (plus == std::string_view::npos) return mask;
        text.remove_prefix(plus + 1);
    }
}

// The minutes of the week a window covers, as [from, to) spans within 0..7 days.
std::vector<std::pair<unsigned, unsigned>> spans(const Hours::Window &w) {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (unsigned d = 0; d < 7; ++d) {
        if (!((w.days >> d) & 1u)) continue;
        const unsigned from = d * kDay + w.from;
        const unsigned to = d * kDay + (w.to > w.from ? w.to : kDay + w.to);
        if (to <= 7 * kDay) out.emplace_back(from, to);
        else {
            out.emplace_back(from, 7 * kDay);
            out.emplace_back(0, to - 7 * kDay);
        }
    }
    return out;
}

std::string day_list(std::uint8_t mask) {
    std::string out;
    for (unsigned d = 0; d < 7;) {
        if (!((mask >> d) & 1u)) {
            ++d;
            continue;
        }
        unsigned e = d;
        while (e + 1 < 7 && ((mask >> (e + 1)) & 1u)) ++e;
        if (!out.empty()) out += '+';
        out += kDays[d];
        if (e > d) out += fmt::format("-{}", kDays[e]);
        d = e + 1;
    }
    return out;
}

} // namespace

Result<Hours> parse_hours(std::string_view text) {
    Hours h;
    while (true) {
        const auto semi = text.find(';');
        const auto window = text.substr(0, semi);
        const auto slash = window.find('/');
        const auto dash = slash == std::string_view::npos ? slash : window.find('-', slash);
        if (dash == std::string_view::npos)
            return invalid(fmt::format("\"{}\" is not DAYS/HH:MM-HH:MM", window));
        const auto days = days_of(window.substr(0, slash));
        if (!days) return days.refusal();
        const auto from = minute_of(window.substr(slash + 1, dash - slash - 1), false);
        const auto to = minute_of(window.substr(dash + 1), true);
        if (!from || !to || *from == *to)
            return invalid(fmt::format("\"{}\": times are HH:MM-HH:MM (00:00 to 24:00), start and "
                                       "end not the same",
                                       window));
        const Hours::Window w{*days, static_cast<std::uint16_t>(*from),
                              static_cast<std::uint16_t>(*to)};
        if (!h.windows.empty()) {
            const auto &prev = h.windows.back();
            const auto first = [](const Hours::Window &x) { return std::countr_zero(x.days); };
            if (std::make_pair(first(w), w.from) <= std::make_pair(first(prev), prev.from))
                return invalid(fmt::format(
                    "\"{}\": give the windows in order of their first day and start", window));
        }
        for (const auto &other : h.windows)
            for (auto [a0, a1] : spans(other))
                for (auto [b0, b1] : spans(w))
                    if (a0 < b1 && b0 < a1)
                        return invalid(fmt::format("\"{}\" overlaps an earlier window", window));
        if (h.windows.size() == kHourWindowsMax)
            return invalid(fmt::format("more than {} windows", kHourWindowsMax));
        h.windows.push_back(w);
        if (semi == std::string_view::npos) return h;
        text.remove_prefix(semi + 1);
    }
}

std::string hours_text(const Hours &h) {
    std::string out;
    for (const auto &w : h.windows)
        out += fmt::format("{}{}/{:02}:{:02}-{:02}:{:02}", out.empty() ? "" : ";", day_list(w.days),
                           w.from / 60, w.from % 60, w.to / 60, w.to % 60);
    return out;
}

bool within(const Hours &h, unsigned weekday, unsigned minute) {
    const unsigned yesterday = (weekday + 6) % 7;
    for (const auto &w : h.windows) {
        const bool today = (w.days >> weekday) & 1u;
        if (w.from < w.to) {
            if (today && minute >= w.from && minute < w.to) return true;
        } else if ((today && minute >= w.from) || (((w.days >> yesterday) & 1u) && minute < w.to))
            return true;
    }
    return false;
}

SiteZone::SiteZone() {
    try {
        zone_ = date::current_zone();
    } catch (const std::exception &) {
        // No /etc/localtime (a container, a chroot): the system keeps UTC.
        try {
            zone_ = date::locate_zone("UTC");
        } catch (const std::exception &e) {
            throw ConfigError(fmt::format(
                "no time-zone database (/usr/share/zoneinfo: install tzdata): {}", e.what()));
        }
    }
    name_ = std::string(zone_->name());
}

SiteZone::SiteZone(const std::string &name) : name_(name) {
    try {
        zone_ = date::locate_zone(name);
    } catch (const std::exception &) {
        throw ConfigError(fmt::format(
            "time zone \"{}\" is not in the system's time-zone database (/usr/share/zoneinfo)",
            name));
    }
}

bool SiteZone::within(const Hours &h, WallTime at) const {
    const auto local = zone_->to_local(at);
    const auto day = date::floor<date::days>(local);
    const auto weekday = date::weekday(day).iso_encoding() - 1; // Monday 0
    const auto minute = std::chrono::duration_cast<std::chrono::minutes>(local - day).count();
    return cabinetd::within(h, weekday, static_cast<unsigned>(minute));
}

// Where windows start (or end) from the day before `at` to eight days on,
// as moments: a start in the skipped hour is the moment of the jump.
std::vector<WallTime> SiteZone::edges(const Hours &h, WallTime at, bool starts) const {
    std::vector<WallTime> out;
    const auto today = date::floor<date::days>(zone_->to_local(at));
    for (int k = -1; k <= 8; ++k) {
        const auto day = today + date::days(k);
        const auto weekday = date::weekday(day).iso_encoding() - 1;
        for (const auto &w : h.windows) {
            if (!((w.days >> weekday) & 1u)) continue;
            const unsigned minute = starts ? w.from : (w.to > w.from ? w.to : kDay + w.to);
            const auto local = date::local_seconds(day) + std::chrono::minutes(minute);
            out.push_back(std::chrono::time_point_cast<std::chrono::milliseconds>(
                zone_->to_sys(local, date::choose::earliest)));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<WallTime> SiteZone::next_open(const Hours &h, WallTime at) const {
    if (within(h, at)) return at;
    for (const auto t : edges(h, at, true))
        if (t > at && within(h, t)) return t;
    return std::nullopt;
}

std::optional<WallTime> SiteZone::next_close(const Hours &h, WallTime at) const {
    if (!within(h, at)) return at;
    for (const auto t : edges(h, at, false))
        if (t > at && !within(h, t)) return t;
    return std::nullopt;
}

} // namespace cabinetd
