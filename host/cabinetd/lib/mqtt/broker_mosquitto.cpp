// The broker clients on libmosquitto, all of them driven by one event loop of
// ours on epoll, whatever their number. libmosquitto's own loop waits with
// select(), which cannot take a descriptor of 1024 or more: with a few
// hundred cabinets and the HTTP connections beside them, the broker sockets
// are past that, and a client on its own loop could not connect at all. Here
// the library is only asked to read, write and keep alive
// (mosquitto_loop_read, _write, _misc) when its socket is ready or its
// keepalive is due. Connections are opened by one thread of their own, in
// turn, since libmosquitto resolves the broker's name as it connects and a
// slow name server must not hold up the connections already open.
#include "broker.h"

#include "clock.h"
#include "log.h"

#include <fmt/format.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// libmosquitto makes each client a socket pair, to wake a select() loop of
// its own when another thread queues a packet, and writes a byte into it
// for every packet queued, whichever loop runs. Ours never reads it: after
// 278 packets (45 minutes of keepalives) the kernel would hold 213 KB for
// every connection, 100 MB for 500 cabinets. So while a client is made, the
// pair it asks for is two descriptors of /dev/null, which take the bytes and
// hold nothing. The library calls socketpair() from its shared object, which
// finds this program's definition first.
thread_local bool g_quiet_pair = false;
thread_local bool g_quieted = false;

int dev_null() {
    static const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    return fd;
}

} // namespace

extern "C" int socketpair(int domain, int type, int protocol, int sv[2]) noexcept {
    if (g_quiet_pair && domain == AF_UNIX && dev_null() >= 0) {
        const int r = ::fcntl(dev_null(), F_DUPFD_CLOEXEC, 0);
        const int w = r < 0 ? -1 : ::fcntl(dev_null(), F_DUPFD_CLOEXEC, 0);
        if (w >= 0) {
            sv[0] = r;
            sv[1] = w;
            g_quieted = true;
            return 0;
        }
        if (r >= 0) ::close(r);
    }
    return static_cast<int>(::syscall(SYS_socketpair, domain, type, protocol, sv));
}

namespace cabinetd {
namespace {

class Loop;

// One connection: made on the bridge's thread, opened on the loop's
// connecting thread, then served on the loop's thread until stop().
class MosquittoClient final : public BrokerClient {
public:
    explicit MosquittoClient(std::shared_ptr<Loop> loop) : loop_(std::move(loop)) {}
    ~MosquittoClient() override { stop(); }

    void start(const BrokerSettings &s, Callbacks cb) override;
    void stop() override;
    std::optional<int> publish(const std::string &topic, const std::string &payload, int qos,
                               bool retain) override;
    bool subscribe(const std::string &pattern, int qos) override;

private:
    friend class Loop;
    enum class Phase { New, Queued, Connecting, Live, Stopping, Stopped };

    // On the loop's thread.
    void opened(int rc, const std::string &why);
    void serve(std::uint32_t events);
    void flush();
    void keepalive();
    void settle(int rc);
    void gone(int rc);
    void detach();

    std::shared_ptr<Loop> loop_;
    BrokerSettings settings_;
    mosquitto *m_ = nullptr;
    Callbacks cb_;
    std::string reason_;
    // Set by stop(): nothing is told from then on.
    std::atomic<bool> quiet_{false};
    Phase phase_ = Phase::New; // the loop's mutex held

    // The loop's thread only.
    int fd_ = -1;
    std::uint32_t events_ = 0;
    std::multimap<std::uint64_t, MosquittoClient *>::iterator misc_;
    bool timed_ = false;
};

// The loop: its thread, which sleeps in epoll until a socket is ready, it is
// handed something (a packet queued, a connection opened, a client
// stopping) or a keepalive falls due; and the thread that opens connections.
class Loop : public std::enable_shared_from_this<Loop> {
public:
    Loop() {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (ep_ < 0 || wake_ < 0)
            throw std::runtime_error(fmt::format("mqtt: no event loop: {}", std::strerror(errno)));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = nullptr;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, wake_, &ev);
        io_ = std::thread([this] { run(); });
        opener_ = std::thread([this] { open_connections(); });
    }
    ~Loop() {
        {
            std::lock_guard lk(mu_);
            stop_ = true;
        }
        opener_cv_.notify_all();
        wake();
        io_.join();
        opener_.join();
        ::close(ep_);
        ::close(wake_);
    }

