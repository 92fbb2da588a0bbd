// Serial, TCP and pipe transports on standalone asio. Everything runs on the
// caller's thread: a receive runs the private io_context until a line is
// complete, the timeout passes or wake() posts to it; writes are synchronous.
#include "cabinet_host/transport.h"
#include "cabinet_host/host_port.h"

#include <asio.hpp>
#include <fmt/format.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <cstdlib>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <spawn.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace cabinet_host {
namespace {

using Clock = std::chrono::steady_clock;

class AsioTransport : public Transport {
public:
    void send_line(const std::string &line) override {
        if (lost_) throw ConnectionLost(lost_reason_);
        std::string data = line;
        data.push_back('\n');
        try {
            write_all(data);
        } catch (const std::system_error &e) {
            lose(fmt::format("write failed: {}", e.code().message()));
            throw ConnectionLost(lost_reason_);
        }
    }

    std::optional<std::string> receive_line(std::chrono::milliseconds timeout) override {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (auto l = split_.pop()) return l;
            if (lost_) throw ConnectionLost(lost_reason_);
            if (woken_.exchange(false)) return std::nullopt;
            const auto now = Clock::now();
            if (!reading_ && now < rest_until_) {
                if (now >= deadline) return std::nullopt;
                rest(std::min(rest_until_, deadline));
                continue;
            }
            if (!reading_) start_read();
            if (io_.stopped()) io_.restart();
            if (now >= deadline) {
                io_.poll();
                if (auto l = split_.pop()) return l;
                if (lost_) throw ConnectionLost(lost_reason_);
                return std::nullopt;
            }
            io_.run_one_until(deadline);
        }
    }

    // Cuts short a rest (the condition variable) or a wait in the
    // io_context (the post; at most one is outstanding, however often this
    // is called).
    void wake() override {
        {
            std::lock_guard lk(wake_mu_);
            woken_.store(true);
        }
        wake_cv_.notify_all();
        if (!wake_posted_.exchange(true)) asio::post(io_, [this] { wake_posted_.store(false); });
    }

protected:
    virtual void read_some(asio::mutable_buffer buf,
                           std::function<void(std::error_code, std::size_t)> done) = 0;
    virtual void write_all(const std::string &data) = 0;

    void lose(std::string reason) {
        if (!lost_) lost_reason_ = std::move(reason);
        lost_ = true;
    }

    asio::io_context io_;

private:
    // On a serial port a line comes in a few bytes at a time (115200 baud is
    // 11.5 bytes a millisecond): a reader woken for each would wake a hundred
    // times for one state line. With part of a line in, the next read waits
    // kRest, away from the io_context (whose poller would wake for every
    // byte), so a line costs a few wake-ups and comes at most kRest late;
    // wake() still cuts the rest short. A peer that writes whole lines (the
    // simulator over TCP) never leaves part of one, and never meets the rest.
    static constexpr std::chrono::milliseconds kRest{5};

    void rest(Clock::time_point until) {
        std::unique_lock lk(wake_mu_);
        wake_cv_.wait_until(lk, until, [&] { return woken_.load(); });
    }

    void start_read() {
        reading_ = true;
        read_some(asio::buffer(buf_), [this](std::error_code ec, std::size_t n) {
            reading_ = false;
            if (n > 0) split_.feed(buf_.data(), n);
            if (!ec && n > 0 && !std::memchr(buf_.data(), '\n', n))
                rest_until_ = Clock::now() + kRest;
            if (ec == asio::error::operation_aborted) return;
            if (ec == asio::error::eof) lose("the other end closed the connection");
            else if (ec) lose(fmt::format("read failed: {}", ec.message()));
        });
    }

    LineSplitter split_;
    std::array<char, 1024> buf_{};
    Clock::time_point rest_until_{}; // part of a line is in: no read before then
    bool reading_ = false;
    bool lost_ = false;
    std::atomic<bool> woken_{false}, wake_posted_{false};
    std::mutex wake_mu_;
    std::condition_variable wake_cv_;
    std::string lost_reason_;
};

