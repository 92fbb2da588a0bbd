// The two-person rule over HTTP: operator A's open of a two-person door
// answers 202 awaiting_approval and waits here; operator B approves it with
// POST /api/approvals/{id} and gets the open's own answer; DELETE withdraws
// (A) or declines (anyone else who may open that door). Who may is the
// policy's to say (Approvals asks it); a refusal is journalled by the
// cabinet, as every refusal is.
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

using Ask = Approvals::Ask;
using State = Approvals::State;

json approval_json(const Ask &a, const Decision &may_approve) {
    json j{{"approval_id", a.id},
           {"status", to_string(a.state)},
           {"cabinet", a.cabinet},
           {"door", a.args.door},
           {"requested_by", a.args.requested_by},
           {"reason", a.args.reason.empty() ? json() : json(a.args.reason)},
           {"pulse_ms", a.args.pulse_ms},
           {"ttl_ms", a.args.ttl_ms},
           {"expires_at_ms", a.expires_at_ms}};
    j["may_approve"] = a.state == State::Pending && static_cast<bool>(may_approve);
    return j;
}

Response awaiting(const Ask &a) {
    return json_response(202,
                         {{"status", "awaiting_approval"},
                          {"approval_id", a.id},
                          {"expires_at_ms", a.expires_at_ms},
                          {"cabinet", a.cabinet},
                          {"door", a.args.door}});
}

// What became of an approval that is no longer pending.
Response settled(const Ask &a) {
    const auto by = a.settled_by.empty() ? std::string() : " by " + a.settled_by;
    switch (a.state) {
    case State::Approved: return refusal_response({"approval_used", "this approval was used" + by});
    case State::Declined:
        return refusal_response({"approval_declined", "this approval was declined" + by});
    case State::Withdrawn:
        return refusal_response({"approval_withdrawn", "this approval was withdrawn" + by});
    case State::Expired: return refusal_response({"approval_expired", "this approval expired"});
    case State::Revoked:
        return refusal_response({"approval_revoked", "this approval was revoked: " + a.settled_by});
    case State::Pending: break;
    }
    return awaiting(a);
}

Response step_refused(const Approvals::Settling &s, const std::string &id) {
    using Step = Approvals::Step;
    switch (s.step) {
    case Step::Unknown: return refusal_response({"not_found", fmt::format("no approval {}", id)});
    case Step::Refused:
    case Step::Revoked: return refusal_response(s.decision.refusal());
    case Step::Settled:
    case Step::Done: break;
    }
    return settled(s.ask);
}

// A refusal of an approve or decline, on record like any other (a revoked
// approval is on record as its own step).
void journal_refusal(ApiContext &ctx, const Approvals::Settling &s, const Principal &who) {
    if (s.step != Approvals::Step::Refused) return;
    if (Cabinet *cab = ctx.cabinet(s.ask.cabinet)) {
        OpenArgs args = s.ask.args;
        args.who = who;
        args.requested_by = who.name;
        args.reason.clear();
        args.approval.reset();
        cab->refuse(args, s.decision, Action::Approve);
    }
}

} // namespace

Answer ask_approval(const ApiRequest &req, ApiContext &ctx, OpenArgs args) {
    const auto cabinet = req.param("cabinet");
    Cabinet *cab = ctx.cabinet(cabinet);
    const auto asked = ctx.approvals.request(cabinet, args);
    if (!asked) {
        const auto &r = asked.refusal();
        // The policy's refusal goes on record like any other of the cabinet's.
        if (cab && !Approvals::own_refusal(r)) cab->refuse(args, r);
        auto out = refusal_response(r);
        if (r.code == "too_many_approvals") out.headers.emplace_back(http::field::retry_after, "5");
        return out;
    }
    const auto &a = *asked;
    if (a.state == State::Approved && a.result) {
        auto again = *a.result;
        again.replayed = true;
        return command_response(again);
    }
    if (a.state == State::Approved)
        return refusal_response(
            {"in_progress", "the approved open is still waiting for its answer"});
    return settled(a);
}

Answer get_approvals(const ApiRequest &req, ApiContext &ctx) {
    json list = json::array();
    for (const auto &[a, may] : ctx.approvals.pending(req.who))
        list.push_back(approval_json(a, may));
    return json_response(200, {{"approvals", list}});
}

Answer post_approval(const ApiRequest &req, ApiContext &ctx) {
    const auto &id = req.param("id");
    auto s = ctx.approvals.approve(id, req.who);
    journal_refusal(ctx, s, req.who);
    if (s.step != Approvals::Step::Done) return step_refused(s, id);
    Cabinet *cab = ctx.cabinet(s.ask.cabinet);
    if (!cab) return refusal_response(no_cabinet(s.ask.cabinet));
    OpenArgs args = s.ask.args;
    args.approval = s.ask.approval;
    // The cabinet asks the policy again as it sends: the approval holds
    // only while both may still open that door.
    cab->open(std::move(args),
              [&approvals = ctx.approvals, a = s.ask, respond = req.respond](CommandResult r) {
                  approvals.opened(a, r);
                  respond(command_response(r));
              });
    return std::nullopt;
}

Answer delete_approval(const ApiRequest &req, ApiContext &ctx) {
    const auto &id = req.param("id");
    auto s = ctx.approvals.cancel(id, req.who);
    journal_refusal(ctx, s, req.who);
    if (s.step != Approvals::Step::Done) return step_refused(s, id);
    return json_response(200, approval_json(s.ask, Decision::refuse("settled", "")));
}

} // namespace cabinetd
