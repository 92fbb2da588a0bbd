#include "http_routes.h"

#include <boost/beast/core/string.hpp>
#include <fmt/format.h>

#include <array>

namespace cabinetd {
namespace {

constexpr std::array kRoutes{
    Route{http::verb::get, "/healthz", Access::Public, get_health},
    Route{http::verb::get, "/metrics", Access::Public, get_metrics},
    // The API's description is public, like the page.
    Route{http::verb::get, "/api/openapi.json", Access::Public, get_openapi},
    Route{http::verb::get, "/api/cabinets", Access::Token, get_cabinets},
    Route{http::verb::get, "/api/cabinets/{cabinet}", Access::Token, get_cabinet},
    Route{http::verb::post, "/api/cabinets/{cabinet}/clear-fault", Access::Token, post_clear_fault},
    Route{http::verb::post, "/api/cabinets/{cabinet}/doors/{door}/open", Access::Token, post_open},
    Route{http::verb::post, "/api/cabinets/{cabinet}/alarms/ack", Access::Token, post_alarm_ack},
    Route{http::verb::get, "/api/events", Access::Token, get_events},
    Route{http::verb::get, "/api/whoami", Access::Token, get_whoami},
    Route{http::verb::post, "/api/stream-token", Access::Token, post_stream_token},
    Route{http::verb::get, "/api/stream", Access::Token, nullptr, true},
    Route{http::verb::get, "/api/journal/head", Access::Token, get_journal_head},
    Route{http::verb::get, "/api/approvals", Access::Token, get_approvals},
    Route{http::verb::post, "/api/approvals/{id}", Access::Token, post_approval},
    Route{http::verb::delete_, "/api/approvals/{id}", Access::Token, delete_approval},
};

// The page's files: whatever is outside /api and no route above names.
constexpr Route kStaticRoute{http::verb::get, "", Access::Public, get_static};

// The segments of a request target's path; nothing for a path that is not
// canonical (none at all: "?x", empty segments: "//", a trailing "/").
std::optional<std::vector<std::string>> split_path(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::vector<std::string> out;
    if (target == "/") return out;
    if (target.empty()) return std::nullopt;
    while (!target.empty()) {
        if (target.front() != '/') return std::nullopt;
        target.remove_prefix(1);
        const auto slash = target.find('/');
        if (slash == 0 || target.empty()) return std::nullopt;
        out.emplace_back(target.substr(0, slash));
        if (slash == std::string_view::npos) break;
        target.remove_prefix(slash);
    }
    return out;
}

// Whether the path fits the pattern; its {named} segments go to params.
bool matches(std::string_view pattern, const std::vector<std::string> &path,
             std::vector<std::pair<std::string_view, std::string>> &params) {
    params.clear();
    std::size_t i = 0;
    while (!pattern.empty()) {
        pattern.remove_prefix(1); // the '/'
        const auto seg = pattern.substr(0, pattern.find('/'));
        pattern.remove_prefix(seg.size());
        if (i == path.size()) return false;
        if (seg.size() > 2 && seg.front() == '{' && seg.back() == '}')
            params.emplace_back(seg.substr(1, seg.size() - 2), path[i]);
        else if (seg != path[i]) return false;
        ++i;
    }
    return i == path.size();
}

bool takes(const Route &r, http::verb method) {
    return method == r.method || (r.method == http::verb::get && method == http::verb::head);
}

// The identity a request's bearer token grants, or nothing.
std::optional<Principal> bearer(const Request &req, const Tokens &tokens) {
    const auto h = req[http::field::authorization];
    constexpr std::string_view scheme = "Bearer ";
    if (h.size() <= scheme.size() || !boost::beast::iequals(h.substr(0, scheme.size()), scheme))
        return std::nullopt;
    return tokens.check(std::string_view(h.data() + scheme.size(), h.size() - scheme.size()));
}

// Who asks, for a route that needs a token; the refusal when nobody valid does.
Result<Principal> authorise(const Request &req, const RouteMatch &m, Tokens &tokens,
                            const TakePlace &take_place) {
    std::optional<Principal> who = bearer(req, tokens);
    const auto query_token = m.route->stream ? m.query.find("token") : m.query.end();
    if (!who && query_token != m.query.end()) who = tokens.check_stream_token(query_token->second);
    if (!who) {
        const bool sent = !req[http::field::authorization].empty() || query_token != m.query.end();
        return Refusal{"unauthorized",
                       sent ? "the token is not valid"
                            : "a bearer token is required (Authorization: Bearer ...)"};
    }
    if (take_place)
        if (auto taken = take_place(*who); !taken) return taken.refusal();
    return std::move(*who);
}

} // namespace

Result<Admitted> route_request(const Request &req, Tokens &tokens, const TakePlace &take_place) {
    auto found = find_route(req.method(), req.target());
    if (!found) return found.refusal();
    Admitted a{std::move(*found), Principal{}};
    if (a.match.route->access == Access::Public) return a;
    auto who = authorise(req, a.match, tokens, take_place);
    if (!who) return who.refusal();
    a.who = std::move(*who);
    return a;
}

Result<RouteMatch> find_route(http::verb method, std::string_view target) {
    const auto path_text = std::string(target.substr(0, target.find('?')));
    const auto path = split_path(target);
    if (!path) return Refusal{"not_found", fmt::format("no such resource: {}", path_text)};
    RouteMatch m;
    auto q = parse_query(target);
    if (!q) return Refusal{"bad_request", "malformed query string (or a parameter given twice)"};
    m.query = std::move(*q);
    // A path may have a route per method: the one that takes this method,
    // else the first (which answers 405).
    for (auto &r : kRoutes)
        if (matches(r.pattern, *path, m.params)) {
            if (!m.route) m.route = &r;
            if (takes(r, method)) {
                m.route = &r;
                break;
            }
        }
    if (m.route) matches(m.route->pattern, *path, m.params);
    if (!m.route && (path->empty() || (*path)[0] != "api")) {
        m.route = &kStaticRoute;
        m.params = {{"file", path_text.empty() ? std::string() : path_text.substr(1)}};
    }
    if (!m.route) return Refusal{"not_found", fmt::format("no such resource: {}", path_text)};
    if (!takes(*m.route, method))
        return Refusal{"method_not_allowed",
                       fmt::format("use {} here", std::string(http::to_string(m.route->method)))};
    return m;
}

} // namespace cabinetd
