#include "config.h"

#include "guarded_file.h"
#include "log.h"
#include "strict_json.h"

#include <cabinet_host/host_port.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <utility>

namespace cabinetd {
namespace {

constexpr std::size_t kMaxLimit = 1000000;
constexpr std::pair<const char *, std::size_t ConnectionLimits::*> kLimitFields[] = {
    {"max_connections", &ConnectionLimits::max_connections},
    {"max_unauthenticated", &ConnectionLimits::max_unauthenticated},
    {"max_viewer_connections", &ConnectionLimits::max_viewer_connections},
    {"max_token_connections", &ConnectionLimits::max_token_connections},
    {"max_token_streams", &ConnectionLimits::max_token_streams}};

bool valid_name(const std::string &n) {
    return !n.empty() && n.size() <= 32 && std::all_of(n.begin(), n.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_';
    });
}

void check_endpoint(const std::string &name, const std::string &ep) {
    if (ep == "sim" || (!ep.empty() && ep[0] == '/')) return;
    if (ep.rfind("tcp:", 0) == 0 && cabinet_host::parse_host_port(std::string_view(ep).substr(4)))
        return;
    throw ConfigError(fmt::format(
        "cabinet {}: \"{}\" is not a serial device path, tcp:HOST:PORT or sim", name, ep));
}

// "NAME" or "NAME:PORT": a DNS name, its port canonical and 1 to 65535.
void check_allowed_host(const std::string &h) {
    const auto hp = cabinet_host::parse_host_port(h, {.port_optional = true});
    const std::string name = hp ? hp->host : std::string();
    const bool name_ok = !name.empty() && name.size() <= 253 && name.front() != '.' &&
        name.front() != '-' && std::all_of(name.begin(), name.end(), [](unsigned char c) {
            return std::isalnum(c) || c == '-' || c == '.';
        });
    if (!name_ok)
        throw ConfigError(
            fmt::format("allowed host \"{}\": expected a host name, or NAME:PORT", h));
}

// The broker settings of the config file; the command line wins here too.
void load_mqtt(const std::string &path, const nlohmann::json &j, MqttConfig &m) {
    if (!j.is_object()) throw ConfigError(fmt::format("{}: \"mqtt\" must be an object", path));
    const MqttConfig def;
    const std::pair<const char *, std::string MqttConfig::*> strings[] = {
        {"url", &MqttConfig::url},
        {"ca_file", &MqttConfig::ca_file},
        {"username", &MqttConfig::username},
        {"password", &MqttConfig::password},
        {"prefix", &MqttConfig::prefix},
        {"discovery_prefix", &MqttConfig::discovery_prefix},
        {"ha_status_topic", &MqttConfig::ha_status_topic}};
    const std::pair<const char *, bool MqttConfig::*> flags[] = {
        {"commands", &MqttConfig::commands}, {"discovery", &MqttConfig::discovery}};
    for (auto &[key, v] : j.items()) {
        bool known = false;
        for (auto &[name, field] : strings)
            if (key == name) {
                if (!v.is_string())
                    throw ConfigError(fmt::format("{}: mqtt \"{}\" must be a string", path, key));
                if (m.*field == def.*field) m.*field = v.get<std::string>();
                known = true;
            }
        for (auto &[name, field] : flags)
            if (key == name) {
                if (!v.is_boolean())
                    throw ConfigError(
                        fmt::format("{}: mqtt \"{}\" must be true or false", path, key));
                if (!(m.*field)) m.*field = v.get<bool>();
                known = true;
            }
        if (!known) throw ConfigError(fmt::format("{}: unknown mqtt setting \"{}\"", path, key));
    }
}

} // namespace

