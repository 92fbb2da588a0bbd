#include "http_server.h"

#include "service.h"

#include <cabinet_host/protocol.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>

#include <charconv>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>

namespace cabinetd {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using nlohmann::json;

struct HttpServer::Impl {
    Impl(HttpServer &o, Service &s) : owner(o), svc(s), acceptor(ioc) {}
    HttpServer &owner;
    Service &svc;
    net::io_context ioc;
    tcp::acceptor acceptor;
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

    // Every stream sends the same recent records: each is formatted once.
    // Used from the server's one thread only.
    struct Message {
        std::int64_t cursor;
        std::string text;
    };
    std::deque<Message> messages;
    const Message &message(const Record &r);
};

const HttpServer::Impl::Message &HttpServer::Impl::message(const Record &r) {
    auto it = std::lower_bound(messages.begin(), messages.end(), r.cursor,
                               [](const Message &m, std::int64_t c) { return m.cursor < c; });
    if (it != messages.end() && it->cursor == r.cursor) return *it;
    Message m{r.cursor, fmt::format("id: {}\nevent: {}\ndata: {}\n\n", r.cursor, r.kind, record_json(r).dump())};
    if (it == messages.end()) {
        messages.push_back(std::move(m));
        if (messages.size() > 4096) messages.pop_front();
        return messages.back();
    }
    return *messages.insert(it, std::move(m)); // an old record for a client catching up
}

namespace {

using Request = http::request<http::string_body>;

// Kinds a stream carries unless told otherwise: what happened to the
// cabinets, not the line traffic (acks and commands stay in the journal).
const std::set<std::string> kStreamKinds = {"event", "state", "link", "session", "gap", "open", "open_failed", "clear",
                                            "heartbeat", "journal"};
const std::set<std::string> kAllKinds = {"event", "ack",  "command", "state", "link", "session",
                                         "gap", "open", "open_failed", "clear", "heartbeat", "journal"};

std::vector<std::string> split_path(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::vector<std::string> out;
    while (!target.empty()) {
        if (target.front() == '/') {
            target.remove_prefix(1);
            continue;
        }
        const auto slash = target.find('/');
        out.emplace_back(target.substr(0, slash));
        if (slash == std::string_view::npos) break;
        target.remove_prefix(slash);
    }
    return out;
}

template <class T> std::optional<T> number(std::string_view s) {
    T v{};
    if (s.empty()) return std::nullopt;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
    return v;
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
    Conn(HttpServer::Impl &srv, tcp::socket socket, std::atomic<std::size_t> &conns,
         std::atomic<std::size_t> &streams)
        : srv_(srv), svc_(srv.svc), opt_(srv.svc.http_options()), stream_(std::move(socket)),
          conns_(conns), streams_(streams), ping_(stream_.get_executor()) {
        ++conns_;
    }
    ~Conn() {
        --conns_;
        if (listener_) svc_.journal().unsubscribe(listener_);
        if (streaming_) --streams_;
    }

    void start() { read(); }

private:
    void read() {
        parser_.emplace();
        parser_->body_limit(opt_.body_limit);
        parser_->header_limit(8192);
        // One deadline for waiting and reading the whole request: a client
        // that trickles its bytes or sits idle is cut off.
        stream_.expires_after(opt_.request_timeout);
        http::async_read(stream_, buf_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

    void on_read(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::operation_aborted ||
            ec == net::error::connection_reset || ec == net::error::eof)
            return close();
        if (ec == http::error::body_limit)
            return fail(413, fmt::format("the request body is larger than {} bytes", opt_.body_limit), false);
        if (ec == http::error::header_limit) return fail(431, "the request headers are too large", false);
        if (ec) return fail(400, fmt::format("malformed HTTP request: {}", ec.message()), false);
        req_ = parser_->release();
        keep_alive_ = req_.keep_alive();
        try {
            route();
        } catch (const std::exception &e) {
            fail(500, fmt::format("internal error: {}", e.what()));
        }
    }

    void send(http::status status, std::string body, const char *type = "application/json",
              std::vector<std::pair<http::field, std::string>> extra = {}) {
        auto res = std::make_shared<http::response<http::string_body>>(status, req_.version());
        res->set(http::field::server, "cabinetd");
        res->set(http::field::content_type, type);
        res->set(http::field::cache_control, "no-store");
        for (auto &[f, v] : extra) res->set(f, v);
        res->body() = std::move(body);
        res->keep_alive(keep_alive_);
        res->prepare_payload();
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
        closed_ = true;
        beast::error_code ignored;
        ping_.cancel();
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

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
        if (need == Role::Operator && who->role != Role::Operator) {
            fail(403, fmt::format("token \"{}\" has the viewer role; this needs the operator role", who->name));
            return std::nullopt;
        }
        return who;
    }

    void route() {
        const auto path = split_path(req_.target());
        const auto method = req_.method();
        auto q = parse_query(req_.target());
        if (!q) return fail(400, "malformed query string");
        const auto only = [&](http::verb v) {
            if (method == v || (v == http::verb::get && method == http::verb::head)) return true;
            fail(405, fmt::format("use {} here", std::string(http::to_string(v))), true);
            return false;
        };

        if (path.size() == 1 && path[0] == "healthz") {
            if (!only(http::verb::get)) return;
            json cabs = json::object();
            for (auto &c : svc_.cabinets()) cabs[c->name()] = to_string(c->status().link);
            if (auto why = svc_.degraded())
                return send_json(503, {{"status", "degraded"}, {"reason", *why}, {"cabinets", cabs}});
            return send_json(200, {{"status", "ok"}, {"cabinets", cabs}});
        }
        if (path.size() == 1 && path[0] == "metrics") {
            if (!only(http::verb::get)) return;
            return send(http::status::ok, svc_.metrics(), "text/plain; version=0.0.4; charset=utf-8");
        }
        if (path.empty() || path[0] != "api") return static_file(path);

        // /api/...
        if (path.size() == 2 && path[1] == "cabinets") {
            if (!only(http::verb::get) || !authorise(Role::Viewer)) return;
            json out = json::array();
            for (auto &c : svc_.cabinets()) out.push_back(status_json(c->status()));
            return send_json(200, {{"cabinets", out}});
        }
        if (path.size() >= 3 && path[1] == "cabinets") {
            Cabinet *cab = svc_.cabinet(path[2]);
            if (path.size() == 3) {
                if (!only(http::verb::get) || !authorise(Role::Viewer)) return;
                if (!cab) return fail(404, fmt::format("no cabinet named \"{}\"", path[2]));
                return send_json(200, status_json(cab->status()));
            }
            if (path.size() == 4 && path[3] == "clear-fault") {
                if (!only(http::verb::post)) return;
                auto who = authorise(Role::Operator);
                if (!who) return;
                if (!cab) return fail(404, fmt::format("no cabinet named \"{}\"", path[2]));
                return await(), cab->clear_fault(who->name, replier());
            }
            if (path.size() == 6 && path[3] == "doors" && path[5] == "open") {
                if (!only(http::verb::post)) return;
                auto who = authorise(Role::Operator);
                if (!who) return;
                if (!cab) return fail(404, fmt::format("no cabinet named \"{}\"", path[2]));
                return open(*cab, path[4], *who, *q);
            }
        }
        if (path.size() == 2 && path[1] == "events") {
            if (!only(http::verb::get) || !authorise(Role::Viewer)) return;
            return events(*q);
        }
        if (path.size() == 2 && path[1] == "whoami") {
            if (!only(http::verb::get)) return;
            auto who = authorise(Role::Viewer);
            if (!who) return;
            return send_json(200, {{"name", who->name}, {"role", to_string(who->role)}});
        }
        if (path.size() == 2 && path[1] == "stream-token") {
            if (!only(http::verb::post)) return;
            auto who = authorise(Role::Viewer);
            if (!who) return;
            const auto ttl = opt_.stream_token_ttl;
            return send_json(200, {{"token", svc_.tokens().issue_stream_token(*who, ttl)}, {"expires_in_s", ttl.count()}});
        }
        if (path.size() == 2 && path[1] == "stream") {
            if (!only(http::verb::get) || !authorise(Role::Viewer, &*q)) return;
            return stream(*q);
        }
        fail(404, fmt::format("no such resource: {}", std::string(req_.target().substr(0, req_.target().find('?')))));
    }

    void open(Cabinet &cab, const std::string &door_text, const Identity &who, const std::map<std::string, std::string> &q) {
        const auto door = number<unsigned>(door_text);
        if (!door || *door < 1 || *door > cabinet_host::kDoors)
            return fail(404, fmt::format("no door \"{}\": doors are numbered 1 to {}", door_text, cabinet_host::kDoors));
        OpenArgs args;
        args.door = *door;
        args.requested_by = who.name;
        if (auto w = q.find("wait"); w != q.end()) {
            if (w->second != "cycle") return fail(400, "wait: the only value is \"cycle\"");
            args.wait_cycle = true;
        }
        if (!req_.body().empty()) {
            auto ct = req_[http::field::content_type];
            if (ct.substr(0, ct.find(';')) != "application/json")
                return fail(415, "the body must be JSON (Content-Type: application/json)");
            auto j = json::parse(req_.body(), nullptr, false);
            if (j.is_discarded() || !j.is_object()) return fail(400, "the body is not a JSON object");
            for (auto &[k, v] : j.items()) {
                if (k != "pulse_ms" && k != "ttl_ms") return fail(400, fmt::format("unknown field \"{}\"", k));
                if (!v.is_number_integer()) return fail(400, fmt::format("\"{}\" must be a whole number of milliseconds", k));
            }
            if (j.contains("pulse_ms")) {
                const auto p = j["pulse_ms"].get<std::int64_t>();
                if (p < cabinet_host::kPulseMinMs || p > cabinet_host::kPulseMaxMs)
                    return fail(422, fmt::format("pulse_ms {} is out of range: {} to {}", p, cabinet_host::kPulseMinMs, cabinet_host::kPulseMaxMs));
                args.pulse_ms = static_cast<std::uint32_t>(p);
            }
            if (j.contains("ttl_ms")) {
                const auto t = j["ttl_ms"].get<std::int64_t>();
                if (t < cabinet_host::kTtlMinMs || t > cabinet_host::kTtlMaxMs)
                    return fail(422, fmt::format("ttl_ms {} is out of range: {} to {}", t, cabinet_host::kTtlMinMs, cabinet_host::kTtlMaxMs));
                args.ttl_ms = static_cast<std::uint32_t>(t);
            }
        }
        if (auto key = req_["Idempotency-Key"]; !key.empty()) {
            if (!cabinet_host::is_identifier(key, cabinet_host::kRequestIdMax))
                return fail(400, fmt::format("Idempotency-Key: use 1 to {} letters, digits, '-', '.', ':' or '_'", cabinet_host::kRequestIdMax));
            args.request_id = std::string(key);
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
                int status = r.status;
                if (r.cycle_end) status = 200;
                self->send_json(status, result_json(r));
            });
        };
    }

