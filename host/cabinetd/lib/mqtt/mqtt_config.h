// Joining an MQTT broker: the settings, from the command line and the
// config file (the user name and password from the file only).
#pragma once

#include <string>

namespace cabinetd {

// An empty url: not at all.
struct MqttConfig {
    std::string url;     // mqtt://HOST:PORT or mqtts://HOST:PORT
    std::string ca_file; // mqtts: the CA that signed the broker's certificate
    std::string username, password;
    std::string prefix = "tessaro/{board_id}/"; // {board_id} and {cabinet} are filled in
    bool commands = false;                      // take open and clear_fault commands
    bool discovery = false;                     // Home Assistant discovery
    std::string discovery_prefix = "homeassistant";
    std::string ha_status_topic = "homeassistant/status";
    // How often the journal's chain head is published, retained, to
    // <prefix>journal/head: copies of it the host cannot take back.
    unsigned journal_head_s = 300;
};

} // namespace cabinetd
