// Streams 10,000 commands into the firmware on the simulated board as a host
// that pipelines would: it keeps sending while at most 8 KB of its commands
// are unanswered. Prints how many commands went without their own answer
// (the goal is none) and how long the answers took, from a command's line
// feed reaching the board to its answer's line feed leaving it.
//
//     stream_bench [COMMANDS]
//
// It runs again while the expander holds the bus, so that every input sample
// takes its transfers' full deadlines, and both again with one command at a
// time, for the answer time without queueing.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "board_sim/control.h"
#include "pico_main.h"

namespace sim = board_sim;

namespace {

constexpr uint64_t char_ns = 86800; // the host's 115200 8N1

struct pending {
    size_t bytes;
    uint64_t arrives_ns; // its line feed at the board
    std::string expect;  // the ack code that answers it
};

struct result {
    size_t sent = 0, answered = 0, wrong = 0, stray = 0;
    std::vector<uint64_t> reaction_ns;
    double board_s = 0, wall_s = 0;
};

result stream(size_t commands, bool bus_held, size_t window) {
    const auto wall0 = std::chrono::steady_clock::now();
    sim::power_on();
    pico_startup();
    sim::set_uart_collect(false);
    std::string rx;                                    // what the board sent, not yet a whole line
    std::vector<std::pair<std::string, uint64_t>> out; // whole lines, with the time their line feed left
    sim::set_uart_tx_hook([&](uint64_t t, uint8_t c) {
        if (c != '\n') return rx.push_back(char(c));
        out.emplace_back(std::move(rx), t);
        rx.clear();
    });
    while (sim::uptime_ns() < 100000000u) pico_loop_pass();
    if (bus_held) sim::set_expander_faults({.timeout = true});
    out.clear();

    const std::string sid = cabinet.session_id;
    std::string other = sid;
    other.back() ^= 1;
    std::mt19937 rng(1);
    std::deque<pending> in_flight;
    size_t unanswered = 0;
    uint64_t wire_free = 0;
    result r;
    const uint64_t give_up = sim::uptime_ns() + commands * 50000000ull;
    while ((r.sent < commands || !in_flight.empty()) && sim::uptime_ns() < give_up && !sim::reset_pending()) {
        while (r.sent < commands) {
            // A heartbeat, a clear refused for its session, or an open refused as expired.
            const unsigned kind = rng() % 3;
            std::string line = kind == 0   ? R"({"type":"heartbeat","session_id":")" + sid + "\""
                               : kind == 1 ? R"({"type":"clear_fault","session_id":")" + other + "\""
                                           : R"({"type":"open","request_id":"s)" + std::to_string(r.sent) +
                                                 R"(","session_id":")" + sid +
                                                 R"(","door_id":1,"pulse_ms":200,"issued_at_ms":1,"ttl_ms":1)";
            const std::string expect = kind == 0 ? "heartbeat_ok" : kind == 1 ? "clear_denied" : "expired";
            line += std::string(rng() % 200, ' ') + "}\n";
            if (unanswered != 0 && unanswered + line.size() > window) break;
            const uint64_t now = sim::now_ns();
            wire_free = std::max(now, wire_free) + line.size() * char_ns;
            sim::uart_host_send(line);
            in_flight.push_back({line.size(), wire_free, expect});
            unanswered += line.size();
            ++r.sent;
        }
        pico_loop_pass();
        for (const auto &[text, t] : out) {
            if (text.find("\"type\":\"ack\"") == std::string::npos) continue;
            if (in_flight.empty()) {
                ++r.stray;
                continue;
            }
            const pending p = in_flight.front();
            in_flight.pop_front();
            unanswered -= p.bytes;
            if (text.find("\"code\":\"" + p.expect + "\"") == std::string::npos) {
                ++r.wrong;
                continue;
            }
            ++r.answered;
            r.reaction_ns.push_back(t - p.arrives_ns);
        }
        out.clear();
    }
    sim::set_uart_tx_hook(nullptr);
    r.board_s = double(sim::uptime_ns()) / 1e9;
    r.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    return r;
}

void report(const char *name, const result &r) {
    std::vector<uint64_t> v = r.reaction_ns;
    std::sort(v.begin(), v.end());
    auto pct = [&](double q) { return v.empty() ? 0.0 : double(v[size_t(q * double(v.size() - 1))]) / 1e6; };
    std::printf("%-22s sent %zu  answered %zu  lost %zu (wrong answer %zu, none %zu)  stray acks %zu\n", name,
                r.sent, r.answered, r.sent - r.answered, r.wrong, r.sent - r.answered - r.wrong, r.stray);
    std::printf("%-22s reaction ms: p50 %.1f  p99 %.1f  max %.1f   (%.1f s of board time in %.1f s)\n", "", pct(0.5),
                pct(0.99), pct(1.0), r.board_s, r.wall_s);
}

} // namespace

int main(int argc, char **argv) {
    const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    report("8 KB in flight", stream(n, false, RX_IN_FLIGHT));
    report("8 KB, bus held", stream(n, true, RX_IN_FLIGHT));
    report("one at a time", stream(n, false, 1));
    report("one at a time, held", stream(n, true, 1));
}
