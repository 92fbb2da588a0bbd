// Command line parser: grammar, limits and the command decision.
#include "protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string kState = R"({"type":"state"})";
const std::string kOpen = R"({"type":"open","request_id":"r1","session_id":"S-1","door_id":3,)"
                          R"("pulse_ms":500,"issued_at_ms":7,"ttl_ms":100})";
const std::string kSim = R"({"type":"sim_inputs","door_closed_mask":255,"latch_locked_mask":18,"valid":1})";

// Parses a copy of exactly the line's bytes, so a read past the end trips
// AddressSanitizer, into a record full of junk. Returns the kind, or -1 for a
// refused line, which must leave the empty record behind.
int parse(const std::string &line, int allow_sim = 0, cabinet_cmd_t *out = nullptr) {
    const std::vector<char> buf(line.begin(), line.end());
    cabinet_cmd_t cmd, empty;
    std::memset(&cmd, 0xAA, sizeof cmd);
    std::memset(&empty, 0, sizeof empty);
    const bool ok = cabinet_parse(buf.data(), buf.size(), allow_sim, &cmd);
    if (out) std::memcpy(out, &cmd, sizeof cmd);
    if (!ok) { EXPECT_EQ(std::memcmp(&cmd, &empty, sizeof cmd), 0) << line; }
    return ok ? cmd.kind : -1;
}
// The open line with one member's value text replaced.
std::string open_with(const std::string &key, const std::string &value) {
    std::string line = kOpen;
    const size_t at = line.find("\"" + key + "\":") + key.size() + 3;
    return line.replace(at, line.find_first_of(",}", at) - at, value);
}

TEST(Parse, Grammar) {
    const std::pair<std::string, int> cases[] = {
        // only tab, LF, CR and space separate tokens
        {" \t{ \"type\" :\r\n\"state\" }\r\n", CABINET_CMD_STATE}, {kState + '\0', -1}, {kState + '\v', -1},
        {kState + '\f', -1}, {kState + '\x80', -1}, {'\v' + kState, -1},
        // one complete object, nothing after it
        {kState + kState, -1}, {kState + 'x', -1}, {"   ", -1}, {"{}", -1}, {R"({"type":"state",})", -1},
        {R"({"type":"state")", -1}, {R"({"type" "state"})", -1}, {R"({,"type":"state"})", -1}, {R"({"type":"sta)", -1},
        // known keys in any order, each once, spelled exactly, no escapes or control bytes
        {R"({"ttl_ms":100,"door_id":3,"type":"open","request_id":"r1","session_id":"S-1","pulse_ms":500,"issued_at_ms":7})", CABINET_CMD_OPEN},
        {R"({"type":"state","type":"state"})", -1}, {R"({"Type":"state"})", -1}, {R"({"ty\pe":"state"})", -1},
        {"{\"type\x01\":\"state\"}", -1}, {"{\"" + std::string(200, 'k') + "\":1}", -1},
        // each type with exactly its keys
        {R"({"type":"STATE"})", -1}, {R"({"type":"state "})", -1}, {R"({"type":3})", -1}, {R"({"session_id":"S-1"})", -1},
        {R"({"type":"state","valid":1})", -1}, {kOpen.substr(0, kOpen.size() - 1) + R"(,"valid":1})", -1}, {kSim, -1},
        {R"({"type":"heartbeat","session_id":"S-1"})", CABINET_CMD_HEARTBEAT}, {R"({"type":"heartbeat"})", -1},
        {R"({"type":"heartbeat","session_id":"S-1","request_id":"r1"})", -1},
        {R"({"session_id":"S-1","type":"clear_fault"})", CABINET_CMD_CLEAR_FAULT}, {R"({"type":"clear_fault"})", -1},
        {R"({"type":"clear_fault","session_id":"S-1","door_id":1})", -1},
    };
    for (const auto &[line, want] : cases) EXPECT_EQ(parse(line), want) << line;
    for (const char *key : {"type", "request_id", "session_id", "door_id", "pulse_ms", "issued_at_ms", "ttl_ms"}) {
        std::string line = kOpen;
        const size_t at = line.find(std::string("\"") + key);
        line.erase(at, line.find_first_of(",}", at) + 1 - at);
        line.back() = '}'; // when the last member went, its brace went with it
        EXPECT_EQ(parse(line), -1) << "without " << key;
    }
}