// Who holds an advisory lock on the file with this device and inode, from
// /proc/locks: "pid NNN (name)", or empty when that cannot be told.
std::string lock_holder(const struct stat &st) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:19:5 0 EOF"; waiters carry "->".
        std::istringstream in(line);
        std::string n, kind, mode, rw, pid, where;
        if (!(in >> n >> kind >> mode >> rw >> pid >> where) || kind != "FLOCK") continue;
        unsigned maj = 0, min = 0;
        unsigned long long ino = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &maj, &min, &ino) != 3) continue;
        if (ino != st.st_ino || maj != major(st.st_dev) || min != minor(st.st_dev)) continue;
        std::ifstream comm("/proc/" + pid + "/comm");
        std::string name;
        std::getline(comm, name);
        return name.empty() ? "pid " + pid : fmt::format("pid {} ({})", pid, name);
    }
    return {};
}

// The port is taken exclusively, so that two programs never split its bytes
// between them: an advisory lock (flock) that other well-behaved programs
// check, and the terminal's exclusive mode, which makes the kernel refuse
// further opens by anyone without CAP_SYS_ADMIN. The exclusive mode outlives
// a close on a pseudo-terminal whose other side stays open, so it is switched
// off again before closing.
class SerialTransport final : public AsioTransport {
public:
    SerialTransport(const std::string &device, unsigned baud) : port_(io_) {
        const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            // Refused by the exclusive mode: the holder's lock still names it.
            if (errno == EBUSY) {
                struct stat st {};
                const std::string who = ::stat(device.c_str(), &st) == 0 ? lock_holder(st) : "";
                throw PortInUse(
                    fmt::format("{} is in use: another program has it open exclusively{}", device,
                                who.empty() ? "" : ": " + who));
            }
            throw std::system_error(errno, std::generic_category());
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            struct stat st {};
            std::string who = ::fstat(fd, &st) == 0 ? lock_holder(st) : "";
            ::close(fd);
            if (err == EWOULDBLOCK)
                throw PortInUse(fmt::format("{} is in use by another program{}", device,
                                            who.empty() ? "" : ": " + who));
            throw std::system_error(err, std::generic_category());
        }
        ::ioctl(fd, TIOCEXCL);
        port_.assign(fd);
        port_.set_option(asio::serial_port::baud_rate(baud));
        port_.set_option(asio::serial_port::character_size(8));
        port_.set_option(asio::serial_port::parity(asio::serial_port::parity::none));
        port_.set_option(asio::serial_port::stop_bits(asio::serial_port::stop_bits::one));
        port_.set_option(asio::serial_port::flow_control(asio::serial_port::flow_control::none));
        // Raw bytes both ways: no echo, no line editing, no CR/LF translation.
        termios t{};
        if (::tcgetattr(fd, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(fd, TCSANOW, &t);
        }
        // Old bytes in the driver belong to nobody; start from a clean line.
        ::tcflush(fd, TCIOFLUSH);
    }

    ~SerialTransport() override {
        if (port_.is_open()) ::ioctl(port_.native_handle(), TIOCNXCL);
    }

protected:
    void read_some(asio::mutable_buffer buf,
                   std::function<void(std::error_code, std::size_t)> done) override {
        port_.async_read_some(buf, std::move(done));
    }
    void write_all(const std::string &data) override { asio::write(port_, asio::buffer(data)); }

private:
    asio::serial_port port_;
};

class TcpTransport final : public AsioTransport {
public:
    TcpTransport(const std::string &host_port, std::chrono::milliseconds timeout) : socket_(io_) {
        const auto hp = parse_host_port(host_port);
        if (!hp)
            throw std::invalid_argument(
                fmt::format("\"{}\" is not HOST:PORT: {}", host_port, hp.refusal().text));
        asio::ip::tcp::resolver resolver(io_);
        auto endpoints = resolver.resolve(hp->host, std::to_string(*hp->port));
        std::error_code result = asio::error::timed_out;
        asio::async_connect(
            socket_, endpoints,
            [&](std::error_code ec, const asio::ip::tcp::endpoint &) { result = ec; });
        io_.run_for(timeout);
        if (result) {
            socket_.close();
            throw std::runtime_error(
                fmt::format("cannot connect to {}: {}", host_port, result.message()));
        }
        io_.restart();
        socket_.set_option(asio::ip::tcp::no_delay(true));
    }

protected:
    void read_some(asio::mutable_buffer buf,
                   std::function<void(std::error_code, std::size_t)> done) override {
        socket_.async_read_some(buf, std::move(done));
    }
    void write_all(const std::string &data) override { asio::write(socket_, asio::buffer(data)); }

private:
    asio::ip::tcp::socket socket_;
};