    std::mutex mu_;
    std::condition_variable done_cv_; // a phase moved on

    // From any thread (mu_ held): run f on the loop's thread.
    void post(std::function<void()> f) {
        jobs_.push_back(std::move(f));
        wake();
    }
    // A packet was queued from another thread (mu_ held).
    void flush_later(MosquittoClient *c) {
        if (std::find(flush_.begin(), flush_.end(), c) != flush_.end()) return;
        flush_.push_back(c);
        if (flush_.size() == 1) wake();
    }
    void forget(MosquittoClient *c) { std::erase(flush_, c); } // mu_ held
    void open_later(MosquittoClient *c) {                      // mu_ held
        opening_.push_back(c);
        opener_cv_.notify_one();
    }
    void unqueue(MosquittoClient *c) { std::erase(opening_, c); } // mu_ held

    // The loop's thread only.
    bool watch(MosquittoClient *c, int fd, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = c;
        return ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    void rewatch(MosquittoClient *c, int fd, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.ptr = c;
        ::epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev);
    }
    // libmosquitto may have closed the socket already, which took it out.
    void unwatch(int fd) { ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr); }
    std::multimap<std::uint64_t, MosquittoClient *> timers_;

private:
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wake_, &one, sizeof one);
    }
    void run();
    void open_connections();

    int ep_ = -1, wake_ = -1;
    std::thread io_, opener_;
    std::condition_variable opener_cv_;
    bool stop_ = false;
    std::vector<std::function<void()>> jobs_;
    std::vector<MosquittoClient *> flush_;
    std::deque<MosquittoClient *> opening_;
};

void Loop::run() {
    std::vector<epoll_event> ready(256);
    for (;;) {
        int timeout = -1; // nothing falls due: asleep until told
        if (!timers_.empty()) {
            const auto now = steady_ms();
            const auto at = timers_.begin()->first;
            timeout = at <= now ? 0 : static_cast<int>(std::min<std::uint64_t>(at - now, 60000));
        }
        const int n = ::epoll_wait(ep_, ready.data(), static_cast<int>(ready.size()), timeout);
        for (int i = 0; i < n; ++i) {
            auto *c = static_cast<MosquittoClient *>(ready[static_cast<std::size_t>(i)].data.ptr);
            if (!c) {
                std::uint64_t count;
                [[maybe_unused]] auto r = ::read(wake_, &count, sizeof count);
                continue;
            }
            c->serve(ready[static_cast<std::size_t>(i)].events);
        }
        std::vector<std::function<void()>> jobs;
        std::vector<MosquittoClient *> flush;
        bool stopping;
        {
            std::lock_guard lk(mu_);
            jobs.swap(jobs_);
            flush.swap(flush_);
            stopping = stop_;
        }
        // What was queued before a client stops is sent before it goes: its
        // stop is among the jobs, which come after.
        for (auto *c : flush) c->flush();
        for (auto &j : jobs) j();
        const auto now = steady_ms();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            auto *c = timers_.begin()->second;
            timers_.erase(timers_.begin());
            c->timed_ = false;
            c->keepalive();
        }
        if (stopping) return; // every client has stopped: each holds the loop
    }
}

void Loop::open_connections() {
    for (;;) {
        MosquittoClient *c;
        {
            std::unique_lock lk(mu_);
            opener_cv_.wait(lk, [&] { return stop_ || !opening_.empty(); });
            if (stop_) return;
            c = opening_.front();
            opening_.pop_front();
            c->phase_ = MosquittoClient::Phase::Connecting;
        }
        const auto &s = c->settings_;
        std::string why;
        const int rc = mosquitto_connect_async(c->m_, s.host.c_str(), s.port,
                                               static_cast<int>(s.keepalive.count()));
        if (rc == MOSQ_ERR_ERRNO)
            why = fmt::format("cannot connect to {}:{}: {}", s.host, s.port, std::strerror(errno));
        else if (rc != MOSQ_ERR_SUCCESS)
            why =
                fmt::format("cannot connect to {}:{}: {}", s.host, s.port, mosquitto_strerror(rc));
        std::lock_guard lk(mu_);
        c->phase_ = MosquittoClient::Phase::Live;
        post([c, rc, why] { c->opened(rc, why); });
        done_cv_.notify_all();
    }
}

