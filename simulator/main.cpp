// cabinet-sim: the board firmware running on the simulated board inside a
// model of the cabinet, reachable over a pseudo-terminal, TCP or standard
// input/output in real time, or driven by a script in virtual time.
#include <board_sim/control.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <array>
#include <cstdio>
#include <deque>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "control_lang.h"
#include "io.h"
#include "world.h"

// The board firmware's entry points.
void pico_startup(void);
void pico_loop_pass(void);

namespace cabinet_sim {
namespace {

struct options {
    std::string pty;
    std::optional<uint16_t> tcp;
    bool stdio = false;
    std::optional<uint16_t> control_tcp;
    std::string control_unix;
    std::string scenario;
    std::string board_id_hex;
    std::optional<std::array<uint8_t, 8>> board_id;  // parsed from board_id_hex
    std::string flash;
    std::string script;
};

struct step {
    std::string file;  // where the step was written, for error messages
    int line = 0;
    command cmd;
};

// Reads a file of steps (a script or a scenario), checking every line first
// so that a mistake is reported before anything runs.
bool load_steps(const std::string &path, bool allow_send, std::vector<step> &out) {
    std::ifstream file;
    std::istream *in = &std::cin;
    if (path != "-") {
        file.open(path);
        if (!file) {
            fmt::print(stderr, "cabinet-sim: cannot read {}\n", path);
            return false;
        }
        in = &file;
    }
    std::string text;
    int n = 0;
    bool ok = true;
    while (std::getline(*in, text)) {
        ++n;
        parsed p = parse_line(text);
        if (auto *e = std::get_if<parse_error>(&p)) {
            fmt::print(stderr, "cabinet-sim: {}:{}: error: {}\n", path, n, e->message);
            ok = false;
            continue;
        }
        if (auto *c = std::get_if<command>(&p)) {
            if (c->what == verb::send && !allow_send) {
                fmt::print(stderr, "cabinet-sim: {}:{}: error: send belongs in a script, not a scenario\n", path, n);
                ok = false;
                continue;
            }
            out.push_back(step{path, n, *c});
        }
    }
    return ok;
}

bool parse_board_id(const std::string &hex, std::array<uint8_t, 8> &id) {
    if (hex.size() != 16) return false;
    for (size_t i = 0; i < 8; ++i) {
        unsigned v = 0;
        for (size_t k = 0; k < 2; ++k) {
            char c = hex[2 * i + k];
            unsigned d;
            if (c >= '0' && c <= '9') d = unsigned(c - '0');
            else if (c >= 'a' && c <= 'f') d = unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = unsigned(c - 'A' + 10);
            else return false;
            v = v * 16 + d;
        }
        id[i] = static_cast<uint8_t>(v);
    }
    return true;
}

// Runs the firmware on the board, one unit of work per call: start-up, one
// pass of the main loop, a stall or power cycle asked for on the control
// channel, or the restart after a reset.
class firmware_runner {
public:
    explicit firmware_runner(world &w) : world_(w) {}

    // Something that can stop a long stall or power-off early (real time).
    std::function<bool()> interrupted = [] { return false; };

    void step() {
        if (!started_) {
            started_ = true;
            pico_startup();
            return;
        }
        if (board_sim::reset_pending()) {
            const char *why = "reset";
            switch (board_sim::pending_reset_cause()) {
            case board_sim::reset_cause::watchdog: why = "watchdog reset"; break;
            case board_sim::reset_cause::power_cut: why = "power cut"; break;
            case board_sim::reset_cause::requested: why = "reset requested"; break;
            case board_sim::reset_cause::none: break;
            }
            fmt::print(stderr, "cabinet-sim: {} at {} ms, firmware restarts\n", why, board_sim::now_ns() / ns_per_ms);
            restart();
            return;
        }
        uint32_t ms = 0;
        if (world_.take_power_cycle(ms)) {
            fmt::print(stderr, "cabinet-sim: power off at {} ms for {} ms\n", board_sim::now_ns() / ns_per_ms, ms);
            board_sim::cut_power();
            let_time_pass(uint64_t{ms} * ns_per_ms);
            restart();
            return;
        }
        if (world_.take_stall(ms)) {
            fmt::print(stderr, "cabinet-sim: main loop stalled at {} ms for {} ms\n", board_sim::now_ns() / ns_per_ms, ms);
            // A watchdog reset ends the stall: the processor restarts.
            let_time_pass(uint64_t{ms} * ns_per_ms, true);
            return;
        }
        pico_loop_pass();
    }

private:
    void restart() {
        board_sim::reset();
        world_.refresh_inputs();
        started_ = false;
    }
    // The firmware does not run meanwhile; alarms, the watchdog and the
    // cabinet go on. Done in slices so that a stop request is not held up.
    void let_time_pass(uint64_t ns, bool until_reset = false) {
        uint64_t until = board_sim::now_ns() + ns;
        while (board_sim::now_ns() < until && !interrupted()) {
            if (until_reset && board_sim::reset_pending()) return;
            uint64_t left = until - board_sim::now_ns();
            board_sim::advance(left < 10 * ns_per_ms ? left : 10 * ns_per_ms);
        }
    }

