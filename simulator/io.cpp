#include "io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace cabinet_sim {

namespace {

int signal_write_fd = -1;

void on_signal(int) {
    if (signal_write_fd >= 0) {
        char c = 1;
        ssize_t n = ::write(signal_write_fd, &c, 1);
        (void)n;
    }
}

bool set_nonblocking(int fd) {
    int fl = fcntl(fd, F_GETFL);
    return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

bool newer(const timespec &a, const timespec &b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

std::string sys_error(const std::string &what) { return what + ": " + std::strerror(errno); }

// Output a reader does not take is dropped beyond this, so a stuck reader can
// neither stall the firmware nor grow the simulator without bound.
constexpr size_t max_pending_out = 64 * 1024;

// A pty with no client is looked at this often to notice a program opening it.
constexpr uint64_t pty_check_ns = 5'000'000;

// Shorter waits than this are not slept: the simulation spins through them.
constexpr uint64_t short_wait_ns = 50'000;

bool mid_line = false;  // the last byte out of the UART was not a line feed

}  // namespace

struct io_hub::endpoint {
    enum kind_t { pty, tcp, stdio } kind = stdio;
    int in_fd = -1;      // read side: master, client socket, standard input
    int out_fd = -1;     // write side
    int listen_fd = -1;  // tcp only
    bool connected = false;
    bool skip_to_newline = false;
    // The reader did not take all of the last write: the rest goes out once
    // it can take more.
    bool stalled = false;
    std::string out;
    std::string link;      // pty: the symlink we made
    std::string pty_name;  // pty: the slave device
    uint64_t next_check_ns = 0;

    // A reader has come: it gets output from the next whole line on.
    void connect() {
        connected = true;
        stalled = false;
        skip_to_newline = mid_line;
    }
};

struct io_hub::control_client {
    int fd = -1;
    std::string in;
    bool overflow = false;
};

uint64_t io_hub::monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000'000u + uint64_t(ts.tv_nsec);
}

io_hub::io_hub() {
    if (pipe(signal_pipe_) == 0) {
        set_nonblocking(signal_pipe_[0]);
        set_nonblocking(signal_pipe_[1]);
        signal_write_fd = signal_pipe_[1];
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
}

io_hub::~io_hub() {
    close_all();
    signal_write_fd = -1;
    for (int fd : signal_pipe_)
        if (fd >= 0) ::close(fd);
}

// Why a link at link_path may not be taken over, or nothing. A link to a
// terminal that still exists, and is older than the link, belongs to a
// running simulator: taking it over would leave that one unreachable. A link
// to a terminal that is gone, or that was made again after the link (its
// number was free and was handed out anew), is what a simulator that died
// left behind, and is replaced.
static std::string link_in_use(const std::string &link_path, const struct stat &st) {
    if (!S_ISLNK(st.st_mode)) return link_path + " exists and is not a symlink";
    struct stat target {};
    if (stat(link_path.c_str(), &target) == 0 && S_ISCHR(target.st_mode) && !newer(target.st_ctim, st.st_ctim)) {
        char to[256] = {};
        ssize_t n = readlink(link_path.c_str(), to, sizeof to - 1);
        return link_path + " is in use: it links to the terminal " + std::string(to, n > 0 ? size_t(n) : 0) +
               ", which a running program (another cabinet-sim?) holds; stop that program or "
               "choose another path";
    }
    return {};
}

// A new pseudo-terminal, raw 8N1 at 115200 on the terminal side so a serial
// program sees the protocol bytes untouched (the settings stay with the pty
// between opens). Its master side, non-blocking, goes to master.
static std::string new_raw_pty(int &master, std::string &pty_name) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0) return sys_error("posix_openpt");
    if (grantpt(m) != 0 || unlockpt(m) != 0) {
        ::close(m);
        return sys_error("grantpt/unlockpt");
    }
    const char *name = ptsname(m);
    if (name == nullptr) {
        ::close(m);
        return sys_error("ptsname");
    }
    pty_name = name;
    int s = ::open(name, O_RDWR | O_NOCTTY);
    if (s < 0) {
        ::close(m);
        return sys_error("open " + pty_name);
    }
    termios t{};
    tcgetattr(s, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(s, TCSANOW, &t);
    ::close(s);
    set_nonblocking(m);
    master = m;
    return {};
}

std::string io_hub::open_pty(const std::string &link_path, std::string &pty_name) {
    struct stat st {};
    if (lstat(link_path.c_str(), &st) == 0)
        if (std::string why = link_in_use(link_path, st); !why.empty()) return why;
    int m = -1;
    if (std::string why = new_raw_pty(m, pty_name); !why.empty()) return why;
    if (S_ISLNK(st.st_mode)) ::unlink(link_path.c_str());
    if (symlink(pty_name.c_str(), link_path.c_str()) != 0) {
        ::close(m);
        return sys_error("symlink " + link_path);
    }
    auto e = std::make_unique<endpoint>();
    e->kind = endpoint::pty;
    e->in_fd = e->out_fd = m;
    e->link = link_path;
    e->pty_name = pty_name;
    serial_.push_back(std::move(e));
    return {};
}

static std::string listen_tcp(uint16_t port, uint16_t &bound, int &out_fd) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return sys_error("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        std::string e = sys_error("127.0.0.1:" + std::to_string(port));
        ::close(fd);
        return e;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    bound = ntohs(a.sin_port);
    set_nonblocking(fd);
    out_fd = fd;
    return {};
}

std::string io_hub::open_tcp(uint16_t port, uint16_t &bound_port) {
    int fd = -1;
    std::string err = listen_tcp(port, bound_port, fd);
    if (!err.empty()) return err;
    auto e = std::make_unique<endpoint>();
    e->kind = endpoint::tcp;
    e->listen_fd = fd;
    serial_.push_back(std::move(e));
    return {};
}

std::string io_hub::open_stdio() {
    auto e = std::make_unique<endpoint>();
    e->kind = endpoint::stdio;
    e->in_fd = 0;
    e->out_fd = 1;
    e->connected = true;
    set_nonblocking(0);
    set_nonblocking(1);
    serial_.push_back(std::move(e));
    return {};
}

std::string io_hub::open_control_tcp(uint16_t port, uint16_t &bound_port) {
    int fd = -1;
    std::string err = listen_tcp(port, bound_port, fd);
    if (!err.empty()) return err;
    control_listeners_.push_back(fd);
    return {};
}

std::string io_hub::open_control_unix(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return sys_error("socket");
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        ::close(fd);
        return "control socket path too long: " + path;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        // Someone still answering on it owns it; a socket nobody listens on
        // any more is a leftover of a simulator that died, and is replaced.
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
            ::close(fd);
            return path + " is in use: a running program (another cabinet-sim?) listens on it; "
                          "stop that program or choose another path";
        }
        if (errno == ECONNREFUSED) ::unlink(path.c_str());
        ::close(fd);
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return sys_error("socket");
    }
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0) {
        std::string e = sys_error(path);
        ::close(fd);
        return e;
    }
    set_nonblocking(fd);
    control_listeners_.push_back(fd);
    unix_path_ = path;
    return {};
}

