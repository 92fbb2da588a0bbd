#include "sse.h"

#include "decimal.h"
#include "http_views.h"
#include "log.h"
#include "reader_thread.h"
#include "tcp_progress.h"

#include <boost/asio.hpp>
#include <cabinet_host/meanings.h>
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

namespace cabinetd {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

// A page of a stream looks this many cursors ahead at most, so a filter that
// matches little costs the reader thread short turns, not one long scan.
constexpr std::int64_t kStreamWindow = 50000;
constexpr std::size_t kStreamPage = 512;

} // namespace

Result<StreamStart> stream_request(const ApiRequest &req, ApiContext &ctx) {
    StreamStart s;
    const auto &q = req.query;
    if (auto it = q.find("cabinet"); it != q.end() && !it->second.empty()) {
        if (auto cab = scoped_cabinet(req.who, ctx, it->second); !cab) return cab.refusal();
        s.cabinet = it->second;
    }
    if (auto it = q.find("kind"); it != q.end()) {
        auto kinds = parse_kinds(it->second);
        if (!kinds) return kinds.refusal();
        s.kinds = std::move(*kinds);
    } else {
        for (auto k : kRecordKinds)
            if (streamed_by_default(k)) s.kinds.push_back(k);
    }
    if (auto it = q.find("status"); it != q.end()) {
        if (it->second != "true" && it->second != "false")
            return Refusal{"bad_request", "status: expected true or false"};
        s.status = it->second == "true";
    }
    // Where to start: where the client left off (Last-Event-ID, which a
    // browser sends by itself on reconnecting), a cursor it asks for, or now.
    s.cursor = ctx.journal.last_cursor();
    std::optional<std::pair<const char *, std::string_view>> from;
    if (auto h = req.http.find("Last-Event-ID"); h != req.http.end())
        from.emplace("Last-Event-ID", h->value());
    else if (auto it = q.find("after"); it != q.end()) from.emplace("after", it->second);
    if (from) {
        auto c = parse_decimal<std::int64_t>(from->second);
        if (!c)
            return Refusal{"bad_request",
                           fmt::format("{}: expected a cursor (a whole number, no leading zeros)",
                                       from->first)};
        s.cursor = *c;
    }
    return s;
}

// Cabinets whose status has changed, handed from their threads to the
// server's: each named once however often it changes before the server
// looks, and one wake-up for them all, so a busy cabinet queues nothing.
class StatusChanges {
public:
    explicit StatusChanges(std::function<void()> wake) : wake_(std::move(wake)) {}
    void changed(const std::string &cabinet) {
        std::lock_guard lk(mu_);
        if (!wake_ || std::find(names_.begin(), names_.end(), cabinet) != names_.end()) return;
        names_.push_back(cabinet);
        if (names_.size() == 1) wake_();
    }
    std::vector<std::string> take() {
        std::lock_guard lk(mu_);
        return std::exchange(names_, {});
    }
    void detach() {
        std::lock_guard lk(mu_);
        wake_ = nullptr;
    }

private:
    std::mutex mu_;
    std::function<void()> wake_;
    std::vector<std::string> names_; // at most one per cabinet
};

// Refusals the cabinets counted instead of journalling one by one, handed
// from their threads to the server's with one wake-up for them all. A flood
// past kWaiting is dropped here: the window's record counts every one.
class CountedRefusals {
public:
    static constexpr std::size_t kWaiting = 256;
    explicit CountedRefusals(std::function<void()> wake) : wake_(std::move(wake)) {}
    void told(const CountedRefusal &r) {
        std::lock_guard lk(mu_);
        if (!wake_ || waiting_.size() >= kWaiting) return;
        waiting_.push_back(r);
        if (waiting_.size() == 1) wake_();
    }
    std::vector<CountedRefusal> take() {
        std::lock_guard lk(mu_);
        return std::exchange(waiting_, {});
    }
    void detach() {
        std::lock_guard lk(mu_);
        wake_ = nullptr;
    }

private:
    std::mutex mu_;
    std::function<void()> wake_;
    std::vector<CountedRefusal> waiting_;
};

namespace {

// A counted refusal as a stream's message: no id, for it is no record (the
// window's record follows when it closes).
std::string refusal_message(const CountedRefusal &r) {
    const auto text = cabinet_host::words_for("refusal", r.code);
    const nlohmann::json j{
        {"cabinet", r.cabinet},
        {"door_id", r.door},
        {"code", r.code},
        {"text", text ? std::string(*text) : std::string()},
        {"requested_by", r.requested_by},
        {"action", r.action.empty() ? nlohmann::json() : nlohmann::json(r.action)},
        {"at_ms", r.at_ms},
        {"count", r.count}};
    return fmt::format("event: refusal\ndata: {}\n\n", j.dump());
}

} // namespace

