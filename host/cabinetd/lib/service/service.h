// The service as a whole, and where its parts are put together: the journal,
// one Cabinet per configured cabinet, the tokens, the HTTP server in front of
// them (which sees them through an ApiContext) and the MQTT bridge.
#pragma once

#include "api_context.h"
#include "board_ids.h"
#include "cabinet.h"
#include "config.h"
#include "journal.h"
#include "policy.h"
#include "tokens.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

class HttpServer;
class MqttBridge;

class Service {
public:
    Service(const Config &cfg, JournalOptions jopt = {}, LinkOptions lopt = {},
            HttpOptions hopt = {});
    ~Service();

    // Starts the cabinets, the HTTP server and the MQTT bridge (with a broker
    // configured), each on threads of its own.
    void start();
    void stop();
    unsigned short port() const;
    // Re-reads the token file (SIGHUP); refused ("error", saying why) with
    // the old tokens kept when it cannot be read.
    Result<> reload_tokens();

    Journal &journal() { return *journal_; }
    Tokens &tokens() { return *tokens_; }
    Policy &policy() { return *policy_; }
    Cabinet *cabinet(std::string_view name);
    const std::vector<std::unique_ptr<Cabinet>> &cabinets() const { return cabinets_; }
    // Why the service cannot do all it should (the journal cannot write), or nothing.
    std::optional<std::string> degraded() const;
    // Every part's proof of life, for the watchdog.
    std::vector<const Progress *> progress_marks() const;

private:
    Config cfg_;
    std::unique_ptr<Journal> journal_;
    std::unique_ptr<BoardIds> boards_;
    std::shared_ptr<Policy> policy_;
    std::unique_ptr<Tokens> tokens_;
    std::vector<std::unique_ptr<Cabinet>> cabinets_;
    std::unique_ptr<ApiContext> api_;
    std::unique_ptr<HttpServer> http_;
    std::unique_ptr<MqttBridge> mqtt_; // with a broker configured
};

} // namespace cabinetd
