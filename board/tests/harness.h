// A simulated board running the board firmware, seen from the host's end of
// the serial line.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "board_sim/control.h"
#include "pico_main.h"

using json = nlohmann::json;
namespace sim = board_sim;

struct Bench {
    std::string wire; // every byte the firmware sent, in order
    size_t read_pos = 0;

    explicit Bench(const sim::config &cfg = {}, bool start = true) {
        sim::power_on(cfg);
        if (start) boot();
    }
    void boot() {
        pico_startup();
        collect();
    }
    void collect() { wire += sim::uart_host_take(); }
    static uint64_t uptime_ms() { return sim::uptime_ns() / 1000000u; }
    // Runs the main loop for ms of board time, or until the board resets.
    void run_ms(uint64_t ms) {
        const uint64_t end = sim::uptime_ns() + ms * 1000000u;
        while (!sim::reset_pending() && sim::uptime_ns() < end) pico_loop_pass();
        collect();
    }
    // The complete lines sent since the last call, as raw text.
    std::vector<std::string> raw_lines() {
        collect();
        std::vector<std::string> out;
        for (size_t nl; (nl = wire.find('\n', read_pos)) != std::string::npos; read_pos = nl + 1)
            out.push_back(wire.substr(read_pos, nl - read_pos));
        return out;
    }
    std::vector<json> lines() {
        std::vector<json> out;
        for (const auto &l : raw_lines()) out.push_back(json::parse(l));
        return out;
    }
    static void send(const std::string &s) { sim::uart_host_send(s); }
    static std::string session() { return cabinet.session_id; }
    static std::string heartbeat() {
        return R"({"type":"heartbeat","session_id":")" + session() + "\"}\n";
    }
    static std::string open(int door, unsigned pulse_ms, const std::string &request_id) {
        return R"({"type":"open","request_id":")" + request_id + R"(","session_id":")" + session() +
               R"(","door_id":)" + std::to_string(door) + R"(,"pulse_ms":)" + std::to_string(pulse_ms) +
               R"(,"issued_at_ms":)" + std::to_string(cabinet.now_ms) + R"(,"ttl_ms":2000})" + "\n";
    }
};

// Codes of the event and ack lines among lines, in order ("state" for a state line).
inline std::vector<std::string> codes(const std::vector<json> &lines) {
    std::vector<std::string> out;
    for (const auto &l : lines) out.push_back(l["type"] == "state" ? "state" : l["code"].get<std::string>());
    return out;
}
