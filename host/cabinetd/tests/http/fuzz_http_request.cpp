// libFuzzer target for what cabinetd reads of a request's head, once Beast
// has parsed it: the checks before routing (check_header: the version,
// fields given twice, the Host check, the transfer coding), and routing and
// authorisation (route_request: the target split into path and query, the
// route, the bearer token or a stream's query token). The first
// input byte chooses the method, the version and the server's addresses; the
// rest is the target, then one "Name: value" field per line, kept as Beast
// would have parsed them. Nothing is thrown, and every answer is the one the
// rules give: the Host names this server (README, --allowed-host), and the
// route, its method and whether it needs a token are docs/openapi.yaml's (its paths,
// and each operation's security). A target that routes, written back in its
// canonical form, routes to the same place with the same parameters.
#include "fuzz_check.h"
#include "fuzz_form.h"
#include "http_host.h"
#include "http_query.h"
#include "http_routes.h"
#include "openapi.h"
#include "token_file.h"
#include "tokens.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {
namespace {

using fuzz_form::encoded;
using fuzz_form::form;

using nlohmann::json;

const std::string kOperator = "operator-token-0123456789";
const std::string kViewer = "viewer-token-0123456789";

std::string lower(std::string_view s) {
    std::string out(s);
    for (auto &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return out;
}

// --- the server's names ----------------------------------------------------

struct Setup {
    ListenAddress listen;
    std::string listen_name; // as a Host header names it
    bool any = false;        // listening on every address
    std::vector<std::string> allowed;
};
const Setup kSetups[] = {
    {{"127.0.0.1", 8080}, "127.0.0.1", false, {}},
    {{"0.0.0.0", 8080}, "0.0.0.0", true, {"cabinets.example.com", "door-3.example:8443"}},
    {{"::1", 80}, "[::1]", false, {"Cabinets.Example.COM"}},
    {{"::", 8080}, "[::]", true, {}},
};

bool port_text(std::string_view p) {
    return !p.empty() && p.size() <= 5 && (p.size() == 1 || p[0] != '0') &&
        std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
        std::stoul(std::string(p)) <= 65535;
}

// Whether a Host header names this server: its listen address, localhost,
// 127.0.0.1 or [::1], with its port (none for 80); a name allowed without a
// port with any port or none, one allowed with a port with that one; and,
// listening on every address, any IP address with the port.
bool names_us(const Setup &s, std::string_view host) {
    const auto h = lower(host);
    const auto port = std::to_string(s.listen.port);
    const auto with_port = [&](const std::string &name) {
        return h == name + ":" + port || (port == "80" && h == name);
    };
    for (const auto &name :
         {std::string("localhost"), std::string("127.0.0.1"), std::string("[::1]"), s.listen_name})
        if (with_port(name)) return true;
    for (const auto &allowed : s.allowed) {
        const auto a = lower(allowed);
        if (h == a) return true;
        if (a.find(':') == std::string::npos && h.rfind(a + ":", 0) == 0 &&
            port_text(std::string_view(h).substr(a.size() + 1)))
            return true;
    }
    if (!s.any) return false;
    std::string address;
    if (h.size() > port.size() + 1 &&
        h.compare(h.size() - port.size() - 1, std::string::npos, ":" + port) == 0)
        address = h.substr(0, h.size() - port.size() - 1);
    else if (port == "80") address = h;
    else return false;
    unsigned char buf[16];
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
        const auto v6 = address.substr(1, address.size() - 2);
        return inet_pton(AF_INET6, v6.c_str(), buf) == 1;
    }
    return address.find_first_not_of("0123456789.") == std::string::npos &&
        inet_pton(AF_INET, address.c_str(), buf) == 1;
}

using Fields = std::vector<std::pair<std::string, std::string>>;

std::size_t count(const Fields &f, std::string_view name) {
    return static_cast<std::size_t>(
        std::count_if(f.begin(), f.end(), [&](auto &kv) { return lower(kv.first) == name; }));
}

const std::string *field(const Fields &f, std::string_view name) {
    for (auto &[k, v] : f)
        if (lower(k) == name) return &v;
    return nullptr;
}

// The status check_header's refusal is answered with; 0 for none.
int header_status(unsigned version, const Fields &f, const Setup &s) {
    if (version != 10 && version != 11) return 505;
    for (const char *once : {"host", "authorization", "content-type", "transfer-encoding",
                             "content-length", "idempotency-key", "last-event-id"})
        if (count(f, once) > 1) return 400;
    const auto *host = field(f, "host");
    if (!host && version == 11) return 400;
    if (host && !names_us(s, *host)) return 421;
    if (const auto *te = field(f, "transfer-encoding")) {
        if (lower(*te) != "chunked") return 501;
        if (count(f, "content-length")) return 400;
    }
    return 0;
}

// --- the API's routes, as its document has them ----------------------------

enum class Who { Anyone, Viewer, Operator };
struct Operation {
    Who who = Who::Viewer;
    bool stream_token = false;
};
struct Path {
    std::vector<std::string> segments;           // "{...}": any one segment
    std::map<std::string, Operation> operations; // by method, lower case
};

Operation operation_of(const json &op, const json &global) {
    const json &security = op.contains("security") ? op["security"] : global;
    Operation o;
    if (security.empty()) o.who = Who::Anyone;
    for (auto &requirement : security) {
        if (requirement.contains("streamToken")) o.stream_token = true;
        if (requirement.contains("bearer"))
            for (auto &role : requirement["bearer"])
                if (role == "operator") o.who = Who::Operator;
    }
    return o;
}

std::vector<std::string> segments_of(std::string_view path) {
    std::vector<std::string> out;
    std::size_t start = 1;
    while (start <= path.size() && path != "/") {
        const auto end = std::min(path.find('/', start), path.size());
        out.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The document's paths but the page's: "/" and "/{file}" are every path
// outside /api that no other path names, and GET only, for anyone.
const std::vector<Path> &api_paths() {
    static const auto paths = [] {
        const auto doc = json::parse(openapi_json());
        std::vector<Path> out;
        for (auto &[path, item] : doc["paths"].items()) {
            if (path == "/" || path == "/{file}") continue;
            Path p{segments_of(path), {}};
            for (auto &[method, op] : item.items())
                if (method != "parameters")
                    p.operations[method] = operation_of(op, doc["security"]);
            out.push_back(std::move(p));
        }
        return out;
    }();
    return paths;
}

// A path in its one form: "/", or "/" and a segment, any number of times,
// no segment empty.
std::optional<std::vector<std::string>> canonical_path(std::string_view path) {
    if (path == "/") return std::vector<std::string>{};
    if (path.empty() || path[0] != '/' || path.back() == '/' ||
        path.find("//") != std::string_view::npos)
        return std::nullopt;
    return segments_of(path);
}

struct Expected {
    int status = 0; // 0: admitted
    const Path *path = nullptr;
    std::vector<std::string> params;
    std::optional<Principal> who;
};

Expected refusal(int status) {
    Expected e;
    e.status = status;
    return e;
}

Expected routed(http::verb method, std::string_view target, const Fields &f, Tokens &tokens,
                const std::string &stream_token) {
    Expected e;
    const auto q = target.find('?');
    const auto segments = canonical_path(target.substr(0, q));
    if (!segments) return refusal(404);
    const auto query =
        form(q == std::string_view::npos ? std::string_view() : target.substr(q + 1));
    if (!query) return refusal(400);
    const std::string verb = method == http::verb::head ? "get" : lower(http::to_string(method));
    Operation op{Who::Anyone, false};
    bool takes = false;
    for (auto &p : api_paths()) {
        if (p.segments.size() != segments->size()) continue;
        std::vector<std::string> params;
        bool fits = true;
        for (std::size_t i = 0; i < segments->size() && fits; ++i) {
            if (p.segments[i].front() == '{') params.push_back((*segments)[i]);
            else fits = p.segments[i] == (*segments)[i];
        }
        if (!fits) continue;
        e.path = &p;
        e.params = params;
        const auto it = p.operations.find(verb);
        if (it != p.operations.end()) {
            op = it->second;
            takes = true;
            break;
        }
    }
    if (!e.path) {
        if (!segments->empty() && (*segments)[0] == "api") return refusal(404);
        takes = verb == "get";
        e.params = {std::string(target.substr(1, q == std::string_view::npos ? q : q - 1))};
    }
    if (!takes) return refusal(405);
    if (op.who == Who::Anyone) return e;
    const auto *auth = field(f, "authorization");
    if (auth && auth->size() > 7 && lower(auth->substr(0, 7)) == "bearer ")
        e.who = tokens.check(auth->substr(7));
    if (!e.who && op.stream_token && query->count("token") && query->at("token") == stream_token)
        e.who = tokens.check(kViewer);
    // Routing asks only for a token: what the token may do is the policy's
    // to decide, where the action happens.
    if (!e.who) return refusal(401);
    return e;
}

bool tchar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// The fields of the input's lines as Beast's parser hands them on: a token
// for the name, the value without the spaces around it; a line Beast would
// refuse (a control character in the value) is left out.
Fields fields_of(std::string_view lines) {
    Fields out;
    while (!lines.empty()) {
        const auto nl = std::min(lines.find('\n'), lines.size());
        const auto line = lines.substr(0, nl);
        lines.remove_prefix(std::min(nl + 1, lines.size()));
        const auto colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos ||
            !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon), tchar))
            continue;
        auto value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        if (std::any_of(value.begin(), value.end(), [](char c) {
                const auto b = static_cast<unsigned char>(c);
                return (b < 0x20 && b != '\t') || b == 0x7f;
            }))
            continue;
        out.emplace_back(line.substr(0, colon), value);
    }
    return out;
}

