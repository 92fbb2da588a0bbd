#include "http_server.h"

#include "command.h"
#include "decimal.h"
#include "log.h"
#include "message_cache.h"
#include "openapi.h"
#include "reader_thread.h"
#include "service.h"
#include "tcp_progress.h"

#include <cabinet_host/protocol.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <limits>
#include <fstream>
#include <set>
#include <sstream>

namespace cabinetd {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;

namespace {
class Conn;
}

struct HttpServer::Impl {
    Impl(Service &s, const ListenAddress &addr)
        : svc(s), reader(s.http_options().max_connections), acceptor(ioc), retry_accept(ioc) {
        boost::system::error_code ec;
        const auto a = net::ip::make_address(addr.host, ec);
        if (!ec) {
            listen_any = a.is_unspecified();
            listen_name = a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
        }
        for (auto h : s.config().allowed_hosts) {
            std::transform(h.begin(), h.end(), h.begin(), [](unsigned char c) { return std::tolower(c); });
            allowed_hosts.push_back(h);
        }
    }
    Service &svc;
    // Declared before the io_context, so they outlive the handlers it
    // destroys (and the connections those hold) when it goes.
    std::atomic<std::size_t> connections{0}, streams{0}, unauthenticated{0};
    std::atomic<std::uint64_t> evicted{0};
    // Server thread only: connections without a valid token yet, oldest
    // first (some already gone or authenticated, skipped when met), and open
    // streams, for a reload of the tokens.
    std::deque<std::weak_ptr<Conn>> unauth_order;
    std::vector<std::weak_ptr<Conn>> stream_conns;
    // Every stream sends the same recent records: each is formatted once.
    // Used from the server's one thread only.
    MessageCache messages{4096};
    ReaderThread reader;

    net::io_context ioc;
    tcp::acceptor acceptor;
    net::steady_timer retry_accept; // after an accept failed (out of descriptors)
    net::steady_timer alive{ioc};
    // The loop's proof of life: a timer that fires only while the thread is
    // free to run handlers, so it marks progress also when idle.
    void tick(Progress &p) {
        p.mark();
        alive.expires_after(std::chrono::milliseconds(500));
        alive.async_wait([this, &p](beast::error_code ec) {
            if (!ec) tick(p);
        });
    }
    unsigned short port = 0;
    std::string listen_name; // the listen address as a Host names it
    bool listen_any = false; // 0.0.0.0 or ::
    std::vector<std::string> allowed_hosts;

