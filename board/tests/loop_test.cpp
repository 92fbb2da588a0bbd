// The main loop seen from the serial line: line assembly, acks, the state
// cadence, reception while writing, and a whole open cycle byte for byte.
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

TEST(Loop, StateLineOncePerSecond) {
    Bench b;
    b.run_ms(3500);
    double n = 0;
    for (const auto &l : b.lines())
        if (l["type"] == "state") { EXPECT_NEAR(double(l["uptime_ms"]), 1000 * n++, 5.0); }
    EXPECT_EQ(n, 4);
}

// While a state line is written (about 35 ms) a command that follows at once
// is kept whole, not cut to the 32 characters the UART holds. A line that lost
// characters or carried a receive error may still parse as a valid command:
// it is refused whole.
TEST(Reception, CommandsDuringALongWriteAreKeptDamagedLinesRefused) {
    Started b;
    EXPECT_EQ(b.talk(state_request + heartbeat()), (strings{"state", "heartbeat_ok"}));
    sim::uart_host_send("{\"type\":\"state\"" + std::string(25, ' ')); // 40 characters while the loop stalls
    sim::advance(5000000u);
    ASSERT_GT(sim::uart0_status().rx_lost, 0u);
    pico_loop_pass(); // takes what the UART kept, before the line's end arrives
    EXPECT_EQ(b.talk("}\n"), strings{"invalid_message"});
    sim::uart_host_send("{\"type\":\"state\"}");
    sim::uart_host_send_byte('\n', UART_UARTDR_PE_BITS); // even the line feed counts
    EXPECT_EQ(b.talk(state_request), (strings{"invalid_message", "state"})); // the next line is whole
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
