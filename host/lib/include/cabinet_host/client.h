// The protocol client: learns the controller's session and clock from the
// lines it sends, keeps heartbeats going, sends commands and matches the acks
// that answer them.
#pragma once

#include "cabinet_host/clock.h"
#include "cabinet_host/protocol.h"
#include "cabinet_host/transport.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace cabinet_host {

enum class RequestKind { Open, Heartbeat, ClearFault };

enum class RequestStatus {
    Queued,   // waiting for its turn on the line
    Sent,     // written, no ack yet
    Answered, // ack received (see ack->code: success or refusal)
    Failed,   // no ack will come (see failure)
};

enum class Failure {
    None,
    Timeout,         // no ack within the ack timeout
    SessionChanged,  // the controller restarted before answering
    ConnectionLost,  // the link went away
    NoSession,       // no session known yet (no line heard, or its clock not yet known)
    IdentityInvalid, // the controller has no valid identity: nothing it can take until it restarts
    LineLost,        // a later line was answered first: this one never arrived whole
    BadArgument,     // the command could not be built (door out of range, ...)
};

const char *to_string(Failure f);
// The command's "type" on the wire: "open", "heartbeat", "clear_fault".
const char *to_string(RequestKind k);

struct Request {
    RequestKind kind = RequestKind::Heartbeat;
    std::string request_id; // opens only
    std::string session_id; // the session the command is addressed to
    unsigned door_id = 0;
    std::uint32_t pulse_ms = 0;
    std::uint32_t ttl_ms = 0;
    std::uint64_t issued_at_ms = 0; // opens: the stamp sent
    unsigned attempts = 0;          // times the line was written
    std::string line;               // the line as sent
    std::uint64_t sent_local_ms = 0;
    RequestStatus status = RequestStatus::Queued;
    std::optional<AckLine> ack;
    Failure failure = Failure::None;
    std::string failure_text;

    bool done() const {
        return status == RequestStatus::Answered || status == RequestStatus::Failed;
    }
    bool succeeded() const;
};
using RequestPtr = std::shared_ptr<Request>;

struct SessionChange {
    std::string old_id;
    std::string new_id;
    bool first = false; // the first session learned on this connection
    std::string reason; // "first line", "session id changed", "uptime went backwards"
};

struct ClientOptions {
    bool heartbeats = true; // send heartbeats while a session is known
    std::uint64_t heartbeat_interval_ms = 1000;
    std::uint64_t ack_timeout_ms = 1000; // the controller answers within tens of ms
    std::size_t max_in_flight = 1;       // lines sent and not yet answered
    std::uint64_t clock_window_ms = 10000;
    std::uint64_t clock_safety_ms = 100; // see ControllerClock
    std::string request_prefix; // a label before each random request id (RequestIds); empty: none
    // A state line cannot answer a state request sooner than this after it
    // was sent (the time to write one at 115200 baud); one that arrives
    // sooner was already on its way and is a periodic one.
    std::uint64_t state_answer_min_ms = 30;
    // An open answered "invalid_message" or "message_too_long" was not acted
    // on (the line arrived mangled), nor was one answered "future_command"
    // (our clock estimate was ahead; it is rebased on that ack). Such an open
    // is sent again this many times with the same request id and a fresh stamp.
    unsigned open_retries = 2;
};

class Client {
public:
    // Local monotonic milliseconds; defaults to std::chrono::steady_clock.
    using LocalClock = std::function<std::uint64_t()>;

    explicit Client(Transport &transport, ClientOptions options = {}, LocalClock clock = {});

    // Commands. Each is queued and sent as soon as the line is free: a line
    // has been heard from the controller (so it is listening, and its session
    // and clock are known) and no answer is awaited. The controller buffers
    // what arrives while it writes, so nothing else holds a line back. An
    // open is stamped with the controller's clock when it is written, not
    // when it is queued. All throw ConnectionLost if the link is gone; a
    // command asked for before any line arrived fails NoSession, one asked of
    // a controller without a valid identity IdentityInvalid.
    // request_id: empty for a fresh one; a caller that retries the same open
    // (an idempotency key) passes its own, so the controller sees a replay.
    RequestPtr open(unsigned door, std::uint32_t pulse_ms, std::uint32_t ttl_ms,
                    std::string request_id = {});
    RequestPtr heartbeat();
    RequestPtr clear_fault();
    // Asks for a state line (answered by a state line, not an ack). Nothing is
    // sent if a state line arrives before the line is free.
    void request_state();

    // Waits up to max_wait (less if a heartbeat or an ack deadline is due
    // sooner) for one line and handles it, then runs timers and sends what is
    // due. Throws ConnectionLost when the link is gone, after failing every
    // outstanding request.
    void poll(std::chrono::milliseconds max_wait);

    // Polls until pred() holds or the deadline (local ms) passes; true if pred held.
    bool poll_until(const std::function<bool()> &pred, std::uint64_t deadline_local_ms);

    void set_heartbeats(bool on);

    bool session_known() const { return session_known_; }
    const std::string &session_id() const { return session_id_; }
    std::optional<std::uint64_t> controller_now() const { return clock_.now(local_now()); }
    const std::optional<StateLine> &last_state() const { return last_state_; }
    std::uint64_t local_now() const { return clock_fn_(); }
    std::uint64_t malformed_lines() const { return malformed_; }
    std::uint64_t stray_acks() const { return stray_acks_; }

    // Every well-formed line, after the client has acted on it.
    std::function<void(const Inbound &, const std::string &raw)> on_line;
    // Lines that are not a well-formed state, event or ack (ignored otherwise).
    std::function<void(const std::string &raw)> on_malformed;
    // The first session learned, and every change of session after it.
    std::function<void(const SessionChange &)> on_session;
    // A request answered or failed.
    std::function<void(const Request &)> on_request_done;
    // Every line written, with the request it carries (none for a state
    // request), so nobody needs to read the line back.
    std::function<void(const std::string &line, const Request *request)> on_sent;

private:
    RequestPtr enqueue(RequestPtr r);
    void handle(const std::string &raw, std::uint64_t now);
    void match_ack(const AckLine &ack);
    void service(std::uint64_t now);
    void flush(std::uint64_t now);
    void finish(const RequestPtr &r, Failure f, std::string text);
    void fail_all(Failure f, const std::string &text);
    bool clear_to_send() const;
    void new_session(const std::string &sid, std::uint64_t now, SessionChange change);

    Transport &transport_;
    ClientOptions opt_;
    LocalClock clock_fn_;
    ControllerClock clock_;
    RequestIds ids_;

    bool lost_ = false;
    bool session_known_ = false;
    std::string session_id_;
    std::uint64_t last_uptime_ = 0;
    std::optional<StateLine> last_state_;
    std::uint64_t next_heartbeat_ms_ = 0;
    bool pending_state_request_ = false;
    std::optional<std::uint64_t> state_request_sent_ms_; // awaiting the state line that answers
    std::deque<RequestPtr> queue_;
    std::deque<RequestPtr> in_flight_;
    std::uint64_t malformed_ = 0;
    std::uint64_t stray_acks_ = 0;
};

} // namespace cabinet_host
