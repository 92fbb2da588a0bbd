#include "cabinet_host/meanings.h"

#include "cabinet_host/explain.h"

#include <array>

namespace cabinet_host {
namespace {

constexpr std::array kMeanings{
    // Refused before anything reached the controller.
    Meaning{"refusal", "not_permitted",
            "The token may not do this here: its role or its scope does not cover it (the tokens "
            "file says who may do what)."},
    Meaning{"refusal", "outside_hours",
            "Outside the token's hours: its doors open to it only within them."},
    Meaning{"refusal", "same_person",
            "A two-person open needs a second person: whoever asked cannot approve it."},
    Meaning{"refusal", "approval_required",
            "Every open of this door needs a second operator's approval: ask on the page or "
            "through the API, where another operator approves it."},
    Meaning{"refusal", "reason_required", "This door opens only with a reason: say why."},
    // Why an open or a clear got no answer, or was never sent.
    Meaning{"failure", "timeout",
            "The controller did not answer in time: check the link, and look at the door before "
            "trying again."},
    Meaning{"failure", "session_changed",
            "The controller restarted before it answered: the command was lost; send it again."},
    Meaning{"failure", "connection_lost",
            "The link went away before the controller answered: whether it took the command is "
            "not known; look at the door."},
    Meaning{"failure", "no_session",
            "Nothing has been heard from the controller yet, so no command can be addressed to "
            "it: wait for its link."},
    Meaning{"failure", "identity_invalid",
            "The controller has no valid identity: it takes no command until it restarts."},
    Meaning{"failure", "line_lost",
            "A later line was answered first: this one never arrived whole; send it again."},
    Meaning{"failure", "bad_argument", "The command could not be made of the values given."},
    Meaning{"failure", "link_down",
            "The link to the controller is down or the controller is silent: nothing was sent."},
    Meaning{"failure", "journal_unavailable",
            "The journal cannot write, and nothing that could not be recorded goes to a "
            "controller: try again once it can."},
    Meaning{"failure", "no_random_source",
            "The system's random source failed, so no request id could be made: nothing was "
            "sent."},
    Meaning{"failure", "stopping", "cabinetd is stopping: nothing was sent."},
    Meaning{"failure", "unknown",
            "cabinetd stopped before the answer was journalled: whether the door opened is not "
            "known; look at it."},
    // The steps of a two-person open.
    Meaning{"approval", "requested",
            "An open of a two-person door waits for a second operator's approval."},
    Meaning{"approval", "approved", "A second operator approved the open: it went ahead."},
    Meaning{"approval", "declined", "Another operator declined the open: nothing was sent."},
    Meaning{"approval", "withdrawn", "Whoever asked withdrew the open before it was approved."},
    Meaning{"approval", "expired",
            "Nobody approved the open in time: nothing was sent; ask again if the door still "
            "needs opening."},
    Meaning{"approval", "revoked",
            "Whoever asked may no longer open this door (the tokens file changed, or their hours "
            "ended): the open was ended."},
    // cabinetd's alarms.
    Meaning{"alarm", "forced_open",
            "A door opened or its latch unlocked with no open under way: see who is at the "
            "cabinet."},
    Meaning{"alarm", "held_open", "A door has stayed open longer than it may: have it closed."},
    // The link to the controller.
    Meaning{"link", "up", "The link to the controller is up and the controller is talking."},
    Meaning{"link", "down", "No link to the controller: cabinetd reconnects by itself."},
    Meaning{"link", "silent",
            "The link is there but the controller has said nothing for 2 s: check its power and "
            "cable."},
    // The controller's runs.
    Meaning{"session", "first", "The first run of this controller in the journal."},
    Meaning{"session", "restarted",
            "The controller restarted: a new run began, and whatever was under way ended."},
    Meaning{"session", "reused",
            "The controller began a run under a session id the journal already holds (its boot "
            "store erased?): it is journalled as a run of its own."},
    // Heartbeat health.
    Meaning{"heartbeat", "ok", "Heartbeats are answered: opens are admitted."},
    Meaning{"heartbeat", "refused",
            "The controller refuses heartbeats: opens are refused until it takes them again."},
    Meaning{"heartbeat", "missing",
            "Heartbeats go unanswered: opens are refused until the controller answers again."},
    // The journal itself.
    Meaning{"journal", "pruned", "Old records were pruned, for their age or the size cap."},
    Meaning{"journal", "moved_aside",
            "A journal that could not be used was moved aside and a new one begun."},
    Meaning{"journal", "unavailable",
            "The journal cannot write: opens and clears are refused until it can."},
    Meaning{"journal", "recovered", "The journal can write again."},
    Meaning{"journal", "chain_started",
            "The hash chain starts here: the records before it are older than the chain."},
    Meaning{"journal", "chain_format",
            "The hash chain is of a newer format from here on, covering each value as stored."},
    Meaning{"journal", "chain_broken",
            "The journal's hash chain is broken: records were changed in its file behind "
            "cabinetd's back. Check it with cabinetctl journal verify."},
    // The controller's states.
    Meaning{"state", "idle", "Idle: every door closed and locked, ready to open one."},
    Meaning{"state", "pulsing", "Releasing a latch."},
    Meaning{"state", "wait_open", "Waiting for the door to be opened."},
    Meaning{"state", "wait_close", "Waiting for the door to be closed."},
    Meaning{"state", "fault", "Stopped by a fault: fix its cause, then clear it."},
};

} // namespace

std::span<const Meaning> all_meanings() { return kMeanings; }

std::optional<std::string_view> words_for(std::string_view where, std::string_view code) {
    for (const auto &m : kMeanings)
        if (m.where == where && m.code == code) return m.text;
    if (where == "event" || where == "ack" || where == "refusal")
        if (const auto *e = explain(code)) return e->text;
    return std::nullopt;
}

} // namespace cabinet_host
