// cabinet-fleet: N controllers in one light process, each on a TCP port of
// its own, speaking the line protocol (docs/protocol.md) as the firmware
// does, closely enough for cabinetd: a session per controller, a state line
// every second, heartbeats acknowledged, opens checked in the firmware's
// order and carried through a door cycle with the firmware's events (the
// latch lets go, the pulse ends, a person opens the door and closes it, the
// latch locks, cycle_complete), heartbeat_lost during a cycle, clear_fault.
// It does not run the firmware: for benchmarks of many cabinets on one host,
// where a cabinet-sim per cabinet would cost more than cabinetd itself.
//
//     cabinet-fleet --count N [--port P] [--board-prefix HEX] [--control-port C]
//
// Prints one line per controller, "PORT BOARD_ID", then "control PORT" with
// --control-port, then "ready"; runs until SIGTERM or SIGINT. Ports are P,
// P+1, ... (P = 0: any free ones).
//
// The control port (C = 0: any free one; loopback, a few connections at a
// time) takes lines that move a door as a person would, and answers each
// with "ok" or "error: why":
//
//     INDEX door D open     the latch of door D is forced and the door opens
//     INDEX door D close    the door closes and its latch locks
//
// INDEX is the controller's place in the list printed (0 first). A door
// moved during another door's cycle latches other_door_unsafe, as the
// firmware does.
#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <CLI/CLI.hpp>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using nlohmann::json;

std::uint64_t now_ms() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

// The firmware's timings (docs/protocol.md, section 5) and the simulated
// person's (cabinet-sim's defaults).
constexpr std::uint64_t kStateEveryMs = 1000, kHeartbeatFreshMs = 5000, kRearmMs = 1300,
                        kDuplicateMs = 5000, kLatchSettleMs = 80, kOpenAfterMs = 800,
                        kSensorSettleMs = 30, kOpenForMs = 2000;

enum class Step { State, LatchUnlocked, PulseEnd, DoorOpen, DoorClosed, HeartbeatCheck };

struct Controller {
    int listen = -1, conn = -1;
    unsigned short port = 0;
    std::string board, session;
    std::uint64_t started = 0, seq = 0;
    std::string in, out;
    // The controller's state.
    std::string state = "idle", fault = "none", request;
    unsigned door = 0;
    std::uint8_t closed = 0xff, locked = 0xff, output = 0;
    std::uint64_t heartbeat_at = 0, accepted_at = 0;
    bool heartbeat_seen = false, accepted_once = false;
    std::deque<std::pair<std::string, std::uint64_t>> recent; // accepted request ids, when

    std::uint64_t uptime() const { return now_ms() - started; }
    bool heartbeat_ok() const {
        return heartbeat_seen && now_ms() - heartbeat_at <= kHeartbeatFreshMs;
    }
    bool driver_ready() const { return !accepted_once || now_ms() - accepted_at >= kRearmMs; }
};

class Fleet {
public:
    Fleet(unsigned count, unsigned short port, const std::string &prefix,
          std::optional<unsigned short> control)
            : ctl_(count) {
        ep_ = ::epoll_create1(EPOLL_CLOEXEC);
        if (control) {
            control_listen_ = listen_on(*control, control_port_);
            add(control_listen_, kControlListen);
        }
        for (unsigned i = 0; i < count; ++i) {
            auto &c = ctl_[i];
            c.board = fmt::format("{}{:0{}X}", prefix, i, 16 - prefix.size());
            c.session = c.board + "-0000000000000001";
            c.started = now_ms();
            c.listen = listen_on(port ? static_cast<unsigned short>(port + i) : 0, c.port);
            add(c.listen, key(i, false));
            event(c, "boot", "", 0);
            event(c, "inputs_ready", "", 0);
            // The state lines of many controllers spread over the second.
            at(c.started + 1 + (i * kStateEveryMs) / count, i, Step::State);
        }
    }

    const std::vector<Controller> &controllers() const { return ctl_; }
    unsigned short control_port() const { return control_port_; }

    void run(int signal_fd) {
        add(signal_fd, ~0ULL);
        std::array<epoll_event, 256> ready{};
        for (;;) {
            int timeout = -1;
            if (!timers_.empty()) {
                const auto t = now_ms(), due = timers_.begin()->first;
                timeout = due <= t ? 0 : static_cast<int>(due - t);
            }
            const int n = ::epoll_wait(ep_, ready.data(), static_cast<int>(ready.size()), timeout);
            for (int k = 0; k < n; ++k) {
                const auto data = ready[static_cast<std::size_t>(k)].data.u64;
                if (data == ~0ULL) return;
                if (data == kControlListen) {
                    accept_control();
                    continue;
                }
                if (data >= kControlConn) {
                    serve_control(static_cast<std::size_t>(data - kControlConn));
                    continue;
                }
                const auto i = static_cast<unsigned>(data >> 1);
                if (data & 1) serve(i);
                else accept_host(i);
            }
            const auto t = now_ms();
            while (!timers_.empty() && timers_.begin()->first <= t) {
                const auto [i, step] = timers_.begin()->second;
                timers_.erase(timers_.begin());
                fire(ctl_[i], i, step);
            }
            for (unsigned i : dirty_) flush(ctl_[i], i);
            dirty_.clear();
        }
    }

private:
    static std::uint64_t key(unsigned i, bool conn) { return (std::uint64_t{i} << 1) | conn; }
    static constexpr std::uint64_t kControlListen = ~1ULL, kControlConn = 1ULL << 62;
    static constexpr std::size_t kControlConns = 8;

