// cabinetd: keeps cabinets in service, journals what they say and serves the
// HTTP API. Everything of substance is in the library beside this file.
#include "log.h"
#include "service.h"

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <tuple>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

using cabinetd::log;

namespace {

// Exit statuses (the unit's RestartPreventExitStatus= names kUnusable).
constexpr int kTransient = 1; // may work when tried again
constexpr int kInUse = 75;    // another cabinetd holds the journal (EX_TEMPFAIL)
constexpr int kUnusable =
    78; // a configuration error, or a journal that cannot be used as it is (EX_CONFIG)

int exit_status(const cabinetd::JournalError &e) {
    switch (e.kind()) {
    case cabinetd::JournalError::Kind::InUse: return kInUse;
    case cabinetd::JournalError::Kind::Unusable: return kUnusable;
    case cabinetd::JournalError::Kind::Transient: break;
    }
    return kTransient;
}

// The watchdog: WATCHDOG=1 goes to systemd only while every part of the
// service has shown progress within the interval; a part that is stuck is
// named in the log (once), and so is its recovery.
class Watchdog {
public:
    Watchdog(const cabinetd::Service &svc, std::uint64_t interval_ms)
            : svc_(svc), interval_ms_(interval_ms) {}

    void tick() {
        const auto now = cabinetd::steady_ms();
        std::vector<std::string> stuck;
        for (const auto *p : svc_.progress_marks())
            if (now - std::min(now, p->last_ms()) > interval_ms_)
                stuck.push_back(
                    fmt::format("{} (no progress for {} ms)", p->part(), now - p->last_ms()));
        if (stuck.empty()) {
            if (stuck_) log(5, "watchdog: every part shows progress again; pinging systemd again");
            stuck_ = false;
            sd_notify(0, "WATCHDOG=1");
            return;
        }
        if (!stuck_)
            log(2,
                fmt::format("watchdog: stuck: {}; not pinging systemd, which restarts the service",
                            fmt::join(stuck, ", ")));
        stuck_ = true;
    }

private:
    const cabinetd::Service &svc_;
    std::uint64_t interval_ms_;
    bool stuck_ = false;
};

void raise_fd_limit() {
    // Every connection and stream is a descriptor; the default soft limit of
    // 1024 would refuse clients long before anything else runs short.
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// The page's files where the install puts them beside the program
// (bin/cabinetd and share/cabinetd/web), or, for the program in the build
// tree where it was built, the page in the source tree it was built from.
std::string installed_web_root() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    const auto web = exe.parent_path().parent_path() / "share" / "cabinetd" / "web";
    if (std::filesystem::exists(web / "index.html", ec)) return web.string();
#if defined(CABINETD_BUILD_DIR) && defined(CABINETD_SOURCE_WEB_ROOT)
    if (std::filesystem::equivalent(exe.parent_path(), CABINETD_BUILD_DIR, ec) &&
        std::filesystem::exists(std::filesystem::path(CABINETD_SOURCE_WEB_ROOT) / "index.html", ec))
        return CABINETD_SOURCE_WEB_ROOT;
#endif
    return {};
}

// The connection limits on the command line; what is not given stays 0 and
// comes from the config file, or is the default.
void add_limit_options(CLI::App &app, cabinetd::ConnectionLimits &given) {
    using L = cabinetd::ConnectionLimits;
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

void apply_limits(const cabinetd::ConnectionLimits &given, cabinetd::ConnectionLimits &limits) {
    using L = cabinetd::ConnectionLimits;
    for (auto field : {&L::max_connections, &L::max_unauthenticated, &L::max_viewer_connections,
                       &L::max_token_connections, &L::max_token_streams})
        if (given.*field) limits.*field = given.*field;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "cabinetd: keeps cabinets in service, journals every event and serves an HTTP API"};
    std::vector<std::string> cabinets, allowed_hosts;
    std::string config_file, db, listen, tokens, web_root;
    unsigned retention_days = 0;
    std::uint64_t max_db_mb = 0;
    unsigned request_timeout_s = 15;
    std::string journal_sync;
    app.add_option("--cabinet", cabinets,
                   "NAME=/dev/serial/by-id/... or NAME=tcp:HOST:PORT (repeatable)");
    app.add_option("--config", config_file, "JSON configuration file")->check(CLI::ExistingFile);
    app.add_option("--db", db, "journal database (default cabinetd.db)");
    app.add_option("--listen", listen, "HOST:PORT to serve on (default 127.0.0.1:8080)");
    app.add_option("--tokens", tokens, "token file: NAME ROLE TOKEN per line");
    app.add_option("--web-root", web_root, "folder of the operator page's files");
    app.add_option(
        "--allowed-host", allowed_hosts,
        "a Host name (NAME or NAME:PORT) clients may use besides the listen address and localhost (repeatable)");
    app.add_option("--retention-days", retention_days, "days the journal keeps (default 90)")
        ->check(CLI::Range(1u, 36500u));
    app.add_option("--max-db-mb", max_db_mb,
                   "size cap of the journal in MB; the oldest records go first (default 256)")
        ->check(CLI::Range(cabinetd::kMinDbMb, cabinetd::kMaxDbMb));
    app.add_option("--request-timeout-s", request_timeout_s,
                   "seconds a client has to send a whole request (default 15)")
        ->check(CLI::Range(1u, 3600u));
    app.add_option(
           "--journal-sync", journal_sync,
           "normal: commits survive a crash of cabinetd; full: also a power loss, answers slower")
        ->check(CLI::IsMember({"normal", "full"}));
    cabinetd::ConnectionLimits limits{0, 0, 0, 0, 0};
    add_limit_options(app, limits);
    cabinetd::MqttConfig mqtt;
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
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help and --version are not errors; a bad command line is a
        // configuration error, which restarting does not mend.
        return app.exit(e) == 0 ? 0 : kUnusable;
    }

