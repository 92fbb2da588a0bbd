#include "http_api.h"
#include "command.h"

#include "decimal.h"
#include "events_csv.h"
#include "events_query.h"
#include "http_views.h"
#include "metrics_text.h"
#include "openapi.h"
#include "reader_thread.h"
#include "strict_json.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/protocol.h>

#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <variant>

namespace cabinetd {

using nlohmann::json;

// A text that is not UTF-8 (a header's bytes quoted in a refusal) is
// answered with U+FFFD in place of what is not, never an exception: a
// refusal of the header is made on the server's thread, outside any
// handler's catch.
Response json_response(int status, const json &j) {
    return Response{static_cast<http::status>(status),
                    j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n",
                    "application/json",
                    {}};
}

Response error_response(int status, const std::string &message, bool keep_alive) {
    auto r = json_response(status, {{"error", message}});
    if (status == 401)
        r.headers.emplace_back(http::field::www_authenticate, "Bearer realm=\"cabinetd\"");
    r.keep_alive = keep_alive;
    return r;
}

namespace {

// How a refusal is answered: its status, whether its code is named before
// its words, and whether the connection stays.
struct Answered {
    std::string_view code;
    int status;
    bool named;
    bool keep_alive = true;
};

constexpr Answered kAnswered[] = {
    // HTTP's own: the words say it all.
    {"bad_request", 400, false},
    {"unauthorized", 401, false},
    {"not_found", 404, false},
    {"method_not_allowed", 405, false},
    {"unsupported_media_type", 415, false},
    {"out_of_range", 422, false},
    {"too_many_requests", 429, false},
    {"internal_error", 500, false},
    {"unavailable", 503, false},
    // Bytes that are no request this server takes: the connection closes.
    {"malformed_request", 400, false, false},
    {"misdirected_request", 421, false, false},
    {"payload_too_large", 413, false, false},
    {"header_fields_too_large", 431, false, false},
    {"not_implemented", 501, false, false},
    {"http_version_not_supported", 505, false, false},
    // A connection's places (token_places.h): the connection closes.
    {"token_connections", 429, false, false},
    {"token_streams", 429, false, false},
    {"viewer_connections", 429, false, false},
    {"token_places", 429, false, false},
    // cabinetd's, named.
    {"reason_required", 400, true},
    {"approval_used", 409, true},
    {"approval_declined", 409, true},
    {"approval_withdrawn", 409, true},
    {"approval_revoked", 409, true},
    {"approval_expired", 410, true},
    {"in_progress", 409, true},
    {"key_reused", 409, true},
    {"too_many_approvals", 429, true},
    {"approvals_full", 503, true},
    {"no_random_source", 503, true},
    {"journal_unavailable", 503, true},
};

} // namespace

Response refusal_response(const Refusal &r) {
    Answered how{r.code, 403, true}; // the policy's, and any other of cabinetd's
    for (const auto &a : kAnswered)
        if (a.code == r.code) how = a;
    return error_response(how.status, how.named ? fmt::format("{}: {}", r.code, r.text) : r.text,
                          how.keep_alive);
}

Refusal no_cabinet(std::string_view name) {
    return Refusal{"not_found", fmt::format("no cabinet named \"{}\"", name)};
}

Result<Cabinet *> scoped_cabinet(const Principal &who, const ApiContext &ctx,
                                 std::string_view name) {
    if (auto d = ctx.policy.decide(who, Action::Read, name); !d) return d.refusal();
    if (Cabinet *cab = ctx.cabinet(name)) return cab;
    return no_cabinet(name);
}

const std::string &ApiRequest::param(std::string_view name) const {
    for (auto &[n, v] : params)
        if (n == name) return v;
    static const std::string none;
    return none;
}

namespace {

Response text_response(std::string body, std::string type) {
    return Response{http::status::ok, std::move(body), std::move(type), {}};
}

// The HTTP status of an open's or a clear's outcome: 202 for an open under
// way, 200 for one whose cycle was waited for (however it ended: the body's
// outcome says how) and for a clear, 409 for a refusal, or 422 for one of a
// command the controller could not take as it was (a value out of range, a
// line it could not read) and a command that could not be built, 504 for no
// answer in time, 503 when it never reached the controller.
int http_status(const CommandResult &r) {
    using cabinet_host::Outcome;
    if (r.cycle_end) return 200;
    switch (r.outcome) {
    case Outcome::Done: return r.command == cabinet_host::RequestKind::Open ? 202 : 200;
    case Outcome::Refused: return cabinet_host::is_command_error_ack(r.code) ? 422 : 409;
    case Outcome::Error: return 422;
    case Outcome::Fault: return 409;
    case Outcome::Timeout: return 504;
    case Outcome::ConnectionLost:
    case Outcome::Interrupted: return 503;
    }
    return 500;
}

// The answer to an open or a clear, once the controller has given it.
std::function<void(CommandResult)> replier(const ApiRequest &req) {
    return [respond = req.respond](CommandResult r) { respond(command_response(r)); };
}

} // namespace

Response command_response(const CommandResult &r) {
    // Refused before the line, by the policy or for a want of the client's
    // (like a bad body): the refusal's own answer.
    for (const char *code :
         {"reason_required", "not_permitted", "outside_hours", "same_person", "approval_required"})
        if (r.code == code) return refusal_response({r.code, r.text});
    return json_response(http_status(r), result_json(r));
}

namespace {

const char *content_type(const std::string &file) {
    const auto ext = file.substr(file.rfind('.') + 1);
    if (ext == "html") return "text/html; charset=utf-8";
    if (ext == "js") return "text/javascript; charset=utf-8";
    if (ext == "css") return "text/css; charset=utf-8";
    if (ext == "svg") return "image/svg+xml";
    if (ext == "png") return "image/png";
    return "application/octet-stream";
}

} // namespace

Answer get_health(const ApiRequest &, ApiContext &ctx) {
    json cabs = json::object();
    for (auto &[c, ep] : ctx.cabinets) cabs[c->name()] = to_string(c->status().link);
    if (auto why = ctx.degraded())
        return json_response(503, {{"status", "degraded"}, {"reason", *why}, {"cabinets", cabs}});
    return json_response(200, {{"status", "ok"}, {"cabinets", cabs}});
}

Answer get_metrics(const ApiRequest &, ApiContext &ctx) {
    return text_response(metrics_text(ctx), "text/plain; version=0.0.4; charset=utf-8");
}

Answer get_openapi(const ApiRequest &, ApiContext &) {
    return text_response(std::string(openapi_json()), "application/json");
}

namespace {

// Made once per change of the cabinet's status, not per request.
std::string cabinet_json(const Cabinet &c, const ApiRequest &req, const ApiContext &ctx) {
    return ctx.status_text(c, req.who);
}

} // namespace

Answer get_cabinets(const ApiRequest &req, ApiContext &ctx) {
    std::string out = "{\"cabinets\":[";
    bool first = true;
    for (auto &[c, ep] : ctx.cabinets)
        if (ctx.policy.decide(req.who, Action::Read, c->name())) {
            if (!std::exchange(first, false)) out += ',';
            out += cabinet_json(*c, req, ctx);
        }
    return text_response(out + "]}\n", "application/json");
}

Answer get_cabinet(const ApiRequest &req, ApiContext &ctx) {
    const auto cab = scoped_cabinet(req.who, ctx, req.param("cabinet"));
    if (!cab) return refusal_response(cab.refusal());
    return text_response(cabinet_json(**cab, req, ctx) + "\n", "application/json");
}

// The cabinet a request acts on: configured, or the policy's refusal (for a
// cabinet the token may not read, configured or not, so that a scope does
// not tell which exist), or 404. What the token may do there the cabinet
// asks the policy as it acts (and journals a refusal).
namespace {

Result<Cabinet *> acted_on(const ApiRequest &req, const ApiContext &ctx) {
    const auto &name = req.param("cabinet");
    if (Cabinet *cab = ctx.cabinet(name)) return cab;
    if (auto d = ctx.policy.decide(req.who, Action::Read, name); !d) return d.refusal();
    return no_cabinet(name);
}

} // namespace

Answer post_clear_fault(const ApiRequest &req, ApiContext &ctx) {
    const auto cab = acted_on(req, ctx);
    if (!cab) return refusal_response(cab.refusal());
    (*cab)->clear_fault(ClearArgs{req.who, req.who.name, {}, {}}, replier(req));
    return std::nullopt;
}

namespace {

// The alarm an acknowledgement names: none (every active one) for an empty
// body or {}; {"alarm_id": "<32 hex digits>"} for one. Refused when the
// body is none of these.
Result<std::optional<std::string>> read_ack_body(const ApiRequest &req) {
    const auto &body = req.http.body();
    if (body.empty()) return std::optional<std::string>();
    const auto ct = req.http[http::field::content_type];
    if (ct.substr(0, ct.find(';')) != "application/json")
        return Refusal{"unsupported_media_type", "the body must be application/json"};
    const auto parsed = parse_strict_json(body);
    if (!parsed) return parsed.refusal();
    const auto &j = *parsed;
    if (!j.is_object()) return Refusal{"bad_request", "the body must be a JSON object"};
    for (auto &[key, v] : j.items())
        if (key != "alarm_id")
            return Refusal{"bad_request", fmt::format("unknown field \"{}\"", key)};
    if (!j.contains("alarm_id")) return std::optional<std::string>();
    const auto &id = j["alarm_id"];
    const bool hex = id.is_string() && id.get_ref<const std::string &>().size() == 32 &&
        std::all_of(id.get_ref<const std::string &>().begin(),
                    id.get_ref<const std::string &>().end(),
                    [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
    if (!hex) return Refusal{"bad_request", "alarm_id: an alarm's id, 32 lower-case hex digits"};
    return std::optional<std::string>(id.get<std::string>());
}

} // namespace

Answer post_alarm_ack(const ApiRequest &req, ApiContext &ctx) {
    const auto &name = req.param("cabinet");
    const auto cab = acted_on(req, ctx);
    if (!cab) return refusal_response(cab.refusal());
    const auto body = read_ack_body(req);
    if (!body) return refusal_response(body.refusal());
    const auto id = *body;
    (*cab)->acknowledge_alarms(id, req.who, [respond = req.respond, id, name](AlarmAck a) {
        switch (a.outcome) {
        case AlarmAck::Outcome::Refused: return respond(refusal_response(a.refusal));
        case AlarmAck::Outcome::Done:
            return respond(json_response(200, {{"acknowledged", a.acknowledged}}));
        case AlarmAck::Outcome::UnknownId:
            return respond(refusal_response(
                {"not_found",
                 fmt::format("no active alarm {} on cabinet {}", id.value_or(""), name)}));
        case AlarmAck::Outcome::JournalUnavailable:
            return respond(refusal_response({"journal_unavailable",
                                             "the journal cannot write, so no acknowledgement "
                                             "can be recorded; try again once it can"}));
        }
    });
    return std::nullopt;
}

namespace {

// The client's idempotency key: none (empty) when it gave none, refused
// when what it gave is not one.
Result<std::string> read_key(const ApiRequest &req) {
    namespace ch = cabinet_host;
    auto key = req.http.find("Idempotency-Key");
    if (key == req.http.end()) return std::string();
    // A header that is there but empty is a client's mistake, not "no key":
    // taking it for none would open again on every retry.
    if (key->value().empty())
        return Refusal{"bad_request",
                       fmt::format("Idempotency-Key is empty: give 1 to {} letters, digits, '-', "
                                   "'.', ':' or '_', or leave the header out",
                                   ch::kRequestIdMax)};
    if (!ch::is_identifier(key->value(), ch::kRequestIdMax))
        return Refusal{
            "bad_request",
            fmt::format("Idempotency-Key: use 1 to {} letters, digits, '-', '.', ':' or '_'",
                        ch::kRequestIdMax)};
    return std::string(key->value());
}

} // namespace

Answer post_open(const ApiRequest &req, ApiContext &ctx) {
    const auto acted = acted_on(req, ctx);
    if (!acted) return refusal_response(acted.refusal());
    Cabinet *cab = *acted;
    OpenInput in;
    in.door = req.param("door");
    if (auto w = req.query.find("wait"); w != req.query.end()) in.wait = w->second;
    if (!req.http.body().empty()) {
        auto ct = req.http[http::field::content_type];
        in.body = std::string_view(req.http.body());
        in.body_is_json = ct.substr(0, ct.find(';')) == "application/json";
    }
    const auto parsed = parse_open(in, Front::Http);
    if (!parsed) return refusal_response(parsed.refusal());
    OpenArgs args = parsed->open_args();
    args.who = req.who;
    args.requested_by = req.who.name;
    const auto key = read_key(req);
    if (!key) return refusal_response(key.refusal());
    if (!key->empty()) {
        args.key = *key;
        args.key_scope = "http:" + req.who.name; // a token's keys are its own
    }
    // An open that lacks the reason its door needs is refused now, by the
    // cabinet, rather than after a second operator has approved it.
    const bool lacks_reason = args.reason.empty() && cab->needs_reason(args.door);
    if (cab->needs_approval(args.door) && !lacks_reason)
        return ask_approval(req, ctx, std::move(args));
    cab->open(std::move(args), replier(req));
    return std::nullopt;
}

namespace {

// The journal query an events request asks for; refused when it is not one.
Result<EventsRequest> events_query(const ApiRequest &req, ApiContext &ctx) {
    auto parsed = parse_events_query(req.query, req.http[http::field::accept]);
    if (!parsed) return parsed;
    auto &events = *parsed;
    // An empty name is no filter, as it always was: a scoped token's is its
    // own cabinets.
    auto &name = events.query.cabinet;
    if (!name.empty())
        if (auto cab = scoped_cabinet(req.who, ctx, name); !cab) return cab.refusal();
    if (auto readable = ctx.policy.readable(req.who)) {
        // No cabinet at all is no filter to the journal: refused instead.
        if (readable->empty()) return Refusal{"not_permitted", "this token reads nothing"};
        events.query.cabinets = std::move(*readable);
    }
    return parsed;
}

// How many records one audit page examines at most: a search whose filters
// match little answers an empty page, with the cursor to go on from, in tens
// of milliseconds however large the journal is, instead of scanning it all
// while everyone else's search waits.
constexpr std::int64_t kAuditWindow = 20000;

// A page of records as CSV; where to go on from, and whether there may be
// more, events_page says in headers (on JSON answers too, beside `next` and
// `more`).
Response events_csv(ApiContext &ctx, const Journal::Page &page, bool for_operator) {
    std::string body = csv_header();
    for (auto &r : page.records)
        body += csv_row(record_json(r, for_operator, ctx.endpoint(r.cabinet)));
    Response out{http::status::ok, std::move(body), "text/csv; charset=utf-8; header=present", {}};
    out.headers.emplace_back(http::field::content_disposition,
                             "attachment; filename=\"cabinetd-events.csv\"");
    return out;
}

// Runs on the reader thread, where nothing may escape: a failure is the answer.
Response events_page(ApiContext &ctx, const EventsRequest &events, bool for_operator) {
    std::optional<Journal::Page> page;
    try {
        page = ctx.journal.page(events.query, kAuditWindow, Journal::Reader::audit);
    } catch (const std::exception &e) {
        return refusal_response(
            {"internal_error", fmt::format("cannot read the journal: {}", e.what())});
    }
    try {
        Response out;
        if (events.csv) out = events_csv(ctx, *page, for_operator);
        else {
            json records = json::array();
            for (auto &r : page->records)
                records.push_back(record_json(r, for_operator, ctx.endpoint(r.cabinet)));
            out = json_response(
                200, {{"events", records}, {"next", page->scanned_to}, {"more", page->more}});
        }
        out.headers.emplace_back(std::string("Cabinetd-Next"), std::to_string(page->scanned_to));
        out.headers.emplace_back(std::string("Cabinetd-More"), page->more ? "true" : "false");
        return out;
    } catch (const std::exception &e) {
        return refusal_response({"internal_error", fmt::format("internal error: {}", e.what())});
    }
}

} // namespace

Answer get_events(const ApiRequest &req, ApiContext &ctx) {
    auto query = events_query(req, ctx);
    if (!query) return refusal_response(query.refusal());
    // The read runs on the reader thread, each token's in turn; the answer
    // goes from there.
    const auto queued = req.reader.submit(
        req.who.grant,
        [&ctx, events = *query, for_operator = req.for_operator(), respond = req.respond] {
            respond(events_page(ctx, events, for_operator));
        });
    using Submitted = ReaderThread::Submitted;
    if (queued == Submitted::key_full) {
        auto out = refusal_response(
            {"too_many_requests",
             fmt::format("this token has {} journal reads under way already; try again",
                         ctx.options.audit_reads_per_token)});
        out.headers.emplace_back(http::field::retry_after, "1");
        return out;
    }
    if (queued == Submitted::full)
        return refusal_response({"unavailable", "too many journal reads waiting; try again"});
    return std::nullopt;
}

namespace {

json door_list(std::uint8_t mask) {
    json out = json::array();
    for (unsigned d = 1; d <= 8; ++d)
        if ((mask >> (d - 1)) & 1U) out.push_back(d);
    return out;
}

json ms_or_null(const std::optional<WallTime> &t) {
    return t ? json(t->time_since_epoch().count()) : json();
}

// What the token may do on one cabinet now: the doors it opens (hours
// aside) and those whose alarms it acknowledges, its hours there, whether
// they let it in now, and when that next changes, so a page can redraw then.
json rights_json(const Policy &policy, const Principal &who, const std::string &cabinet) {
    const auto r = policy.rights(who, cabinet);
    json j{{"open", door_list(r.open)},
           {"acknowledge", door_list(r.acknowledge)},
           {"hours", r.hours ? json(hours_text(*r.hours)) : json()},
           {"open_now", true},
           {"next_open_ms", nullptr},
           {"closes_at_ms", nullptr}};
    if (r.hours) {
        const auto now = policy.now();
        const auto &zone = policy.zone();
        j["open_now"] = zone.within(*r.hours, now);
        if (j["open_now"]) j["closes_at_ms"] = ms_or_null(zone.next_close(*r.hours, now));
        else j["next_open_ms"] = ms_or_null(zone.next_open(*r.hours, now));
    }
    return j;
}

} // namespace

Answer get_whoami(const ApiRequest &req, ApiContext &ctx) {
    const auto line = ctx.policy.line_of(req.who);
    json cabinets = json::object();
    for (auto &[c, ep] : ctx.cabinets)
        if (ctx.policy.decide(req.who, Action::Read, c->name()))
            cabinets[c->name()] = rights_json(ctx.policy, req.who, c->name());
    return json_response(200,
                         {{"name", req.who.name},
                          {"role", to_string(req.who.role)},
                          {"scope", line ? scope_json(line->scope) : json()},
                          {"time_zone", ctx.policy.zone().name()},
                          {"cabinets", cabinets}});
}

Answer post_stream_token(const ApiRequest &req, ApiContext &ctx) {
    const auto ttl = ctx.options.stream_token_ttl;
    return json_response(
        200,
        {{"token", ctx.tokens.issue_stream_token(req.who, ttl)}, {"expires_in_s", ttl.count()}});
}

// The chain's head as an anchor, only while the journal's check of its own
// chain found it holding: a head over a broken chain would vouch for what
// was changed.
Answer get_journal_head(const ApiRequest &, ApiContext &ctx) {
    const auto check = ctx.journal.chain_check();
    const auto published = ctx.journal.published_head();
    const auto h = published ? *published : ctx.journal.head();
    nlohmann::json out{{"origin", to_hex(h.origin)},
                       {"count", h.count},
                       {"cursor", h.cursor},
                       {"at_ms", wall_ms()}};
    if (published) {
        out["chain"] = "holds";
        out["hash"] = to_hex(h.hash);
        out["anchor"] = anchor_text(h);
    } else if (check.state == ChainCheck::State::Broken) {
        out["chain"] = "broken";
        out["broken_at"] = check.broken_at;
        out["problem"] = check.problem;
    } else {
        out["chain"] = "checking";
    }
    return json_response(200, out);
}

Answer get_static(const ApiRequest &req, ApiContext &ctx) {
    // One file of the page's folder, by a plain name: nothing in a folder
    // below it, nothing hidden, nothing a path could be made of.
    const auto &file = req.param("file");
    const std::string name = file.empty() ? "index.html" : file;
    const bool safe = name[0] != '.' && std::all_of(name.begin(), name.end(), [](unsigned char c) {
                          return std::isalnum(c) || c == '.' || c == '-' || c == '_';
                      });
    if (ctx.web_root.empty() || !safe) return refusal_response({"not_found", "not found"});
    // A folder opens as a file that reads nothing: it is no file of the page.
    const auto path = ctx.web_root + "/" + name;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return refusal_response({"not_found", "not found"});
    std::ifstream in(path, std::ios::binary);
    if (!in) return refusal_response({"not_found", "not found"});
    std::stringstream ss;
    ss << in.rdbuf();
    return text_response(ss.str(), content_type(name));
}

} // namespace cabinetd
