#include "journal_verify.h"

#include "journal.h"
#include "journal_chain.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cstdio>

namespace cabinetctl {

namespace {

void print_json(const cabinetd::Verification &v) {
    nlohmann::json j{{"type", "result"},
                     {"command", "journal verify"},
                     {"ok", v.ok},
                     {"count", v.head.count},
                     {"head", cabinetd::anchor_text(v.head)},
                     {"head_cursor", v.head.cursor},
                     {"base", cabinetd::anchor_text(v.base)},
                     {"unchained", v.unchained},
                     {"tombstones", v.tombstones}};
    if (!v.ok) {
        j["problem"] = v.problem;
        if (v.broken_at) j["broken_at"] = v.broken_at;
    }
    std::puts(j.dump().c_str());
}

void print_text(const std::string &db, const cabinetd::Verification &v) {
    if (!v.ok) {
        if (v.broken_at)
            std::printf("journal %s: the chain breaks at cursor %lld: %s\n", db.c_str(),
                        static_cast<long long>(v.broken_at), v.problem.c_str());
        else std::printf("journal %s: %s\n", db.c_str(), v.problem.c_str());
        std::printf("it holds up to link %llu, %s\n", static_cast<unsigned long long>(v.head.count),
                    cabinetd::anchor_text(v.head).c_str());
        return;
    }
    std::printf("journal %s: the chain holds: %llu records, head %s (cursor %lld)\n", db.c_str(),
                static_cast<unsigned long long>(v.head.count),
                cabinetd::anchor_text(v.head).c_str(), static_cast<long long>(v.head.cursor));
    if (v.base.count)
        std::printf("it starts after link %s, the anchor its pruned record names\n",
                    cabinetd::anchor_text(v.base).c_str());
    if (v.tombstones)
        std::printf("%llu of its records are tombstones of line traffic pruned for size\n",
                    static_cast<unsigned long long>(v.tombstones));
    if (v.unchained)
        std::printf(
            "%llu records from before the chain began (a migrated journal) are not covered\n",
            static_cast<unsigned long long>(v.unchained));
}

} // namespace

int cmd_journal_verify(const Options &o) {
    std::optional<cabinetd::ChainHead> anchor;
    if (!o.anchor.empty()) {
        anchor = cabinetd::parse_anchor(o.anchor);
        if (!anchor) {
            std::fprintf(stderr,
                         "cabinetctl: --anchor %s: not COUNT:HASH (a count, ':', 64 hex digits)\n",
                         o.anchor.c_str());
            return 1;
        }
    }
    try {
        const auto v = cabinetd::verify_journal(o.journal_db, anchor);
        if (o.json) print_json(v);
        else print_text(o.journal_db, v);
        return v.ok ? 0 : 2;
    } catch (const cabinetd::JournalError &e) {
        std::fprintf(stderr, "cabinetctl: %s\n", e.what());
        return 1;
    }
}

} // namespace cabinetctl
