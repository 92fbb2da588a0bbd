// Command line parser: grammar, limits and the command decision.
#include "protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const std::string kOpen = R"({"type":"open","request_id":"r1","session_id":"S-1","door_id":3,)"
                          R"("pulse_ms":500,"issued_at_ms":7,"ttl_ms":100})";

// Copies the line into a buffer of exactly its length, so that any read past
// the end trips AddressSanitizer.
bool parse(const std::string &line, cabinet_cmd_t *cmd, int allow_sim = 0) {
    std::vector<char> buf(line.begin(), line.end());
    return cabinet_parse(buf.data(), buf.size(), allow_sim, cmd);
}
bool accepts(const std::string &line, int allow_sim = 0) {
    cabinet_cmd_t cmd;
    return parse(line, &cmd, allow_sim);
}
// A record of zero bytes, padding included, to compare parsed records with.
cabinet_cmd_t zeroed() {
    cabinet_cmd_t cmd;
    std::memset(&cmd, 0, sizeof cmd);
    return cmd;
}
// An open line with one member replaced (key "k" then its raw value text).
std::string open_with(const std::string &key, const std::string &value) {
    std::string line = kOpen;
    const size_t at = line.find("\"" + key + "\":") + key.size() + 3;
    return line.replace(at, line.find_first_of(",}", at) - at, value);
}

TEST(ParseWhitespace, OnlyTabLfCrSpaceSeparateTokens) {
    for (const char *line : {"{\"type\":\"state\"}", " \t{ \"type\" :\r\n\"state\" }\r",
                             "\n{\"type\":\"state\"}\t \r"})
        EXPECT_TRUE(accepts(line)) << line;
    for (char bad : {'\0', '\v', '\f', '\x80', 'x', '{'})
        EXPECT_FALSE(accepts(std::string("{\"type\":\"state\"}") + bad)) << int(bad);
    EXPECT_FALSE(accepts(std::string("\v{\"type\":\"state\"}")));
    EXPECT_FALSE(accepts(R"({"type":"state"}{"type":"state"})"));
}

TEST(ParseStructure, IncompleteOrMalformedObjectsReject) {
    for (const char *line : {"   ", "{}", R"({"type":"state",})", R"({"type":"state")",
                             R"({"type":)", R"({"type":"sta)", R"({"typ)", R"({"type" "state"})",
                             R"({"type":"state";})", R"({,"type":"state"})"})
        EXPECT_FALSE(accepts(line)) << line;
}

TEST(ParseKeys, UnknownDuplicateCaseAndEscapesReject) {
    EXPECT_TRUE(accepts(R"({"ttl_ms":100,"door_id":3,"type":"open","request_id":"r1",)"
                        R"("session_id":"S-1","pulse_ms":500,"issued_at_ms":7})"));
    for (const std::string &line : std::vector<std::string>
         {kOpen.substr(0, kOpen.size() - 1) + R"(,"extra":1})",
          R"({"type":"state","type":"state"})", R"({"Type":"state"})", R"({"ty\pe":"state"})",
          "{\"" + std::string(200, 'k') + "\":1}",
          "{\"type\x01\":\"state\"}"})
        EXPECT_FALSE(accepts(line)) << line;
}

TEST(ParseStrings, IdentifierLimitsAndCharacterSet) {
    EXPECT_TRUE(accepts(open_with("request_id", '"' + std::string(64, 'a') + '"')));
    EXPECT_TRUE(accepts(open_with("session_id", '"' + std::string(48, 'Z') + '"')));
    EXPECT_TRUE(accepts(open_with("session_id", R"("aZ09-.:_")")));
    for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{
             {"request_id", '"' + std::string(65, 'a') + '"'},
             {"session_id", '"' + std::string(49, 'a') + '"'},
             {"request_id", R"("")"}, {"session_id", R"("")"}, {"session_id", R"("a b")"},
             {"session_id", R"("a/b")"}, {"session_id", R"("a\\b")"}, {"request_id", "12"},
             {"type", R"("OPEN")"}, {"type", R"("")"}, {"type", "3"}, {"type", "\"op\x7f\""}})
        EXPECT_FALSE(accepts(open_with(key, value))) << key << '=' << value;
}

TEST(ParseNumbers, DigitsRangesAndTerminators) {
    struct Case { const char *key, *value; bool ok; };
    for (const Case &c : std::initializer_list<Case>{
             {"door_id", "1", true}, {"door_id", "8", true}, {"door_id", "0", false},
             {"door_id", "9", false}, {"door_id", "03", false}, {"door_id", "-3", false},
             {"door_id", "3.0", false}, {"door_id", "3e0", false}, {"door_id", "\"3\"", false},
             {"door_id", "4294967299", false},
             {"pulse_ms", "0", true}, {"pulse_ms", "4294967295", true},
             {"pulse_ms", "4294967296", false},
             {"pulse_ms", "00", false}, {"pulse_ms", "+5", false}, {"pulse_ms", "null", false},
             {"issued_at_ms", "18446744073709551615", true},
             {"issued_at_ms", "18446744073709551616", false},
             {"issued_at_ms", "99999999999999999999", false},
             {"issued_at_ms", "184467440737095516150", false}})
        EXPECT_EQ(accepts(open_with(c.key, c.value)), c.ok) << c.key << '=' << c.value;
    cabinet_cmd_t cmd;
    ASSERT_TRUE(parse(open_with("issued_at_ms", "18446744073709551615"), &cmd));
    EXPECT_EQ(cmd.args.issued_at_ms, UINT64_MAX);
    EXPECT_FALSE(accepts(R"({"type":"open","door_id":3)")); // line ends inside the number
}