class EventStream : public std::enable_shared_from_this<EventStream> {
public:
    EventStream(EventStreams &all, beast::tcp_stream socket, Place place, StreamStart what,
                Principal who, bool counted)
            : all_(all), ctx_(all.ctx_), stream_(std::move(socket)), place_(std::move(place)),
              what_(std::move(what)), who_(std::move(who)), counted_stream_(counted),
              ping_(stream_.get_executor()), watch_(stream_.get_executor()) {
        ++ctx_.counters.connections;
        if (counted_stream_) ++ctx_.counters.streams;
    }
    ~EventStream() {
        if (listener_) ctx_.journal.unsubscribe(listener_);
        release();
    }

    void begin(unsigned version, bool head);
    // After a reload of the tokens: a stream whose token is gone, or now
    // grants another name or role, ends (the client reconnects with what
    // its token grants now, if anything).
    void recheck_token() {
        if (!closed_ && !ctx_.tokens.holds(who_)) close();
    }
    // The cabinet's status is to be sent: its latest, when the stream next
    // writes (one per cabinet waiting, however often it changed).
    void status_changed(const std::string &cabinet);
    // A refusal counted by a cabinet: sent with the stream's next write, if
    // the stream shows that cabinet's refusals.
    void refusal_counted(const CountedRefusal &r, const std::string &message);

private:
    void follow_journal();
    void pump();
    void on_page(const std::optional<Journal::Page> &page);
    void mark_status(const std::string &cabinet);
    std::string status_messages();
    void write(std::shared_ptr<std::string> data);
    void schedule_ping();
    void schedule_watch();
    void watch();
    void watch_client();
    void close();
    void release();

    EventStreams &all_;
    ApiContext &ctx_;
    beast::tcp_stream stream_;
    Place place_; // its token's, given back when it closes
    StreamStart what_;
    Principal who_;
    bool counted_conn_ = true, counted_stream_;
    bool closed_ = false, writing_ = false, reading_ = false;
    std::atomic<bool> wake_pending_{false};
    int listener_ = 0;
    net::steady_timer ping_, watch_;
    std::array<char, 256> from_client_; // what a client sends after its request: dropped
    std::uint64_t acked_ = 0;
    std::optional<std::chrono::steady_clock::time_point> stalled_since_;
    std::vector<std::string> status_due_; // cabinets whose status is to be sent
    // Counted refusals to be sent; a client too slow for them gets the
    // latest kRefusalsDue (the windows' records count them all).
    static constexpr std::size_t kRefusalsDue = 64;
    std::deque<std::string> refusals_due_;
};

void EventStream::begin(unsigned version, bool head) {
    auto res = std::make_shared<http::response<http::empty_body>>(http::status::ok, version);
    common_headers(*res);
    res->set(http::field::content_type, "text/event-stream");
    res->keep_alive(false);
    auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*res);
    stream_.expires_after(ctx_.options.stream_write_timeout);
    if (head) {
        // The stream's headers and nothing else.
        http::async_write_header(stream_, *sr,
                                 [self = shared_from_this(), res,
                                  sr](beast::error_code, std::size_t) { self->close(); });
        return;
    }
    http::async_write_header(
        stream_, *sr, [self = shared_from_this(), res, sr](beast::error_code ec, std::size_t) {
            if (ec) return self->close();
            self->watch_client();
            self->follow_journal();
            // A retry hint for EventSource, then whatever is already waiting;
            // a client that asks for the status gets every cabinet's first.
            self->write(std::make_shared<std::string>("retry: 1000\n\n"));
            for (auto &[c, ep] : self->ctx_.cabinets) self->mark_status(c->name());
            self->schedule_ping();
            self->schedule_watch();
        });
}

void EventStream::follow_journal() {
    std::weak_ptr<EventStream> weak = shared_from_this();
    listener_ = ctx_.journal.subscribe([weak](std::int64_t) {
        auto s = weak.lock();
        // One wake-up pending is enough: pump() takes all there is.
        if (!s || s->wake_pending_.exchange(true)) return;
        net::post(s->stream_.get_executor(), [s] {
            s->wake_pending_ = false;
            s->pump();
        });
    });
}

