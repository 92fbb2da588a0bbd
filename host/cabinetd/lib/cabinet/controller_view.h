// What the cabinet looks like between two state lines: the controller's state
// and the doors, moved by each event as it arrives, so that every view shows
// a door cycle as it happens rather than once a second. The next state line
// is the truth: where it disagrees, it wins.
#pragma once

#include <cabinet_host/protocol.h>

#include <string>
#include <string_view>

namespace cabinetd {

// The part of a state line that events move.
struct ControllerView {
    std::string state; // a state line's name ("idle", "pulsing", ...)
    std::string fault; // kNoFault, or the latched fault's code
    unsigned active_door = 0;
    unsigned door_closed_mask = 0;  // bit d-1: door d closed
    unsigned latch_locked_mask = 0; // bit d-1: latch d locked
    bool operator==(const ControllerView &) const = default;
};

ControllerView controller_view(const cabinet_host::StateLine &s);
// Puts the view's fields into a state line, leaving the rest as it was.
void put_view(cabinet_host::StateLine &s, const ControllerView &v);

// Moves the view by one event of door `door` (0: none); true if it changed.
// A code that says nothing about the doors or the state, or a door outside
// 1-8, leaves it as it was.
bool apply_event(ControllerView &v, std::string_view code, unsigned door);

// Whether a state line disagrees with the view followed from events. The
// masks count only while both sides had settled inputs (before that the
// controller reports no door events, and its masks say nothing).
bool disagrees(const ControllerView &followed, bool followed_inputs_valid,
               const cabinet_host::StateLine &line);

// The state in words: "idle", "pulsing door 3", "waiting for door 3 to
// open", "waiting for door 3 to close", "fault: <code>".
std::string state_text(const ControllerView &v);

} // namespace cabinetd
