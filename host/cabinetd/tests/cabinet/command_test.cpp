// The one validator of opens and clears, as HTTP uses it (MQTT's use of it
// is in tests/mqtt/mqtt_topics_test.cpp).
#include "command.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace cabinetd {
namespace {

TEST(Command, HttpTakesTheSameChecksWithItsOwnFieldsAndKinds) {
    const auto error = [](OpenInput in) {
        auto r = parse_open(in, Front::Http);
        EXPECT_FALSE(r) << in.door;
        return r ? Refusal{} : r.refusal();
    };
    // The door first, then the wait, then the body's type, then the body.
    EXPECT_EQ(error({"03", "never", "{", true}).code, "not_found");
    EXPECT_EQ(error({"3", "never", "{", true}).code, "bad_request");
    EXPECT_EQ(error({"3", "cycle", "{}", false}).code, "unsupported_media_type");
    EXPECT_EQ(error({"3", std::nullopt, "[]", true}).code, "bad_request");
    // A request id travels in a header on HTTP: in the body it is unknown.
    EXPECT_EQ(error({"3", std::nullopt, R"({"request_id":"a"})", true}).text,
              "unknown field \"request_id\"");
    auto e = error({"3", std::nullopt, R"({"ttl_ms":18446744073709551615})", true});
    EXPECT_EQ(e.code, "out_of_range");
    EXPECT_EQ(e.text, "ttl_ms 18446744073709551615 is out of range: 1 to 5000");
    auto ok = *parse_open({"8", "cycle", R"({"pulse_ms":1000})", true}, Front::Http);
    EXPECT_EQ(ok.door, 8u);
    EXPECT_EQ(ok.pulse_ms, 1000u);
    EXPECT_TRUE(ok.open_args().wait_cycle);
}

// A reason must say something a reader sees, in the order it was written.
TEST(Command, AReasonHoldsAVisibleCharacterAndNoBidiControl) {
    const auto reason = [](const std::string &text) {
        const auto body = nlohmann::json{{"reason", text}}.dump();
        auto r = parse_open({"3", std::nullopt, body, true}, Front::Http);
        return r ? std::string("taken") : r.refusal().text;
    };
    for (const char *empty : {" ", "\u200b", "\u00a0", " \u3000 ", "\u200b\u200d"})
        EXPECT_NE(reason(empty).find("visible"), std::string::npos) << reason(empty);
    for (const char *turned : {"bed 12\u202e21 deb", "a\u2066b", "x\u200fy"})
        EXPECT_NE(reason(turned).find("bidi"), std::string::npos) << reason(turned);
    EXPECT_NE(reason("a\u0085b").find("control"), std::string::npos);
    EXPECT_EQ(reason("night round, bed 12"), "taken");
    EXPECT_EQ(reason("Nachtrunde \u00fcber Bett 12 \u2014 \u05d0"), "taken");
}

} // namespace
} // namespace cabinetd
