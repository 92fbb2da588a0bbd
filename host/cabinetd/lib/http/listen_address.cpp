#include "listen_address.h"

#include "config_error.h"

#include <cabinet_host/host_port.h>

#include <fmt/format.h>

namespace cabinetd {

ListenAddress parse_listen(const std::string &s) {
    const auto hp = cabinet_host::parse_host_port(s, {.port_zero = true});
    if (!hp) throw ConfigError(fmt::format("listen address \"{}\": {}", s, hp.refusal().text));
    return ListenAddress{hp->host, *hp->port};
}

} // namespace cabinetd
