// Checks a journal's hash chain on a connection of its own, read-only, in
// one read transaction: a consistent snapshot however busy its writer is.
// Every value is checked to be of its column's type and within its range
// before it is hashed, each record's settles is found again and compared,
// tombstones are taken of line traffic only, and the pruned records must
// account for the chain's base.
#include "journal_chain.h"
#include "journal_sql.h"
#include "journal_startup.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <memory>
#include <set>

namespace cabinetd {

using namespace journal_sql;

namespace {

constexpr int kLinkColumn = static_cast<int>(kHashedColumns.size());
constexpr int kHashColumn = kLinkColumn + 1;

std::string_view type_name(Stored::Type t) {
    switch (t) {
    case Stored::Type::Integer: return "an integer";
    case Stored::Type::Float: return "a real number";
    case Stored::Type::Text: return "text";
    case Stored::Type::Blob: return "a blob";
    case Stored::Type::Null: return "null";
    }
    return "?";
}

// What a column may hold: its type, whether it may be null, and for an
// integer its range.
struct Rule {
    std::string_view column;
    Stored::Type type;
    bool nullable = false;
    std::int64_t min = INT64_MIN, max = INT64_MAX;
};

// Why a value breaks its column's rule; empty when it keeps it.
std::string bad(const Rule &r, const Stored &v) {
    if (v.type == Stored::Type::Null && r.nullable) return {};
    if (v.type != r.type)
        return fmt::format("its {} is {}, not {}", r.column, type_name(v.type), type_name(r.type));
    if (v.type == Stored::Type::Integer && (v.integer < r.min || v.integer > r.max))
        return r.max == INT64_MAX
            ? fmt::format("its {} is {}, below {}", r.column, v.integer, r.min)
            : fmt::format("its {} is {}, outside {} to {}", r.column, v.integer, r.min, r.max);
    return {};
}

using T = Stored::Type;
// The hashed columns, in kHashedColumns' order (settles is checked against
// the record's cursor below).
const Rule kRules[] = {
    {"cursor", T::Integer, false, 1},
    {"at_ms", T::Integer},
    {"cabinet", T::Text},
    {"kind", T::Text},
    {"session_id", T::Text},
    {"event_seq", T::Integer, true, 0},
    {"seq_to", T::Integer, true, 0},
    {"code", T::Text},
    {"request_id", T::Text},
    {"door_id", T::Integer, false, 0, 8},
    {"detail", T::Text},
    {"key_scope", T::Text},
    {"client_key", T::Text},
    {"uptime_ms", T::Integer, true, 0},
    {"requested_by", T::Text},
    {"outcome", T::Text},
    {"settles", T::Integer, true, 1},
    {"class", T::Integer, false, 0, 1},
};
static_assert(std::size(kRules) == kHashedColumns.size());
const Rule kLinkRule{"link", T::Integer, false, 1};

std::optional<Hash> hash_of(const Stored &v) {
    if (v.type != T::Blob || v.bytes.size() != 32) return std::nullopt;
    Hash h;
    std::copy(v.bytes.begin(), v.bytes.end(), h.begin());
    return h;
}

// One link as stored: a record's row, or a tombstone of pruned line traffic.
struct Link {
    std::int64_t cursor = 0;
    std::string kind;
    RecordClass cls = RecordClass::Audit;
    std::uint64_t number = 0;
    Hash digest{};
    std::optional<Hash> hash;
    bool tombstone = false;
};

// A front cut, as a `pruned` record in the chain says it.
struct Cut {
    std::uint64_t link = 0; // the pruned record's own link
    std::int64_t cursor = 0;
    std::uint64_t to = 0; // the base it names
    Hash to_hash{};
    std::optional<std::uint64_t> from; // the base before it (format 2 says)
    std::string why;
    std::int64_t at_ms = 0;
};

class Walk {
public:
    Walk(sqlite3 *db, const ChainMeta &meta, const std::optional<ChainHead> &anchor,
         Verification &v)
            : db_(db), meta_(meta), anchor_(anchor), v_(v), settled_(db, kSettles) {
        Stmt first(db, "SELECT coalesce(min(cursor), 0) FROM journal");
        first.step();
        first_row_ = first.i64(0);
        Stmt legacy(db, "SELECT link FROM chain_legacy ORDER BY link");
        while (legacy.step()) legacy_.push_back(static_cast<std::uint64_t>(legacy.i64(0)));
    }

