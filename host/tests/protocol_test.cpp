#include "cabinet_host/protocol.h"
#include "cabinet_host/transport.h"
#include "cabinet_host/words.h"
#include "test_lines.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#ifdef CABINET_HOST_HAVE_CORE
#include "protocol.h" // the firmware's own command parser
#endif

using namespace cabinet_host;
namespace tl = test_lines;

TEST(ParseLine, StateLineWithBoardTail) {
    auto in = parse_line(tl::state(tl::kSid, 18446744073709551615ull, 7, "wait_close", 0xfb, 0xff,
                                   true, true, "none"));
    ASSERT_TRUE(in);
    const auto &s = std::get<StateLine>(*in);
    EXPECT_EQ(std::tuple(s.protocol, s.session_id, s.uptime_ms, s.event_seq, s.state),
              std::tuple(1u, tl::kSid, 18446744073709551615ull, 7u, "wait_close"));
    EXPECT_TRUE(!s.door_closed(3) && s.door_closed(1) && s.latch_locked(8));
    EXPECT_TRUE(s.inputs_valid && s.power_ok && s.heartbeat_ok && s.driver_ready);
    EXPECT_EQ(std::tuple(s.p24_adc, s.fw, s.transport), std::tuple(2710u, "0.2.0", "uart0"));
}

TEST(ParseLine, StateBodyWithoutTailAndEventAndAck) {
    std::string body = tl::state(tl::kSid, 5);
    body = body.substr(0, body.find(",\"p24_adc\"")) + "}";
    auto s = parse_line(body);
    ASSERT_TRUE(s);
    EXPECT_FALSE(std::get<StateLine>(*s).p24_adc);

    auto e = parse_line(tl::event(tl::kSid, 3, 1200, "open_accepted", "h1-1", 3) + "\r");
    ASSERT_TRUE(e);
    const auto &ev = std::get<EventLine>(*e);
    EXPECT_EQ(std::tuple(ev.code, ev.request_id, ev.door_id),
              std::tuple("open_accepted", "h1-1", 3u));
    EXPECT_EQ(uptime_of(*e), 1200u);

    std::string ack = tl::ack("", 9, "invalid_message");
    ack.insert(ack.size() - 1, ",\"new_key\":[1]"); // keys of a newer firmware are tolerated
    auto a = parse_line(ack);
    ASSERT_TRUE(a);
    EXPECT_EQ(std::get<AckLine>(*a).code, "invalid_message");
    EXPECT_EQ(session_of(*a), "");
}

TEST(ParseLine, MalformedLinesAreDroppedWhole) {
    const std::string good = tl::ack(tl::kSid, 9, "heartbeat_ok");
    const std::string bad[] = {
        "",
        "\r",
        "garbage",
        good.substr(0, good.size() - 1), // cut short (lost line feed merged, noise)
        good.substr(7),                  // joined mid-line at start of connection
        "[1,2]",
        "{\"type\":\"hello\"}",
        "{\"type\":\"ack\"}",
        R"({"type":"ack","session_id":"s","event_seq":-1,"uptime_ms":1,"code":"x","request_id":"","door_id":0})",
        R"({"type":"ack","session_id":"s","event_seq":1.5,"uptime_ms":1,"code":"x","request_id":"","door_id":0})",
        R"({"type":"ack","session_id":"s","event_seq":18446744073709551616,"uptime_ms":1,"code":"x","request_id":"","door_id":0})",
        R"({"type":"ack","session_id":"s","event_seq":1,"uptime_ms":"1","code":"x","request_id":"","door_id":0})",
        R"({"type":"ack","session_id":"s","event_seq":1,"uptime_ms":1,"code":"x","request_id":"","door_id":256})",
        R"({"type":"ack","session_id":"s","event_seq":1,"uptime_ms":1,"code":"x","request_id":"","door_id":9})",
        // Read two ways: the last door_id by this parser, the first by another.
        R"({"type":"ack","session_id":"s","event_seq":1,"uptime_ms":1,"code":"x","request_id":"","door_id":3,"door_id":4})",
        R"({"type":"ack","session_id":"s/t","event_seq":1,"uptime_ms":1,"code":"x","request_id":"","door_id":0})",
        R"({"type":"ack","session_id":"s","event_seq":1,"uptime_ms":1,"code":"x","request_id":"a b","door_id":0})",
        R"({"type":"event","session_id":"s","event_seq":1,"uptime_ms":1,"code":"x","door_id":0})",
        tl::state(tl::kSid, 1).replace(tl::state(tl::kSid, 1).find("true"), 4, "1"),
        tl::state(tl::kSid, 1).replace(tl::state(tl::kSid, 1).find("2710"), 4, "\"x\""),
        tl::state(tl::kSid, 1)
            .replace(tl::state(tl::kSid, 1).find("\"active_door\":0"), 15, "\"active_door\":9"),
        good + good,
        std::string(5000, '{'),
    };
    for (const auto &line : bad) EXPECT_FALSE(parse_line(line)) << line;
}

TEST(SessionId, OnlyTheCanonicalFormParsesAndItRoundTrips) {
    const auto id = parse_session_id(tl::kSid);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->board_id, "E6613852832F4A29");
    EXPECT_EQ(id->boot, 1u);
    EXPECT_EQ(format_session_id(*id), tl::kSid);
    EXPECT_EQ(format_session_id({"E6613852832F4A29", 0xfedcba9876543210}),
              "E6613852832F4A29-fedcba9876543210");
    for (const char *bad :
         {"e6613852832F4A29-0000000000000001", "E6613852832F4A29-000000000000000A",
          "E6613852832F4A29_0000000000000001", "E6613852832F4A29-1", "E6613852832F4A29", ""})
        EXPECT_FALSE(parse_session_id(bad)) << bad;
    EXPECT_THROW(format_session_id({"e6613852832f4a29", 1}), std::invalid_argument);
}

