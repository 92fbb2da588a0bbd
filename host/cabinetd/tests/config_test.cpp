#include "config.h"
#include "guarded_file.h"
#include "http_query.h"
#include "message_cache.h"
#include "token_places.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

#include <unistd.h>

namespace cabinetd {
namespace {

std::string write_temp(const std::string &name, const std::string &text) {
    const auto p = std::filesystem::temp_directory_path() /
        ("cabinetd-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(p) << text;
    return p.string();
}

TEST(Config, CabinetsFromTheCommandLine) {
    auto c = parse_cabinet("lab=/dev/serial/by-id/usb-FTDI-if00");
    EXPECT_EQ(c.name, "lab");
    EXPECT_EQ(c.endpoint, "/dev/serial/by-id/usb-FTDI-if00");
    EXPECT_EQ(parse_cabinet("demo=tcp:127.0.0.1:5000").endpoint, "tcp:127.0.0.1:5000");
    for (const char *bad : {"lab", "=/dev/ttyACM0", "la b=/dev/ttyACM0", "lab=ttyACM0",
                            "lab=tcp:host", "lab=tcp:host:port", "lab=tcp::5000"})
        EXPECT_THROW(parse_cabinet(bad), ConfigError) << bad;
}

TEST(Config, FileFillsWhatTheCommandLineLeftOpen) {
    Config cfg;
    cfg.listen = "127.0.0.1:9000"; // given on the command line
    cfg.cabinets.push_back(parse_cabinet("lab=tcp:127.0.0.1:1"));
    load_config_file(
        write_temp("cfg.json",
                   R"({"cabinets": {"lab": {"endpoint": "/dev/ttyUSB9", "held_open_s": 9},
        "demo": "tcp:127.0.0.1:5000",
        "shop": {"endpoint": "sim", "held_open_s": 5}},
        "db": "/var/lib/cabinetd/j.db", "listen": "0.0.0.0:80", "retention_days": 30, "journal_sync": "full",
        "max_db_mb": 64})"),
        cfg);
    EXPECT_EQ(cfg.listen, "127.0.0.1:9000");
    EXPECT_EQ(cfg.db, "/var/lib/cabinetd/j.db");
    EXPECT_EQ(cfg.retention, std::chrono::hours(24 * 30));
    EXPECT_TRUE(cfg.journal_full_sync);
    EXPECT_EQ(cfg.max_db_mb, 64u);
    ASSERT_EQ(cfg.cabinets.size(), 3u);
    EXPECT_EQ(cfg.cabinets[0].endpoint, "tcp:127.0.0.1:1");
    EXPECT_EQ(cfg.cabinets[0].held_open, std::chrono::seconds(9)); // the command line cannot set it
    EXPECT_EQ(cfg.cabinets[2].endpoint, "sim");
    EXPECT_EQ(cfg.cabinets[2].held_open, std::chrono::seconds(5));
    EXPECT_NO_THROW(validate(cfg));