namespace {

// A list of doors, each 1 to 8 and named once, as a mask (bit d-1 for door d).
std::uint8_t door_list(const std::string &what, const std::string &key, const nlohmann::json &x) {
    const auto bad = [&] {
        return ConfigError(fmt::format(
            "{}: \"{}\" must be a list of door numbers 1 to 8, each at most once", what, key));
    };
    if (!x.is_array()) throw bad();
    unsigned mask = 0;
    for (auto &d : x) {
        if (!d.is_number_unsigned() || d.get<std::uint64_t>() < 1 || d.get<std::uint64_t>() > 8)
            throw bad();
        const unsigned bit = 1U << (d.get<unsigned>() - 1);
        if (mask & bit) throw bad();
        mask |= bit;
    }
    return static_cast<std::uint8_t>(mask);
}

// One setting of a cabinet's entry beside its endpoint.
void cabinet_setting(const std::string &what, const std::string &key, const nlohmann::json &x,
                     CabinetConfig &c) {
    if (key == "reason_doors") {
        c.reason_doors = door_list(what, key, x);
        return;
    }
    if (key == "two_person_doors") {
        c.two_person_doors = door_list(what, key, x);
        return;
    }
    if (key != "held_open_s")
        throw ConfigError(fmt::format("{}: unknown setting \"{}\"", what, key));
    const bool ok = x.is_number_unsigned() && x.get<std::uint64_t>() >= 1 &&
        x.get<std::uint64_t>() <= kMaxHeldOpenS;
    if (!ok)
        throw ConfigError(fmt::format(
            "{}: \"held_open_s\" must be a whole number of seconds, 1 to {}", what, kMaxHeldOpenS));
    c.held_open = std::chrono::seconds(x.get<std::uint64_t>());
}

// A cabinet of the config file: its endpoint, or {"endpoint": ..., "held_open_s": N,
// "reason_doors": [...], "two_person_doors": [...]}.
CabinetConfig cabinet_entry(const std::string &path, const std::string &name,
                            const nlohmann::json &v) {
    if (v.is_string()) return parse_cabinet(name + "=" + v.get<std::string>());
    const auto what = fmt::format("{}: cabinet {}", path, name);
    if (!v.is_object() || !v.contains("endpoint") || !v["endpoint"].is_string())
        throw ConfigError(
            fmt::format("{}: give the endpoint as a string, or an object with \"endpoint\"", what));
    auto c = parse_cabinet(name + "=" + v["endpoint"].get<std::string>());
    for (auto &[key, x] : v.items())
        if (key != "endpoint") cabinet_setting(what, key, x, c);
    return c;
}

void load_cabinets(const std::string &path, const nlohmann::json &cabinets, Config &cfg) {
    if (!cabinets.is_object())
        throw ConfigError(
            fmt::format("{}: \"cabinets\" must be an object of name: endpoint", path));
    for (auto &[name, v] : cabinets.items()) {
        auto c = cabinet_entry(path, name, v);
        // Named on the command line too: its endpoint wins, the file's
        // held_open_s and the door lists (which the command line cannot set)
        // still count.
        auto it = std::find_if(cfg.cabinets.begin(), cfg.cabinets.end(),
                               [&name = name](auto &k) { return k.name == name; });
        if (it == cfg.cabinets.end()) {
            cfg.cabinets.push_back(std::move(c));
            continue;
        }
        if (it->held_open == CabinetConfig{}.held_open) it->held_open = c.held_open;
        it->reason_doors = c.reason_doors;
        it->two_person_doors = c.two_person_doors;
    }
}

// The connection limits of the config file, each a whole number; the
// command line wins.
void load_limits(const std::string &path, const nlohmann::json &j, ConnectionLimits &l) {
    const ConnectionLimits def;
    for (auto &[key, field] : kLimitFields) {
        if (!j.contains(key)) continue;
        const auto &v = j[key];
        if (!v.is_number_unsigned() || v.get<std::uint64_t>() == 0 ||
            v.get<std::uint64_t>() > kMaxLimit)
            throw ConfigError(
                fmt::format("{}: \"{}\" must be a whole number, 1 to {}", path, key, kMaxLimit));
        if (l.*field == def.*field) l.*field = v.get<std::size_t>();
    }
}

// Every viewer together, and one operator token beside them, fit in the
// places for tokens; a token's streams fit in its connections.
void check_limits(const ConnectionLimits &l) {
    if (l.max_connections < 16 || l.max_connections > kMaxLimit)
        throw ConfigError(fmt::format("max_connections must be 16 to {}", kMaxLimit));
    if (l.max_unauthenticated >= l.max_connections)
        throw ConfigError("max_unauthenticated must be less than max_connections");
    const auto for_tokens = l.max_connections - l.max_unauthenticated;
    if (l.max_viewer_connections + l.max_token_connections > for_tokens)
        throw ConfigError(fmt::format(
            "max_viewer_connections ({}) and max_token_connections ({}) must fit together in the "
            "places for tokens, max_connections - max_unauthenticated ({}), so that an operator "
            "token finds room beside every viewer",
            l.max_viewer_connections, l.max_token_connections, for_tokens));
    if (l.max_token_streams > l.max_token_connections)
        throw ConfigError("max_token_streams must not exceed max_token_connections");
}

} // namespace

