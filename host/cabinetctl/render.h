// Plain-words rendering of the controller's lines for people.
#pragma once

#include "cabinet_host/protocol.h"

#include <deque>
#include <string>

namespace cabinetctl {

std::string uptime_text(std::uint64_t ms);

// A multi-line description of a state line.
std::string describe_state(const cabinet_host::StateLine &s);

// One line for an event or an ack, with the code's explanation.
std::string describe_event(const cabinet_host::EventLine &e);
std::string describe_ack(const cabinet_host::AckLine &a);

// The full screen of `watch`: the eight doors and the controller, then the
// latest events, newest last.
std::string watch_screen(const cabinet_host::StateLine *s,
                         const std::deque<cabinet_host::EventLine> &events,
                         const std::string &note);

// One summary line per state line, for `watch` when stdout is not a terminal.
std::string state_summary(const cabinet_host::StateLine &s);

// What visibly stands in the way of clearing, from the latest state line.
std::string clear_obstacles(const cabinet_host::StateLine &s);

} // namespace cabinetctl
