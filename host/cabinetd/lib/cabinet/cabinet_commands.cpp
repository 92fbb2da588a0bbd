// Opens and fault clears: each is journalled before it is sent, answered
// once its outcome is durable, and answered again, never sent again, when a
// client retries it under the same key.
#include "cabinet.h"

#include "cabinet_answers.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace cabinetd {

using namespace cabinet_host;
using nlohmann::json;

namespace {

constexpr std::size_t kRecentOpensMax = 1024; // a bound for a burst of keyed refusals
constexpr std::size_t kClearsKept = 1000;

CommandResult key_reused(unsigned door) {
    return failure(Outcome::Refused, "key_reused",
                   fmt::format("this Idempotency-Key was used to open door {}", door));
}

CommandResult in_progress(const char *what) {
    return failure(
        Outcome::Refused, "in_progress",
        fmt::format("{} with this Idempotency-Key is still waiting for its answer", what));
}

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

void Cabinet::open(OpenArgs args, Reply reply) {
    auto shared = std::make_shared<std::pair<OpenArgs, Reply>>(std::move(args), std::move(reply));
    post([this, shared] { start_open(std::move(shared->first), std::move(shared->second)); });
}

void Cabinet::start_open(OpenArgs args, Reply reply) {
    reply = naming_key(std::move(reply), args.key);
    if (args.reason.empty() && needs_reason(args.door)) {
        refuse_early(args, "reason_required");
        return reply_later(std::move(reply),
                           failure(Outcome::Refused, "reason_required",
                                   fmt::format("door {} of {} is opened only with a reason: "
                                               "say why in \"reason\"",
                                               args.door, name_)));
    }
    std::string request_id; // what the controller is sent
    if (!args.key.empty())
        if (auto earlier = replay_open(args, request_id))
            return reply_later(std::move(reply), std::move(*earlier));
    admit_open(std::move(args), std::move(reply), std::move(request_id));
}

// A retried open: what the first one got, from memory or the journal,
// without sending anything the controller might act on. A key is looked up
// in its client's scope only, so one client's key never answers or blocks
// another client's open. request_id becomes the earlier open's when it got
// no answer, so that it goes again under the id it had.
std::optional<CommandResult> Cabinet::replay_open(const OpenArgs &args, std::string &request_id) {
    const auto now = steady_now();
    const auto window = static_cast<std::uint64_t>(opt_.replay_window.count());
    std::erase_if(recent_, [&](auto &p) { return now - p.second.at_ms > window; });
    const Key key{args.key_scope, args.key};
    if (auto it = recent_.find(key); it != recent_.end()) {
        if (it->second.door != args.door) return key_reused(it->second.door);
        auto r = it->second.result;
        r.replayed = true;
        return r;
    }
    const bool waiting = std::any_of(pending_.begin(), pending_.end(), [&](auto &p) {
        return !p.second.args.key.empty() && p.second.args.key == args.key &&
            p.second.args.key_scope == args.key_scope;
    });
    if (waiting || committing_.count(key) > 0) return in_progress("an open");
    return journalled_open(args, request_id);
}

std::optional<CommandResult> Cabinet::journalled_open(const OpenArgs &args,
                                                      std::string &request_id) {
    std::optional<CommandResult> earlier;
    for (const auto &open : journal_.by_key(name_, args.key_scope, args.key)) {
        if (open.door_id != args.door) return key_reused(open.door_id);
        // An open that got no answer goes again under the request id it
        // had, so the controller's replay protection still refuses it if
        // the first one did arrive.
        request_id = open.request_id;
        for (const auto &r : journal_.by_request(name_, open.request_id)) {
            AckLine a;
            a.request_id = r.request_id;
            a.session_id = r.session_id;
            if (r.kind == RecordKind::Ack && r.code != codes::kFutureCommand &&
                !is_unread_line_ack(r.code)) {
                a.code = r.code;
                earlier = from_ack(a);
            } else if (r.kind == RecordKind::Event && r.code == codes::kOpenAccepted && !earlier) {
                a.code = codes::kAccepted;
                earlier = from_ack(a);
            }
        }
    }
    if (earlier) earlier->replayed = true;
    return earlier;
}

// A new open (or one that got no answer): journalled, then sent.
void Cabinet::admit_open(OpenArgs args, Reply reply, std::string request_id) {
    if (!client_ || status().link != Link::Up || !client_->session_known())
        return reply_later(std::move(reply),
                           link_down("the cabinet's link is down or its controller is silent"));
    if (!journal_.available())
        return reply_later(std::move(reply), journal_unavailable(journal_.unavailable_reason()));
    if (request_id.empty()) {
        try {
            request_id = ids_.next();
        } catch (const std::exception &e) {
            return reply_later(std::move(reply),
                               failure(Outcome::ConnectionLost, "no_random_source", e.what()));
        }
    }
    Record r = record(RecordKind::Open);
    r.session_id = journal_session_;
    r.request_id = request_id;
    r.door_id = args.door;
    r.client_key = args.key;
    if (!args.key.empty()) r.key_scope = args.key_scope;
    json detail{
        {"requested_by", args.requested_by}, {"pulse_ms", args.pulse_ms}, {"ttl_ms", args.ttl_ms}};
    if (!args.reason.empty()) detail["reason"] = args.reason;
    if (!args.approved_by.empty()) {
        detail["approved_by"] = args.approved_by;
        detail["approval_id"] = args.approval_id;
    }
    r.detail = detail.dump();
    if (counting(args.requested_by, args.door)) send_quietly(r);
    else batch_.push_back(r);
    if (!args.key.empty()) committing_.insert({args.key_scope, args.key});
    commit_then([this, args, reply = std::move(reply), r](bool stored) mutable {
        send_open(std::move(args), std::move(reply), r, stored);
    });
}

void Cabinet::send_open(OpenArgs args, Reply reply, Record intent, bool stored) {
    if (!args.key.empty()) committing_.erase({args.key_scope, args.key});
    const auto refuse = [&](CommandResult result) {
        Request req;
        req.session_id = intent.session_id;
        req.request_id = intent.request_id;
        req.door_id = args.door;
        open_failed(req, result.code, result.text);
        result.request_id = intent.request_id;
        reply_later(std::move(reply), std::move(result));
    };
    if (!stored) return refuse(journal_unavailable(journal_.unavailable_reason()));
    if (!client_ || status().link != Link::Up || !client_->session_known() ||
        journal_session_ != intent.session_id)
        return refuse(link_down("the link went down before the open was sent"));
    try {
        auto req = client_->open(args.door, args.pulse_ms, args.ttl_ms, intent.request_id);
        const bool wait_cycle = args.wait_cycle;
        pending_[req.get()] = Pending{std::move(args), std::move(reply), req, {}, {}};
        if (req->done()) return on_done(*req);
        if (wait_cycle)
            cycles_[req->request_id] = CycleWait{
                {}, {}, steady_now() + static_cast<std::uint64_t>(opt_.cycle_timeout.count())};
    } catch (const ConnectionLost &) {
        refuse(connection_lost());
    }
}

void Cabinet::clear_fault(ClearArgs args, Reply reply) {
    auto shared = std::make_shared<std::pair<ClearArgs, Reply>>(std::move(args), std::move(reply));
    post([this, shared] { start_clear(std::move(shared->first), std::move(shared->second)); });
}

void Cabinet::start_clear(ClearArgs args, Reply reply) {
    const Key key{args.key_scope, args.key};
    if (!args.key.empty()) {
        if (auto it = clears_.find(key); it != clears_.end()) {
            auto again = it->second;
            again.replayed = true;
            return reply_later(std::move(reply), std::move(again));
        }
        if (committing_.count(key) > 0 ||
            std::any_of(pending_.begin(), pending_.end(),
                        [&](auto &p) { return p.second.clear_key == key; }))
            return reply_later(std::move(reply), in_progress("a clear"));
    }
    if (!client_ || status().link != Link::Up)
        return reply_later(std::move(reply), link_down("the cabinet's link is down"));
    if (!journal_.available())
        return reply_later(std::move(reply), journal_unavailable(journal_.unavailable_reason()));
    Record r = record(RecordKind::Clear);
    r.session_id = journal_session_;
    try {
        r.request_id = ids_.next(); // what its outcome names it by
    } catch (const std::exception &e) {
        return reply_later(std::move(reply),
                           failure(Outcome::ConnectionLost, "no_random_source", e.what()));
    }
    r.detail = json{{"requested_by", args.requested_by}}.dump();
    batch_.push_back(r);
    if (!args.key.empty()) committing_.insert(key);
    commit_then([this, reply = std::move(reply), key, r](bool stored) mutable {
        send_clear(std::move(reply), key, r, stored);
    });
}

void Cabinet::send_clear(Reply reply, Key key, Record intent, bool stored) {
    const bool keyed = !key.second.empty();
    if (keyed) committing_.erase(key);
    const auto refuse = [&](CommandResult result) {
        clear_failed(intent.request_id, result);
        reply_later(std::move(reply), std::move(result));
    };
    if (!stored) return refuse(journal_unavailable(journal_.unavailable_reason()));
    if (!client_ || status().link != Link::Up || journal_session_ != intent.session_id)
        return refuse(link_down("the link went down before the clear was sent"));
    try {
        auto req = client_->clear_fault();
        if (req->done()) return refuse(failure_of(*req));
        pending_[req.get()] =
            Pending{OpenArgs{}, std::move(reply), req, keyed ? key : Key{}, intent.request_id};
    } catch (const ConnectionLost &) {
        refuse(connection_lost());
    }
}

// A clear that got no ack, or was never sent.
void Cabinet::clear_failed(const std::string &clear_id, const CommandResult &result) {
    Record r = record(RecordKind::ClearFailed);
    r.session_id = journal_session_;
    r.request_id = clear_id;
    r.code = r.outcome = result.code;
    r.detail = json{{"reason", result.text}}.dump();
    batch_.push_back(std::move(r));
}

// Answers are kept for the latest kClearsKept keyed clears: a retry of an
// older one is carried out again, which a clear can bear.
void Cabinet::remember_clear(const Key &key, const CommandResult &result) {
    if (clears_.insert_or_assign(key, result).second) clear_order_.push_back(key);
    if (clear_order_.size() > kClearsKept) {
        clears_.erase(clear_order_.front());
        clear_order_.pop_front();
    }
}

void Cabinet::on_done(const Request &req) {
    if (req.kind == RequestKind::Heartbeat) heartbeat_done(req);
    auto it = pending_.find(&req);
    if (it == pending_.end()) return; // heartbeats
    Pending p = std::move(it->second);
    pending_.erase(it);
    const bool answered = req.status == RequestStatus::Answered && req.ack;
    CommandResult result = answered ? from_ack(*req.ack) : failure_of(req);
    result.request_id = req.request_id;
    if (req.kind == RequestKind::Open) return answer_open(std::move(p), req, std::move(result));
    result.command = RequestKind::ClearFault;
    if (answered) {
        const auto &code = req.ack->code;
        ack_settles_ = AckSettles{p.clear_id, is_success_ack(code) ? "accepted" : code, false};
    } else {
        clear_failed(p.clear_id, result);
    }
    if (answered && !p.clear_key.second.empty()) remember_clear(p.clear_key, result);
    reply_later(std::move(p.reply), std::move(result));
}

void Cabinet::answer_open(Pending p, const Request &req, CommandResult result) {
    if (req.status != RequestStatus::Answered)
        open_failed(req, to_string(req.failure), req.failure_text);
    else settle_open(req, p.args.requested_by);
    if (req.status == RequestStatus::Answered && !p.args.key.empty()) {
        if (recent_.size() >= kRecentOpensMax)
            recent_.erase(std::min_element(recent_.begin(), recent_.end(), [](auto &a, auto &b) {
                return a.second.at_ms < b.second.at_ms;
            }));
        recent_[{p.args.key_scope, p.args.key}] = {steady_now(), req.door_id, result};
    }
    if (auto c = cycles_.find(req.request_id); c != cycles_.end()) {
        if (req.succeeded() && !c->second.result.cycle_end) {
            // Answered when the cycle ends.
            c->second.result = std::move(result);
            c->second.reply = std::move(p.reply);
            return;
        }
        cycles_.erase(c);
    }
    reply_later(std::move(p.reply), std::move(result));
}

void Cabinet::end_cycles(const std::string &why) {
    // Opens still waiting for their ack are answered by the client's failure.
    for (auto it = cycles_.begin(); it != cycles_.end();) {
        if (!it->second.reply) {
            ++it;
            continue;
        }
        finish_cycle(it->first, it->second, why);
        it = cycles_.erase(it);
    }
}

void Cabinet::expire_cycles(std::uint64_t now) {
    for (auto it = cycles_.begin(); it != cycles_.end();) {
        if (now >= it->second.deadline_ms && it->second.reply) {
            finish_cycle(it->first, it->second, std::string(to_string(Outcome::Timeout)));
            it = cycles_.erase(it);
        } else {
            ++it;
        }
    }
}

// Answers an open that waited for its cycle, with the cycle's events as
// the journal has them once they are committed.
void Cabinet::finish_cycle(const std::string &request_id, CycleWait &c, const std::string &end) {
    c.result.cycle_end = end;
    c.result.outcome = outcome_of_cycle_end(end);
    after_commit_.push_back(
        [this, reply = std::move(c.reply), result = std::move(c.result), request_id]() mutable {
            for (auto &r : journal_.by_request(name_, request_id))
                if (r.kind == RecordKind::Event) result.events.push_back(r);
            reply(std::move(result));
        });
}

} // namespace cabinetd