CabinetConfig parse_cabinet(const std::string &arg) {
    const auto eq = arg.find('=');
    if (eq == std::string::npos)
        throw ConfigError(
            fmt::format("--cabinet \"{}\": expected NAME=/dev/tty... or NAME=tcp:HOST:PORT", arg));
    CabinetConfig c{arg.substr(0, eq), arg.substr(eq + 1)};
    if (!valid_name(c.name))
        throw ConfigError(
            fmt::format("cabinet name \"{}\": use 1 to 32 letters, digits, '-' or '_'", c.name));
    check_endpoint(c.name, c.endpoint);
    return c;
}

namespace {

// No setting holds a NUL ("\u0000"): a path, a password or a name passed on
// to the system or a library would end there, and name something else than
// the file says.
void refuse_nul(const std::string &origin, const nlohmann::json &object) {
    // Walked with a list, not by recursion: the text may nest deeply.
    std::vector<std::pair<const nlohmann::json *, std::string>> todo{{&object, ""}};
    while (!todo.empty()) {
        const auto [j, key] = std::move(todo.back());
        todo.pop_back();
        if (j->is_string() && j->get_ref<const std::string &>().find('\0') != std::string::npos)
            throw ConfigError(fmt::format("{}: \"{}\" holds a NUL character", origin, key));
        if (j->is_object())
            for (auto &[k, v] : j->items()) todo.emplace_back(&v, k);
        else if (j->is_array())
            for (auto &v : *j) todo.emplace_back(&v, key);
    }
}

// The config file's object: JSON, an object, no key given twice, no NUL.
nlohmann::json config_object(const std::string &origin, std::string_view text) {
    auto parsed = parse_strict_json(text);
    if (!parsed) throw ConfigError(fmt::format("{}: {}", origin, parsed.refusal().text));
    auto &j = *parsed;
    if (!j.is_object()) throw ConfigError(fmt::format("{}: not a JSON object", origin));
    refuse_nul(origin, j);
    return std::move(j);
}

void apply_config(const std::string &path, const nlohmann::json &j, Config &cfg);

} // namespace

// The file names the token file, so one that any user could change is
// refused whatever it holds; one any user may read is worth a warning when
// it holds the broker's password.
void load_config_file(const std::string &path, Config &cfg) {
    const auto file = read_guarded_file(path, "config file");
    const auto j = config_object(path, file.text);
    const auto mqtt = j.find("mqtt");
    const bool password = mqtt != j.end() && mqtt->is_object() && mqtt->contains("password") &&
        mqtt->at("password") != "";
    if (password && file.world_readable)
        log(Level::Warning, readable_by_all(path, "config file", file.mode, "the MQTT password"));
    apply_config(path, j, cfg);
}

void load_config_text(const std::string &origin, std::string_view text, Config &cfg) {
    apply_config(origin, config_object(origin, text), cfg);
}

