#include "token_file.h"

#include "unicode.h"

#include <fmt/format.h>
#include <openssl/sha.h>

#include <algorithm>

namespace cabinetd {
namespace {

constexpr std::string_view kHashed = "sha256:";
constexpr std::string_view kAlarms = "alarms=";

Refusal at(int line, const std::string &what) {
    return invalid(fmt::format("token file line {}: {}", line, what));
}

std::optional<Digest> hex_digest(std::string_view hex) {
    if (hex.size() != 64) return std::nullopt;
    Digest d{};
    for (std::size_t i = 0; i < 64; ++i) {
        const char c = hex[i];
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) return std::nullopt;
        d[i / 2] = static_cast<std::uint8_t>(d[i / 2] << 4 | v);
    }
    return d;
}

// The fields of a line, split on spaces and tabs.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const auto start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

// One line that is not blank or a comment; the refusal says why not.
Result<TokenLine> parse_line(int n, std::string_view line) {
    const auto f = fields_of(line);
    if (f.size() < 3 || f.size() > 5)
        return at(n, "expected NAME ROLE TOKEN [SCOPE] [alarms=ALARMS]");
    TokenLine t;
    t.line = n;
    t.name = std::string(f[0]);
    const auto folded = folded_name(t.name);
    if (!folded || code_points(t.name) > kNameMax)
        return at(n,
                  fmt::format("name \"{}\": 1 to {} characters, none of them a space, control "
                              "or format character",
                              t.name, kNameMax));
    t.folded = *folded;
    if (f[1] == "operator") t.role = Role::Operator;
    else if (f[1] != "viewer")
        return at(n, fmt::format("role \"{}\" is neither viewer nor operator", f[1]));
    if (f[2].substr(0, kHashed.size()) == kHashed) {
        const auto d = hex_digest(f[2].substr(kHashed.size()));
        if (!d) return at(n, "a hashed token is sha256: and 64 lower-case hex digits");
        t.digest = *d;
        t.hashed = true;
    } else if (f[2].size() < kTokenMin) {
        return at(n, fmt::format("the token is shorter than {} characters", kTokenMin));
    } else {
        t.digest = token_digest(f[2]);
    }
    std::size_t next = 3;
    if (next < f.size() && f[next].substr(0, kAlarms.size()) != kAlarms) {
        auto s = parse_scope(f[next]);
        if (!s) return at(n, "scope: " + s.refusal().text);
        t.scope = std::move(*s);
        ++next;
    }
    if (next < f.size()) {
        const auto a = f[next];
        if (a.substr(0, kAlarms.size()) != kAlarms)
            return at(n, "expected NAME ROLE TOKEN [SCOPE] [alarms=ALARMS]");
        const auto doors = a.substr(kAlarms.size());
        if (doors == "*") t.alarms = Scope{};
        else if (auto s = parse_scope(doors, false)) t.alarms = std::move(*s);
        else return at(n, "alarms: " + s.refusal().text);
        ++next;
    }
    if (next != f.size()) return at(n, "expected NAME ROLE TOKEN [SCOPE] [alarms=ALARMS]");
    return t;
}

} // namespace

const char *to_string(Role r) { return r == Role::Operator ? "operator" : "viewer"; }

Digest token_digest(std::string_view token) {
    Digest d{};
    SHA256(reinterpret_cast<const unsigned char *>(token.data()), token.size(), d.data());
    return d;
}

std::string digest_text(const Digest &d) {
    std::string out(kHashed);
    for (const auto b : d) out += fmt::format("{:02x}", b);
    return out;
}

Result<std::vector<TokenLine>> parse_token_file(std::string_view text) {
    std::vector<TokenLine> out;
    int n = 0;
    while (!text.empty()) {
        ++n;
        const auto eol = text.find('\n');
        auto line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        auto parsed = parse_line(n, line);
        if (!parsed) return parsed.refusal();
        auto &t = *parsed;
        for (const auto &other : out) {
            if (other.digest == t.digest)
                return at(n, fmt::format("this token is line {}'s too", other.line));
            if (other.folded == t.folded)
                return at(n,
                          fmt::format("name \"{}\" is line {}'s \"{}\" (names are told apart "
                                      "without case, in Unicode's NFKC form)",
                                      t.name, other.line, other.name));
        }
        out.push_back(std::move(t));
    }
    return out;
}

} // namespace cabinetd