// A repeated key refuses the line whatever the key, the command and the place
// of the repeat, even with the same value: a second "door_id" must never
// quietly win over the first.
TEST(Parse, EachKeyOnlyOnce) {
    const std::vector<std::vector<std::string>> commands = {
        {R"("type":"state")"},
        {R"("type":"heartbeat")", R"("session_id":"S-1")"},
        {R"("type":"clear_fault")", R"("session_id":"S-1")"},
        {R"("type":"open")", R"("request_id":"r1")", R"("session_id":"S-1")", R"("door_id":3)",
         R"("pulse_ms":500)", R"("issued_at_ms":7)", R"("ttl_ms":100)"},
        {R"("type":"sim_inputs")", R"("door_closed_mask":255)", R"("latch_locked_mask":18)", R"("valid":1)"},
    };
    const auto object = [](const std::vector<std::string> &members) {
        std::string line = "{";
        for (const std::string &m : members) line += (line.size() > 1 ? "," : "") + m;
        return line + "}";
    };
    for (const auto &members : commands) {
        ASSERT_GT(parse(object(members), 1), 0) << object(members);
        for (const std::string &repeat : members) {
            for (size_t at : {size_t{0}, members.size() / 2, members.size()}) {
                std::vector<std::string> twice = members;
                twice.insert(twice.begin() + static_cast<std::ptrdiff_t>(at), repeat);
                EXPECT_EQ(parse(object(twice), 1), -1) << object(twice);
            }
        }
    }
}

TEST(Parse, Values) {
    const std::tuple<const char *, std::string, bool> cases[] = {
        // identifiers: 1..64 and 1..48 letters, digits and - . : _
        {"request_id", '"' + std::string(64, 'a') + '"', true}, {"request_id", '"' + std::string(65, 'a') + '"', false},
        {"session_id", '"' + std::string(48, 'Z') + '"', true}, {"session_id", '"' + std::string(49, 'Z') + '"', false},
        {"session_id", R"("aZ09-.:_")", true}, {"session_id", R"("")", false}, {"request_id", R"("")", false},
        {"session_id", R"("a b")", false}, {"session_id", R"("a/b")", false}, {"request_id", "12", false},
        // unsigned decimals: no leading zero, sign, fraction, exponent or quotes
        {"door_id", "1", true}, {"door_id", "8", true}, {"door_id", "0", false}, {"door_id", "9", false},
        {"door_id", "03", false}, {"door_id", "-3", false}, {"door_id", "3.0", false}, {"door_id", "3e0", false},
        {"door_id", "\"3\"", false}, {"pulse_ms", "+5", false}, {"pulse_ms", "null", false},
        // 32 bits for durations (their range is the controller's to judge), 64 for the issue time
        {"pulse_ms", "0", true}, {"pulse_ms", "4294967295", true}, {"pulse_ms", "4294967296", false},
        {"door_id", "4294967299", false}, {"issued_at_ms", "18446744073709551615", true},
        {"issued_at_ms", "18446744073709551616", false}, {"issued_at_ms", "99999999999999999999", false},
    };
    for (const auto &[key, value, ok] : cases)
        EXPECT_EQ(parse(open_with(key, value)) == CABINET_CMD_OPEN, ok) << key << '=' << value;
}

