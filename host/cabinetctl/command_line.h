// cabinetctl's command line: which controller, which command, its options.
#pragma once

#include "daemon_client.h"

#include <optional>
#include <string>
#include <vector>

namespace cabinetctl {

struct Options : CommandOptions {
    std::string device;
    std::string tcp;
    bool sim = false;
    std::vector<std::string> sim_args;
    // events
    bool all = false;
    // through cabinetd
    DaemonOptions daemon;
    // journal verify
    std::string journal_db;
    std::optional<std::string> anchor; // given, if only as ""
    // token new
    std::string token_name, token_role, token_scope;
};

// The command to run ("state", "open", ...), or, when there is nothing to
// run (help asked for, a usage error already reported), the exit code.
struct ParsedCommand {
    std::string command;
    std::optional<int> exit;
};

ParsedCommand parse_command_line(int argc, char **argv, Options &o);

} // namespace cabinetctl
