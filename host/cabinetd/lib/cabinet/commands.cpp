#include "commands.h"

#include "cabinet_answers.h"
#include "stamped.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace cabinetd {

using namespace cabinet_host;
using nlohmann::json;

namespace {

// Nothing was sent: the link is not up.
CommandResult link_down(const char *text) {
    return failure(Outcome::ConnectionLost, "link_down", text);
}

CommandResult connection_lost() {
    return failure(Outcome::ConnectionLost, "connection_lost", "the link went down");
}

// Every answer to a keyed command names the client's key beside the
// controller's request id.
Reply naming_key(Reply reply, const std::string &key) {
    if (key.empty()) return reply;
    return [reply = std::move(reply), key](CommandResult r) {
        r.key = key;
        reply(std::move(r));
    };
}

bool door_in(std::uint8_t mask, unsigned door) {
    return door >= 1 && door <= 8 && ((mask >> (door - 1)) & 1U) != 0;
}

} // namespace

CommandResult from_ack(const AckLine &a) {
    CommandResult r;
    r.outcome = outcome_of_ack(a.code);
    r.code = a.code;
    r.text = std::string(explain_text(a.code));
    r.request_id = a.request_id;
    r.session_id = a.session_id;
    return r;
}

CommandResult failure(Outcome outcome, std::string code, std::string text) {
    CommandResult r;
    r.outcome = outcome;
    r.code = std::move(code);
    r.text = std::move(text);
    return r;
}

CommandResult failure_of(const Request &req) {
    auto r = failure(outcome_of_failure(req.failure), to_string(req.failure), req.failure_text);
    r.session_id = req.session_id;
    return r;
}

CommandResult journal_unavailable(const std::string &reason) {
    return failure(Outcome::ConnectionLost, "journal_unavailable",
                   fmt::format("the journal cannot write ({}); nothing is sent to a controller "
                               "that could not be recorded: try again once it can",
                               reason.empty() ? "unavailable" : reason));
}

Commands::Commands(Context cabinet)
        : cab_(std::move(cabinet)), journal_(cab_.batch.journal()),
          keyed_(cab_.name, journal_, static_cast<std::uint64_t>(cab_.opt.replay_window.count())) {}

// Answers the opens whose cycle ended, with the cycle's events as the journal
// has them once what is batched is committed.
void Commands::answer_cycles(std::vector<CycleWaits::Ended> ended) {
    for (auto &e : ended)
        cab_.batch.after([&journal = journal_, cabinet = cab_.name, e = std::move(e)]() mutable {
            for (auto &r : journal.by_request(cabinet, e.request_id))
                if (r.kind == RecordKind::Event) e.result.events.push_back(r);
            e.reply(std::move(e.result));
        });
}

void Commands::commit_then(std::function<void(bool)> next) {
    cab_.batch.commit_then(std::move(next), cab_.post);
}

bool Commands::line_up() const { return client_ && cab_.board.link() == Link::Up; }

// Decided now, on this thread, for what the token file says now: a token
// removed, downgraded or rescoped since it asked opens nothing.
Decision Commands::decide_open(const OpenArgs &args) const {
    const auto &policy = *cab_.opt.policy;
    const auto &name = cab_.name;
    auto decision = policy.decide(args.who, Action::Open, name, args.door);
    if (decision && args.reason.empty() && door_in(cab_.opt.reason_doors, args.door))
        decision = Decision::refuse("reason_required",
                                    fmt::format("door {} of {} is opened only with a reason: "
                                                "say why in \"reason\"",
                                                args.door, name));
    if (decision && door_in(cab_.opt.two_person_doors, args.door))
        decision = args.approval
            ? policy.admits(*args.approval, args.who, name, args.door)
            : Decision::refuse("approval_required",
                               fmt::format("door {} of {} needs a second person's approval: "
                                           "another operator approves it through the HTTP API "
                                           "or the page",
                                           args.door, name));
    return decision;
}

void Commands::open(OpenArgs args, Reply reply) {
    reply = naming_key(std::move(reply), args.key);
    if (auto decision = decide_open(args); !decision) {
        refuse_early(args.requested_by, args.door, {}, decision, args.reason);
        return cab_.batch.reply_later(
            std::move(reply),
            failure(Outcome::Refused, decision.refusal().code, decision.refusal().text));
    }
    std::string request_id; // what the controller is sent
    if (!args.key.empty()) {
        auto again = keyed_.open_again(args, now(), in_flight({args.key_scope, args.key}, false));
        if (again.answer) return cab_.batch.reply_later(std::move(reply), std::move(*again.answer));
        request_id = std::move(again.request_id);
    }
    admit_open(std::move(args), std::move(reply), std::move(request_id));
}

