// libFuzzer target for the config file (load_config_text, then validate).
// Whatever the text, it is taken or refused with a ConfigError: anything
// else escaping is a crash. A text that is taken is a JSON object with no
// key given twice, holding only the settings the README names, each of its
// type and within its range, and the Config holds exactly what it says; a
// configuration validate() passes is one the service can run with. The
// Config written out in full (every setting, the canonical file) reads back
// as itself.
#include "config.h"
#include "fuzz_check.h"
#include "fuzz_json.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {
namespace {

using nlohmann::json;

bool alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool all_of(std::string_view s, bool (*ok)(char)) {
    for (char c : s)
        if (!ok(c)) return false;
    return true;
}

// 1 to 65535 (0 too where it picks one) in decimal, without leading zeros.
bool port(std::string_view p, bool zero) {
    if (p.empty() || p.size() > 5 || (p.size() > 1 && p[0] == '0')) return false;
    if (!all_of(p, [](char c) { return c >= '0' && c <= '9'; })) return false;
    const auto v = std::stoul(std::string(p));
    return v <= 65535 && (zero || v > 0);
}

// HOST:PORT, HOST a name or an IPv4 address, or an IPv6 address in brackets.
bool host_port(std::string_view s, bool zero) {
    const auto colon = s.rfind(':');
    if (colon == std::string_view::npos || !port(s.substr(colon + 1), zero)) return false;
    const auto host = s.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        const auto v6 = host.substr(1, host.size() - 2);
        return v6.find(':') != std::string_view::npos && all_of(v6, [](char c) {
                   return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
               });
    }
    return !host.empty() &&
        all_of(host, [](char c) { return alnum(c) || c == '-' || c == '.' || c == '_'; });
}

bool cabinet_name(std::string_view n) {
    return !n.empty() && n.size() <= 32 &&
        all_of(n, [](char c) { return alnum(c) || c == '-' || c == '_'; });
}

// A path names the file it says: no NUL, where the system would cut it.
bool path(std::string_view p) { return p.find('\0') == std::string_view::npos; }

bool endpoint(std::string_view e) {
    if (e == "sim") return true;
    if (!e.empty() && e[0] == '/') return path(e);
    return e.substr(0, 4) == "tcp:" && host_port(e.substr(4), false);
}

// An allowed Host: a DNS name, or NAME:PORT.
bool allowed_host(std::string_view h) {
    const auto colon = h.find(':');
    if (colon != std::string_view::npos && !port(h.substr(colon + 1), false)) return false;
    const auto name = h.substr(0, colon);
    return !name.empty() && name.size() <= 253 && name[0] != '.' && name[0] != '-' &&
        all_of(name, [](char c) { return alnum(c) || c == '-' || c == '.'; });
}

const json *member(const json &j, const char *key) {
    const auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
}

// A whole number in [lo, hi], as the text wrote it; nothing when absent.
std::optional<std::uint64_t> whole(const json &j, const char *key, std::uint64_t lo,
                                   std::uint64_t hi) {
    const json *v = member(j, key);
    if (!v) return std::nullopt;
    FUZZ_CHECK(v->is_number_unsigned());
    const auto n = v->get<std::uint64_t>();
    FUZZ_CHECK(n >= lo && n <= hi);
    return n;
}

std::uint8_t doors(const json *list) {
    if (!list) return 0;
    FUZZ_CHECK(list->is_array());
    unsigned mask = 0;
    for (auto &d : *list) {
        FUZZ_CHECK(d.is_number_unsigned() && d.get<std::uint64_t>() >= 1 &&
                   d.get<std::uint64_t>() <= 8);
        const unsigned bit = 1U << (d.get<std::uint64_t>() - 1);
        FUZZ_CHECK(!(mask & bit));
        mask |= bit;
    }
    return static_cast<std::uint8_t>(mask);
}

constexpr std::pair<const char *, std::size_t ConnectionLimits::*> kLimits[] = {
    {"max_connections", &ConnectionLimits::max_connections},
    {"max_unauthenticated", &ConnectionLimits::max_unauthenticated},
    {"max_viewer_connections", &ConnectionLimits::max_viewer_connections},
    {"max_token_connections", &ConnectionLimits::max_token_connections},
    {"max_token_streams", &ConnectionLimits::max_token_streams}};
constexpr std::pair<const char *, std::string MqttConfig::*> kMqttText[] = {
    {"url", &MqttConfig::url},
    {"ca_file", &MqttConfig::ca_file},
    {"username", &MqttConfig::username},
    {"password", &MqttConfig::password},
    {"prefix", &MqttConfig::prefix},
    {"discovery_prefix", &MqttConfig::discovery_prefix},
    {"ha_status_topic", &MqttConfig::ha_status_topic}};