TEST(ParseDecision, EachKindHasExactlyItsKeySet) {
    // Every byte the line does not set is cleared, whatever the record held.
    cabinet_cmd_t cmd, want = zeroed();
    std::memset(&cmd, 0xAA, sizeof cmd);
    want.kind = CABINET_CMD_OPEN;
    std::strcpy(want.args.request_id, "r1");
    std::strcpy(want.args.session_id, "S-1");
    want.args.issued_at_ms = 7;
    want.args.pulse_ms = 500;
    want.args.ttl_ms = 100;
    want.args.door_id = 3;
    ASSERT_TRUE(parse(kOpen, &cmd));
    EXPECT_EQ(std::memcmp(&cmd, &want, sizeof cmd), 0);
    std::memset(&cmd, 0xAA, sizeof cmd);
    ASSERT_TRUE(parse(R"({"type":"state"})", &cmd));
    want = zeroed();
    want.kind = CABINET_CMD_STATE;
    EXPECT_EQ(std::memcmp(&cmd, &want, sizeof cmd), 0);

    ASSERT_TRUE(parse(R"({"session_id":"S-1","type":"heartbeat"})", &cmd));
    EXPECT_EQ(cmd.kind, CABINET_CMD_HEARTBEAT);
    EXPECT_STREQ(cmd.args.session_id, "S-1");
    ASSERT_TRUE(parse(R"({"type":"clear_fault","session_id":"S-1"})", &cmd));
    EXPECT_EQ(cmd.kind, CABINET_CMD_CLEAR_FAULT);

    for (const char *key : {"request_id", "session_id", "door_id", "pulse_ms", "issued_at_ms",
                            "ttl_ms", "type"}) {
        std::string line = kOpen;
        const size_t at = line.find(std::string("\"") + key + "\":");
        line.erase(at, line.find_first_of(",}", at) + 1 - at);
        if (line.back() == ',') line.back() = '}'; // the last member took the brace along
        EXPECT_FALSE(accepts(line)) << "without " << key;
    }
    for (const char *line :
         {R"({"type":"state","valid":1})", R"({"type":"heartbeat"})",
          R"({"type":"heartbeat","session_id":"S-1","request_id":"r1"})",
          R"({"session_id":"S-1"})", R"({"type":"ping"})", R"({"type":"state "})"})
        EXPECT_FALSE(accepts(line)) << line;
    // A line rejected late leaves the empty command, not the members read so far.
    EXPECT_FALSE(parse(open_with("ttl_ms", "100,\"valid\":1"), &cmd));
    EXPECT_EQ(std::memcmp(&cmd, &(want = zeroed()), sizeof cmd), 0);
}

TEST(ParseDecision, SimInputsOnlyWhenAllowed) {
    const std::string sim = R"({"type":"sim_inputs","door_closed_mask":255,)"
                            R"("latch_locked_mask":18,"valid":1})";
    EXPECT_FALSE(accepts(sim, 0));
    cabinet_cmd_t cmd;
    ASSERT_TRUE(parse(sim, &cmd, 2));
    cabinet_cmd_t want = zeroed();
    want.kind = CABINET_CMD_SIM_INPUTS;
    want.sim.door_closed_mask = 255;
    want.sim.latch_locked_mask = 18;
    want.sim.inputs_valid = want.sim.power_ok = 1;
    EXPECT_EQ(std::memcmp(&cmd, &want, sizeof cmd), 0);
    for (const char *line :
         {R"({"type":"sim_inputs","door_closed_mask":256,"latch_locked_mask":0,"valid":0})",
          R"({"type":"sim_inputs","door_closed_mask":0,"latch_locked_mask":0,"valid":2})",
          R"({"type":"sim_inputs","door_closed_mask":0,"latch_locked_mask":0,"valid":true})",
          R"({"type":"sim_inputs","door_closed_mask":0,"latch_locked_mask":0})",
          R"({"type":"sim_inputs","door_closed_mask":0,"latch_locked_mask":0,"valid":0,)"
          R"("session_id":"S-1"})"})
        EXPECT_FALSE(accepts(line, 1)) << line;
}

TEST(ParseLength, BoundsAndUntouchedRecord) {
    std::string line = R"({"type":"state"})";
    line.resize(512, ' ');
    EXPECT_TRUE(accepts(line));
    cabinet_cmd_t cmd, sentinel;
    std::memset(&sentinel, 0x5A, sizeof sentinel);
    line.resize(513, ' ');
    for (size_t length : {size_t{0}, size_t{513}}) {
        std::memset(&cmd, 0x5A, sizeof cmd);
        EXPECT_FALSE(cabinet_parse(line.data(), length, 0, &cmd));
        EXPECT_EQ(std::memcmp(&cmd, &sentinel, sizeof cmd), 0) << length;
    }
    std::memset(&cmd, 0x5A, sizeof cmd);
    EXPECT_FALSE(cabinet_parse(nullptr, 16, 0, &cmd));
    EXPECT_EQ(std::memcmp(&cmd, &sentinel, sizeof cmd), 0);
    EXPECT_FALSE(cabinet_parse("{\"type\":\"state\"}", 16, 0, nullptr));
}

TEST(ParseLength, NothingPastLengthIsRead) {
    const char text[] = R"({"type":"state"}xx)";
    cabinet_cmd_t cmd;
    EXPECT_TRUE(cabinet_parse(text, 16, 0, &cmd));  // trailing garbage lies beyond the line
    EXPECT_FALSE(cabinet_parse(text, 15, 0, &cmd)); // the brace lies beyond the line
    EXPECT_FALSE(cabinet_parse(text, 17, 0, &cmd));
    const char cut[] = R"({"type":"state","session_id":"S-1"})";
    EXPECT_FALSE(cabinet_parse(cut, 21, 0, &cmd)); // ends inside a key
}

} // namespace