namespace {

void apply_config(const std::string &path, const nlohmann::json &j, Config &cfg) {
    const Config defaults;
    const auto str = [&](const char *key, std::string &out, const std::string &def) {
        if (!j.contains(key)) return;
        if (!j[key].is_string())
            throw ConfigError(fmt::format("{}: \"{}\" must be a string", path, key));
        if (out == def) out = j[key].get<std::string>();
    };
    str("db", cfg.db, defaults.db);
    str("listen", cfg.listen, defaults.listen);
    str("tokens", cfg.tokens, defaults.tokens);
    str("web_root", cfg.web_root, defaults.web_root);
    str("time_zone", cfg.time_zone, defaults.time_zone);
    if (j.contains("retention_days")) {
        const auto &r = j["retention_days"];
        // Compared as written: 4294967297 is not 1.
        if (!r.is_number_unsigned() || r.get<std::uint64_t>() == 0 ||
            r.get<std::uint64_t>() > 36500)
            throw ConfigError(fmt::format(
                "{}: \"retention_days\" must be a whole number of days, 1 to 36500", path));
        if (cfg.retention == defaults.retention)
            cfg.retention = std::chrono::hours(24 * r.get<std::uint64_t>());
    }
    if (j.contains("max_db_mb")) {
        const auto &m = j["max_db_mb"];
        if (!m.is_number_unsigned() || m.get<std::uint64_t>() < kMinDbMb ||
            m.get<std::uint64_t>() > kMaxDbMb)
            throw ConfigError(
                fmt::format("{}: \"max_db_mb\" must be a whole number of megabytes, {} to {}", path,
                            kMinDbMb, kMaxDbMb));
        if (cfg.max_db_mb == defaults.max_db_mb) cfg.max_db_mb = m.get<std::uint64_t>();
    }
    if (j.contains("journal_sync")) {
        const auto &v = j["journal_sync"];
        if (!v.is_string() || (v != "normal" && v != "full"))
            throw ConfigError(fmt::format("{}: \"journal_sync\" is \"normal\" or \"full\"", path));
        if (cfg.journal_full_sync == defaults.journal_full_sync)
            cfg.journal_full_sync = v == "full";
    }
    if (j.contains("allowed_hosts")) {
        const auto &a = j["allowed_hosts"];
        if (!a.is_array() ||
            !std::all_of(a.begin(), a.end(), [](auto &v) { return v.is_string(); }))
            throw ConfigError(
                fmt::format("{}: \"allowed_hosts\" must be a list of host names", path));
        if (cfg.allowed_hosts.empty())
            for (auto &v : a) cfg.allowed_hosts.push_back(v.get<std::string>());
    }
    if (j.contains("mqtt")) load_mqtt(path, j["mqtt"], cfg.mqtt);
    if (j.contains("cabinets")) load_cabinets(path, j["cabinets"], cfg);
    load_limits(path, j, cfg.limits);
    for (auto &[key, v] : j.items())
        if (key != "cabinets" && key != "db" && key != "listen" && key != "tokens" &&
            key != "web_root" && key != "retention_days" && key != "max_db_mb" &&
            key != "journal_sync" && key != "mqtt" && key != "allowed_hosts" &&
            key != "time_zone" &&
            std::none_of(std::begin(kLimitFields), std::end(kLimitFields),
                         [&key = key](auto &f) { return key == f.first; }))
            throw ConfigError(fmt::format("{}: unknown setting \"{}\"", path, key));
}

} // namespace

void validate(const Config &cfg) {
    if (cfg.cabinets.empty())
        throw ConfigError("no cabinet: give --cabinet NAME=ENDPOINT or a config file");
    std::set<std::string> names;
    for (auto &c : cfg.cabinets)
        if (!names.insert(c.name).second)
            throw ConfigError(fmt::format("cabinet {} is named twice", c.name));
    parse_listen(cfg.listen);
    for (auto &h : cfg.allowed_hosts) check_allowed_host(h);
    check_limits(cfg.limits);
}

} // namespace cabinetd