constexpr std::pair<const char *, bool MqttConfig::*> kMqttFlags[] = {
    {"commands", &MqttConfig::commands}, {"discovery", &MqttConfig::discovery}};

void check_mqtt(const json &m, const MqttConfig &got) {
    FUZZ_CHECK(m.is_object());
    const MqttConfig def;
    std::size_t known = 0;
    for (auto &[key, field] : kMqttText) {
        const json *v = member(m, key);
        known += v != nullptr;
        FUZZ_CHECK(v ? v->is_string() && v->get<std::string>() == got.*field
                     : got.*field == def.*field);
    }
    for (auto &[key, field] : kMqttFlags) {
        const json *v = member(m, key);
        known += v != nullptr;
        FUZZ_CHECK(v ? v->is_boolean() && v->get<bool>() == got.*field : !(got.*field));
    }
    FUZZ_CHECK(known == m.size());
    FUZZ_CHECK(path(got.ca_file));
}

void check_cabinets(const json &cabinets, const std::vector<CabinetConfig> &got) {
    FUZZ_CHECK(cabinets.is_object() && cabinets.size() == got.size());
    for (auto &c : got) {
        FUZZ_CHECK(cabinet_name(c.name) && endpoint(c.endpoint));
        const json *v = member(cabinets, c.name.c_str());
        FUZZ_CHECK(v != nullptr);
        if (v->is_string()) {
            FUZZ_CHECK(v->get<std::string>() == c.endpoint && c.held_open.count() == 60 &&
                       c.reason_doors == 0 && c.two_person_doors == 0);
            continue;
        }
        FUZZ_CHECK(v->is_object());
        const json *ep = member(*v, "endpoint");
        FUZZ_CHECK(ep && ep->is_string() && ep->get<std::string>() == c.endpoint);
        const auto held = whole(*v, "held_open_s", 1, kMaxHeldOpenS);
        FUZZ_CHECK(static_cast<std::uint64_t>(c.held_open.count()) == held.value_or(60));
        FUZZ_CHECK(c.reason_doors == doors(member(*v, "reason_doors")));
        FUZZ_CHECK(c.two_person_doors == doors(member(*v, "two_person_doors")));
        FUZZ_CHECK(v->size() ==
                   1u + held.has_value() + v->contains("reason_doors") +
                       v->contains("two_person_doors"));
    }
}

// What a configuration the reader took says, against its text.
void check_taken(const json &j, const Config &c) {
    const Config d;
    std::size_t known = 0;
    const auto text = [&](const char *key, const std::string &got, const std::string &def) {
        const json *v = member(j, key);
        known += v != nullptr;
        FUZZ_CHECK(v ? v->is_string() && v->get<std::string>() == got : got == def);
    };
    text("db", c.db, d.db);
    text("listen", c.listen, d.listen);
    text("tokens", c.tokens, d.tokens);
    text("web_root", c.web_root, d.web_root);
    FUZZ_CHECK(path(c.db) && path(c.tokens) && path(c.web_root));
    const auto days = whole(j, "retention_days", 1, 36500);
    FUZZ_CHECK(c.retention == std::chrono::hours(24 * days.value_or(90)));
    const auto mb = whole(j, "max_db_mb", kMinDbMb, kMaxDbMb);
    FUZZ_CHECK(c.max_db_mb == mb.value_or(d.max_db_mb));
    known += days.has_value() + mb.has_value();
    if (const json *sync = member(j, "journal_sync")) {
        ++known;
        FUZZ_CHECK(*sync == "normal" || *sync == "full");
        FUZZ_CHECK(c.journal_full_sync == (*sync == "full"));
    } else {
        FUZZ_CHECK(!c.journal_full_sync);
    }
    if (const json *hosts = member(j, "allowed_hosts")) {
        ++known;
        FUZZ_CHECK(hosts->is_array());
        std::vector<std::string> want;
        for (auto &h : *hosts) {
            FUZZ_CHECK(h.is_string());
            want.push_back(h.get<std::string>());
        }
        FUZZ_CHECK(c.allowed_hosts == want);
    } else {
        FUZZ_CHECK(c.allowed_hosts.empty());
    }
    for (auto &[key, field] : kLimits) {
        const auto n = whole(j, key, 1, 1000000);
        known += n.has_value();
        FUZZ_CHECK(c.limits.*field == n.value_or(d.limits.*field));
    }
    if (const json *m = member(j, "mqtt")) {
        ++known;
        check_mqtt(*m, c.mqtt);
    } else {
        check_mqtt(json::object(), c.mqtt);
    }
    if (const json *cabinets = member(j, "cabinets")) {
        ++known;
        check_cabinets(*cabinets, c.cabinets);
    } else {
        FUZZ_CHECK(c.cabinets.empty());
    }
    FUZZ_CHECK(known == j.size()); // nothing else
}

