// Everything cabinetctl says, said in one place: what a command found goes to
// stdout a line at a time, flushed at once so that a pipe or a watching
// program sees each line as it happens; what went wrong goes to stderr after
// "cabinetctl: ". A command's last word is its result: with --json a result
// object on stdout, otherwise words, on stdout when the command was answered
// (done, refused, a fault) and on stderr when it was not. Every command
// reports through print_result, so their results cannot drift apart and a
// script meets one form of them.
#pragma once

#include "cabinet_host/outcome.h"

#include <string_view>

namespace cabinetctl {

// A line of what a command found (the newline is added).
void print_line(std::string_view line);
// Text that is already whole lines, as it is (a screen, a description).
void print_text(std::string_view text);
// A problem, or a note for the person, on stderr after "cabinetctl: ".
void print_problem(std::string_view text);
// A line of --verbose tracing on stderr, as it is.
void print_trace(std::string_view line);

// A command's result; returns the exit code of its outcome.
int print_result(bool json, std::string_view command, cabinet_host::Outcome outcome,
                 std::string_view code, std::string_view message);

} // namespace cabinetctl