void io_hub::serial_out(uint8_t byte) {
    for (auto &ep : serial_) {
        endpoint &e = *ep;
        if (!e.connected || e.out_fd < 0) continue;
        if (e.skip_to_newline) {
            if (byte == '\n') e.skip_to_newline = false;
            continue;
        }
        e.out.push_back(static_cast<char>(byte));
        if (byte == '\n') flush(e);
    }
    mid_line = byte != '\n';
}

// Writes whole lines only (everything with `all`): a line goes out in one
// write, so a host reading a socket wakes once for it, not for every few
// bytes the UART let out meanwhile.
void io_hub::flush(endpoint &e, bool all) {
    for (;;) {
        const size_t end = all ? e.out.size() : e.out.rfind('\n') + 1;  // npos + 1 is 0
        e.stalled = false;
        if (end == 0) break;
        ssize_t n = ::write(e.out_fd, e.out.data(), end);
        if (n > 0) {
            e.out.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            e.stalled = true;
            break;
        }
        // The reader is gone; what it did not take is lost with it.
        e.out.clear();
        return;
    }
    if (e.out.size() > max_pending_out) {
        std::fprintf(stderr, "cabinet-sim: serial reader not keeping up, output dropped\n");
        e.out.clear();
        e.stalled = false;
        e.skip_to_newline = mid_line;
    }
}

