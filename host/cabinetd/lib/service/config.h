// What cabinetd serves and where: from the command line and an optional
// JSON file, the command line winning.
#pragma once

#include "config_error.h"
#include "connection_limits.h"
#include "listen_address.h"
#include "mqtt_config.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

struct CabinetConfig {
    std::string name;
    std::string endpoint; // serial device path, "tcp:HOST:PORT" or "sim"
    // How long a door may stay open before a held_open alarm ("held_open_s").
    std::chrono::seconds held_open{60};
    // The doors whose opens must say why ("reason_doors"): bit d-1 for door d.
    std::uint8_t reason_doors = 0;
    // Doors whose opens need a second operator's approval
    // ("two_person_doors": [8]), bit d-1 for door d.
    std::uint8_t two_person_doors = 0;
};

// held_open_s: a second at the least, a day at the most.
inline constexpr unsigned kMaxHeldOpenS = 86400;

struct Config {
    std::vector<CabinetConfig> cabinets;
    std::string db = "cabinetd.db";
    std::string listen = "127.0.0.1:8080";
    std::string tokens; // token file; none: every API request is refused
    // The site's time zone (an IANA name), which tokens' hours are in; none:
    // the system's (/etc/localtime).
    std::string time_zone;
    std::string web_root; // the operator page's files; none: no page
    // Host names (NAME or NAME:PORT) that clients may use for cabinetd
    // besides its listen address and localhost; any other Host header is
    // refused, so a web page that rebinds its own name to cabinetd's
    // address cannot read anything.
    std::vector<std::string> allowed_hosts;
    std::chrono::hours retention{24 * 90};
    std::uint64_t max_db_mb = 256;  // the journal's size cap, "max_db_mb"
    bool journal_full_sync = false; // "journal_sync": "normal" or "full"
    ConnectionLimits limits;        // "max_connections", "max_token_streams", ...
    MqttConfig mqtt;
};

// The journal's size cap, in megabytes: a few days of a busy cabinet at the
// least, and far beyond any SD card at the most.
inline constexpr std::uint64_t kMinDbMb = 16, kMaxDbMb = 1 << 20;

// "NAME=ENDPOINT"; the name is 1 to 32 letters, digits, '-' and '_'.
CabinetConfig parse_cabinet(const std::string &arg);

// Adds what the JSON file sets to cfg (values already in cfg are kept when
// keep_set is true, so command-line values win). The file's form:
//   {"cabinets": {"lab": "/dev/serial/by-id/...", "demo": "tcp:127.0.0.1:5000",
//                 "shop": {"endpoint": "tcp:127.0.0.1:5001", "held_open_s": 60,
//                          "reason_doors": [8], "two_person_doors": [8]}},
//    "db": "...", "listen": "127.0.0.1:8080", "tokens": "...", "web_root": "...",
//    "time_zone": "Europe/Berlin",
//    "allowed_hosts": ["cabinets.example.com"],
//    "retention_days": 90, "max_db_mb": 256, "journal_sync": "normal",
//    "max_connections": 4000, "max_unauthenticated": 1024, "max_viewer_connections": 2048,
//    "max_token_connections": 256, "max_token_streams": 64,
//    "mqtt": {"url": "mqtt://HOST:1883", "ca_file": "...", "username": "...", "password": "...",
//             "prefix": "tessaro/{board_id}/", "commands": false, "discovery": false,
//             "discovery_prefix": "homeassistant", "ha_status_topic": "homeassistant/status"}}
void load_config_file(const std::string &path, Config &cfg);
// The same from a config file's text, read already; `origin` names it in
// what is thrown (a ConfigError, and nothing else, for any text at all).
void load_config_text(const std::string &origin, std::string_view text, Config &cfg);

// Checks the whole configuration: at least one cabinet, names unique, the
// listen address and the allowed host names well formed, the connection
// limits consistent.
void validate(const Config &cfg);

} // namespace cabinetd