    bool host_allowed(std::string_view host) const;
};

// Whether a Host header names this server: its listen address, localhost,
// 127.0.0.1 or [::1] with its port (none for port 80), a name the
// configuration allows, or, listening on every address, any IP address with
// its port. Anything else may be a name an attacker pointed at us.
bool HttpServer::Impl::host_allowed(std::string_view host) const {
    std::string name;
    std::string_view rest;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = std::string(host.substr(0, close + 1));
        rest = host.substr(close + 1);
    } else {
        const auto colon = host.find(':');
        name = std::string(host.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
    }
    std::optional<unsigned> given_port;
    if (!rest.empty()) {
        if (rest.front() != ':') return false;
        given_port = parse_decimal<unsigned>(rest.substr(1));
        if (!given_port || *given_port > 65535) return false;
    }
    if (name.empty()) return false;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    const auto our_port = given_port ? *given_port == port : port == 80;
    for (auto &a : allowed_hosts) {
        const auto colon = a.find(':');
        if (colon == std::string::npos ? a == name : (given_port && a == fmt::format("{}:{}", name, *given_port)))
            return true;
    }
    if (!our_port) return false;
    if (name == "localhost" || name == "127.0.0.1" || name == "[::1]" || name == listen_name) return true;
    if (listen_any) {
        boost::system::error_code ec;
        if (name.front() == '[') net::ip::make_address_v6(name.substr(1, name.size() - 2), ec);
        else net::ip::make_address_v4(name, ec);
        return !ec;
    }
    return false;
}

namespace {

using Request = http::request<http::string_body>;

// The HTTP status of an open's or a clear's outcome: 202 for an open under
// way, 200 for one whose cycle was waited for and for a clear, 422 for a
// command the controller could not take as it was, 409 for a refusal, 504 for
// no answer in time, 503 when it never reached the controller.
int http_status(const CommandResult &r) {
    using cabinet_host::Outcome;
    switch (r.outcome) {
    case Outcome::Done: return r.command == cabinet_host::RequestKind::Open && !r.cycle_end ? 202 : 200;
    case Outcome::Error: return 422;
    case Outcome::Refused:
    case Outcome::Fault: return 409;
    case Outcome::Timeout: return 504;
    case Outcome::ConnectionLost:
    case Outcome::Interrupted: return 503;
    }
    return 500;
}

// Kinds a stream carries unless told otherwise: what happened to the
// cabinets, not the line traffic (acks and commands stay in the journal).
const std::set<std::string> kStreamKinds = {"event", "state", "link", "session", "gap", "open", "open_failed", "clear",
                                            "heartbeat", "journal"};
const std::set<std::string> kAllKinds = {"event", "ack",  "command", "state", "link", "session",
                                         "gap", "open", "open_failed", "clear", "heartbeat", "journal"};

// A page of a stream looks this many cursors ahead at most, so a filter that
// matches little costs the reader thread short turns, not one long scan.
constexpr std::int64_t kStreamWindow = 50000;
constexpr std::size_t kStreamPage = 512;

// What every answer says, the page's files included: nothing from anywhere
// but here, no inline script, no framing, no guessing of content types.
constexpr const char *kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "base-uri 'none'; form-action 'self'; frame-ancestors 'none'";

template <class Message> void common_headers(Message &m) {
    m.set(http::field::server, "cabinetd");
    m.set(http::field::cache_control, "no-store");
    m.set("Content-Security-Policy", kContentSecurityPolicy);
    m.set("X-Content-Type-Options", "nosniff");
    m.set("X-Frame-Options", "DENY");
    m.set("Referrer-Policy", "no-referrer");
}

// The segments of a request target's path; nothing for a path that is not
// canonical (empty segments: "//", a trailing "/").
std::optional<std::vector<std::string>> split_path(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::vector<std::string> out;
    if (target == "/") return out;
    while (!target.empty()) {
        if (target.front() != '/') return std::nullopt;
        target.remove_prefix(1);
        const auto slash = target.find('/');
        if (slash == 0 || target.empty()) return std::nullopt;
        out.emplace_back(target.substr(0, slash));
        if (slash == std::string_view::npos) break;
        target.remove_prefix(slash);
    }
    return out;
}

// Kinds from a "kind" parameter ("event,gap"); nothing if one is unknown.
std::optional<std::vector<std::string>> kinds_param(const std::map<std::string, std::string> &q,
                                                    const std::set<std::string> &def, std::string &bad) {
    std::vector<std::string> out;
    auto it = q.find("kind");
    if (it == q.end()) return std::vector<std::string>(def.begin(), def.end());
    std::string_view rest = it->second;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string k(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (!kAllKinds.count(k)) {
            bad = k;
            return std::nullopt;
        }
        out.push_back(k);
    }
    return out;
}

const char *content_type(const std::string &file) {
    const auto ext = file.substr(file.rfind('.') + 1);
    if (ext == "html") return "text/html; charset=utf-8";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    return "application/octet-stream";
}

class Conn : public std::enable_shared_from_this<Conn> {
public:
    Conn(HttpServer::Impl &srv, tcp::socket socket)
        : srv_(srv), svc_(srv.svc), opt_(srv.svc.http_options()), stream_(std::move(socket)),
          buf_(opt_.header_limit), ping_(stream_.get_executor()), watch_(stream_.get_executor()) {
        ++srv_.connections;
        ++srv_.unauthenticated;
    }
    ~Conn() {
        if (listener_) svc_.journal().unsubscribe(listener_);
        release();
    }

    void start() { read(); }

    // No valid token yet, and not closed.
    bool unauthenticated() const { return counted_unauth_; }

    // Closed to make room for a newer connection.
    void evict() {
        ++srv_.evicted;
        close();
    }

    // After a reload of the tokens: a stream whose token is gone, or now
    // grants another name or role, ends (the client reconnects with what
    // its token grants now, if anything).
    void recheck_token() {
        if (streaming_ && !closed_ && !svc_.tokens().holds(who_)) close();
    }

private:
    // --- reading a request ---

    void read() {
        parser_.emplace();
        parser_->body_limit(opt_.body_limit);
        parser_->header_limit(static_cast<std::uint32_t>(opt_.header_limit));
        req_ = {};
        search_from_ = 0;
        // A deadline for the whole request; a connection without a valid
        // token gets a short one for its headers, so idle and trickling
        // sockets go soon.
        const auto now = std::chrono::steady_clock::now();
        request_deadline_ = now + opt_.request_timeout;
        stream_.expires_at(authenticated_ ? request_deadline_
                                          : now + std::min(opt_.header_timeout, opt_.request_timeout));
        read_header_block();
    }