    // Every link after the base, rows and tombstones merged by cursor;
    // stops at the first that breaks the chain.
    bool run() {
        std::string cols;
        for (auto c : kHashedColumns) cols += fmt::format("{}, ", c);
        Stmt rows(db_,
                  fmt::format("SELECT {}link, hash FROM journal WHERE cursor > ? ORDER BY "
                              "cursor",
                              cols)
                      .c_str());
        Stmt tombs(db_,
                   "SELECT cursor, kind, link, digest, hash, class FROM chain_links WHERE "
                   "cursor > ? ORDER BY cursor");
        rows.bind(1, v_.base.cursor);
        tombs.bind(1, v_.base.cursor);
        at_ = v_.base;
        bool row = rows.step(), tomb = tombs.step();
        while (row || tomb) {
            if (row && tomb && rows.i64(0) == tombs.i64(0))
                return broken(rows.i64(0), "a record and a tombstone share its cursor");
            const bool take_row = row && (!tomb || rows.i64(0) < tombs.i64(0));
            std::optional<Link> l = take_row ? of_row(rows) : of_tomb(tombs);
            if (!l || !check(*l)) return false;
            if (take_row) row = rows.step();
            else tomb = tombs.step();
        }
        if (v_.base.count + 1 < v_.format_from && at_.count < v_.format_from)
            return broken(at_.cursor,
                          fmt::format("the record that changed the chain to format {} "
                                      "(link {}) is missing",
                                      kChainFormat, v_.format_from));
        v_.head = at_;
        return true;
    }

    const std::vector<Cut> &cuts() const { return cuts_; }

private:
    bool format_1(std::uint64_t number) const { return number < v_.format_from; }

    std::optional<Link> of_row(const Stmt &s) {
        StoredRecord stored;
        for (std::size_t i = 0; i < stored.size(); ++i) stored[i] = s.stored(static_cast<int>(i));
        const auto cursor = s.i64(0);
        for (std::size_t i = 0; i < stored.size(); ++i)
            if (auto why = bad(kRules[i], stored[i]); !why.empty()) return none(cursor, why);
        const auto link = s.stored(kLinkColumn), hash = s.stored(kHashColumn);
        if (hash.type == T::Null) {
            broken(cursor, "it carries no hash: inserted after the chain began");
            return std::nullopt;
        }
        if (auto why = bad(kLinkRule, link); !why.empty()) return none(cursor, why);
        const auto &kind = stored[hashed_column("kind")].bytes;
        const auto known = record_kind(kind);
        if (!known) return none(cursor, fmt::format("its kind \"{}\" is no kind of record", kind));
        Link l;
        l.cursor = cursor;
        l.kind = kind;
        l.number = static_cast<std::uint64_t>(link.integer);
        l.hash = hash_of(hash);
        if (!l.hash)
            return none(cursor,
                        fmt::format("its hash is {} of {} bytes, not 32", type_name(hash.type),
                                    hash.bytes.size()));
        l.cls = static_cast<RecordClass>(stored[hashed_column("class")].integer);
        if (format_1(l.number)) {
            // Format 1 did not hash the class: it follows from the kind.
            Record r;
            r.kind = *known;
            if (l.cls != record_class(r))
                return none(cursor,
                            fmt::format("its class is {}, which a {} record is not",
                                        static_cast<int>(l.cls), kind));
            l.digest = record_digest_v1(record_of(stored));
        } else {
            l.digest = record_digest(meta_.origin, stored);
        }
        const auto &settles = stored[hashed_column("settles")];
        const auto expected = settles_of(settled_, stored[hashed_column("cabinet")].bytes,
                                         stored[hashed_column("request_id")].bytes,
                                         stored[hashed_column("outcome")].bytes, cursor);
        const bool pruned_before =
            !expected && settles.type == T::Integer && settles.integer < first_row_;
        if (!pruned_before && Stored::of(expected) != settles)
            return none(
                cursor,
                fmt::format("it settles {}, but the open or clear it settles is {}",
                            settles.type == T::Null ? "nothing" : std::to_string(settles.integer),
                            expected ? std::to_string(*expected) : "none"));
        if (known == RecordKind::Journal) {
            const Record r = record_of(stored);
            if (r.code == "pruned" && !take_cut(r, l.number)) return std::nullopt;
            if (l.number == v_.format_from && v_.base.count + 1 < v_.format_from &&
                !format_changed(r))
                return std::nullopt;
        } else if (l.number == v_.format_from && v_.base.count + 1 < v_.format_from) {
            return none(cursor,
                        fmt::format("link {} is not the record that changed the chain to "
                                    "format {}",
                                    l.number, kChainFormat));
        }
        return l;
    }

