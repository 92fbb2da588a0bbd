// The main loop seen from the serial line: line assembly, acks, the state
// cadence, reception whatever the loop is doing, and a whole open cycle byte
// for byte.
#include <numeric>

#include "harness.h"

namespace {

const std::string state_request = "{\"type\":\"state\"}\n";

struct Started : Bench { // a board past its start: inputs ready, lines so far consumed
    Started() { run_ms(100), raw_lines(); }
};

} // namespace

TEST(Loop, LinesAreAssembledUpToTheirLineFeed) {
    Started b;
    const std::string body = heartbeat().substr(0, heartbeat().size() - 1);
    const std::string l512 = body + std::string(512 - body.size(), ' ');
    EXPECT_EQ(b.talk(l512 + "\n" + l512 + " \n" + body + "\r\n\n"),
              (strings{"heartbeat_ok", "message_too_long", "heartbeat_ok", "invalid_message"}));
    sim::uart_host_send("x\nx\nx\nx\nx\n"); // arriving together: all handled in one pass
    sim::advance(2000000u);
    pico_loop_pass();
    sim::advance(100000000u);
    const auto acks = b.lines();
    ASSERT_EQ(acks.size(), 5u);
    EXPECT_EQ(acks[4]["code"], "invalid_message");
    EXPECT_EQ(acks[4]["request_id"], "");
    EXPECT_EQ(acks[4]["door_id"], 0);
}

// The two cadences of the loop, read from the firmware's own clock at the
// start of each pass: a periodic controller step (which feeds the watchdog)
// once 5 ms have passed since the last, a state line once 1000 ms have.
TEST(Loop, ControllerStepEvery5MsStateLineEvery1000Ms) {
    Bench b;
    b.run_ms(100); // past the start-up lines
    std::vector<uint64_t> ticks, states, gaps; // gaps: between two steps with no state line in between
    while (sim::uptime_ns() < 10500000000u) {
        const uint64_t pass_ms = sim::uptime_ns() / 1000000u, fed = sim::watchdog_deadline_ns();
        pico_loop_pass();
        const bool wrote = sim::uart0_status().tx_level != 0; // only state lines are sent here
        if (sim::watchdog_deadline_ns() != fed) {
            if (!ticks.empty() && (states.empty() || states.back() < ticks.back())) gaps.push_back(pass_ms - ticks.back());
            ticks.push_back(pass_ms);
        }
        if (wrote) states.push_back(pass_ms); // writing it holds the loop for some 35 ms
    }
    ASSERT_EQ(states.size(), 10u);
    EXPECT_GE(states[0], 1000u);
    // A pass with a controller step takes longer: it may step over the millisecond that is due.
    for (size_t i = 1; i < states.size(); ++i) EXPECT_LE(states[i] - states[i - 1] - 1000, 1u) << i;
    EXPECT_LT(double(states.back() - states.front()) / double(states.size() - 1), 1000.5);
    ASSERT_GT(gaps.size(), 1000u);
    for (size_t i = 0; i < gaps.size(); ++i) ASSERT_LE(gaps[i] - 5, 1u) << i;
    EXPECT_LT(double(std::accumulate(gaps.begin(), gaps.end(), uint64_t{0})) / double(gaps.size()), 5.5);
}

// Reception runs by interrupt, whatever the loop is doing: a command right
// behind another of any length, commands while the expander holds the bus,
// and a stall short of the watchdog lose nothing.
TEST(Reception, ALineOfAnyLengthWithAHeartbeatRightBehindIt) {
    Started b;
    std::string other_session = cabinet.session_id;
    other_session.back() ^= 1; // refused whatever the controller's state
    const std::string body = R"({"type":"clear_fault","session_id":")" + other_session + "\"";
    for (size_t len = 100; len <= 512; ++len) {
        const std::string first = body + std::string(len - body.size() - 1, ' ') + "}\n";
        strings got = b.talk(first + heartbeat());
        std::erase(got, "state"); // the periodic one
        ASSERT_EQ(got, (strings{"clear_denied", "heartbeat_ok"})) << len;
    }
    EXPECT_EQ(sim::uart0_status().rx_lost, 0u);
}

TEST(Reception, CommandsWhileTheExpanderHoldsTheBus) {
    Started b;
    sim::set_expander_faults({.timeout = true}); // every sample now takes its transfers' full deadlines
    b.run_ms(50), b.raw_lines();
    for (int i = 0; i < 20; ++i) {
        strings got = b.talk(heartbeat() + heartbeat(), 100);
        std::erase_if(got, [](const std::string &c) { return c != "heartbeat_ok" && c != "invalid_message"; });
        ASSERT_EQ(got, (strings{"heartbeat_ok", "heartbeat_ok"})) << i;
    }
}

TEST(Reception, AStallShortOfTheWatchdogLosesNothing) {
    Started b;
    std::string burst;
    size_t n = 0;
    for (; burst.size() < 5000; ++n) burst += heartbeat();
    sim::uart_host_send(burst);
    sim::advance(1400000000u); // the loop stalls, the characters arrive meanwhile
    ASSERT_FALSE(sim::reset_pending());
    b.run_ms(1500);
    size_t ok = 0;
    for (const auto &l : b.lines()) ok += l["type"] == "ack" && l["code"] == "heartbeat_ok";
    EXPECT_EQ(ok, n);
    EXPECT_EQ(sim::uart0_status().rx_lost, 0u);
}