// Whether a keyed open (or clear) of this key was sent and waits for its answer.
bool Commands::in_flight(const AnswerKey &key, bool clear) const {
    return std::any_of(pending_.begin(), pending_.end(), [&](auto &p) {
        if (clear) return p.second.clear_key == key;
        return !p.second.args.key.empty() && p.second.args.key == key.second &&
            p.second.args.key_scope == key.first;
    });
}

void Commands::refuse_early(const std::string &requested_by, unsigned door, std::string action,
                            const Decision &d, const std::string &reason) {
    cab_.refusals.refuse_early({requested_by, door, std::move(action), d.refusal().code, reason},
                               now(), cab_.runs.key());
}

// A new open (or one that got no answer): journalled, then sent.
void Commands::admit_open(OpenArgs args, Reply reply, std::string request_id) {
    auto &batch = cab_.batch;
    if (!line_up() || !client_->session_known())
        return batch.reply_later(
            std::move(reply), link_down("the cabinet's link is down or its controller is silent"));
    if (!journal_.available())
        return batch.reply_later(std::move(reply),
                                 journal_unavailable(journal_.unavailable_reason()));
    if (request_id.empty()) {
        try {
            request_id = ids_.next();
        } catch (const std::exception &e) {
            return batch.reply_later(
                std::move(reply), failure(Outcome::ConnectionLost, "no_random_source", e.what()));
        }
    }
    Record r = stamped(cab_.name, RecordKind::Open);
    r.session_id = cab_.runs.key();
    r.request_id = request_id;
    r.door_id = args.door;
    r.client_key = args.key;
    if (!args.key.empty()) r.key_scope = args.key_scope;
    json detail{
        {"requested_by", args.requested_by}, {"pulse_ms", args.pulse_ms}, {"ttl_ms", args.ttl_ms}};
    if (!args.reason.empty()) detail["reason"] = args.reason;
    if (args.approval) {
        detail["approved_by"] = args.approval->approver().name;
        detail["approval_id"] = args.approval->id();
    }
    r.detail = detail.dump();
    if (cab_.refusals.counting(args.requested_by, args.door)) cab_.refusals.send_quietly(r);
    else batch.add(r);
    if (!args.key.empty()) keyed_.committing({args.key_scope, args.key});
    commit_then([this, args, reply = std::move(reply), r](bool stored) mutable {
        send_open(std::move(args), std::move(reply), r, stored);
    });
}

void Commands::send_open(OpenArgs args, Reply reply, Record intent, bool stored) {
    if (!args.key.empty()) keyed_.committed({args.key_scope, args.key});
    const auto refuse = [&](CommandResult result) {
        Request req;
        req.session_id = intent.session_id;
        req.request_id = intent.request_id;
        req.door_id = args.door;
        cab_.refusals.open_failed(req, result.code, result.text);
        result.request_id = intent.request_id;
        cab_.batch.reply_later(std::move(reply), std::move(result));
    };
    if (!stored) return refuse(journal_unavailable(journal_.unavailable_reason()));
    if (!line_up() || !client_->session_known() || cab_.runs.key() != intent.session_id)
        return refuse(link_down("the link went down before the open was sent"));
    try {
        auto req = client_->open(args.door, args.pulse_ms, args.ttl_ms, intent.request_id);
        const bool wait_cycle = args.wait_cycle;
        pending_[req.get()] = Pending{std::move(args), std::move(reply), req, {}, {}};
        if (req->done()) return done(*req);
        if (wait_cycle)
            cycles_.wait(req->request_id,
                         now() + static_cast<std::uint64_t>(cab_.opt.cycle_timeout.count()));
    } catch (const ConnectionLost &) {
        refuse(connection_lost());
    }
}

void Commands::clear(ClearArgs args, Reply reply) {
    auto &batch = cab_.batch;
    if (auto d = cab_.opt.policy->decide(args.who, Action::Clear, cab_.name); !d) {
        refuse_early(args.requested_by, 0, to_string(Action::Clear), d);
        auto r = failure(Outcome::Refused, d.refusal().code, d.refusal().text);
        r.command = RequestKind::ClearFault;
        return batch.reply_later(std::move(reply), std::move(r));
    }
    const AnswerKey key{args.key_scope, args.key};
    if (!args.key.empty())
        if (auto again = keyed_.clear_again(key, in_flight(key, true)))
            return batch.reply_later(std::move(reply), std::move(*again));
    if (!line_up())
        return batch.reply_later(std::move(reply), link_down("the cabinet's link is down"));
    if (!journal_.available())
        return batch.reply_later(std::move(reply),
                                 journal_unavailable(journal_.unavailable_reason()));
    Record r = stamped(cab_.name, RecordKind::Clear);
    r.session_id = cab_.runs.key();
    try {
        r.request_id = ids_.next(); // what its outcome names it by
    } catch (const std::exception &e) {
        return batch.reply_later(std::move(reply),
                                 failure(Outcome::ConnectionLost, "no_random_source", e.what()));
    }
    r.detail = json{{"requested_by", args.requested_by}}.dump();
    batch.add(r);
    if (!args.key.empty()) keyed_.committing(key);
    commit_then([this, reply = std::move(reply), key, r](bool stored) mutable {
        send_clear(std::move(reply), key, r, stored);
    });
}

