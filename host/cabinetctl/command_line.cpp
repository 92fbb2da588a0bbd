#include "command_line.h"

#include "print.h"

#include "cabinet_host/protocol.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <cstdio>

namespace cabinetctl {
namespace {

// The longest --timeout-ms: about 24 days, far beyond any useful wait and far
// from overflowing a deadline computed from it.
constexpr std::uint64_t kMaxTimeoutMs = 2147483647;

void usage_error(const std::string &s) { print_problem(s); }

void describe(CLI::App &app) {
    app.description(
        "cabinetctl - drive an eight-door cabinet controller over its serial line protocol.\n\n"
        "Choose the controller with one of --device (a serial port), --tcp (a TCP endpoint, e.g.\n"
        "the simulator's --tcp port), --sim (start a fresh simulator for this one command) or\n"
        "--daemon (a running cabinetd, over its HTTP API), then a command. Examples:\n"
        "  cabinetctl --device /dev/ttyACM0 state\n"
        "  cabinetctl --sim open 3 --wait\n"
        "  cabinetctl --tcp 127.0.0.1:5000 --json events | jq .code\n"
        "  CABINETD_TOKEN=... cabinetctl --daemon http://127.0.0.1:8080 --cabinet lab open 3 --wait\n");
    app.footer(
        "Exit codes: 0 accepted or done, 1 usage or other error, 2 refused by the controller\n"
        "(the ack code is printed with its explanation) or a controller without a valid identity,\n"
        "3 a fault ended the wait, 4 timeout, 5 connection failed or lost (or the controller\n"
        "restarted mid-operation, or the serial port is in use by another program; with --daemon:\n"
        "cabinetd unreachable, or its link to the controller down), 130 interrupted by SIGINT or\n"
        "SIGTERM. The same answer of the controller gives the same exit code with --daemon; there a\n"
        "token cabinetd refuses (401) or whose role may not act (403) exits 1.\n"
        "Run 'cabinetctl COMMAND --help' for the options of one command.");
}

// --device, --tcp, --sim or --daemon, and what goes with each.
void add_controller_options(CLI::App &app, Options &o) {
    auto *dev = app.add_option("--device", o.device,
                               "Serial device (115200 8N1, raw, no flow control), held exclusively "
                               "while cabinetctl runs");
    auto *tcp = app.add_option("--tcp", o.tcp, "TCP endpoint HOST:PORT");
    auto *sim =
        app.add_flag("--sim", o.sim,
                     "Start cabinet-sim --stdio and talk to it over pipes (found via "
                     "$CABINET_SIM, next to cabinetctl, or ../simulator/ in the build tree)");
    auto *daemon = app.add_option("--daemon", o.daemon.url,
                                  "A running cabinetd, http://HOST:PORT: state, open and clear go "
                                  "through its HTTP API (it keeps the heartbeats going)");
    app.add_option("--cabinet", o.daemon.cabinet,
                   "With --daemon: the cabinet's name (default: the only one cabinetd serves)")
        ->needs(daemon);
    app.add_option("--token-file", o.daemon.token_file,
                   "With --daemon: a file holding the bearer token (default: $CABINETD_TOKEN)")
        ->needs(daemon);
    dev->excludes(tcp)->excludes(sim)->excludes(daemon);
    tcp->excludes(sim)->excludes(daemon);
    sim->excludes(daemon);
    app.add_option("--sim-arg", o.sim_args,
                   "Extra argument for cabinet-sim, repeatable (e.g. --sim-arg=--scenario "
                   "--sim-arg=doors.txt)");
}

// --json, --timeout-ms, --verbose; returns --timeout-ms, to tell whether it was given.
CLI::Option *add_output_options(CLI::App &app, Options &o) {
    app.add_flag("--json", o.json,
                 "Machine-readable output: the controller's own JSON lines and a "
                 "final {\"type\":\"result\",...} object");
    auto *timeout =
        app.add_option(
               "--timeout-ms", o.timeout_ms,
               "How long to wait for each answer (default 5000). For open --wait it also bounds the wait "
               "for the end of the cycle (default 120000 there). For watch and events: stop after this "
               "long (default: run until Ctrl-C). 1..2147483647")
            ->check(CLI::Range(std::uint64_t{1}, kMaxTimeoutMs));
    app.add_flag("-v,--verbose", o.verbose,
                 "Trace every line sent (>) and received (<) on standard error");
    return timeout;
}

void add_open(CLI::App &app, Options &o) {
    auto *open = app.add_subcommand(
        "open",
        "Open one door: wait for the controller's state (session and clock), send a heartbeat, "
        "send the open and print its ack with an explanation. With --wait, keep heartbeats going "
        "and follow the cycle to \"cycle_complete\" (exit 0) or the fault that ended it (exit 3)");
    open->add_option("DOOR", o.door, "Door number 1..8")->required()->check(CLI::Range(1u, 8u));
    open->add_option("--pulse-ms", o.pulse_ms, "Latch pulse length, 100..1000 ms (default 500)")
        ->check(CLI::Range(cabinet_host::kPulseMinMs, cabinet_host::kPulseMaxMs));
    open->add_option("--ttl-ms", o.ttl_ms,
                     "How long the command stays valid, 1..5000 ms (default 3000)")
        ->check(CLI::Range(cabinet_host::kTtlMinMs, cabinet_host::kTtlMaxMs));
    open->add_flag(
        "--wait", o.wait,
        "Follow the door cycle to its end; without it heartbeats stop when cabinetctl exits, "
        "and the controller latches heartbeat_lost 5 s later unless the cycle is complete "
        "or another host sends heartbeats");
    open->add_option(
        "--key", o.daemon.key,
        "With --daemon: the Idempotency-Key (default: a fresh one). Asking again with the "
        "key of an open whose answer was lost gives its answer and never opens twice");
}

// Needs no controller: it reads a journal's file.
void add_journal(CLI::App &app, Options &o) {
    auto *journal =
        app.add_subcommand("journal", "Work on a cabinetd journal's file (needs no controller)");
    journal->require_subcommand(1);
    auto *verify = journal->add_subcommand(
        "verify",
        "Check the journal's hash chain, read-only (safe beside a running cabinetd): print its "
        "origin, how many records it covers and its head, or the cursor of the first record "
        "that breaks it. Exit 0 when it holds (and the anchor, if given), 2 when a record was "
        "edited, deleted, inserted or moved, or the anchor does not hold or is another "
        "journal's, 3 when the chain holds but records the anchor covered were pruned after it "
        "was taken (which the chain cannot confirm), 1 when the file cannot be read as a "
        "journal or the anchor is not one");
    verify->add_option("--db", o.journal_db, "The journal's database file (a regular file)")
        ->required();
    verify->add_option("--anchor", o.anchor,
                       "ORIGIN:COUNT:HASH, a head published earlier (GET /api/journal/head, MQTT "
                       "journal/head, the log): the journal must still hold, unchanged, the "
                       "records it covered");
}

// Needs no controller either: it makes a line for cabinetd's token file.
void add_token(CLI::App &app, Options &o) {
    auto *token = app.add_subcommand("token", "Make tokens for cabinetd (needs no controller)");
    token->require_subcommand(1);
    auto *fresh = token->add_subcommand(
        "new",
        "Print a fresh token (128 bits from the OS's random source), shown this once, and the "
        "line for cabinetd's token file that grants it, holding the token's SHA-256 instead of "
        "the token. Exit 1 when cabinetd would refuse the name, role or scope");
    fresh->add_option("NAME", o.token_name, "Who the token is for (unique in the file)")
        ->required();
    fresh->add_option("ROLE", o.token_role, "viewer or operator")->required();
    fresh->add_option("SCOPE", o.token_scope,
                      "Doors of cabinets, with hours if any, e.g. ward:1-4@Mon-Fri/07:00-19:00 "
                      "(default: every door)");
}

void add_commands(CLI::App &app, Options &o) {
    app.add_subcommand("state",
                       "Print the controller's state: doors, latches, state, fault, "
                       "heartbeat, power (one JSON state line with --json)");
    add_open(app, o);
    app.add_subcommand("clear",
                       "Clear a latched fault (needs every door closed and locked, inputs "
                       "valid, power good; sends a heartbeat first). Explains a refusal");
    app.add_subcommand("watch",
                       "Live table of the eight doors and the controller, redrawn as lines "
                       "arrive; plain scrolling lines when stdout is not a terminal. Only "
                       "listens (sends no heartbeats)");
    auto *events = app.add_subcommand(
        "events",
        "Print every event line as received, one JSON object per line, for piping. Only "
        "listens: sends no heartbeats, so it never keeps the controller armed by itself");
    events->add_flag("--all", o.all, "Print state and ack lines too");
    add_journal(app, o);
    add_token(app, o);
}

// The exit code of a command line CLI11 would not take. A word that is no
// command reaches here as "a subcommand is required": it is named, and the
// commands there are instead.
int refused_command_line(CLI::App &app, const CLI::ParseError &e) {
    if (app.get_subcommands().empty()) {
        for (const std::string &word : app.remaining()) {
            if (word.empty() || word[0] == '-') continue;
            std::string names;
            for (const auto *sub : app.get_subcommands({}))
                names += (names.empty() ? "" : ", ") + sub->get_name();
            usage_error(fmt::format("unknown command \"{}\": the commands are {} (see --help)",
                                    word, names));
            return 1;
        }
    }
    app.exit(e);
    return 1;
}

} // namespace

ParsedCommand parse_command_line(int argc, char **argv, Options &o) {
    CLI::App app{"", "cabinetctl"};
    describe(app);
    app.require_subcommand(1);
    app.fallthrough();
    add_controller_options(app, o);
    auto *timeout = add_output_options(app, o);
    add_commands(app, o);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return {"", app.exit(e)};
    } catch (const CLI::CallForAllHelp &e) {
        return {"", app.exit(e)};
    } catch (const CLI::ParseError &e) {
        return {"", refused_command_line(app, e)};
    }
    o.timeout_given = timeout->count() > 0;
    const auto command = app.get_subcommands().front()->get_name();
    if (command == "journal" || command == "token") return {command, std::nullopt};
    if (o.device.empty() && o.tcp.empty() && !o.sim && o.daemon.url.empty()) {
        usage_error("choose the controller with --device PATH, --tcp HOST:PORT, --sim or --daemon "
                    "URL (see --help)");
        return {"", 1};
    }
    return {command, std::nullopt};
}

} // namespace cabinetctl