// What does not fit is still noticed: the line it belonged to is refused, not
// cut into something else, and so is a line with a character received in
// error. The mark goes with the buffer slot and is gone once the slot is
// reused, so a sound line landing there after the buffer wrapped is accepted.
TEST(Reception, LinesThatLostCharactersAreRefusedAndTheMarksDoNotOutliveTheirSlot) {
    Started b;
    std::string burst;
    while (burst.size() < RX_IN_FLIGHT + 2000) burst += heartbeat();
    sim::uart_host_send(burst);
    sim::advance(1400000000u); // all of it arrives while the loop stalls: only the first 8 KB fit
    b.run_ms(2500);
    strings got;
    for (const auto &l : b.lines())
        if (l["type"] == "ack") got.push_back(l["code"]);
    const size_t whole = RX_IN_FLIGHT / heartbeat().size();
    ASSERT_EQ(got, strings(whole, "heartbeat_ok"));
    // The tail of the cut line waits in the buffer: the next line joins it.
    EXPECT_EQ(b.talk(heartbeat()), strings{"invalid_message"});
    sim::uart_host_send("{\"type\":\"state\"}");
    sim::uart_host_send_byte('\n', UART_UARTDR_PE_BITS); // even the line feed counts
    EXPECT_EQ(b.talk(heartbeat()), (strings{"invalid_message", "heartbeat_ok"}));
    // Round the buffer once more, over every slot marked above.
    for (size_t sent = 0; sent < 2 * RX_IN_FLIGHT; sent += heartbeat().size()) {
        strings got_now = b.talk(heartbeat(), 60);
        std::erase(got_now, "state"); // the periodic one
        ASSERT_EQ(got_now, strings{"heartbeat_ok"}) << sent;
    }
}

TEST(Cycle, OneOpenOnTheWireByteForByte) {
    sim::config cfg;
    cfg.feedback_rise_us = cfg.feedback_fall_us = 0; // a feedback that follows the driver exactly
    Bench b(cfg);
    b.run_ms(100);
    sim::uart_host_send(heartbeat());
    b.run_ms(50);
    const std::string sid = cabinet.session_id;
    sim::uart_host_send(R"({"type":"open","request_id":"req-1","session_id":")" + sid +
                        R"(","door_id":3,"pulse_ms":200,"issued_at_ms":)" + std::to_string(cabinet.now_ms) +
                        ",\"ttl_ms\":2000}\n");
    b.run_ms(50);
    // The door plays its part: latch released, door opened, closed, latched.
    for (const auto &[closed, locked, ms] : {std::tuple{0xFF, 0xFB, 250}, std::tuple{0xFB, 0xFB, 100},
                                             std::tuple{0xFF, 0xFB, 100}, std::tuple{0xFF, 0xFF, 100}}) {
        sim::expander_set_doors(uint8_t(closed), uint8_t(locked));
        b.run_ms(uint64_t(ms));
    }
    auto line = [](const char *type, int seq, const char *code, bool door) {
        return std::string("{\"type\":\"") + type + "\",\"session_id\":\"S\",\"event_seq\":" + std::to_string(seq) +
               ",\"uptime_ms\":T,\"code\":\"" + code + "\",\"request_id\":\"" + (door ? "req-1" : "") +
               "\",\"door_id\":" + (door ? "3" : "0") + "}";
    };
    const strings expected = {
        line("event", 1, "boot", false),
        R"({"type":"state","protocol":1,"platform":"rp2040_pico","session_id":"S","uptime_ms":T,"event_seq":1,)"
        R"("state":"idle","active_door":0,"output_mask":0,"door_closed_mask":0,"latch_locked_mask":0,)"
        R"("inputs_valid":false,"power_ok":false,"heartbeat_ok":false,"driver_ready":true,"fault":"none",)"
        R"("p24_adc":0,"fw":"0.2.0","hw":"0.2","transport":"uart0"})",
        line("event", 2, "inputs_ready", false),  line("ack", 2, "heartbeat_ok", false),
        line("event", 3, "open_accepted", true),  line("ack", 3, "accepted", true),
        line("event", 4, "latch_unlocked", true), line("event", 5, "pulse_complete", true),
        line("event", 6, "door_open", true),      line("event", 7, "door_closed", true),
        line("event", 8, "latch_locked", true),   line("event", 9, "cycle_complete", true),
    };
    strings got;             // the lines with the session as S and the uptime as T; no CR anywhere
    std::vector<uint64_t> t; // and the uptimes
    for (std::string l : b.raw_lines()) {
        l.replace(l.find(sid), sid.size(), "S");
        const size_t from = l.find("\"uptime_ms\":") + 12, to = l.find_first_not_of("0123456789", from);
        t.push_back(std::stoull(l.substr(from, to - from)));
        got.push_back(l.replace(from, to - from, "T"));
    }
    ASSERT_EQ(got, expected);
    EXPECT_EQ(t[5], t[4]); // the ack carries the tick made for its command
}
