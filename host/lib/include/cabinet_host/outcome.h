// How a command ended, and the process exit code that reports it.
//
// This is the one place where the controller's answers become outcomes:
// every ack code, every way a request can end without one, and every way an
// open's cycle can end. cabinetctl over the line, cabinetd's API and
// cabinetctl through cabinetd all take theirs from here, so one answer of
// the controller gives one exit code whichever road it came by.
#pragma once

#include "cabinet_host/client.h"

#include <optional>
#include <string_view>

namespace cabinet_host {

enum class Outcome {
    Done,           // accepted, or the awaited result arrived           -> 0
    Error,          // usage or other error                               -> 1
    Refused,        // the controller refused, or cannot take commands    -> 2
    Fault,          // a fault ended the wait                             -> 3
    Timeout,        // no answer in time                                  -> 4
    ConnectionLost, // the link went away or the controller restarted     -> 5
    Interrupted,    // SIGINT or SIGTERM ended the wait                   -> 130
};

int exit_code(Outcome o);
// "done", "error", "refused", "fault", "timeout", "connection_lost", "interrupted".
std::string_view to_string(Outcome o);
// Only the names to_string gives; nothing for anything else.
std::optional<Outcome> parse_outcome(std::string_view name);

// An ack code: a success is Done, every other code (one this host does not
// know too) a refusal. A refusal of the command's own values
// (is_command_error_ack) is a refusal as well: the controller answered, and
// said no.
Outcome outcome_of_ack(std::string_view code);

// A request that got no ack. A controller without a session identity can
// take no command until it restarts: a refusal, like its session_mismatch
// ack. A line that never arrived whole will get no answer: a timeout.
Outcome outcome_of_failure(Failure f);

// A finished request: its ack, or why no ack came.
Outcome outcome_of(const Request &r);

// How an accepted open's cycle ended: "cycle_complete" is Done; a fault
// code, or "fault_cleared" (a clear abandoned the operation), is a Fault;
// "timeout" (the cycle did not end in time) a Timeout; anything else
// ("session_changed", "connection_lost", ...: its end was not seen) is
// ConnectionLost.
Outcome outcome_of_cycle_end(std::string_view end);

} // namespace cabinet_host
