// Bearer tokens and the stream tokens they hand out: roles, expiry, what a
// reload takes away, that no token tells the next, and a token file others
// could change.
#include "guarded_file.h"
#include "temp_dir.h"
#include "tokens.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <random>
#include <atomic>

namespace cabinetd {
namespace {

using test_support::config_error_of;
using test_support::TempDir;

// Whoever can change the token file can make themselves an operator: a file
// any user of the machine could change is refused (a reload keeps the old
// tokens), one any user may read is taken and reported.
TEST(GuardedFiles, TokensOpenToEveryUser) {
    const TempDir dir;
    const auto path = dir.file("tokens", "ops operator 0123456789abcdef\n", 0600);
    Tokens t;
    t.load(path);
    EXPECT_FALSE(read_guarded_file(path, "token file").world_readable);
    std::filesystem::permissions(path, std::filesystem::perms(0644));
    EXPECT_TRUE(read_guarded_file(path, "token file").world_readable);

    dir.file("tokens", "intruder operator fedcba9876543210\n", 0646);
    const auto e = config_error_of([&] { t.load(path); });
    EXPECT_NE(e.find(path + " is writable by every user"), std::string::npos) << e;
    EXPECT_TRUE(t.check("0123456789abcdef"));
    EXPECT_FALSE(t.check("fedcba9876543210"));

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

TEST(Tokens, FileGivesNamesAndRoles) {
    Tokens t;
    t.set(Tokens::parse(
        "# who role token\n\nops operator 0123456789abcdef\r\nboard viewer fedcba9876543210xx\n"));
    auto ops = t.check("0123456789abcdef");
    ASSERT_TRUE(ops);
    EXPECT_EQ(ops->name, "ops");
    EXPECT_EQ(ops->role, Role::Operator);
    EXPECT_EQ(t.check("fedcba9876543210xx")->role, Role::Viewer);
    EXPECT_FALSE(t.check("0123456789abcde"));
    EXPECT_FALSE(t.check(""));

    const auto line_of = [](const char *text) {
        return config_error_of([&] { Tokens::parse(text); });
    };
    EXPECT_NE(line_of("a viewer 0123456789abcdef\nb admin 0123456789abcdeX").find("line 2"),
              std::string::npos);
    EXPECT_NE(line_of("a viewer short").find("16"), std::string::npos);
    EXPECT_NE(line_of("a viewer 0123456789abcdef a:1 extra").find("NAME ROLE TOKEN"),
              std::string::npos);
    EXPECT_NE(line_of("a viewer 0123456789abcdef\nb operator 0123456789abcdef").find("twice"),
              std::string::npos);
}

// A scope is written one way only; anything else refuses the file, naming
// the line, and what it grants is exactly what it says.
TEST(Tokens, ScopesAreParsedStrictly) {
    const auto t = Tokens::parse("all operator 0123456789abcdef\n"
                                 "nurse operator 0123456789abcdeX ward:1-4+6,store:*\n");
    const auto &all = t[0].second, &nurse = t[1].second;
    EXPECT_TRUE(all.scope.everything());
    EXPECT_TRUE(permits(all, "anything", 8) && sees(all, "anything"));
    EXPECT_EQ(scope_json(nurse.scope).dump(), R"({"store":"*","ward":[1,2,3,4,6]})");
    for (int d = 1; d <= 8; ++d) {
        EXPECT_EQ(permits(nurse, "ward", d), d <= 4 || d == 6) << d;
        EXPECT_TRUE(permits(nurse, "store", d)) << d;
        EXPECT_FALSE(permits(nurse, "lab", d)) << d;
    }
    EXPECT_FALSE(permits(nurse, "ward", 0) || permits(nurse, "ward", 9));
    EXPECT_TRUE(sees(nurse, "ward") && !sees(nurse, "lab"));

    for (const char *bad : {"ward", "ward:", ":1", "ward:0", "ward:9", "ward:03", "ward:4-1",
                            "ward:3-3", "ward:1-4+3", "ward:1,ward:2", "ward:1,", "ward:1+",
                            "ward:**", "ward:1-", "w.rd:1", "ward:1-4,store"}) {
        const auto e = config_error_of([&] {
            Tokens::parse(std::string("a viewer 0123456789abcdef\nb viewer 0123456789abcdeX ") +
                          bad);
        });
        EXPECT_NE(e.find("line 2: scope"), std::string::npos) << bad << ": " << e;
    }
}

TEST(Tokens, StreamTokensExpire) {
    std::atomic<std::uint64_t> now{5000};
    Tokens t([&] { return now.load(); });
    t.set(Tokens::parse("ops operator 0123456789abcdef\n"));
    const auto tok = t.issue_stream_token(*t.check("0123456789abcdef"), std::chrono::seconds(1));
    ASSERT_TRUE(t.check_stream_token(tok));
    EXPECT_EQ(t.check_stream_token(tok)->name, "ops");
    EXPECT_FALSE(t.check(tok)); // not a bearer token
    EXPECT_FALSE(t.check_stream_token("s0000"));
    now += 999;
    EXPECT_TRUE(t.check_stream_token(tok));
    now += 1;
    EXPECT_FALSE(t.check_stream_token(tok));
}

// A reload takes away what a removed or changed line granted, and only that.
TEST(Tokens, ReloadRevokesWhatATokenGranted) {
    Tokens t;
    t.set(Tokens::parse("ops operator 0123456789abcdef\nwall viewer fedcba9876543210\n"));
    const auto ops = *t.check("0123456789abcdef");
    const auto wall = *t.check("fedcba9876543210");
    const auto ops_stream = t.issue_stream_token(ops, std::chrono::seconds(60));
    const auto wall_stream = t.issue_stream_token(wall, std::chrono::seconds(60));
    // A client asking again and again cannot grow the table: its oldest go.
    std::vector<std::string> many;
    for (std::size_t i = 0; i < Tokens::kStreamTokensEach; ++i)
        many.push_back(t.issue_stream_token(wall, std::chrono::seconds(60)));
    EXPECT_FALSE(t.check_stream_token(wall_stream));
    EXPECT_TRUE(t.check_stream_token(many.back()));
    EXPECT_TRUE(t.check_stream_token(ops_stream));

    // wall removed, ops demoted to viewer: nothing they granted before holds.
    t.set(Tokens::parse("ops viewer 0123456789abcdef\n"));
    EXPECT_FALSE(t.check_stream_token(many.back()));
    EXPECT_FALSE(t.holds(wall));
    EXPECT_FALSE(t.holds(ops));
    EXPECT_FALSE(t.check_stream_token(ops_stream));
    const auto demoted = *t.check("0123456789abcdef");
    EXPECT_EQ(demoted.role, Role::Viewer);
    // The same file again changes nothing.
    const auto kept = t.issue_stream_token(demoted, std::chrono::seconds(60));
    t.set(Tokens::parse("ops viewer 0123456789abcdef\n"));
    EXPECT_TRUE(t.holds(demoted));
    EXPECT_EQ(t.check_stream_token(kept)->role, Role::Viewer);
    // A narrower scope is a new grant too.
    t.set(Tokens::parse("ops viewer 0123456789abcdef lab:*\n"));
    EXPECT_FALSE(t.holds(demoted));
    EXPECT_FALSE(t.check_stream_token(kept));
}

// mt19937_64, given 312 consecutive outputs, tells every later one: a token
// made from such a generator is known to whoever saw enough earlier ones.
// This plays that attacker against stream tokens.
TEST(Tokens, StreamTokensCannotBePredictedFromEarlierOnes) {
    constexpr std::uint64_t kUpper = 0xFFFFFFFF80000000ull, kLower = 0x7FFFFFFFull,
                            kA = 0xB5026F5AA96619E9ull;
    const auto untemper = [](std::uint64_t y) {
        y ^= y >> 43;
        y ^= (y << 37) & 0xFFF7EEE000000000ull;
        std::uint64_t x = y;
        for (int i = 0; i < 4; ++i) x = y ^ ((x << 17) & 0x71D67FFFEDA60000ull);
        y = x;
        for (int i = 0; i < 3; ++i) x = y ^ ((x >> 29) & 0x5555555555555555ull);
        return x;
    };
    const auto temper = [](std::uint64_t x) {
        x ^= (x >> 29) & 0x5555555555555555ull;
        x ^= (x << 17) & 0x71D67FFFEDA60000ull;
        x ^= (x << 37) & 0xFFF7EEE000000000ull;
        return x ^ (x >> 43);
    };
    { // The attacker is right about the generator itself.
        std::mt19937_64 g(12345);
        std::vector<std::uint64_t> x;
        for (int i = 0; i < 312; ++i) x.push_back(untemper(g()));
        const auto y = (x[0] & kUpper) | (x[1] & kLower);
        ASSERT_EQ(temper(x[156] ^ (y >> 1) ^ ((y & 1) ? kA : 0)), g());
    }
    Tokens t;
    t.set(Tokens::parse("wall viewer fedcba9876543210\n"));
    const auto wall = *t.check("fedcba9876543210");
    std::vector<std::string> tokens;
    for (int i = 0; i < 157; ++i)
        tokens.push_back(t.issue_stream_token(wall, std::chrono::seconds(60)));
    for (auto &tok : tokens) ASSERT_GE(tok.size(), 1u + 32u) << "fewer than 128 bits: " << tok;
    // Each token's 128 bits as two outputs, in either order.
    for (bool swap : {false, true}) {
        std::vector<std::uint64_t> out;
        for (auto &tok : tokens) {
            const auto a = std::stoull(tok.substr(1, 16), nullptr, 16),
                       b = std::stoull(tok.substr(17, 16), nullptr, 16);
            out.push_back(swap ? b : a);
            out.push_back(swap ? a : b);
        }
        std::vector<std::uint64_t> x;
        for (std::size_t i = 0; i < 312; ++i) x.push_back(untemper(out[i]));
        for (std::size_t k = 0; k < 2; ++k) {
            const auto y = (x[k] & kUpper) | (x[k + 1] & kLower);
            x.push_back(x[k + 156] ^ (y >> 1) ^ ((y & 1) ? kA : 0));
        }
        EXPECT_FALSE(temper(x[312]) == out[312] && temper(x[313]) == out[313])
            << "the next stream token was predicted";
    }
}

} // namespace
} // namespace cabinetd
