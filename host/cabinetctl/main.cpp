// cabinetctl: drive a cabinet controller (or the simulator) from the command
// line. Non-interactive, with clear exit codes and --json output for scripts.
#include "command_line.h"
#include "journal_verify.h"
#include "token_new.h"
#include "daemon_client.h"
#include "print.h"
#include "render.h"

#include "cabinet_host/client.h"
#include "cabinet_host/explain.h"
#include "cabinet_host/outcome.h"
#include "cabinet_host/words.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <deque>
#include <unistd.h>

using namespace cabinet_host;

namespace {

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_stop_signal(int) { g_stop = 1; }

// SIGINT, SIGTERM and SIGHUP only set a flag: every wait below looks at it
// between lines, so a line being written is always finished (never half a
// heartbeat on the wire), each command can say what the interruption leaves
// behind, and the serial port is released properly on the way out.
void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

using cabinetctl::Options;
using cabinetctl::print_line;
using cabinetctl::print_problem;
using cabinetctl::print_result;
using cabinetctl::print_text;
using cabinetctl::print_trace;

constexpr std::uint64_t kDefaultCycleWaitMs = 120000;
constexpr std::uint64_t kSettleWaitMs = 3000;
// How often a wait looks at the stop flag.
constexpr std::uint64_t kStopCheckMs = 50;

// What a host leaves behind when it stops sending heartbeats mid-cycle.
constexpr const char *kHeartbeatsStop =
    "note: heartbeats stop now; unless another host keeps them going, the controller latches "
    "heartbeat_lost if the cycle is not complete within 5 s";

// Polls until pred() holds (true), the deadline passes or a stop signal
// arrives (false).
bool wait_until(Client &c, const std::function<bool()> &pred, std::uint64_t deadline) {
    while (!pred()) {
        const std::uint64_t now = c.local_now();
        if (g_stop || now >= deadline) return false;
        c.poll(std::chrono::milliseconds(std::min(deadline - now, kStopCheckMs)));
    }
    return true;
}

// The final word of open, clear and the failures of every command.
int report(const Options &o, const std::string &command, Outcome outcome, const std::string &code,
           const std::string &message) {
    return print_result(o.json, command, outcome, code, message);
}

std::unique_ptr<Transport> connect(const Options &o) {
    if (!o.device.empty()) return open_serial(o.device);
    if (!o.tcp.empty()) return open_tcp(o.tcp, std::chrono::milliseconds(o.timeout_ms));
    const std::string sim = find_simulator();
    if (sim.empty())
        throw std::runtime_error("cabinet-sim not found: set CABINET_SIM to its path, or put it "
                                 "next to cabinetctl");
    return spawn_simulator(sim, o.sim_args, o.verbose);
}

// Connects and asks for a state line at once, rather than wait up to a second
// for the periodic one: whichever state line comes first names the session and
// sets the clock. A request the controller misses (it is still starting) costs
// nothing: the periodic line follows.
std::unique_ptr<Transport> connect_asking(const Options &o) {
    auto t = connect(o);
    t->send_line(build_state_request());
    if (o.verbose) print_trace(fmt::format("{:6} > {}", 0, build_state_request()));
    return t;
}

ClientOptions client_options(const Options &o, bool heartbeats) {
    ClientOptions co;
    co.heartbeats = heartbeats;
    co.ack_timeout_ms = std::min<std::uint64_t>(o.timeout_ms, co.ack_timeout_ms);
    return co;
}

// Routes the client's callbacks: the command's own handler, plus a trace of
// every line on standard error with --verbose.
void hook(Client &c, const Options &o,
          std::function<void(const Inbound &, const std::string &)> handler) {
    const std::uint64_t t0 = c.local_now();
    auto trace = [&o, &c, t0](const char *dir, const std::string &line) {
        if (o.verbose) print_trace(fmt::format("{:6} {} {}", c.local_now() - t0, dir, line));
    };
    c.on_line = [trace, handler = std::move(handler)](const Inbound &in, const std::string &raw) {
        trace("<", raw);
        if (handler) handler(in, raw);
    };
    c.on_malformed = [trace](const std::string &raw) { trace("< (ignored)", raw); };
    c.on_sent = [trace](const std::string &line, const auto *) { trace(">", line); };
}

struct Failed {
    Outcome outcome;
    std::string code;
    std::string message;
};

std::optional<Failed> interrupted() {
    if (!g_stop) return std::nullopt;
    return Failed{Outcome::Interrupted, "interrupted", "interrupted"};
}

// Waits for a state line on this connection: it names the session and sets
// the clock estimate. Returns a failure or nothing.
std::optional<Failed> await_state(Client &c, const Options &o, std::uint64_t deadline) {
    if (!wait_until(
            c, [&] { return c.last_state().has_value(); }, deadline)) {
        if (auto f = interrupted()) return f;
        return Failed{Outcome::Timeout, "",
                      fmt::format("no state line from the controller within {} ms{}", o.timeout_ms,
                                  o.device.empty() ? ""
                                                   : " (is it connected and powered? another "
                                                     "program may be reading the port)")};
    }
    return std::nullopt;
}

// Keeps the heartbeat result that decides whether we may go on: accepted, or
// refused for a reason a retry will not change. A heartbeat lost on the line
// is simply replaced by the client.
void note_heartbeat(const Request &r, std::optional<Request> &heartbeat) {
    if (r.kind != RequestKind::Heartbeat || heartbeat) return;
    const bool lost = r.failure == Failure::Timeout || r.failure == Failure::LineLost ||
        (r.ack && is_unread_line_ack(r.ack->code));
    if (!lost) heartbeat = r;
}

// Waits for the controller to be ready to take commands from us: a state line,
// inputs settled if it has only just started, and a heartbeat accepted.
std::optional<Failed> arm(Client &c, const Options &o, std::uint64_t deadline,
                          std::optional<Request> &heartbeat) {
    if (auto f = await_state(c, o, deadline)) return f;
    if (c.session_id().empty())
        return Failed{outcome_of_failure(Failure::IdentityInvalid),
                      to_string(Failure::IdentityInvalid),
                      fmt::format("the controller has no valid session identity: {}",
                                  explain_text(cabinet_host::codes::kIdentityInvalid))};
    // A controller that has just started needs a moment for its inputs to
    // settle; give it that rather than be refused with "door_not_secure".
    if (!c.last_state()->inputs_valid)
        wait_until(
            c, [&] { return c.last_state() && c.last_state()->inputs_valid; },
            std::min(deadline, c.local_now() + kSettleWaitMs));
    if (!wait_until(
            c, [&] { return heartbeat.has_value(); }, deadline)) {
        if (auto f = interrupted()) return f;
        return Failed{Outcome::Timeout, "",
                      fmt::format("no heartbeat accepted within {} ms", o.timeout_ms)};
    }
    if (!heartbeat->succeeded()) {
        const Outcome out = outcome_of(*heartbeat);
        if (heartbeat->ack)
            return Failed{out, heartbeat->ack->code,
                          "heartbeat refused: " + cabinetctl::describe_ack(heartbeat->ack.value())};
        return Failed{out, to_string(heartbeat->failure),
                      "heartbeat failed: " + heartbeat->failure_text};
    }
    return std::nullopt;
}

int cmd_state(const Options &o) {
    auto t = connect_asking(o);
    Client c(*t, client_options(o, false));
    std::string raw_state;
    bool settled = false;
    hook(c, o, [&](const Inbound &in, const std::string &raw) {
        if (std::holds_alternative<StateLine>(in)) raw_state = raw;
        if (const auto *e = std::get_if<EventLine>(&in);
            e && e->code == cabinet_host::codes::kInputsReady)
            settled = true;
    });
    const std::uint64_t deadline = c.local_now() + o.timeout_ms;
    if (auto f = await_state(c, o, deadline))
        return report(o, "state", f->outcome, f->code, f->message);
    // A controller that has only just started (a fresh simulator always has)
    // has not read its inputs yet, and every door would show as unknown. Its
    // inputs settle within a moment, which it announces with inputs_ready;
    // the state line asked for after that is the one worth showing. A sensor
    // bus that never settles is shown as it is once the wait is over.
    if (!c.last_state()->inputs_valid && (o.sim || c.last_state()->uptime_ms < 2000)) {
        const std::uint64_t until = std::min(deadline, c.local_now() + kSettleWaitMs);
        if (wait_until(
                c, [&] { return settled || c.last_state()->inputs_valid; }, until) &&
            !c.last_state()->inputs_valid) {
            c.request_state();
            wait_until(
                c, [&] { return c.last_state()->inputs_valid; }, until);
        }
        if (auto f = interrupted()) return report(o, "state", f->outcome, f->code, f->message);
    }
    if (o.json) print_line(raw_state);
    else print_text(cabinetctl::describe_state(*c.last_state()));
    return 0;
}

int report(const Options &o, const std::string &command, const Failed &f) {
    return report(o, command, f.outcome, f.code, f.message);
}

// How an open's cycle ended, in words: the end is an event's code, or the
// reason the end was not seen.
std::string cycle_end_message(unsigned door, const std::string &end) {
    switch (outcome_of_cycle_end(end)) {
    case Outcome::Done:
        return fmt::format("door {}: cycle complete, door closed and locked again", door);
    case Outcome::Fault:
        if (end == cabinet_host::codes::kFaultCleared)
            return fmt::format("door {}: the operation was abandoned by a clear_fault", door);
        return fmt::format("door {}: fault {}: {}", door, end, explain_text(end));
    default: return fmt::format("door {}: the cycle ended without being seen: {}", door, end);
    }
}

// Follows an open on the line: prints its lines as asked, and notes how its
// cycle ended once it has (or that the controller restarted meanwhile).
struct OpenFollower {
    const Options &o;
    RequestPtr open;
    bool acked = false;
    bool restarted = false;
    std::optional<Failed> end;