constexpr int kCallbackNone = 0;

void MosquittoClient::start(const BrokerSettings &s, Callbacks cb) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    settings_ = s;
    cb_ = std::move(cb);
    g_quiet_pair = true;
    g_quieted = false;
    m_ = mosquitto_new(s.client_id.empty() ? nullptr : s.client_id.c_str(), true, this);
    g_quiet_pair = false;
    if (!m_) throw std::runtime_error("mqtt: cannot create a client");
    if (!g_quieted) {
        static std::once_flag told;
        std::call_once(told, [] {
            log(Level::Warning,
                "mqtt: libmosquitto's wake-up socket pair could not be replaced: each broker "
                "connection may keep up to 213 KB in the kernel");
        });
    }
    // MQTT 5, for "retain as published": a command published with the
    // retain flag shows it even when it reaches us live, so it can be refused.
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Events are small messages sent as they happen: Nagle's algorithm
    // would hold one back until the broker acknowledged the one before.
    mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
    // Published from the bridge's thread, sent from the loop's: the library
    // only queues the packet, and the loop is told to write it.
    mosquitto_threaded_set(m_, true);
    if (s.will)
        mosquitto_will_set(m_, s.will->topic.c_str(), static_cast<int>(s.will->payload.size()),
                           s.will->payload.data(), s.will->qos, s.will->retain);
    if (!s.username.empty())
        mosquitto_username_pw_set(m_, s.username.c_str(),
                                  s.password.empty() ? nullptr : s.password.c_str());
    if (s.tls) {
        const int rc = mosquitto_tls_set(m_, s.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(m_);
            m_ = nullptr;
            throw std::runtime_error(
                fmt::format("mqtt: CA file {}: {}", s.ca_file, mosquitto_strerror(rc)));
        }
    }
    mosquitto_connect_callback_set(m_, [](mosquitto *, void *self, int rc) {
        auto *c = static_cast<MosquittoClient *>(self);
        if (rc != 0) {
            c->reason_ =
                fmt::format("the broker refused the connection: {}", mosquitto_connack_string(rc));
            return;
        }
        if (!c->quiet_ && c->cb_.connected) c->cb_.connected();
    });
    mosquitto_publish_callback_set(m_, [](mosquitto *, void *self, int mid) {
        auto *c = static_cast<MosquittoClient *>(self);
        if (!c->quiet_ && c->cb_.published) c->cb_.published(mid);
    });
    mosquitto_message_callback_set(m_, [](mosquitto *, void *self, const mosquitto_message *m) {
        auto *c = static_cast<MosquittoClient *>(self);
        if (c->quiet_ || !c->cb_.message || !m->topic) return;
        std::string payload(static_cast<const char *>(m->payload),
                            static_cast<std::size_t>(m->payloadlen));
        c->cb_.message(m->topic, std::move(payload), m->retain);
    });
    std::lock_guard lk(loop_->mu_);
    phase_ = Phase::Queued;
    loop_->open_later(this);
}

void MosquittoClient::stop() {
    if (!m_) return;
    quiet_ = true;
    {
        std::unique_lock lk(loop_->mu_);
        if (phase_ == Phase::Queued) {
            loop_->unqueue(this);
            phase_ = Phase::Stopped;
        }
        // Being opened: the opening thread has it until it hands it to the loop.
        loop_->done_cv_.wait(lk, [&] { return phase_ != Phase::Connecting; });
        if (phase_ == Phase::Live) {
            phase_ = Phase::Stopping;
            loop_->post([this] {
                detach();
                std::lock_guard done(loop_->mu_);
                phase_ = Phase::Stopped;
                loop_->done_cv_.notify_all();
            });
            loop_->done_cv_.wait(lk, [&] { return phase_ == Phase::Stopped; });
        }
        loop_->forget(this);
    }
    mosquitto_destroy(m_);
    m_ = nullptr;
}

std::optional<int> MosquittoClient::publish(const std::string &topic, const std::string &payload,
                                            int qos, bool retain) {
    int mid = 0;
    if (!m_ ||
        mosquitto_publish(m_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(),
                          qos, retain) != MOSQ_ERR_SUCCESS)
        return std::nullopt;
    std::lock_guard lk(loop_->mu_);
    loop_->flush_later(this);
    return mid;
}

