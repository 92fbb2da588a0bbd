#include "approvals.h"

#include "random.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

using nlohmann::json;

const char *to_string(Approvals::State s) {
    switch (s) {
    case Approvals::State::Pending: return "pending";
    case Approvals::State::Approved: return "approved";
    case Approvals::State::Declined: return "declined";
    case Approvals::State::Withdrawn: return "withdrawn";
    case Approvals::State::Expired: return "expired";
    case Approvals::State::Revoked: return "revoked";
    }
    return "pending";
}

Approvals::Approvals(Journal &journal, const Policy &policy, ApprovalOptions opt)
        : journal_(journal), policy_(policy), opt_(std::move(opt)) {
    opt_.clock = or_steady(std::move(opt_.clock));
}

namespace {

bool same_key(const OpenArgs &a, const std::string &cabinet, const Approvals::Ask &b) {
    return !a.key.empty() && b.cabinet == cabinet && b.args.key == a.key &&
        b.args.key_scope == a.key_scope;
}

} // namespace

bool Approvals::own_refusal(const Refusal &r) {
    for (const char *code : {"key_reused", "too_many_approvals", "approvals_full",
                             "journal_unavailable", "no_random_source"})
        if (r.code == code) return true;
    return false;
}

Result<Approvals::Ask> Approvals::request(const std::string &cabinet, OpenArgs args) {
    std::lock_guard lk(mu_);
    const auto now = opt_.clock();
    expire_locked(now);
    if (const auto *earlier = keyed_locked(cabinet, args)) {
        if (earlier->args.door != args.door)
            return Refusal{
                "key_reused",
                fmt::format("this Idempotency-Key was used to open door {}", earlier->args.door)};
        return *earlier;
    }
    if (auto d = policy_.decide(args.who, Action::Open, cabinet, args.door); !d) return d.refusal();
    const auto mine = std::count_if(pending_.begin(), pending_.end(),
                                    [&](auto &p) { return p.second.args.who.id == args.who.id; });
    if (static_cast<std::size_t>(mine) >= opt_.per_requester)
        return Refusal{"too_many_approvals",
                       fmt::format("{} has {} opens awaiting approval already; settle one first",
                                   args.requested_by, mine)};
    if (pending_.size() >= opt_.total)
        return Refusal{"approvals_full",
                       fmt::format("{} opens are awaiting approval; try again later", opt_.total)};
    if (!journal_.available())
        return Refusal{
            "journal_unavailable",
            "the journal cannot write, so no approval can be recorded; try again once it can"};
    Ask a;
    try {
        a.id = random_hex(16);
    } catch (const std::exception &e) {
        return Refusal{"no_random_source", e.what()};
    }
    a.cabinet = cabinet;
    a.args = std::move(args);
    a.expires_steady = now + static_cast<std::uint64_t>(opt_.expiry.count());
    a.expires_at_ms = wall_ms() + opt_.expiry.count();
    ++counts_.requested;
    json extra{{"pulse_ms", a.args.pulse_ms},
               {"ttl_ms", a.args.ttl_ms},
               {"expires_at_ms", a.expires_at_ms}};
    journal_step(a, "requested", std::move(extra));
    Ask out = a;
    pending_.emplace(a.id, std::move(a));
    if (on_pending_) on_pending_();
    return out;
}

const Approvals::Ask *Approvals::keyed_locked(const std::string &cabinet,
                                              const OpenArgs &args) const {
    for (const auto *kept : {&pending_, &settled_})
        for (const auto &[id, a] : *kept)
            if (same_key(args, cabinet, a)) return &a;
    return nullptr;
}

// The approval of that id, as it is now once those due have expired, copied
// into out for the answer; nothing (out says Unknown) for no such id.
const Approvals::Ask *Approvals::lookup_locked(const std::string &id, const Principal &who,
                                               Settling &out) {
    expire_locked(opt_.clock());
    const auto *found = find_locked(id);
    // An approval of a cabinet the token may not read is none it knows of:
    // its answer names no cabinet.
    if (found && !policy_.decide(who, Action::Read, found->cabinet)) found = nullptr;
    if (found) out.ask = *found;
    return found;
}

const Approvals::Ask *Approvals::find_locked(const std::string &id) const {
    if (auto it = pending_.find(id); it != pending_.end()) return &it->second;
    if (auto it = settled_.find(id); it != settled_.end()) return &it->second;
    return nullptr;
}

Approvals::Settling Approvals::approve(const std::string &id, const Principal &who) {
    std::lock_guard lk(mu_);
    Settling out;
    const auto *found = lookup_locked(id, who, out);
    if (!found) return out;
    if (found->state != State::Pending) {
        out.step = Step::Settled;
        return out;
    }
    // Both sides as they stand at one moment; when refused, whose side it was.
    const auto at = policy_.now();
    auto made = policy_.approve_at(found->args.who, who, found->cabinet, found->args.door, id, at);
    if (!made) {
        out.decision = made.refusal();
        if (policy_.may_ask(found->args.who, found->cabinet, found->args.door, at)) {
            out.step = Step::Refused;
            return out;
        }
        // What the requester asked for is no longer theirs to ask.
        out.step = Step::Revoked;
        revoke_locked(pending_.find(id), out.decision);
        out.ask = settled_.at(id);
        return out;
    }
    out.step = Step::Done;
    auto it = pending_.find(id);
    it->second.approval = std::move(*made);
    const auto by = it->second.approval->approver().name; // a copy: the entry moves
    settle_locked(it, State::Approved, by);
    out.ask = settled_.at(id);
    return out;
}

