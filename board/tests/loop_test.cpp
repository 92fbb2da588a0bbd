// The main loop seen from the serial line: line assembly, acks, the state
// cadence, reception while writing, and a whole open cycle byte for byte.

#include "harness.h"

namespace {

std::vector<json> acks(const std::vector<json> &lines) {
    std::vector<json> out;
    for (const auto &l : lines)
        if (l["type"] == "ack") out.push_back(l);
    return out;
}

// Sends text and runs the loop long enough for every answer to be on the wire.
std::vector<json> talk(Bench &b, const std::string &text, uint64_t ms = 150) {
    Bench::send(text);
    b.run_ms(ms);
    return b.lines();
}

std::vector<std::string> ack_codes(const std::vector<json> &lines) { return codes(acks(lines)); }

} // namespace

TEST(Loop, LinesAreAssembledUpToTheirLineFeed) {
    Bench b;
    b.run_ms(100);
    b.lines();
    const std::string hb = Bench::heartbeat();
    const std::string body = hb.substr(0, hb.size() - 1);
    const std::string l512 = body + std::string(512 - body.size(), ' ');
    EXPECT_EQ(ack_codes(talk(b, l512 + "\n")), std::vector<std::string>{"heartbeat_ok"});
    EXPECT_EQ(ack_codes(talk(b, l512 + " \n")), std::vector<std::string>{"message_too_long"});
    EXPECT_EQ(ack_codes(talk(b, body + "\r\n")), std::vector<std::string>{"heartbeat_ok"});
    for (const char *bad : {"\n", "\r\n", R"({"type":"sim_inputs","door_closed_mask":0,"latch_locked_mask":0,"valid":1})"
                                           "\n"}) {
        const auto a = acks(talk(b, bad));
        ASSERT_EQ(a.size(), 1u);
        EXPECT_EQ(a[0]["code"], "invalid_message");
        EXPECT_EQ(a[0]["request_id"], "");
        EXPECT_EQ(a[0]["door_id"], 0);
    }
    // Several short lines arriving together are all handled in one pass.
    Bench::send("x\nx\nx\nx\nx\n");
    sim::advance(2000000u);
    pico_loop_pass();
    sim::advance(100000000u);
    EXPECT_EQ(ack_codes(b.lines()), std::vector<std::string>(5, "invalid_message"));
}