// Asks the reader thread for the next page when there may be one and
// nothing is being written or read.
void EventStream::pump() {
    if (writing_ || reading_ || closed_) return;
    if (!status_due_.empty() || !refusals_due_.empty())
        return write(std::make_shared<std::string>(status_messages()));
    if (what_.cursor >= ctx_.journal.last_cursor()) return;
    reading_ = true;
    Query query;
    query.after = what_.cursor;
    query.limit = kStreamPage;
    query.cabinet = what_.cabinet;
    // A scoped token's stream carries its own cabinets only.
    if (auto readable = ctx_.policy.readable(who_)) {
        if (readable->empty()) return close(); // no cabinet is no filter: nothing to carry
        query.cabinets = std::move(*readable);
    }
    query.kinds = what_.kinds;
    const bool queued = all_.reader_.submit([self = shared_from_this(), query]() mutable {
        std::optional<Journal::Page> page;
        try {
            page = self->ctx_.journal.page(query, kStreamWindow);
        } catch (const std::exception &e) {
            log(Level::Error, fmt::format("event stream: cannot read the journal: {}", e.what()));
        }
        auto ex = self->stream_.get_executor();
        net::post(ex, [self = std::move(self), page = std::move(page)] { self->on_page(page); });
    });
    // Every connection has one read waiting at most, and the queue holds
    // as many as there may be connections; should it be full all the
    // same, the client reconnects and resumes where it was.
    if (!queued) close();
}

void EventStream::on_page(const std::optional<Journal::Page> &page) {
    reading_ = false;
    if (closed_) return;
    if (!page) return close(); // the client resumes from its last id
    what_.cursor = std::max(what_.cursor, page->scanned_to);
    auto out = std::make_shared<std::string>();
    const bool for_operator = who_.role == Role::Operator;
    for (auto &r : page->records) {
        const auto format = [&](const nlohmann::json &j) {
            return fmt::format("id: {}\nevent: {}\ndata: {}\n\n", r.cursor, to_string(r.kind),
                               j.dump());
        };
        // A viewer's link records leave the endpoint out: formatted for it alone.
        if (!for_operator && r.kind == RecordKind::Link)
            *out += format(record_json(r, false, ctx_.endpoint(r.cabinet)));
        else *out += all_.messages_.get(r.cursor, [&] { return format(record_json(r)); });
    }
    // A new session may be a board id that another cabinet already
    // reports, which the status of both shows: every status anew.
    if (what_.status && std::any_of(page->records.begin(), page->records.end(), [](auto &r) {
            return r.kind == RecordKind::Session;
        }))
        for (auto &[c, ep] : ctx_.cabinets) mark_status(c->name());
    if (!out->empty()) return write(std::move(out));
    pump();
}

void EventStream::status_changed(const std::string &cabinet) {
    mark_status(cabinet);
    pump();
}

void EventStream::refusal_counted(const CountedRefusal &r, const std::string &message) {
    if (!what_.status || closed_ || (!what_.cabinet.empty() && what_.cabinet != r.cabinet) ||
        std::find(what_.kinds.begin(), what_.kinds.end(), RecordKind::Refused) ==
            what_.kinds.end() ||
        !ctx_.policy.decide(who_, Action::Read, r.cabinet))
        return;
    if (refusals_due_.size() == kRefusalsDue) refusals_due_.pop_front();
    refusals_due_.push_back(message);
    pump();
}

void EventStream::mark_status(const std::string &cabinet) {
    if (!what_.status || closed_ || (!what_.cabinet.empty() && what_.cabinet != cabinet)) return;
    // Nothing of a cabinet the token may not read, not even that it changed.
    if (!ctx_.policy.decide(who_, Action::Read, cabinet)) return;
    if (std::find(status_due_.begin(), status_due_.end(), cabinet) == status_due_.end())
        status_due_.push_back(cabinet);
}

// A status has no id: a client that reconnects resumes after the last record
// it had, and gets every cabinet's status anew.
std::string EventStream::status_messages() {
    std::string out;
    for (const auto &name : std::exchange(status_due_, {}))
        if (const auto *c = ctx_.cabinet(name))
            out += fmt::format("event: status\ndata: {}\n\n", ctx_.status_text(*c, who_));
    for (auto &m : refusals_due_) out += m;
    refusals_due_.clear();
    return out;
}

void EventStream::write(std::shared_ptr<std::string> data) {
    writing_ = true;
    stream_.expires_after(
        ctx_.options.stream_write_timeout); // a client that stops reading is dropped
    net::async_write(stream_, net::buffer(*data),
                     [self = shared_from_this(), data](beast::error_code ec, std::size_t) {
                         self->writing_ = false;
                         if (ec) return self->close();
                         self->pump();
                     });
}