class SimTransport final : public AsioTransport {
public:
    SimTransport(const std::string &program, const std::vector<std::string> &extra,
                 bool show_stderr)
            : from_child_(io_), to_child_(io_) {
        // Writing to a simulator that has died must be an error, not a signal
        // that kills this process.
        struct sigaction old {};
        if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            ::signal(SIGPIPE, SIG_IGN);

        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            throw std::system_error(errno, std::generic_category());
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        if (!show_stderr) posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);

        std::vector<std::string> args{program, "--stdio"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char *> argv;
        for (auto &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);

        const int rc = ::posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            ::close(in[1]);
            ::close(out[0]);
            throw std::runtime_error(
                fmt::format("cannot start {}: {}", program, std::generic_category().message(rc)));
        }
        to_child_.assign(in[1]);
        from_child_.assign(out[0]);
    }

    ~SimTransport() override {
        std::error_code ignored;
        to_child_.close(ignored); // end of input: the simulator exits
        from_child_.close(ignored);
        if (!reap(std::chrono::milliseconds(2000))) {
            ::kill(pid_, SIGTERM);
            if (!reap(std::chrono::milliseconds(1000))) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
    }

protected:
    void read_some(asio::mutable_buffer buf,
                   std::function<void(std::error_code, std::size_t)> done) override {
        from_child_.async_read_some(buf, std::move(done));
    }
    void write_all(const std::string &data) override { asio::write(to_child_, asio::buffer(data)); }

private:
    bool reap(std::chrono::milliseconds limit) {
        const auto until = Clock::now() + limit;
        do {
            const pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
            if (r == pid_ || r < 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (Clock::now() < until);
        return false;
    }

    pid_t pid_ = -1;
    asio::posix::stream_descriptor from_child_;
    asio::posix::stream_descriptor to_child_;
};

bool executable(const std::string &path) {
    return !path.empty() && ::access(path.c_str(), X_OK) == 0;
}

} // namespace

std::unique_ptr<Transport> open_serial(const std::string &device, unsigned baud) {
    try {
        return std::make_unique<SerialTransport>(device, baud);
    } catch (const PortInUse &) {
        throw;
    } catch (const std::system_error &e) {
        throw std::runtime_error(fmt::format("cannot open {}: {}", device, e.code().message()));
    }
}

std::unique_ptr<Transport> open_tcp(const std::string &host_port,
                                    std::chrono::milliseconds connect_timeout) {
    try {
        return std::make_unique<TcpTransport>(host_port, connect_timeout);
    } catch (const std::system_error &e) {
        throw std::runtime_error(
            fmt::format("cannot connect to {}: {}", host_port, e.code().message()));
    }
}

std::unique_ptr<Transport> spawn_simulator(const std::string &program,
                                           const std::vector<std::string> &extra_args,
                                           bool show_stderr) {
    return std::make_unique<SimTransport>(program, extra_args, show_stderr);
}

std::string find_simulator() {
    if (const char *env = std::getenv("CABINET_SIM"); env && *env) return env;
    std::array<char, 4096> self{};
    const ssize_t n = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (n <= 0) return {};
    std::string dir(self.data(), static_cast<std::size_t>(n));
    dir.erase(dir.rfind('/'));
    for (const char *rel : {"/cabinet-sim", "/../simulator/cabinet-sim"})
        if (executable(dir + rel)) return dir + rel;
    return {};
}

} // namespace cabinet_host
