#include "control_lang.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace cabinet_sim;

// The expected commands name only the fields their verb sets; the others keep
// their defaults, which is what the check is about.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

auto fields(const command &c) { return std::tie(c.what, c.door, c.value, c.on, c.expander, c.feedback, c.text); }

}  // namespace

// Every field of the parsed command is compared, so a stray value left in one
// the verb does not use shows as well.
TEST(ControlLanguage, CommandsBlanksAndRefusals) {
    using v = verb;
    using x = expander_mode;
    using f = feedback_mode;
    const std::pair<const char *, command> cases[] = {
        {"door 3 open-after 800", {.what = v::door_open_after, .door = 3, .value = 800}},
        {"door 8 open-for 0", {.what = v::door_open_for, .door = 8}},
        {"door 1 never-open", {.what = v::door_never_open, .door = 1}},
        {"door 2 hold", {.what = v::door_hold, .door = 2}},
        {"door 4 leave-unlocked", {.what = v::door_leave_unlocked, .door = 4}},
        {"door 5 force-open", {.what = v::door_force_open, .door = 5}},
        {"door 6 close", {.what = v::door_close, .door = 6}},
        {"door 7 open", {.what = v::door_open, .door = 7}},
        {"door all normal", {.what = v::door_normal, .door = 0}},
        {"power-good high", {.what = v::power_good, .on = true}},
        {"power-good low", {.what = v::power_good, .on = false}},
        {"rail 4095", {.what = v::rail, .value = 4095}},
        {"expander nack 4", {.what = v::expander, .value = 4, .expander = x::nack}},
        {"expander absent", {.what = v::expander, .expander = x::absent}},
        {"expander timeout", {.what = v::expander, .expander = x::timeout}},
        {"expander polarity", {.what = v::expander, .expander = x::polarity}},
        {"expander config", {.what = v::expander, .expander = x::config}},
        {"expander ok", {.what = v::expander, .expander = x::ok}},
        {"feedback stuck-low", {.what = v::feedback, .feedback = f::stuck_low}},
        {"feedback stuck-high", {.what = v::feedback, .feedback = f::stuck_high}},
        {"feedback normal", {.what = v::feedback, .feedback = f::normal}},
        {"stall 2000", {.what = v::stall, .value = 2000}},
        {"power-cycle", {.what = v::power_cycle, .value = 100}},  // the default off time
        {"power-cycle 750", {.what = v::power_cycle, .value = 750}},
        {"bounce on", {.what = v::bounce, .on = true}},
        {"release-ms 50", {.what = v::release_ms, .value = 50}},
        {"status", {.what = v::status}},
        {"  wait 250   # let it settle", {.what = v::wait, .value = 250}},
        {"door 3 hold\r", {.what = v::door_hold, .door = 3}},  // a CR from a telnet-style client is white space
        // send takes the rest of the line as it is
        {"send {\"type\":\"state\"} # not a comment", {.what = v::send, .text = "{\"type\":\"state\"} # not a comment"}},
        {"send", {.what = v::send}},
        {"send   x", {.what = v::send, .text = "  x"}},
    };
    for (const auto &[line, want] : cases) {
        const parsed p = parse_line(line);
        const command *got = std::get_if<command>(&p);
        ASSERT_TRUE(got) << line;
        EXPECT_TRUE(fields(*got) == fields(want)) << line;
    }
    for (const char *line : {"", "   \t", "# just a comment"})
        EXPECT_TRUE(std::holds_alternative<blank>(parse_line(line))) << line;
    for (const char *bad : {"door 0 hold", "door 9 hold", "door -1 hold", "door 03x hold", "door 3", "door 3 hold now",
                            "door 3 open-after", "door 3 open-after -5", "door 3 open-after 99999999999", "door 3 fly",
                            "power-good", "power-good maybe", "rail 4096", "rail", "expander nack 8", "expander nack",
                            "expander broken", "feedback stuck", "stall", "stall 3600001", "power-cycle 1 2",
                            "bounce yes", "status now", "reboot"})
        EXPECT_TRUE(std::holds_alternative<parse_error>(parse_line(bad))) << bad;
}
