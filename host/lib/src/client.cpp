#include "cabinet_host/client.h"

#include "cabinet_host/explain.h"

#include <algorithm>
#include <stdexcept>

namespace cabinet_host {
namespace {

bool parse_refusal(const AckLine &a) { return a.request_id.empty() && is_unread_line_ack(a.code); }

// Whether an ack can be the answer to a request. The controller answers lines
// in order, but a line can be lost or mangled on a serial link, and an ack
// left over from an earlier connection can arrive first; checking the family
// of the code (and the request id of opens) keeps such acks from being taken
// for the answer to the wrong command.
bool answers(const Request &r, const AckLine &a) {
    switch (r.kind) {
    case RequestKind::Open: return a.request_id == r.request_id || parse_refusal(a);
    case RequestKind::Heartbeat:
        return a.request_id.empty() &&
            (a.code == "heartbeat_ok" || a.code == "session_mismatch" || parse_refusal(a));
    case RequestKind::ClearFault:
        return a.request_id.empty() &&
            (a.code == "cleared" || a.code == "clear_denied" || parse_refusal(a));
    }
    return false;
}

} // namespace

const char *to_string(Failure f) {
    switch (f) {
    case Failure::None: return "none";
    case Failure::Timeout: return "timeout";
    case Failure::SessionChanged: return "session_changed";
    case Failure::ConnectionLost: return "connection_lost";
    case Failure::NoSession: return "no_session";
    case Failure::IdentityInvalid: return "identity_invalid";
    case Failure::LineLost: return "line_lost";
    case Failure::BadArgument: return "bad_argument";
    }
    return "unknown";
}

const char *to_string(RequestKind k) {
    switch (k) {
    case RequestKind::Open: return "open";
    case RequestKind::Heartbeat: return "heartbeat";
    case RequestKind::ClearFault: return "clear_fault";
    }
    return "unknown";
}

bool Request::succeeded() const {
    return status == RequestStatus::Answered && ack && is_success_ack(ack->code);
}

Client::Client(Transport &transport, ClientOptions options, LocalClock clock)
        : transport_(transport), opt_(std::move(options)),
          clock_fn_(clock ? std::move(clock) : LocalClock(steady_ms)),
          clock_(opt_.clock_window_ms, opt_.clock_safety_ms),
          ids_(opt_.request_prefix.empty() ? RequestIds() : RequestIds(opt_.request_prefix)) {
    if (opt_.max_in_flight == 0) opt_.max_in_flight = 1;
}

RequestPtr Client::open(unsigned door, std::uint32_t pulse_ms, std::uint32_t ttl_ms,
                        std::string request_id) {
    auto r = std::make_shared<Request>();
    r->kind = RequestKind::Open;
    r->request_id = request_id.empty() ? ids_.next() : std::move(request_id);
    r->door_id = door;
    r->pulse_ms = pulse_ms;
    r->ttl_ms = ttl_ms;
    return enqueue(std::move(r));
}

RequestPtr Client::heartbeat() {
    auto r = std::make_shared<Request>();
    r->kind = RequestKind::Heartbeat;
    return enqueue(std::move(r));
}

RequestPtr Client::clear_fault() {
    auto r = std::make_shared<Request>();
    r->kind = RequestKind::ClearFault;
    return enqueue(std::move(r));
}

void Client::request_state() {
    if (lost_) throw ConnectionLost("connection lost");
    if (!state_request_sent_ms_) pending_state_request_ = true;
    flush(local_now());
}

void Client::set_heartbeats(bool on) {
    if (on && !opt_.heartbeats) next_heartbeat_ms_ = local_now();
    opt_.heartbeats = on;
}

RequestPtr Client::enqueue(RequestPtr r) {
    if (lost_) throw ConnectionLost("connection lost");
    // A command is addressed to the session known when it is asked for; if
    // the controller restarts before it is sent, it fails rather than being
    // redirected to a session its caller never saw.
    if (!session_known_) {
        finish(r, Failure::NoSession, "no state from the controller yet: its session is unknown");
        return r;
    }
    if (session_id_.empty()) {
        finish(r, Failure::IdentityInvalid,
               "the controller has no valid session identity: nothing can be done until it "
               "restarts");
        return r;
    }
    r->session_id = session_id_;
    queue_.push_back(r);
    flush(local_now());
    return r;
}

void Client::finish(const RequestPtr &r, Failure f, std::string text) {
    // A heartbeat that got lost on the way is replaced at once, not a second later.
    if (r->kind == RequestKind::Heartbeat) next_heartbeat_ms_ = 0;
    r->status = RequestStatus::Failed;
    r->failure = f;
    r->failure_text = std::move(text);
    if (on_request_done) on_request_done(*r);
}

void Client::fail_all(Failure f, const std::string &text) {
    auto all = std::move(in_flight_);
    all.insert(all.end(), queue_.begin(), queue_.end());
    in_flight_.clear();
    queue_.clear();
    for (auto &r : all) finish(r, f, text);
}

// The line is free once the controller has been heard (it is listening, and
// its session and clock are known) and no answer to an earlier line is
// awaited. The controller buffers what arrives while it writes, so when it
// writes does not matter. A state request has no ack: it is out until a state
// line that can be its answer arrives (or the ack timeout passes), and nothing
// else is sent meanwhile, so one line is in flight as with any other command.
bool Client::clear_to_send() const { return session_known_ && !state_request_sent_ms_; }

void Client::flush(std::uint64_t now) {
    if (lost_) return;
    try {
        if (!clear_to_send()) return;
        if (pending_state_request_ && in_flight_.empty()) {
            pending_state_request_ = false;
            state_request_sent_ms_ = now;
            const std::string line = build_state_request();
            transport_.send_line(line);
            if (on_sent) on_sent(line, nullptr);
            return;
        }
        while (!queue_.empty() && in_flight_.size() < opt_.max_in_flight) {
            RequestPtr r = queue_.front();
            queue_.pop_front();
            try {
                switch (r->kind) {
                case RequestKind::Open: {
                    const auto stamp = clock_.now(now);
                    if (!stamp) {
                        finish(r, Failure::NoSession, "the controller's clock is not known yet");
                        continue;
                    }
                    r->issued_at_ms = *stamp;
                    r->line = build_open({r->request_id, r->session_id, r->door_id, r->pulse_ms,
                                          r->issued_at_ms, r->ttl_ms});
                    break;
                }
                case RequestKind::Heartbeat: r->line = build_heartbeat(r->session_id); break;
                case RequestKind::ClearFault: r->line = build_clear_fault(r->session_id); break;
                }
            } catch (const std::invalid_argument &e) {
                // Never an empty session id: enqueue() and the heartbeat
                // schedule only queue commands for a session with an identity.
                finish(r, Failure::BadArgument, e.what());
                continue;
            }
            r->status = RequestStatus::Sent;
            r->sent_local_ms = now;
            ++r->attempts;
            in_flight_.push_back(r);
            transport_.send_line(r->line);
            if (on_sent) on_sent(r->line, r.get());
        }
    } catch (const ConnectionLost &e) {
        lost_ = true;
        fail_all(Failure::ConnectionLost, e.what());
        throw;
    }
}

void Client::service(std::uint64_t now) {
    if (state_request_sent_ms_ && now - *state_request_sent_ms_ >= opt_.ack_timeout_ms)
        state_request_sent_ms_.reset(); // its answer was lost; the line is free again
    while (!in_flight_.empty() && now - in_flight_.front()->sent_local_ms >= opt_.ack_timeout_ms) {
        RequestPtr r = in_flight_.front();
        in_flight_.pop_front();
        finish(r, Failure::Timeout, "no ack from the controller");
    }
    if (opt_.heartbeats && session_known_ && !session_id_.empty() && now >= next_heartbeat_ms_) {
        const auto heartbeat = [](const RequestPtr &r) {
            return r->kind == RequestKind::Heartbeat;
        };
        const bool outstanding = std::any_of(queue_.begin(), queue_.end(), heartbeat) ||
            std::any_of(in_flight_.begin(), in_flight_.end(), heartbeat);
        // Keep the cadence of the schedule, but never queue heartbeats up
        // behind one that is still unanswered.
        if (!outstanding) {
            next_heartbeat_ms_ = next_heartbeat_ms_ + opt_.heartbeat_interval_ms > now
                ? next_heartbeat_ms_ + opt_.heartbeat_interval_ms
                : now + opt_.heartbeat_interval_ms;
            auto r = std::make_shared<Request>();
            r->kind = RequestKind::Heartbeat;
            r->session_id = session_id_;
            queue_.push_back(std::move(r));
        }
    }
    flush(now);
}

void Client::poll(std::chrono::milliseconds max_wait) {
    if (lost_) throw ConnectionLost("connection lost");
    std::uint64_t now = local_now();
    service(now);
    std::uint64_t wait = max_wait.count() > 0 ? static_cast<std::uint64_t>(max_wait.count()) : 0;
    const auto not_past = [&](std::uint64_t due) {
        wait = std::min(wait, due > now ? due - now : 0);
    };
    if (opt_.heartbeats && session_known_ && !session_id_.empty()) not_past(next_heartbeat_ms_);
    if (!in_flight_.empty()) not_past(in_flight_.front()->sent_local_ms + opt_.ack_timeout_ms);
    if (state_request_sent_ms_) not_past(*state_request_sent_ms_ + opt_.ack_timeout_ms);
    std::optional<std::string> line;
    try {
        line = transport_.receive_line(std::chrono::milliseconds(wait));
    } catch (const ConnectionLost &e) {
        lost_ = true;
        fail_all(Failure::ConnectionLost, e.what());
        throw;
    }
    if (line) handle(*line, local_now());
    service(local_now());
}

bool Client::poll_until(const std::function<bool()> &pred, std::uint64_t deadline) {
    while (!pred()) {
        const std::uint64_t now = local_now();
        if (now >= deadline) return false;
        poll(std::chrono::milliseconds(deadline - now));
    }
    return true;
}

void Client::new_session(const std::string &sid, std::uint64_t now, SessionChange change) {
    if (!change.first)
        fail_all(Failure::SessionChanged, "the controller restarted (new session " + sid + ")");
    clock_.reset();
    last_state_.reset();
    state_request_sent_ms_.reset();
    session_known_ = true;
    session_id_ = sid;
    next_heartbeat_ms_ = now; // arm the new session at once
    if (on_session) on_session(change);
}

void Client::handle(const std::string &raw, std::uint64_t now) {
    auto in = parse_line(raw);
    if (!in) {
        ++malformed_;
        if (on_malformed) on_malformed(raw);
        return;
    }
    const std::string &sid = session_of(*in);
    const std::uint64_t uptime = uptime_of(*in);
    // Within one session the controller's uptime never goes back, whichever
    // line carries it; a restart shows as a new session id, or (when the
    // controller has no valid identity and so no id at all) as time going back.
    if (!session_known_) {
        new_session(sid, now, {"", sid, true, "first line"});
    } else if (sid != session_id_) {
        new_session(sid, now, {session_id_, sid, false, "session id changed"});
    } else if (uptime < last_uptime_) {
        new_session(sid, now, {session_id_, sid, false, "uptime went backwards"});
    }
    last_uptime_ = uptime;
    clock_.observe(now, uptime);

    if (const auto *s = std::get_if<StateLine>(&*in)) {
        last_state_ = *s;
        // One that arrives too soon after a state request to be its answer
        // was already on its way. Any state line answers a request still queued.
        if (state_request_sent_ms_ && now - *state_request_sent_ms_ >= opt_.state_answer_min_ms)
            state_request_sent_ms_.reset();
        pending_state_request_ = false;
    }
    if (const auto *a = std::get_if<AckLine>(&*in)) match_ack(*a);
    if (on_line) on_line(*in, raw);
}

void Client::match_ack(const AckLine &ack) {
    // Answers come in the order the lines were sent. Only an ack carrying a
    // request id is proof enough to skip over earlier lines as lost; an ack
    // without one matches the oldest outstanding line or nothing.
    const std::size_t reach =
        ack.request_id.empty() ? std::min<std::size_t>(1, in_flight_.size()) : in_flight_.size();
    for (std::size_t i = 0; i < reach; ++i) {
        if (!answers(*in_flight_[i], ack)) continue;
        std::deque<RequestPtr> skipped(in_flight_.begin(),
                                       in_flight_.begin() + static_cast<std::ptrdiff_t>(i));
        RequestPtr r = in_flight_[i];
        in_flight_.erase(in_flight_.begin(),
                         in_flight_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        for (auto &s : skipped)
            finish(s, Failure::LineLost, "a later line was answered first: this one was lost");
        const bool future = ack.code == "future_command";
        if (r->kind == RequestKind::Open && (parse_refusal(ack) || future) &&
            r->attempts <= opt_.open_retries) {
            // Not acted on: the line arrived mangled, or our stamp was ahead
            // of the controller (whose clock this ack shows). Send it again.
            if (future) clock_.rebase(local_now(), ack.uptime_ms);
            r->status = RequestStatus::Queued;
            queue_.push_front(r);
            return;
        }
        r->status = RequestStatus::Answered;
        r->ack = ack;
        if (r->kind == RequestKind::Heartbeat && parse_refusal(ack)) next_heartbeat_ms_ = 0;
        if (on_request_done) on_request_done(*r);
        return;
    }
    ++stray_acks_;
}

} // namespace cabinet_host
