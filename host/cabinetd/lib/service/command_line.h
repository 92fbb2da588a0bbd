// cabinetd's command line: the options, read into the configuration. What
// the command line gives wins; the config file it names (--config) fills in
// the rest, and the defaults what neither gives.
#pragma once

#include "api_context.h"
#include "cabinet.h"
#include "config.h"

#include <variant>

namespace cabinetd {

struct CommandLine {
    Config config;
    // The server's options the command line sets (--request-timeout-s); the
    // connection limits are the config's.
    HttpOptions http;
    // The cabinets' (--replay-window-ms).
    LinkOptions link;
};

// The configuration the command line asks for, with its config file read;
// throws ConfigError (or the config file's error) for one cabinetd cannot
// run with, and leaves the final check (validate) and the page's files to
// the caller. When there is nothing to run, the exit status instead: 0
// after --help, non-zero for a command line that cannot be read (CLI11 has
// said why on standard error).
std::variant<CommandLine, int> read_command_line(int argc, const char *const *argv);

} // namespace cabinetd
