// Which Host headers name this server. A name nobody configured may be one an
// attacker pointed at us (DNS rebinding): a page on it would read our API
// with the browser's access to the loopback address.
#pragma once

#include "http_api.h"
#include "listen_address.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

class HostCheck {
public:
    HostCheck(const ListenAddress &listen, const std::vector<std::string> &allowed_hosts);
    // The port listened on, once bound.
    void set_port(unsigned short port) { port_ = port; }
    unsigned short port() const { return port_; }

    // Whether a Host header names this server: its listen address,
    // localhost, 127.0.0.1 or [::1] with its port (none for port 80), a name
    // the configuration allows, or, listening on every address, any IP
    // address with its port.
    bool allowed(std::string_view host) const;

private:
    unsigned short port_ = 0;
    std::string listen_name;                 // the listen address as a Host names it
    bool listen_any = false;                 // 0.0.0.0 or ::
    std::vector<std::string> allowed_hosts_; // lower case
};

// What a request's header must be before its body is read or it is routed:
// HTTP/1.0 or 1.1, no field given twice that could be read two ways, a Host
// naming this server, no transfer coding but chunked alone. Refused (the
// connection closes after the answer), or done.
Result<> check_header(const Request &req, const HostCheck &hosts);

} // namespace cabinetd
