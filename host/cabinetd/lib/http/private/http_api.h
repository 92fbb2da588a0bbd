// The API's handlers, as Beast's examples write them: a function from a
// request (and what the API works with) to a response. A handler that waits
// on a controller or on the journal answers later, through the request's
// respond, from whatever thread it is on.
#pragma once

#include "api_context.h"
#include "http_query.h"

#include <boost/beast/http.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace cabinetd {

class ReaderThread;

namespace http = boost::beast::http;
using Request = http::request<http::string_body>;

// A header of an answer: one HTTP knows, or one of cabinetd's own by name.
using HeaderName = std::variant<http::field, std::string>;

struct Response {
    http::status status = http::status::ok;
    std::string body;
    std::string content_type = "application/json";
    std::vector<std::pair<HeaderName, std::string>> headers;
    bool keep_alive = true; // false: the connection closes after it
};

// What every answer says, the page's files and the event stream included:
// nothing from anywhere but here, no inline script, no framing, no guessing
// of content types.
template <class Message> void common_headers(Message &m) {
    m.set(http::field::server, "cabinetd");
    m.set(http::field::cache_control, "no-store");
    m.set("Content-Security-Policy",
          "default-src 'none'; script-src 'self'; style-src 'self'; "
          "img-src 'self'; connect-src 'self'; "
          "base-uri 'none'; form-action 'self'; frame-ancestors 'none'");
    m.set("X-Content-Type-Options", "nosniff");
    m.set("X-Frame-Options", "DENY");
    m.set("Referrer-Policy", "no-referrer");
}

Response json_response(int status, const nlohmann::json &j);
// {"error": message}; a 401 also says how to authenticate. What a refusal
// becomes (refusal_response).
Response error_response(int status, const std::string &message, bool keep_alive = true);
// The one answer to a refusal, whoever refused: its status by its code, and
// {"error": ...}. HTTP's own refusals (bad_request 400, unauthorized 401,
// not_found 404, method_not_allowed 405, unsupported_media_type 415,
// out_of_range 422, too_many_requests 429, internal_error 500, unavailable
// 503; and, closing the connection, a connection's places, 429, and bytes
// that are no request it takes: malformed_request 400, misdirected_request
// 421, payload_too_large 413, header_fields_too_large 431, not_implemented
// 501, http_version_not_supported 505) say their words alone; every other code (the policy's, a cabinet's before the line, the
// approvals') is named before its words, "code: words", with its status
// (reason_required 400; the approvals' 409, 410, 429, 503;
// journal_unavailable 503; anything else 403).
Response refusal_response(const Refusal &r);
// No cabinet of that name: not_found.
Refusal no_cabinet(std::string_view name);
// A cabinet a request names: refused when the policy does not let the token
// read it (whether or not there is one, so a scope does not tell which
// exist); else the cabinet, or no_cabinet.
Result<Cabinet *> scoped_cabinet(const Principal &who, const ApiContext &ctx,
                                 std::string_view name);
// The answer to an open or a fault clear, by its outcome.
Response command_response(const CommandResult &r);

struct ApiRequest {
    const Request &http;
    const QueryParams &query;
    // The parts of the path a route's pattern names, as {name}.
    std::vector<std::pair<std::string_view, std::string>> params;
    Principal who;                         // for a route that needs a token
    ReaderThread &reader;                  // for audit reads of the journal
    std::function<void(Response)> respond; // a later answer, once, from any thread

    const std::string &param(std::string_view name) const;
    bool for_operator() const { return who.role == Role::Operator; }
};

// An answer now, or nothing: the handler answers later through respond.
using Answer = std::optional<Response>;
using Handler = Answer (*)(const ApiRequest &, ApiContext &);

Answer get_health(const ApiRequest &req, ApiContext &ctx);
Answer get_metrics(const ApiRequest &req, ApiContext &ctx);
Answer get_openapi(const ApiRequest &req, ApiContext &ctx);
Answer get_cabinets(const ApiRequest &req, ApiContext &ctx);
Answer get_cabinet(const ApiRequest &req, ApiContext &ctx);
Answer post_clear_fault(const ApiRequest &req, ApiContext &ctx);
Answer post_open(const ApiRequest &req, ApiContext &ctx);
// Acknowledges a cabinet's active alarms, or the one the body names.
Answer post_alarm_ack(const ApiRequest &req, ApiContext &ctx);
Answer get_events(const ApiRequest &req, ApiContext &ctx);
Answer get_whoami(const ApiRequest &req, ApiContext &ctx);
Answer post_stream_token(const ApiRequest &req, ApiContext &ctx);
// The journal's hash chain head, for a site to keep as an anchor.
Answer get_journal_head(const ApiRequest &req, ApiContext &ctx);
// Opens of two-person doors: A's open kept for approval (post_open hands it
// over), the pending ones listed, approved or withdrawn and declined.
Answer ask_approval(const ApiRequest &req, ApiContext &ctx, OpenArgs args);
Answer get_approvals(const ApiRequest &req, ApiContext &ctx);
Answer post_approval(const ApiRequest &req, ApiContext &ctx);
Answer delete_approval(const ApiRequest &req, ApiContext &ctx);
// The operator page's files: anything outside /api that no route names.
Answer get_static(const ApiRequest &req, ApiContext &ctx);

} // namespace cabinetd
