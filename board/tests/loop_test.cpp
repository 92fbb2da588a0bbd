// The main loop seen from the serial line: line assembly, acks, the state
// cadence and reception whatever the loop is doing. (A whole open cycle on the
// wire, byte for byte, is the normal_cycle golden transcript.)
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
// behind another of any length, and commands while the expander holds the
// bus, lose nothing.
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

// A stall short of the watchdog loses nothing that fits the buffer, and what
// does not fit is still noticed: the line it belonged to is refused, not
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
