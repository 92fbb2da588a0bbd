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

// `send TEXT`: the text is kept verbatim, comment characters included.
parsed send_command(std::string_view rest) {
    command c;
    c.what = verb::send;
    c.text = std::string(rest.size() > 5 ? rest.substr(5) : std::string_view{});
    if (c.text.find('\n') != std::string::npos) return err("send text holds a line feed");
    return c;
}

// release-ms, rail, stall and wait: one number.
parsed number_command(const std::vector<std::string_view> &w) {
    const std::string_view v = w[0];
    command c;
    uint32_t max = v == "rail" ? 4095u : max_duration_ms;
    if (w.size() != 2 || !number(w[1], max, c.value))
        return err("usage: " + std::string(v) + (v == "rail" ? " COUNTS (0..4095)" : " MS"));
    c.what = v == "release-ms" ? verb::release_ms
           : v == "rail"       ? verb::rail
           : v == "stall"      ? verb::stall
                               : verb::wait;
    return c;
}

// bounce on|off, power-good low|high: one of two words.
parsed switch_command(const std::vector<std::string_view> &w, verb what, std::string_view off,
                      std::string_view on, const char *usage) {
    if (w.size() != 2 || (w[1] != off && w[1] != on)) return err(usage);
    command c;
    c.what = what;
    c.on = w[1] == on;
    return c;
}

parsed expander_command(const std::vector<std::string_view> &w) {
    command c;
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

parsed feedback_command(const std::vector<std::string_view> &w) {
    command c;
    c.what = verb::feedback;
    if (w.size() == 2 && w[1] == "normal") c.feedback = feedback_mode::normal;
    else if (w.size() == 2 && w[1] == "stuck-low") c.feedback = feedback_mode::stuck_low;
    else if (w.size() == 2 && w[1] == "stuck-high") c.feedback = feedback_mode::stuck_high;
    else return err("usage: feedback normal|stuck-low|stuck-high");
    return c;
}

parsed power_cycle_command(const std::vector<std::string_view> &w) {
    command c;
    c.what = verb::power_cycle;
    c.value = 100;
    if (w.size() > 2 || (w.size() == 2 && !number(w[1], max_duration_ms, c.value)))
        return err("usage: power-cycle [OFF_MS]");
    return c;
}

}  // namespace

parsed parse_line(std::string_view line) {
    size_t lead = 0;
    while (lead < line.size() && is_space(line[lead])) ++lead;
    std::string_view rest = line.substr(lead);
    if (rest.substr(0, 5) == "send " || rest == "send") return send_command(rest);

    auto w = words_of(line);
    if (w.empty()) return blank{};
    std::string_view v = w[0];
    if (v == "door") return door_command(w);
    if (v == "release-ms" || v == "rail" || v == "stall" || v == "wait") return number_command(w);
    if (v == "bounce") return switch_command(w, verb::bounce, "off", "on", "usage: bounce on|off");
    if (v == "power-good")
        return switch_command(w, verb::power_good, "low", "high", "usage: power-good low|high");
    if (v == "expander") return expander_command(w);
    if (v == "feedback") return feedback_command(w);
    if (v == "power-cycle") return power_cycle_command(w);
    if (v == "status") {
        if (w.size() != 1) return err("usage: status");
        command c;
        c.what = verb::status;
        return c;
    }
    return err("unknown command: " + std::string(v));
}

}  // namespace cabinet_sim
