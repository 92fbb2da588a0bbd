// The HTTP API, the event stream, the metrics and the operator page's files,
// on Boost.Beast. One thread runs every connection asynchronously, so idle
// connections and event streams cost a socket and a buffer, not a thread;
// journal reads for clients run on reader threads of their own (one for
// audits, one for streams), so no client's read can hold that thread up.
#pragma once

#include "api_context.h"
#include "listen_address.h"
#include "progress.h"

#include <cstdint>
#include <memory>
#include <thread>

namespace cabinetd {

class HttpServer {
public:
    // Binds at once (so port() is known); throws ConfigError if it cannot.
    // The context must outlive the server.
    HttpServer(ApiContext &ctx, const ListenAddress &addr);
    ~HttpServer();

    void start();
    void stop();
    unsigned short port() const { return port_; }
    // The token file was reloaded: streams whose token is gone or changed end.
    void tokens_changed();
    // The server thread's proof of life, for the watchdog.
    const Progress &progress_mark() const { return progress_; }

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    unsigned short port_ = 0;
    Progress progress_{"http"};
    std::thread thread_;
};

} // namespace cabinetd