void Approvals::revoke_locked(std::map<std::string, Ask>::iterator it, const Decision &why) {
    const auto &r = why.refusal();
    journal_step(it->second, "revoked", {{"why", r.text}, {"code", r.code}});
    settle_locked(it, State::Revoked, r.text);
}

void Approvals::revoke_lost() {
    std::lock_guard lk(mu_);
    for (auto it = pending_.begin(); it != pending_.end();) {
        auto next = std::next(it);
        const auto &a = it->second;
        // Hours aside: a requester outside their hours keeps the approval
        // until it is approved (refused then) or expires.
        auto d = policy_.decide_at(a.args.who, Action::Open, a.cabinet, a.args.door, std::nullopt);
        if (!d) revoke_locked(it, d);
        it = next;
    }
}

void Approvals::opened(const Ask &a, const CommandResult &r) {
    {
        std::lock_guard lk(mu_);
        if (auto it = settled_.find(a.id); it != settled_.end()) it->second.result = r;
    }
    const bool accepted = r.outcome == cabinet_host::Outcome::Done;
    journal_step(a, "approved",
                 {{"approved_by", a.settled_by},
                  {"open_request_id", r.request_id},
                  {"open_outcome", accepted ? std::string("accepted") : r.code}});
}

Approvals::Settling Approvals::cancel(const std::string &id, const Principal &who) {
    std::lock_guard lk(mu_);
    Settling out;
    const auto *found = lookup_locked(id, who, out);
    if (!found) return out;
    const bool mine = found->args.who.id == who.id;
    if (found->state != State::Pending) {
        out.step = Step::Settled;
        return out;
    }
    // Declining is refusing to be the second person: whoever could be one
    // may, at any hour.
    if (!mine)
        if (auto d = policy_.decide_at(who, Action::Approve, found->cabinet, found->args.door,
                                       std::nullopt);
            !d) {
            out.step = Step::Refused;
            out.decision = std::move(d);
            return out;
        }
    out.step = Step::Done;
    const auto state = mine ? State::Withdrawn : State::Declined;
    settle_locked(pending_.find(id), state, who.name);
    out.ask = settled_.at(id);
    journal_step(out.ask, to_string(state), {{mine ? "withdrawn_by" : "declined_by", who.name}});
    return out;
}

std::vector<std::pair<Approvals::Ask, Decision>> Approvals::pending(const Principal &who) {
    std::lock_guard lk(mu_);
    expire_locked(opt_.clock());
    std::vector<std::pair<Ask, Decision>> out;
    for (auto &[id, a] : pending_) {
        if (!policy_.decide(who, Action::Read, a.cabinet)) continue;
        auto may = policy_.approve(a.args.who, who, a.cabinet, a.args.door, id);
        out.emplace_back(a, may ? Decision::permit() : Decision(may.refusal()));
    }
    std::sort(out.begin(), out.end(),
              [](auto &x, auto &y) { return x.first.expires_steady < y.first.expires_steady; });
    return out;
}

void Approvals::expire_due() {
    std::lock_guard lk(mu_);
    expire_locked(opt_.clock());
}

std::optional<std::uint64_t> Approvals::next_expiry() {
    std::lock_guard lk(mu_);
    if (pending_.empty()) return std::nullopt;
    std::uint64_t first = UINT64_MAX;
    for (const auto &[id, a] : pending_) first = std::min(first, a.expires_steady);
    const auto now = opt_.clock();
    return first > now ? first - now : 0;
}

Approvals::Counts Approvals::counts() {
    std::lock_guard lk(mu_);
    expire_locked(opt_.clock());
    auto c = counts_;
    c.pending = pending_.size();
    return c;
}

void Approvals::expire_locked(std::uint64_t now) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        auto next = std::next(it);
        if (now >= it->second.expires_steady) {
            journal_step(it->second, "expired", json::object());
            settle_locked(it, State::Expired, "");
        }
        it = next;
    }
}

void Approvals::settle_locked(std::map<std::string, Ask>::iterator it, State state,
                              const std::string &by) {
    auto a = std::move(it->second);
    pending_.erase(it);
    a.state = state;
    a.settled_by = by;
    switch (state) {
    case State::Approved: ++counts_.approved; break;
    case State::Declined: ++counts_.declined; break;
    case State::Withdrawn: ++counts_.withdrawn; break;
    case State::Expired: ++counts_.expired; break;
    case State::Revoked: ++counts_.revoked; break;
    case State::Pending: break;
    }
    settled_order_.push_back(a.id);
    settled_.emplace(a.id, std::move(a));
    if (settled_order_.size() > opt_.settled_kept) {
        settled_.erase(settled_order_.front());
        settled_order_.pop_front();
    }
}

// Each record names the requester, the door, the approval and the reason, so
// that any one of them tells the audit whose open it was about.
void Approvals::journal_step(const Ask &a, const char *code, json extra) {
    Record r;
    r.at_ms = wall_ms();
    r.cabinet = a.cabinet;
    r.kind = RecordKind::Approval;
    r.code = code;
    r.door_id = a.args.door;
    json detail{{"requested_by", a.args.requested_by}, {"approval_id", a.id}};
    if (!a.args.reason.empty()) detail["reason"] = a.args.reason;
    detail.update(extra);
    r.detail = detail.dump();
    journal_.write({std::move(r)});
}

} // namespace cabinetd