    // Reads until the headers' end is in the buffer, which holds the header
    // limit and no more: the parser then gets the whole block at once, and no
    // header, however it is split into reads, costs more than the limit.
    void read_header_block() {
        // Empty lines before a request are allowed, and skipped.
        while (buf_.size() >= 2 && std::string_view(static_cast<const char *>(buf_.data().data()), 2) == "\r\n")
            buf_.consume(2);
        const std::string_view data(static_cast<const char *>(buf_.data().data()), buf_.size());
        const auto end = data.find("\r\n\r\n", search_from_);
        if (end != std::string_view::npos) return on_header_block(end + 4);
        if (buf_.size() >= buf_.max_size()) return fail(431, "the request headers are too large", false);
        search_from_ = data.size() >= 3 ? data.size() - 3 : 0;
        stream_.async_read_some(buf_.prepare(buf_.max_size() - buf_.size()),
                                [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                    if (ec) return self->on_read(ec);
                                    self->buf_.commit(n);
                                    self->read_header_block();
                                });
    }

    void on_header_block(std::size_t size) {
        const std::string_view block(static_cast<const char *>(buf_.data().data()), size);
        // A line folded onto the next (obsolete since HTTP/1.1) would be read
        // one way here and another by a proxy in front.
        for (auto at = block.find("\r\n"); at != std::string_view::npos && at + 2 < size; at = block.find("\r\n", at + 2))
            if (block[at + 2] == ' ' || block[at + 2] == '\t')
                return fail(400, "header lines folded onto the next are not accepted", false);
        beast::error_code ec;
        const auto used = parser_->put(net::buffer(block.data(), block.size()), ec);
        if (!ec && !parser_->is_header_done()) ec = http::error::need_more; // cannot be, the block is whole
        if (ec) return refuse(ec);
        buf_.consume(used);
        req_ = Request(parser_->get().base());
        if (!check_header()) return;
        if (parser_->is_done()) return on_read({});
        stream_.expires_at(request_deadline_);
        http::async_read(stream_, buf_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

    // What the header must be before its body is read or it is routed; false
    // when it was refused (and the connection is closing).
    bool check_header() {
        if (req_.version() != 10 && req_.version() != 11) {
            fail(505, "use HTTP/1.1", false);
            return false;
        }
        for (auto f : {http::field::host, http::field::authorization, http::field::content_type,
                       http::field::transfer_encoding, http::field::content_length})
            if (req_.count(f) > 1) {
                fail(400, fmt::format("{} is given more than once", std::string(http::to_string(f))), false);
                return false;
            }
        for (const char *f : {"Idempotency-Key", "Last-Event-ID"})
            if (req_.count(f) > 1) {
                fail(400, fmt::format("{} is given more than once", f), false);
                return false;
            }
        const auto host = req_.find(http::field::host);
        if (host == req_.end() && req_.version() == 11) {
            fail(400, "an HTTP/1.1 request needs a Host header", false);
            return false;
        }
        if (host != req_.end() && !srv_.host_allowed(host->value())) {
            fail(421, fmt::format("Host \"{}\" is not this server: use 127.0.0.1:{} or localhost:{}, or a name in "
                                  "the configuration's allowed_hosts", std::string(host->value()), srv_.port, srv_.port),
                 false);
            return false;
        }
        // Only chunked, alone: any other coding (or a list of them) would be
        // taken for "no body" here and the body for a request by a proxy.
        if (auto te = req_.find(http::field::transfer_encoding); te != req_.end()) {
            auto v = te->value();
            while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
            while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
            if (!beast::iequals(v, "chunked")) {
                fail(501, fmt::format("Transfer-Encoding \"{}\" is not supported: only chunked, alone",
                                      std::string(te->value())), false);
                return false;
            }
            if (req_.count(http::field::content_length)) {
                fail(400, "a request has either Content-Length or Transfer-Encoding, not both", false);
                return false;
            }
        }
        return true;
    }

    void on_read(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::operation_aborted ||
            ec == net::error::connection_reset || ec == net::error::eof)
            return close();
        if (closed_) return;
        if (ec) return refuse(ec);
        req_ = parser_->release();
        keep_alive_ = req_.keep_alive();
        try {
            route();
        } catch (const std::exception &e) {
            fail(500, fmt::format("internal error: {}", e.what()));
        }
    }

    // A request the parser refused; the connection closes after the answer.
    void refuse(beast::error_code ec) {
        if (ec == http::error::body_limit)
            return fail(413, fmt::format("the request body is larger than {} bytes", opt_.body_limit), false);
        if (ec == http::error::header_limit) return fail(431, "the request headers are too large", false);
        fail(400, fmt::format("malformed HTTP request: {}", ec.message()), false);
    }

    // --- answering ---

    void send(http::status status, std::string body, const char *type = "application/json",
              std::vector<std::pair<http::field, std::string>> extra = {}) {
        auto res = std::make_shared<http::response<http::string_body>>(status, req_.version());
        common_headers(*res);
        res->set(http::field::content_type, type);
        for (auto &[f, v] : extra) res->set(f, v);
        res->body() = std::move(body);
        res->keep_alive(keep_alive_);
        res->prepare_payload();
        if (req_.method() == http::verb::head) res->body().clear(); // the length stays, the body goes
        stream_.expires_after(opt_.request_timeout);
        http::async_write(stream_, *res, [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
            if (ec || !res->keep_alive()) return self->close();
            self->read();
        });
    }

    void send_json(int status, const json &j, std::vector<std::pair<http::field, std::string>> extra = {}) {
        send(static_cast<http::status>(status), j.dump() + "\n", "application/json", std::move(extra));
    }

    void fail(int status, const std::string &message, bool keep = true) {
        if (!keep) keep_alive_ = false;
        std::vector<std::pair<http::field, std::string>> extra;
        if (status == 401) extra.emplace_back(http::field::www_authenticate, "Bearer realm=\"cabinetd\"");
        send_json(status, {{"error", message}}, std::move(extra));
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        beast::error_code ignored;
        ping_.cancel();
        watch_.cancel();
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        release();
    }

    // Counts this connection out of the server's gauges, once.
    void release() {
        if (counted_unauth_) {
            counted_unauth_ = false;
            --srv_.unauthenticated;
        }
        if (counted_conn_) {
            counted_conn_ = false;
            --srv_.connections;
        }
        if (counted_stream_) {
            counted_stream_ = false;
            --srv_.streams;
        }
    }

    // --- who asks ---

    std::optional<Identity> bearer() {
        auto h = req_[http::field::authorization];
        constexpr std::string_view scheme = "Bearer ";
        if (h.size() <= scheme.size() || !beast::iequals(h.substr(0, scheme.size()), scheme)) return std::nullopt;
        return svc_.tokens().check(std::string_view(h.data() + scheme.size(), h.size() - scheme.size()));
    }

    // Authorises the request for a role; answers 401 or 403 and returns
    // nothing when it may not go on.
    std::optional<Identity> authorise(Role need, const std::map<std::string, std::string> *query = nullptr) {
        std::optional<Identity> who = bearer();
        if (!who && query) {
            if (auto t = query->find("token"); t != query->end()) who = svc_.tokens().check_stream_token(t->second);
        }
        if (!who) {
            const bool sent = !req_[http::field::authorization].empty() || (query && query->count("token"));
            fail(401, sent ? "the token is not valid" : "a bearer token is required (Authorization: Bearer ...)");
            return std::nullopt;
        }
        // A valid token, whatever its role: this connection no longer counts
        // among those the server may close to make room.
        authenticated_ = true;
        if (counted_unauth_) {
            counted_unauth_ = false;
            --srv_.unauthenticated;
        }
        if (need == Role::Operator && who->role != Role::Operator) {
            fail(403, fmt::format("token \"{}\" has the viewer role; this needs the operator role", who->name));
            return std::nullopt;
        }
        return who;
    }

    // --- routing ---

    void route() {
        const auto path = split_path(req_.target());
        if (!path) return fail(404, fmt::format("no such resource: {}", std::string(req_.target().substr(0, req_.target().find('?')))));
        const auto method = req_.method();
        auto q = parse_query(req_.target());
        if (!q) return fail(400, "malformed query string (or a parameter given twice)");
        const auto only = [&](http::verb v) {
            if (method == v || (v == http::verb::get && method == http::verb::head)) return true;
            fail(405, fmt::format("use {} here", std::string(http::to_string(v))), true);
            return false;
        };

        if (path->size() == 1 && (*path)[0] == "healthz") {
            if (!only(http::verb::get)) return;
            json cabs = json::object();
            for (auto &c : svc_.cabinets()) cabs[c->name()] = to_string(c->status().link);
            if (auto why = svc_.degraded())
                return send_json(503, {{"status", "degraded"}, {"reason", *why}, {"cabinets", cabs}});
            return send_json(200, {{"status", "ok"}, {"cabinets", cabs}});
        }
        if (path->size() == 1 && (*path)[0] == "metrics") {
            if (!only(http::verb::get)) return;
            return send(http::status::ok, svc_.metrics(), "text/plain; version=0.0.4; charset=utf-8");
        }
        // The API's description is public, like the page.
        if (path->size() == 2 && (*path)[0] == "api" && (*path)[1] == "openapi.json") {
            if (!only(http::verb::get)) return;
            return send(http::status::ok, std::string(openapi_json()), "application/json");
        }
        if (path->empty() || (*path)[0] != "api") return static_file(*path);

        // /api/...
        const auto &p = *path;
        if (p.size() == 2 && p[1] == "cabinets") {
            if (!only(http::verb::get)) return;
            auto who = authorise(Role::Viewer);
            if (!who) return;
            json out = json::array();
            for (auto &c : svc_.cabinets()) out.push_back(status_json(c->status(), who->role == Role::Operator));
            return send_json(200, {{"cabinets", out}});
        }
        if (p.size() >= 3 && p[1] == "cabinets") {
            Cabinet *cab = svc_.cabinet(p[2]);
            if (p.size() == 3) {
                if (!only(http::verb::get)) return;
                auto who = authorise(Role::Viewer);
                if (!who) return;
                if (!cab) return fail(404, fmt::format("no cabinet named \"{}\"", p[2]));
                return send_json(200, status_json(cab->status(), who->role == Role::Operator));
            }
            if (p.size() == 4 && p[3] == "clear-fault") {
                if (!only(http::verb::post)) return;
                auto who = authorise(Role::Operator);
                if (!who) return;
                if (!cab) return fail(404, fmt::format("no cabinet named \"{}\"", p[2]));
                return await(), cab->clear_fault(who->name, replier());
            }
            if (p.size() == 6 && p[3] == "doors" && p[5] == "open") {
                if (!only(http::verb::post)) return;
                auto who = authorise(Role::Operator);
                if (!who) return;
                if (!cab) return fail(404, fmt::format("no cabinet named \"{}\"", p[2]));
                return open(*cab, p[4], *who, *q);
            }
        }
        if (p.size() == 2 && p[1] == "events") {
            if (!only(http::verb::get)) return;
            auto who = authorise(Role::Viewer);
            if (!who) return;
            return events(*q, who->role == Role::Operator);
        }
        if (p.size() == 2 && p[1] == "whoami") {
            if (!only(http::verb::get)) return;
            auto who = authorise(Role::Viewer);
            if (!who) return;
            return send_json(200, {{"name", who->name}, {"role", to_string(who->role)}});
        }
        if (p.size() == 2 && p[1] == "stream-token") {
            if (!only(http::verb::post)) return;
            auto who = authorise(Role::Viewer);
            if (!who) return;
            const auto ttl = opt_.stream_token_ttl;
            return send_json(200, {{"token", svc_.tokens().issue_stream_token(*who, ttl)}, {"expires_in_s", ttl.count()}});
        }
        if (p.size() == 2 && p[1] == "stream") {
            if (!only(http::verb::get)) return;
            auto who = authorise(Role::Viewer, &*q);
            if (!who) return;
            return stream(*q, *who);
        }
        fail(404, fmt::format("no such resource: {}", std::string(req_.target().substr(0, req_.target().find('?')))));
    }

    void open(Cabinet &cab, const std::string &door_text, const Identity &who, const std::map<std::string, std::string> &q) {
        OpenInput in;
        in.door = door_text;
        if (auto w = q.find("wait"); w != q.end()) in.wait = w->second;
        if (!req_.body().empty()) {
            auto ct = req_[http::field::content_type];
            in.body = std::string_view(req_.body());
            in.body_is_json = ct.substr(0, ct.find(';')) == "application/json";
        }
        auto parsed = parse_open(in, Front::Http);
        if (auto *e = std::get_if<CommandError>(&parsed)) {
            using K = CommandError::Kind;
            const int status = e->kind == K::NoDoor       ? 404
                               : e->kind == K::NotJson    ? 415
                               : e->kind == K::OutOfRange ? 422
                                                          : 400;
            return fail(status, e->text);
        }
        OpenArgs args = std::get<Command>(parsed).open_args();
        args.requested_by = who.name;
        // A header that is there but empty is a client's mistake, not "no key":
        // taking it for none would open again on every retry.
        if (auto key = req_.find("Idempotency-Key"); key != req_.end()) {
            if (key->value().empty())
                return fail(400, fmt::format("Idempotency-Key is empty: give 1 to {} letters, digits, '-', '.', ':' or '_', "
                                             "or leave the header out", cabinet_host::kRequestIdMax));
            if (!cabinet_host::is_identifier(key->value(), cabinet_host::kRequestIdMax))
                return fail(400, fmt::format("Idempotency-Key: use 1 to {} letters, digits, '-', '.', ':' or '_'", cabinet_host::kRequestIdMax));
            args.key = std::string(key->value());
            args.key_scope = "http:" + who.name; // a token's keys are its own
        }
        await();
        cab.open(std::move(args), replier());
    }

    // While a controller answers, the connection neither reads nor times out.
    void await() { stream_.expires_never(); }

    Reply replier() {
        return [self = shared_from_this()](CommandResult r) {
            net::post(self->stream_.get_executor(), [self, r = std::move(r)] {
                if (self->closed_) return;
                self->send_json(http_status(r), result_json(r));
            });
        };
    }

    void events(const std::map<std::string, std::string> &q, bool for_operator) {
        Query query;
        if (auto it = q.find("after"); it != q.end()) {
            auto a = parse_decimal<std::int64_t>(it->second);
            if (!a) return fail(400, "after: expected a cursor (a whole number, no leading zeros)");
            query.after = *a;
        }
        if (auto it = q.find("limit"); it != q.end()) {
            auto l = parse_decimal<std::size_t>(it->second);
            if (!l || *l < 1 || *l > 1000) return fail(400, "limit: 1 to 1000 (no leading zeros)");
            query.limit = *l;
        }
        if (auto it = q.find("cabinet"); it != q.end() && !it->second.empty()) {
            if (!svc_.cabinet(it->second)) return fail(404, fmt::format("no cabinet named \"{}\"", it->second));
            query.cabinet = it->second;
        }
        std::string bad;
        auto kinds = kinds_param(q, kAllKinds, bad);
        if (!kinds) return fail(400, fmt::format("kind: unknown kind \"{}\"", bad));
        if (q.count("kind")) query.kinds = *kinds;
        // The read runs on the reader thread; the answer comes back here.
        await();
        const bool queued = srv_.reader.submit([self = shared_from_this(), query, for_operator]() mutable {
            std::optional<Journal::Page> page;
            std::string error;
            try {
                page = self->svc_.journal().page(query, std::numeric_limits<std::int64_t>::max());
            } catch (const std::exception &e) {
                error = e.what();
            }
            auto ex = self->stream_.get_executor();
            net::post(ex, [self = std::move(self), page = std::move(page), error, query, for_operator] {
                if (self->closed_) return;
                if (!page) return self->fail(500, fmt::format("cannot read the journal: {}", error));
                json out = json::array();
                for (auto &r : page->records)
                    out.push_back(record_json(r, for_operator, self->svc_.endpoint(r.cabinet)));
                const auto next = page->records.empty() ? query.after : page->records.back().cursor;
                self->send_json(200, {{"events", out}, {"next", next}, {"more", page->records.size() == query.limit}});
            });
        });
        if (!queued) fail(503, "too many journal reads waiting; try again", true);
    }

    void static_file(const std::vector<std::string> &path) {
        if (req_.method() != http::verb::get && req_.method() != http::verb::head)
            return fail(405, "use GET here");
        const auto &root = svc_.config().web_root;
        std::string name = path.empty() ? "index.html" : path.back();
        const bool safe = path.size() <= 1 && !name.empty() && name[0] != '.' &&
                          std::all_of(name.begin(), name.end(), [](unsigned char c) {
                              return std::isalnum(c) || c == '.' || c == '-' || c == '_';
                          });
        if (root.empty() || !safe) return fail(404, "not found");
        std::ifstream in(root + "/" + name, std::ios::binary);
        if (!in) return fail(404, "not found");
        std::stringstream ss;
        ss << in.rdbuf();
        send(http::status::ok, ss.str(), content_type(name));
    }

    // --- event stream ---

    void stream(const std::map<std::string, std::string> &q, const Identity &who) {
        if (auto it = q.find("cabinet"); it != q.end() && !it->second.empty()) {
            if (!svc_.cabinet(it->second)) return fail(404, fmt::format("no cabinet named \"{}\"", it->second));
            cabinet_ = it->second;
        }
        std::string bad;
        auto kinds = kinds_param(q, kStreamKinds, bad);
        if (!kinds) return fail(400, fmt::format("kind: unknown kind \"{}\"", bad));
        kinds_ = std::move(*kinds);
        // Where to start: where the client left off (Last-Event-ID, which a
        // browser sends by itself on reconnecting), a cursor it asks for, or now.
        cursor_ = svc_.journal().last_cursor();
        std::optional<std::pair<const char *, std::string_view>> from;
        if (auto h = req_.find("Last-Event-ID"); h != req_.end()) from.emplace("Last-Event-ID", h->value());
        else if (auto it = q.find("after"); it != q.end()) from.emplace("after", it->second);
        if (from) {
            auto c = parse_decimal<std::int64_t>(from->second);
            if (!c) return fail(400, fmt::format("{}: expected a cursor (a whole number, no leading zeros)", from->first));
            cursor_ = *c;
        }
        auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, req_.version());
        common_headers(*res);
        res->set(http::field::content_type, "text/event-stream");
        res->keep_alive(false);
        auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*res);
        stream_.expires_after(opt_.stream_write_timeout);
        if (req_.method() == http::verb::head) {
            // The stream's headers and nothing else.
            http::async_write_header(stream_, *sr, [self = shared_from_this(), res, sr](beast::error_code, std::size_t) {
                self->close();
            });
            return;
        }
        who_ = who;
        streaming_ = true;
        counted_stream_ = true;
        ++srv_.streams;
        auto &live = srv_.stream_conns;
        if (live.size() >= 2 * srv_.streams + 16) std::erase_if(live, [](auto &w) { return w.expired(); });
        live.push_back(weak_from_this());
        http::async_write_header(stream_, *sr, [self = shared_from_this(), res, sr](beast::error_code ec, std::size_t) {
            if (ec) return self->close();
            std::weak_ptr<Conn> weak = self;
            self->listener_ = self->svc_.journal().subscribe([weak](std::int64_t) {
                auto s = weak.lock();
                // One wake-up pending is enough: pump() takes all there is.
                if (!s || s->wake_pending_.exchange(true)) return;
                net::post(s->stream_.get_executor(), [s] {
                    s->wake_pending_ = false;
                    s->pump();
                });
            });
            // A retry hint for EventSource, then whatever is already waiting.
            self->write(std::make_shared<std::string>("retry: 1000\n\n"));
            self->schedule_ping();
            self->schedule_watch();
        });
    }