    struct ControlConn {
        int fd = -1;
        std::string in;
    };

    void accept_control() {
        const int fd = ::accept4(control_listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        for (std::size_t slot = 0; slot < kControlConns; ++slot)
            if (control_[slot].fd < 0) {
                control_[slot] = {fd, {}};
                return add(fd, kControlConn + slot);
            }
        ::close(fd); // as many as it takes at once
    }

    void serve_control(std::size_t slot) {
        auto &cc = control_[slot];
        char buf[1024];
        for (;;) {
            const auto n = ::read(cc.fd, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                ::close(cc.fd);
                cc = {};
                return;
            }
            if (n < 0) break;
            cc.in.append(buf, static_cast<std::size_t>(n));
        }
        for (auto nl = cc.in.find('\n'); nl != std::string::npos; nl = cc.in.find('\n')) {
            const auto answer = control(cc.in.substr(0, nl)) + "\n";
            cc.in.erase(0, nl + 1);
            ::send(cc.fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        }
        if (cc.in.size() > 256) { // no command is that long
            ::close(cc.fd);
            cc = {};
        }
    }

    // One control line: "INDEX door D open|close".
    std::string control(const std::string &line) {
        unsigned index = 0, door = 0;
        char what[8] = {};
        int used = 0;
        if (std::sscanf(line.c_str(), "%u door %u %7s%n", &index, &door, what, &used) != 3 ||
            static_cast<std::size_t>(used) != line.size())
            return "error: expected INDEX door D open|close";
        if (index >= ctl_.size()) return fmt::format("error: no controller {}", index);
        if (door < 1 || door > 8) return "error: a door is 1 to 8";
        auto &c = ctl_[index];
        const auto bit = static_cast<std::uint8_t>(1u << (door - 1));
        const bool cycling = c.state != "idle" && c.state != "fault";
        if (std::string_view(what) == "open") {
            if (c.locked & bit) {
                c.locked &= static_cast<std::uint8_t>(~bit);
                event(c, "latch_unlocked", "", door);
            }
            if (c.closed & bit) {
                c.closed &= static_cast<std::uint8_t>(~bit);
                event(c, "door_open", "", door);
            }
            if (cycling && door != c.door) latch(c, "other_door_unsafe");
        } else if (std::string_view(what) == "close") {
            if (!(c.closed & bit)) {
                c.closed |= bit;
                event(c, "door_closed", "", door);
            }
            if (!(c.locked & bit)) {
                c.locked |= bit;
                event(c, "latch_locked", "", door);
            }
        } else {
            return "error: expected open or close";
        }
        flush(c, index);
        return "ok";
    }

    static int listen_on(unsigned short port, unsigned short &bound) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0)
            throw std::runtime_error(fmt::format("port {}: {}", port, std::strerror(errno)));
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        bound = ntohs(a.sin_port);
        return fd;
    }
    void add(int fd, std::uint64_t data, std::uint32_t events = EPOLLIN) {
        epoll_event ev{};
        ev.events = events;
        ev.data.u64 = data;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
    }
    void at(std::uint64_t when, unsigned i, Step s) { timers_.emplace(when, std::pair{i, s}); }

