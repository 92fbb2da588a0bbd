// The board firmware on a simulated board, seen from the host's end of the line.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "board_sim/control.h"
#include "pico_main.h"

using json = nlohmann::json;
using strings = std::vector<std::string>;
namespace sim = board_sim;

struct Bench {
    std::string wire; // bytes sent by the firmware and not yet taken as lines

    explicit Bench(const sim::config &cfg = {}, bool start = true) {
        sim::power_on(cfg);
        if (start) pico_startup();
    }
    // The main loop for ms of board time, or until the board resets.
    static void run_ms(uint64_t ms) {
        const uint64_t end = sim::uptime_ns() + ms * 1000000u;
        while (!sim::reset_pending() && sim::uptime_ns() < end) pico_loop_pass();
    }
    strings raw_lines() { // the complete lines sent since the last call
        strings out;
        wire += sim::uart_host_take();
        for (size_t nl; (nl = wire.find('\n')) != std::string::npos; wire.erase(0, nl + 1))
            out.push_back(wire.substr(0, nl));
        return out;
    }
    std::vector<json> lines() {
        std::vector<json> out;
        for (const auto &l : raw_lines()) out.push_back(json::parse(l));
        return out;
    }
    // Sends text, runs the loop, and returns the codes of the lines sent meanwhile ("state" for a state line).
    strings talk(const std::string &text, uint64_t ms = 150) {
        sim::uart_host_send(text);
        run_ms(ms);
        strings out;
        for (const auto &l : lines()) out.push_back(l["type"] == "state" ? "state" : l["code"].get<std::string>());
        return out;
    }
};

inline std::string heartbeat() { return R"({"type":"heartbeat","session_id":")" + std::string(cabinet.session_id) + "\"}\n"; }