    // Asks the reader thread for the next page when there may be one and
    // nothing is being written or read.
    void pump() {
        if (writing_ || reading_ || closed_) return;
        if (cursor_ >= svc_.journal().last_cursor()) return;
        reading_ = true;
        Query query;
        query.after = cursor_;
        query.limit = kStreamPage;
        query.cabinet = cabinet_;
        query.kinds = kinds_;
        const bool queued = srv_.reader.submit([self = shared_from_this(), query]() mutable {
            std::optional<Journal::Page> page;
            try {
                page = self->svc_.journal().page(query, kStreamWindow);
            } catch (const std::exception &e) {
                log(3, fmt::format("event stream: cannot read the journal: {}", e.what()));
            }
            auto ex = self->stream_.get_executor();
            net::post(ex, [self = std::move(self), page = std::move(page)] { self->on_page(page); });
        });
        // Every connection has one read waiting at most, and the queue holds
        // as many as there may be connections; should it be full all the
        // same, the client reconnects and resumes where it was.
        if (!queued) close();
    }

    void on_page(const std::optional<Journal::Page> &page) {
        reading_ = false;
        if (closed_) return;
        if (!page) return close(); // the client resumes from its last id
        cursor_ = std::max(cursor_, page->scanned_to);
        auto out = std::make_shared<std::string>();
        const bool for_operator = who_.role == Role::Operator;
        for (auto &r : page->records) {
            const auto format = [&](const json &j) { return fmt::format("id: {}\nevent: {}\ndata: {}\n\n", r.cursor, r.kind, j.dump()); };
            if (!for_operator && r.kind == "link") *out += format(record_json(r, false, svc_.endpoint(r.cabinet)));
            else *out += srv_.messages.get(r.cursor, [&] { return format(record_json(r)); });
        }
        if (!out->empty()) return write(std::move(out));
        pump();
    }