    for (const char *bad :
         {R"([1])", R"({"cabinets": ["lab"]})", R"({"db": 3})", R"({"retention_days": 0})",
          R"({"listne": "x"})", R"({"journal_sync": "sometimes"})", R"({"max_db_mb": 1})",
          R"({"max_db_mb": "256"})", R"({"cabinets": {"a": {"held_open_s": 5}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "held_open_s": 0}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "held_open": 5}}})", "{"}) {
        Config c;
        EXPECT_THROW(load_config_file(write_temp("bad.json", bad), c), ConfigError) << bad;
    }
    Config none;
    EXPECT_THROW(validate(none), ConfigError);
}

std::string error_of(const std::function<void()> &f) {
    try {
        f();
    } catch (const ConfigError &e) {
        return e.what();
    }
    return "accepted";
}

// A key given twice is refused wherever it is, naming it; keys are each
// object's own.
TEST(Config, AKeyGivenTwiceIsRefusedAtAnyDepth) {
    const std::pair<const char *, const char *> bad[] = {
        {R"({"db": "a.db", "db": "b.db"})", "\"db\""},
        {R"({"db": "a.db", "\u0064b": "b.db"})", "\"db\""},
        {R"({"cabinets": {"lab": "sim", "lab": "tcp:127.0.0.1:1"}})", "\"lab\""},
        {R"({"mqtt": {"url": "mqtt://b", "password": "x", "password": "y"}})", "\"password\""}};
    for (auto &[text, key] : bad) {
        Config c;
        const auto e = error_of([&] { load_config_file(write_temp("twice.json", text), c); });
        EXPECT_NE(e.find(key), std::string::npos) << text << ": " << e;
    }
    Config ok;
    load_config_file(write_temp("each.json", R"({"cabinets": {"a": {"endpoint": "sim"},
                                                               "b": {"endpoint": "sim"}}})"),
                     ok);
    EXPECT_EQ(ok.cabinets.size(), 2u);
}

// A private directory of this test's own, removed with what it holds.
struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
        ("cabinetd-" + std::to_string(::getpid()) + "-guarded");
    TempDir() {
        std::filesystem::create_directory(path);
        std::filesystem::permissions(path, std::filesystem::perms(0700));
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string file(const char *name, const std::string &text, unsigned mode) const {
        const auto p = path / name;
        std::ofstream(p) << text;
        std::filesystem::permissions(p, std::filesystem::perms(mode));
        return p.string();
    }
};

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
    const auto e = error_of([&] { t.load(path); });
    EXPECT_NE(e.find(path + " is writable by every user"), std::string::npos) << e;
    EXPECT_TRUE(t.check("0123456789abcdef"));
    EXPECT_FALSE(t.check("fedcba9876543210"));

    // Anyone could put another file in its place: in a directory that all
    // may write, or behind a symlink there. A sticky one (/tmp) is fine.
    std::filesystem::permissions(path, std::filesystem::perms(0600));
    std::filesystem::permissions(dir.path, std::filesystem::perms(0777));
    EXPECT_NE(error_of([&] { t.load(path); }).find(dir.path.string() + " is writable"),
              std::string::npos);
    std::filesystem::permissions(dir.path, std::filesystem::perms(01777));
    EXPECT_EQ(error_of([&] { t.load(path); }), "accepted");
    std::filesystem::create_directory(dir.path / "open");
    std::filesystem::permissions(dir.path / "open", std::filesystem::perms(0777));
    std::filesystem::create_symlink(path, dir.path / "open" / "link");
    EXPECT_NE(error_of([&] { t.load((dir.path / "open" / "link").string()); }).find("writable"),
              std::string::npos);
    // Only a regular file: a device or a FIFO (which would block the reload)
    // is refused.
    EXPECT_NE(error_of([&] { t.load("/dev/null"); }).find("not a regular file"), std::string::npos);
}

// The config file names the token file: writable by all, it is refused
// whatever it holds. Readable by all is reported, for the MQTT password.
TEST(GuardedFiles, ConfigOpenToEveryUser) {
    const TempDir dir;
    const auto with_password =
        R"({"mqtt": {"url": "mqtt://broker", "username": "c", "password": "secret"}})";
    Config c;
    const auto path = dir.file("cabinetd.json", with_password, 0646);
    EXPECT_NE(error_of([&] { load_config_file(path, c); }).find(path + " is writable by every"),
              std::string::npos);
    dir.file("cabinetd.json", R"({"db": "x.db"})", 0606);
    EXPECT_NE(error_of([&] { load_config_file(path, c); }).find("writable"), std::string::npos);
    dir.file("cabinetd.json", with_password, 0644);
    load_config_file(path, c);
    EXPECT_EQ(c.mqtt.password, "secret");
}

