// The simulator's connections to the outside world in real-time mode: the
// serial line (a pseudo-terminal, a TCP port, standard input and output) and
// the control channel (TCP or a Unix socket), all multiplexed with poll() on
// the firmware's single thread while it sleeps.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cabinet_sim {

class io_hub {
public:
    // Called with bytes received on the serial line, in arrival order.
    std::function<void(const uint8_t *, size_t)> on_serial;
    // Called with one control line; returns the one-line answer.
    std::function<std::string(const std::string &)> on_control;

    io_hub();
    ~io_hub();
    io_hub(const io_hub &) = delete;
    io_hub &operator=(const io_hub &) = delete;

    // Each returns an error text, or an empty string on success.
    std::string open_pty(const std::string &link_path, std::string &pty_name);
    std::string open_tcp(uint16_t port, uint16_t &bound_port);  // port 0: any free port
    std::string open_stdio();
    std::string open_control_tcp(uint16_t port, uint16_t &bound_port);
    std::string open_control_unix(const std::string &path);

    // Writes one byte that left the UART to every connected serial endpoint.
    // An endpoint that connected in the middle of a line starts receiving at
    // the next line, so a host never reads a torn line.
    void serial_out(uint8_t byte);

    // Waits for and handles I/O until the monotonic clock reaches until_ns
    // (CLOCK_MONOTONIC), or returns at once after handling what is ready when
    // until_ns has passed.
    void poll_until(uint64_t until_ns);

    // SIGINT or SIGTERM seen (the end of standard input is stdin_ended()).
    bool stop_requested() const { return stop_; }
    // True once standard input ended (the simulator winds down after it).
    bool stdin_ended() const { return stdin_ended_; }

    // Removes the pty symlink and the control socket file.
    void close_all();

    static uint64_t monotonic_ns();

private:
    struct endpoint;
    struct control_client;
    struct poll_set;
    std::vector<std::unique_ptr<endpoint>> serial_;
    std::vector<int> control_listeners_;
    std::vector<std::unique_ptr<control_client>> control_clients_;
    std::string unix_path_;
    int signal_pipe_[2] = {-1, -1};
    bool stop_ = false;
    bool stdin_ended_ = false;

    // Hands everything readable on fd to on_serial. False at the end of input
    // or on a dead connection, true once nothing more is ready.
    bool drain(int fd);
    void handle_serial(endpoint &e, short revents);
    void accept_serial(endpoint &e);
    void handle_control(control_client &c);
    void flush(endpoint &e, bool all = false);
    void pty_check(endpoint &e);
    // What the next wait looks at, and the handling of what it found ready.
    void collect(poll_set &set, uint64_t now);
    void handle_ready(const poll_set &set);
};

}  // namespace cabinet_sim
