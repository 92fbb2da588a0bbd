// The stream tokens bearer tokens hand out: expiry, what a reload takes
// away, and that no token tells the next.
#include "temp_dir.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>

namespace cabinetd {
namespace {

std::vector<TokenLine> lines(const std::string &text) { return *parse_token_file(text); }

TEST(Tokens, StreamTokensExpire) {
    std::atomic<std::uint64_t> now{5000};
    Policy p;
    Tokens t(p, [&] { return now.load(); });
    p.set(lines("ops operator 0123456789abcdef\n"));
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
    Policy p;
    Tokens t(p);
    const auto reload = [&](const char *text) {
        p.set(lines(text));
        t.reloaded();
    };
    reload("ops operator 0123456789abcdef\nwall viewer fedcba9876543210\n");
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
    reload("ops viewer 0123456789abcdef\n");
    EXPECT_FALSE(t.check_stream_token(many.back()));
    EXPECT_FALSE(t.holds(wall));
    EXPECT_FALSE(t.holds(ops));
    EXPECT_FALSE(t.check_stream_token(ops_stream));
    const auto demoted = *t.check("0123456789abcdef");
    EXPECT_EQ(demoted.role, Role::Viewer);
    // The same file again changes nothing.
    const auto kept = t.issue_stream_token(demoted, std::chrono::seconds(60));
    reload("ops viewer 0123456789abcdef\n");
    EXPECT_TRUE(t.holds(demoted));
    EXPECT_EQ(t.check_stream_token(kept)->role, Role::Viewer);
    // A narrower scope is a new grant too.
    reload("ops viewer 0123456789abcdef lab:*\n");
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
    Policy p;
    Tokens t(p);
    p.set(lines("wall viewer fedcba9876543210\n"));
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
