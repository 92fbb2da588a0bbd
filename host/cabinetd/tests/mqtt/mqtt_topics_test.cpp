// The broker's words as pure functions: settings, command topics and
// payloads (over the one command validator HTTP shares), and the state
// topics as followed from the journal's records.
#include "mqtt_topics.h"

#include <cabinet_host/explain.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>

namespace cabinetd {
namespace {

using nlohmann::json;

TEST(MqttCommand, PayloadsAndTheirDefaults) {
    auto c = *parse_mqtt_command("door/8/open/set", "UNLOCK").command;
    EXPECT_EQ(c.door, 8u);
    EXPECT_EQ(c.pulse_ms, 500u);
    EXPECT_TRUE(c.request_id.empty());
    c = *parse_mqtt_command("door/2/open/set",
                            R"({"pulse_ms":100,"ttl_ms":5000,"request_id":"a:b.c-d_e"})")
             .command;
    EXPECT_EQ(c.pulse_ms, 100u);
    EXPECT_EQ(c.ttl_ms, 5000u);
    EXPECT_EQ(c.request_id, "a:b.c-d_e");
    EXPECT_EQ(parse_mqtt_command("clear_fault/set", "").command->kind, MqttCommand::ClearFault);
    EXPECT_EQ(parse_mqtt_command("alarm/ack/set", "PRESS").command->kind, MqttCommand::AckAlarms);
    EXPECT_EQ(parse_mqtt_command("alarm/ack/set", R"({"request_id":"h1"})").command->request_id,
              "h1");
    for (const char *bad :
         {R"({"pulse_ms":99})", R"({"pulse_ms":1001})", R"({"ttl_ms":0})", R"({"ttl_ms":5001})",
          R"({"pulse_ms":"300"})", R"({"pulse_ms":300.5})", R"({"request_id":""})",
          R"({"request_id":"has space"})", R"({"door":3})", "[]", "open"}) {
        auto r = parse_mqtt_command("door/1/open/set", bad);
        ASSERT_FALSE(r.command) << bad;
        EXPECT_EQ(r.command.refusal().code, "bad_request") << bad;
    }
    // A refusal after the request id was read echoes it.
    EXPECT_EQ(
        parse_mqtt_command("door/1/open/set", R"({"request_id":"x1","pulse_ms":5})").request_id,
        "x1");
    EXPECT_EQ(parse_mqtt_command("clear_fault/set", R"({"pulse_ms":300})").command.refusal().code,
              "bad_request");
    EXPECT_EQ(parse_mqtt_command("alarm/ack/set", "ACK").command.refusal().code, "bad_request");
    EXPECT_EQ(parse_mqtt_command("clear_fault/set", "CLEAR").command.refusal().code,
              "bad_request"); // PRESS is the word
    EXPECT_EQ(parse_mqtt_command("alarm/clear/set", "").command.refusal().code, "unknown_topic");
}

// A key given twice is refused, never settled by taking one of them: an ACL
// plug-in or a log that reads the first would see another command than the
// one carried out.
TEST(MqttCommand, AKeyGivenTwiceIsRefusedNamingIt) {
    const struct {
        const char *topic, *payload, *key;
    } cases[] = {
        {"door/1/open/set", R"({"pulse_ms":100,"pulse_ms":1000})", "pulse_ms"},
        {"door/1/open/set", R"({"request_id":"a","request_id":"b"})", "request_id"},
        {"door/1/open/set", R"({"ttl_ms":100,"\u0074tl_ms":200})",
         "ttl_ms"}, // one key, spelt twice
        {"clear_fault/set", R"({"request_id":"a","ttl_ms":9,"request_id":"a"})", "request_id"}};
    for (const auto &c : cases) {
        auto r = parse_mqtt_command(c.topic, c.payload);
        ASSERT_FALSE(r.command) << c.payload;
        EXPECT_EQ(r.command.refusal().code, "bad_request");
        EXPECT_NE(r.command.refusal().text.find(fmt::format("\"{}\"", c.key)), std::string::npos)
            << r.command.refusal().text;
    }
}

TEST(MqttCommand, DoorsAreNamedCanonically) {
    // A broker's access rules are written for these exact topics.
    for (const char *door : {"03", "0003", "+3", " 3", "3 ", "0", "9", "-1", "4294967299", ""}) {
        auto r = parse_mqtt_command("door/" + std::string(door) + "/open/set", "OPEN");
        ASSERT_FALSE(r.command) << door;
        EXPECT_EQ(r.command.refusal().code, "unknown_topic") << door;
    }
    EXPECT_EQ(parse_mqtt_command("door/3/open/set", "OPEN").command->door, 3u);
}

TEST(MqttCommand, SentAtIsCheckedWithoutOverflow) {
    const std::int64_t now = 1765064000123;
    const auto code = [&](std::int64_t sent) {
        auto r = check_sent_at(sent, now, 3000);
        return r ? std::string("ok") : r.refusal().code;
    };
    EXPECT_EQ(code(now + kSentAtSkewMs), "ok");
    EXPECT_EQ(code(now + kSentAtSkewMs + 1), "bad_request");
    EXPECT_EQ(code(now - 3000), "ok");
    EXPECT_EQ(code(now - 3001), "expired");
    EXPECT_EQ(code(INT64_MAX), "bad_request");
    EXPECT_EQ(code(INT64_MIN), "expired");
    EXPECT_EQ(check_sent_at(INT64_MAX, INT64_MIN, 1).refusal().code, "bad_request");
    EXPECT_EQ(check_sent_at(INT64_MIN, INT64_MAX, 1).refusal().code, "expired");
    // now - sent is INT64_MIN, whose negation (how far ahead) is past int64.
    EXPECT_EQ(check_sent_at(0, INT64_MIN, 1).refusal().code, "bad_request");
    EXPECT_EQ(check_sent_at(INT64_MAX, -1, 1).refusal().code, "bad_request");
    EXPECT_TRUE(check_sent_at(std::nullopt, now, 1));
}

TEST(MqttSettings, UrlsPrefixesAndBoardIds) {
    auto u = parse_broker_url("mqtt://broker.local:1884");
    EXPECT_EQ(u.host, "broker.local");
    EXPECT_EQ(u.port, 1884);
    EXPECT_FALSE(u.tls);
    u = parse_broker_url("mqtts://[::1]");
    EXPECT_EQ(u.host, "::1");
    EXPECT_EQ(u.port, 8883);
    EXPECT_TRUE(u.tls);
    for (const char *bad : {"tcp://h:1", "mqtt://", "mqtt://h:0", "mqtt://h:65536", "mqtt://h:x",
                            "mqtt://user:pw@h:1"})
        EXPECT_THROW(parse_broker_url(bad), ConfigError) << bad;
    MqttConfig m;
    m.url = "mqtts://h";
    EXPECT_THROW(validate_mqtt(m, 1), ConfigError); // no CA file
    m.url = "mqtt://h";
    m.prefix = "site/#/";
    EXPECT_THROW(validate_mqtt(m, 1), ConfigError);
    m.prefix = "site/one/";
    EXPECT_NO_THROW(validate_mqtt(m, 1));
    EXPECT_THROW(validate_mqtt(m, 2), ConfigError); // two cabinets on one prefix
    m.prefix = "site/{cabinet}/";
    EXPECT_NO_THROW(validate_mqtt(m, 2));
    EXPECT_EQ(board_id_of("E66038B7134F6A2D-00000000000000a1"), "E66038B7134F6A2D");
    EXPECT_FALSE(board_id_of(""));
    EXPECT_FALSE(board_id_of("not-a-board-id-at-all"));
}

TEST(MqttIdentity, ClientIdsAndWhenATopicMeansOneCabinet) {
    // Unique per cabinet even on one board, and within what a broker takes.
    const std::string longest(32, 'z');
    EXPECT_EQ(client_id("E66038B7134F6A2D", "lab"), "cabinetd-e66038b7134f6a2d-lab");
    EXPECT_NE(client_id("E66038B7134F6A2D", "lab"), client_id("E66038B7134F6A2D", "Lab"));
    EXPECT_EQ(client_id("E66038B7134F6A2D", longest).size(), 58u);

    MqttConfig by_board, by_cabinet;
    by_cabinet.prefix = "site/{cabinet}/";
    const auto code = [](const MqttConfig &m, const std::string &topic_board,
                         const std::string &board, std::vector<std::string> shared) {
        auto r = check_identity(m, "b", topic_board, board, shared);
        return r ? std::string("ok") : r.refusal().code;
    };
    const std::string x = "E66038B7134F6A2D", y = "0123456789ABCDEF";
    EXPECT_EQ(code(by_board, x, x, {}), "ok");
    EXPECT_EQ(code(by_board, x, x, {"c"}), "board_id_shared");
    EXPECT_EQ(code(by_cabinet, x, x, {"c"}), "ok"); // the topics name the cabinet
    // The board moved on before the topics did: they name a board not there.
    EXPECT_EQ(code(by_board, x, y, {}), "offline");
    EXPECT_EQ(code(by_board, x, "", {}), "offline");
    EXPECT_EQ(code(by_cabinet, x, y, {}), "ok");
    MqttConfig both;
    both.prefix = "site/{cabinet}/{board_id}/";
    EXPECT_EQ(code(both, x, y, {}), "offline");
    EXPECT_EQ(code(both, x, x, {"c", "a"}), "ok");
    const auto text = check_identity(by_board, "b", x, x, {"c", "a"}).refusal().text;
    EXPECT_NE(text.find("cabinets a, b and c report one board id, " + x), std::string::npos)
        << text;
}

Record record(RecordKind kind, const std::string &code, const std::string &session = {},
              const std::string &detail = {}) {
    Record r;
    r.cabinet = "lab";
    r.kind = kind;
    r.code = code;
    r.session_id = session;
    r.detail = detail;
    return r;
}

TEST(MqttState, FollowsTheCabinetsRecordsAndNeverShowsAStaleState) {
    const std::string detail =
        R"({"state":"wait_close","active_door":3,"output_mask":0,)"
        R"("door_closed_mask":251,"latch_locked_mask":255,"inputs_valid":true,)"
        R"("power_ok":true,"heartbeat_ok":true,"driver_ready":true,"fault":"none"})";
    TopicView v;
    for (auto &r : {record(RecordKind::Link, "up"),
                    record(RecordKind::Session, "reused", "0123456789ABCDEF-0000000000000001~17"),
                    record(RecordKind::State, "wait_close", "", detail)})
        EXPECT_TRUE(follow(v, r));
    EXPECT_FALSE(follow(v, record(RecordKind::Event, "door_open")));
    auto s = state_payload("lab", "0123456789ABCDEF", v);
    EXPECT_EQ(s["session_id"],
              "0123456789ABCDEF-0000000000000001"); // the controller's, not the journal's key
    EXPECT_EQ(s["state"], "wait_close");
    EXPECT_EQ(s["active_door"], 3);
    EXPECT_TRUE(looks_online(v));
    EXPECT_EQ(*door_payload(v, 3), (json{{"door", "open"}, {"latch", "locked"}}));
    EXPECT_EQ((*door_payload(v, 1))["door"], "closed");
    // Each event moves the doors and the state at once, not the next state record.
    auto closed = record(RecordKind::Event, "door_closed");
    closed.door_id = 3;
    EXPECT_TRUE(follow(v, closed));
    EXPECT_EQ((*door_payload(v, 3))["door"], "closed");
    auto done = record(RecordKind::Event, "cycle_complete");
    done.door_id = 3;
    EXPECT_TRUE(follow(v, done));
    EXPECT_EQ(state_payload("lab", "0123456789ABCDEF", v)["state"], "idle");
    EXPECT_EQ(state_payload("lab", "0123456789ABCDEF", v)["text"], "idle");
    EXPECT_TRUE(follow(v, record(RecordKind::Event, "other_door_unsafe")));
    EXPECT_EQ(state_payload("lab", "0123456789ABCDEF", v)["text"],
              cabinet_host::explain_text("other_door_unsafe")); // words, not the code

    // Silent: nothing of the state is shown. The line that ends the silence
    // is recorded before the link comes up again, and shows once it has.
    follow(v, record(RecordKind::Link, "silent"));
    EXPECT_TRUE(state_payload("lab", "0123456789ABCDEF", v)["state"].is_null());
    EXPECT_FALSE(door_payload(v, 3));
    EXPECT_FALSE(looks_online(v));
    follow(v,
           record(RecordKind::State, "idle", "",
                  R"({"state":"idle","heartbeat_ok":true,"fault":"none"})"));
    EXPECT_TRUE(state_payload("lab", "0123456789ABCDEF", v)["state"].is_null());
    follow(v, record(RecordKind::Link, "up"));
    EXPECT_EQ(state_payload("lab", "0123456789ABCDEF", v)["state"], "idle");

    // A new run shows nothing until its first state record; a damaged
    // detail reads as zeros, never as an exception.
    follow(v, record(RecordKind::Session, "restarted", "0123456789ABCDEF-0000000000000002"));
    EXPECT_FALSE(door_payload(v, 1));
    follow(v,
           record(RecordKind::State, "idle", "",
                  R"({"state":7,"door_closed_mask":"x","heartbeat_ok":1})"));
    EXPECT_EQ(state_payload("lab", "0123456789ABCDEF", v)["state"], "");
    EXPECT_FALSE(looks_online(v));
    follow(v, record(RecordKind::Link, "down"));
    EXPECT_EQ(state_payload("lab", "0123456789ABCDEF", v)["link"], "down");
    EXPECT_FALSE(door_payload(v, 1));
}

} // namespace
} // namespace cabinetd
