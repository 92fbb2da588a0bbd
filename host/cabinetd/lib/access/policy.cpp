#include "policy.h"

#include "config_error.h"
#include "guarded_file.h"
#include "log.h"

#include <fmt/format.h>
#include <openssl/crypto.h>

#include <algorithm>

namespace cabinetd {
namespace {

constexpr std::string_view kBrokerId = "mqtt";

std::string door_list(std::uint8_t mask) {
    std::string out;
    for (unsigned d = 1; d <= 8; ++d)
        if ((mask >> (d - 1)) & 1u) out += fmt::format("{}{}", out.empty() ? "" : ", ", d);
    return out;
}

Decision not_permitted(std::string text) {
    return Decision::refuse("not_permitted", std::move(text));
}

// The doors whose alarms a line may acknowledge: its ALARMS, else an
// operator's SCOPE; nothing for a viewer without ALARMS.
const Scope *alarm_scope(const TokenLine &l) {
    if (l.alarms) return &*l.alarms;
    return l.role == Role::Operator ? &l.scope : nullptr;
}

bool reads(const TokenLine &l, std::string_view cabinet) {
    return covers(l.scope, cabinet) || (l.alarms && covers(*l.alarms, cabinet));
}

} // namespace

const char *to_string(Action a) {
    switch (a) {
    case Action::Read: return "read";
    case Action::Open: return "open";
    case Action::Approve: return "approve";
    case Action::Clear: return "clear_fault";
    case Action::Acknowledge: return "acknowledge";
    }
    return "read";
}

Policy::Policy(PolicyOptions opt)
        : zone_(opt.zone ? std::move(opt.zone) : std::make_shared<const SiteZone>()),
          clock_(opt.clock ? std::move(opt.clock)
                           : [] {
                                 return std::chrono::time_point_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now());
                             }),
          table_(std::make_shared<const Table>()) {}

Principal Policy::broker() { return Principal{std::string(kBrokerId), "mqtt", Role::Operator, 0}; }

std::shared_ptr<const Policy::Table> Policy::table() const {
    std::lock_guard lk(mu_);
    return table_;
}

const Policy::Grant *Policy::find(const Table &t, const Principal &who) {
    for (const auto &g : t)
        if (g.principal.id == who.id) return &g;
    return nullptr;
}

void Policy::set(std::vector<TokenLine> lines) {
    std::lock_guard lk(mu_);
    auto next = std::make_shared<Table>();
    for (auto &l : lines) {
        Grant g{std::move(l), {}};
        g.principal.id = digest_text(g.line.digest).substr(7);
        g.principal.name = g.line.name;
        g.principal.role = g.line.role;
        // A line kept as it was keeps its grant, so what it granted lives on;
        // anything else is a new grant, and what the old one granted dies.
        for (const auto &old : *table_)
            if (old.line.digest == g.line.digest && old.line.name == g.line.name &&
                old.line.role == g.line.role && old.line.scope == g.line.scope &&
                old.line.alarms == g.line.alarms)
                g.principal.grant = old.principal.grant;
        if (!g.principal.grant) g.principal.grant = next_grant_++;
        next->push_back(std::move(g));
    }
    table_ = std::move(next);
}

void Policy::load(const std::string &path, const std::vector<std::string> &cabinets) {
    const auto file = read_guarded_file(path, "token file");
    auto parsed = parse_token_file(file.text);
    if (!parsed) throw ConfigError(parsed.refusal().text);
    auto &lines = *parsed;
    const bool plain = std::any_of(lines.begin(), lines.end(), [](auto &l) { return !l.hashed; });
    if (file.world_readable && plain)
        log(Level::Warning, readable_by_all(path, "token file", file.mode, "a token"));
    const auto known = [&](const std::string &c) {
        return cabinets.empty() || std::find(cabinets.begin(), cabinets.end(), c) != cabinets.end();
    };
    for (const auto &l : lines)
        for (const auto *s : {&l.scope, l.alarms ? &*l.alarms : nullptr})
            if (s)
                for (const auto &[cabinet, doors] : s->doors)
                    if (!known(cabinet))
                        log(Level::Warning,
                            fmt::format("token file: {}'s scope names cabinet {}, which is "
                                        "not configured here",
                                        l.name, cabinet));
    set(std::move(lines));
    for (const auto &c : cabinets)
        if (const auto unowned = unowned_alarms(c))
            log(Level::Warning,
                fmt::format("token file: no token may acknowledge the alarms of cabinet {}, "
                            "door {}: give someone alarms= for them",
                            c, door_list(unowned)));
}

std::optional<Principal> Policy::authenticate(std::string_view token) const {
    const auto digest = token_digest(token);
    const auto t = table();
    std::optional<Principal> found;
    // Every line is compared, each in constant time, so the time taken
    // tells a guesser nothing of how near a token came.
    for (const auto &g : *t)
        if (CRYPTO_memcmp(g.line.digest.data(), digest.data(), digest.size()) == 0)
            found = g.principal;
    return found;
}

bool Policy::holds(const Principal &who) const {
    if (who.id == kBrokerId) return true;
    const auto t = table();
    const auto *g = find(*t, who);
    return g && g->principal.grant == who.grant;
}

Decision Policy::decide(const Principal &who, Action action, std::string_view cabinet,
                        unsigned door) const {
    return decide_at(who, action, cabinet, door, now());
}

