#include "http_host.h"

#include <cabinet_host/host_port.h>

#include <boost/asio/ip/address.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace cabinetd {

namespace ip = boost::asio::ip;

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

} // namespace

HostCheck::HostCheck(const ListenAddress &listen, const std::vector<std::string> &allowed_hosts) {
    boost::system::error_code ec;
    const auto a = ip::make_address(listen.host, ec);
    if (!ec) {
        listen_any = a.is_unspecified();
        listen_name = a.is_v6() ? "[" + a.to_string() + "]" : a.to_string();
    }
    for (auto &h : allowed_hosts) allowed_hosts_.push_back(lower(h));
}

bool HostCheck::allowed(std::string_view host) const {
    auto hp =
        cabinet_host::parse_host_port(host, nullptr, {.port_optional = true, .port_zero = true});
    if (!hp) return false;
    const auto given_port = hp->port;
    const bool v6 = hp->host.find(':') != std::string::npos;
    const std::string name = lower(v6 ? "[" + hp->host + "]" : hp->host);
    for (auto &a : allowed_hosts_) {
        if (a.find(':') == std::string::npos
                ? a == name
                : given_port && a == fmt::format("{}:{}", name, *given_port))
            return true;
    }
    if (given_port ? *given_port != port_ : port_ != 80) return false;
    if (name == "localhost" || name == "127.0.0.1" || name == "[::1]" || name == listen_name)
        return true;
    if (!listen_any) return false;
    boost::system::error_code ec;
    if (v6) ip::make_address_v6(hp->host, ec);
    else ip::make_address_v4(hp->host, ec);
    return !ec;
}

} // namespace cabinetd