// A pty master reports a hang-up while no program has the terminal open. The
// simulator does not keep the terminal open itself, so it can tell when a host
// comes and goes and does not hand a new host what nobody read before.
void io_hub::pty_check(endpoint &e) {
    pollfd p{e.in_fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) {
        if (!e.connected) e.connect();
        return;
    }
    if (p.revents & POLLIN) drain(e.in_fd);
    if (p.revents & POLLHUP) {
        if (e.connected) {
            e.connected = false;
            e.out.clear();
            // Drop what the departed host left unread in the terminal.
            int s = ::open(e.pty_name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (s >= 0) {
                tcflush(s, TCIFLUSH);
                ::close(s);
            }
        }
    } else if (!e.connected) {
        e.connect();
    }
}

bool io_hub::drain(int fd) {
    uint8_t buf[512];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            if (on_serial) on_serial(buf, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void io_hub::handle_serial(endpoint &e, short revents) {
    if ((revents & (POLLIN | POLLHUP | POLLERR)) && !drain(e.in_fd)) {
        // End of input or a dead connection.
        if (e.kind == endpoint::stdio) {
            stdin_ended_ = true;
            e.in_fd = -1;
        } else if (e.kind == endpoint::tcp) {
            std::fprintf(stderr, "cabinet-sim: tcp client disconnected\n");
            ::close(e.in_fd);
            e.in_fd = e.out_fd = -1;
            e.connected = false;
            e.out.clear();
        } else {
            pty_check(e);
        }
    }
    if ((revents & POLLOUT) && e.out_fd >= 0) flush(e);
}

void io_hub::accept_serial(endpoint &e) {
    int c = accept4(e.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (c < 0) return;
    if (e.in_fd >= 0) {
        // One host at a time on the serial line.
        std::fprintf(stderr, "cabinet-sim: tcp connection refused, a client is connected\n");
        ::close(c);
        return;
    }
    int one = 1;
    setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    e.in_fd = e.out_fd = c;
    e.connect();
    std::fprintf(stderr, "cabinet-sim: tcp client connected\n");
}

void io_hub::handle_control(control_client &c) {
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            ::close(c.fd);
            c.fd = -1;
            return;
        }
        for (ssize_t i = 0; i < n; ++i) {
            char ch = buf[i];
            if (ch != '\n') {
                if (c.in.size() < 4096) c.in.push_back(ch);
                else c.overflow = true;
                continue;
            }
            std::string reply;
            if (c.overflow) reply = "error: line too long";
            else if (on_control) reply = on_control(c.in);
            c.in.clear();
            c.overflow = false;
            if (reply.empty()) continue;
            reply.push_back('\n');
            // Answers are short; a client that does not read them loses them.
            ssize_t w = send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)w;
        }
    }
}

// The descriptors one wait looks at, and what each one is.
struct io_hub::poll_set {
    enum class role { signal, serial_in, tcp_listen, control_listen, control_client };
    std::vector<pollfd> fds;
    std::vector<std::pair<role, size_t>> who;

    void add(int fd, short ev, role r, size_t idx) {
        fds.push_back(pollfd{fd, ev, 0});
        who.emplace_back(r, idx);
    }
};

void io_hub::collect(poll_set &set, uint64_t now) {
    using role = poll_set::role;
    if (signal_pipe_[0] >= 0) set.add(signal_pipe_[0], POLLIN, role::signal, 0);
    for (size_t i = 0; i < serial_.size(); ++i) {
        endpoint &e = *serial_[i];
        if (e.kind == endpoint::pty && !e.connected) {
            if (now >= e.next_check_ns) {
                e.next_check_ns = now + pty_check_ns;
                pty_check(e);
            }
            if (!e.connected) continue;
        }
        if (e.kind == endpoint::tcp) set.add(e.listen_fd, POLLIN, role::tcp_listen, i);
        short ev = 0;
        if (e.in_fd >= 0) ev |= POLLIN;
        if (e.stalled) ev |= POLLOUT;
        int fd = e.in_fd >= 0 ? e.in_fd : e.out_fd;
        if (fd >= 0 && ev != 0) set.add(fd, ev, role::serial_in, i);
    }
    for (size_t i = 0; i < control_listeners_.size(); ++i)
        set.add(control_listeners_[i], POLLIN, role::control_listen, i);
    for (size_t i = 0; i < control_clients_.size(); ++i)
        set.add(control_clients_[i]->fd, POLLIN, role::control_client, i);
}

void io_hub::handle_ready(const poll_set &set) {
    using role = poll_set::role;
    for (size_t k = 0; k < set.fds.size(); ++k) {
        if (set.fds[k].revents == 0) continue;
        auto [rl, idx] = set.who[k];
        switch (rl) {
        case role::signal: {
            char b[16];
            while (::read(set.fds[k].fd, b, sizeof b) > 0) {
            }
            stop_ = true;
            break;
        }
        case role::serial_in: handle_serial(*serial_[idx], set.fds[k].revents); break;
        case role::tcp_listen: accept_serial(*serial_[idx]); break;
        case role::control_listen: {
            int c = accept4(set.fds[k].fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) break;
            auto cc = std::make_unique<control_client>();
            cc->fd = c;
            control_clients_.push_back(std::move(cc));
            break;
        }
        case role::control_client: handle_control(*control_clients_[idx]); break;
        }
    }
    std::erase_if(control_clients_, [](auto &c) { return c->fd < 0; });
}

void io_hub::poll_until(uint64_t until_ns) {
    for (;;) {
        uint64_t now = monotonic_ns();
        poll_set set;
        collect(set, now);
        // Waits are as precise as the firmware's own: a byte on the I2C bus
        // lasts 90 us and its transfer has a deadline of 2 ms, so sleeping
        // in whole milliseconds would make the expander time out. Very short
        // waits only look at the descriptors and return, and the simulation
        // calls again.
        uint64_t left = until_ns > now ? until_ns - now : 0;
        if (left < short_wait_ns) left = 0;
        if (left > pty_check_ns) left = pty_check_ns;  // keep looking for pty clients
        timespec ts{time_t(left / 1'000'000'000u), long(left % 1'000'000'000u)};
        if (ppoll(set.fds.data(), set.fds.size(), &ts, nullptr) > 0) handle_ready(set);
        if (stop_ || monotonic_ns() + short_wait_ns > until_ns) return;
    }
}

void io_hub::close_all() {
    for (auto &e : serial_) {
        if (e->kind == endpoint::pty) {
            char target[256];
            ssize_t n = readlink(e->link.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = 0;
                if (e->pty_name == target) ::unlink(e->link.c_str());
            }
        }
        if (e->kind != endpoint::stdio) {
            if (e->in_fd >= 0) ::close(e->in_fd);
            if (e->listen_fd >= 0) ::close(e->listen_fd);
        } else if (e->out_fd >= 0) {
            // Hand over the rest of the output before leaving.
            int fl = fcntl(e->out_fd, F_GETFL);
            if (fl >= 0) fcntl(e->out_fd, F_SETFL, fl & ~O_NONBLOCK);
            flush(*e, true);
        }
    }
    serial_.clear();
    for (int fd : control_listeners_) ::close(fd);
    control_listeners_.clear();
    for (auto &c : control_clients_) ::close(c->fd);
    control_clients_.clear();
    if (!unix_path_.empty()) ::unlink(unix_path_.c_str());
    unix_path_.clear();
}

}  // namespace cabinet_sim
