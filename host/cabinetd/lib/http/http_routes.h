// The API's routes: method and path pattern to handler, with the role each
// needs. Pattern segments in braces ("{cabinet}") match any one segment and
// are handed to the handler by that name.
#pragma once

#include "http_api.h"

#include <string_view>
#include <variant>

namespace cabinetd {

enum class Access { Public, Viewer, Operator };

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

// The route for a request, or the answer when there is none: 404 for a path
// no route has (or one that is not canonical), 405 for a method its route
// does not take, 400 for a malformed query.
std::variant<RouteMatch, Response> find_route(http::verb method, std::string_view target);

} // namespace cabinetd
