// The two-person rule over HTTP: operator A's open of a two-person door
// answers 202 awaiting_approval and waits here; operator B approves it with
// POST /api/approvals/{id} and gets the open's own answer; DELETE withdraws
// (A) or declines (anyone else who may open that door).
//
// A settled approval is never used again: POST on one approved, declined or
// withdrawn is 409, on one expired 410 (gone for good, not a conflict anyone
// could resolve by waiting); its code says which.
#include "http_api.h"

#include "http_views.h"

#include <fmt/format.h>

namespace cabinetd {

using nlohmann::json;

namespace {

using Approval = Approvals::Approval;
using State = Approvals::State;

Response coded(int status, std::string_view code, const std::string &text) {
    return error_response(status, fmt::format("{}: {}", code, text));
}

json approval_json(const Approval &a, const Identity &who) {
    json j{{"approval_id", a.id},
           {"status", to_string(a.state)},
           {"cabinet", a.cabinet},
           {"door", a.args.door},
           {"requested_by", a.args.requested_by},
           {"reason", a.args.reason.empty() ? json() : json(a.args.reason)},
           {"pulse_ms", a.args.pulse_ms},
           {"ttl_ms", a.args.ttl_ms},
           {"expires_at_ms", a.expires_at_ms}};
    j["may_approve"] = a.state == State::Pending && who.role == Role::Operator &&
        a.args.requested_by != who.name && permits(who, a.cabinet, static_cast<int>(a.args.door));
    return j;
}

Response awaiting(const Approval &a) {
    return json_response(202,
                         {{"status", "awaiting_approval"},
                          {"approval_id", a.id},
                          {"expires_at_ms", a.expires_at_ms},
                          {"cabinet", a.cabinet},
                          {"door", a.args.door}});
}

// What became of an approval that is no longer pending.
Response settled(const Approval &a) {
    const auto by = a.settled_by.empty() ? std::string() : " by " + a.settled_by;
    switch (a.state) {
    case State::Approved: return coded(409, "approval_used", "this approval was used" + by);
    case State::Declined: return coded(409, "approval_declined", "this approval was declined" + by);
    case State::Withdrawn:
        return coded(409, "approval_withdrawn", "this approval was withdrawn" + by);
    case State::Expired: return coded(410, "approval_expired", "this approval expired");
    case State::Pending: break;
    }
    return awaiting(a);
}

Response step_refused(const Approvals::Settling &s, const std::string &id, const Identity &who) {
    using Step = Approvals::Step;
    switch (s.step) {
    case Step::Unknown: return error_response(404, fmt::format("no approval {}", id));
    case Step::SamePerson:
        return coded(403, "same_person",
                     "an open needs a second person: another operator must approve it");
    case Step::NotPermitted:
        return coded(403, "not_permitted",
                     fmt::format("token \"{}\" may not open door {} of cabinet {}", who.name,
                                 s.approval.args.door, s.approval.cabinet));
    case Step::Settled:
    case Step::Done: break;
    }
    return settled(s.approval);
}

} // namespace

Answer ask_approval(const ApiRequest &req, ApiContext &ctx, OpenArgs args) {
    const auto cabinet = req.param("cabinet");
    auto asked = ctx.approvals.request(cabinet, std::move(args));
    using R = Approvals::Refusal;
    switch (asked.refusal) {
    case R::None: break;
    case R::KeyReused: return coded(409, "key_reused", asked.text);
    case R::RequesterFull: {
        auto out = coded(429, "too_many_approvals", asked.text);
        out.headers.emplace_back(http::field::retry_after, "5");
        return out;
    }
    case R::Full: return coded(503, "approvals_full", asked.text);
    case R::NoRandom: return coded(503, "no_random_source", asked.text);
    case R::JournalUnavailable: return coded(503, "journal_unavailable", asked.text);
    }
    const auto &a = asked.approval;
    if (a.state == State::Approved && a.result) {
        auto again = *a.result;
        again.replayed = true;
        return command_response(again);
    }
    if (a.state == State::Approved)
        return coded(409, "in_progress", "the approved open is still waiting for its answer");
    return settled(a);
}

Answer get_approvals(const ApiRequest &req, ApiContext &ctx) {
    json list = json::array();
    for (const auto &a : ctx.approvals.pending(req.who)) list.push_back(approval_json(a, req.who));
    return json_response(200, {{"approvals", list}});
}

Answer post_approval(const ApiRequest &req, ApiContext &ctx) {
    const auto &id = req.param("id");
    auto s = ctx.approvals.approve(id, req.who);
    if (s.step != Approvals::Step::Done) return step_refused(s, id, req.who);
    Cabinet *cab = ctx.cabinet(s.approval.cabinet);
    if (!cab) return no_cabinet(s.approval.cabinet);
    OpenArgs args = s.approval.args;
    args.approved_by = req.who.name;
    args.approval_id = s.approval.id;
    cab->open(std::move(args),
              [&approvals = ctx.approvals, a = s.approval, respond = req.respond](CommandResult r) {
                  approvals.opened(a, r);
                  respond(command_response(r));
              });
    return std::nullopt;
}

Answer delete_approval(const ApiRequest &req, ApiContext &ctx) {
    const auto &id = req.param("id");
    auto s = ctx.approvals.cancel(id, req.who);
    if (s.step != Approvals::Step::Done) return step_refused(s, id, req.who);
    return json_response(200, approval_json(s.approval, req.who));
}

} // namespace cabinetd
