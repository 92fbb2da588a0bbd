#include "service.h"

#include "http_server.h"
#include "log.h"
#include "mqtt_bridge.h"

#include <fmt/format.h>

namespace cabinetd {

Service::Service(const Config &cfg, JournalOptions jopt, LinkOptions lopt, HttpOptions hopt)
        : cfg_(cfg) {
    validate(cfg_);
    jopt.retention = cfg_.retention;
    jopt.full_sync = cfg_.journal_full_sync;
    jopt.max_bytes = cfg_.max_db_mb << 20;
    std::vector<std::string> names;
    for (auto &c : cfg_.cabinets) names.push_back(c.name);
    PolicyOptions popt;
    if (!cfg_.time_zone.empty()) popt.zone = std::make_shared<const SiteZone>(cfg_.time_zone);
    policy_ = std::make_shared<Policy>(popt);
    log(Level::Info, fmt::format("tokens' hours are in time zone {}", policy_->zone().name()));
    tokens_ = std::make_unique<Tokens>(*policy_);
    if (!cfg_.tokens.empty()) policy_->load(cfg_.tokens, names);
    journal_ = std::make_unique<Journal>(cfg_.db, jopt);
    boards_ = std::make_unique<BoardIds>(*journal_, names);
    for (auto &c : cfg_.cabinets) {
        lopt.held_open = c.held_open;
        lopt.reason_doors = c.reason_doors;
        lopt.two_person_doors = c.two_person_doors;
        lopt.policy = policy_;
        cabinets_.push_back(std::make_unique<Cabinet>(
            c.name, c.endpoint, endpoint_transport(c.endpoint), *journal_, lopt));
    }
    hopt.limits = cfg_.limits;
    api_ = std::make_unique<ApiContext>(*journal_, *tokens_, hopt);
    for (std::size_t i = 0; i < cabinets_.size(); ++i)
        api_->cabinets.emplace_back(cabinets_[i].get(), cfg_.cabinets[i].endpoint);
    api_->web_root = cfg_.web_root;
    api_->boards = boards_.get();
    api_->allowed_hosts = cfg_.allowed_hosts;
    http_ = std::make_unique<HttpServer>(*api_, parse_listen(cfg_.listen));
    if (!cfg_.mqtt.url.empty()) {
        std::vector<Cabinet *> cabs;
        for (auto &c : cabinets_) cabs.push_back(c.get());
        mqtt_ = std::make_unique<MqttBridge>(cfg_.mqtt, *journal_, std::move(cabs), *boards_);
    }
}

Service::~Service() { stop(); }

void Service::start() {
    for (auto &c : cabinets_) c->start();
    http_->start();
    if (mqtt_) mqtt_->start();
}

void Service::stop() {
    // The server first, so nothing new arrives; then the lines, which answer
    // what is still waiting; then the journal, which commits the rest.
    if (http_) http_->stop();
    if (mqtt_) mqtt_->stop();
    for (auto &c : cabinets_) c->stop();
    if (journal_) journal_->flush();
}

unsigned short Service::port() const { return http_->port(); }

std::optional<std::string> Service::degraded() const { return api_->degraded(); }

std::vector<const Progress *> Service::progress_marks() const {
    std::vector<const Progress *> out{&journal_->progress_mark(), &http_->progress_mark()};
    for (auto &c : cabinets_) out.push_back(&c->progress_mark());
    if (mqtt_) out.push_back(&mqtt_->progress_mark());
    return out;
}

Result<> Service::reload_tokens() {
    if (cfg_.tokens.empty()) return {};
    try {
        std::vector<std::string> names;
        for (auto &c : cfg_.cabinets) names.push_back(c.name);
        policy_->load(cfg_.tokens, names);
        // What a removed or changed token opened must close with it.
        if (http_) http_->tokens_changed();
        return {};
    } catch (const std::exception &e) {
        return invalid(e.what());
    }
}

Cabinet *Service::cabinet(std::string_view name) { return api_->cabinet(name); }

} // namespace cabinetd