TEST(Config, ConnectionLimitsFitTogether) {
    Config cfg;
    cfg.cabinets.push_back(parse_cabinet("lab=sim"));
    cfg.limits.max_token_streams = 8; // given on the command line
    load_config_file(
        write_temp("limits.json", R"({"max_connections": 500, "max_unauthenticated": 100,
        "max_viewer_connections": 200, "max_token_connections": 50, "max_token_streams": 20})"),
        cfg);
    EXPECT_EQ(cfg.limits.max_connections, 500u);
    EXPECT_EQ(cfg.limits.max_viewer_connections, 200u);
    EXPECT_EQ(cfg.limits.max_token_streams, 8u);
    EXPECT_NO_THROW(validate(cfg));
    EXPECT_NO_THROW(validate([&] {
        auto c = cfg;
        c.limits = ConnectionLimits{};
        return c;
    }())); // the defaults fit

    // Every viewer and one operator token must fit beside the places kept
    // for connections without a token, a token's streams in its connections.
    const auto refused = [&](auto change) {
        auto c = cfg;
        change(c.limits);
        return [&] {
            try {
                validate(c);
            } catch (const ConfigError &) {
                return true;
            }
            return false;
        }();
    };
    EXPECT_TRUE(refused([](auto &l) { l.max_viewer_connections = 351; }));
    EXPECT_TRUE(refused([](auto &l) { l.max_unauthenticated = 500; }));
    EXPECT_TRUE(refused([](auto &l) { l.max_token_streams = 51; }));
    EXPECT_TRUE(refused([](auto &l) { l.max_connections = 8; }));
    EXPECT_FALSE(refused([](auto &l) { l.max_viewer_connections = 350; }));
    for (const char *bad : {R"({"max_connections": 0})", R"({"max_token_streams": "64"})",
                            R"({"max_viewer_connections": -1})", R"({"max_connections": 1e9})"}) {
        Config c;
        EXPECT_THROW(load_config_file(write_temp("bad.json", bad), c), ConfigError) << bad;
    }
}

// Each token has its cap, the viewers together theirs, and every token
// together leave the places kept for connections without one; a place goes
// back when its connection goes, wherever its handle was moved.
TEST(TokenPlaces, NoTokenNorEveryViewerTakesEveryPlace) {
    TokenPlaces places(ConnectionLimits{.max_connections = 20,
                                        .max_unauthenticated = 5,
                                        .max_viewer_connections = 6,
                                        .max_token_connections = 4,
                                        .max_token_streams = 2});
    const Identity v1{"wall", Role::Viewer, 1}, v2{"kiosk", Role::Viewer, 2};
    const Identity o1{"ops", Role::Operator, 3}, o2{"ops2", Role::Operator, 4},
        o3{"ops3", Role::Operator, 5};
    std::vector<Place> held;
    const auto take = [&](const Identity &who) -> std::optional<PlaceRefusal> {
        auto got = places.take(who);
        if (auto *why = std::get_if<PlaceRefusal>(&got)) return *why;
        held.push_back(std::move(std::get<Place>(got)));
        return std::nullopt;
    };
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(take(v1));
    EXPECT_EQ(take(v1), PlaceRefusal::TokenConnections);
    EXPECT_FALSE(take(v2));
    EXPECT_FALSE(take(v2));
    EXPECT_EQ(take(v2), PlaceRefusal::ViewerConnections);
    for (auto *op : {&o1, &o2})
        for (int i = 0; i < 4; ++i) EXPECT_FALSE(take(*op));
    EXPECT_FALSE(take(o3));
    EXPECT_EQ(take(o3), PlaceRefusal::TokenPlaces); // 15 of 20: 5 kept for no token

    EXPECT_FALSE(held[0].take_stream());
    EXPECT_FALSE(held[1].take_stream());
    EXPECT_EQ(held[2].take_stream(), PlaceRefusal::TokenStreams);
    Place moved = std::move(held[0]);
    held[0].reset(); // a moved-from handle holds nothing
    EXPECT_EQ(held[3].take_stream(), PlaceRefusal::TokenStreams);
    moved.reset(); // the stream and the connection go back together
    EXPECT_FALSE(held[3].take_stream());
    EXPECT_FALSE(take(v1));

    const auto counts = places.counts();
    EXPECT_EQ(counts.held, 15u);
    EXPECT_EQ(counts.viewers, 6u);
    EXPECT_EQ(counts.refused, (std::array<std::uint64_t, kPlaceRefusals>{1, 2, 1, 1}));
    held.clear();
    EXPECT_EQ(places.counts().held, 0u);
}

