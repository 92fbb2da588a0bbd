#include "config.h"
#include "service.h"
#include "tokens.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace cabinetd {
namespace {

std::string write_temp(const std::string &name, const std::string &text) {
    const auto p = std::filesystem::temp_directory_path() / ("cabinetd-" + std::to_string(::getpid()) + "-" + name);
    std::ofstream(p) << text;
    return p.string();
}

TEST(Config, CabinetsFromTheCommandLine) {
    auto c = parse_cabinet("lab=/dev/serial/by-id/usb-FTDI-if00");
    EXPECT_EQ(c.name, "lab");
    EXPECT_EQ(c.endpoint, "/dev/serial/by-id/usb-FTDI-if00");
    EXPECT_EQ(parse_cabinet("demo=tcp:127.0.0.1:5000").endpoint, "tcp:127.0.0.1:5000");
    for (const char *bad : {"lab", "=/dev/ttyACM0", "la b=/dev/ttyACM0", "lab=ttyACM0", "lab=tcp:host",
                            "lab=tcp:host:port", "lab=tcp::5000"})
        EXPECT_THROW(parse_cabinet(bad), ConfigError) << bad;
}

TEST(Config, FileFillsWhatTheCommandLineLeftOpen) {
    Config cfg;
    cfg.listen = "127.0.0.1:9000"; // given on the command line
    cfg.cabinets.push_back(parse_cabinet("lab=tcp:127.0.0.1:1"));
    load_config_file(write_temp("cfg.json", R"({"cabinets": {"lab": "/dev/ttyUSB9", "demo": "tcp:127.0.0.1:5000"},
        "db": "/var/lib/cabinetd/j.db", "listen": "0.0.0.0:80", "retention_days": 30, "journal_sync": "full",
        "max_db_mb": 64})"),
                     cfg);
    EXPECT_EQ(cfg.listen, "127.0.0.1:9000");
    EXPECT_EQ(cfg.db, "/var/lib/cabinetd/j.db");
    EXPECT_EQ(cfg.retention, std::chrono::hours(24 * 30));
    EXPECT_TRUE(cfg.journal_full_sync);
    EXPECT_EQ(cfg.max_db_mb, 64u);
    ASSERT_EQ(cfg.cabinets.size(), 2u);
    EXPECT_EQ(cfg.cabinets[0].endpoint, "tcp:127.0.0.1:1");
    EXPECT_NO_THROW(validate(cfg));

    for (const char *bad : {R"([1])", R"({"cabinets": ["lab"]})", R"({"db": 3})", R"({"retention_days": 0})",
                            R"({"listne": "x"})", R"({"journal_sync": "sometimes"})", R"({"max_db_mb": 1})",
                            R"({"max_db_mb": "256"})", "{"}) {
        Config c;
        EXPECT_THROW(load_config_file(write_temp("bad.json", bad), c), ConfigError) << bad;
    }
    Config none;
    EXPECT_THROW(validate(none), ConfigError);
}

TEST(Config, ListenAddresses) {
    EXPECT_EQ(parse_listen("127.0.0.1:8080").port, 8080);
    EXPECT_EQ(parse_listen("[::1]:0").host, "::1");
    for (const char *bad : {"8080", "host:", ":80", "h:99999", "h:8x"}) EXPECT_THROW(parse_listen(bad), ConfigError) << bad;
}

TEST(Tokens, FileGivesNamesAndRoles) {
    Tokens t;
    t.set(Tokens::parse("# who role token\n\nops operator 0123456789abcdef\r\nboard viewer fedcba9876543210xx\n"));
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
    EXPECT_NE(line_of("a viewer 0123456789abcdef\nb admin 0123456789abcdeX").find("line 2"), std::string::npos);
    EXPECT_NE(line_of("a viewer short").find("16"), std::string::npos);
    EXPECT_NE(line_of("a viewer 0123456789abcdef extra").find("NAME ROLE TOKEN"), std::string::npos);
    EXPECT_NE(line_of("a viewer 0123456789abcdef\nb operator 0123456789abcdef").find("twice"), std::string::npos);
}

TEST(Tokens, StreamTokensExpire) {
    Tokens t;
    const auto tok = t.issue_stream_token({"ops", Role::Operator}, std::chrono::seconds(1));
    ASSERT_TRUE(t.check_stream_token(tok));
    EXPECT_EQ(t.check_stream_token(tok)->name, "ops");
    EXPECT_FALSE(t.check(tok)); // not a bearer token
    EXPECT_FALSE(t.check_stream_token("s0000"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_FALSE(t.check_stream_token(tok));
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
}

} // namespace
} // namespace cabinetd