// A refusal's body: JSON with the error's words.
bool is_error(const std::string &body) {
    const auto j = json::parse(body, nullptr, false);
    return j.is_object() && j.contains("error") && j["error"].is_string() &&
        !j["error"].get_ref<const std::string &>().empty();
}

// What Beast's parser takes in a request target: any byte but a control
// character, a space or DEL (bytes past ASCII too).
bool target_char(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b > 0x20 && b != 0x7f;
}

struct World {
    Policy policy;
    Tokens tokens{policy, [] { return std::uint64_t{0}; }};
    std::string stream_token;
    World() {
        auto lines = parse_token_file("frontdesk operator " + kOperator + "\nwallboard viewer " +
                                      kViewer + "\n");
        policy.set(std::move(*lines));
        stream_token = tokens.issue_stream_token(*tokens.check(kViewer), std::chrono::seconds(60));
    }
};

std::string replaced(std::string s, std::string_view what, const std::string &with) {
    for (auto at = s.find(what); at != std::string::npos; at = s.find(what, at + with.size()))
        s.replace(at, what.size(), with);
    return s;
}

} // namespace
} // namespace cabinetd

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace cabinetd;
    static World world;
    if (size == 0) return 0;
    constexpr http::verb kMethods[] = {http::verb::get,     http::verb::head, http::verb::post,
                                       http::verb::delete_, http::verb::put,  http::verb::options,
                                       http::verb::patch,   http::verb::trace};
    constexpr unsigned kVersions[] = {11, 10, 20, 9};
    const auto method = kMethods[data[0] & 7];
    const auto version = kVersions[(data[0] >> 3) & 3];
    const Setup &setup = kSetups[(data[0] >> 5) & 3];
    const std::string_view text(reinterpret_cast<const char *>(data + 1), size - 1);
    const auto nl = std::min(text.find('\n'), text.size());
    const auto target =
        replaced(std::string(text.substr(0, nl)), "STREAMTOKEN", world.stream_token);
    if (target.empty() || !std::all_of(target.begin(), target.end(), target_char)) return 0;
    const auto fields = fields_of(text.substr(std::min(nl + 1, text.size())));

    Request req{method, target, version};
    for (auto &[name, value] : fields) req.insert(name, value);

    HostCheck hosts(setup.listen, setup.allowed);
    hosts.set_port(setup.listen.port);
    const auto checked = check_header(req, hosts);
    const auto refused =
        checked ? std::optional<Response>() : std::optional(refusal_response(checked.refusal()));
    const int want_header = header_status(version, fields, setup);
    FUZZ_CHECK(refused ? static_cast<int>(refused->status) == want_header && !refused->keep_alive
                       : want_header == 0);
    if (refused) FUZZ_CHECK(is_error(refused->body));

    const auto got = route_request(req, world.tokens, nullptr);
    const auto want = routed(method, target, fields, world.tokens, world.stream_token);
    if (!got) {
        const auto r = refusal_response(got.refusal());
        FUZZ_CHECK(static_cast<int>(r.status) == want.status && is_error(r.body));
        return 0;
    }
    FUZZ_CHECK(want.status == 0);
    const auto &a = *got;
    FUZZ_CHECK(want.who ? a.who.name == want.who->name && a.who.role == want.who->role
                        : a.who.name.empty());
    std::vector<std::string> params;
    for (auto &[name, value] : a.match.params) params.push_back(value);
    FUZZ_CHECK(params == want.params);

    // Written back in its one form (each parameter's bytes escaped where they
    // could be read otherwise), the target routes the same.
    const auto q = target.find('?');
    std::string again = target.substr(0, q);
    char sep = '?';
    for (auto &[k, v] : a.match.query) {
        again += sep + encoded(k) + "=" + encoded(v);
        sep = '&';
    }
    const auto found = find_route(method, again);
    FUZZ_CHECK(static_cast<bool>(found));
    const auto &m = *found;
    FUZZ_CHECK(m.route == a.match.route && m.params == a.match.params && m.query == a.match.query);
    return 0;
}