TEST(Config, ListenAddresses) {
    EXPECT_EQ(parse_listen("127.0.0.1:8080").port, 8080);
    EXPECT_EQ(parse_listen("[::1]:0").host, "::1");
    for (const char *bad : {"8080", "host:", ":80", "h:99999", "h:8x"})
        EXPECT_THROW(parse_listen(bad), ConfigError) << bad;
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
        try {
            Tokens::parse(text);
        } catch (const ConfigError &e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(line_of("a viewer 0123456789abcdef\nb admin 0123456789abcdeX").find("line 2"),
              std::string::npos);
    EXPECT_NE(line_of("a viewer short").find("16"), std::string::npos);
    EXPECT_NE(line_of("a viewer 0123456789abcdef extra").find("NAME ROLE TOKEN"),
              std::string::npos);
    EXPECT_NE(line_of("a viewer 0123456789abcdef\nb operator 0123456789abcdef").find("twice"),
              std::string::npos);
}

TEST(Tokens, StreamTokensExpire) {
    Tokens t;
    t.set(Tokens::parse("ops operator 0123456789abcdef\n"));
    const auto tok = t.issue_stream_token(*t.check("0123456789abcdef"), std::chrono::seconds(1));
    ASSERT_TRUE(t.check_stream_token(tok));
    EXPECT_EQ(t.check_stream_token(tok)->name, "ops");
    EXPECT_FALSE(t.check(tok)); // not a bearer token
    EXPECT_FALSE(t.check_stream_token("s0000"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
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

// Clients catching up from far back, while live records keep coming, never
// grow the stream's message cache past its capacity.
TEST(MessageCache, StaysWithinItsCapacityOnEveryPath) {
    MessageCache cache(8);
    std::size_t formatted = 0;
    const auto get = [&](std::int64_t c) {
        return cache.get(c, [&] {
            ++formatted;
            return std::to_string(c);
        });
    };
    for (std::int64_t live = 1000; live < 1010; ++live) {
        EXPECT_EQ(get(live), std::to_string(live));
        for (std::int64_t old = 1; old <= 100; ++old) EXPECT_EQ(get(old), std::to_string(old));
        EXPECT_LE(cache.size(), 8u);
    }
    formatted = 0;
    EXPECT_EQ(get(1009), "1009"); // the newest are held, formatted once
    EXPECT_EQ(get(1004), "1004");
    EXPECT_EQ(formatted, 0u);
}

TEST(Query, DecodesAndRejectsMalformed) {
    auto q = parse_query("/api/events?cabinet=lab%2D1&after=12&kind=event,gap&flag");
    ASSERT_TRUE(q);
    EXPECT_EQ((*q)["cabinet"], "lab-1");
    EXPECT_EQ((*q)["after"], "12");
    EXPECT_EQ((*q)["kind"], "event,gap");
    EXPECT_EQ(q->count("flag"), 1u);
    EXPECT_TRUE(parse_query("/api/events")->empty());
    EXPECT_FALSE(parse_query("/x?a=%G1"));
    EXPECT_FALSE(parse_query("/x?a=%4"));
    EXPECT_FALSE(parse_query("/x?after=1&after=2")); // which one?
}

} // namespace
} // namespace cabinetd