    std::optional<Link> of_tomb(const Stmt &s) {
        const auto cursor = s.i64(0);
        const Rule rules[] = {{"cursor", T::Integer, false, 1},
                              {"kind", T::Text},
                              {"link", T::Integer, false, 1},
                              {"digest", T::Blob},
                              {"hash", T::Blob},
                              {"class", T::Integer, false, 0, 1}};
        for (int i = 0; i < 6; ++i)
            if (auto why = bad(rules[i], s.stored(i)); !why.empty())
                return none(cursor, "its tombstone: " + why);
        Link l;
        l.cursor = cursor;
        l.kind = s.text(1);
        l.number = static_cast<std::uint64_t>(s.i64(2));
        const auto digest = hash_of(s.stored(3));
        l.hash = hash_of(s.stored(4));
        if (!digest || !l.hash)
            return none(cursor, "its tombstone's digest or hash is not 32 bytes");
        l.digest = *digest;
        l.cls = static_cast<RecordClass>(s.i64(5));
        l.tombstone = true;
        const auto known = record_kind(l.kind);
        if (!known)
            return none(cursor,
                        fmt::format("a tombstone of kind \"{}\", no kind of record", l.kind));
        ++v_.tombstones;
        if (l.cls != RecordClass::LineTraffic)
            return none(cursor,
                        fmt::format("a tombstone of an audit record ({}): the size cap "
                                    "only ever prunes line traffic that way",
                                    l.kind));
        if (format_1(l.number)) {
            Record r;
            r.kind = *known;
            if (record_class(r) == RecordClass::Audit &&
                !std::binary_search(legacy_.begin(), legacy_.end(), l.number))
                return none(cursor,
                            fmt::format("a tombstone of a {} record of format 1 that the "
                                        "journal did not hold when it changed to format "
                                        "{}: an audit record was removed",
                                        l.kind, kChainFormat));
        }
        return l;
    }

    bool check(const Link &l) {
        if (l.number != at_.count + 1)
            return broken(l.cursor,
                          fmt::format("it is link {} where link {} should follow: a "
                                      "record was deleted or inserted before it",
                                      l.number, at_.count + 1));
        const Hash h = format_1(l.number)
            ? chain_link_v1(at_.hash, l.digest, l.number, *record_kind(l.kind))
            : chain_link(at_.hash, l.number, l.cursor, l.kind, l.cls, l.digest);
        if (h != *l.hash)
            return broken(l.cursor,
                          "its hash does not chain to the record before it: it was "
                          "edited, inserted, moved, or one before it was deleted");
        at_ = {meta_.origin, l.number, h, l.cursor};
        if (anchor_ && anchor_->origin == meta_.origin && anchor_->count == at_.count &&
            anchor_->hash != at_.hash)
            return broken(l.cursor,
                          fmt::format("the anchor {} no longer holds: the records it "
                                      "covered were changed",
                                      anchor_text(*anchor_)));
        return true;
    }

    // A pruned record that cut the front: the base it names, in the form
    // of its format (format 1 named COUNT:HASH, format 2 the full anchor).
    bool take_cut(const Record &r, std::uint64_t number) {
        const auto d = nlohmann::json::parse(r.detail, nullptr, false);
        if (!d.is_object() || !d.contains("anchor")) return true; // line traffic only, no cut
        const auto &a = d["anchor"];
        std::optional<ChainHead> named;
        if (a.is_string()) {
            const auto text = a.get<std::string>();
            if (auto p = parse_anchor(text); p && p->origin == meta_.origin) named = *p;
            else if (format_1(number) && text.find(':') == text.rfind(':'))
                if (auto legacy = parse_anchor(to_hex(meta_.origin) + ":" + text); legacy)
                    named = *legacy;
        }
        if (!named)
            return broken(r.cursor,
                          "a pruned record whose anchor is not an anchor of this "
                          "journal");
        Cut c;
        c.link = number;
        c.cursor = r.cursor;
        c.to = named->count;
        c.to_hash = named->hash;
        c.at_ms = r.at_ms;
        if (d.contains("why") && d["why"].is_string()) c.why = d["why"].get<std::string>();
        if (d.contains("from_link")) {
            if (!d["from_link"].is_number_unsigned())
                return broken(r.cursor, "a pruned record whose from_link is no link number");
            c.from = d["from_link"].get<std::uint64_t>();
        }
        if (!cuts_.empty() && c.to <= cuts_.back().to)
            return broken(r.cursor,
                          "a pruned record that names a base before the one an earlier "
                          "one named");
        if (c.from && (*c.from >= c.to || (!cuts_.empty() && *c.from != cuts_.back().to)))
            return broken(r.cursor,
                          fmt::format("a pruned record that says it cut links {} to {}, "
                                      "where the cut before it ended at {}",
                                      *c.from + 1, c.to, cuts_.empty() ? 0 : cuts_.back().to));
        cuts_.push_back(c);
        return true;
    }