    void events(const std::map<std::string, std::string> &q) {
        Query query;
        if (auto it = q.find("after"); it != q.end()) {
            auto a = number<std::int64_t>(it->second);
            if (!a || *a < 0) return fail(400, "after: expected a cursor (a whole number)");
            query.after = *a;
        }
        if (auto it = q.find("limit"); it != q.end()) {
            auto l = number<std::size_t>(it->second);
            if (!l || *l < 1 || *l > 1000) return fail(400, "limit: 1 to 1000");
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
        auto recs = svc_.journal().read(query);
        json out = json::array();
        for (auto &r : recs) out.push_back(record_json(r));
        const auto next = recs.empty() ? query.after : recs.back().cursor;
        send_json(200, {{"events", out}, {"next", next}, {"more", recs.size() == query.limit}});
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

    void stream(const std::map<std::string, std::string> &q) {
        if (auto it = q.find("cabinet"); it != q.end() && !it->second.empty()) {
            if (!svc_.cabinet(it->second)) return fail(404, fmt::format("no cabinet named \"{}\"", it->second));
            cabinet_ = it->second;
        }
        std::string bad;
        auto kinds = kinds_param(q, kStreamKinds, bad);
        if (!kinds) return fail(400, fmt::format("kind: unknown kind \"{}\"", bad));
        kinds_ = std::set<std::string>(kinds->begin(), kinds->end());
        // Where to start: where the client left off (Last-Event-ID, which a
        // browser sends by itself on reconnecting), a cursor it asks for, or now.
        cursor_ = svc_.journal().last_cursor();
        std::string_view from = req_["Last-Event-ID"];
        if (from.empty())
            if (auto it = q.find("after"); it != q.end()) from = it->second;
        if (!from.empty()) {
            auto c = number<std::int64_t>(from);
            if (!c || *c < 0) return fail(400, "Last-Event-ID: expected a cursor (a whole number)");
            cursor_ = *c;
        }
        streaming_ = true;
        ++streams_;
        auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, req_.version());
        res->set(http::field::server, "cabinetd");
        res->set(http::field::content_type, "text/event-stream");
        res->set(http::field::cache_control, "no-store");
        res->keep_alive(false);
        auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*res);
        stream_.expires_after(opt_.stream_write_timeout);
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
        });
    }

    void pump() {
        if (writing_ || closed_) return;
        auto out = std::make_shared<std::string>();
        while (out->size() < 64 * 1024) {
            auto recs = svc_.journal().since(cursor_, 512);
            if (recs.empty()) break;
            for (auto &r : recs) {
                cursor_ = r.cursor;
                if (!kinds_.count(r.kind) || (!cabinet_.empty() && r.cabinet != cabinet_)) continue;
                *out += srv_.message(r).text;
            }
        }
        if (!out->empty()) write(std::move(out));
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

    HttpServer::Impl &srv_;
    Service &svc_;
    const HttpOptions &opt_;
    beast::tcp_stream stream_;
    std::atomic<std::size_t> &conns_;
    std::atomic<std::size_t> &streams_;
    beast::flat_buffer buf_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Request req_;
    bool keep_alive_ = true;
    bool closed_ = false;
    // Stream state.
    bool streaming_ = false;
    bool writing_ = false;
    std::atomic<bool> wake_pending_{false};
    int listener_ = 0;
    std::int64_t cursor_ = 0;
    std::string cabinet_;
    std::set<std::string> kinds_;
    net::steady_timer ping_;
};

