#include "service.h"

#include "http_server.h"
#include "mqtt_bridge.h"
#include "state_view.h"

#include <cabinet_host/explain.h>

#include <fmt/format.h>

namespace cabinetd {

using nlohmann::json;

Service::Service(const Config &cfg, JournalOptions jopt, LinkOptions lopt, HttpOptions hopt)
    : cfg_(cfg), hopt_(hopt) {
    validate(cfg_);
    jopt.retention = cfg_.retention;
    jopt.full_sync = cfg_.journal_full_sync;
    jopt.max_bytes = cfg_.max_db_mb << 20;
    if (!cfg_.tokens.empty()) tokens_.load(cfg_.tokens);
    journal_ = std::make_unique<Journal>(cfg_.db, jopt);
    for (auto &c : cfg_.cabinets)
        cabinets_.push_back(std::make_unique<Cabinet>(c.name, c.endpoint, *journal_, lopt));
    http_ = std::make_unique<HttpServer>(*this, parse_listen(cfg_.listen));
    if (!cfg_.mqtt.url.empty()) {
        std::vector<Cabinet *> cabs;
        for (auto &c : cabinets_) cabs.push_back(c.get());
        mqtt_ = std::make_unique<MqttBridge>(cfg_.mqtt, *journal_, std::move(cabs));
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

std::optional<std::string> Service::degraded() const {
    if (journal_->available()) return std::nullopt;
    return fmt::format("the journal cannot write: {}", journal_->unavailable_reason());
}

std::vector<const Progress *> Service::progress_marks() const {
    std::vector<const Progress *> out{&journal_->progress_mark(), &http_->progress_mark()};
    for (auto &c : cabinets_) out.push_back(&c->progress_mark());
    if (mqtt_) out.push_back(&mqtt_->progress_mark());
    return out;
}

bool Service::reload_tokens(std::string *error) {
    if (cfg_.tokens.empty()) return true;
    try {
        tokens_.load(cfg_.tokens);
        // What a removed or changed token opened must close with it.
        if (http_) http_->tokens_changed();
        return true;
    } catch (const std::exception &e) {
        if (error) *error = e.what();
        return false;
    }
}

std::string Service::endpoint(std::string_view cabinet) const {
    for (auto &c : cfg_.cabinets)
        if (c.name == cabinet) return c.endpoint;
    return {};
}

Cabinet *Service::cabinet(std::string_view name) {
    for (auto &c : cabinets_)
        if (c->name() == name) return c.get();
    return nullptr;
}

namespace {

std::string label(std::string_view v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') out.push_back('\\');
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out.push_back(c);
    }
    return out;
}

// The text with the endpoint (and, for tcp:HOST:PORT, the HOST:PORT) put
// out of sight.
std::string redact(std::string text, std::string_view endpoint) {
    if (endpoint.empty() || endpoint == "sim") return text;
    std::vector<std::string_view> hide{endpoint};
    if (endpoint.substr(0, 4) == "tcp:") hide.push_back(endpoint.substr(4));
    for (auto h : hide)
        for (auto at = text.find(h); at != std::string::npos; at = text.find(h, at))
            text.replace(at, h.size(), "(endpoint)");
    return text;
}

} // namespace

json status_json(const CabinetStatus &s, bool for_operator) {
    json j{{"name", s.name},
           {"link", to_string(s.link)},
           {"link_since_ms", s.link_since_ms},
           {"link_reason", for_operator ? s.link_reason : redact(s.link_reason, s.endpoint)},
           {"session_id", s.session_id.empty() ? json() : json(s.session_id)},
           {"heartbeat_age_s", json()},
           {"controller", json()},
           {"doors", json()}};
    if (for_operator) j["endpoint"] = s.endpoint;
    if (s.heartbeat_ok_local_ms)
        j["heartbeat_age_s"] = static_cast<double>(steady_ms() - static_cast<std::uint64_t>(*s.heartbeat_ok_local_ms)) / 1000.0;
    // What the controller last said is shown only while it is still talking:
    // a cabinet whose link is down is not what it was when the link went.
    if (s.link == Link::Up && s.state) {
        const auto &st = *s.state;
        j["controller"] = state_json(st, {.text = true, .clock = true});
        // Until the controller's inputs have settled (just after a start) its
        // masks say nothing about the doors.
        if (st.inputs_valid) {
            json doors = json::array();
            for (unsigned d = 1; d <= cabinet_host::kDoors; ++d)
                doors.push_back({{"door", d}, {"closed", st.door_closed(d)}, {"locked", st.latch_locked(d)}});
            j["doors"] = doors;
        }
    }
    return j;
}

json record_json(const Record &r) {
    json j{{"cursor", r.cursor}, {"at_ms", r.at_ms},   {"cabinet", r.cabinet},
           {"kind", r.kind},     {"code", r.code},     {"session_id", r.session_id},
           {"request_id", r.request_id}, {"door_id", r.door_id}};
    j["event_seq"] = r.event_seq ? json(*r.event_seq) : json();
    if (r.kind == "gap") j["seq_to"] = r.seq_to ? json(*r.seq_to) : json();
    if (!r.client_key.empty()) j["idempotency_key"] = r.client_key;
    if (!r.detail.empty()) {
        auto d = json::parse(r.detail, nullptr, false);
        j["detail"] = d.is_discarded() ? json(r.detail) : d;
    }
    if ((r.kind == "event" || r.kind == "ack") && cabinet_host::explain(r.code))
        j["text"] = std::string(cabinet_host::explain_text(r.code));
    return j;
}

json record_json(const Record &r, bool for_operator, std::string_view endpoint) {
    json j = record_json(r);
    if (!for_operator && r.kind == "link" && j.contains("detail") && j["detail"].is_object() &&
        j["detail"].contains("reason") && j["detail"]["reason"].is_string())
        j["detail"]["reason"] = redact(j["detail"]["reason"].get<std::string>(), endpoint);
    return j;
}

json result_json(const CommandResult &r) {
    json j{{"code", r.code}, {"text", r.text}, {"request_id", r.request_id}, {"replayed", r.replayed}};
    j["session_id"] = r.session_id.empty() ? json() : json(r.session_id);
    j["idempotency_key"] = r.key.empty() ? json() : json(r.key);
    if (r.cycle_end) {
        json ev = json::array();
        for (auto &e : r.events) ev.push_back(record_json(e));
        j["cycle"] = {{"end", *r.cycle_end}, {"events", ev}};
    }
    return j;
}

std::optional<std::map<std::string, std::string>> parse_query(std::string_view target) {
    std::map<std::string, std::string> out;
    const auto q = target.find('?');
    if (q == std::string_view::npos) return out;
    std::string_view rest = target.substr(q + 1);
    const auto decode = [](std::string_view in) -> std::optional<std::string> {
        std::string s;
        for (std::size_t i = 0; i < in.size(); ++i) {
            if (in[i] == '+') s.push_back(' ');
            else if (in[i] == '%') {
                if (i + 2 >= in.size() || !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
                    !std::isxdigit(static_cast<unsigned char>(in[i + 2])))
                    return std::nullopt;
                s.push_back(static_cast<char>(std::stoi(std::string(in.substr(i + 1, 2)), nullptr, 16)));
                i += 2;
            } else s.push_back(in[i]);
        }
        return s;
    };
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const auto part = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (part.empty()) continue;
        const auto eq = part.find('=');
        auto k = decode(part.substr(0, eq));
        auto v = decode(eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1));
        // A parameter given twice has no one meaning: refused, not guessed.
        if (!k || !v || !out.emplace(*k, *v).second) return std::nullopt;
    }
    return out;
}

