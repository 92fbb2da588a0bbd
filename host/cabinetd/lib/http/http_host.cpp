#include "http_host.h"

#include <cabinet_host/host_port.h>

#include <boost/asio/ip/address.hpp>
#include <boost/beast/core/string.hpp>
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
    auto hp = cabinet_host::parse_host_port(host, {.port_optional = true, .port_zero = true});
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

namespace {

// Only chunked, alone: any other coding (or a list of them) would be taken
// for "no body" here and the body for a request by a proxy.
Result<> check_transfer_coding(const Request &req) {
    auto te = req.find(http::field::transfer_encoding);
    if (te == req.end()) return {};
    auto v = te->value();
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    if (!boost::beast::iequals(v, "chunked"))
        return Refusal{"not_implemented",
                       fmt::format("Transfer-Encoding \"{}\" is not supported: only chunked, alone",
                                   std::string(te->value()))};
    if (req.count(http::field::content_length))
        return Refusal{"malformed_request",
                       "a request has either Content-Length or Transfer-Encoding, not both"};
    return {};
}

} // namespace

Result<> check_header(const Request &req, const HostCheck &hosts) {
    if (req.version() != 10 && req.version() != 11)
        return Refusal{"http_version_not_supported", "use HTTP/1.1"};
    for (auto f : {http::field::host, http::field::authorization, http::field::content_type,
                   http::field::transfer_encoding, http::field::content_length})
        if (req.count(f) > 1)
            return Refusal{
                "malformed_request",
                fmt::format("{} is given more than once", std::string(http::to_string(f)))};
    for (const char *f : {"Idempotency-Key", "Last-Event-ID"})
        if (req.count(f) > 1)
            return Refusal{"malformed_request", fmt::format("{} is given more than once", f)};
    const auto host = req.find(http::field::host);
    if (host == req.end() && req.version() == 11)
        return Refusal{"malformed_request", "an HTTP/1.1 request needs a Host header"};
    if (host != req.end() && !hosts.allowed(host->value()))
        return Refusal{"misdirected_request",
                       fmt::format("Host \"{}\" is not this server: use 127.0.0.1:{} or "
                                   "localhost:{}, or a name in the configuration's "
                                   "allowed_hosts",
                                   std::string(host->value()), hosts.port(), hosts.port())};
    return check_transfer_coding(req);
}

} // namespace cabinetd
