// The simulator's control language: one command per line, used on the control
// channel, in scenario files and as the steps of a script. Parsing is separate
// from acting on the cabinet so that it can be tested on its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace cabinet_sim {

enum class verb : uint8_t {
    // door model (door 0 means every door)
    door_open_after,     // door N open-after MS
    door_open_for,       // door N open-for MS
    door_never_open,     // door N never-open
    door_hold,           // door N hold
    door_leave_unlocked, // door N leave-unlocked
    door_normal,         // door N normal
    door_force_open,     // door N force-open
    door_close,          // door N close
    door_open,           // door N open
    release_ms,          // release-ms MS
    bounce,              // bounce on|off
    // faults
    power_good,          // power-good low|high
    rail,                // rail COUNTS
    expander,            // expander ok|absent|nack REG|timeout|polarity|config
    feedback,            // feedback normal|stuck-low|stuck-high
    stall,               // stall MS
    power_cycle,         // power-cycle [MS]
    status,              // status
    // steps of scenarios and scripts only
    wait,                // wait MS
    send,                // send TEXT
};

enum class expander_mode : uint8_t { ok, absent, nack, timeout, polarity, config };
enum class feedback_mode : uint8_t { normal, stuck_low, stuck_high };

struct command {
    verb what = verb::status;
    int door = 0;         // 1..8, or 0 for "all"
    uint32_t value = 0;   // milliseconds, ADC counts, register number
    bool on = false;      // bounce on, power-good high
    expander_mode expander = expander_mode::ok;
    feedback_mode feedback = feedback_mode::normal;
    std::string text;     // send
};

struct parse_error {
    std::string message;
};

// An empty line or a comment: nothing to do.
struct blank {};

using parsed = std::variant<blank, command, parse_error>;

// Parses one line (without its line feed). `#` at the start of the line, or
// after white space, begins a comment, except in `send`, whose text is the
// rest of the line exactly.
parsed parse_line(std::string_view line);

// Longest stall and power-off the simulator accepts, so a typo cannot freeze it.
inline constexpr uint32_t max_duration_ms = 3'600'000;

}  // namespace cabinet_sim