    void write(std::shared_ptr<std::string> data) {
        writing_ = true;
        stream_.expires_after(opt_.stream_write_timeout); // a client that stops reading is dropped
        net::async_write(stream_, net::buffer(*data), [self = shared_from_this(), data](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            if (ec) return self->close();
            self->pump();
        });
    }

    // The pending ping is what keeps a quiet stream's connection alive; a
    // client gone away shows when a ping or a message cannot be written.
    void schedule_ping() {
        ping_.expires_after(opt_.stream_ping);
        ping_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->closed_) return;
            if (!self->writing_) self->write(std::make_shared<std::string>(": ping\n\n"));
            self->schedule_ping();
        });
    }

    // A client that stops reading shows only when the kernel's buffers on
    // both sides are full, and a write then waits: megabytes and minutes
    // later at a slow event rate. The kernel knows sooner: what the client
    // has acknowledged stops growing while data waits for it. Thirty seconds
    // of that and the stream is dropped.
    void schedule_watch() {
        watch_.expires_after(opt_.stream_watch);
        watch_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->closed_) return;
            self->watch();
            if (!self->closed_) self->schedule_watch();
        });
    }

    void watch() {
        const auto p = tcp_progress(stream_.socket().native_handle());
        if (!p) return; // the kernel does not say: the write timeout still holds
        if (p->outstanding == 0 || p->acked != acked_) {
            acked_ = p->acked;
            stalled_since_.reset();
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!stalled_since_) stalled_since_ = now - opt_.stream_watch / 2; // it began since the last look
        else if (now - *stalled_since_ >= opt_.stream_write_timeout) close();
    }

    HttpServer::Impl &srv_;
    Service &svc_;
    const HttpOptions &opt_;
    beast::tcp_stream stream_;
    beast::flat_buffer buf_; // holds the header limit at most
    std::size_t search_from_ = 0;
    std::chrono::steady_clock::time_point request_deadline_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Request req_;
    bool keep_alive_ = true;
    bool closed_ = false;
    bool authenticated_ = false;
    bool counted_conn_ = true, counted_unauth_ = true, counted_stream_ = false;
    // Stream state.
    Identity who_;
    bool streaming_ = false;
    bool writing_ = false;
    bool reading_ = false;
    std::atomic<bool> wake_pending_{false};
    int listener_ = 0;
    std::int64_t cursor_ = 0;
    std::string cabinet_;
    std::vector<std::string> kinds_;
    net::steady_timer ping_;
    net::steady_timer watch_;
    std::uint64_t acked_ = 0;
    std::optional<std::chrono::steady_clock::time_point> stalled_since_;
};

