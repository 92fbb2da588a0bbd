// One line-oriented interface over the ways of reaching a controller: a serial
// device, a TCP endpoint, a spawned simulator on pipes, or memory (tests).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cabinet_host {

// The link is gone (end of file, device unplugged, peer closed, write failed).
class ConnectionLost : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The serial port is held by another program (see open_serial).
class PortInUse : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Transport {
public:
    virtual ~Transport() = default;
    // Sends one line; the transport appends the line feed.
    virtual void send_line(const std::string &line) = 0;
    // Waits up to timeout for one complete received line and returns it
    // without its line feed; nothing when the time ran out. Throws
    // ConnectionLost once the link is gone and every complete line has been
    // handed out.
    virtual std::optional<std::string> receive_line(std::chrono::milliseconds timeout) = 0;
    // Cuts short the receive_line another thread is waiting in, or the next
    // one if none is: it returns nothing at once. The only member that may
    // be called from another thread (while the transport lives). A
    // transport whose receive never waits long has nothing to cut short:
    // the default does nothing.
    virtual void wake() {}
};

// Splits a byte stream into lines. A line longer than max_line is dropped up
// to its line feed, and a partial line at the start of a connection (the
// controller was mid-line when we started listening) simply fails to parse.
class LineSplitter {
public:
    explicit LineSplitter(std::size_t max_line = 4096) : max_line_(max_line) {}
    void feed(const char *data, std::size_t n);
    std::optional<std::string> pop();

private:
    std::size_t max_line_;
    std::string partial_;
    bool overflow_ = false;
    std::deque<std::string> lines_;
};

// In-memory transport for tests and for embedding: lines pushed with
// push_received() are handed out in order; sent lines are recorded. With a
// clock attached, a receive that finds nothing advances the clock by the
// whole timeout instead of sleeping, so time-driven behaviour is testable
// without real waiting.
class MemoryTransport : public Transport {
public:
    void send_line(const std::string &line) override;
    std::optional<std::string> receive_line(std::chrono::milliseconds timeout) override;

    void push_received(std::string line) { inbound_.push_back(std::move(line)); }
    void close() { closed_ = true; }
    void attach_clock(std::uint64_t *now_ms) { clock_ = now_ms; }
    // Called for every line sent, e.g. to script the controller's answer.
    std::function<void(const std::string &)> on_send;

    std::vector<std::string> sent;

private:
    std::deque<std::string> inbound_;
    bool closed_ = false;
    std::uint64_t *clock_ = nullptr;
};

// Serial device: raw, 115200 baud, 8 data bits, no parity, 1 stop bit, no
// flow control. Input already waiting in the driver is discarded on open.
// The port is held exclusively while the transport lives (an flock lock and
// the terminal's exclusive mode): a second opener gets PortInUse, naming the
// holder when it can be told. Other failures throw std::runtime_error.
std::unique_ptr<Transport> open_serial(const std::string &device, unsigned baud = 115200);

// TCP endpoint "host:port" (for example the simulator's --tcp port).
std::unique_ptr<Transport> open_tcp(const std::string &host_port,
                                    std::chrono::milliseconds connect_timeout);

// Spawns the simulator with "--stdio" (plus extra arguments) and talks to it
// over pipes. The simulator's standard error goes to ours when show_stderr,
// else to /dev/null. Closing the transport closes the simulator's input, which
// ends it; it is terminated if it has not exited shortly after.
std::unique_ptr<Transport> spawn_simulator(const std::string &program,
                                           const std::vector<std::string> &extra_args,
                                           bool show_stderr);

// Where to find cabinet-sim: $CABINET_SIM, next to the running program, or
// ../simulator/cabinet-sim relative to it (the build tree). Empty if none.
std::string find_simulator();

} // namespace cabinet_host
