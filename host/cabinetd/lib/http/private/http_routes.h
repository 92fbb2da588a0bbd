// The API's routes: method and path pattern to handler, and whether each
// needs a token (what the token may do there is the policy's to say). Pattern segments in braces ("{cabinet}") match any one segment and
// are handed to the handler by that name.
#pragma once

#include "http_api.h"

#include <functional>
#include <optional>
#include <string_view>
#include <variant>

namespace cabinetd {

enum class Access { Public, Token };

struct Route {
    http::verb method; // GET also answers HEAD
    std::string_view pattern;
    Access access;
    Handler handler;
    // The event stream: the connection is handed over to it, and a browser
    // may give its token in the query (it cannot send headers).
    bool stream = false;
};

struct RouteMatch {
    const Route *route = nullptr;
    QueryParams query;
    std::vector<std::pair<std::string_view, std::string>> params;
};

// The route for a request, or refused when there is none: not_found for a
// path no route has (or one that is not canonical), method_not_allowed for a
// method its route does not take, bad_request for a malformed query.
Result<RouteMatch> find_route(http::verb method, std::string_view target);

// A request its route lets through, and who asks (nobody for a public route).
struct Admitted {
    RouteMatch match;
    Principal who;
};

// Takes a place among the connections with a token for the one who asks;
// refused (the connection closes) when that token, or the viewers together,
// hold every place they may.
using TakePlace = std::function<Result<>(const Principal &who)>;

// The route for a request and whether who asks may use it: find_route's
// refusals, then unauthorized without a valid bearer token (a stream's route also
// takes a stream token in the query, where a browser puts it). A valid
// token takes its place at once: a connection that showed one holds its
// place whatever it asks for.
Result<Admitted> route_request(const Request &req, Tokens &tokens, const TakePlace &take_place);

} // namespace cabinetd