    world &world_;
    bool started_ = false;
};

// Both modes run the board on its virtual clock (real time paces it; see
// real_time::pace).
bool power_on(const options &o) {
    board_sim::config cfg;
    cfg.mode = board_sim::time_mode::virtual_time;
    cfg.flash_file = o.flash;
    if (o.board_id) cfg.board_id = *o.board_id;
    if (!board_sim::power_on(cfg)) {
        fmt::print(stderr, "cabinet-sim: {} is not a boot record store of 8192 bytes\n", o.flash);
        return false;
    }
    return true;
}

// Carries out a step on the cabinet and shows on stderr an error, with the
// step's place, or the status asked for. False on an error.
bool carry_out(world &w, const step &s) {
    std::string r = w.execute(s.cmd);
    if (r.rfind("error", 0) == 0) {
        fmt::print(stderr, "cabinet-sim: {}:{}: {}\n", s.file, s.line, r);
        return false;
    }
    if (s.cmd.what == verb::status) fmt::print(stderr, "cabinet-sim: {}\n", r);
    return true;
}

// ---- Scripted mode: virtual time ----------------------------------------------

// The value of "session_id" in a line the firmware wrote, or "".
std::string session_of(const std::string &line) {
    static const std::string key = "\"session_id\":\"";
    size_t at = line.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    size_t end = line.find('"', at);
    return end == std::string::npos ? std::string{} : line.substr(at, end - at);
}

// A script sends what a host would: ${session} stands for the session id of
// the firmware's latest line, ${uptime} for the firmware's clock in ms now.
std::string expand(const std::string &text, const std::string &session) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text.compare(i, 10, "${session}") == 0) {
            out += session;
            i += 10;
        } else if (text.compare(i, 9, "${uptime}") == 0) {
            out += std::to_string(board_sim::uptime_ns() / ns_per_ms);
            i += 9;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out;
}

int run_script(const options &o) {
    std::vector<step> steps;
    if (!o.scenario.empty() && !load_steps(o.scenario, false, steps)) return 2;
    if (!load_steps(o.script, true, steps)) return 2;
    if (!power_on(o)) return 1;

    world w;
    w.attach();
    std::string line;
    std::string session;  // the session id of the latest line that carried one
    board_sim::set_uart_collect(false);
    board_sim::set_uart_tx_hook([&line, &session](uint64_t t, uint8_t b) {
        if (b != '\n') {
            line.push_back(static_cast<char>(b));
            return;
        }
        fmt::print("{} {}\n", t / ns_per_ms, line);
        std::string id = session_of(line);
        if (!id.empty()) session = id;
        line.clear();
    });

    firmware_runner fw(w);
    uint64_t clock = 0;  // the script's own clock: where the waits have led
    for (const step &s : steps) {
        switch (s.cmd.what) {
        case verb::wait:
            clock += uint64_t{s.cmd.value} * ns_per_ms;
            while (board_sim::now_ns() < clock) fw.step();
            break;
        case verb::send: board_sim::uart_host_send(expand(s.cmd.text, session) + "\n"); break;
        case verb::stall:
        case verb::power_cycle: {
            w.execute(s.cmd);
            // Carried out at once (after start-up or a pending restart, if any).
            while (w.stall_or_cycle_pending()) fw.step();
            if (board_sim::now_ns() > clock) clock = board_sim::now_ns();
            break;
        }
        default:
            if (!carry_out(w, s)) {
                std::fflush(stdout);
                return 2;
            }
            break;
        }
    }
    std::fflush(stdout);
    return 0;
}

// ---- Real-time mode ---------------------------------------------------------------

// The simulator in real time: the board paced against the wall clock, its
// serial line and control channel on the host's transports.
class real_time {
public:
    explicit real_time(std::vector<step> scenario) : scenario_(std::move(scenario)) {}
    real_time(const real_time &) = delete;
    real_time &operator=(const real_time &) = delete;

