// cabinetd: keeps cabinets in service, journals what they say and serves the
// HTTP API. Everything of substance is in the library (lib/): this reads the
// command line, starts the service, and waits for signals.
#include "command_line.h"
#include "log.h"
#include "service.h"
#include "watchdog.h"

#include <fmt/format.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <sys/resource.h>
#include <systemd/sd-daemon.h>

using namespace cabinetd;

namespace {

// Exit statuses (the unit's RestartPreventExitStatus= names kUnusable).
constexpr int kTransient = 1; // may work when tried again
constexpr int kInUse = 75;    // another cabinetd holds the journal (EX_TEMPFAIL)
constexpr int kUnusable =
    78; // a configuration error, or a journal that cannot be used as it is (EX_CONFIG)

int exit_status(const JournalError &e) {
    switch (e.kind()) {
    case JournalError::Kind::InUse: return kInUse;
    case JournalError::Kind::Unusable: return kUnusable;
    case JournalError::Kind::Transient: break;
    }
    return kTransient;
}

void raise_fd_limit() {
    // Every connection and stream is a descriptor; the default soft limit of
    // 1024 would refuse clients long before anything else runs short.
    // Nothing here waits with select(), so any descriptor will do.
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// A limit too low for what is configured is said at start-up, not found
// out when a cabinet cannot connect: each HTTP connection holds a
// descriptor, each cabinet four for its line (and three more for its broker
// connection), and the journal and the rest a few dozen.
void check_fd_limit(const Config &cfg) {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return;
    const auto per_cabinet = cfg.mqtt.url.empty() ? 4u : 7u;
    const auto need = cfg.limits.max_connections + per_cabinet * cfg.cabinets.size() + 64;
    if (rl.rlim_cur >= need) return;
    log(Level::Warning,
        fmt::format("descriptors: the limit is {}, and {} cabinets beside {} connections may "
                    "need {}: raise it (LimitNOFILE= in the unit), or lower "
                    "--max-connections",
                    rl.rlim_cur, cfg.cabinets.size(), cfg.limits.max_connections, need));
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

// The configuration, checked; or the exit status when there is nothing to run.
std::variant<CommandLine, int> configure(int argc, char **argv) {
    try {
        auto read = read_command_line(argc, argv);
        if (auto *status = std::get_if<int>(&read))
            return *status == 0 ? 0 : kUnusable; // a bad command line: restarting does not mend it
        auto &cl = std::get<CommandLine>(read);
        if (cl.config.web_root.empty()) cl.config.web_root = installed_web_root();
        validate(cl.config);
        return std::move(cl);
    } catch (const std::exception &e) {
        log(Level::Error, e.what());
        return kUnusable;
    }
}

// The service, started; or the exit status of why it could not start.
std::variant<std::unique_ptr<Service>, int> start(const CommandLine &cl) {
    try {
        JournalOptions journal;
        auto svc = std::make_unique<Service>(cl.config, journal, cl.link, cl.http);
        svc->start();
        return svc;
    } catch (const JournalError &e) {
        log(Level::Error, e.what());
        return exit_status(e);
    } catch (const ConfigError &e) {
        log(Level::Error, e.what());
        return kUnusable;
    } catch (const std::exception &e) {
        log(Level::Error, e.what());
        return kTransient;
    }
}

void announce(const Config &cfg, const Service &svc) {
    if (cfg.tokens.empty())
        log(Level::Warning, "no token file (--tokens): every API request is refused");
    if (cfg.web_root.empty())
        log(Level::Notice, "no operator page (--web-root DIR names its files): / answers 404");
    const auto host = cfg.listen.substr(0, cfg.listen.rfind(':'));
    log(Level::Info, fmt::format("listening on {} port {}", host, svc.port()));
    // Under systemd (Type=notify): ready once the lines are being served and
    // the port is open.
    sd_notifyf(0, "READY=1\nSTATUS=serving %zu cabinets on port %u", cfg.cabinets.size(),
               svc.port());
}

// Waits for signals (SIGHUP reloads the tokens) until one says stop; with
// systemd's watchdog on, looks at the parts between them. Nothing else
// wakes this thread.
void serve(Service &svc, const sigset_t &signals) {
    auto watchdog = Watchdog::from_systemd(svc);
    for (;;) {
        int sig = -1;
        if (watchdog) {
            const auto ms = watchdog->tick_interval().count();
            const timespec wait{static_cast<time_t>(ms / 1000),
                                static_cast<long>(ms % 1000) * 1000000L};
            sig = sigtimedwait(&signals, nullptr, &wait);
            if (sig < 0) watchdog->tick();
        } else {
            sig = sigwaitinfo(&signals, nullptr);
        }
        if (sig < 0) continue; // the watchdog's turn, or EINTR
        if (sig != SIGHUP) return;
        sd_notify(0, "RELOADING=1");
        if (auto reloaded = svc.reload_tokens()) log(Level::Info, "token file reloaded");
        else
            log(Level::Error,
                fmt::format("token file not reloaded, the old tokens stay: {}",
                            reloaded.refusal().text));
        sd_notify(0, "READY=1");
    }
}

} // namespace

int main(int argc, char **argv) {
    // Signals are taken by this thread when it waits for them, so nothing
    // runs in a handler; blocked first of all, before any thread starts
    // (reading the configuration may log, which starts one), so that every
    // thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto configured = configure(argc, argv);
    if (auto *status = std::get_if<int>(&configured)) return *status;
    const auto &cl = std::get<CommandLine>(configured);

    raise_fd_limit();
    check_fd_limit(cl.config);

    auto started = start(cl);
    if (auto *status = std::get_if<int>(&started)) return *status;
    auto &svc = *std::get<std::unique_ptr<Service>>(started);
    announce(cl.config, svc);
    serve(svc, signals);
    log(Level::Info, "stopping");
    sd_notify(0, "STOPPING=1");
    svc.stop();
    return 0;
}