bool MosquittoClient::subscribe(const std::string &pattern, int qos) {
    if (!m_ ||
        mosquitto_subscribe_v5(m_, nullptr, pattern.c_str(), qos, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED,
                               nullptr) != MOSQ_ERR_SUCCESS)
        return false;
    std::lock_guard lk(loop_->mu_);
    loop_->flush_later(this);
    return true;
}

// The connection was begun (its socket connecting, CONNECT queued), or not.
void MosquittoClient::opened(int rc, const std::string &why) {
    if (rc != MOSQ_ERR_SUCCESS) {
        reason_ = why;
        return gone(kCallbackNone);
    }
    fd_ = mosquitto_socket(m_);
    events_ = EPOLLIN | (mosquitto_want_write(m_) ? EPOLLOUT : 0u);
    if (fd_ < 0 || !loop_->watch(this, fd_, events_)) {
        reason_ = fmt::format("cannot connect to {}:{}: {}", settings_.host, settings_.port,
                              fd_ < 0 ? "no socket" : std::strerror(errno));
        fd_ = -1;
        return gone(kCallbackNone);
    }
    settle(MOSQ_ERR_SUCCESS);
}

void MosquittoClient::serve(std::uint32_t events) {
    if (fd_ < 0) return;
    // Reading also carries a TLS handshake on, which waits on either side.
    int rc = mosquitto_loop_read(m_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (events & EPOLLOUT) && mosquitto_socket(m_) >= 0 &&
        mosquitto_want_write(m_))
        rc = mosquitto_loop_write(m_, 1);
    settle(rc);
}

void MosquittoClient::flush() {
    if (fd_ < 0) return;
    settle(mosquitto_want_write(m_) ? mosquitto_loop_write(m_, 1) : MOSQ_ERR_SUCCESS);
}

void MosquittoClient::keepalive() {
    if (fd_ < 0) return;
    int rc = mosquitto_loop_misc(m_);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m_) >= 0 && mosquitto_want_write(m_))
        rc = mosquitto_loop_write(m_, 1); // the ping it queued
    settle(rc);
}

// After the library has had its turn: the connection gone, or what to wait
// for next. The keepalive is looked at twice per interval (the library pings
// once nothing has gone out for a whole one, and gives up after another
// without an answer), on whole seconds, so that the pings of many
// connections are sent in one wake-up.
void MosquittoClient::settle(int rc) {
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_) < 0) return gone(rc);
    const std::uint32_t want = EPOLLIN | (mosquitto_want_write(m_) ? EPOLLOUT : 0u);
    if (want != events_) {
        events_ = want;
        loop_->rewatch(this, fd_, events_);
    }
    if (!timed_) {
        const auto half = static_cast<std::uint64_t>(settings_.keepalive.count()) * 500;
        const auto at = (steady_ms() + std::max<std::uint64_t>(half, 1000)) / 1000 * 1000;
        misc_ = loop_->timers_.emplace(at, this);
        timed_ = true;
    }
}

void MosquittoClient::gone(int rc) {
    detach();
    if (reason_.empty()) {
        if (rc == MOSQ_ERR_ERRNO) reason_ = std::strerror(errno);
        else if (rc != MOSQ_ERR_SUCCESS) reason_ = mosquitto_strerror(rc);
        else reason_ = "the connection closed";
    }
    if (!quiet_ && cb_.disconnected) cb_.disconnected(reason_);
    quiet_ = true; // told once
}

// Out of the loop, and the connection closed without a will: a client that
// stops says DISCONNECT first, if it is still connected.
void MosquittoClient::detach() {
    if (timed_) {
        loop_->timers_.erase(misc_);
        timed_ = false;
    }
    if (fd_ < 0) return;
    if (quiet_ && mosquitto_socket(m_) >= 0 && mosquitto_disconnect(m_) == MOSQ_ERR_SUCCESS)
        mosquitto_loop_write(m_, 1);
    loop_->unwatch(fd_);
    fd_ = -1;
}

} // namespace

BrokerFactory mosquitto_clients() {
    auto loop = std::make_shared<Loop>();
    return [loop]() -> std::unique_ptr<BrokerClient> {
        return std::make_unique<MosquittoClient>(loop);
    };
}

} // namespace cabinetd
