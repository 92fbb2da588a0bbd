// Alarms the host raises where the controller cannot: the controller faults
// only during an operation, so a door opened (or a latch unlocked) while no
// open of that door is under way, or a door left open too long, is seen
// only here. A pure model fed with the cabinet's lines and a clock; the
// cabinet journals what it returns.
#pragma once

#include <cabinet_host/protocol.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

// Alarm codes (cabinetd's own, not the controller's).
inline constexpr std::string_view kForcedOpen = "forced_open";
inline constexpr std::string_view kHeldOpen = "held_open";

struct Alarm {
    std::string id;   // 128 random bits, hex
    std::string code; // kForcedOpen or kHeldOpen
    unsigned door = 0;
    std::string text;
    std::int64_t raised_at_ms = 0;              // wall clock, Unix ms
    std::optional<std::string> acknowledged_by; // the operator's token name
    // Rebuilt from the journal when cabinetd started, and its door not seen
    // since: a clear then says the door was found secure.
    bool restored = false;
};

struct AlarmChange {
    enum class What { Raised, Acknowledged, Cleared };
    What what;
    Alarm alarm;        // as it is after the change
    std::string reason; // Cleared: why
};
const char *to_string(AlarmChange::What w);

struct AlarmClock {
    std::uint64_t steady_ms = 0; // for the held-open timers
    std::int64_t wall_ms = 0;    // for raised_at_ms
};

class AlarmModel {
public:
    using Ids = std::function<std::string()>;
    // held_open_ms: how long a door may stay open; ids: a new alarm's id
    // (empty: 128 bits from the OS's random source).
    explicit AlarmModel(std::uint64_t held_open_ms, Ids ids = {});

    // An event line: sensor changes, admitted opens and the end of their cycles.
    std::vector<AlarmChange> on_event(std::string_view code, unsigned door, AlarmClock now);
    // A state line: the sensors and the door of the operation under way, as
    // the controller last saw them (events that were missed are caught up).
    std::vector<AlarmChange> on_state(const cabinet_host::StateLine &s, AlarmClock now);
    // The timers: a door open past the configured time.
    std::vector<AlarmChange> tick(AlarmClock now);
    // When tick() next has something to raise (steady ms), if ever.
    std::optional<std::uint64_t> next_due() const;
    // The link went or the controller restarted: nothing is known of the
    // doors until the next state line; active alarms stay.
    void forget();
    // cabinetd starts again: the alarms active when it stopped, as the
    // journal has them, and when the journal last saw doors open (wall ms, by
    // door): such a door, if found open still, is timed from then. Nothing
    // is raised or cleared here: the sensors decide once they are heard.
    void restore(std::vector<Alarm> active,
                 const std::vector<std::pair<unsigned, std::int64_t>> &opened, AlarmClock now);
    // An operator acknowledges one active alarm (id) or all of them.
    // Nothing for an id that is not active.
    std::optional<std::vector<AlarmChange>> acknowledge(const std::optional<std::string> &id,
                                                        const std::string &by);

    const std::vector<Alarm> &active() const { return active_; }
    std::uint64_t held_open_ms() const { return held_open_ms_; }

private:
    struct Door {
        std::optional<bool> open, unlocked; // unknown until heard
        std::uint64_t open_since = 0;
        // Steady ms when the journal saw it open before cabinetd started,
        // until the door is first heard of.
        std::optional<std::uint64_t> opened_before;
    };
    void raise(std::string_view code, unsigned door, std::string text, AlarmClock now,
               std::vector<AlarmChange> &out);
    void clear_secured(std::vector<AlarmChange> &out);
    void set_open(Door &d, bool open, std::uint64_t now);

    std::uint64_t held_open_ms_;
    Ids ids_;
    Door doors_[cabinet_host::kDoors];
    unsigned admitted_ = 0;     // the door of the open under way, 0: none
    std::vector<Alarm> active_; // at most one per door and code
};

} // namespace cabinetd
