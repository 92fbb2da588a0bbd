#include "journal.h"

#include "journal_sql.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

using namespace journal_sql;

namespace {

// A query's filters, then its order and limit: the end of a SELECT whose own
// conditions come first. bind_filter binds its values from parameter i on,
// in the same order. The requester is read as requester() reads it.
std::string filter_sql(const Query &q) {
    std::string sql;
    if (!q.cabinet.empty()) sql += " AND cabinet = ?";
    if (!q.kinds.empty()) {
        sql += " AND kind IN (";
        for (std::size_t i = 0; i < q.kinds.size(); ++i) sql += i ? ",?" : "?";
        sql += ")";
    }
    if (q.door) sql += " AND door_id = ?";
    if (!q.requested_by.empty())
        sql += " AND CASE WHEN json_valid(detail) THEN coalesce(json_extract(detail, "
               "'$.requested_by'), json_extract(detail, '$.by')) END = ?";
    if (q.since_ms) sql += " AND at_ms >= ?";
    if (q.until_ms) sql += " AND at_ms < ?";
    return sql + " ORDER BY cursor LIMIT ?";
}

void bind_filter(Stmt &s, int i, const Query &q) {
    if (!q.cabinet.empty()) s.bind(i++, q.cabinet);
    for (auto &k : q.kinds) s.bind(i++, k);
    if (q.door) s.bind(i++, static_cast<std::int64_t>(q.door));
    if (!q.requested_by.empty()) s.bind(i++, q.requested_by);
    if (q.since_ms) s.bind(i++, *q.since_ms);
    if (q.until_ms) s.bind(i++, *q.until_ms);
    s.bind(i++, static_cast<std::int64_t>(q.limit));
}

} // namespace

std::vector<Record> Journal::read(const Query &q) const {
    const auto sql =
        fmt::format("SELECT {} FROM journal WHERE cursor > ?", kColumns) + filter_sql(q);
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, sql.c_str());
    s.bind(1, q.after);
    bind_filter(s, 2, q);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::vector<Record> Journal::by_request(const std::string &cabinet,
                                        const std::string &request_id) const {
    std::lock_guard lk(rmu_);
    Stmt s(
        rdb_,
        fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND request_id = ? ORDER BY cursor",
                    kColumns)
            .c_str());
    s.bind(1, cabinet).bind(2, request_id);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::vector<Record> Journal::by_key(const std::string &cabinet, const std::string &scope,
                                    const std::string &key) const {
    std::lock_guard lk(rmu_);
    Stmt s(
        rdb_,
        fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND key_scope = ? AND client_key = ? "
                    "AND client_key <> '' AND kind = 'open' ORDER BY cursor",
                    kColumns)
            .c_str());
    s.bind(1, cabinet).bind(2, scope).bind(3, key);
    std::vector<Record> out;
    while (s.step()) out.push_back(row(s));
    return out;
}

std::optional<Record> Journal::event(const std::string &cabinet, const std::string &session,
                                     std::uint64_t seq) const {
    std::lock_guard lk(rmu_);
    Stmt s(
        rdb_,
        fmt::format("SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND event_seq = ? "
                    "AND kind = 'event'",
                    kColumns)
            .c_str());
    s.bind(1, cabinet).bind(2, session).bind(3, static_cast<std::int64_t>(seq));
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<Record> Journal::last_event(const std::string &cabinet,
                                          const std::string &session) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_,
           fmt::format(
               "SELECT {} FROM journal WHERE cabinet = ? AND session_id = ? AND kind = 'event' "
               "ORDER BY event_seq DESC LIMIT 1",
               kColumns)
               .c_str());
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return row(s);
}

std::optional<std::uint64_t> Journal::last_seq(const std::string &cabinet,
                                               const std::string &session) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT last_seq FROM sessions WHERE cabinet = ? AND session_id = ?");
    s.bind(1, cabinet).bind(2, session);
    if (!s.step()) return std::nullopt;
    return static_cast<std::uint64_t>(s.i64(0));
}

std::optional<std::string> Journal::last_session(const std::string &cabinet) const {
    std::lock_guard lk(rmu_);
    Stmt s(
        rdb_,
        "SELECT session_id FROM sessions WHERE cabinet = ? ORDER BY last_ms DESC, rowid DESC LIMIT 1");
    s.bind(1, cabinet);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::int64_t Journal::last_cursor() const {
    std::lock_guard lk(mu_);
    return last_cursor_;
}

std::vector<Record> Journal::since(std::int64_t after, std::size_t limit) const {
    {
        std::lock_guard lk(mu_);
        if (after >= last_cursor_) return {};
        if (!recent_.empty() && recent_.front().cursor <= after + 1) {
            auto it =
                std::upper_bound(recent_.begin(), recent_.end(), after,
                                 [](std::int64_t c, const Record &r) { return c < r.cursor; });
            std::vector<Record> out;
            for (; it != recent_.end() && out.size() < limit; ++it) out.push_back(*it);
            return out;
        }
    }
    Query q;
    q.after = after;
    q.limit = limit;
    return read(q);
}

Journal::Page Journal::page(const Query &q, std::int64_t window) const {
    Page out;
    const auto wanted = [&](const Record &r) { return matches(q, r); };
    std::int64_t upto = 0;
    {
        std::lock_guard lk(mu_);
        upto = window >= last_cursor_ - q.after ? last_cursor_ : q.after + window;
        out.scanned_to = std::max(q.after, upto);
        if (q.after >= upto || q.limit == 0) return out;
        if (!recent_.empty() && recent_.front().cursor <= q.after + 1) {
            auto it =
                std::upper_bound(recent_.begin(), recent_.end(), q.after,
                                 [](std::int64_t c, const Record &r) { return c < r.cursor; });
            for (; it != recent_.end() && it->cursor <= upto; ++it) {
                if (!wanted(*it)) continue;
                out.records.push_back(*it);
                if (out.records.size() == q.limit) {
                    out.scanned_to = it->cursor;
                    break;
                }
            }
            return out;
        }
    }
    const auto sql =
        fmt::format("SELECT {} FROM journal WHERE cursor > ? AND cursor <= ?", kColumns) +
        filter_sql(q);
    std::lock_guard lk(pmu_);
    Stmt s(pdb_, sql.c_str());
    s.bind(1, q.after);
    s.bind(2, upto);
    bind_filter(s, 3, q);
    while (s.step()) out.records.push_back(row(s));
    if (out.records.size() == q.limit) out.scanned_to = out.records.back().cursor;
    return out;
}

JournalStats Journal::stats() const {
    std::lock_guard lk(mu_);
    return stats_;
}

std::optional<std::int64_t> Journal::progress(const std::string &reader) const {
    std::lock_guard lk(rmu_);
    Stmt s(rdb_, "SELECT cursor FROM progress WHERE reader = ?");
    s.bind(1, reader);
    if (!s.step()) return std::nullopt;
    return s.i64(0);
}

} // namespace cabinetd
