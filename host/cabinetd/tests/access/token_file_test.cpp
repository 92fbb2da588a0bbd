// The token file as the access layer reads it: strictly, one way to write
// each line, names that cannot pass for one another, tokens kept as their
// hash, and a file others could change refused.
#include "guarded_file.h"
#include "policy.h"
#include "temp_dir.h"
#include "token_file.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace cabinetd {
namespace {

using test_support::config_error_of;
using test_support::TempDir;

// The lines of a file (refused: none, and the test fails).
std::vector<TokenLine> parsed(const std::string &text) {
    auto f = parse_token_file(text);
    EXPECT_TRUE(f) << f.refusal().text;
    return f ? *f : std::vector<TokenLine>{};
}
// The refusal's words.
std::string refusal(const std::string &text) {
    auto f = parse_token_file(text);
    return f ? "accepted" : f.refusal().text;
}

// Whoever can change the token file can make themselves an operator: a file
// any user of the machine could change is refused (a reload keeps the old
// tokens), one any user may read is taken and reported.
TEST(GuardedFiles, TokensOpenToEveryUser) {
    const TempDir dir;
    const auto path = dir.file("tokens", "ops operator 0123456789abcdef\n", 0600);
    Policy t;
    t.load(path);
    EXPECT_FALSE(read_guarded_file(path, "token file").world_readable);
    std::filesystem::permissions(path, std::filesystem::perms(0644));
    EXPECT_TRUE(read_guarded_file(path, "token file").world_readable);

    dir.file("tokens", "intruder operator fedcba9876543210\n", 0646);
    const auto e = config_error_of([&] { t.load(path); });
    EXPECT_NE(e.find(path + " is writable by every user"), std::string::npos) << e;
    EXPECT_TRUE(t.authenticate("0123456789abcdef"));
    EXPECT_FALSE(t.authenticate("fedcba9876543210"));

    // Anyone could put another file in its place: in a directory that all
    // may write, or behind a symlink there. A sticky one (/tmp) is fine.
    std::filesystem::permissions(path, std::filesystem::perms(0600));
    std::filesystem::permissions(dir.path, std::filesystem::perms(0777));
    EXPECT_NE(config_error_of([&] { t.load(path); }).find(dir.path.string() + " is writable"),
              std::string::npos);
    std::filesystem::permissions(dir.path, std::filesystem::perms(01777));
    EXPECT_EQ(config_error_of([&] { t.load(path); }), "accepted");
    std::filesystem::create_directory(dir.path / "open");
    std::filesystem::permissions(dir.path / "open", std::filesystem::perms(0777));
    std::filesystem::create_symlink(path, dir.path / "open" / "link");
    EXPECT_NE(
        config_error_of([&] { t.load((dir.path / "open" / "link").string()); }).find("writable"),
        std::string::npos);
    // Only a regular file: a device or a FIFO (which would block the reload)
    // is refused.
    EXPECT_NE(config_error_of([&] { t.load("/dev/null"); }).find("not a regular file"),
              std::string::npos);
}

TEST(TokenFile, NamesRolesAndTokensPlainOrHashed) {
    const std::string hashed = digest_text(token_digest("fedcba9876543210xx"));
    ASSERT_EQ(hashed.size(), 7u + 64u);
    Policy p;
    p.set(parsed("# who role token\n\nops operator 0123456789abcdef\r\nboard viewer " + hashed +
                 "\n"));
    const auto ops = p.authenticate("0123456789abcdef");
    ASSERT_TRUE(ops);
    EXPECT_EQ(ops->name, "ops");
    EXPECT_EQ(ops->role, Role::Operator);
    EXPECT_EQ(ops->id, digest_text(token_digest("0123456789abcdef")).substr(7));
    EXPECT_EQ(p.authenticate("fedcba9876543210xx")->role, Role::Viewer);
    EXPECT_FALSE(p.authenticate(hashed)); // the hash is no token
    EXPECT_FALSE(p.authenticate("0123456789abcde"));
    EXPECT_FALSE(p.authenticate(""));

    for (const auto &[text, says] : std::vector<std::pair<std::string, std::string>>{
             {"a viewer 0123456789abcdef\nb admin 0123456789abcdeX", "line 2: role"},
             {"a viewer short", "16"},
             {"a viewer 0123456789abcdef a:1 alarms=a:1 extra", "NAME ROLE TOKEN"},
             {"a viewer 0123456789abcdef alarms=a:1 a:1", "NAME ROLE TOKEN"},
             {"a viewer 0123456789abcdef\nb operator " +
                  digest_text(token_digest("0123456789abcdef")),
              "line 2: this token is line 1's too"},
             {"a viewer sha256:" + std::string(63, 'a'), "64 lower-case hex"},
             {"a viewer sha256:" + std::string(64, 'A'), "64 lower-case hex"},
             // Names are told apart without case, in NFKC: fullwidth letters,
             // a ligature or another case are the same name, named with both lines.
             {"Anna viewer 0123456789abcdef\nANNA viewer 0123456789abcdeX",
              "line 2: name \"ANNA\" is line 1's \"Anna\""},
             {"anna viewer 0123456789abcdef\n\xef\xbd\x81nna viewer 0123456789abcdeX",
              "is line 1's"},
             {"\xef\xac\x81 viewer 0123456789abcdef\nFI viewer 0123456789abcdeX", "is line 1's"},
             // Nothing invisible in a name: no-break or zero-width spaces, bidi controls.
             {"an\xc2\xa0na viewer 0123456789abcdef", "line 1: name"},
             {"an\xe2\x80\x8bna viewer 0123456789abcdef", "line 1: name"},
             {"an\xe2\x80\xaena viewer 0123456789abcdef", "line 1: name"},
             {"an\xffna viewer 0123456789abcdef", "line 1: name"},
         })
        EXPECT_NE(refusal(text).find(says), std::string::npos) << text << ": " << refusal(text);
}

// A scope, its hours and its alarms are written one way only; anything else
// refuses the file, naming the line.
TEST(TokenFile, ScopesHoursAndAlarmsAreParsedStrictly) {
    const auto good =
        parsed("n operator 0123456789abcdef ward:1-4+6@Mon-Fri/07:00-19:00;Sat/22:00-06:00,store:* "
               "alarms=ward:5-8\nboss viewer 0123456789abcdeX alarms=*\n");
    ASSERT_EQ(good.size(), 2u);
    EXPECT_EQ(scope_json(good[0].scope).dump(), R"({"store":"*","ward":[1,2,3,4,6]})");
    ASSERT_TRUE(hours_of(good[0].scope, "ward"));
    EXPECT_EQ(hours_text(*hours_of(good[0].scope, "ward")), "Mon-Fri/07:00-19:00;Sat/22:00-06:00");
    EXPECT_FALSE(hours_of(good[0].scope, "store"));
    EXPECT_EQ(doors_of(*good[0].alarms, "ward"), 0xf0);
    EXPECT_TRUE(good[1].alarms && good[1].alarms->everything());

    for (const char *bad : {"ward",
                            "ward:",
                            ":1",
                            "ward:0",
                            "ward:9",
                            "ward:03",
                            "ward:4-1",
                            "ward:3-3",
                            "ward:1-4+3",
                            "ward:1,ward:2",
                            "ward:1,",
                            "ward:1+",
                            "ward:**",
                            "ward:1-",
                            "w.rd:1",
                            "ward:1-4,store",
                            "ward:1@",
                            "ward:1@Mon",
                            "ward:1@mon/07:00-19:00",
                            "ward:1@Mon/7:00-19:00",
                            "ward:1@Mon/07:00-19:60",
                            "ward:1@Mon/24:00-02:00",
                            "ward:1@Mon/07:00-07:00",
                            "ward:1@Mon/07:00-25:00",
                            "ward:1@Fri-Mon/07:00-19:00",
                            "ward:1@Mon+Tue/07:00-19:00",
                            "ward:1@Wed+Mon/07:00-19:00",
                            "ward:1@Mon-Mon/07:00-08:00",
                            "ward:1@Mon/07:00-19:00;Mon/18:00-20:00",
                            "ward:1@Tue/07:00-08:00;Mon/07:00-08:00",
                            "ward:1@Sun/22:00-06:00;Mon/05:00-07:00",
                            "ward:1@Mon/07:00-19:00;",
                            "alarms=ward:1@Mon/07:00-08:00",
                            "alarms=",
                            "alarms=ward"}) {
        const auto e =
            refusal(std::string("a viewer 0123456789abcdef\nb viewer 0123456789abcdeX ") + bad);
        EXPECT_NE(e.find("line 2: "), std::string::npos) << bad << ": " << e;
    }
}

} // namespace
} // namespace cabinetd