    int run(const options &o) {
        connect_board();
        if (!open_transports(o)) return 1;
        fmt::print(stderr, "cabinet-sim: ready\n");
        serve();
        board_sim::set_world_hook(nullptr);
        board_sim::set_uart_tx_hook(nullptr);
        io_.close_all();
        fmt::print(stderr, "cabinet-sim: stopped\n");
        return 0;
    }

private:
    // Ties the board to the transports: control lines to the world, serial
    // bytes both ways, and the pacing of the board's clock.
    void connect_board() {
        io_.on_control = [this](const std::string &text) -> std::string {
            parsed p = parse_line(text);
            if (std::holds_alternative<blank>(p)) return {};
            if (auto *e = std::get_if<parse_error>(&p)) return "error: " + e->message;
            return w_.execute(std::get<command>(p));
        };
        wall_base_ = io_hub::monotonic_ns();
        sim_base_ = board_sim::now_ns();
        // Received bytes enter the serial line at the simulated time matching
        // the moment they arrived, never earlier: while the board lags behind
        // the wall clock, a host that stamped a command with the board's time
        // as it should be by now would otherwise find it refused as from the
        // future.
        io_.on_serial = [this](const uint8_t *p, size_t n) {
            uint64_t due = sim_base_ + (io_hub::monotonic_ns() - wall_base_);
            inbox_.emplace_back(due, std::string(reinterpret_cast<const char *>(p), n));
        };
        board_sim::set_uart_collect(false);
        board_sim::set_uart_tx_hook([this](uint64_t, uint8_t b) { io_.serial_out(b); });
        step_due_ = board_sim::now_ns();
        w_.attach([this](uint64_t now) { pace(now); });
    }

    // Scenario steps fall due on the simulation clock.
    void run_scenario(uint64_t now) {
        while (next_step_ < scenario_.size() && now >= step_due_) {
            const step &s = scenario_[next_step_++];
            if (s.cmd.what == verb::wait) {
                step_due_ += uint64_t{s.cmd.value} * ns_per_ms;
                continue;
            }
            carry_out(w_, s);
        }
    }

    // Pacing: whenever simulated time runs ahead of the wall clock, wait
    // (serving the connections) until the wall clock catches up; when the
    // host machine falls behind, the board runs flat out until it has caught
    // up. Time is never skipped, so the board's clock keeps a fixed offset
    // from the wall clock, as a real board's would.
    void pace(uint64_t now) {
        constexpr uint64_t io_every_ns = 1 * ns_per_ms;
        run_scenario(now);
        uint64_t due = wall_base_ + (now - sim_base_);
        uint64_t wall = io_hub::monotonic_ns();
        if (wall < due) {
            io_.poll_until(due);
            last_io_ = io_hub::monotonic_ns();
        } else if (wall - last_io_ >= io_every_ns) {
            io_.poll_until(0);
            last_io_ = wall;
        }
        while (!inbox_.empty() && inbox_.front().first <= now) {
            board_sim::uart_host_send(inbox_.front().second);
            inbox_.pop_front();
        }
    }

