#include "journal_verify.h"
#include "print.h"

#include "journal.h"
#include "journal_chain.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdio>

namespace cabinetctl {

namespace {

using cabinetd::AnchorCheck;
using cabinetd::Verification;

constexpr int kHolds = 0, kUnreadable = 1, kBroken = 2, kCannotConfirm = 3;

const char *answer_name(Verification::Answer a) {
    switch (a) {
    case Verification::Answer::Holds: return "holds";
    case Verification::Answer::Broken: return "broken";
    case Verification::Answer::CannotConfirm: return "cannot_confirm";
    }
    return "?";
}

const char *answer_name(AnchorCheck::Answer a) {
    switch (a) {
    case AnchorCheck::Answer::Holds: return "holds";
    case AnchorCheck::Answer::CannotConfirm: return "cannot_confirm";
    case AnchorCheck::Answer::DoesNotHold: return "does_not_hold";
    case AnchorCheck::Answer::OtherJournal: return "other_journal";
    }
    return "?";
}

std::string range_text(const cabinetd::PrunedRange &r) {
    auto s = fmt::format("links {} to {}", r.from_link + 1, r.to_link);
    if (r.record)
        s += fmt::format(", which the pruned record at cursor {} (link {}, why \"{}\", at_ms {}) "
                         "says were pruned",
                         r.record, r.record_link, r.why, r.at_ms);
    return s;
}

void print_json(const Verification &v) {
    nlohmann::json j{{"type", "result"},
                     {"command", "journal verify"},
                     {"ok", v.ok},
                     {"answer", answer_name(v.answer)},
                     {"origin", cabinetd::to_hex(v.origin)},
                     {"count", v.head.count},
                     {"head", cabinetd::anchor_text(v.head)},
                     {"head_cursor", v.head.cursor},
                     {"base", cabinetd::anchor_text(v.base)},
                     {"format_from", v.format_from},
                     {"unchained", v.unchained},
                     {"tombstones", v.tombstones}};
    if (!v.problem.empty()) j["problem"] = v.problem;
    if (v.broken_at) j["broken_at"] = v.broken_at;
    if (v.anchor) {
        auto unconfirmed = nlohmann::json::array();
        for (const auto &r : v.anchor->unconfirmed)
            unconfirmed.push_back({{"from_link", r.from_link},
                                   {"to_link", r.to_link},
                                   {"record", r.record},
                                   {"why", r.why},
                                   {"at_ms", r.at_ms}});
        j["anchor"] = {{"anchor", cabinetd::anchor_text(v.anchor->anchor)},
                       {"answer", answer_name(v.anchor->answer)},
                       {"confirmed_after", v.anchor->confirmed_after},
                       {"unconfirmed", unconfirmed}};
        if (!v.anchor->problem.empty()) j["anchor"]["problem"] = v.anchor->problem;
    }
    print_line(j.dump());
}

void print_words(const std::string &db, const Verification &v) {
    const auto origin = cabinetd::to_hex(v.origin);
    if (!v.problem.empty()) {
        if (v.broken_at)
            print_line(fmt::format("journal {} (origin {}): the chain breaks at cursor {}: {}", db,
                                   origin, v.broken_at, v.problem));
        else print_line(fmt::format("journal {} (origin {}): {}", db, origin, v.problem));
        print_line(
            fmt::format("it holds up to link {}, {}", v.head.count, cabinetd::anchor_text(v.head)));
        return;
    }
    print_line(
        fmt::format("journal {} (origin {}): the chain holds: {} records, head {} (cursor {})", db,
                    origin, v.head.count, cabinetd::anchor_text(v.head), v.head.cursor));
    if (v.base.count)
        print_line(fmt::format("it starts after link {}, the base its latest pruned record names",
                               v.base.count));
    if (v.tombstones)
        print_line(fmt::format("{} of its records are tombstones of line traffic pruned for size",
                               v.tombstones));
    if (v.format_from > v.base.count + 1)
        print_line(fmt::format("links {} to {} are of chain format 1 (written before format 2): "
                               "their values are covered as read, their settles found again, not "
                               "hashed",
                               v.base.count + 1, v.format_from - 1));
    if (v.unchained)
        print_line(fmt::format(
            "{} records from before the chain began (a migrated journal) are not covered",
            v.unchained));
    if (!v.anchor) return;
    const auto &a = *v.anchor;
    const auto text = cabinetd::anchor_text(a.anchor);
    switch (a.answer) {
    case AnchorCheck::Answer::Holds:
        print_line(fmt::format("the anchor {} holds: the journal still holds, unchanged, the "
                               "records it covered{}",
                               text,
                               v.base.count ? ", but for those pruned before it was taken" : ""));
        break;
    case AnchorCheck::Answer::CannotConfirm:
        print_line(fmt::format("the anchor {} cannot be confirmed: {}", text, a.problem));
        if (a.confirmed_after < a.anchor.count)
            print_line(fmt::format("links {} to {}, which it covered, hold unchanged",
                                   a.confirmed_after + 1, a.anchor.count));
        for (const auto &r : a.unconfirmed) print_line("not confirmed: " + range_text(r));
        break;
    case AnchorCheck::Answer::DoesNotHold:
    case AnchorCheck::Answer::OtherJournal:
        print_line(fmt::format("the anchor {} does not hold: {}", text, a.problem));
        break;
    }
}

} // namespace

int cmd_journal_verify(const Options &o) {
    std::optional<cabinetd::ChainHead> anchor;
    if (o.anchor) {
        const auto parsed = cabinetd::parse_anchor(*o.anchor);
        if (!parsed) {
            print_problem(fmt::format("--anchor \"{}\": {}", *o.anchor, parsed.refusal().text));
            return kUnreadable;
        }
        anchor = *parsed;
    }
    try {
        const auto v = cabinetd::verify_journal(o.journal_db, anchor);
        if (o.json) print_json(v);
        else print_words(o.journal_db, v);
        switch (v.answer) {
        case Verification::Answer::Holds: return kHolds;
        case Verification::Answer::CannotConfirm: return kCannotConfirm;
        case Verification::Answer::Broken: return kBroken;
        }
        return kBroken;
    } catch (const cabinetd::JournalError &e) {
        print_problem(e.what());
        return kUnreadable;
    }
}

} // namespace cabinetctl
