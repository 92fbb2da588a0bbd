// The one place that decides who may do what, for every front end and on
// every path: HTTP and MQTT say who asks (a Principal) and what; the cabinet
// asks here at the moment it acts, on its own thread, so that what a token
// file reload took away is gone for what has not happened yet.
//
// A principal is a token, not a name: the same token under a corrected name
// is the same person, and two lines can never be one person. Decisions look
// the principal up in the token file as it is now.
//
//   action      who may                                   hours
//   read        a cabinet its SCOPE or ALARMS names        no
//   open        an operator, a door of its SCOPE           yes
//   approve     as open, and not the requester             yes
//   clear       an operator, any door of the cabinet       no
//   acknowledge a door of its ALARMS (default: an          no
//               operator's SCOPE)
//
// The broker (MQTT) is a principal of its own, with no token: it may read,
// open, clear and acknowledge everywhere (the broker's ACL is its limit),
// and it is nobody: it can neither ask for nor give a second person's
// approval.
#pragma once

#include "hours.h"
#include "result.h"
#include "scope.h"
#include "token_file.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace cabinetd {

// Who asks: a token of the file (or the broker), as it stood when it asked.
struct Principal {
    std::string id;   // the token's SHA-256 in hex; "mqtt" for the broker
    std::string name; // what the journal says
    Role role = Role::Viewer;
    // The line as it was: a reload that changes anything of it (name, role,
    // scope, hours, alarms) makes a new grant, and what the old one opened
    // (streams, stream tokens) closes.
    std::uint64_t grant = 0;
    bool operator==(const Principal &) const = default;
};

enum class Action { Read, Open, Approve, Clear, Acknowledge };
const char *to_string(Action a);

// What the policy says: permitted, or refused with a code (not_permitted,
// outside_hours, same_person, approval_required) and words for a person.
using Decision = Result<>;

// A second person's approval of an open of a two-person door: made by the
// policy alone, so an open that carries one was approved by someone it
// allowed to; the cabinet asks again whether it still holds when it sends.
class Approval {
public:
    const std::string &id() const { return id_; }
    const std::string &cabinet() const { return cabinet_; }
    unsigned door() const { return door_; }
    const std::string &requester() const { return requester_; } // principal id
    const Principal &approver() const { return approver_; }
    bool operator==(const Approval &) const = default;

private:
    friend class Policy;
    Approval() = default;
    std::string id_, cabinet_;
    unsigned door_ = 0;
    std::string requester_;
    Principal approver_;
};

// What a principal may do on one cabinet, for its own view of it.
struct Rights {
    std::uint8_t open = 0;        // doors it may open (hours aside), bit d-1
    std::uint8_t acknowledge = 0; // doors whose alarms it may acknowledge
    std::optional<Hours> hours;   // its hours there; none: any time
    bool reads = false;
};

struct PolicyOptions {
    std::shared_ptr<const SiteZone> zone; // none: the system's
    std::function<WallTime()> clock;      // none: the system's clock
};

class Policy {
public:
    explicit Policy(PolicyOptions opt = {});

    // Puts the file's lines in force, whole: a line kept as it was keeps its grant.
    void set(std::vector<TokenLine> lines);
    // Reads and puts in force a token file, which any user of the machine
    // must not be able to change; throws ConfigError (the lines in force
    // stay). Warns of a world-readable file, of a scope naming a cabinet not
    // in `cabinets` (none given: no check), and of each door of `cabinets`
    // whose alarms no token may acknowledge.
    void load(const std::string &path, const std::vector<std::string> &cabinets = {});

    // Who a bearer token is, by its SHA-256, compared in constant time.
    std::optional<Principal> authenticate(std::string_view token) const;
    // Whether the file still grants exactly what it did to this principal.
    bool holds(const Principal &who) const;
    static Principal broker();

    // May `who` do `action` on `cabinet` (door: 0 for the cabinet as a
    // whole; to acknowledge, any of its doors), now? decide_at takes the moment (none: hours aside).
    Decision decide(const Principal &who, Action action, std::string_view cabinet,
                    unsigned door = 0) const;
    Decision decide_at(const Principal &who, Action action, std::string_view cabinet, unsigned door,
                       std::optional<WallTime> at) const;

    // The requester's side of an approval at `at`: refused when the
    // requester may no longer open that door (the broker, which knows no
    // persons, never may ask for one).
    Decision may_ask(const Principal &requester, std::string_view cabinet, unsigned door,
                     WallTime at) const;
    // The approver's approval of the requester's open, now or at `at`:
    // refused when either may not (the requester's side first, as may_ask).
    Result<Approval> approve(const Principal &requester, const Principal &approver,
                             std::string_view cabinet, unsigned door,
                             std::string approval_id) const;
    Result<Approval> approve_at(const Principal &requester, const Principal &approver,
                                std::string_view cabinet, unsigned door, std::string approval_id,
                                WallTime at) const;
    // Whether an approved open still holds, now: for that open, by that
    // requester, with the approver still allowed to approve it.
    Decision admits(const Approval &a, const Principal &requester, std::string_view cabinet,
                    unsigned door) const;

    // The line of the file that grants a principal now; nothing for the
    // broker, or a token no longer there.
    std::optional<TokenLine> line_of(const Principal &who) const;
    // The cabinets a principal reads; nothing: every one.
    std::optional<std::vector<std::string>> readable(const Principal &who) const;
    Rights rights(const Principal &who, std::string_view cabinet) const;
    // The doors (bit d-1) of a cabinet whose alarms no token may acknowledge.
    std::uint8_t unowned_alarms(std::string_view cabinet) const;

    const SiteZone &zone() const { return *zone_; }
    WallTime now() const { return clock_(); }

private:
    struct Grant {
        TokenLine line;
        Principal principal;
    };
    using Table = std::vector<Grant>;
    std::shared_ptr<const Table> table() const;
    static const Grant *find(const Table &t, const Principal &who);

    std::shared_ptr<const SiteZone> zone_;
    std::function<WallTime()> clock_;
    mutable std::mutex mu_;
    std::shared_ptr<const Table> table_;
    std::uint64_t next_grant_ = 1;
};

} // namespace cabinetd