TEST(Loop, StateLinesOncePerSecondAndOnRequest) {
    Bench b;
    b.run_ms(3500);
    std::vector<uint64_t> times;
    for (const auto &l : b.lines())
        if (l["type"] == "state") times.push_back(l["uptime_ms"]);
    ASSERT_EQ(times.size(), 4u);
    for (size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(double(times[i]), 1000.0 * double(i), 5.0);
    const auto reply = talk(b, R"({"type":"state"})"
                                   "\n",
                                50);
    EXPECT_EQ(codes(reply), std::vector<std::string>{"state"});
    EXPECT_EQ(b.wire.find('\r'), std::string::npos);
}

// While a state line is being written (about 35 ms), a command that follows
// at once is kept in full rather than losing what the UART cannot hold.
TEST(Reception, CommandArrivingDuringALongWriteIsKept) {
    Bench b;
    b.run_ms(100);
    b.lines();
    const auto reply = talk(b, std::string(R"({"type":"state"})") + "\n" + Bench::heartbeat());
    EXPECT_EQ(codes(reply), (std::vector<std::string>{"state", "heartbeat_ok"}));
    EXPECT_EQ(sim::uart0_status().rx_lost, 0u);
}

// A line that lost characters, or carried a receive error, may still parse
// as some valid command: it is refused whole.
TEST(Reception, LinesThatLostCharactersAreRefused) {
    Bench b;
    b.run_ms(100);
    b.lines();
    const std::string padded = R"({"type":"state")" + std::string(25, ' ');
    Bench::send(padded); // 40 characters while the loop stalls: the UART holds 32
    sim::advance(5000000u);
    ASSERT_GT(sim::uart0_status().rx_lost, 0u);
    pico_loop_pass(); // takes what the UART held
    EXPECT_EQ(codes(talk(b, "}\n")), std::vector<std::string>{"invalid_message"});

    Bench::send(R"({"type":"state")");
    sim::uart_host_send_byte(' ', UART_UARTDR_PE_BITS);
    EXPECT_EQ(codes(talk(b, "}\n")), std::vector<std::string>{"invalid_message"});
    EXPECT_EQ(codes(talk(b, R"({"type":"state"})"
                                "\n")),
              std::vector<std::string>{"state"}); // the next line is whole again
}

TEST(Cycle, OneOpenOnTheWireByteForByte) {
    sim::config cfg;
    cfg.feedback_rise_us = 0; // a feedback that follows the driver exactly
    cfg.feedback_fall_us = 0;
    Bench b(cfg);
    b.run_ms(100);
    Bench::send(Bench::heartbeat());
    b.run_ms(50);
    Bench::send(Bench::open(3, 200, "req-1"));
    b.run_ms(50);
    sim::expander_set_doors(0xFF, 0xFB); // latch 3 released
    b.run_ms(250);
    sim::expander_set_doors(0xFB, 0xFB); // door 3 opens
    b.run_ms(100);
    sim::expander_set_doors(0xFF, 0xFB); // closes
    b.run_ms(100);
    sim::expander_set_doors(0xFF, 0xFF); // and latches
    b.run_ms(100);

    const std::string sid = Bench::session();
    auto event = [&](int seq, const std::string &code, const std::string &rid, int door) {
        return R"({"type":"event","session_id":")" + sid + R"(","event_seq":)" + std::to_string(seq) +
               R"(,"uptime_ms":T,"code":")" + code + R"(","request_id":")" + rid + R"(","door_id":)" +
               std::to_string(door) + "}";
    };
    auto ack_line = [&](int seq, const std::string &code, const std::string &rid, int door) {
        std::string e = event(seq, code, rid, door);
        return e.replace(9, 5, "ack");
    };
    const std::vector<std::string> expected = {
        event(1, "boot", "", 0),
        R"({"type":"state","protocol":1,"platform":"rp2040_pico","session_id":")" + sid +
            R"(","uptime_ms":T,"event_seq":1,"state":"idle","active_door":0,"output_mask":0,)"
            R"("door_closed_mask":0,"latch_locked_mask":0,"inputs_valid":false,"power_ok":false,)"
            R"("heartbeat_ok":false,"driver_ready":true,"fault":"none","p24_adc":0,"fw":"0.2.0",)"
            R"("hw":"0.2","transport":"uart0"})",
        event(2, "inputs_ready", "", 0),
        ack_line(2, "heartbeat_ok", "", 0),
        event(3, "open_accepted", "req-1", 3),
        ack_line(3, "accepted", "req-1", 3),
        event(4, "latch_unlocked", "req-1", 3),
        event(5, "pulse_complete", "req-1", 3),
        event(6, "door_open", "req-1", 3),
        event(7, "door_closed", "req-1", 3),
        event(8, "latch_locked", "req-1", 3),
        event(9, "cycle_complete", "req-1", 3),
    };
    std::vector<std::string> got; // the lines with their uptime replaced by T
    std::vector<uint64_t> t;       // and the uptimes
    for (std::string l : b.raw_lines()) {
        const size_t at = l.find("\"uptime_ms\":");
        ASSERT_NE(at, std::string::npos) << l;
        const size_t from = at + 12, to = l.find_first_not_of("0123456789", from);
        t.push_back(std::stoull(l.substr(from, to - from)));
        got.push_back(l.replace(from, to - from, "T"));
    }
    EXPECT_EQ(got, expected);
    ASSERT_EQ(t.size(), expected.size());
    EXPECT_EQ(t[5], t[4]);                                     // the ack carries its command's tick
    EXPECT_GE(t[7] - t[4], 200u);                              // pulse_complete at the controller's deadline
    EXPECT_LE(t[7] - t[4], 206u);
    EXPECT_EQ(b.wire.find('\r'), std::string::npos);           // no carriage return on the wire
    EXPECT_EQ(b.wire.back(), '\n');
    EXPECT_EQ(hal_fault, 0);
}
