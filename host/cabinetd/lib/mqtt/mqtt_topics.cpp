#include "mqtt_topics.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/host_port.h>
#include <cabinet_host/protocol.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <limits>

namespace cabinetd {

using nlohmann::json;
namespace ch = cabinet_host;

namespace {

std::string replace_all(std::string s, std::string_view what, std::string_view with) {
    for (auto pos = s.find(what); pos != std::string::npos; pos = s.find(what, pos + with.size()))
        s.replace(pos, what.size(), with);
    return s;
}

bool valid_topic(std::string_view t) {
    return !t.empty() && t.find_first_of("+#") == std::string_view::npos &&
        t.find('\0') == std::string_view::npos;
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
        throw ConfigError(
            fmt::format("broker \"{}\": expected mqtt://HOST:PORT or mqtts://HOST:PORT", url));
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find('@') != std::string::npos)
        throw ConfigError(
            fmt::format("broker \"{}\": no host (user and password go in the config file)", url));
    const auto hp = cabinet_host::parse_host_port(rest, {.port_optional = true});
    if (!hp) throw ConfigError(fmt::format("broker \"{}\": {}", url, hp.refusal().text));
    b.host = hp->host;
    if (hp->port) b.port = *hp->port;
    return b;
}

void validate_mqtt(const MqttConfig &m, std::size_t cabinets) {
    const auto url = parse_broker_url(m.url);
    if (url.tls && m.ca_file.empty())
        throw ConfigError("mqtts:// needs a CA file (--mqtt-ca-file or mqtt.ca_file)");
    if (!valid_topic(m.prefix) || m.prefix.back() != '/' || m.prefix.front() == '/')
        throw ConfigError(
            fmt::format("mqtt prefix \"{}\": a topic ending in '/', without '+' or '#'", m.prefix));
    if (cabinets > 1 && m.prefix.find("{board_id}") == std::string::npos &&
        m.prefix.find("{cabinet}") == std::string::npos)
        throw ConfigError(
            "mqtt prefix: with more than one cabinet it must contain {board_id} or {cabinet}");
    if (!valid_topic(m.discovery_prefix))
        throw ConfigError("mqtt discovery prefix: a topic without '+' or '#'");
    if (!valid_topic(m.ha_status_topic))
        throw ConfigError("mqtt Home Assistant status topic: a topic without '+' or '#'");
}

std::optional<std::string> board_id_of(std::string_view session_id) {
    const auto id = ch::parse_session_id(session_id);
    if (!id) return std::nullopt;
    return id->board_id;
}

std::string topic_prefix(const MqttConfig &m, const std::string &cabinet,
                         const std::string &board) {
    return replace_all(replace_all(m.prefix, "{board_id}", board), "{cabinet}", cabinet);
}

std::string client_id(const std::string &board, const std::string &cabinet) {
    std::string id = "cabinetd-" + board;
    for (auto &c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return id + "-" + cabinet;
}

bool topics_shared_by_board(const MqttConfig &m) {
    return m.prefix.find("{cabinet}") == std::string::npos;
}

Result<> check_identity(const MqttConfig &m, const std::string &cabinet,
                        const std::string &topic_board, const std::string &board,
                        const std::vector<std::string> &shared) {
    if (!shared.empty() && topics_shared_by_board(m)) {
        std::vector<std::string> all = shared;
        all.push_back(cabinet);
        std::sort(all.begin(), all.end());
        std::string names = all.front();
        for (std::size_t i = 1; i < all.size(); ++i)
            names += (i + 1 == all.size() ? " and " : ", ") + all[i];
        return Refusal{
            "board_id_shared",
            fmt::format("cabinets {} report one board id, {}: a command on its topics "
                        "could mean any of them, so none is carried out until each reports "
                        "a board id of its own",
                        names, board)};
    }
    if (m.prefix.find("{board_id}") != std::string::npos && board != topic_board)
        return Refusal{"offline",
                       fmt::format("board {} is no longer on this cabinet's line (it reports {})",
                                   topic_board, board.empty() ? "no board id" : board)};
    return {};
}

namespace {

// The command a topic names: a door's open (its number in the one canonical
// form, since a broker's access rules name topics, and "door/03/open/set"
// must not get past a rule that denies "door/3/open/set") or the fault clear.
Result<MqttCommand> command_of_topic(std::string_view sub) {
    MqttCommand c;
    if (sub == "clear_fault/set") {
        c.kind = MqttCommand::ClearFault;
        return c;
    }
    if (sub == "alarm/ack/set") {
        c.kind = MqttCommand::AckAlarms;
        return c;
    }
    if (sub.rfind("door/", 0) != 0 || sub.size() <= 14 || sub.substr(sub.size() - 9) != "/open/set")
        return Refusal{"unknown_topic",
                       fmt::format("no command \"{}\": use door/N/open/set, clear_fault/set or "
                                   "alarm/ack/set",
                                   sub)};
    const auto n = sub.substr(5, sub.size() - 14);
    const auto door = door_number(n);
    if (!door)
        return Refusal{
            "unknown_topic",
            fmt::format("no door \"{}\": the doors' topics are door/1/open/set to door/{}/open/set",
                        n, ch::kDoors)};
    c.door = *door;
    return c;
}

// The refusal of a command's body in MQTT's words: no door is a topic
// unknown, anything else a bad request.
Refusal mqtt_refusal(const Refusal &r) {
    return Refusal{r.code == "not_found" ? "unknown_topic" : "bad_request", r.text};
}

// The command of a topic the cabinet takes, read from its payload.
Result<MqttCommand> command_of_payload(const MqttCommand &c, std::string_view payload) {
    if (c.kind == MqttCommand::ClearFault) {
        // The plain payloads a Home Assistant button sends.
        const bool plain = payload.empty() || payload == "PRESS";
        return parse_clear(plain ? std::nullopt : std::optional(payload), Front::Mqtt);
    }
    if (c.kind == MqttCommand::AckAlarms) {
        const bool plain = payload.empty() || payload == "PRESS";
        return parse_alarm_ack(plain ? std::nullopt : std::optional(payload), Front::Mqtt);
    }
    const bool plain = payload == "OPEN" || payload == "UNLOCK";
    const auto door = fmt::format("{}", c.door);
    OpenInput in;
    in.door = door;
    if (!plain) in.body = payload;
    return parse_open(in, Front::Mqtt);
}

} // namespace

MqttParsed parse_mqtt_command(std::string_view sub, std::string_view payload,
                              std::size_t max_payload) {
    if (payload.size() > max_payload)
        return {Refusal{"payload_too_large",
                        fmt::format("the payload has {} bytes; at most {} are taken",
                                    payload.size(), max_payload)},
                {}};
    auto topic = command_of_topic(sub);
    if (!topic) return {topic.refusal(), {}};
    // ... and a door's plain payloads have a lock.
    if (topic->kind == MqttCommand::Open && payload == "LOCK")
        return {Refusal{"not_supported",
                        "the latch locks by itself when the door is closed; LOCK is not a command"},
                {}};
    auto parsed = command_of_payload(*topic, payload);
    if (!parsed) return {mqtt_refusal(parsed.refusal()), request_id_of(payload)};
    auto request_id = parsed->request_id;
    return {std::move(parsed), std::move(request_id)};
}

Result<> check_sent_at(std::optional<std::int64_t> sent_at_ms, std::int64_t now_ms,
                       std::uint32_t ttl_ms) {
    if (!sent_at_ms) return {};
    // now - sent, or the sign of it where the difference does not fit.
    std::int64_t age = 0;
    const bool beyond = __builtin_sub_overflow(now_ms, *sent_at_ms, &age);
    if (beyond ? *sent_at_ms > now_ms : age < -kSentAtSkewMs)
        return Refusal{
            "bad_request",
            beyond ? fmt::format("sent_at_ms {} is far ahead of cabinetd's clock", *sent_at_ms)
                   : fmt::format("sent_at_ms is {} ms ahead of cabinetd's clock; at most {} ms "
                                 "of clock skew is taken",
                                 0 - static_cast<std::uint64_t>(age), kSentAtSkewMs)};
    if (beyond || age > static_cast<std::int64_t>(ttl_ms))
        return Refusal{
            std::string(ch::codes::kExpired),
            beyond ? fmt::format("sent_at_ms {} is long past", *sent_at_ms)
                   : fmt::format("the command was sent {} ms ago; its ttl_ms is {}", age, ttl_ms)};
    return {};
}

// --- the state topics ---------------------------------------------------------

namespace {

TopicView::State state_of(const ch::StateLine &s) {
    return {controller_view(s), s.inputs_valid, s.power_ok, s.heartbeat_ok, s.driver_ready};
}

// A state record's fields (cabinetd's own JSON; a field it lacks reads as
// its zero, never as an exception on the bridge's thread).
std::optional<TopicView::State> state_of(const std::string &detail) {
    const auto j = json::parse(detail, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    const auto get = [&](const char *k, auto def) {
        using T = decltype(def);
        const auto it = j.find(k);
        if (it == j.end()) return def;
        if constexpr (std::is_same_v<T, bool>) return it->is_boolean() ? it->get<T>() : def;
        else if constexpr (std::is_same_v<T, std::string>)
            return it->is_string() ? it->get<T>() : def;
        else
            return it->is_number_unsigned() && it->get<std::uint64_t>() <= 0xffffffffu
                ? it->get<T>()
                : def;
    };
    return TopicView::State{{get("state", std::string()), get("fault", std::string()),
                             get("active_door", 0u), get("door_closed_mask", 0u),
                             get("latch_locked_mask", 0u)},
                            get("inputs_valid", false),
                            get("power_ok", false),
                            get("heartbeat_ok", false),
                            get("driver_ready", false)};
}

// The controller's session id of a run's key in the journal: a reused id
// carries "~<ms>", a controller without an identity has none.
std::string controller_session(const std::string &key) {
    if (key.rfind("unidentified-", 0) == 0) return {};
    return key.substr(0, key.find('~'));
}

} // namespace

TopicView view_of(const CabinetStatus &st) {
    TopicView v;
    v.link = st.link;
    v.session_id = st.session_id;
    v.two_person_doors = st.two_person_doors;
    if (st.state) {
        if (st.link == Link::Up) v.state = state_of(*st.state);
        v.fw = st.state->fw;
        v.hw = st.state->hw;
    }
    return v;
}

bool follow(TopicView &v, const Record &r) {
    if (r.kind == RecordKind::Link) {
        if (r.code == "up") v.link = Link::Up;
        else v.link = r.code == "silent" ? Link::Silent : Link::Down;
        // The state line that brings a silent link back is recorded before the link.
        if (v.link != Link::Up) v.state.reset();
        return true;
    }
    if (r.kind == RecordKind::Session) {
        v.session_id = controller_session(r.session_id);
        v.state.reset();
        return true;
    }
    if (r.kind == RecordKind::State) {
        v.state = state_of(r.detail);
        return true;
    }
    // Between state records, events move the doors and the controller's state.
    if (r.kind == RecordKind::Event) return v.state && apply_event(*v.state, r.code, r.door_id);
    return false;
}

bool looks_online(const TopicView &v) {
    return v.link == Link::Up && v.state && v.state->heartbeat_ok;
}

bool settling(const TopicView &v) { return v.link == Link::Up && !v.state; }

std::string state_words(const TopicView &v) {
    if (v.link == Link::Down) return "no link to the controller";
    if (v.link == Link::Silent) return "the controller is silent";
    if (!v.state) return "waiting for the controller's state";
    if (v.state->fault != ch::kNoFault) return std::string(ch::explain_text(v.state->fault));
    return state_text(*v.state);
}

json state_payload(const std::string &cabinet, const std::string &board, const TopicView &v) {
    json s{{"cabinet", cabinet},
           {"board_id", board},
           {"link", to_string(v.link)},
           {"text", state_words(v)},
           {"session_id", v.session_id.empty() ? json() : json(v.session_id)},
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
    if (v.link != Link::Up || !v.state) return s;
    const auto &c = *v.state;
    s["state"] = c.state;
    s["fault"] = c.fault;
    if (c.fault != ch::kNoFault) s["fault_text"] = std::string(ch::explain_text(c.fault));
    s["active_door"] = c.active_door;
    s["inputs_valid"] = c.inputs_valid;
    s["power_ok"] = c.power_ok;
    s["heartbeat_ok"] = c.heartbeat_ok;
    s["driver_ready"] = c.driver_ready;
    s["fw"] = v.fw;
    s["hw"] = v.hw;
    return s;
}

std::optional<json> door_payload(const TopicView &v, unsigned door) {
    if (v.link != Link::Up || !v.state) return std::nullopt;
    const auto bit = 1u << (door - 1);
    return json{{"door", v.state->door_closed_mask & bit ? "closed" : "open"},
                {"latch", v.state->latch_locked_mask & bit ? "locked" : "unlocked"}};
}

// --- events and results ------------------------------------------------------

json event_payload(const std::string &cabinet, const std::string &board, const Record &r) {
    json e{{"cabinet", cabinet},
           {"board_id", board},
           {"session_id", r.session_id},
           {"seq", r.event_seq ? json(*r.event_seq) : json()},
           {"code", r.code},
           {"door", r.door_id},
           {"request_id", r.request_id},
           {"uptime_ms", r.uptime_ms ? json(*r.uptime_ms) : json()},
           {"received_at_ms", r.at_ms},
           {"cursor", r.cursor}};
    if (ch::explain(r.code)) e["text"] = std::string(ch::explain_text(r.code));
    return e;
}

json refusal_payload(json base, const Refusal &r) {
    base["result"] = "error";
    base["code"] = r.code;
    base["text"] = r.text;
    return base;
}

json result_payload(json base, const CommandResult &r) {
    base["result"] = r.outcome == ch::Outcome::Done ? "ok"
        : r.outcome == ch::Outcome::Timeout         ? "timeout"
                                                    : "error";
    base["code"] = r.code;
    base["text"] = r.text;
    // request_id stays the one the sender gave, which it matches results by;
    // the open's events carry the controller's.
    if (base.value("command", "") == "open")
        base["controller_request_id"] = r.request_id.empty() ? json() : json(r.request_id);
    base["session_id"] = r.session_id.empty() ? json() : json(r.session_id);
    base["replayed"] = r.replayed;
    return base;
}

nlohmann::json discovery_button(const std::string &id, const std::string &key,
                                const std::string &name, const std::string &command_topic) {
    return {{"platform", "button"},
            {"name", name},
            {"unique_id", id + "_" + key},
            {"default_entity_id", fmt::format("button.{}_{}", id, key)},
            {"command_topic", command_topic},
            {"payload_press", "PRESS"},
            {"qos", 1},
            {"retain", false}};
}

} // namespace cabinetd