// Every byte value inside an identifier: letters, digits and - . : _ only.
TEST(Parse, EachByteOfAnIdentifier) {
    for (int b = 0; b < 256; ++b) {
        const bool ident = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                           b == '-' || b == '.' || b == ':' || b == '_';
        const std::string id = std::string("\"S") + static_cast<char>(b) + "1\"";
        EXPECT_EQ(parse(open_with("session_id", id)) == CABINET_CMD_OPEN, ident) << b;
        EXPECT_EQ(parse(open_with("request_id", id)) == CABINET_CMD_OPEN, ident) << b;
    }
}

TEST(Parse, RecordsHoldExactlyWhatTheLineSays) {
    cabinet_cmd_t cmd, want;
    std::memset(&want, 0, sizeof want);
    want.kind = CABINET_CMD_STATE;
    ASSERT_EQ(parse(kState, 0, &cmd), CABINET_CMD_STATE);
    EXPECT_EQ(std::memcmp(&cmd, &want, sizeof cmd), 0);
    want.kind = CABINET_CMD_OPEN;
    std::strcpy(want.args.request_id, "r1");
    std::strcpy(want.args.session_id, "S-1");
    want.args.issued_at_ms = UINT64_MAX;
    want.args.pulse_ms = 500, want.args.ttl_ms = 100, want.args.door_id = 3;
    ASSERT_EQ(parse(open_with("issued_at_ms", "18446744073709551615"), 0, &cmd), CABINET_CMD_OPEN);
    EXPECT_EQ(std::memcmp(&cmd, &want, sizeof cmd), 0);
    // Every length of issue time, carries between the 16-bit pieces included.
    std::mt19937_64 rng(20261207);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t v = rng() >> (rng() % 64);
        ASSERT_EQ(parse(open_with("issued_at_ms", std::to_string(v)), 0, &cmd), CABINET_CMD_OPEN) << v;
        ASSERT_EQ(cmd.args.issued_at_ms, v);
    }
    std::memset(&want, 0, sizeof want);
    want.kind = CABINET_CMD_SIM_INPUTS;
    want.sim = {255, 18, 1, 1};
    ASSERT_EQ(parse(kSim, 2, &cmd), CABINET_CMD_SIM_INPUTS); // any non-zero allows it
    EXPECT_EQ(std::memcmp(&cmd, &want, sizeof cmd), 0);
    for (const char *tail : {R"(256,"latch_locked_mask":0,"valid":0})", R"(0,"latch_locked_mask":0,"valid":2})",
                             R"(0,"latch_locked_mask":0})", R"(0,"latch_locked_mask":0,"valid":0,"session_id":"S-1"})"})
        EXPECT_EQ(parse(std::string(R"({"type":"sim_inputs","door_closed_mask":)") + tail, 1), -1) << tail;
}

TEST(Parse, LengthBoundsTheLine) {
    std::string line = kState;
    line.resize(512, ' ');
    EXPECT_EQ(parse(line), CABINET_CMD_STATE);
    line += ' ';
    cabinet_cmd_t cmd, junk;
    std::memset(&junk, 0x5A, sizeof junk);
    for (auto [text, length] : {std::pair<const char *, size_t>{line.data(), 0}, {line.data(), 513}, {nullptr, 16}}) {
        std::memcpy(&cmd, &junk, sizeof cmd);
        EXPECT_FALSE(cabinet_parse(text, length, 0, &cmd)) << length;
        EXPECT_EQ(std::memcmp(&cmd, &junk, sizeof cmd), 0) << length; // untouched
    }
    EXPECT_FALSE(cabinet_parse(kState.data(), 16, 0, nullptr));
    // Whatever lies past the length is never looked at.
    const char text[] = R"({"type":"state"}xx)";
    EXPECT_TRUE(cabinet_parse(text, 16, 0, &cmd));
    EXPECT_FALSE(cabinet_parse(text, 15, 0, &cmd));
    EXPECT_FALSE(cabinet_parse(R"({"type":"state","session_id":"S-1"})", 21, 0, &cmd)); // ends inside a key
}

} // namespace
