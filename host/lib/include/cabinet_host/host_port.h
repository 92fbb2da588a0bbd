// HOST:PORT, the one way every part of the host side reads a network address
// (a controller's tcp: endpoint, cabinetd's listen address, a broker, a
// cabinetd for cabinetctl).
#pragma once

#include "cabinet_host/result.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace cabinet_host {

struct HostPort {
    std::string host;                  // an IPv6 address without its brackets
    std::optional<std::uint16_t> port; // nothing only where the port may be left out
};

struct HostPortRules {
    bool port_optional = false; // "HOST" alone is taken (the caller has a default)
    bool port_zero = false;     // port 0 is taken (a listen address: "pick one")
};

// Parses HOST:PORT in its one canonical form: HOST a name (letters, digits,
// '-', '.', '_'), an IPv4 address, or an IPv6 address in brackets; PORT 1 to
// 65535 in decimal without leading zeros. Anything else is refused ("error")
// with why.
Result<HostPort> parse_host_port(std::string_view text, HostPortRules rules = {});

// HOST:PORT (or HOST without a port) as a Host header or a log names it: an
// IPv6 address in brackets.
std::string to_string(const HostPort &hp);

} // namespace cabinet_host