    // Opens what the options ask for; false (said on standard error) if one fails.
    bool open_transports(const options &o) {
        auto failed = [](const char *option, const std::string &err) {
            if (!err.empty()) fmt::print(stderr, "cabinet-sim: {}: {}\n", option, err);
            return !err.empty();
        };
        std::string pty_name;
        uint16_t port = 0;
        if (!o.pty.empty()) {
            if (failed("--pty", io_.open_pty(o.pty, pty_name))) return false;
            fmt::print(stderr, "cabinet-sim: pty {} linked at {}\n", pty_name, o.pty);
        }
        if (o.tcp) {
            if (failed("--tcp", io_.open_tcp(*o.tcp, port))) return false;
            fmt::print(stderr, "cabinet-sim: serial on tcp 127.0.0.1:{}\n", port);
        }
        if (o.control_tcp) {
            if (failed("--control-tcp", io_.open_control_tcp(*o.control_tcp, port))) return false;
            fmt::print(stderr, "cabinet-sim: control on tcp 127.0.0.1:{}\n", port);
        }
        if (!o.control_unix.empty()) {
            if (failed("--control-unix", io_.open_control_unix(o.control_unix))) return false;
            fmt::print(stderr, "cabinet-sim: control on unix socket {}\n", o.control_unix);
        }
        if (o.stdio) io_.open_stdio();
        return true;
    }

    // Runs the firmware until a stop signal, or shortly after standard input
    // ended: the firmware gets a moment to answer what it received.
    void serve() {
        firmware_runner fw(w_);
        fw.interrupted = [this] { return io_.stop_requested(); };
        constexpr uint64_t stdin_grace_ns = 300 * ns_per_ms;
        std::optional<uint64_t> leave_at;
        while (!io_.stop_requested()) {
            fw.step();
            if (io_.stdin_ended() && inbox_.empty() && board_sim::uart_host_pending() == 0 && !leave_at)
                leave_at = board_sim::now_ns() + stdin_grace_ns;
            if (leave_at && board_sim::now_ns() >= *leave_at) break;
        }
    }

    world w_;
    io_hub io_;
    std::vector<step> scenario_;
    size_t next_step_ = 0;
    uint64_t step_due_ = 0;
    uint64_t wall_base_ = 0;
    uint64_t sim_base_ = 0;
    uint64_t last_io_ = 0;
    std::deque<std::pair<uint64_t, std::string>> inbox_;
};

int run_real_time(const options &o) {
    std::vector<step> scenario;
    if (!o.scenario.empty() && !load_steps(o.scenario, false, scenario)) return 2;
    // The board runs on its virtual clock, paced against the monotonic clock
    // (real_time::pace), so its busy waits - an I2C byte is 90 us, a transfer
    // must finish within 2 ms - are never stretched by the host's scheduler.
    if (!power_on(o)) return 1;
    real_time rt(std::move(scenario));
    return rt.run(o);
}

}  // namespace
}  // namespace cabinet_sim

int main(int argc, char **argv) {
    using namespace cabinet_sim;
    options o;
    CLI::App app{"cabinet-sim: the door controller firmware on a simulated board inside a simulated cabinet"};
    app.add_option("--pty", o.pty, "serial line on a pseudo-terminal, with a symlink at PATH");
    app.add_option("--tcp", o.tcp, "serial line on 127.0.0.1:PORT (0: any free port), one client at a time");
    app.add_flag("--stdio", o.stdio, "serial line on standard input and output");
    app.add_option("--control-tcp", o.control_tcp, "control channel on 127.0.0.1:PORT (0: any free port)");
    app.add_option("--control-unix", o.control_unix, "control channel on a Unix socket at PATH");
    app.add_option("--scenario", o.scenario, "control commands and waits to run from the start");
    app.add_option("--board-id", o.board_id_hex, "board identifier, 16 hex digits");
    app.add_option("--flash", o.flash, "file keeping the boot record store (created when missing)");
    app.add_option("--script", o.script, "run the steps of FILE (- for standard input) in virtual time");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    if (!o.board_id_hex.empty()) {
        std::array<uint8_t, 8> id{};
        if (!parse_board_id(o.board_id_hex, id)) {
            fmt::print(stderr, "cabinet-sim: --board-id wants 16 hex digits\n");
            return 1;
        }
        o.board_id = id;
    }
    bool transports = !o.pty.empty() || o.tcp || o.stdio;
    if (!o.script.empty()) {
        if (transports || o.control_tcp || !o.control_unix.empty()) {
            fmt::print(stderr, "cabinet-sim: --script runs on its own, without transports or control channel\n");
            return 1;
        }
        return run_script(o);
    }
    if (!transports) {
        fmt::print(stderr, "cabinet-sim: give --pty PATH, --tcp PORT, --stdio or --script FILE (see --help)\n");
        return 1;
    }
    return run_real_time(o);
}