    // The record that changed the chain to format 2: it names the link it is
    // and commits to the list of format-1 tombstones of audit records.
    bool format_changed(const Record &r) {
        const auto d = nlohmann::json::parse(r.detail, nullptr, false);
        const bool named = r.code == "chain_format" && d.is_object() && d.contains("from_link") &&
            d["from_link"] == v_.format_from && d.contains("legacy_sha256") &&
            d["legacy_sha256"] == to_hex(legacy_digest(legacy_));
        if (named) return true;
        return broken(r.cursor,
                      fmt::format("it is link {}, where the chain changed to format {}, "
                                  "but not the record that says so, or the list of "
                                  "format-1 tombstones (chain_legacy) changed since",
                                  v_.format_from, kChainFormat));
    }

    std::optional<Link> none(std::int64_t cursor, const std::string &why) {
        broken(cursor, why);
        return std::nullopt;
    }
    bool broken(std::int64_t cursor, std::string why) {
        v_.broken_at = cursor;
        v_.problem = std::move(why);
        v_.head = at_;
        return false;
    }

    sqlite3 *db_;
    const ChainMeta &meta_;
    const std::optional<ChainHead> &anchor_;
    Verification &v_;
    Stmt settled_;
    std::int64_t first_row_ = 0;
    std::vector<std::uint64_t> legacy_;
    std::vector<Cut> cuts_;
    ChainHead at_;
};

bool load_base(sqlite3 *db, Verification &v) {
    Stmt base(db, "SELECT cursor, count, hash FROM chain_base");
    const Rule rules[] = {{"cursor", T::Integer, false, 0}, {"count", T::Integer, false, 0}};
    if (!base.step() || !bad(rules[0], base.stored(0)).empty() ||
        !bad(rules[1], base.stored(1)).empty() || !hash_of(base.stored(2))) {
        v.problem = "the chain's base (table chain_base) is missing or damaged";
        return false;
    }
    v.base = {v.origin, static_cast<std::uint64_t>(base.i64(1)), *hash_of(base.stored(2)),
              base.i64(0)};
    if (v.base.count == 0 && v.base.hash != Hash{}) {
        v.problem = "the chain's base claims to be its start, but is not";
        return false;
    }
    Stmt before(db,
                "SELECT count(*), min(CASE WHEN hash IS NOT NULL THEN cursor END) FROM "
                "journal WHERE cursor <= ?");
    before.bind(1, v.base.cursor);
    before.step();
    v.unchained = static_cast<std::uint64_t>(before.i64(0));
    if (!before.null(1)) {
        v.broken_at = before.i64(1);
        v.problem = "a record before the chain's start carries a hash: the start was moved";
        return false;
    }
    return true;
}

// A chain that starts after its first link must say why: the latest cut a
// pruned record names is its base.
void check_base_named(const std::vector<Cut> &cuts, Verification &v) {
    if (v.base.count == 0 ||
        (!cuts.empty() && cuts.back().to == v.base.count && cuts.back().to_hash == v.base.hash))
        return;
    v.broken_at = v.base.cursor;
    v.problem = fmt::format("the chain starts at {} but no pruned record names that anchor: "
                            "records were removed from its front",
                            anchor_text(v.base));
}

PrunedRange range_of(const Cut &c, std::uint64_t from) {
    return {from, c.to, c.cursor, c.link, c.why, c.at_ms};
}

AnchorCheck check_anchor(const ChainHead &anchor, const std::vector<Cut> &cuts,
                         const Verification &v) {
    using A = AnchorCheck::Answer;
    AnchorCheck out;
    out.anchor = anchor;
    if (anchor.origin != v.origin) {
        out.answer = A::OtherJournal;
        out.problem = fmt::format("the anchor is of the journal {}, this one is {}: it is another "
                                  "journal's anchor, or this journal was replaced",
                                  to_hex(anchor.origin), to_hex(v.origin));
        return out;
    }
    if (!v.ok) {
        out.problem = v.problem; // the walk found it
        return out;
    }
    if (anchor.count == 0) {
        out.answer = anchor.hash == Hash{} ? A::Holds : A::DoesNotHold;
        if (out.answer == A::DoesNotHold) out.problem = "an anchor of no links must hash to zero";
        return out;
    }
    if (anchor.count > v.head.count) {
        out.problem = fmt::format("the journal ends at link {}, before the anchor {}: records "
                                  "were removed from its end",
                                  v.head.count, anchor_text(anchor));
        return out;
    }
    if (anchor.count == v.base.count && anchor.hash != v.base.hash) {
        out.problem = fmt::format("the chain's start {} is not the anchor {}: the chain was "
                                  "written anew from there",
                                  anchor_text(v.base), anchor_text(anchor));
        return out;
    }
    // Links pruned before the anchor was taken: the anchor covers the
    // pruned records that say so, up to the latest of them it covers.
    std::uint64_t before = 0;
    for (const auto &c : cuts)
        if (c.link <= anchor.count) before = c.to;
    out.confirmed_after = std::min(anchor.count, v.base.count);
    std::uint64_t from = before;
    for (const auto &c : cuts)
        if (c.link > anchor.count && c.to > before) {
            out.unconfirmed.push_back(range_of(c, std::max(from, c.from.value_or(from))));
            from = c.to;
        }
    if (before >= v.base.count) {
        out.answer = A::Holds;
        return out;
    }
    out.answer = A::CannotConfirm;
    if (out.unconfirmed.empty()) out.unconfirmed.push_back({before, v.base.count, 0, 0, {}, 0});
    out.problem = anchor.count <= v.base.count
        ? fmt::format("the anchor's link {} was pruned: the chain now starts after link {}",
                      anchor.count, v.base.count)
        : fmt::format("links {} to {}, which the anchor covered, were pruned after it was "
                      "taken: the chain cannot tell that they went by pruning",
                      before + 1, v.base.count);
    return out;
}

} // namespace

Verification journal_sql::verify_with(const std::string &path,
                                      const std::optional<ChainHead> &anchor, const char *vfs) {
    regular_file(path, false);
    const std::unique_ptr<sqlite3, int (*)(sqlite3 *)> db(open_db(path, SQLITE_OPEN_READONLY, vfs),
                                                          sqlite3_close);
    if (pragma_int(db.get(), "PRAGMA application_id") != kApplicationId)
        throw JournalError(fmt::format("{} is not a cabinetd journal", path));
    const int version = pragma_int(db.get(), "PRAGMA user_version");
    if (version != kSchemaVersion)
        throw JournalError(fmt::format("journal {} has schema version {}; this tool reads version "
                                       "{} (cabinetd migrates a journal when it opens it)",
                                       path, version, kSchemaVersion));
    Verification v;
    exec(db.get(), "BEGIN");
    try {
        const auto meta = chain_meta(db.get());
        if (!meta) {
            v.problem = "the chain's origin (table chain_meta) is missing or damaged";
        } else {
            v.origin = meta->origin;
            v.format_from = meta->format_from;
            if (load_base(db.get(), v)) {
                Walk walk(db.get(), *meta, anchor, v);
                if (walk.run()) check_base_named(walk.cuts(), v);
                v.ok = v.problem.empty();
                if (anchor) v.anchor = check_anchor(*anchor, walk.cuts(), v);
            }
        }
    } catch (...) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    exec(db.get(), "COMMIT");
    v.ok = v.problem.empty();
    v.answer = v.ok ? Verification::Answer::Holds : Verification::Answer::Broken;
    if (v.ok && v.anchor) {
        switch (v.anchor->answer) {
        case AnchorCheck::Answer::Holds: break;
        case AnchorCheck::Answer::CannotConfirm:
            v.answer = Verification::Answer::CannotConfirm;
            break;
        case AnchorCheck::Answer::DoesNotHold:
        case AnchorCheck::Answer::OtherJournal: v.answer = Verification::Answer::Broken; break;
        }
        v.ok = v.answer == Verification::Answer::Holds;
    }
    return v;
}

Verification verify_journal(const std::string &path, const std::optional<ChainHead> &anchor) {
    return verify_with(path, anchor, nullptr);
}

} // namespace cabinetd
