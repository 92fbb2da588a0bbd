// cabinetctl's other road to a cabinet: through a running cabinetd, over its
// HTTP API, instead of over the line. cabinetd keeps the heartbeats going and
// journals everything, so an open here needs no heartbeat of its own and
// leaves nothing behind when cabinetctl exits.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

namespace cabinetctl {

// What a command asks, whichever road it takes to the cabinet.
struct CommandOptions {
    bool json = false;
    bool verbose = false;
    std::uint64_t timeout_ms = 5000;
    bool timeout_given = false;
    // open
    unsigned door = 0;
    std::uint32_t pulse_ms = 500;
    std::uint32_t ttl_ms = 3000;
    bool wait = false;
};

struct DaemonOptions : CommandOptions {
    std::string url;        // http://HOST:PORT[/prefix]
    std::string cabinet;    // empty: the only cabinet cabinetd serves
    std::string token_file; // empty: $CABINETD_TOKEN
    std::string key;        // Idempotency-Key; empty: a fresh one
};

// Runs one command (state, open, clear) against cabinetd and returns
// cabinetctl's exit code for it. `stop` is set by SIGINT/SIGTERM.
int run_daemon(const std::string &command, const DaemonOptions &o,
               const volatile std::sig_atomic_t &stop);

} // namespace cabinetctl
