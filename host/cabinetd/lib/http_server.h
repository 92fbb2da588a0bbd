// The HTTP API, the event stream, the metrics and the operator page's files,
// on Boost.Beast. One thread runs every connection asynchronously, so idle
// connections and event streams cost a socket and a buffer, not a thread.
#pragma once

#include "config.h"
#include "progress.h"

#include <atomic>
#include <memory>
#include <thread>

namespace cabinetd {

class Service;

class HttpServer {
public:
    // Binds at once (so port() is known); throws ConfigError if it cannot.
    HttpServer(Service &svc, const ListenAddress &addr);
    ~HttpServer();

    void start();
    void stop();
    unsigned short port() const { return port_; }
    std::size_t connections() const { return connections_; }
    std::size_t streams() const { return streams_; }
    // The server thread's proof of life, for the watchdog.
    const Progress &progress_mark() const { return progress_; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    unsigned short port_ = 0;
    std::atomic<std::size_t> connections_{0};
    std::atomic<std::size_t> streams_{0};
    Progress progress_{"http"};
    std::thread thread_;
};

} // namespace cabinetd
