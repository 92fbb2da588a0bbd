// How a command ended, and the process exit code that reports it.
#pragma once

#include "cabinet_host/client.h"

#include <string_view>

namespace cabinet_host {

enum class Outcome {
    Done,           // accepted, or the awaited result arrived           -> 0
    Error,          // usage or other error                               -> 1
    Refused,        // the controller answered with a refusal code        -> 2
    Fault,          // a fault ended the wait                             -> 3
    Timeout,        // no answer in time                                  -> 4
    ConnectionLost, // the link went away or the controller restarted     -> 5
    Interrupted,    // SIGINT or SIGTERM ended the wait                   -> 130
};

int exit_code(Outcome o);
std::string_view to_string(Outcome o);

// The outcome of a finished request: its ack code, or why no ack came.
Outcome outcome_of(const Request &r);

} // namespace cabinet_host
