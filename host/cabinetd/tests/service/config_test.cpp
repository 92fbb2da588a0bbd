#include "config.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

namespace cabinetd {
namespace {

using test_support::config_error_of;
using test_support::TempDir;

// The files these tests write, in a directory that goes when the process
// ends, so that no run leaves files behind.
std::string write_temp(const char *name, const std::string &text) {
    static const TempDir scratch("config");
    return scratch.file(name, text, 0600);
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
        "shop": {"endpoint": "sim", "held_open_s": 5, "reason_doors": [8, 1], "two_person_doors": [2]}},
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
    EXPECT_EQ(cfg.cabinets[2].reason_doors, 0x81);
    EXPECT_EQ(cfg.cabinets[2].two_person_doors, 0x02);
    EXPECT_EQ(cfg.cabinets[1].reason_doors, 0);
    EXPECT_NO_THROW(validate(cfg));

    for (const char *bad :
         {R"([1])",
          R"({"cabinets": ["lab"]})",
          R"({"db": 3})",
          R"({"retention_days": 0})",
          R"({"retention_days": 4294967297})", // not 1
          R"({"db": "journal.db\u0000.old"})", // the system would open journal.db
          R"({"cabinets": {"a": "/dev/ttyUSB0\u0000"}})",
          R"({"listne": "x"})",
          R"({"journal_sync": "sometimes"})",
          R"({"max_db_mb": 1})",
          R"({"max_db_mb": "256"})",
          R"({"cabinets": {"a": {"held_open_s": 5}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "held_open_s": 0}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "held_open": 5}}})",
          "{",
          R"({"cabinets": {"a": {"endpoint": "sim", "reason_doors": [8, 8]}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "reason_doors": [0]}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "reason_doors": [9]}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "reason_doors": ["8"]}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "reason_doors": 8}}})",
          R"({"cabinets": {"a": {"endpoint": "sim", "two_person_doors": [8.0]}}})",
          R"({"max_connections": 0})",
          R"({"max_token_streams": "64"})",
          R"({"max_viewer_connections": -1})",
          R"({"max_connections": 1e9})"}) {
        Config c;
        EXPECT_THROW(load_config_file(write_temp("bad.json", bad), c), ConfigError) << bad;
    }
    Config none;
    EXPECT_THROW(validate(none), ConfigError);
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
        const auto e = config_error_of(
            [&, &text = text] { load_config_file(write_temp("twice.json", text), c); });
        EXPECT_NE(e.find(key), std::string::npos) << text << ": " << e;
    }
    Config ok;
    load_config_file(write_temp("each.json", R"({"cabinets": {"a": {"endpoint": "sim"},
                                                               "b": {"endpoint": "sim"}}})"),
                     ok);
    EXPECT_EQ(ok.cabinets.size(), 2u);
}

// The config file names the token file: writable by all, it is refused
// whatever it holds. Readable by all is reported, for the MQTT password.
TEST(GuardedFiles, ConfigOpenToEveryUser) {
    const TempDir dir;
    const auto with_password =
        R"({"mqtt": {"url": "mqtt://broker", "username": "c", "password": "secret"}})";
    Config c;
    const auto path = dir.file("cabinetd.json", with_password, 0646);
    EXPECT_NE(
        config_error_of([&] { load_config_file(path, c); }).find(path + " is writable by every"),
        std::string::npos);
    dir.file("cabinetd.json", R"({"db": "x.db"})", 0606);
    EXPECT_NE(config_error_of([&] { load_config_file(path, c); }).find("writable"),
              std::string::npos);
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
        return config_error_of([&] { validate(c); }) != "accepted";
    };
    EXPECT_TRUE(refused([](auto &l) { l.max_viewer_connections = 351; }));
    EXPECT_TRUE(refused([](auto &l) { l.max_unauthenticated = 500; }));
    EXPECT_TRUE(refused([](auto &l) { l.max_token_streams = 51; }));
    EXPECT_TRUE(refused([](auto &l) { l.max_connections = 8; }));
    EXPECT_FALSE(refused([](auto &l) { l.max_viewer_connections = 350; }));
}

TEST(Config, ListenAddresses) {
    EXPECT_EQ(parse_listen("127.0.0.1:8080").port, 8080);
    EXPECT_EQ(parse_listen("[::1]:0").host, "::1");
    for (const char *bad : {"8080", "host:", ":80", "h:99999", "h:8x"})
        EXPECT_THROW(parse_listen(bad), ConfigError) << bad;
}

} // namespace
} // namespace cabinetd