    void on_line(const Inbound &in, const std::string &raw) {
        if (!open) return;
        if (const auto *e = std::get_if<EventLine>(&in)) {
            if (e->request_id == open->request_id) on_event(*e, raw);
        } else if (const auto *a = std::get_if<AckLine>(&in)) {
            if (o.json && a->request_id == open->request_id) print_line(raw);
        } else if (const auto *st = std::get_if<StateLine>(&in);
                   st && acked && !end && !restarted) {
            on_state(*st);
        }
    }

    void on_event(const EventLine &e, const std::string &raw) {
        if (o.json) print_line(raw);
        else if (o.wait && acked) print_line(cabinetctl::describe_event(e));
        if (end || !ends_cycle(e.code)) return;
        end = Failed{outcome_of_cycle_end(e.code), e.code, cycle_end_message(o.door, e.code)};
    }

    // Fallback for a lost event line: the state line tells the outcome too,
    // but only while it is the same session: after a restart it says
    // nothing about our cycle.
    void on_state(const StateLine &s) {
        const auto state = cabinet_host::parse_state(s.state);
        if (state == cabinet_host::ControllerState::Fault)
            end = Failed{
                Outcome::Fault, s.fault,
                fmt::format("door {}: fault {}: {}", o.door, s.fault, explain_text(s.fault))};
        else if (state == cabinet_host::ControllerState::Idle && s.active_door == 0)
            end = Failed{
                Outcome::Done, std::string(to_string(cabinet_host::ControllerState::Idle)),
                fmt::format("door {}: the cycle ended (its final event was not received)", o.door)};
    }
};

// The open's ack when it ends the command: none in time, a failure, or a
// refusal. Nothing when it was accepted.
std::optional<int> open_not_accepted(const Options &o, const Request &open) {
    if (!open.done()) {
        // The open may have been accepted: the door's cycle may be running.
        print_problem(kHeartbeatsStop);
        if (g_stop) return report(o, "open", Outcome::Interrupted, "interrupted", "interrupted");
        return report(o, "open", Outcome::Timeout, "", "no ack to the open command");
    }
    if (!open.ack)
        return report(o, "open", outcome_of(open), to_string(open.failure),
                      "open failed: " + open.failure_text);
    if (!open.succeeded())
        return report(
            o, "open", outcome_of(open), open.ack->code,
            fmt::format("door {}: refused: {}", o.door, cabinetctl::describe_ack(*open.ack)));
    return std::nullopt;
}

// Keeps the heartbeats going until the accepted open's cycle ends.
int follow_cycle(Client &c, const Options &o, OpenFollower &f) {
    if (!o.json)
        print_line(
            fmt::format("door {}: accepted; waiting for the door to be opened and closed", o.door));
    const std::uint64_t wait_ms = o.timeout_given ? o.timeout_ms : kDefaultCycleWaitMs;
    wait_until(
        c, [&] { return f.end.has_value() || f.restarted; }, c.local_now() + wait_ms);
    if (f.end) return report(o, "open", *f.end);
    if (f.restarted)
        return report(o, "open", outcome_of_cycle_end(to_string(Failure::SessionChanged)),
                      to_string(Failure::SessionChanged),
                      "the controller restarted during the cycle: its outcome is unknown");
    print_problem(kHeartbeatsStop);
    if (g_stop)
        return report(o, "open", Outcome::Interrupted, "interrupted",
                      fmt::format("interrupted before door {}'s cycle ended", o.door));
    return report(o, "open", outcome_of_cycle_end(to_string(Failure::Timeout)), "",
                  fmt::format("the cycle did not end within {} ms", wait_ms));
}

int cmd_open(const Options &o) {
    auto t = connect_asking(o);
    Client c(*t, client_options(o, true));
    std::optional<Request> heartbeat;
    OpenFollower f{o, {}, false, false, std::nullopt};
    c.on_request_done = [&](const Request &r) { note_heartbeat(r, heartbeat); };
    c.on_session = [&](const SessionChange &s) {
        if (!s.first) f.restarted = true;
    };
    hook(c, o, [&](const Inbound &in, const std::string &raw) { f.on_line(in, raw); });

    if (auto fail = arm(c, o, c.local_now() + o.timeout_ms, heartbeat))
        return report(o, "open", *fail);
    f.open = c.open(o.door, o.pulse_ms, o.ttl_ms);
    wait_until(
        c, [&] { return f.open->done(); }, c.local_now() + o.timeout_ms);
    if (auto rc = open_not_accepted(o, *f.open)) return *rc;
    f.acked = true;
    if (o.wait) return follow_cycle(c, o, f);
    if (!o.json) print_problem(std::string(kHeartbeatsStop) + " (use --wait)");
    return report(
        o, "open", outcome_of(*f.open), f.open->ack->code,
        fmt::format("door {}: accepted: the latch is released for {} ms", o.door, o.pulse_ms));
}

int cmd_clear(const Options &o) {
    auto t = connect_asking(o);
    Client c(*t, client_options(o, true));
    std::optional<Request> heartbeat;
    c.on_request_done = [&](const Request &r) { note_heartbeat(r, heartbeat); };
    std::string raw_ack;
    hook(c, o, [&](const Inbound &in, const std::string &raw) {
        if (const auto *a = std::get_if<AckLine>(&in); a &&
            (a->code == cabinet_host::codes::kCleared ||
             a->code == cabinet_host::codes::kClearDenied))
            raw_ack = raw;
    });
    const std::uint64_t deadline = c.local_now() + o.timeout_ms;
    if (auto f = arm(c, o, deadline, heartbeat))
        return report(o, "clear", f->outcome, f->code, f->message);
    const std::string fault_before =
        c.last_state() ? c.last_state()->fault : std::string(cabinet_host::kNoFault);
    auto r = c.clear_fault();
    wait_until(
        c, [&] { return r->done(); }, c.local_now() + o.timeout_ms);
    if (auto f = interrupted(); f && !r->done())
        return report(o, "clear", f->outcome, f->code, f->message);
    if (!r->done()) return report(o, "clear", Outcome::Timeout, "", "no ack to the clear command");
    if (!r->ack)
        return report(o, "clear", outcome_of(*r), to_string(r->failure),
                      "clear failed: " + r->failure_text);
    if (o.json && !raw_ack.empty()) print_line(raw_ack);
    if (r->succeeded())
        return report(o, "clear", outcome_of(*r), r->ack->code,
                      fault_before == cabinet_host::kNoFault
                          ? "cleared: the controller is idle"
                          : "cleared fault " + fault_before + ": the controller is idle");
    std::string msg = "refused: " + cabinetctl::describe_ack(*r->ack);
    if (c.last_state())
        msg += "\nwhat the last state line shows:\n" + cabinetctl::clear_obstacles(*c.last_state());
    if (!msg.empty() && msg.back() == '\n') msg.pop_back();
    return report(o, "clear", outcome_of(*r), r->ack->code, msg);
}

// Runs until interrupted, or until --timeout-ms has passed when it was given.
void listen(Client &c, const Options &o) {
    const std::uint64_t until = c.local_now() + o.timeout_ms;
    while (!g_stop && (!o.timeout_given || c.local_now() < until))
        c.poll(std::chrono::milliseconds(200));
}

int cmd_watch(const Options &o) {
    auto t = connect(o);
    Client c(*t, client_options(o, false));
    const bool tty = ::isatty(STDOUT_FILENO) == 1;
    std::deque<EventLine> recent;
    std::string note;
    auto redraw = [&] {
        if (!tty) return;
        const StateLine *s = c.last_state() ? &*c.last_state() : nullptr;
        print_text("\x1b[H\x1b[2J" + cabinetctl::watch_screen(s, recent, note));
    };
    c.on_session = [&](const SessionChange &s) {
        note = s.first
            ? ""
            : fmt::format("controller restarted: new session {} ({})", s.new_id, s.reason);
        if (!tty && !s.first) print_line(note);
    };
    hook(c, o, [&](const Inbound &in, const std::string &) {
        if (const auto *e = std::get_if<EventLine>(&in)) {
            recent.push_back(*e);
            if (recent.size() > 10) recent.pop_front();
            if (!tty) print_line(cabinetctl::describe_event(*e));
        } else if (const auto *s = std::get_if<StateLine>(&in)) {
            if (!tty) print_line(cabinetctl::state_summary(*s));
        }
        redraw();
    });
    redraw();
    listen(c, o);
    return 0;
}

int cmd_events(const Options &o) {
    auto t = connect(o);
    Client c(*t, client_options(o, false));
    hook(c, o, [&](const Inbound &in, const std::string &raw) {
        if (o.all || std::holds_alternative<EventLine>(in)) print_line(raw);
    });
    listen(c, o);
    return 0;
}

// A command over the line (or a simulator's pipes); a failure to reach the
// controller at all is reported like any other outcome.
int run_on_line(const std::string &command, const Options &o) {
    try {
        if (command == "state") return cmd_state(o);
        if (command == "open") return cmd_open(o);
        if (command == "clear") return cmd_clear(o);
        if (command == "watch") return cmd_watch(o);
        if (command == "events") return cmd_events(o);
    } catch (const PortInUse &e) {
        return report(o, command, Outcome::ConnectionLost, "port_in_use", e.what());
    } catch (const ConnectionLost &e) {
        return report(o, command, Outcome::ConnectionLost, "connection_lost",
                      std::string("connection lost: ") + e.what());
    } catch (const std::runtime_error &e) {
        // Could not open the device, connect, or start the simulator.
        return report(o, command, Outcome::ConnectionLost, "connect_failed", e.what());
    } catch (const std::exception &e) {
        return report(o, command, Outcome::Error, "error", e.what());
    }
    return 1;
}

} // namespace

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    const auto parsed = cabinetctl::parse_command_line(argc, argv, o);
    if (parsed.exit) return *parsed.exit;
    if (parsed.command == "journal") return cabinetctl::cmd_journal_verify(o);
    if (parsed.command == "token") return cabinetctl::cmd_token_new(o);
    catch_stop_signals();
    if (!o.daemon.url.empty()) {
        static_cast<cabinetctl::CommandOptions &>(o.daemon) = o;
        return cabinetctl::run_daemon(parsed.command, o.daemon, g_stop);
    }
    return run_on_line(parsed.command, o);
}
