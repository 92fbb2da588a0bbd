#include "mqtt_bridge.h"

#include "log.h"
#include "state_view.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/host_port.h>
#include <cabinet_host/protocol.h>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>

namespace cabinetd {

using nlohmann::json;
namespace ch = cabinet_host;

namespace {

std::string lower(std::string s) {
    for (auto &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string replace_all(std::string s, std::string_view what, std::string_view with) {
    for (auto pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos + with.size()))
        s.replace(pos, what.size(), with);
    return s;
}

std::string topic_prefix(const MqttConfig &m, const std::string &cabinet, const std::string &board) {
    return replace_all(replace_all(m.prefix, "{board_id}", board), "{cabinet}", cabinet);
}

bool valid_topic(std::string_view t) {
    return !t.empty() && t.find_first_of("+#") == std::string_view::npos && t.find('\0') == std::string_view::npos;
}

MqttRefusal refuse(std::string code, std::string text, std::string request_id = {}) {
    return MqttRefusal{std::move(code), std::move(text), std::move(request_id)};
}

} // namespace

BrokerUrl parse_broker_url(const std::string &url) {
    BrokerUrl b;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) rest = url.substr(7);
    else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        b.tls = true;
        b.port = 8883;
    } else {
        throw ConfigError(fmt::format("broker \"{}\": expected mqtt://HOST:PORT or mqtts://HOST:PORT", url));
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos)
        throw ConfigError(fmt::format("broker \"{}\": no host (user and password go in the config file)", url));
    std::string why;
    const auto hp = cabinet_host::parse_host_port(rest, &why, {.port_optional = true});
    if (!hp) throw ConfigError(fmt::format("broker \"{}\": {}", url, why));
    b.host = hp->host;
    if (hp->port) b.port = *hp->port;
    return b;
}

void validate_mqtt(const MqttConfig &m, std::size_t cabinets) {
    const auto url = parse_broker_url(m.url);
    if (url.tls && m.ca_file.empty()) throw ConfigError("mqtts:// needs a CA file (--mqtt-ca-file or mqtt.ca_file)");
    if (!valid_topic(m.prefix) || m.prefix.back() != '/' || m.prefix.front() == '/')
        throw ConfigError(fmt::format("mqtt prefix \"{}\": a topic ending in '/', without '+' or '#'", m.prefix));
    if (cabinets > 1 && m.prefix.find("{board_id}") == std::string::npos && m.prefix.find("{cabinet}") == std::string::npos)
        throw ConfigError("mqtt prefix: with more than one cabinet it must contain {board_id} or {cabinet}");
    if (!valid_topic(m.discovery_prefix)) throw ConfigError("mqtt discovery prefix: a topic without '+' or '#'");
    if (!valid_topic(m.ha_status_topic)) throw ConfigError("mqtt Home Assistant status topic: a topic without '+' or '#'");
}