// Makes room for a new connection: closes the oldest one that has not shown
// a valid token. False if there is none.
bool evict_oldest_unauthenticated(HttpServer::Impl &impl) {
    auto &order = impl.unauth_order;
    while (!order.empty()) {
        auto c = order.front().lock();
        order.pop_front();
        if (c && c->unauthenticated()) {
            c->evict();
            return true;
        }
    }
    return false;
}

void do_accept(HttpServer::Impl &impl) {
    impl.acceptor.async_accept(net::make_strand(impl.ioc), [&impl](beast::error_code ec, tcp::socket s) {
        if (ec == net::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, most likely: try again shortly rather than
            // spinning on the same error.
            impl.retry_accept.expires_after(std::chrono::milliseconds(100));
            impl.retry_accept.async_wait([&impl](beast::error_code e) {
                if (!e) do_accept(impl);
            });
            return;
        }
        const auto &opt = impl.svc.http_options();
        bool room = impl.connections.load() < opt.max_connections;
        // Connections without a token never take more than their share: the
        // oldest of them goes, so a client with a token always gets in.
        if (impl.unauthenticated.load() >= opt.max_unauthenticated || !room)
            room = evict_oldest_unauthenticated(impl) || room;
        if (!room) {
            beast::error_code ignored;
            s.close(ignored); // every connection holds a valid token: refused, the rest keep working
        } else {
            beast::error_code ignored;
            s.set_option(tcp::no_delay(true), ignored); // small answers go out at once
            auto c = std::make_shared<Conn>(impl, std::move(s));
            auto &order = impl.unauth_order;
            if (order.size() >= 2 * opt.max_unauthenticated + 16)
                std::erase_if(order, [](auto &w) {
                    auto c = w.lock();
                    return !c || !c->unauthenticated();
                });
            order.push_back(c);
            c->start();
        }
        do_accept(impl);
    });
}

} // namespace