    // One host at a time, as on the serial line; what is said while none
    // listens is lost.
    void accept_host(unsigned i) {
        auto &c = ctl_[i];
        const int fd = ::accept4(c.listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        if (c.conn >= 0) {
            ::close(fd);
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        c.conn = fd;
        c.in.clear();
        c.out.clear();
        add(fd, key(i, true));
    }
    void drop(Controller &c) {
        ::close(c.conn);
        c.conn = -1;
        c.out.clear();
    }

    void serve(unsigned i) {
        auto &c = ctl_[i];
        char buf[4096];
        for (;;) {
            const auto n = ::read(c.conn, buf, sizeof buf);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return drop(c);
            if (n < 0) break;
            c.in.append(buf, static_cast<std::size_t>(n));
        }
        for (auto nl = c.in.find('\n'); nl != std::string::npos; nl = c.in.find('\n')) {
            const auto line = c.in.substr(0, nl);
            c.in.erase(0, nl + 1);
            command(c, i, line);
        }
        if (c.in.size() > 512) { // the firmware discards an over-long line
            c.in.clear();
            ack(c, "message_too_long", "", 0);
        }
    }

    void write_line(Controller &c, std::string line) {
        if (c.conn < 0) return;
        line.push_back('\n');
        c.out += line;
        if (c.out.size() > (1 << 20)) return drop(c); // a host that reads nothing
        dirty_.push_back(static_cast<unsigned>(&c - ctl_.data()));
    }
    void flush(Controller &c, unsigned) {
        while (c.conn >= 0 && !c.out.empty()) {
            const auto n = ::send(c.conn, c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno == EAGAIN) return; // sent with the next line
                return drop(c);
            }
            c.out.erase(0, static_cast<std::size_t>(n));
        }
    }

    void event(Controller &c, const char *code, const std::string &request, unsigned door) {
        ++c.seq;
        write_line(c,
                   fmt::format(R"({{"type":"event","session_id":"{}","event_seq":{},)"
                               R"("uptime_ms":{},"code":"{}","request_id":"{}","door_id":{}}})",
                               c.session, c.seq, c.uptime(), code, request, door));
    }
    void ack(Controller &c, const char *code, const std::string &request, unsigned door) {
        write_line(c,
                   fmt::format(R"({{"type":"ack","session_id":"{}","event_seq":{},)"
                               R"("uptime_ms":{},"code":"{}","request_id":"{}","door_id":{}}})",
                               c.session, c.seq, c.uptime(), code, request, door));
    }
    void state_line(Controller &c) {
        write_line(
            c,
            fmt::format(
                R"({{"type":"state","protocol":1,"platform":"rp2040_pico","session_id":"{}",)"
                R"("uptime_ms":{},"event_seq":{},"state":"{}","active_door":{},"output_mask":{},)"
                R"("door_closed_mask":{},"latch_locked_mask":{},"inputs_valid":true,)"
                R"("power_ok":true,"heartbeat_ok":{},"driver_ready":{},"fault":"{}",)"
                R"("p24_adc":2710,"fw":"0.2.0","hw":"0.2","transport":"uart0"}})",
                c.session, c.uptime(), c.seq, c.state, c.door, c.output, c.closed, c.locked,
                c.heartbeat_ok(), c.driver_ready(), c.fault));
    }

    void latch(Controller &c, const char *code) {
        c.state = "fault";
        c.fault = code;
        c.output = 0;
        event(c, code, c.request, c.door);
    }

    void command(Controller &c, unsigned i, const std::string &line) {
        const auto j = json::parse(line, nullptr, false);
        const auto type = j.is_object() && j.contains("type") && j["type"].is_string()
            ? j["type"].get<std::string>()
            : std::string();
        const auto str = [&](const char *k) {
            return j.contains(k) && j[k].is_string() ? j[k].get<std::string>() : std::string();
        };
        const auto num = [&](const char *k) -> std::optional<std::uint64_t> {
            if (!j.contains(k) || !j[k].is_number_unsigned()) return std::nullopt;
            return j[k].get<std::uint64_t>();
        };
        if (type == "state") return state_line(c);
        if (type == "heartbeat") {
            if (str("session_id") != c.session) return ack(c, "session_mismatch", "", 0);
            c.heartbeat_at = now_ms();
            c.heartbeat_seen = true;
            return ack(c, "heartbeat_ok", "", 0);
        }
        if (type == "clear_fault") {
            const bool secure = c.closed == 0xff && c.locked == 0xff;
            if (str("session_id") != c.session || !secure || !c.heartbeat_ok())
                return ack(c, "clear_denied", "", 0);
            const auto abandoned = c.state != "idle" ? c.request : std::string();
            c.state = "idle";
            c.fault = "none";
            c.door = 0;
            c.output = 0;
            event(c, "fault_cleared", abandoned, 0);
            return ack(c, "cleared", "", 0);
        }
        const auto req = str("request_id");
        const auto door = num("door_id"), pulse = num("pulse_ms"), issued = num("issued_at_ms"),
                   ttl = num("ttl_ms");
        if (type != "open" || req.empty() || !door || *door < 1 || *door > 8 || !pulse || !issued ||
            !ttl || j.size() != 7)
            return ack(c, "invalid_message", "", 0);
        const auto d = static_cast<unsigned>(*door);
        const auto up = c.uptime();
        const auto refuse = [&](const char *code) { ack(c, code, req, d); };
        if (str("session_id") != c.session) return refuse("session_mismatch");
        if (*pulse < 100 || *pulse > 1000 || *ttl < 1 || *ttl > 5000) return refuse("range_error");
        if (*issued > up) return refuse("future_command");
        if (up - *issued >= *ttl) return refuse("expired");
        while (!c.recent.empty() && now_ms() - c.recent.front().second >= kDuplicateMs)
            c.recent.pop_front();
        for (auto &[id, when] : c.recent)
            if (id == req) return refuse("duplicate");
        if (c.fault != "none") return refuse("fault");
        if (!c.heartbeat_ok()) return refuse("heartbeat_required");
        if (c.state != "idle") return refuse("busy");
        if (!c.driver_ready()) return refuse("driver_rearming");
        if (c.closed != 0xff || c.locked != 0xff) return refuse("door_not_secure");
        c.recent.emplace_back(req, now_ms());
        c.state = "pulsing";
        c.door = d;
        c.request = req;
        c.output = static_cast<std::uint8_t>(1u << (d - 1));
        c.accepted_at = now_ms();
        c.accepted_once = true;
        event(c, "open_accepted", req, d);
        ack(c, "accepted", req, d);
        const auto t = now_ms();
        at(t + kLatchSettleMs, i, Step::LatchUnlocked);
        at(t + *pulse, i, Step::PulseEnd);
        at(t + kOpenAfterMs + kSensorSettleMs, i, Step::DoorOpen);
        at(t + kOpenAfterMs + kSensorSettleMs + kOpenForMs, i, Step::DoorClosed);
        at(t + kHeartbeatFreshMs + 1, i, Step::HeartbeatCheck);
    }

    // A step of the cycle under way (a cycle a fault or a clear ended
    // leaves the person to close the door all the same).
    void fire(Controller &c, unsigned i, Step s) {
        const auto bit = static_cast<std::uint8_t>(c.door ? 1u << (c.door - 1) : 0);
        const bool cycling = c.state != "idle" && c.state != "fault";
        switch (s) {
        case Step::State:
            state_line(c);
            at(now_ms() + kStateEveryMs, i, Step::State);
            return;
        case Step::LatchUnlocked:
            if (!cycling) return;
            c.locked &= static_cast<std::uint8_t>(~bit);
            return event(c, "latch_unlocked", c.request, c.door);
        case Step::PulseEnd:
            if (c.state != "pulsing") return;
            c.output = 0;
            c.state = "wait_open";
            return event(c, "pulse_complete", c.request, c.door);
        case Step::DoorOpen:
            if (!cycling) return;
            c.closed &= static_cast<std::uint8_t>(~bit);
            c.state = "wait_close";
            return event(c, "door_open", c.request, c.door);
        case Step::DoorClosed:
            if (!cycling) return;
            c.closed |= bit;
            event(c, "door_closed", c.request, c.door);
            c.locked |= bit;
            event(c, "latch_locked", c.request, c.door);
            c.state = "idle";
            event(c, "cycle_complete", c.request, c.door);
            c.door = 0;
            return;
        case Step::HeartbeatCheck:
            if (cycling && !c.heartbeat_ok()) return latch(c, "heartbeat_lost");
            if (cycling) at(c.heartbeat_at + kHeartbeatFreshMs + 1, i, Step::HeartbeatCheck);
            return;
        }
    }

    std::vector<Controller> ctl_;
    int ep_ = -1;
    int control_listen_ = -1;
    unsigned short control_port_ = 0;
    std::array<ControlConn, kControlConns> control_{};
    std::multimap<std::uint64_t, std::pair<unsigned, Step>> timers_;
    std::vector<unsigned> dirty_;
};

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"N light controller stand-ins for cabinetd's benchmarks, one TCP port each"};
    unsigned count = 1;
    unsigned short port = 0;
    std::string prefix = "F1EE7";
    app.add_option("--count", count, "how many controllers")->check(CLI::Range(1u, 4096u));
    app.add_option("--port", port, "the first port (0: any free ones)");
    app.add_option("--board-prefix", prefix, "the board ids' first hex digits (upper case)")
        ->check([](const std::string &p) {
            return p.size() <= 12 && p.find_first_not_of("0123456789ABCDEF") == std::string::npos
                ? std::string()
                : std::string("up to 12 upper-case hex digits");
        });
    std::optional<unsigned short> control;
    app.add_option("--control-port", control,
                   "a loopback port for lines that move doors (0: any free one)");
    CLI11_PARSE(app, argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    const int sfd = ::signalfd(-1, &mask, SFD_CLOEXEC);
    try {
        Fleet fleet(count, port, prefix, control);
        for (auto &c : fleet.controllers()) fmt::print("{} {}\n", c.port, c.board);
        if (control) fmt::print("control {}\n", fleet.control_port());
        fmt::print("ready\n");
        std::fflush(stdout);
        fleet.run(sfd);
    } catch (const std::exception &e) {
        fmt::print(stderr, "cabinet-fleet: {}\n", e.what());
        return 1;
    }
    return 0;
}
