#include "tokens.h"

#include "guarded_file.h"
#include "log.h"
#include "random.h"

#include <fmt/format.h>

#include <algorithm>
#include <sstream>

namespace cabinetd {
namespace {

// Compares without stopping at the first difference, so the time taken does
// not tell a guesser how much of a token was right.
bool same(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^
                                      static_cast<unsigned char>(b[i]));
    return diff == 0;
}

} // namespace

const char *to_string(Role r) { return r == Role::Operator ? "operator" : "viewer"; }

std::vector<std::pair<std::string, Identity>> Tokens::parse(std::string_view text) {
    std::vector<std::pair<std::string, Identity>> out;
    std::istringstream in{std::string(text)};
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream fields(line);
        std::string name, role, token, scope, extra;
        fields >> name >> role >> token >> scope;
        if (token.empty() || (fields >> extra))
            throw ConfigError(
                fmt::format("token file line {}: expected NAME ROLE TOKEN [SCOPE]", n));
        Identity id;
        id.name = name;
        if (!scope.empty()) {
            std::string why;
            auto s = parse_scope(scope, why);
            if (!s) throw ConfigError(fmt::format("token file line {}: scope: {}", n, why));
            id.scope = std::move(*s);
        }
        if (role == "operator") id.role = Role::Operator;
        else if (role != "viewer")
            throw ConfigError(fmt::format(
                "token file line {}: role \"{}\" is neither viewer nor operator", n, role));
        if (token.size() < 16)
            throw ConfigError(
                fmt::format("token file line {}: the token is shorter than 16 characters", n));
        for (auto &[t, other] : out)
            if (t == token)
                throw ConfigError(fmt::format("token file line {}: this token is given twice", n));
        out.emplace_back(token, id);
    }
    return out;
}

bool permits(const Identity &who, std::string_view cabinet, int door) {
    if (door < 1 || door > 8) return false;
    if (who.scope.everything()) return true;
    auto it = who.scope.doors.find(cabinet);
    return it != who.scope.doors.end() && (it->second & (1u << (door - 1)));
}

bool sees(const Identity &who, std::string_view cabinet) {
    return who.scope.everything() || who.scope.doors.count(cabinet) > 0;
}

void Tokens::load(const std::string &path, const std::vector<std::string> &cabinets) {
    const auto file = read_guarded_file(path, "token file");
    auto tokens = parse(file.text);
    if (file.world_readable) log(4, readable_by_all(path, "token file", file.mode, "a token"));
    for (auto &[t, id] : tokens)
        for (auto &[cabinet, doors] : id.scope.doors)
            if (!cabinets.empty() &&
                std::find(cabinets.begin(), cabinets.end(), cabinet) == cabinets.end())
                log(4,
                    fmt::format("token file: {}'s scope names cabinet {}, which is not "
                                "configured here",
                                id.name, cabinet));
    set(std::move(tokens));
}

void Tokens::set(std::vector<std::pair<std::string, Identity>> tokens) {
    std::lock_guard lk(mu_);
    // A line kept as it was keeps its grant, so what it granted lives on;
    // anything else is a new grant, and what the old one granted dies.
    for (auto &[token, id] : tokens) {
        id.grant = 0;
        for (auto &[old_token, old] : tokens_)
            if (same(token, old_token) && old.name == id.name && old.role == id.role &&
                old.scope == id.scope)
                id.grant = old.grant;
        if (!id.grant) id.grant = next_grant_++;
    }
    tokens_ = std::move(tokens);
    std::erase_if(stream_, [&](auto &p) { return !holds_locked(p.second.who); });
}

bool Tokens::holds_locked(const Identity &who) const {
    for (auto &[t, id] : tokens_)
        if (id.grant == who.grant)
            return id.name == who.name && id.role == who.role && id.scope == who.scope;
    return false;
}

bool Tokens::holds(const Identity &who) const {
    std::lock_guard lk(mu_);
    return holds_locked(who);
}

std::optional<Identity> Tokens::check(std::string_view token) const {
    std::lock_guard lk(mu_);
    std::optional<Identity> found;
    for (auto &[t, id] : tokens_)
        if (same(token, t)) found = id;
    return found;
}

std::string Tokens::issue_stream_token(const Identity &who, std::chrono::seconds ttl) {
    const auto token = "s" + random_hex(16);
    const auto now = clock_();
    std::lock_guard lk(mu_);
    std::erase_if(stream_, [&](auto &p) { return p.second.expires_ms <= now; });
    // A client that keeps asking for tokens cannot grow the table: past the
    // limit, its own oldest token makes room.
    std::size_t mine = 0;
    auto oldest = stream_.end();
    for (auto it = stream_.begin(); it != stream_.end(); ++it)
        if (it->second.who.grant == who.grant) {
            ++mine;
            if (oldest == stream_.end() || it->second.issued < oldest->second.issued) oldest = it;
        }
    if (mine >= kStreamTokensEach) stream_.erase(oldest);
    const auto ttl_ms = std::chrono::duration_cast<std::chrono::milliseconds>(ttl).count();
    stream_[token] = {who, now + static_cast<std::uint64_t>(ttl_ms), next_issued_++};
    return token;
}

std::optional<Identity> Tokens::check_stream_token(std::string_view token) {
    std::lock_guard lk(mu_);
    auto it = stream_.find(std::string(token));
    if (it == stream_.end()) return std::nullopt;
    if (it->second.expires_ms <= clock_() || !holds_locked(it->second.who)) {
        stream_.erase(it);
        return std::nullopt;
    }
    return it->second.who;
}

} // namespace cabinetd
