#include "cabinet_host/host_port.h"

#include <algorithm>
#include <cctype>

namespace cabinet_host {
namespace {

bool name_char(unsigned char c) { return std::isalnum(c) || c == '-' || c == '.' || c == '_'; }
bool v6_char(unsigned char c) { return std::isxdigit(c) || c == ':' || c == '.'; }

std::optional<std::uint16_t> parse_port(std::string_view p, bool zero) {
    if (p.empty() || p.size() > 5 || (p.size() > 1 && p.front() == '0')) return std::nullopt;
    if (!std::all_of(p.begin(), p.end(), [](unsigned char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    unsigned v = 0;
    for (char c : p) v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > 65535 || (v == 0 && !zero)) return std::nullopt;
    return static_cast<std::uint16_t>(v);
}

} // namespace

Result<HostPort> parse_host_port(std::string_view text, HostPortRules rules) {
    HostPort out;
    std::string_view host, rest;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string_view::npos) return invalid("unclosed '[' in the address");
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
        if (host.find(':') == std::string_view::npos ||
            !std::all_of(host.begin(), host.end(), v6_char))
            return invalid("only an IPv6 address goes in brackets");
        if (!rest.empty() && rest.front() != ':') return invalid("expected :PORT after ']'");
    } else {
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
        if (rest.find(':', 1) != std::string_view::npos)
            return invalid("an IPv6 address goes in brackets, e.g. [::1]:8080");
        if (host.empty()) return invalid("no host");
        if (!std::all_of(host.begin(), host.end(), name_char))
            return invalid("the host is not a name or an address");
    }
    out.host = std::string(host);
    if (rest.empty()) {
        if (!rules.port_optional) return invalid("expected HOST:PORT");
        return out;
    }
    out.port = parse_port(rest.substr(1), rules.port_zero);
    if (!out.port)
        return invalid(rules.port_zero
                           ? "the port is 0 to 65535, in decimal without leading zeros"
                           : "the port is 1 to 65535, in decimal without leading zeros");
    return out;
}

std::string to_string(const HostPort &hp) {
    std::string out = hp.host.find(':') == std::string::npos ? hp.host : "[" + hp.host + "]";
    if (hp.port) out += ":" + std::to_string(*hp.port);
    return out;
}

} // namespace cabinet_host