// The pending ping is what keeps a quiet stream's connection alive; a
// client that closed the connection shows at once (watch_client), one that
// vanished without a word when a ping or a message cannot be written.
void EventStream::schedule_ping() {
    const auto every = what_.status ? ctx_.options.status_ping : ctx_.options.stream_ping;
    ping_.expires_after(every);
    ping_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (ec || self->closed_) return;
        // A client that follows the status watches for pings (a comment is
        // not shown to a browser's script): the interval tells it how long
        // a silence may last before its view is stale.
        if (!self->writing_)
            self->write(std::make_shared<std::string>(
                self->what_.status ? fmt::format("event: ping\ndata: {{\"every_s\":{}}}\n\n",
                                                 self->ctx_.options.status_ping.count())
                                   : std::string(": ping\n\n")));
        self->schedule_ping();
    });
}

// A client that stops reading shows only when the kernel's buffers on
// both sides are full, and a write then waits: megabytes and minutes
// later at a slow event rate. The kernel knows sooner: what the client
// has acknowledged stops growing while data waits for it. Thirty seconds
// of that and the stream is dropped.
void EventStream::schedule_watch() {
    watch_.expires_after(ctx_.options.stream_watch);
    watch_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (ec || self->closed_) return;
        self->watch();
        if (!self->closed_) self->schedule_watch();
    });
}

void EventStream::watch() {
    const auto p = tcp_progress(stream_.socket().native_handle());
    if (!p) return; // the kernel does not say: the write timeout still holds
    if (p->outstanding == 0 || p->acked != acked_) {
        acked_ = p->acked;
        stalled_since_.reset();
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto &opt = ctx_.options;
    if (!stalled_since_)
        stalled_since_ = now - opt.stream_watch / 2; // it began since the last look
    else if (now - *stalled_since_ >= opt.stream_write_timeout) close();
}

// A stream's client sends nothing after its request, so a read that ends
// means it has closed the connection (or reset it): the stream ends at once,
// not at the next ping that cannot be delivered. The read is the socket's
// own, so the write timeout of the stream does not apply to it.
void EventStream::watch_client() {
    stream_.socket().async_read_some(
        net::buffer(from_client_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (self->closed_) return;
            if (ec) return self->close();
            self->watch_client();
        });
}

void EventStream::close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    ping_.cancel();
    watch_.cancel();
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
    release();
}

// Counts this stream out of the server's gauges and gives its place back,
// once.
void EventStream::release() {
    place_.reset();
    if (counted_conn_) {
        counted_conn_ = false;
        --ctx_.counters.connections;
    }
    if (counted_stream_) {
        counted_stream_ = false;
        --ctx_.counters.streams;
    }
}

void EventStreams::start(beast::tcp_stream socket, Place place, StreamStart what,
                         const ApiRequest &req) {
    const bool head = req.http.method() == http::verb::head;
    auto s = std::make_shared<EventStream>(*this, std::move(socket), std::move(place),
                                           std::move(what), req.who, !head);
    if (!head) {
        if (live_.size() >= 2 * ctx_.counters.streams + 16)
            std::erase_if(live_, [](auto &w) { return w.expired(); });
        live_.push_back(s);
    }
    s->begin(req.http.version(), head);
}

EventStreams::~EventStreams() { detach(); }

void EventStreams::attach(net::any_io_executor server) {
    changes_ = std::make_shared<StatusChanges>(
        [this, server] { net::post(server, [this] { status_changed(); }); });
    refusals_ = std::make_shared<CountedRefusals>(
        [this, server] { net::post(server, [this] { refusals_counted(); }); });
    for (auto &[c, ep] : ctx_.cabinets) {
        c->on_status_change([changes = changes_, name = c->name()] { changes->changed(name); });
        c->on_counted_refusal(
            [refusals = refusals_](const CountedRefusal &r) { refusals->told(r); });
    }
}

void EventStreams::detach() {
    if (changes_) changes_->detach();
    if (refusals_) refusals_->detach();
}

void EventStreams::refusals_counted() {
    if (!refusals_) return;
    const auto told = refusals_->take();
    auto live = live_;
    for (auto &r : told) {
        const auto message = refusal_message(r);
        for (auto &w : live)
            if (auto s = w.lock()) s->refusal_counted(r, message);
    }
}

void EventStreams::status_changed() {
    if (!changes_) return;
    const auto names = changes_->take();
    auto live = live_;
    for (auto &w : live)
        if (auto s = w.lock())
            for (auto &n : names) s->status_changed(n);
}

void EventStreams::tokens_changed() {
    auto live = live_; // closing one may not change the list, but keep it simple
    for (auto &w : live)
        if (auto c = w.lock()) c->recheck_token();
}

} // namespace cabinetd