HttpServer::HttpServer(Service &svc, const ListenAddress &addr) : impl_(std::make_unique<Impl>(svc, addr)) {
    try {
        const tcp::endpoint ep(net::ip::make_address(addr.host), addr.port);
        impl_->acceptor.open(ep.protocol());
        impl_->acceptor.set_option(net::socket_base::reuse_address(true));
        impl_->acceptor.bind(ep);
        impl_->acceptor.listen(net::socket_base::max_listen_connections);
        port_ = impl_->port = impl_->acceptor.local_endpoint().port();
    } catch (const boost::system::system_error &e) {
        throw ConfigError(fmt::format("cannot listen on {}:{}: {}", addr.host, addr.port, e.code().message()));
    }
}

HttpServer::~HttpServer() { stop(); }

std::size_t HttpServer::connections() const { return impl_->connections; }
std::size_t HttpServer::streams() const { return impl_->streams; }
std::size_t HttpServer::unauthenticated() const { return impl_->unauthenticated; }
std::uint64_t HttpServer::evicted() const { return impl_->evicted; }

void HttpServer::tokens_changed() {
    net::post(impl_->ioc, [impl = impl_.get()] {
        auto live = impl->stream_conns; // closing one may not change the list, but keep it simple
        for (auto &w : live)
            if (auto c = w.lock()) c->recheck_token();
    });
}

void HttpServer::start() {
    do_accept(*impl_);
    net::post(impl_->ioc, [this] { impl_->tick(progress_); });
    thread_ = std::thread([this] { impl_->ioc.run(); });
}

void HttpServer::stop() {
    if (!thread_.joinable()) return;
    net::post(impl_->ioc, [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->retry_accept.cancel();
    });
    impl_->ioc.stop();
    thread_.join();
    impl_->reader.stop();
}

} // namespace cabinetd
