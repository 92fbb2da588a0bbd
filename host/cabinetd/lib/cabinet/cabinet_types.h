// What a cabinet shows and what it is asked, as plain values: its status,
// an open's and a clear's arguments, and the answers they get. For every
// part that shows a cabinet or hands it a command, without the thread and
// the line behind it (cabinet.h).
#pragma once

#include "alarms.h"
#include "policy.h"
#include "record.h"

#include <cabinet_host/client.h>
#include <cabinet_host/outcome.h>
#include <cabinet_host/protocol.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cabinetd {

enum class Link { Down, Up, Silent };
const char *to_string(Link l);

struct CabinetStatus {
    std::string name;
    std::string endpoint;
    Link link = Link::Down;
    std::int64_t link_since_ms = 0;
    std::string link_reason;
    std::string session_id;
    // The latest state line, moved by the events since (controller_view.h), while the link is up.
    std::optional<cabinet_host::StateLine> state;
    std::optional<std::int64_t> heartbeat_ok_local_ms; // last "heartbeat_ok", steady ms
    // How the heartbeats fare: "ok", "refused", "missing", or "" before the
    // first answer on this link.
    std::string heartbeat_health;
    // Until when (steady ms) the controller's latch driver re-arms after the
    // open it last accepted, refusing every open meanwhile; nothing once over.
    std::optional<std::int64_t> rearm_until_ms;
    std::uint64_t lines_in = 0, lines_out = 0, malformed = 0, reconnects = 0, sessions = 0;
    // State lines that disagreed with what the events since the one before
    // had made of it (the state line wins).
    std::uint64_t view_reconciled = 0;
    std::map<std::string, std::uint64_t> acks, faults;
    std::map<std::string, std::uint64_t> heartbeats; // by outcome: "ok", "refused", "missing"
    std::vector<Alarm> alarms;                       // active ones, oldest first
    std::uint8_t reason_doors = 0; // doors whose opens must say why (bit d-1: door d)
    std::map<std::string, std::uint64_t> alarms_raised; // by code
    std::uint8_t two_person_doors = 0; // bit d-1: door d's opens need a second person
};

// A cabinet's status as it was when what it shows last changed: made once
// per change by the cabinet's thread, then only read, by any number of
// readers at once (the API, the event streams, the MQTT bridge), so that none
// of them copies or builds anything for a cabinet that has not changed. Its
// counters and the clock of its state line are as they were at that change
// (Cabinet::live() has those that move all the time).
struct StatusSnapshot {
    std::uint64_t version = 0; // 1 for the first, one more for each change
    CabinetStatus status;
};
using Snapshot = std::shared_ptr<const StatusSnapshot>;

// What moves with every line and is no change to what the status shows: when
// the controller last acknowledged a heartbeat (on the cabinet's clock,
// nothing while none has been on this link), and its latest state line's
// uptime and event number.
struct LiveFigures {
    std::optional<std::int64_t> heartbeat_ok_ms;
    std::uint64_t uptime_ms = 0, event_seq = 0;
};

// The answer to an acknowledgement of alarms.
struct AlarmAck {
    enum class Outcome { Done, UnknownId, JournalUnavailable, Refused };
    Outcome outcome = Outcome::Done;
    std::vector<std::string> acknowledged; // ids of the alarms acknowledged now
    Refusal refusal;                       // Refused: the policy's
};

// A refusal counted into its requester's window instead of journalled on
// its own (the window's record, when it closes, holds the count): told as
// it happens, so that whoever watches the cabinet sees it then.
struct CountedRefusal {
    std::string cabinet;
    unsigned door = 0; // 0: the cabinet (a refused clear)
    std::string code, requested_by;
    std::string action;      // "" for an open, else "clear_fault", "acknowledge", "approve"
    std::int64_t at_ms = 0;  // wall clock
    std::uint64_t count = 0; // counted in the window so far, this one included
};

// The answer to an open or a fault clear.
struct CommandResult {
    // How it ended; each front end tells its clients in its own terms.
    cabinet_host::Outcome outcome = cabinet_host::Outcome::Error;
    cabinet_host::RequestKind command = cabinet_host::RequestKind::Open; // what it answers
    std::string code;       // ack code, or why no ack came ("connection_lost", ...)
    std::string text;       // its explanation
    std::string request_id; // the controller's: what the open's events carry
    std::string key;        // the client's idempotency key, if it gave one
    std::string session_id;
    bool replayed = false;                // answered from the journal, nothing sent
    std::optional<std::string> cycle_end; // wait=cycle: how the cycle ended
    std::vector<Record> events;           // wait=cycle: the cycle's events
};
using Reply = std::function<void(CommandResult)>;

struct OpenArgs {
    unsigned door = 0;
    std::uint32_t pulse_ms = 500;
    std::uint32_t ttl_ms = 3000;
    // The client's idempotency key (empty: none) and whose it is
    // ("http:<token name>", "mqtt"). A key answers retries within its own
    // scope only; the controller is always sent a request id of cabinetd's.
    std::string key;
    std::string key_scope;
    Principal who;            // who asks: what the policy decides on
    std::string requested_by; // who.name, as journalled
    std::string reason;       // why, as the requester said it; empty: none given
    bool wait_cycle = false;
    // A two-person open: the second person's approval, made by the policy
    // (journalled with the open: who approved it, and the approval's id).
    std::optional<Approval> approval;
};

// A fault clear. A keyed one (a client's request id, in its scope) is
// answered again, not sent again, when it is retried.
struct ClearArgs {
    Principal who;
    std::string requested_by;
    std::string key;
    std::string key_scope;
};

} // namespace cabinetd