Decision Policy::decide_at(const Principal &who, Action action, std::string_view cabinet,
                           unsigned door, std::optional<WallTime> at) const {
    if (who.id == kBrokerId) {
        if (action != Action::Approve) return Decision::permit();
        return not_permitted("the broker knows no persons: nobody on it can be the second one");
    }
    const auto t = table();
    const auto *g = find(*t, who);
    if (!g) return not_permitted("the token is no longer in the token file");
    const auto &l = g->line;
    if (!reads(l, cabinet))
        return not_permitted(
            fmt::format("the scope of token \"{}\" does not cover cabinet {}", l.name, cabinet));
    switch (action) {
    case Action::Read: return Decision::permit();
    case Action::Clear:
        if (l.role != Role::Operator || !covers(l.scope, cabinet))
            return not_permitted(fmt::format(
                "token \"{}\" may not clear faults of cabinet {} (an operator of its doors may)",
                l.name, cabinet));
        return Decision::permit();
    case Action::Acknowledge: {
        const auto *s = alarm_scope(l);
        if (!s || !(door ? covers(*s, cabinet, door) : covers(*s, cabinet)))
            return not_permitted(
                fmt::format("token \"{}\" may not acknowledge the alarms of door {} of cabinet {}",
                            l.name, door, cabinet));
        return Decision::permit();
    }
    case Action::Open:
    case Action::Approve: break;
    }
    const char *verb = action == Action::Open ? "open" : "approve opens of";
    if (l.role != Role::Operator)
        return not_permitted(fmt::format(
            "token \"{}\" has the viewer role: it may not {} doors (the operator role may)", l.name,
            verb));
    if (!covers(l.scope, cabinet, door))
        return not_permitted(fmt::format("the scope of token \"{}\" does not cover door {} of "
                                         "cabinet {}",
                                         l.name, door, cabinet));
    const auto *h = hours_of(l.scope, cabinet);
    if (at && h && !zone_->within(*h, *at))
        return Decision::refuse("outside_hours",
                                fmt::format("token \"{}\" may {} door {} of cabinet {} at {} ({} "
                                            "time) only",
                                            l.name, verb, door, cabinet, hours_text(*h),
                                            zone_->name()));
    return Decision::permit();
}

Decision Policy::may_ask(const Principal &requester, std::string_view cabinet, unsigned door,
                         WallTime at) const {
    if (requester.id == kBrokerId)
        return not_permitted("the broker knows no persons: it cannot ask for an approval");
    if (auto r = decide_at(requester, Action::Open, cabinet, door, at); !r)
        return Decision::refuse(r.refusal().code,
                                "the requester may no longer open it: " + r.refusal().text);
    return Decision::permit();
}

Result<Approval> Policy::approve(const Principal &requester, const Principal &approver,
                                 std::string_view cabinet, unsigned door,
                                 std::string approval_id) const {
    return approve_at(requester, approver, cabinet, door, std::move(approval_id), now());
}

Result<Approval> Policy::approve_at(const Principal &requester, const Principal &approver,
                                    std::string_view cabinet, unsigned door,
                                    std::string approval_id, WallTime at) const {
    if (auto asks = may_ask(requester, cabinet, door, at); !asks) return asks.refusal();
    if (requester.id == approver.id)
        return Refusal{"same_person",
                       "an open needs a second person: another operator must approve it"};
    if (auto a = decide_at(approver, Action::Approve, cabinet, door, at); !a) return a.refusal();
    Approval out;
    out.id_ = std::move(approval_id);
    out.cabinet_ = std::string(cabinet);
    out.door_ = door;
    out.requester_ = requester.id;
    out.approver_ = approver;
    // The journal names the approver as the file names it now.
    const auto t = table();
    if (const auto *g = find(*t, approver)) out.approver_.name = g->line.name;
    return out;
}

Decision Policy::admits(const Approval &a, const Principal &requester, std::string_view cabinet,
                        unsigned door) const {
    if (a.cabinet_ != cabinet || a.door_ != door || a.requester_ != requester.id)
        return not_permitted("the approval is for another open");
    auto again = approve(requester, a.approver_, cabinet, door, a.id_);
    if (!again) return again.refusal();
    return Decision::permit();
}

std::optional<TokenLine> Policy::line_of(const Principal &who) const {
    const auto t = table();
    const auto *g = find(*t, who);
    if (!g) return std::nullopt;
    return g->line;
}

std::optional<std::vector<std::string>> Policy::readable(const Principal &who) const {
    if (who.id == kBrokerId) return std::nullopt;
    const auto t = table();
    const auto *g = find(*t, who);
    if (!g) return std::vector<std::string>{};
    const auto &l = g->line;
    if (l.scope.everything() || (l.alarms && l.alarms->everything())) return std::nullopt;
    std::vector<std::string> out;
    for (const auto *s : {&l.scope, l.alarms ? &*l.alarms : nullptr})
        if (s)
            for (const auto &[cabinet, doors] : s->doors)
                if (std::find(out.begin(), out.end(), cabinet) == out.end()) out.push_back(cabinet);
    return out;
}

Rights Policy::rights(const Principal &who, std::string_view cabinet) const {
    Rights r;
    if (who.id == kBrokerId) return {kAllDoors, kAllDoors, std::nullopt, true};
    const auto t = table();
    const auto *g = find(*t, who);
    if (!g) return r;
    const auto &l = g->line;
    r.reads = reads(l, cabinet);
    if (!r.reads) return r;
    if (l.role == Role::Operator) r.open = doors_of(l.scope, cabinet);
    if (const auto *s = alarm_scope(l)) r.acknowledge = doors_of(*s, cabinet);
    if (const auto *h = hours_of(l.scope, cabinet)) r.hours = *h;
    return r;
}

std::uint8_t Policy::unowned_alarms(std::string_view cabinet) const {
    std::uint8_t left = kAllDoors;
    const auto t = table();
    for (const auto &g : *t)
        if (const auto *s = alarm_scope(g.line))
            left &= static_cast<std::uint8_t>(~doors_of(*s, cabinet));
    return left;
}

} // namespace cabinetd
