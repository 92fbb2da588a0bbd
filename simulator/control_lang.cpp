#include "control_lang.h"

#include <charconv>
#include <vector>

namespace cabinet_sim {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits the line into words, stopping at a comment.
std::vector<std::string_view> words_of(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && is_space(line[i])) ++i;
        if (i >= line.size() || line[i] == '#') break;
        size_t start = i;
        while (i < line.size() && !is_space(line[i])) ++i;
        words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool number(std::string_view w, uint32_t max, uint32_t &out) {
    if (w.empty() || w.size() > 10) return false;
    uint64_t v = 0;
    auto [p, ec] = std::from_chars(w.data(), w.data() + w.size(), v);
    if (ec != std::errc{} || p != w.data() + w.size() || v > max) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

parse_error err(std::string m) { return parse_error{std::move(m)}; }

parsed door_command(const std::vector<std::string_view> &w) {
    if (w.size() < 3) return err("usage: door N|all ACTION");
    command c;
    uint32_t n = 0;
    if (w[1] == "all") {
        c.door = 0;
    } else if (number(w[1], 8, n) && n >= 1) {
        c.door = static_cast<int>(n);
    } else {
        return err("door must be 1..8 or all");
    }
    std::string_view a = w[2];
    auto bare = [&](verb v) -> parsed {
        if (w.size() != 3) return err("door " + std::string(a) + " takes no value");
        c.what = v;
        return c;
    };
    auto timed = [&](verb v) -> parsed {
        if (w.size() != 4 || !number(w[3], max_duration_ms, c.value))
            return err("usage: door N " + std::string(a) + " MS");
        c.what = v;
        return c;
    };
    if (a == "open-after") return timed(verb::door_open_after);
    if (a == "open-for") return timed(verb::door_open_for);
    if (a == "never-open") return bare(verb::door_never_open);
    if (a == "hold") return bare(verb::door_hold);
    if (a == "leave-unlocked") return bare(verb::door_leave_unlocked);
    if (a == "normal") return bare(verb::door_normal);
    if (a == "force-open") return bare(verb::door_force_open);
    if (a == "close") return bare(verb::door_close);
    if (a == "open") return bare(verb::door_open);
    return err("unknown door action: " + std::string(a));
}

}  // namespace

parsed parse_line(std::string_view line) {
    // `send` keeps its text verbatim, comment characters included.
    size_t lead = 0;
    while (lead < line.size() && is_space(line[lead])) ++lead;
    std::string_view rest = line.substr(lead);
    if (rest.substr(0, 5) == "send " || rest == "send") {
        command c;
        c.what = verb::send;
        c.text = std::string(rest.size() > 5 ? rest.substr(5) : std::string_view{});
        if (c.text.find('\n') != std::string::npos) return err("send text holds a line feed");
        return c;
    }

    auto w = words_of(line);
    if (w.empty()) return blank{};
    std::string_view v = w[0];
    command c;
    auto one_of = [&](std::string_view a, std::string_view b) -> int {
        if (w.size() != 2) return -1;
        if (w[1] == a) return 0;
        if (w[1] == b) return 1;
        return -1;
    };

    if (v == "door") return door_command(w);
    if (v == "release-ms" || v == "rail" || v == "stall" || v == "wait") {
        uint32_t max = v == "rail" ? 4095u : max_duration_ms;
        if (w.size() != 2 || !number(w[1], max, c.value))
            return err("usage: " + std::string(v) + (v == "rail" ? " COUNTS (0..4095)" : " MS"));
        c.what = v == "release-ms" ? verb::release_ms
               : v == "rail"       ? verb::rail
               : v == "stall"      ? verb::stall
                                   : verb::wait;
        return c;
    }
    if (v == "bounce") {
        int k = one_of("off", "on");
        if (k < 0) return err("usage: bounce on|off");
        c.what = verb::bounce;
        c.on = k == 1;
        return c;
    }
    if (v == "power-good") {
        int k = one_of("low", "high");
        if (k < 0) return err("usage: power-good low|high");
        c.what = verb::power_good;
        c.on = k == 1;
        return c;
    }
    if (v == "expander") {
        c.what = verb::expander;
        if (w.size() == 3 && w[1] == "nack") {
            if (!number(w[2], 7, c.value)) return err("usage: expander nack REG (0..7)");
            c.expander = expander_mode::nack;
            return c;
        }
        if (w.size() != 2) return err("usage: expander ok|absent|nack REG|timeout|polarity|config");
        if (w[1] == "ok") c.expander = expander_mode::ok;
        else if (w[1] == "absent") c.expander = expander_mode::absent;
        else if (w[1] == "timeout") c.expander = expander_mode::timeout;
        else if (w[1] == "polarity") c.expander = expander_mode::polarity;
        else if (w[1] == "config") c.expander = expander_mode::config;
        else return err("usage: expander ok|absent|nack REG|timeout|polarity|config");
        return c;
    }
    if (v == "feedback") {
        c.what = verb::feedback;
        if (w.size() == 2 && w[1] == "normal") c.feedback = feedback_mode::normal;
        else if (w.size() == 2 && w[1] == "stuck-low") c.feedback = feedback_mode::stuck_low;
        else if (w.size() == 2 && w[1] == "stuck-high") c.feedback = feedback_mode::stuck_high;
        else return err("usage: feedback normal|stuck-low|stuck-high");
        return c;
    }
    if (v == "power-cycle") {
        c.what = verb::power_cycle;
        c.value = 100;
        if (w.size() > 2 || (w.size() == 2 && !number(w[1], max_duration_ms, c.value)))
            return err("usage: power-cycle [OFF_MS]");
        return c;
    }
    if (v == "status") {
        if (w.size() != 1) return err("usage: status");
        c.what = verb::status;
        return c;
    }
    return err("unknown command: " + std::string(v));
}

}  // namespace cabinet_sim