    cabinetd::Config cfg;
    try {
        for (auto &c : cabinets) cfg.cabinets.push_back(cabinetd::parse_cabinet(c));
        if (!db.empty()) cfg.db = db;
        if (!listen.empty()) cfg.listen = listen;
        if (!tokens.empty()) cfg.tokens = tokens;
        if (!web_root.empty()) cfg.web_root = web_root;
        cfg.allowed_hosts = allowed_hosts;
        if (journal_sync == "full") cfg.journal_full_sync = true;
        if (retention_days) cfg.retention = std::chrono::hours(24 * retention_days);
        if (max_db_mb) cfg.max_db_mb = max_db_mb;
        apply_limits(limits, cfg.limits);
        cfg.mqtt = mqtt; // user and password only from the config file, never on a command line
        if (!config_file.empty()) cabinetd::load_config_file(config_file, cfg);
        if (cfg.web_root.empty()) cfg.web_root = installed_web_root();
        cabinetd::validate(cfg);
    } catch (const std::exception &e) {
        log(3, e.what());
        return kUnusable;
    }

    // Signals are taken by a thread of their own, so nothing runs in a handler.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    raise_fd_limit();

    std::unique_ptr<cabinetd::Service> svc;
    try {
        cabinetd::HttpOptions http;
        http.request_timeout = std::chrono::seconds(request_timeout_s);
        cabinetd::JournalOptions jopt;
        // Test-only: the journal's writes fail while the file this names
        // exists (see JournalOptions::fault_file). Never set in production.
        if (const char *f = std::getenv("CABINETD_TEST_JOURNAL_FAULT")) jopt.fault_file = f;
        svc = std::make_unique<cabinetd::Service>(cfg, jopt, cabinetd::LinkOptions{}, http);
        svc->start();
    } catch (const cabinetd::JournalError &e) {
        log(3, e.what());
        return exit_status(e);
    } catch (const cabinetd::ConfigError &e) {
        log(3, e.what());
        return kUnusable;
    } catch (const std::exception &e) {
        log(3, e.what());
        return kTransient;
    }
    if (cfg.tokens.empty()) log(4, "no token file (--tokens): every API request is refused");
    if (cfg.web_root.empty())
        log(5, "no operator page (--web-root DIR names its files): / answers 404");
    log(6,
        fmt::format("listening on {} port {}", cfg.listen.substr(0, cfg.listen.rfind(':')),
                    svc->port()));

    // Under systemd (Type=notify): ready once the lines are being served and
    // the port is open, and the watchdog looked at twice per interval.
    sd_notifyf(0, "READY=1\nSTATUS=serving %zu cabinets on port %u", cfg.cabinets.size(),
               svc->port());
    std::uint64_t watchdog_us = 0;
    std::optional<Watchdog> watchdog;
    if (sd_watchdog_enabled(0, &watchdog_us) > 0 && watchdog_us > 0)
        watchdog.emplace(*svc, watchdog_us / 1000);
    const auto tick_ms = watchdog ? std::max<std::uint64_t>(watchdog_us / 2000, 100) : 1000;

    for (;;) {
        timespec wait{static_cast<time_t>(tick_ms / 1000),
                      static_cast<long>(tick_ms % 1000) * 1000000L};
        const int sig = sigtimedwait(&set, nullptr, &wait);
        if (sig < 0) {
            if (watchdog) watchdog->tick();
            continue;
        }
        if (sig == SIGHUP) {
            sd_notify(0, "RELOADING=1");
            std::string err;
            if (svc->reload_tokens(&err)) log(6, "token file reloaded");
            else log(3, fmt::format("token file not reloaded, the old tokens stay: {}", err));
            sd_notify(0, "READY=1");
            continue;
        }
        log(6, "stopping");
        sd_notify(0, "STOPPING=1");
        svc->stop();
        return 0;
    }
}
