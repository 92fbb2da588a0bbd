// The service as a whole: the journal, one Cabinet per configured cabinet,
// the tokens, and the HTTP server in front of them.
#pragma once

#include "cabinet.h"
#include "config.h"
#include "journal.h"
#include "tokens.h"

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace cabinetd {

struct HttpOptions {
    std::size_t body_limit = 4096;
    std::size_t header_limit = 8192; // request line and fields
    std::chrono::seconds request_timeout{15}; // a whole request, headers and body
    // The headers of a request on a connection that has not yet shown a
    // valid token: idle sockets that say nothing are gone soon.
    std::chrono::seconds header_timeout{5};
    // A stream whose client takes nothing of what was sent to it for this
    // long is dropped (the client resumes with Last-Event-ID).
    std::chrono::seconds stream_write_timeout{30};
    std::chrono::seconds stream_ping{15};
    std::chrono::seconds stream_watch{2}; // how often a stream's progress is looked at
    std::size_t max_connections = 4000;
    // Connections that have not yet shown a valid token. Past this, a new
    // connection closes the oldest of them, so idle sockets can never keep
    // a client with a token (or a health check) out.
    std::size_t max_unauthenticated = 1024;
    std::chrono::seconds stream_token_ttl{60};
};

class HttpServer;
class MqttBridge;

class Service {
public:
    Service(const Config &cfg, JournalOptions jopt = {}, LinkOptions lopt = {}, HttpOptions hopt = {});
    ~Service();

    // Starts the cabinets and the HTTP server; the server runs on its own thread.
    void start();
    void stop();
    unsigned short port() const;
    // Re-reads the token file (SIGHUP); false (and the old tokens kept) on error.
    bool reload_tokens(std::string *error = nullptr);

    Journal &journal() { return *journal_; }
    Tokens &tokens() { return tokens_; }
    Cabinet *cabinet(std::string_view name);
    const std::vector<std::unique_ptr<Cabinet>> &cabinets() const { return cabinets_; }
    const Config &config() const { return cfg_; }
    const HttpOptions &http_options() const { return hopt_; }
    std::string metrics() const;
    // The configured endpoint of a cabinet (empty if there is none): shown to
    // operators only, and kept out of what viewers see.
    std::string endpoint(std::string_view cabinet) const;
    // Why the service cannot do all it should (the journal cannot write), or nothing.
    std::optional<std::string> degraded() const;
    // Every part's proof of life, for the watchdog.
    std::vector<const Progress *> progress_marks() const;

private:
    Config cfg_;
    HttpOptions hopt_;
    std::unique_ptr<Journal> journal_;
    Tokens tokens_;
    std::vector<std::unique_ptr<Cabinet>> cabinets_;
    std::unique_ptr<HttpServer> http_;
    std::unique_ptr<MqttBridge> mqtt_; // with a broker configured
};

// JSON views shared by the API and the stream. A viewer's views leave out
// where a cabinet is attached (its device path or host:port): the endpoint
// field, and the endpoint wherever a link's reason names it.
nlohmann::json status_json(const CabinetStatus &s, bool for_operator);
nlohmann::json record_json(const Record &r);
nlohmann::json record_json(const Record &r, bool for_operator, std::string_view endpoint);
nlohmann::json result_json(const CommandResult &r);

// Query string of a request target, percent-decoded; nothing for a malformed
// one or one that gives a parameter twice.
std::optional<std::map<std::string, std::string>> parse_query(std::string_view target);

} // namespace cabinetd
