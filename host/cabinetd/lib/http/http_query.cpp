#include "http_query.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>

namespace cabinetd {

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    return std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
}

std::optional<std::string> decode(std::string_view in) {
    std::string s;
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+') {
            s.push_back(' ');
        } else if (in[i] == '%') {
            if (i + 2 >= in.size() || !std::isxdigit(static_cast<unsigned char>(in[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(in[i + 2])))
                return std::nullopt;
            s.push_back(static_cast<char>(hex_value(in[i + 1]) * 16 + hex_value(in[i + 2])));
            i += 2;
        } else {
            s.push_back(in[i]);
        }
    }
    return s;
}

} // namespace

std::optional<QueryParams> parse_query(std::string_view target) {
    QueryParams out;
    const auto q = target.find('?');
    if (q == std::string_view::npos) return out;
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        const auto part = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (part.empty()) continue;
        const auto eq = part.find('=');
        auto k = decode(part.substr(0, eq));
        auto v = decode(eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1));
        // A parameter given twice has no one meaning: refused, not guessed.
        if (!k || !v || !out.emplace(*k, *v).second) return std::nullopt;
    }
    return out;
}

Result<std::vector<RecordKind>> parse_kinds(std::string_view text) {
    std::vector<RecordKind> out;
    for (;;) {
        const auto comma = text.find(',');
        const auto name = text.substr(0, comma);
        const auto kind = record_kind(name);
        if (!kind) return Refusal{"bad_request", fmt::format("kind: unknown kind \"{}\"", name)};
        if (std::find(out.begin(), out.end(), *kind) == out.end()) out.push_back(*kind);
        if (comma == std::string_view::npos) return out;
        text = text.substr(comma + 1);
    }
}

} // namespace cabinetd
