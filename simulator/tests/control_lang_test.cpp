#include "control_lang.h"

#include <gtest/gtest.h>

using namespace cabinet_sim;

namespace {

command ok(std::string_view line) {
    parsed p = parse_line(line);
    if (auto *e = std::get_if<parse_error>(&p)) ADD_FAILURE() << line << ": " << e->message;
    if (std::holds_alternative<blank>(p)) ADD_FAILURE() << line << ": blank";
    auto *c = std::get_if<command>(&p);
    return c ? *c : command{};
}

bool rejected(std::string_view line) { return std::holds_alternative<parse_error>(parse_line(line)); }

}  // namespace

TEST(ControlLanguage, DoorCommands) {
    command c = ok("door 3 open-after 800");
    EXPECT_EQ(c.what, verb::door_open_after);
    EXPECT_EQ(c.door, 3);
    EXPECT_EQ(c.value, 800u);
    EXPECT_EQ(ok("door 8 open-for 0").what, verb::door_open_for);
    EXPECT_EQ(ok("door 1 never-open").what, verb::door_never_open);
    EXPECT_EQ(ok("door 2 hold").what, verb::door_hold);
    EXPECT_EQ(ok("door 4 leave-unlocked").what, verb::door_leave_unlocked);
    EXPECT_EQ(ok("door 5 force-open").what, verb::door_force_open);
    EXPECT_EQ(ok("door 6 close").what, verb::door_close);
    EXPECT_EQ(ok("door 7 open").what, verb::door_open);
    c = ok("door all normal");
    EXPECT_EQ(c.what, verb::door_normal);
    EXPECT_EQ(c.door, 0);

    for (auto bad : {"door 0 hold", "door 9 hold", "door -1 hold", "door 03x hold", "door 3", "door 3 hold now",
                     "door 3 open-after", "door 3 open-after -5", "door 3 open-after 99999999999", "door 3 fly"})
        EXPECT_TRUE(rejected(bad)) << bad;
}

TEST(ControlLanguage, FaultCommands) {
    EXPECT_TRUE(ok("power-good high").on);
    EXPECT_FALSE(ok("power-good low").on);
    EXPECT_EQ(ok("rail 4095").value, 4095u);
    command c = ok("expander nack 4");
    EXPECT_EQ(c.expander, expander_mode::nack);
    EXPECT_EQ(c.value, 4u);
    EXPECT_EQ(ok("expander absent").expander, expander_mode::absent);
    EXPECT_EQ(ok("expander timeout").expander, expander_mode::timeout);
    EXPECT_EQ(ok("expander polarity").expander, expander_mode::polarity);
    EXPECT_EQ(ok("expander config").expander, expander_mode::config);
    EXPECT_EQ(ok("expander ok").expander, expander_mode::ok);
    EXPECT_EQ(ok("feedback stuck-low").feedback, feedback_mode::stuck_low);
    EXPECT_EQ(ok("feedback stuck-high").feedback, feedback_mode::stuck_high);
    EXPECT_EQ(ok("feedback normal").feedback, feedback_mode::normal);
    EXPECT_EQ(ok("stall 2000").value, 2000u);
    EXPECT_EQ(ok("power-cycle").value, 100u) << "default off time";
    EXPECT_EQ(ok("power-cycle 750").value, 750u);
    EXPECT_TRUE(ok("bounce on").on);
    EXPECT_EQ(ok("release-ms 50").value, 50u);
    EXPECT_EQ(ok("status").what, verb::status);

    for (auto bad : {"power-good", "power-good maybe", "rail 4096", "rail", "expander nack 8", "expander nack",
                     "expander broken", "feedback stuck", "stall", "stall 3600001", "power-cycle 1 2",
                     "bounce yes", "status now", "reboot"})
        EXPECT_TRUE(rejected(bad)) << bad;
}

TEST(ControlLanguage, StepsCommentsAndWhiteSpace) {
    EXPECT_TRUE(std::holds_alternative<blank>(parse_line("")));
    EXPECT_TRUE(std::holds_alternative<blank>(parse_line("   \t")));
    EXPECT_TRUE(std::holds_alternative<blank>(parse_line("# just a comment")));
    EXPECT_EQ(ok("  wait 250   # let it settle").value, 250u);
    EXPECT_EQ(ok("door 3 hold\r").what, verb::door_hold) << "a CR from a telnet-style client is white space";

    command s = ok("send {\"type\":\"state\"} # not a comment");
    EXPECT_EQ(s.what, verb::send);
    EXPECT_EQ(s.text, "{\"type\":\"state\"} # not a comment") << "send takes the rest of the line as it is";
    EXPECT_EQ(ok("send").text, "");
    EXPECT_EQ(ok("send   x").text, "  x");
}
