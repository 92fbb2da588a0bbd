// Opens of two-person doors waiting for a second operator. Operator A's open
// of such a door is kept here, not sent; a different operator B approves it
// (the policy makes B's approval, and the open then goes ahead exactly as A
// asked, with B's name beside A's), or A withdraws it, or someone who may
// open that door declines it, or it expires, or A loses the right to open
// it (a reload of the token file: revoked). Every step is journalled as an
// "approval" record. Who is who is the policy's principal, never a name.
//
// Nothing here survives a restart: an approval is a short-lived request
// between two people standing at the cabinet, and a lost one is asked again.
#pragma once

#include "cabinet_types.h"
#include "clock.h"
#include "journal.h"
#include "policy.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace cabinetd {

struct ApprovalOptions {
    std::chrono::milliseconds expiry{60000};
    // Pending approvals one requester may have, and all of them together:
    // past these a new one is refused until some are settled.
    std::size_t per_requester = 8;
    std::size_t total = 256;
    // Settled approvals remembered (the latest), so that a late approve or a
    // retried open is told what became of them.
    std::size_t settled_kept = 1024;
    SteadyClock clock; // empty: the system's steady clock
};

class Approvals {
public:
    enum class State { Pending, Approved, Declined, Withdrawn, Expired, Revoked };
    struct Ask {
        std::string id; // 128 bits from the OS's random source, as hex
        std::string cabinet;
        OpenArgs args; // A's open, as it will be sent, its reason too
        std::uint64_t expires_steady = 0;
        std::int64_t expires_at_ms = 0; // wall clock, for clients
        State state = State::Pending;
        std::string settled_by;           // the name of who settled it; revoked: why
        std::optional<Approval> approval; // approved: the policy's approval
        // What the approved open got, once it has: a retry of A's open
        // under its key is answered with it.
        std::optional<CommandResult> result;
    };
    enum class Step {
        Done,
        Unknown,
        Refused, // the policy refused who asks; the approval stays pending
        Revoked, // the requester may no longer open that door: it is ended
        Settled
    };
    struct Settling {
        Step step = Step::Unknown;
        Ask ask;           // as it is now (settled: how it was settled)
        Decision decision; // Refused, Revoked: the policy's
    };
    struct Counts {
        std::uint64_t requested = 0, approved = 0, declined = 0, withdrawn = 0, expired = 0,
                      revoked = 0;
        std::size_t pending = 0;
    };

    Approvals(Journal &journal, const Policy &policy, ApprovalOptions opt);

    // A's open of a two-person door: a new pending approval, or the one a
    // retry's idempotency key already has (any state: the caller answers by
    // it). Refused by the policy (A may not open that door now: on record
    // once the caller's cabinet journals it), or by the approvals' own
    // limits (own_refusal: key_reused, too_many_approvals, approvals_full,
    // journal_unavailable, no_random_source).
    Result<Ask> request(const std::string &cabinet, OpenArgs args);
    static bool own_refusal(const Refusal &r);
    // B takes a pending approval to carry its open out, with the policy's
    // approval (B is not A, both may open that door now). Taken, it is
    // settled (approved), so it is used once.
    Settling approve(const std::string &id, const Principal &who);
    // Keeps and journals what the approved open got, for retries and the audit.
    void opened(const Ask &a, const CommandResult &r);
    // A withdraws, or another who may open that door declines.
    Settling cancel(const std::string &id, const Principal &who);
    // After a reload of the token file: each pending approval whose
    // requester may no longer open its door ends, revoked, saying why.
    void revoke_lost();
    // The pending approvals who may see, oldest first, and whether who may approve each.
    std::vector<std::pair<Ask, Decision>> pending(const Principal &who);
    // Expires those whose time is up: on every access, and on the server's
    // own timer, so an expiry is on record even when nobody asks.
    void expire_due();
    // Milliseconds until the first pending approval's time is up; nothing
    // while none is pending.
    std::optional<std::uint64_t> next_expiry();
    // Runs (under the lock, so it must not block) after each new pending
    // approval: the server arms its timer for the earliest expiry by it.
    void on_pending(std::function<void()> f) {
        std::lock_guard lk(mu_);
        on_pending_ = std::move(f);
    }
    Counts counts();

private:
    void expire_locked(std::uint64_t now);
    void revoke_locked(std::map<std::string, Ask>::iterator it, const Decision &why);
    void settle_locked(std::map<std::string, Ask>::iterator it, State state, const std::string &by);
    const Ask *find_locked(const std::string &id) const;
    const Ask *lookup_locked(const std::string &id, const Principal &who, Settling &out);
    // The approval a retry's idempotency key already has, pending or settled.
    const Ask *keyed_locked(const std::string &cabinet, const OpenArgs &args) const;
    void journal_step(const Ask &a, const char *code, nlohmann::json extra);

    Journal &journal_;
    const Policy &policy_;
    ApprovalOptions opt_;
    std::mutex mu_;
    std::map<std::string, Ask> pending_;
    std::map<std::string, Ask> settled_;
    std::deque<std::string> settled_order_;
    Counts counts_;
    std::function<void()> on_pending_;
};

const char *to_string(Approvals::State s);

} // namespace cabinetd