std::string Service::metrics() const {
    std::string out;
    const auto family = [&](const char *name, const char *type, const char *help) {
        out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
    };
    std::vector<CabinetStatus> all;
    for (auto &c : cabinets_) all.push_back(c->status());

    family("cabinetd_cabinet_up", "gauge", "1 while the cabinet's link is up and its controller talking, else 0.");
    for (auto &s : all) out += fmt::format("cabinetd_cabinet_up{{cabinet=\"{}\"}} {}\n", label(s.name), s.link == Link::Up ? 1 : 0);
    const auto counter = [&](const char *name, const char *help, auto get) {
        family(name, "counter", help);
        for (auto &s : all) out += fmt::format("{}{{cabinet=\"{}\"}} {}\n", name, label(s.name), get(s));
    };
    counter("cabinetd_lines_received_total", "Lines received from the controller.", [](auto &s) { return s.lines_in; });
    counter("cabinetd_lines_sent_total", "Lines written to the controller.", [](auto &s) { return s.lines_out; });
    counter("cabinetd_malformed_lines_total", "Received lines that were not a well-formed state, event or ack.", [](auto &s) { return s.malformed; });
    counter("cabinetd_connections_total", "Connections made to the controller's line.", [](auto &s) { return s.reconnects; });
    counter("cabinetd_sessions_total", "Controller sessions seen (first one and every restart).", [](auto &s) { return s.sessions; });
    family("cabinetd_acks_total", "counter", "Acks received, by code.");
    for (auto &s : all)
        for (auto &[code, n] : s.acks)
            out += fmt::format("cabinetd_acks_total{{cabinet=\"{}\",code=\"{}\"}} {}\n", label(s.name), label(code), n);
    family("cabinetd_faults_total", "counter", "Fault events received, by code.");
    for (auto &s : all)
        for (auto &[code, n] : s.faults)
            out += fmt::format("cabinetd_faults_total{{cabinet=\"{}\",code=\"{}\"}} {}\n", label(s.name), label(code), n);
    family("cabinetd_heartbeats_total", "counter", "Heartbeats by outcome: ok (acknowledged), refused, missing (no answer).");
    for (auto &s : all)
        for (const char *outcome : {"ok", "refused", "missing"}) {
            const auto it = s.heartbeats.find(outcome);
            out += fmt::format("cabinetd_heartbeats_total{{cabinet=\"{}\",outcome=\"{}\"}} {}\n", label(s.name), outcome,
                               it == s.heartbeats.end() ? 0 : it->second);
        }
    // A series only while a fault is latched, so an alert on it ends when
    // the fault is cleared (or can no longer be known: the link is not up).
    family("cabinetd_controller_fault", "gauge", "1 while the controller reports this latched fault.");
    for (auto &s : all)
        if (s.link == Link::Up && s.state && s.state->fault != "none")
            out += fmt::format("cabinetd_controller_fault{{cabinet=\"{}\",code=\"{}\"}} 1\n", label(s.name), label(s.state->fault));
    family("cabinetd_heartbeat_age_seconds", "gauge", "Time since the controller last acknowledged a heartbeat.");
    for (auto &s : all)
        if (s.heartbeat_ok_local_ms)
            out += fmt::format("cabinetd_heartbeat_age_seconds{{cabinet=\"{}\"}} {:.3f}\n", label(s.name),
                               static_cast<double>(steady_ms() - static_cast<std::uint64_t>(*s.heartbeat_ok_local_ms)) / 1000.0);

    const auto js = journal_->stats();
    family("cabinetd_journal_records_total", "counter", "Records committed to the journal.");
    out += fmt::format("cabinetd_journal_records_total {}\n", js.records);
    family("cabinetd_journal_duplicates_total", "counter", "Events received again and not stored twice.");
    out += fmt::format("cabinetd_journal_duplicates_total {}\n", js.duplicates);
    family("cabinetd_journal_available", "gauge", "1 while the journal can write, 0 while opens and clears are refused.");
    out += fmt::format("cabinetd_journal_available {}\n", journal_->available() ? 1 : 0);
    family("cabinetd_journal_unavailable_total", "counter", "Times the journal became unable to write (disk full, I/O error, ...).");
    out += fmt::format("cabinetd_journal_unavailable_total {}\n", js.unavailable);
    family("cabinetd_journal_held_records", "gauge", "Records kept in memory while the journal cannot write.");
    out += fmt::format("cabinetd_journal_held_records {}\n", js.held);
    family("cabinetd_journal_dropped_records_total", "counter", "Records dropped past the memory bound while the journal could not write.");
    out += fmt::format("cabinetd_journal_dropped_records_total {}\n", js.dropped);
    family("cabinetd_journal_pruned_records_total", "counter", "Records pruned for age or for the size cap.");
    out += fmt::format("cabinetd_journal_pruned_records_total {}\n", js.pruned);
    family("cabinetd_journal_write_seconds", "histogram", "Time to commit one batch to the journal.");
    for (std::size_t i = 0; i < std::size(JournalStats::kBuckets); ++i)
        out += fmt::format("cabinetd_journal_write_seconds_bucket{{le=\"{}\"}} {}\n", JournalStats::kBuckets[i], js.write_buckets[i]);
    out += fmt::format("cabinetd_journal_write_seconds_bucket{{le=\"+Inf\"}} {}\n", js.batches);
    out += fmt::format("cabinetd_journal_write_seconds_sum {:.6f}\n", js.write_seconds_sum);
    out += fmt::format("cabinetd_journal_write_seconds_count {}\n", js.batches);
    if (http_) {
        family("cabinetd_http_connections", "gauge", "Open HTTP connections, event streams included.");
        out += fmt::format("cabinetd_http_connections {}\n", http_->connections());
        family("cabinetd_http_streams", "gauge", "Open event streams.");
        out += fmt::format("cabinetd_http_streams {}\n", http_->streams());
        family("cabinetd_http_unauthenticated_connections", "gauge", "Open HTTP connections that have not yet shown a valid token.");
        out += fmt::format("cabinetd_http_unauthenticated_connections {}\n", http_->unauthenticated());
        family("cabinetd_http_evicted_total", "counter",
               "Connections without a valid token closed to make room for a new one (many: someone holds idle sockets).");
        out += fmt::format("cabinetd_http_evicted_total {}\n", http_->evicted());
    }
    return out;
}

} // namespace cabinetd
