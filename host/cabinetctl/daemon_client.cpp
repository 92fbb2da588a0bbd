// cabinetctl --daemon: state, open and clear through cabinetd's HTTP API, with
// the same exit codes as over the line.
#include "daemon_client.h"
#include "print.h"

#include "cabinet_host/explain.h"
#include "cabinet_host/host_port.h"
#include "cabinet_host/outcome.h"
#include "cabinet_host/protocol.h"
#include "cabinet_host/words.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>

namespace cabinetctl {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using cabinet_host::Outcome;
using nlohmann::json;

// A usage mistake (bad URL, no token, no such cabinet): exit 1 before or
// instead of asking anything of a controller.
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Url {
    std::string host;
    std::string port;
    std::string authority; // HOST:PORT as a Host header gives it
    std::string base;      // path prefix, without a trailing '/'
};

Url parse_url(std::string s) {
    if (s.rfind("https://", 0) == 0)
        throw Usage("--daemon: https is not supported; cabinetd listens on plain HTTP (loopback by "
                    "default): use http://HOST:PORT, through an SSH tunnel for a remote one");
    if (s.rfind("http://", 0) == 0) s.erase(0, 7);
    else if (s.find("://") != std::string::npos)
        throw Usage("--daemon: expected http://HOST:PORT, not \"" + s + "\"");
    Url u;
    const auto slash = s.find('/');
    if (slash != std::string::npos) {
        u.base = s.substr(slash);
        s.erase(slash);
        while (!u.base.empty() && u.base.back() == '/') u.base.pop_back();
    }
    auto hp = cabinet_host::parse_host_port(s, {.port_optional = true});
    if (!hp)
        throw Usage("--daemon: " + hp.refusal().text +
                    "; expected http://HOST:PORT, e.g. http://127.0.0.1:8080");
    if (!hp->port) hp->port = 80;
    u.host = hp->host;
    u.port = std::to_string(*hp->port);
    u.authority = cabinet_host::to_string(*hp);
    return u;
}

std::string trim(std::string s) {
    const auto b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// The bearer token: the first line of --token-file that is not a comment, or
// $CABINETD_TOKEN. Never a command-line value, which any user could read in
// the process list.
std::string read_token(const DaemonOptions &o) {
    if (o.token_file.empty()) {
        const char *env = std::getenv("CABINETD_TOKEN");
        if (env && *env) return trim(env);
        throw Usage(
            "--daemon needs a token: --token-file FILE, or CABINETD_TOKEN in the environment");
    }
    std::ifstream in(o.token_file);
    if (!in) throw Usage("--token-file: cannot read " + o.token_file);
    for (std::string line; std::getline(in, line);) {
        line = trim(line);
        if (!line.empty() && line[0] != '#') return line;
    }
    throw Usage("--token-file: " + o.token_file + " holds no token");
}

// Keys are scoped per token by cabinetd, but another program using the same
// token must not be able to guess one either.
std::string fresh_key() { return cabinet_host::RequestIds("ctl").next(); }

enum class NetFail { None, Connect, Lost, Timeout, Interrupted };

struct Reply {
    NetFail fail = NetFail::None;
    std::string what;
    int status = 0;
    json body; // null when the answer was not JSON
};

// One request's I/O: resolve, connect, write, read, each step started by
// the one before.
struct Exchange {
    net::io_context ioc;
    tcp::resolver resolver{ioc};
    beast::tcp_stream stream{ioc};
    beast::flat_buffer buffer;
    http::request<http::string_body> req;
    http::response<http::string_body> res;
    beast::error_code err;
    bool done = false;
    bool connected = false;

    void start(const Url &url) {
        resolver.async_resolve(
            url.host, url.port, [this](beast::error_code ec, tcp::resolver::results_type eps) {
                if (ec) return end(ec);
                stream.async_connect(eps, [this](beast::error_code ec2, const tcp::endpoint &) {
                    if (ec2) return end(ec2);
                    connected = true;
                    http::async_write(stream, req, [this](beast::error_code ec3, std::size_t) {
                        if (ec3) return end(ec3);
                        http::async_read(stream, buffer, res,
                                         [this](beast::error_code ec4, std::size_t) { end(ec4); });
                    });
                });
            });
    }

    void end(beast::error_code ec) {
        err = ec;
        done = true;
    }
};

class Api {
public:
    Api(const DaemonOptions &o, const volatile std::sig_atomic_t &stop)
            : o_(o), url_(parse_url(o.url)), token_(read_token(o)), stop_(stop) {}

    // One request and its answer, within timeout_ms; connection failures
    // and timeouts come back in Reply::fail rather than as exceptions.
    Reply exchange(http::verb verb, const std::string &path, const std::string &body,
                   std::uint64_t timeout_ms, const std::string &key = {}) {
        Exchange x;
        x.req = request(verb, path, body, key);
        trace("> {} {}{}", x.req.method_string(), x.req.target(), body.empty() ? "" : " " + body);
        x.start(url_);
        if (auto failed = run(x, timeout_ms)) return *failed;
        Reply r;
        r.status = static_cast<int>(x.res.result_int());
        r.body = json::parse(x.res.body(), nullptr, false);
        if (r.body.is_discarded()) r.body = json();
        trace("< {} {}", r.status, trim(x.res.body()));
        return r;
    }

    // The cabinet to act on: the one named, or the only one there is. On
    // failure, `listing` holds the answer that failed.
    std::string cabinet(Reply &listing) {
        if (!o_.cabinet.empty()) return o_.cabinet;
        Reply &r = listing = exchange(http::verb::get, "/api/cabinets", "", o_.timeout_ms);
        if (r.fail != NetFail::None || r.status != 200) return {};
        const json &list =
            r.body.is_object() && r.body.contains("cabinets") ? r.body["cabinets"] : r.body;
        if (!list.is_array()) throw std::runtime_error("cabinetd's list of cabinets is not a list");
        if (list.size() == 1 && list[0].contains("name")) return list[0]["name"].get<std::string>();
        std::string names;
        for (const auto &c : list)
            if (c.contains("name"))
                names += (names.empty() ? "" : ", ") + c["name"].get<std::string>();
        throw Usage(fmt::format("cabinetd serves {} cabinets ({}): choose one with --cabinet NAME",
                                list.size(), names.empty() ? "none" : names));
    }

    template <class... Args> void trace(fmt::format_string<Args...> f, Args &&...args) {
        if (o_.verbose) print_trace(fmt::format(f, std::forward<Args>(args)...));
    }

private:
    http::request<http::string_body> request(http::verb verb, const std::string &path,
                                             const std::string &body,
                                             const std::string &key) const {
        http::request<http::string_body> req{verb, url_.base + path, 11};
        req.set(http::field::host, url_.authority);
        req.set(http::field::user_agent, "cabinetctl");
        req.set(http::field::authorization, "Bearer " + token_);
        req.set(http::field::accept, "application/json");
        if (!key.empty()) req.set("Idempotency-Key", key);
        if (verb == http::verb::post) {
            req.set(http::field::content_type, "application/json");
            req.body() = body;
        }
        req.keep_alive(false);
        req.prepare_payload();
        return req;
    }

    // Runs the exchange until it is done, its time is up or a stop signal
    // arrives; the failure, if it did not end with an answer.
    std::optional<Reply> run(Exchange &x, std::uint64_t timeout_ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        Reply r;
        // Short turns, so SIGINT is noticed while the answer is awaited.
        while (!x.done) {
            const auto now = std::chrono::steady_clock::now();
            if (stop_) return r.fail = NetFail::Interrupted, r.what = "interrupted", r;
            if (now >= until) {
                r.fail = x.connected ? NetFail::Timeout : NetFail::Connect;
                r.what = x.connected
                    ? fmt::format("no answer from cabinetd within {} ms", timeout_ms)
                    : fmt::format("could not connect to cabinetd at {} within {} ms", o_.url,
                                  timeout_ms);
                return r;
            }
            x.ioc.run_for(std::min<std::chrono::steady_clock::duration>(
                until - now, std::chrono::milliseconds(50)));
            if (x.ioc.stopped()) x.ioc.restart();
        }
        if (!x.err) return std::nullopt;
        r.fail = x.connected ? NetFail::Lost : NetFail::Connect;
        r.what = x.connected
            ? "connection to cabinetd lost: " + x.err.message()
            : "could not connect to cabinetd at " + o_.url + ": " + x.err.message();
        return r;
    }

    const DaemonOptions &o_;
    Url url_;
    std::string token_;
    const volatile std::sig_atomic_t &stop_;
};

int report(const DaemonOptions &o, const std::string &command, Outcome outcome,
           const std::string &code, const std::string &message) {
    return print_result(o.json, command, outcome, code, message);
}

std::string str(const json &j, const char *key) {
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>()
                                                                  : std::string();
}

// An answer that is not the command's own result: the network failed, or
// cabinetd refused the request itself (token, role, name, input). Returns
// the exit code, or nothing when the answer is the controller's.
std::optional<int> refused_by_daemon(const DaemonOptions &o, const std::string &command,
                                     const Reply &r, const std::string &cabinet) {
    switch (r.fail) {
    case NetFail::None: break;
    case NetFail::Interrupted:
        return report(o, command, Outcome::Interrupted, "interrupted", r.what);
    case NetFail::Timeout: return report(o, command, Outcome::Timeout, "timeout", r.what);
    case NetFail::Connect:
        return report(o, command, Outcome::ConnectionLost, "connect_failed", r.what);
    case NetFail::Lost:
        return report(o, command, Outcome::ConnectionLost, "connection_lost", r.what);
    }
    const std::string error = str(r.body, "error");
    switch (r.status) {
    case 401:
        return report(o, command, Outcome::Error, "unauthorized",
                      "cabinetd refused the token (401): check --token-file or CABINETD_TOKEN" +
                          (error.empty() ? "" : ": " + error));
    case 403:
        return report(o, command, Outcome::Error, "forbidden",
                      "the token's role may not " + command + " (403): it needs an operator token" +
                          (error.empty() ? "" : ": " + error));
    case 404:
        if (!error.empty() || r.body.is_null())
            return report(o, command, Outcome::Error, "not_found",
                          error.empty()
                              ? fmt::format("cabinetd has no cabinet \"{}\" (404)", cabinet)
                              : error);
        break;
    default: break;
    }
    // cabinetd's own refusals carry "error"; the controller's answers a "code".
    if (r.status >= 400 && !r.body.contains("code"))
        return report(o, command, Outcome::Error, "http_" + std::to_string(r.status),
                      fmt::format("cabinetd answered {}: {}", r.status,
                                  error.empty() ? "no explanation" : error));
    return std::nullopt;
}

// The outcome cabinetd gives an open's or a clear's answer: from the same
// table as over the line, so the exit code is the same either way. An
// answer without one this cabinetctl knows is an error, never a guess.
std::optional<Outcome> outcome_in(const Reply &r) {
    return cabinet_host::parse_outcome(str(r.body, "outcome"));
}

int no_outcome(const DaemonOptions &o, const std::string &command, const Reply &r) {
    return report(o, command, Outcome::Error, "bad_answer",
                  fmt::format("cabinetd answered {} without an outcome cabinetctl knows ({})",
                              r.status, str(r.body, "outcome")));
}

std::string describe_status(const json &c) {
    std::string s = fmt::format("cabinet {}: link {}", str(c, "name"), str(c, "link"));
    if (!str(c, "link_reason").empty()) s += " (" + str(c, "link_reason") + ")";
    s += "\n";
    if (c.contains("session_id") && c["session_id"].is_string())
        s += "session " + c["session_id"].get<std::string>() + "\n";
    const json &ctl = c.value("controller", json());
    if (ctl.is_object()) {
        s += fmt::format("state {}, fault {}", str(ctl, "state"), str(ctl, "fault"));
        if (!str(ctl, "fault_text").empty()) s += ": " + str(ctl, "fault_text");
        s += "\n";
    } else {
        s += "controller: unknown while the link is not up\n";
    }
    if (c.contains("heartbeat_age_s") && c["heartbeat_age_s"].is_number())
        s += fmt::format("last heartbeat accepted {:.1f} s ago\n",
                         c["heartbeat_age_s"].get<double>());
    const json &doors = c.value("doors", json());
    if (doors.is_array()) {
        s += "door  door    latch\n";
        for (const auto &d : doors)
            s += fmt::format("{:>4}  {:<6}  {}\n", d.value("door", 0),
                             d.value("closed", false) ? "closed" : "OPEN",
                             d.value("locked", false) ? "locked" : "UNLOCKED");
    } else if (ctl.is_object()) {
        s += "doors: unknown until the controller's inputs settle\n";
    }
    return s;
}

int state(Api &api, const DaemonOptions &o) {
    Reply listing;
    const std::string cab = api.cabinet(listing);
    if (cab.empty()) return refused_by_daemon(o, "state", listing, "").value_or(1);
    Reply r = api.exchange(http::verb::get, "/api/cabinets/" + cab, "", o.timeout_ms);
    if (auto rc = refused_by_daemon(o, "state", r, cab)) return *rc;
    if (o.json) print_line(r.body.dump());
    else print_text(describe_status(r.body));
    return 0;
}

// Sends one open or clear. A request whose answer is lost on the way (the
// connection broke) is sent again under the same Idempotency-Key until the
// deadline: cabinetd answers a repeat with the first one's result and never
// sends it to the controller twice.
Reply post(Api &api, const std::string &path, const std::string &body, std::uint64_t timeout_ms,
           const std::string &key, const volatile std::sig_atomic_t &stop) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        Reply r =
            api.exchange(http::verb::post, path, body,
                         static_cast<std::uint64_t>(std::max<long long>(left.count(), 1)), key);
        if (r.fail != NetFail::Lost || key.empty() || stop ||
            std::chrono::steady_clock::now() + std::chrono::milliseconds(250) >= until)
            return r;
        api.trace(
            "(connection lost before the answer; asking again with the same Idempotency-Key)");
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
}

// How an open --wait's cycle ended, in cabinetd's answer.
int cycle_answer(const DaemonOptions &o, const json &cycle, Outcome out) {
    if (!o.json)
        for (const auto &e : cycle.value("events", json::array()))
            print_line(fmt::format("  {} {}{}", e.value("event_seq", json()).dump(), str(e, "code"),
                                   str(e, "text").empty() ? "" : ": " + str(e, "text")));
    const std::string end = str(cycle, "end");
    std::string message;
    if (out == Outcome::Done)
        message = fmt::format("door {}: cycle complete, door closed and locked again", o.door);
    else if (end == cabinet_host::codes::kFaultCleared)
        message = fmt::format("door {}: the operation was abandoned by a clear_fault", o.door);
    else if (out == Outcome::Fault)
        message =
            fmt::format("door {}: fault {}: {}", o.door, end, cabinet_host::explain_text(end));
    else if (out == Outcome::Timeout)
        message = fmt::format("door {}: cabinetd saw no end of the cycle in time", o.door);
    else
        message = fmt::format("door {}: the cycle's end was not seen ({}): its outcome is unknown",
                              o.door, end);
    return report(o, "open", out, end, message);
}

// cabinetd's answer to an open: the controller's ack, or the cycle's end.
int open_answer(const DaemonOptions &o, const Reply &r) {
    if (o.json) print_line(r.body.dump());
    const auto out = outcome_in(r);
    if (!out) return no_outcome(o, "open", r);
    const std::string code = str(r.body, "code");
    const std::string text = str(r.body, "text");
    const json &cycle = r.body.value("cycle", json());
    if (cycle.is_object()) return cycle_answer(o, cycle, *out);
    if (*out == Outcome::Refused)
        return report(o, "open", *out, code,
                      fmt::format("door {}: refused: {}: {}", o.door, code, text));
    if (*out != Outcome::Done)
        return report(o, "open", *out, code, fmt::format("door {}: {}: {}", o.door, code, text));
    return report(o, "open", *out, code,
                  fmt::format("door {}: accepted: the latch is released for {} ms{}", o.door,
                              o.pulse_ms,
                              r.body.value("replayed", false)
                                  ? " (answer replayed: this open was sent before)"
                                  : ""));
}

int open(Api &api, const DaemonOptions &o, const volatile std::sig_atomic_t &stop) {
    Reply listing;
    const std::string cab = api.cabinet(listing);
    if (cab.empty()) return refused_by_daemon(o, "open", listing, "").value_or(1);
    const std::string key = o.key.empty() ? fresh_key() : o.key;
    const std::string path =
        fmt::format("/api/cabinets/{}/doors/{}/open{}", cab, o.door, o.wait ? "?wait=cycle" : "");
    const std::uint64_t wait_ms = o.wait && !o.timeout_given ? 120000 : o.timeout_ms;
    Reply r = post(api, path, json{{"pulse_ms", o.pulse_ms}, {"ttl_ms", o.ttl_ms}}.dump(), wait_ms,
                   key, stop);
    if (r.fail == NetFail::Interrupted || r.fail == NetFail::Timeout)
        print_problem(fmt::format("the open may still go ahead: ask again with --key {} to learn "
                                  "its outcome without opening twice",
                                  key));
    if (auto rc = refused_by_daemon(o, "open", r, cab)) return *rc;
    return open_answer(o, r);
}

int clear(Api &api, const DaemonOptions &o, const volatile std::sig_atomic_t &stop) {
    Reply listing;
    const std::string cab = api.cabinet(listing);
    if (cab.empty()) return refused_by_daemon(o, "clear", listing, "").value_or(1);
    // A clear done twice does no harm, so it carries no key and is not retried.
    Reply r = post(api, "/api/cabinets/" + cab + "/clear-fault", "{}", o.timeout_ms, "", stop);
    if (auto rc = refused_by_daemon(o, "clear", r, cab)) return *rc;
    if (o.json) print_line(r.body.dump());
    const auto out = outcome_in(r);
    if (!out) return no_outcome(o, "clear", r);
    const std::string code = str(r.body, "code");
    if (*out == Outcome::Done)
        return report(o, "clear", *out, code, "cleared: the controller is idle");
    return report(o, "clear", *out, code,
                  fmt::format("{}: {}: {}", *out == Outcome::Refused ? "refused" : "failed", code,
                              str(r.body, "text")));
}

} // namespace

int run_daemon(const std::string &command, const DaemonOptions &o,
               const volatile std::sig_atomic_t &stop) {
    try {
        Api api(o, stop);
        if (command == "state") return state(api, o);
        if (command == "open") return open(api, o, stop);
        if (command == "clear") return clear(api, o, stop);
        return report(o, command, Outcome::Error, "usage",
                      command +
                          " is not available with --daemon: read cabinetd's live stream "
                          "(GET /api/stream) or its operator page instead");
    } catch (const Usage &e) {
        return report(o, command, Outcome::Error, "usage", e.what());
    } catch (const std::exception &e) {
        return report(o, command, Outcome::Error, "error", e.what());
    }
}

} // namespace cabinetctl
