// What the HTTP API works with: the journal, the tokens, the cabinets and the
// server's limits and gauges. The service builds it; the HTTP server and its
// handlers see this and nothing more of the service.
#pragma once

#include "approvals.h"
#include "board_ids.h"
#include "cabinet.h"
#include "http_views.h"
#include "journal.h"
#include "token_places.h"
#include "tokens.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace cabinetd {

struct HttpOptions {
    std::size_t body_limit = 4096;
    std::size_t header_limit = 8192;          // request line and fields
    std::chrono::seconds request_timeout{15}; // a whole request, headers and body
    // The headers of a request on a connection that has not yet shown a
    // valid token: idle sockets that say nothing are gone soon.
    std::chrono::seconds header_timeout{5};
    // A stream whose client takes nothing of what was sent to it for this
    // long is dropped (the client resumes with Last-Event-ID).
    std::chrono::seconds stream_write_timeout{30};
    std::chrono::seconds stream_ping{15};
    // A stream of statuses (a live view, such as the operator page) pings
    // this often, so that its client can tell within seconds that it no
    // longer hears cabinetd, and say that what it shows is unknown.
    std::chrono::seconds status_ping{1};
    std::chrono::seconds stream_watch{2}; // how often a stream's progress is looked at
    // How many connections, and who may hold them (see ConnectionLimits).
    // Past max_unauthenticated connections without a valid token, a new
    // connection closes the one of them silent longest, so idle sockets can
    // never keep a client with a token (or a health check) out.
    ConnectionLimits limits;
    // A connection that sends nothing is left in the kernel this long
    // (TCP_DEFER_ACCEPT), so a client that connects and takes its time with
    // its first request holds no place that idle sockets could take from it.
    std::chrono::seconds defer_accept{3};
    // Audit reads (/api/events) one token may have waiting or running at
    // once; past that it is told to try again (429).
    std::size_t audit_reads_per_token = 4;
    std::chrono::seconds stream_token_ttl{60};
    ApprovalOptions approvals; // opens of two-person doors awaiting a second operator
};

// The HTTP server's gauges, kept by the server and read by the metrics.
struct HttpCounters {
    std::atomic<std::size_t> connections{0}, streams{0}, unauthenticated{0};
    std::atomic<std::uint64_t> evicted{0};
};

struct ApiContext {
    ApiContext(Journal &j, Tokens &t, HttpOptions o)
            : journal(j), tokens(t), policy(t.policy()), options(o), places(o.limits),
              approvals(j, t.policy(), o.approvals) {}
    ApiContext(const ApiContext &) = delete;
    ApiContext &operator=(const ApiContext &) = delete;

    Journal &journal;
    Tokens &tokens;
    const Policy &policy;
    const HttpOptions options;
    // In the configuration's order, each with the endpoint it was given.
    std::vector<std::pair<Cabinet *, std::string>> cabinets;
    std::string web_root; // the operator page's files; empty: no page
    std::vector<std::string> allowed_hosts;
    HttpCounters counters;
    TokenPlaces places;               // the connections each token holds
    const BoardIds *boards = nullptr; // which board each cabinet is, and who shares one
    Approvals approvals;

    Cabinet *cabinet(std::string_view name) const;
    // The configured endpoint of a cabinet (empty if there is none): shown to
    // operators only, and kept out of what viewers see.
    std::string endpoint(std::string_view cabinet) const;
    std::vector<CabinetStatus> statuses() const;
    // A cabinet's status as the API shows it to who asks, with the service
    // around it: nothing of a cabinet it may not read.
    nlohmann::json status_view(const Cabinet &c, const Principal &who) const;
    // The same as JSON text, made once per change of the cabinet's status
    // (or of the service around it), whoever asks how often: what moves all
    // the time (the heartbeat's age, the controller's clock) is filled in.
    std::string status_text(const Cabinet &c, const Principal &who) const;
    // Why the service cannot do all it should (the journal cannot write), or nothing.
    std::optional<std::string> degraded() const;

private:
    // Each cabinet's status text, as of one snapshot, for each role.
    struct StatusText {
        std::uint64_t version = 0;
        StatusContext context;
        std::vector<std::string> pieces; // around the slots
        std::vector<char> slots;         // what goes between two pieces
    };
    StatusContext context_of(const Cabinet &c, const Principal &who) const;
    mutable std::mutex texts_mu_;
    mutable std::map<std::tuple<const Cabinet *, bool, std::vector<std::string>>, StatusText>
        texts_;
};

} // namespace cabinetd
