#include "http_server.h"

#include "config_error.h"
#include "http_host.h"
#include "http_routes.h"
#include "reader_thread.h"
#include "sse.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <list>

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace cabinetd {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {
class Connection;
}

struct HttpServer::Impl {
    Impl(ApiContext &c, const ListenAddress &addr)
            : ctx(c), reader(c.options.limits.max_connections, c.options.audit_reads_per_token),
              stream_reader(c.options.limits.max_connections), streams(c, stream_reader),
              acceptor(ioc), retry_accept(ioc), hosts(addr, c.allowed_hosts) {}
    ApiContext &ctx;
    // Declared before the io_context, so they outlive the handlers it
    // destroys (and the connections and streams those hold) when it goes.
    // Server thread only: the open connections without a valid token, the
    // one silent longest first (each moves to the back as bytes arrive, and
    // leaves when it shows a token or closes).
    std::list<Connection *> unauth;
    // Audits (/api/events), the tokens taking turns, and the streams' pages
    // on a thread of their own: a live stream never waits behind a search.
    ReaderThread reader;
    ReaderThread stream_reader;
    EventStreams streams;

    net::io_context ioc;
    tcp::acceptor acceptor;
    net::steady_timer retry_accept; // after an accept failed (out of descriptors)
    // Wakes when the first pending approval's time is up, so its expiry is
    // on record even when nobody asks after it; armed again by each new one.
    net::steady_timer approvals_due{ioc};
    void arm_approvals() {
        ctx.approvals.expire_due();
        const auto in = ctx.approvals.next_expiry();
        if (!in) {
            approvals_due.cancel();
            return;
        }
        approvals_due.expires_after(std::chrono::milliseconds(*in));
        approvals_due.async_wait([this](beast::error_code ec) {
            if (!ec) arm_approvals();
        });
    }
    HostCheck hosts;
};

namespace {

// One client connection: reads a request within the limits, checks its
// header and its token, hands it to its route and writes the answer back.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(HttpServer::Impl &srv, tcp::socket socket)
            : srv_(srv), counters_(srv.ctx.counters), opt_(srv.ctx.options),
              stream_(std::move(socket)), buf_(opt_.header_limit),
              unauth_at_(srv.unauth.insert(srv.unauth.end(), this)) {
        ++counters_.connections;
        ++counters_.unauthenticated;
    }
    ~Connection() { release(); }

    void start() { read(); }

    // Closed to make room for a new connection.
    void evict() {
        ++counters_.evicted;
        close();
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
        stream_.expires_at(place_ ? request_deadline_
                                  : now + std::min(opt_.header_timeout, opt_.request_timeout));
        read_header_block();
    }

    // Reads until the headers' end is in the buffer, which holds the header
    // limit and no more: the parser then gets the whole block at once, and no
    // header, however it is split into reads, costs more than the limit.
    void read_header_block() {
        // Empty lines before a request are allowed, and skipped.
        while (buf_.size() >= 2 &&
               std::string_view(static_cast<const char *>(buf_.data().data()), 2) == "\r\n")
            buf_.consume(2);
        const std::string_view data(static_cast<const char *>(buf_.data().data()), buf_.size());
        const auto end = data.find("\r\n\r\n", search_from_);
        if (end != std::string_view::npos) return on_header_block(end + 4);
        if (buf_.size() >= buf_.max_size())
            return refuse({"header_fields_too_large", "the request headers are too large"});
        search_from_ = data.size() >= 3 ? data.size() - 3 : 0;
        stream_.async_read_some(buf_.prepare(buf_.max_size() - buf_.size()),
                                [self = shared_from_this()](beast::error_code ec, std::size_t n) {
                                    if (ec) return self->on_read(ec);
                                    self->buf_.commit(n);
                                    self->heard();
                                    self->read_header_block();
                                });
    }

    void on_header_block(std::size_t size) {
        const std::string_view block(static_cast<const char *>(buf_.data().data()), size);
        // A line folded onto the next (obsolete since HTTP/1.1) would be read
        // one way here and another by a proxy in front.
        for (auto at = block.find("\r\n"); at != std::string_view::npos && at + 2 < size;
             at = block.find("\r\n", at + 2))
            if (block[at + 2] == ' ' || block[at + 2] == '\t')
                return refuse(
                    {"malformed_request", "header lines folded onto the next are not accepted"});
        beast::error_code ec;
        const auto used = parser_->put(net::buffer(block.data(), block.size()), ec);
        if (!ec && !parser_->is_header_done())
            ec = http::error::need_more; // cannot be, the block is whole
        if (ec) return refuse(parser_refusal(ec));
        buf_.consume(used);
        req_ = Request(parser_->get().base());
        if (!check_header()) return;
        if (parser_->is_done()) return on_read({});
        stream_.expires_at(request_deadline_);
        http::async_read(
            stream_, buf_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

    // What the header must be before its body is read or it is routed; false
    // when it was refused (and the connection is closing).
    bool check_header() {
        auto checked = cabinetd::check_header(req_, srv_.hosts);
        if (!checked) refuse(checked.refusal());
        return static_cast<bool>(checked);
    }

    void on_read(beast::error_code ec) {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == net::error::operation_aborted || ec == net::error::connection_reset ||
            ec == net::error::eof)
            return close();
        if (closed_) return;
        if (ec) return refuse(parser_refusal(ec));
        req_ = parser_->release();
        keep_alive_ = req_.keep_alive();
        try {
            dispatch();
        } catch (const std::exception &e) {
            refuse({"internal_error", fmt::format("internal error: {}", e.what())});
        }
    }

    // A request the parser refused; the connection closes after the answer.
    Refusal parser_refusal(beast::error_code ec) const {
        if (ec == http::error::body_limit)
            return {"payload_too_large",
                    fmt::format("the request body is larger than {} bytes", opt_.body_limit)};
        if (ec == http::error::header_limit)
            return {"header_fields_too_large", "the request headers are too large"};
        return {"malformed_request", fmt::format("malformed HTTP request: {}", ec.message())};
    }

    // --- answering ---

    void send(Response r) {
        if (!r.keep_alive) keep_alive_ = false;
        auto res = std::make_shared<http::response<http::string_body>>(r.status, req_.version());
        common_headers(*res);
        res->set(http::field::content_type, r.content_type);
        // The binding is captured by an init-capture: clang before 16 cannot capture it as it is.
        for (auto &[f, v] : r.headers)
            std::visit([&, &v = v](auto &name) { res->set(name, v); }, f);
        res->body() = std::move(r.body);
        res->keep_alive(keep_alive_);
        res->prepare_payload();
        if (req_.method() == http::verb::head)
            res->body().clear(); // the length stays, the body goes
        stream_.expires_after(opt_.request_timeout);
        http::async_write(stream_, *res,
                          [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
                              if (ec || !res->keep_alive()) return self->close();
                              self->read();
                          });
    }

    void refuse(const Refusal &r) { send(refusal_response(r)); }

    // An answer that comes later, from any thread.
    std::function<void(Response)> responder() {
        return [self = shared_from_this()](Response r) {
            net::post(self->stream_.get_executor(), [self, r = std::move(r)]() mutable {
                if (!self->closed_) self->send(std::move(r));
            });
        };
    }

    void close() {
        if (closed_) return;
        closed_ = true;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
        release();
    }

    // Counts this connection out of the server's gauges and gives its place
    // back, once.
    void release() {
        leave_unauthenticated();
        place_.reset();
        if (counted_conn_) {
            counted_conn_ = false;
            --counters_.connections;
        }
    }

    // Bytes arrived: no longer the one silent longest among those without
    // a token.
    void heard() {
        if (unauth_at_) srv_.unauth.splice(srv_.unauth.end(), srv_.unauth, *unauth_at_);
    }

    void leave_unauthenticated() {
        if (!unauth_at_) return;
        srv_.unauth.erase(*unauth_at_);
        unauth_at_.reset();
        --counters_.unauthenticated;
    }

    // --- who asks ---

    // A place among the connections with a token, whatever its role: the
    // connection no longer counts among those the server may close to make
    // room. The refusal (429, and the connection closes) when the token (or
    // the viewers together) hold all they may.
    Result<> hold_place(const Principal &who) {
        if (place_ && place_.grant() == who.grant) return {};
        place_.reset(); // another token on the same connection
        auto taken = srv_.ctx.places.take(who);
        if (!taken) return taken.refusal();
        place_ = std::move(*taken);
        leave_unauthenticated();
        return {};
    }

    // --- handing the request on ---

    void dispatch() {
        auto admitted = route_request(req_, srv_.ctx.tokens,
                                      [this](const Principal &who) { return hold_place(who); });
        if (!admitted) return send(refusal_response(admitted.refusal()));
        auto &[m, who] = *admitted;
        ApiRequest req{req_,           m.query,     std::move(m.params),
                       std::move(who), srv_.reader, responder()};
        if (m.route->stream) return hand_over(req);
        if (auto answer = m.route->handler(req, srv_.ctx)) return send(std::move(*answer));
        // While a controller or the journal answers, the connection neither
        // reads nor times out.
        stream_.expires_never();
    }

    // The event stream takes the connection over, with its place.
    void hand_over(const ApiRequest &req) {
        auto start = stream_request(req, srv_.ctx);
        if (!start) return send(refusal_response(start.refusal()));
        if (req.http.method() != http::verb::head)
            if (auto taken = place_.take_stream(req.who); !taken)
                return send(refusal_response(taken.refusal()));
        auto place = std::move(place_);
        closed_ = true; // the socket is the stream's now
        release();
        srv_.streams.start(std::move(stream_), std::move(place), std::move(*start), req);
    }

    HttpServer::Impl &srv_;
    HttpCounters &counters_;
    const HttpOptions &opt_;
    beast::tcp_stream stream_;
    beast::flat_buffer buf_; // holds the header limit at most
    std::size_t search_from_ = 0;
    std::chrono::steady_clock::time_point request_deadline_;
    std::optional<http::request_parser<http::string_body>> parser_;
    Request req_;
    bool keep_alive_ = true;
    bool closed_ = false;
    bool counted_conn_ = true;
    Place place_; // among the connections with a token, once it showed one
    // Where it is among those without a token, while it is one of them.
    std::optional<std::list<Connection *>::iterator> unauth_at_;
};

// A new connection: taken, or refused should every place be held by a
// connection with a valid token (which the places kept for connections
// without one prevent).
void admit(HttpServer::Impl &impl, tcp::socket s) {
    const auto &limits = impl.ctx.options.limits;
    auto &counters = impl.ctx.counters;
    bool room = counters.connections.load() < limits.max_connections;
    // Connections without a token never take more than their share: the
    // one of them silent longest goes, so a client with a token, a health
    // check or a scrape always gets in.
    if (counters.unauthenticated.load() >= limits.max_unauthenticated || !room) {
        if (!impl.unauth.empty()) {
            impl.unauth.front()->evict();
            room = true;
        }
    }
    beast::error_code ignored;
    if (!room) {
        s.close(ignored);
        return;
    }
    s.set_option(tcp::no_delay(true), ignored); // small answers go out at once
    std::make_shared<Connection>(impl, std::move(s))->start();
}

void do_accept(HttpServer::Impl &impl) {
    impl.acceptor.async_accept(
        net::make_strand(impl.ioc), [&impl](beast::error_code ec, tcp::socket s) {
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
            admit(impl, std::move(s));
            do_accept(impl);
        });
}

} // namespace

HttpServer::HttpServer(ApiContext &ctx, const ListenAddress &addr)
        : impl_(std::make_unique<Impl>(ctx, addr)) {
    try {
        const tcp::endpoint ep(net::ip::make_address(addr.host), addr.port);
        impl_->acceptor.open(ep.protocol());
        impl_->acceptor.set_option(net::socket_base::reuse_address(true));
        impl_->acceptor.bind(ep);
        impl_->acceptor.listen(net::socket_base::max_listen_connections);
        // Where the kernel can, a connection reaches cabinetd with its first
        // bytes; one that sends nothing for defer_accept is handed over all
        // the same (then the header deadline closes it).
#ifdef TCP_DEFER_ACCEPT
        const int defer = static_cast<int>(ctx.options.defer_accept.count());
        ::setsockopt(impl_->acceptor.native_handle(), IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer,
                     sizeof defer);
#endif
        port_ = impl_->acceptor.local_endpoint().port();
        impl_->hosts.set_port(port_);
        impl_->streams.attach(impl_->ioc.get_executor());
    } catch (const boost::system::system_error &e) {
        throw ConfigError(
            fmt::format("cannot listen on {}:{}: {}", addr.host, addr.port, e.code().message()));
    }
}

HttpServer::~HttpServer() {
    impl_->streams.detach(); // before the io_context goes, which changes are posted to
    stop();
}

void HttpServer::tokens_changed() {
    // What a removed or changed token granted ends with it: its stream
    // tokens, its pending approvals as requester, its streams.
    impl_->ctx.tokens.reloaded();
    impl_->ctx.approvals.revoke_lost();
    net::post(impl_->ioc, [impl = impl_.get()] { impl->streams.tokens_changed(); });
}

void HttpServer::start() {
    do_accept(*impl_);
    // The loop sleeps until a socket or a post wakes it: asked for its proof
    // of life, it answers once it is free to run handlers, so a stuck loop
    // never answers. Nothing wakes it while idle unless the watchdog asks.
    progress_.answer_with([this] { net::post(impl_->ioc, [this] { progress_.mark(); }); });
    net::post(impl_->ioc, [this] { progress_.mark(); });
    impl_->ctx.approvals.on_pending(
        [this] { net::post(impl_->ioc, [this] { impl_->arm_approvals(); }); });
    thread_ = std::thread([this] { impl_->ioc.run(); });
}

void HttpServer::stop() {
    impl_->streams.detach();
    if (!thread_.joinable()) return;
    impl_->ctx.approvals.on_pending({});
    net::post(impl_->ioc, [this] {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->retry_accept.cancel();
    });
    impl_->ioc.stop();
    thread_.join();
    impl_->reader.stop();
    impl_->stream_reader.stop();
}

} // namespace cabinetd