// What validate() passes: a configuration the service can start with.
void check_valid(const Config &c) {
    FUZZ_CHECK(!c.cabinets.empty());
    std::set<std::string> names;
    for (auto &k : c.cabinets) FUZZ_CHECK(names.insert(k.name).second);
    FUZZ_CHECK(host_port(c.listen, true));
    for (auto &h : c.allowed_hosts) FUZZ_CHECK(allowed_host(h));
    const auto &l = c.limits;
    FUZZ_CHECK(l.max_connections >= 16 && l.max_connections <= 1000000);
    FUZZ_CHECK(l.max_unauthenticated < l.max_connections);
    FUZZ_CHECK(l.max_viewer_connections + l.max_token_connections <=
               l.max_connections - l.max_unauthenticated);
    FUZZ_CHECK(l.max_token_streams <= l.max_token_connections);
}

json door_list(std::uint8_t mask) {
    json out = json::array();
    for (unsigned d = 1; d <= 8; ++d)
        if (mask & (1U << (d - 1))) out.push_back(d);
    return out;
}

// The whole configuration as a config file: every setting, written out.
json written(const Config &c) {
    json out = json::object();
    json cabinets = json::object();
    for (auto &k : c.cabinets)
        cabinets[k.name] = {{"endpoint", k.endpoint},
                            {"held_open_s", k.held_open.count()},
                            {"reason_doors", door_list(k.reason_doors)},
                            {"two_person_doors", door_list(k.two_person_doors)}};
    out["cabinets"] = cabinets;
    out["db"] = c.db;
    out["listen"] = c.listen;
    out["tokens"] = c.tokens;
    out["web_root"] = c.web_root;
    out["allowed_hosts"] = c.allowed_hosts;
    out["retention_days"] = c.retention.count() / 24;
    out["max_db_mb"] = c.max_db_mb;
    out["journal_sync"] = c.journal_full_sync ? "full" : "normal";
    for (auto &[key, field] : kLimits) out[key] = c.limits.*field;
    json m = json::object();
    for (auto &[key, field] : kMqttText) m[key] = c.mqtt.*field;
    for (auto &[key, field] : kMqttFlags) m[key] = c.mqtt.*field;
    out["mqtt"] = m;
    return out;
}

bool same(const Config &a, const Config &b) {
    if (a.cabinets.size() != b.cabinets.size()) return false;
    for (std::size_t i = 0; i < a.cabinets.size(); ++i) {
        const auto &x = a.cabinets[i], &y = b.cabinets[i];
        if (x.name != y.name || x.endpoint != y.endpoint || x.held_open != y.held_open ||
            x.reason_doors != y.reason_doors || x.two_person_doors != y.two_person_doors)
            return false;
    }
    for (auto &[key, field] : kLimits)
        if (a.limits.*field != b.limits.*field) return false;
    for (auto &[key, field] : kMqttText)
        if (a.mqtt.*field != b.mqtt.*field) return false;
    for (auto &[key, field] : kMqttFlags)
        if (a.mqtt.*field != b.mqtt.*field) return false;
    return a.db == b.db && a.listen == b.listen && a.tokens == b.tokens &&
        a.web_root == b.web_root && a.allowed_hosts == b.allowed_hosts &&
        a.retention == b.retention && a.max_db_mb == b.max_db_mb &&
        a.journal_full_sync == b.journal_full_sync;
}

} // namespace
} // namespace cabinetd

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace cabinetd;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    Config cfg;
    try {
        load_config_text("fuzz.json", text, cfg);
    } catch (const ConfigError &) {
        return 0;
    }
    const auto j = json::parse(text, nullptr, false);
    FUZZ_CHECK(j.is_object() && !fuzz_json::has_key_twice(text));
    check_taken(j, cfg);
    bool valid = true;
    try {
        validate(cfg);
    } catch (const ConfigError &) {
        valid = false;
    }
    if (valid) check_valid(cfg);

    Config again;
    load_config_text("again.json", written(cfg).dump(), again);
    FUZZ_CHECK(same(cfg, again));
    return 0;
}
