#include "api_context.h"

#include "http_views.h"
#include "random.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

Cabinet *ApiContext::cabinet(std::string_view name) const {
    for (auto &[c, ep] : cabinets)
        if (c->name() == name) return c;
    return nullptr;
}

std::string ApiContext::endpoint(std::string_view cabinet) const {
    for (auto &[c, ep] : cabinets)
        if (c->name() == cabinet) return ep;
    return {};
}

std::vector<CabinetStatus> ApiContext::statuses() const {
    std::vector<CabinetStatus> out;
    for (auto &[c, ep] : cabinets) out.push_back(c->status());
    return out;
}

// Nothing of a cabinet the asker may not read: the other cabinets on the
// same board are named only where it may read them.
StatusContext ApiContext::context_of(const Cabinet &c, const Principal &who) const {
    StatusContext sc;
    sc.journal_available = journal.available();
    if (boards) {
        auto id = boards->identity(c.name());
        sc.board_id = std::move(id.board);
        for (auto &other : id.shared_with)
            if (policy.decide(who, Action::Read, other))
                sc.board_shared_with.push_back(std::move(other));
    }
    sc.unowned_alarms = policy.unowned_alarms(c.name());
    return sc;
}

nlohmann::json ApiContext::status_view(const Cabinet &c, const Principal &who) const {
    auto sc = context_of(c, who);
    sc.now_ms = c.clock_ms();
    sc.live = c.live();
    return status_json(c.snapshot()->status, who.role == Role::Operator, sc);
}

namespace {

// What stands in the made text for what is filled in at each answer: a
// string no status holds (128 random bits), then the slot's letter.
const std::string &slot_mark() {
    static const std::string mark = "slot-" + random_hex(16) + "-";
    return mark;
}

bool same_context(const StatusContext &a, const StatusContext &b) {
    return a.journal_available == b.journal_available && a.board_id == b.board_id &&
        a.board_shared_with == b.board_shared_with && a.unowned_alarms == b.unowned_alarms;
}

} // namespace

std::string ApiContext::status_text(const Cabinet &c, const Principal &who) const {
    const bool for_operator = who.role == Role::Operator;
    const auto snap = c.snapshot();
    const auto live = c.live();
    const auto now = c.clock_ms();
    auto sc = context_of(c, who);
    // A re-arm counts its seconds down in the text: made afresh while it lasts.
    if (snap->status.rearm_until_ms) {
        sc.now_ms = now;
        sc.live = live;
        return status_json(snap->status, for_operator, sc).dump();
    }
    std::lock_guard lk(texts_mu_);
    // One text per role and per set of other cabinets on the board the asker
    // may see (which differ only where tokens' scopes split such a board).
    auto &t = texts_[{&c, for_operator, sc.board_shared_with}];
    if (t.version != snap->version || !same_context(t.context, sc)) {
        auto j = status_json(snap->status, for_operator, sc);
        const auto &mark = slot_mark();
        j["heartbeat_age_s"] = mark + "h";
        if (j["controller"].is_object()) {
            j["controller"]["uptime_ms"] = mark + "u";
            j["controller"]["event_seq"] = mark + "e";
        }
        const auto text = j.dump();
        t = StatusText{snap->version, sc, {}, {}};
        const auto quoted = "\"" + mark;
        std::size_t from = 0;
        for (auto at = text.find(quoted); at != std::string::npos; at = text.find(quoted, from)) {
            t.pieces.push_back(text.substr(from, at - from));
            t.slots.push_back(text[at + quoted.size()]);
            from = at + quoted.size() + 2; // the letter and the closing quote
        }
        t.pieces.push_back(text.substr(from));
    }
    std::string out = t.pieces[0];
    for (std::size_t i = 0; i < t.slots.size(); ++i) {
        switch (t.slots[i]) {
        case 'h': {
            if (!live.heartbeat_ok_ms) {
                out += "null";
                break;
            }
            const auto at = static_cast<std::uint64_t>(*live.heartbeat_ok_ms);
            out += nlohmann::json(static_cast<double>(now - std::min(now, at)) / 1000.0).dump();
            break;
        }
        case 'u': out += std::to_string(live.uptime_ms); break;
        default: out += std::to_string(live.event_seq); break;
        }
        out += t.pieces[i + 1];
    }
    return out;
}

std::optional<std::string> ApiContext::degraded() const {
    if (journal.available()) return std::nullopt;
    return fmt::format("the journal cannot write: {}", journal.unavailable_reason());
}

} // namespace cabinetd