void do_accept(HttpServer::Impl &impl, std::atomic<std::size_t> &conns, std::atomic<std::size_t> &streams) {
    impl.acceptor.async_accept(net::make_strand(impl.ioc), [&impl, &conns, &streams](beast::error_code ec, tcp::socket s) {
        if (ec == net::error::operation_aborted) return;
        if (!ec) {
            if (conns.load() >= impl.svc.http_options().max_connections) {
                beast::error_code ignored;
                s.close(ignored); // over the limit: refused at once, the rest keep working
            } else {
                beast::error_code ignored;
                s.set_option(tcp::no_delay(true), ignored); // small answers go out at once
                std::make_shared<Conn>(impl, std::move(s), conns, streams)->start();
            }
        }
        do_accept(impl, conns, streams);
    });
}

} // namespace

HttpServer::HttpServer(Service &svc, const ListenAddress &addr) : impl_(std::make_unique<Impl>(*this, svc)) {
    try {
        const tcp::endpoint ep(net::ip::make_address(addr.host), addr.port);
        impl_->acceptor.open(ep.protocol());
        impl_->acceptor.set_option(net::socket_base::reuse_address(true));
        impl_->acceptor.bind(ep);
        impl_->acceptor.listen(net::socket_base::max_listen_connections);
        port_ = impl_->acceptor.local_endpoint().port();
    } catch (const boost::system::system_error &e) {
        throw ConfigError(fmt::format("cannot listen on {}:{}: {}", addr.host, addr.port, e.code().message()));
    }
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::start() {
    do_accept(*impl_, connections_, streams_);
    net::post(impl_->ioc, [this] { impl_->tick(progress_); });
    thread_ = std::thread([this] { impl_->ioc.run(); });
}

void HttpServer::stop() {
    if (!thread_.joinable()) return;
    net::post(impl_->ioc, [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
    });
    impl_->ioc.stop();
    thread_.join();
}

} // namespace cabinetd