TEST(BuildCommand, RefusesWhatTheControllerCouldNotParse) {
    EXPECT_THROW(build_heartbeat(""), std::invalid_argument);
    EXPECT_THROW(build_heartbeat("a b"), std::invalid_argument);
    EXPECT_THROW(build_clear_fault("a\"b"), std::invalid_argument);
    EXPECT_THROW(build_heartbeat(std::string(49, 'a')), std::invalid_argument);
    EXPECT_NO_THROW(build_heartbeat(std::string(48, 'a')));
    EXPECT_THROW(build_open({std::string(65, 'r'), "S", 1, 500, 0, 1}), std::invalid_argument);
    EXPECT_THROW(build_open({"r/1", "S", 1, 500, 0, 1}), std::invalid_argument);
    EXPECT_THROW(build_open({"r", "S", 0, 500, 0, 1}), std::invalid_argument);
    EXPECT_THROW(build_open({"r", "S", 9, 500, 0, 1}), std::invalid_argument);
    EXPECT_TRUE(is_identifier("aZ09-.:_", 8));
    EXPECT_FALSE(is_identifier("aZ09-.:_", 7));
}

// Ids carry 128 bits from the OS's random source: never a counter that
// another client could run ahead of. The time in front only orders them.
TEST(RequestIds, RandomValidIdentifiers) {
    RequestIds plain, labelled(std::string(RequestIds::kLabelMax, 'p'));
    std::set<std::string> seen, randomness;
    std::string previous;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = plain.next();
        ASSERT_EQ(id.size(), 44u) << id;
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        EXPECT_TRUE(seen.insert(id).second);
        EXPECT_TRUE(randomness.insert(id.substr(12)).second);
        EXPECT_GE(id.substr(0, 12), previous.substr(0, 12));
        previous = id;
    }
    EXPECT_TRUE(is_identifier(labelled.next(), kRequestIdMax));
    EXPECT_EQ(labelled.next().size(), kRequestIdMax);
    EXPECT_THROW(RequestIds("bad label"), std::invalid_argument);
    EXPECT_THROW(RequestIds(std::string(RequestIds::kLabelMax + 1, 'p')), std::invalid_argument);
}

#ifdef CABINET_HOST_HAVE_CORE
// Every line the host builds must be accepted by the firmware's own parser
// with exactly the values put in: the host's lines are whatever that parser
// takes, so its acceptance is the check of their text.
TEST(BuildCommand, FirmwareParserAcceptsEveryBuiltLine) {
    auto parse = [](const std::string &line) {
        cabinet_cmd_t cmd{};
        EXPECT_TRUE(cabinet_parse(line.data(), line.size(), 0, &cmd)) << line;
        EXPECT_LE(line.size(), kLineMax);
        return cmd;
    };
    const std::string sid(48, 'S');
    std::string rid = RequestIds("p").next();
    rid += std::string(64 - rid.size(), 'x');
    ASSERT_EQ(rid.size(), 64u);
    for (unsigned door : {1u, 8u}) {
        for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{18446744073709551615ull}}) {
            const auto cmd = parse(build_open({rid, sid, door, 4294967295u, at, 0}));
            const auto &a = cmd.args;
            EXPECT_EQ(std::tuple(cmd.kind, std::string(a.request_id), std::string(a.session_id),
                                 a.door_id, a.pulse_ms, a.issued_at_ms, a.ttl_ms),
                      std::tuple(CABINET_CMD_OPEN, rid, sid, door, 4294967295u, at, 0u));
        }
    }
    EXPECT_EQ(parse(build_heartbeat(tl::kSid)).kind, CABINET_CMD_HEARTBEAT);
    EXPECT_EQ(parse(build_clear_fault("a.b:c_d-e")).kind, CABINET_CMD_CLEAR_FAULT);
    EXPECT_EQ(parse(build_state_request()).kind, CABINET_CMD_STATE);
}
#endif

TEST(LineSplitter, SplitsChunksAndDropsOverlongLines) {
    LineSplitter s(10);
    s.feed("ab", 2);
    EXPECT_FALSE(s.pop());
    s.feed("c\nd\n", 4);
    EXPECT_EQ(s.pop(), "abc");
    EXPECT_EQ(s.pop(), "d");
    const std::string longer = std::string(25, 'x') + "\nok\n";
    s.feed(longer.data(), longer.size());
    EXPECT_EQ(s.pop(), "ok");
    EXPECT_FALSE(s.pop());
}

// A receive waiting on a real socket is cut short by wake() from another
// thread, and a wake that comes first cuts the next one short; neither loses
// a line. (Were wake() to do nothing, the receive would wait its minute out.)
TEST(Transport, WakeCutsAWaitingReceiveShortAndLosesNothing) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    auto t = open_tcp("127.0.0.1:" + std::to_string(ntohs(addr.sin_port)), std::chrono::seconds(5));
    const int peer = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    const auto minute = std::chrono::minutes(1);

    std::thread waker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        t->wake();
    });
    EXPECT_EQ(t->receive_line(minute), std::nullopt);
    waker.join();

    t->wake();
    ASSERT_EQ(::write(peer, "one\ntwo\n", 8), 8);
    EXPECT_EQ(t->receive_line(minute), std::nullopt);
    EXPECT_EQ(t->receive_line(minute), "one");
    EXPECT_EQ(t->receive_line(minute), "two");
    ::close(peer);
    ::close(listener);
}
