// The form grammar of a query string, written again from its definition
// for the HTTP fuzz targets: an oracle of their own, apart from the code they
// check, that decodes and encodes as application/x-www-form-urlencoded says.
#pragma once

#include "http_query.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace cabinetd::fuzz_form {

inline int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// application/x-www-form-urlencoded, by the grammar: '+' is a space, '%'
// and two hex digits a byte, anything else itself.
inline std::optional<std::string> form_decoded(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%') {
            if (i + 2 >= s.size() || hex(s[i + 1]) < 0 || hex(s[i + 2]) < 0) return std::nullopt;
            out.push_back(static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i] == '+' ? ' ' : s[i]);
        }
    }
    return out;
}

// The parameters of a query string: NAME[=VALUE] parts between '&' (empty
// parts are nothing), each name once.
inline std::optional<QueryParams> form(std::string_view query) {
    QueryParams out;
    std::size_t start = 0;
    while (start <= query.size()) {
        const auto end = std::min(query.find('&', start), query.size());
        const auto part = query.substr(start, end - start);
        start = end + 1;
        if (part.empty()) continue;
        const auto eq = part.find('=');
        const auto name = form_decoded(part.substr(0, eq));
        const auto value =
            form_decoded(eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1));
        if (!name || !value || out.count(*name)) return std::nullopt;
        out[*name] = *value;
    }
    return out;
}

// Every byte but the unreserved ones as %XX.
inline std::string encoded(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            b == '-' || b == '.' || b == '_' || b == '~') {
            out.push_back(c);
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
    }
    return out;
}

} // namespace cabinetd::fuzz_form
