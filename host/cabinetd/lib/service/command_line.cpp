#include "command_line.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <tuple>

namespace cabinetd {
namespace {

// The options as given: empty or 0 where the command line says nothing, so
// that the config file can fill them in.
struct Given {
    std::vector<std::string> cabinets, allowed_hosts;
    std::string config_file, db, listen, tokens, web_root, journal_sync, time_zone;
    unsigned retention_days = 0;
    std::uint64_t max_db_mb = 0;
    unsigned request_timeout_s = 15;
    unsigned replay_window_ms = 10000;
    unsigned approval_expiry_s = 60;
    ConnectionLimits limits{0, 0, 0, 0, 0};
    MqttConfig mqtt;
};

void add_service_options(CLI::App &app, Given &g) {
    app.add_option("--cabinet", g.cabinets,
                   "NAME=/dev/serial/by-id/... or NAME=tcp:HOST:PORT (repeatable)");
    app.add_option("--config", g.config_file, "JSON configuration file")->check(CLI::ExistingFile);
    app.add_option("--db", g.db, "journal database (default cabinetd.db)");
    app.add_option("--listen", g.listen, "HOST:PORT to serve on (default 127.0.0.1:8080)");
    app.add_option("--tokens", g.tokens,
                   "token file: NAME ROLE TOKEN [SCOPE] [alarms=ALARMS] per line");
    app.add_option("--time-zone", g.time_zone,
                   "the site's time zone (e.g. Europe/Berlin), which tokens' hours are in "
                   "(default: the system's)");
    app.add_option("--web-root", g.web_root, "folder of the operator page's files");
    app.add_option(
        "--allowed-host", g.allowed_hosts,
        "a Host name (NAME or NAME:PORT) clients may use besides the listen address and localhost (repeatable)");
    app.add_option("--retention-days", g.retention_days, "days the journal keeps (default 90)")
        ->check(CLI::Range(1u, 36500u));
    app.add_option("--max-db-mb", g.max_db_mb,
                   "size cap of the journal in MB; the oldest records go first (default 256)")
        ->check(CLI::Range(kMinDbMb, kMaxDbMb));
    app.add_option("--request-timeout-s", g.request_timeout_s,
                   "seconds a client has to send a whole request (default 15)")
        ->check(CLI::Range(1u, 3600u));
    app.add_option("--replay-window-ms", g.replay_window_ms,
                   "milliseconds a keyed open's answer is kept in memory for its retries; "
                   "later ones are answered from the journal (default 10000)")
        ->check(CLI::Range(100u, 3600000u));
    app.add_option("--approval-expiry-s", g.approval_expiry_s,
                   "seconds an open of a two-person door waits for a second operator's "
                   "approval before it expires (default 60)")
        ->check(CLI::Range(1u, 3600u));
    app.add_option(
           "--journal-sync", g.journal_sync,
           "normal: commits survive a crash of cabinetd; full: also a power loss, answers slower")
        ->check(CLI::IsMember({"normal", "full"}));
}

// The connection limits; what is not given stays 0 and comes from the
// config file, or is the default.
void add_limit_options(CLI::App &app, ConnectionLimits &given) {
    using L = ConnectionLimits;
    const L def;
    const std::tuple<const char *, std::size_t L::*, const char *> options[] = {
        {"--max-connections", &L::max_connections, "HTTP connections in all"},
        {"--max-unauthenticated", &L::max_unauthenticated,
         "connections without a valid token; past it the one silent longest is closed"},
        {"--max-viewer-connections", &L::max_viewer_connections,
         "connections of every viewer token together"},
        {"--max-token-connections", &L::max_token_connections,
         "connections of one token, event streams included"},
        {"--max-token-streams", &L::max_token_streams, "event streams of one token"}};
    for (auto &[name, field, what] : options)
        app.add_option(name, given.*field, fmt::format("{} (default {})", what, def.*field))
            ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
}

// The broker's user name and password are the config file's alone: on a
// command line every user of the machine could read them.
void add_mqtt_options(CLI::App &app, MqttConfig &mqtt) {
    app.add_option("--mqtt", mqtt.url,
                   "join an MQTT broker: mqtt://HOST:PORT or mqtts://HOST:PORT");
    app.add_option("--mqtt-ca-file", mqtt.ca_file,
                   "mqtts: the CA certificate that signed the broker's");
    app.add_option("--mqtt-prefix", mqtt.prefix, "topic prefix (default tessaro/{board_id}/)");
    app.add_flag("--mqtt-commands", mqtt.commands,
                 "take open and clear_fault commands from the broker");
    app.add_flag("--mqtt-discovery", mqtt.discovery, "publish Home Assistant discovery");
    app.add_option("--mqtt-discovery-prefix", mqtt.discovery_prefix,
                   "Home Assistant's discovery prefix (default homeassistant)");
    app.add_option("--mqtt-ha-status-topic", mqtt.ha_status_topic,
                   "Home Assistant's status topic (default homeassistant/status)");
    app.add_option("--mqtt-journal-head-s", mqtt.journal_head_s,
                   "seconds between publications of the journal's chain head to "
                   "<prefix>journal/head, retained (default 300)")
        ->check(CLI::Range(1u, 86400u));
}

void apply_limits(const ConnectionLimits &given, ConnectionLimits &limits) {
    using L = ConnectionLimits;
    for (auto field : {&L::max_connections, &L::max_unauthenticated, &L::max_viewer_connections,
                       &L::max_token_connections, &L::max_token_streams})
        if (given.*field) limits.*field = given.*field;
}

CommandLine configuration(const Given &g) {
    CommandLine out;
    Config &cfg = out.config;
    for (auto &c : g.cabinets) cfg.cabinets.push_back(parse_cabinet(c));
    if (!g.db.empty()) cfg.db = g.db;
    if (!g.listen.empty()) cfg.listen = g.listen;
    if (!g.tokens.empty()) cfg.tokens = g.tokens;
    if (!g.web_root.empty()) cfg.web_root = g.web_root;
    if (!g.time_zone.empty()) cfg.time_zone = g.time_zone;
    cfg.allowed_hosts = g.allowed_hosts;
    if (g.journal_sync == "full") cfg.journal_full_sync = true;
    if (g.retention_days) cfg.retention = std::chrono::hours(24 * g.retention_days);
    if (g.max_db_mb) cfg.max_db_mb = g.max_db_mb;
    apply_limits(g.limits, cfg.limits);
    cfg.mqtt = g.mqtt;
    if (!g.config_file.empty()) load_config_file(g.config_file, cfg);
    out.http.request_timeout = std::chrono::seconds(g.request_timeout_s);
    out.link.replay_window = std::chrono::milliseconds(g.replay_window_ms);
    out.http.approvals.expiry = std::chrono::seconds(g.approval_expiry_s);
    return out;
}

} // namespace

std::variant<CommandLine, int> read_command_line(int argc, const char *const *argv) {
    CLI::App app{
        "cabinetd: keeps cabinets in service, journals every event and serves an HTTP API"};
    Given given;
    add_service_options(app, given);
    add_limit_options(app, given.limits);
    add_mqtt_options(app, given.mqtt);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e); // --help and --version: 0
    }
    return configuration(given);
}

} // namespace cabinetd