void Commands::send_clear(Reply reply, AnswerKey key, Record intent, bool stored) {
    const bool keyed = !key.second.empty();
    if (keyed) keyed_.committed(key);
    const auto refuse = [&](CommandResult result) {
        clear_failed(intent.request_id, result);
        cab_.batch.reply_later(std::move(reply), std::move(result));
    };
    if (!stored) return refuse(journal_unavailable(journal_.unavailable_reason()));
    if (!line_up() || cab_.runs.key() != intent.session_id)
        return refuse(link_down("the link went down before the clear was sent"));
    try {
        auto req = client_->clear_fault();
        if (req->done()) return refuse(failure_of(*req));
        pending_[req.get()] = Pending{OpenArgs{}, std::move(reply), req, keyed ? key : AnswerKey{},
                                      intent.request_id};
    } catch (const ConnectionLost &) {
        refuse(connection_lost());
    }
}

// A clear that got no ack, or was never sent.
void Commands::clear_failed(const std::string &clear_id, const CommandResult &result) {
    Record r = stamped(cab_.name, RecordKind::ClearFailed);
    r.session_id = cab_.runs.key();
    r.request_id = clear_id;
    r.code = r.outcome = result.code;
    r.detail = json{{"reason", result.text}}.dump();
    cab_.batch.add(std::move(r));
}

void Commands::done(const Request &req) {
    auto it = pending_.find(&req);
    if (it == pending_.end()) return; // heartbeats
    Pending p = std::move(it->second);
    pending_.erase(it);
    const bool answered = req.status == RequestStatus::Answered && req.ack;
    CommandResult result = answered ? from_ack(*req.ack) : failure_of(req);
    result.request_id = req.request_id;
    if (req.kind == RequestKind::Open) return answer_open(req, std::move(p), std::move(result));
    answer_clear(req, std::move(p), std::move(result));
}

void Commands::answer_clear(const Request &req, Pending p, CommandResult result) {
    const bool answered = req.status == RequestStatus::Answered && req.ack;
    result.command = RequestKind::ClearFault;
    if (answered) {
        const auto &code = req.ack->code;
        settles_ = AckSettles{p.clear_id, is_success_ack(code) ? "accepted" : code, false};
    } else {
        clear_failed(p.clear_id, result);
    }
    if (answered && !p.clear_key.second.empty()) keyed_.cleared(p.clear_key, result);
    cab_.batch.reply_later(std::move(p.reply), std::move(result));
}

void Commands::answer_open(const Request &req, Pending p, CommandResult result) {
    if (req.status != RequestStatus::Answered)
        cab_.refusals.open_failed(req, to_string(req.failure), req.failure_text);
    else settles_ = cab_.refusals.settle_open(req, p.args.requested_by, now(), cab_.runs.key());
    if (req.status == RequestStatus::Answered && !p.args.key.empty())
        keyed_.opened({p.args.key_scope, p.args.key}, req.door_id, result, now());
    if (cycles_.hold(req.request_id, req.succeeded(), result, p.reply)) return;
    cab_.batch.reply_later(std::move(p.reply), std::move(result));
}

void Commands::event(const std::string &request_id, const std::string &code) {
    if (auto ended = cycles_.event(request_id, code)) {
        std::vector<CycleWaits::Ended> one;
        one.push_back(std::move(*ended));
        answer_cycles(std::move(one));
    }
}

void Commands::session_changed() { answer_cycles(cycles_.end("session_changed", true)); }

void Commands::expire(std::uint64_t now) { answer_cycles(cycles_.expire(now)); }

void Commands::drop(Outcome outcome, const std::string &code, const std::string &text) {
    for (auto &[ptr, p] : pending_) {
        if (p.req->kind == RequestKind::Open) cab_.refusals.open_failed(*p.req, code, text);
        else clear_failed(p.clear_id, failure(outcome, code, text));
        cab_.batch.reply_later(std::move(p.reply), failure(outcome, code, text));
    }
    pending_.clear();
    answer_cycles(cycles_.end(code, false));
}

} // namespace cabinetd