std::optional<std::string> board_id_of(std::string_view session_id) {
    if (session_id.size() < 16) return std::nullopt;
    const auto head = session_id.substr(0, 16);
    if (!std::all_of(head.begin(), head.end(), [](unsigned char c) { return std::isxdigit(c); })) return std::nullopt;
    if (session_id.size() > 16 && session_id[16] != '-') return std::nullopt;
    std::string out(head);
    for (auto &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::variant<MqttCommand, MqttRefusal> parse_mqtt_command(std::string_view sub, std::string_view payload,
                                                          std::size_t max_payload) {
    if (payload.size() > max_payload)
        return refuse("payload_too_large", fmt::format("the payload has {} bytes; at most {} are taken", payload.size(), max_payload));
    MqttCommand c;
    if (sub == "clear_fault/set") {
        c.kind = MqttCommand::ClearFault;
    } else if (sub.rfind("door/", 0) == 0 && sub.size() > 14 && sub.substr(sub.size() - 9) == "/open/set") {
        // Only the canonical topic of a door: a broker's access rules name
        // topics, and "door/03/open/set" must not get past a rule that
        // denies "door/3/open/set".
        const auto n = sub.substr(5, sub.size() - 14);
        unsigned door = 0;
        auto [p, ec] = std::from_chars(n.data(), n.data() + n.size(), door);
        if (ec != std::errc() || p != n.data() + n.size() || door < 1 || door > ch::kDoors || fmt::format("{}", door) != n)
            return refuse("unknown_topic", fmt::format("no door \"{}\": the doors' topics are door/1/open/set to door/{}/open/set",
                                                       n, ch::kDoors));
        c.door = door;
    } else {
        return refuse("unknown_topic", fmt::format("no command \"{}\": use door/N/open/set or clear_fault/set", sub));
    }

    // The plain payloads a Home Assistant lock or button sends.
    if (c.kind == MqttCommand::Open && (payload == "OPEN" || payload == "UNLOCK")) return c;
    if (c.kind == MqttCommand::Open && payload == "LOCK")
        return refuse("not_supported", "the latch locks by itself when the door is closed; LOCK is not a command");
    if (c.kind == MqttCommand::ClearFault && (payload.empty() || payload == "PRESS" || payload == "CLEAR")) return c;

    auto j = json::parse(payload, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return refuse("bad_request", c.kind == MqttCommand::Open
                                         ? "the payload is neither OPEN nor a JSON object {\"pulse_ms\",\"ttl_ms\",\"request_id\"}"
                                         : "the payload is neither PRESS nor a JSON object {\"request_id\",\"ttl_ms\"}");
    // The request id first, so that every later refusal can echo it.
    if (j.contains("request_id")) {
        const auto &r = j["request_id"];
        if (!r.is_string() || !ch::is_identifier(r.get<std::string>(), ch::kRequestIdMax))
            return refuse("bad_request", fmt::format("request_id: 1 to {} letters, digits, '-', '.', ':' or '_'", ch::kRequestIdMax));
        c.request_id = r.get<std::string>();
    }
    for (auto &[k, v] : j.items()) {
        const bool known = k == "request_id" || k == "ttl_ms" || k == "sent_at_ms" || (c.kind == MqttCommand::Open && k == "pulse_ms");
        if (!known) return refuse("bad_request", fmt::format("unknown field \"{}\"", k), c.request_id);
        if (k != "request_id" && !v.is_number_integer())
            return refuse("bad_request", fmt::format("\"{}\" must be a whole number of milliseconds", k), c.request_id);
    }
    if (j.contains("pulse_ms")) {
        const auto p = j["pulse_ms"].get<std::int64_t>();
        if (p < ch::kPulseMinMs || p > ch::kPulseMaxMs)
            return refuse("bad_request", fmt::format("pulse_ms {} is out of range: {} to {}", p, ch::kPulseMinMs, ch::kPulseMaxMs), c.request_id);
        c.pulse_ms = static_cast<std::uint32_t>(p);
    }
    if (j.contains("ttl_ms")) {
        const auto t = j["ttl_ms"].get<std::int64_t>();
        if (t < ch::kTtlMinMs || t > ch::kTtlMaxMs)
            return refuse("bad_request", fmt::format("ttl_ms {} is out of range: {} to {}", t, ch::kTtlMinMs, ch::kTtlMaxMs), c.request_id);
        c.ttl_ms = static_cast<std::uint32_t>(t);
    }
    if (j.contains("sent_at_ms")) c.sent_at_ms = j["sent_at_ms"].get<std::int64_t>();
    return c;
}

std::optional<MqttRefusal> check_sent_at(std::optional<std::int64_t> sent_at_ms, std::int64_t now_ms,
                                         std::uint32_t ttl_ms, std::string request_id) {
    if (!sent_at_ms) return std::nullopt;
    // now - sent, or the sign of it where the difference does not fit.
    std::int64_t age = 0;
    const bool beyond = __builtin_sub_overflow(now_ms, *sent_at_ms, &age);
    if (beyond ? *sent_at_ms > now_ms : age < -kSentAtSkewMs)
        return refuse("bad_request",
                      beyond ? fmt::format("sent_at_ms {} is far ahead of cabinetd's clock", *sent_at_ms)
                             : fmt::format("sent_at_ms is {} ms ahead of cabinetd's clock; at most {} ms of clock skew is taken",
                                           -age, kSentAtSkewMs),
                      std::move(request_id));
    if (beyond || age > static_cast<std::int64_t>(ttl_ms))
        return refuse("expired",
                      beyond ? fmt::format("sent_at_ms {} is long past", *sent_at_ms)
                             : fmt::format("the command was sent {} ms ago; its ttl_ms is {}", age, ttl_ms),
                      std::move(request_id));
    return std::nullopt;
}

std::string discovery_topic(const MqttConfig &m, const std::string &board_id) {
    return fmt::format("{}/device/tessaro_{}/config", m.discovery_prefix, lower(board_id));
}

json discovery_config(const std::string &cabinet, const std::string &board_id,
                      const std::string &prefix, const CabinetStatus &status) {
    const auto id = "tessaro_" + lower(board_id);
    json dev{{"identifiers", json::array({id})},
             {"name", fmt::format("Cabinet {}", cabinet)},
             {"manufacturer", "Tessaro"},
             {"model", "Eight-door cabinet controller"},
             {"serial_number", board_id}};
    if (status.state && !status.state->fw.empty()) dev["sw_version"] = status.state->fw;
    if (status.state && !status.state->hw.empty()) dev["hw_version"] = status.state->hw;
    json cmps = json::object();
    for (unsigned d = 1; d <= ch::kDoors; ++d) {
        const auto door_topic = fmt::format("{}door/{}/state", prefix, d);
        cmps[fmt::format("door{}_latch", d)] = {
            {"platform", "lock"},
            {"name", fmt::format("Door {} latch", d)},
            {"unique_id", fmt::format("{}_door{}_latch", id, d)},
            {"default_entity_id", fmt::format("lock.{}_door_{}_latch", id, d)},
            {"state_topic", door_topic},
            {"value_template", "{{ value_json.latch }}"},
            {"state_locked", "locked"},
            {"state_unlocked", "unlocked"},
            {"command_topic", fmt::format("{}door/{}/open/set", prefix, d)},
            {"payload_lock", "LOCK"},
            {"payload_unlock", "UNLOCK"},
            {"payload_open", "OPEN"},
            {"optimistic", false},
            {"qos", 1},
            {"retain", false}};
        cmps[fmt::format("door{}", d)] = {
            {"platform", "binary_sensor"},
            {"name", fmt::format("Door {}", d)},
            {"unique_id", fmt::format("{}_door{}", id, d)},
            {"default_entity_id", fmt::format("binary_sensor.{}_door_{}", id, d)},
            {"device_class", "door"},
            {"state_topic", door_topic},
            {"value_template", "{{ value_json.door }}"},
            {"payload_on", "open"},
            {"payload_off", "closed"},
            {"qos", 1}};
    }
    cmps["state"] = {{"platform", "sensor"},
                     {"name", "Controller state"},
                     {"unique_id", id + "_state"},
                     {"default_entity_id", fmt::format("sensor.{}_state", id)},
                     {"device_class", "enum"},
                     {"options", json::array({"idle", "pulsing", "wait_open", "wait_close", "fault"})},
                     {"state_topic", prefix + "state"},
                     {"value_template", "{{ value_json.state }}"},
                     {"qos", 1}};
    cmps["fault"] = {{"platform", "sensor"},
                     {"name", "Fault"},
                     {"unique_id", id + "_fault"},
                     {"default_entity_id", fmt::format("sensor.{}_fault", id)},
                     {"state_topic", prefix + "state"},
                     {"value_template", "{{ value_json.fault }}"},
                     {"json_attributes_topic", prefix + "state"},
                     {"json_attributes_template", "{{ {'explanation': value_json.fault_text} | tojson }}"},
                     {"entity_category", "diagnostic"},
                     {"qos", 1}};
    cmps["clear_fault"] = {{"platform", "button"},
                           {"name", "Clear fault"},
                           {"unique_id", id + "_clear_fault"},
                           {"default_entity_id", fmt::format("button.{}_clear_fault", id)},
                           {"command_topic", prefix + "clear_fault/set"},
                           {"payload_press", "PRESS"},
                           {"qos", 1},
                           {"retain", false}};
    return json{{"device", dev},
                {"origin", {{"name", "cabinetd"}}},
                {"availability_topic", prefix + "availability"},
                {"payload_available", "online"},
                {"payload_not_available", "offline"},
                {"components", cmps}};
}

// --- the bridge ---------------------------------------------------------------

// What the broker clients' threads and the cabinets hand to the bridge's
// thread. Shared, so that a late answer from a cabinet finds it even after
// the bridge has gone.
struct MqttBridge::Inbox {
    std::mutex mu;
    std::condition_variable cv;
    std::deque<std::function<void(MqttBridge &)>> items;
    bool journal_moved = false;
    bool stop = false;

    void push(std::function<void(MqttBridge &)> f) {
        {
            std::lock_guard lk(mu);
            items.push_back(std::move(f));
        }
        cv.notify_all();
    }
};

struct MqttBridge::Unit {
    std::size_t index = 0;
    Cabinet *cab = nullptr;
    std::string name, board, prefix;

    std::unique_ptr<BrokerClient> client;
    int generation = 0;
    bool connected = false;
    std::uint64_t retry_at = 0;
    std::chrono::milliseconds backoff{0};
    std::string last_reason;

    // Availability as published, and since when the cabinet has looked bad.
    bool online = false;
    std::optional<std::uint64_t> bad_since;
    std::map<std::string, std::string> retained; // what was last published, by subtopic
    std::optional<std::uint64_t> ha_republish_at;

    // Events: the journal has been read up to `scan`; those awaiting PUBACK by cursor.
    std::int64_t scan = 0;
    std::map<std::int64_t, int> inflight;
    std::map<int, std::int64_t> by_mid;
    std::int64_t recorded = -1;
    std::uint64_t recorded_at = 0;

    std::deque<json> unsent_results; // answers that came while disconnected
    std::map<std::string, json> clears; // clear_fault answers by request id
    std::deque<std::string> clear_order;
    std::optional<int> goodbye_mid; // "offline" published on the way out
    bool goodbye_acked = false;

    std::string reader() const { return "mqtt/" + name; }
    std::int64_t acked() const { return inflight.empty() ? scan : inflight.begin()->first - 1; }
};

MqttBridge::MqttBridge(const MqttConfig &cfg, Journal &journal, std::vector<Cabinet *> cabinets,
                       BrokerFactory factory, MqttTiming timing)
    : cfg_(cfg), journal_(journal), factory_(std::move(factory)), timing_(timing),
      inbox_(std::make_shared<Inbox>()) {
    validate_mqtt(cfg_, cabinets.size());
    url_ = parse_broker_url(cfg_.url);
    const auto start = journal_.last_cursor();
    for (auto *c : cabinets) {
        auto u = std::make_unique<Unit>();
        u->index = units_.size();
        u->cab = c;
        u->name = c->name();
        u->backoff = timing_.backoff_min;
        if (auto s = journal_.last_session(u->name))
            if (auto b = board_id_of(*s)) u->board = *b;
        u->prefix = topic_prefix(cfg_, u->name, u->board);
        // A cabinet new to the broker starts with the events from now on; one
        // that was on it before resumes after the last event it acknowledged.
        if (auto p = journal_.progress(u->reader())) {
            u->scan = *p;
        } else {
            // Recorded at once: a cabinetd that never reaches the broker
            // before it is restarted still resumes from here.
            u->scan = start;
            journal_.set_progress(u->reader(), start);
        }
        u->recorded = u->scan;
        units_.push_back(std::move(u));
    }
}

MqttBridge::~MqttBridge() { stop(); }

void MqttBridge::start() {
    std::weak_ptr<Inbox> weak = inbox_;
    listener_ = journal_.subscribe([weak](std::int64_t) {
        if (auto in = weak.lock()) {
            {
                std::lock_guard lk(in->mu);
                in->journal_moved = true;
            }
            in->cv.notify_all();
        }
    });
    thread_ = std::thread([this] { run(); });
}

void MqttBridge::stop() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lk(inbox_->mu);
        inbox_->stop = true;
    }
    inbox_->cv.notify_all();
    thread_.join();
    journal_.unsubscribe(listener_);
}

void MqttBridge::run() {
    for (;;) {
        progress_.mark();
        std::deque<std::function<void(MqttBridge &)>> items;
        {
            std::unique_lock lk(inbox_->mu);
            inbox_->cv.wait_for(lk, std::chrono::milliseconds(50),
                                [&] { return inbox_->stop || !inbox_->items.empty() || inbox_->journal_moved; });
            if (inbox_->stop) break;
            items.swap(inbox_->items);
            inbox_->journal_moved = false;
        }
        for (auto &f : items) f(*this);
        const auto now = steady_ms();
        for (auto &u : units_) tick(*u, now);
    }
    shutdown();
}

void MqttBridge::shutdown() {
    // Clean disconnects suppress the wills, so each cabinet is marked offline
    // here, and the mark is given a moment to be acknowledged.
    std::vector<std::pair<Unit *, int>> waiting;
    for (auto &u : units_)
        if (u->connected && (u->goodbye_mid = u->client->publish(u->prefix + "availability", "offline", 1, true)))
            waiting.emplace_back(u.get(), *u->goodbye_mid);
    const auto until = steady_ms() + 1000;
    while (!waiting.empty() && steady_ms() < until) {
        std::deque<std::function<void(MqttBridge &)>> items;
        {
            std::unique_lock lk(inbox_->mu);
            inbox_->cv.wait_for(lk, std::chrono::milliseconds(20), [&] { return !inbox_->items.empty(); });
            items.swap(inbox_->items);
        }
        for (auto &f : items) f(*this); // PUBACKs land in by_mid / inflight
        std::erase_if(waiting, [](auto &w) { return !w.first->connected || w.first->goodbye_acked; });
    }
    for (auto &u : units_) {
        if (u->client) u->client->stop();
        u->client.reset();
        u->connected = false;
        record_progress(*u, steady_ms(), true);
    }
}

void MqttBridge::connect(Unit &u, std::uint64_t now) {
    const int gen = ++u.generation;
    const auto index = u.index;
    // Runs f on the bridge's thread, unless this connection has been
    // replaced by then.
    const auto on_unit = [weak = std::weak_ptr<Inbox>(inbox_), index, gen](auto f) {
        if (auto in = weak.lock())
            in->push([index, gen, f = std::move(f)](MqttBridge &b) mutable {
                auto &x = *b.units_[index];
                if (x.generation == gen) f(b, x);
            });
    };
    BrokerClient::Callbacks cb;
    cb.connected = [on_unit] { on_unit([](MqttBridge &b, Unit &x) { b.on_connected(x); }); };
    cb.disconnected = [on_unit](std::string reason) {
        on_unit([reason = std::move(reason)](MqttBridge &b, Unit &x) { b.on_disconnected(x, reason, steady_ms()); });
    };
    cb.published = [on_unit](int mid) {
        on_unit([mid](MqttBridge &, Unit &x) {
            if (auto it = x.by_mid.find(mid); it != x.by_mid.end()) {
                x.inflight.erase(it->second);
                x.by_mid.erase(it);
            }
            if (x.goodbye_mid == mid) x.goodbye_acked = true;
        });
    };
    cb.message = [on_unit](std::string topic, std::string payload, bool retained) {
        on_unit([topic = std::move(topic), payload = std::move(payload), retained](MqttBridge &b, Unit &x) {
            b.on_message(x, topic, payload, retained);
        });
    };
    BrokerSettings s;
    s.host = url_.host;
    s.port = url_.port;
    s.tls = url_.tls;
    s.ca_file = cfg_.ca_file;
    s.username = cfg_.username;
    s.password = cfg_.password;
    s.client_id = fmt::format("cabinetd-{}", lower(u.board));
    s.keepalive = timing_.keepalive;
    s.will = BrokerSettings::Will{u.prefix + "availability", "offline", 1, true};
    try {
        u.client = factory_();
        u.client->start(s, std::move(cb));
    } catch (const std::exception &e) {
        u.client.reset();
        log(3, fmt::format("{}: mqtt: {}", u.name, e.what()));
        u.retry_at = now + static_cast<std::uint64_t>(timing_.backoff_max.count());
    }
}

void MqttBridge::on_connected(Unit &u) {
    log(6, fmt::format("{}: mqtt: connected to {}:{} as {}", u.name, url_.host, url_.port, u.prefix));
    u.connected = true;
    u.backoff = timing_.backoff_min;
    u.last_reason.clear();
    // A cold start every time: the broker may have forgotten everything
    // retained. Subscriptions first, so no command in reply is missed; then
    // availability, discovery and a fresh snapshot; events follow in pump().
    if (cfg_.commands)
        for (const char *p : {"+/set", "door/+/set", "door/+/+/set", "door/+/+/+/set"}) u.client->subscribe(u.prefix + p, 1);
    if (cfg_.discovery) u.client->subscribe(cfg_.ha_status_topic, 1);
    u.retained.clear();
    u.ha_republish_at.reset();
    publish_retained(u, "availability", u.online ? "online" : "offline", true);
    if (cfg_.discovery) publish_discovery(u);
    publish_status(u, true);
    while (!u.unsent_results.empty()) {
        answer(u, std::move(u.unsent_results.front()));
        u.unsent_results.pop_front();
    }
    pump(u);
}

void MqttBridge::on_disconnected(Unit &u, const std::string &reason, std::uint64_t now) {
    if (u.connected) log(4, fmt::format("{}: mqtt: disconnected: {}", u.name, reason));
    else if (reason != u.last_reason) log(4, fmt::format("{}: mqtt: {}", u.name, reason));
    u.last_reason = reason;
    u.connected = false;
    if (u.client) u.client->stop();
    u.client.reset();
    // What the broker has not acknowledged goes again, from the journal.
    u.scan = u.acked();
    u.inflight.clear();
    u.by_mid.clear();
    u.retry_at = now + static_cast<std::uint64_t>(u.backoff.count());
    u.backoff = std::min(u.backoff * 2, timing_.backoff_max);
}

void MqttBridge::tick(Unit &u, std::uint64_t now) {
    const auto st = u.cab->status();
    if (auto b = board_id_of(st.session_id); b && *b != u.board) {
        // A board met for the first time, or another board on this port.
        if (u.connected) {
            u.client->publish(u.prefix + "availability", "offline", 1, true);
            on_disconnected(u, "the cabinet's board changed", now);
            u.retry_at = now;
        }
        log(6, fmt::format("{}: board {}", u.name, *b));
        u.board = *b;
        u.prefix = topic_prefix(cfg_, u.name, u.board);
    }
    if (u.board.empty()) return; // nothing to name its topics by yet

    // Two layers of availability: the will covers cabinetd; this covers the
    // cabinet. A lost connection counts at once; silence or a stale heartbeat
    // only once it has lasted, so a single late state line does not flap it.
    const bool good = st.link == Link::Up && st.state && st.state->heartbeat_ok;
    if (good) {
        u.bad_since.reset();
        u.online = true;
    } else {
        if (!u.bad_since) u.bad_since = now;
        if (st.link == Link::Down || now - *u.bad_since >= static_cast<std::uint64_t>(timing_.offline_after.count()))
            u.online = false;
    }

    if (!u.client) {
        if (now >= u.retry_at) connect(u, now);
        return;
    }
    if (!u.connected) return;
    publish_retained(u, "availability", u.online ? "online" : "offline", false);
    if (u.ha_republish_at && now >= *u.ha_republish_at) {
        u.ha_republish_at.reset();
        publish_retained(u, "availability", u.online ? "online" : "offline", true);
        if (cfg_.discovery) publish_discovery(u);
        publish_status(u, true);
    } else {
        publish_status(u, false);
    }
    pump(u);
    record_progress(u, now, false);
}

void MqttBridge::publish_retained(Unit &u, const std::string &sub, const std::string &payload, bool force) {
    auto &last = u.retained[sub];
    if (!force && last == payload) return;
    if (u.client->publish(u.prefix + sub, payload, 1, true)) last = payload;
}

void MqttBridge::publish_status(Unit &u, bool force) {
    const auto st = u.cab->status();
    const bool up = st.link == Link::Up && st.state;
    json s{{"cabinet", u.name},
           {"board_id", u.board},
           {"link", to_string(st.link)},
           {"session_id", st.session_id.empty() ? json() : json(st.session_id)},
           {"state", json()},
           {"fault", json()},
           {"fault_text", json()},
           {"active_door", json()},
           {"inputs_valid", json()},
           {"power_ok", json()},
           {"heartbeat_ok", json()},
           {"driver_ready", json()},
           {"fw", json()},
           {"hw", json()}};
    if (up) s.update(state_json(*st.state, {.text = true}));
    publish_retained(u, "state", s.dump(), force);
    // Doors only while the controller is talking: the availability says the
    // rest, and a door is never reported as it was when the link went.
    if (up)
        for (unsigned d = 1; d <= ch::kDoors; ++d)
            publish_retained(u, fmt::format("door/{}/state", d),
                             json{{"door", st.state->door_closed(d) ? "closed" : "open"},
                                  {"latch", st.state->latch_locked(d) ? "locked" : "unlocked"}}
                                 .dump(),
                             force);
}

void MqttBridge::publish_discovery(Unit &u) {
    u.client->publish(discovery_topic(cfg_, u.board),
                      discovery_config(u.name, u.board, u.prefix, u.cab->status()).dump(), 1, true);
}

void MqttBridge::pump(Unit &u) {
    while (u.connected && u.inflight.size() < timing_.window) {
        auto recs = journal_.since(u.scan, 256);
        if (recs.empty()) return;
        for (auto &r : recs) {
            if (u.inflight.size() >= timing_.window) return;
            if (r.cabinet == u.name && r.kind == "event") {
                json e{{"cabinet", u.name},
                       {"board_id", u.board},
                       {"session_id", r.session_id},
                       {"seq", r.event_seq ? json(*r.event_seq) : json()},
                       {"code", r.code},
                       {"door", r.door_id},
                       {"request_id", r.request_id},
                       {"uptime_ms", json()},
                       {"received_at_ms", r.at_ms},
                       {"cursor", r.cursor}};
                if (auto d = json::parse(r.detail, nullptr, false); d.is_object() && d.contains("uptime_ms"))
                    e["uptime_ms"] = d["uptime_ms"];
                if (ch::explain(r.code)) e["text"] = std::string(ch::explain_text(r.code));
                auto mid = u.client->publish(u.prefix + "event", e.dump(), 1, false);
                if (!mid) return; // the connection is going; its end resets the scan
                u.inflight[r.cursor] = *mid;
                u.by_mid[*mid] = r.cursor;
            }
            u.scan = r.cursor;
        }
    }
}

void MqttBridge::record_progress(Unit &u, std::uint64_t now, bool now_or_never) {
    const auto acked = u.acked();
    if (acked == u.recorded) return;
    if (!now_or_never && now - u.recorded_at < static_cast<std::uint64_t>(timing_.progress_every.count())) return;
    journal_.set_progress(u.reader(), acked);
    u.recorded = acked;
    u.recorded_at = now;
}

void MqttBridge::on_message(Unit &u, const std::string &topic, const std::string &payload, bool retained) {
    if (cfg_.discovery && topic == cfg_.ha_status_topic) {
        // Home Assistant came back and has forgotten its entities' states: a
        // fresh round of everything, after a short random delay so a fleet of
        // bridges does not answer all at once.
        if (payload == "online") {
            static thread_local std::mt19937 rng{std::random_device{}()};
            std::uniform_int_distribution<std::uint64_t> delay(0, static_cast<std::uint64_t>(timing_.ha_delay_max.count()));
            u.ha_republish_at = steady_ms() + delay(rng);
        }
        return;
    }
    if (topic.rfind(u.prefix, 0) != 0) return;
    command(u, topic.substr(u.prefix.size()), payload, retained);
}

void MqttBridge::command(Unit &u, const std::string &sub, const std::string &payload, bool retained) {
    const auto received_ms = wall_ms();
    auto parsed = parse_mqtt_command(sub, payload);
    json base{{"topic", u.prefix + sub}};
    const auto refuse_with = [&](const std::string &code, std::string text) {
        base["result"] = "error";
        base["code"] = code;
        base["text"] = std::move(text);
        answer(u, std::move(base));
    };
    // A retained command would be carried out again by every reconnect, so
    // none is, whatever it says.
    const char *const kRetained = "a retained command is never carried out: publish commands without the retain flag";
    if (auto *r = std::get_if<MqttRefusal>(&parsed)) {
        base["request_id"] = r->request_id.empty() ? json() : json(r->request_id);
        return retained ? refuse_with("retained", kRetained) : refuse_with(r->code, r->text);
    }
    auto &c = std::get<MqttCommand>(parsed);
    base["request_id"] = c.request_id.empty() ? json() : json(c.request_id);
    base["command"] = c.kind == MqttCommand::Open ? "open" : "clear_fault";
    if (c.kind == MqttCommand::Open) base["door"] = c.door;
    if (retained) return refuse_with("retained", kRetained);
    if (auto stale = check_sent_at(c.sent_at_ms, received_ms, c.ttl_ms)) return refuse_with(stale->code, stale->text);
    if (!u.online) return refuse_with("offline", "the cabinet is offline: its link is down or its controller silent");

    std::weak_ptr<Inbox> weak = inbox_;
    const auto index = u.index;
    auto reply = [weak, index, base](CommandResult r) mutable {
        const bool ok = ch::is_success_ack(r.code);
        base["result"] = ok ? "ok" : (r.code == "timeout" ? "timeout" : "error");
        base["code"] = r.code;
        base["text"] = r.text;
        // request_id stays the one the sender gave, which it matches results
        // by; the open's events carry the controller's.
        if (base.value("command", "") == "open") base["controller_request_id"] = r.request_id.empty() ? json() : json(r.request_id);
        base["session_id"] = r.session_id.empty() ? json() : json(r.session_id);
        base["replayed"] = r.replayed;
        if (auto in = weak.lock())
            in->push([index, base = std::move(base)](MqttBridge &b) mutable {
                auto &x = *b.units_[index];
                if (base.value("command", "") == "clear_fault" && base["request_id"].is_string()) {
                    const auto id = base["request_id"].get<std::string>();
                    if (!x.clears.count(id)) {
                        x.clear_order.push_back(id);
                        if (x.clear_order.size() > 1000) {
                            x.clears.erase(x.clear_order.front());
                            x.clear_order.pop_front();
                        }
                    }
                    x.clears[id] = base;
                }
                b.answer(x, std::move(base));
            });
    };
    if (c.kind == MqttCommand::Open) {
        OpenArgs a;
        a.door = c.door;
        a.pulse_ms = c.pulse_ms;
        a.ttl_ms = c.ttl_ms;
        a.key = c.request_id;
        a.key_scope = "mqtt"; // every sender on the broker: cabinetd cannot tell them apart
        a.requested_by = "mqtt";
        u.cab->open(std::move(a), std::move(reply));
        return;
    }
    // A fault clear is idempotent by its request id as well: the answer the
    // first one got is given again.
    if (!c.request_id.empty())
        if (auto it = u.clears.find(c.request_id); it != u.clears.end()) {
            auto again = it->second;
            again["replayed"] = true;
            return answer(u, std::move(again));
        }
    u.cab->clear_fault("mqtt", std::move(reply));
}

void MqttBridge::answer(Unit &u, json result) {
    if (!u.connected) {
        if (u.unsent_results.size() < 100) u.unsent_results.push_back(std::move(result));
        return;
    }
    u.client->publish(u.prefix + "result", result.dump(), 1, false);
}

} // namespace cabinetd
