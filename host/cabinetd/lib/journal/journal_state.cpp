#include "journal_state.h"

#include "journal_sql.h"

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

using namespace journal_sql;

void JournalState::load(sqlite3 *db, const std::string &path) {
    Stmt last(db, "SELECT coalesce(max(cursor), 0) FROM journal");
    last.step();
    last_cursor_ = last.i64(0);
    chain_ = chain_head(db);
    const auto meta = chain_meta(db);
    if (!meta)
        throw JournalError(fmt::format("journal {}: its chain's origin (table chain_meta) is "
                                       "missing or damaged: cabinetd cannot chain records to it",
                                       path));
    format_from_ = meta->format_from;
    next_cursor_ = journal_sql::next_cursor(db);
}

std::pair<std::vector<JournalState::Listener>, std::int64_t>
JournalState::committed(const ChainHead &head, std::int64_t next, const std::vector<Record> &stored,
                        std::uint64_t dups, double seconds) {
    std::vector<Listener> listeners;
    std::lock_guard lk(mu_);
    chain_ = head;
    next_cursor_ = next;
    for (auto &r : stored) {
        recent_.push_back(r);
        last_cursor_ = r.cursor;
    }
    while (recent_.size() > recent_max_) recent_.pop_front();
    stats_.records += stored.size();
    stats_.duplicates += dups;
    ++stats_.batches;
    stats_.write_seconds_sum += seconds;
    for (std::size_t i = 0; i < std::size(JournalStats::kBuckets); ++i)
        if (seconds <= JournalStats::kBuckets[i]) ++stats_.write_buckets[i];
    for (auto &[id, l] : listeners_) listeners.push_back(l);
    return {std::move(listeners), last_cursor_};
}

std::pair<std::vector<JournalState::Listener>, std::int64_t> JournalState::listeners() const {
    std::vector<Listener> listeners;
    std::lock_guard lk(mu_);
    for (auto &[id, l] : listeners_) listeners.push_back(l);
    return {std::move(listeners), last_cursor_};
}

int JournalState::subscribe(Listener l) {
    std::lock_guard lk(mu_);
    listeners_.emplace_back(next_listener_, std::move(l));
    return next_listener_++;
}

void JournalState::unsubscribe(int id) {
    std::lock_guard lk(mu_);
    std::erase_if(listeners_, [&](auto &p) { return p.first == id; });
}

ChainHead JournalState::head() const {
    std::lock_guard lk(mu_);
    return chain_;
}

std::int64_t JournalState::last_cursor() const {
    std::lock_guard lk(mu_);
    return last_cursor_;
}

JournalStats JournalState::stats() const {
    std::lock_guard lk(mu_);
    return stats_;
}

std::optional<std::vector<Record>> JournalState::since(std::int64_t after,
                                                       std::size_t limit) const {
    std::lock_guard lk(mu_);
    if (after >= last_cursor_) return std::vector<Record>{};
    if (recent_.empty() || recent_.front().cursor > after + 1) return std::nullopt;
    auto it = std::upper_bound(recent_.begin(), recent_.end(), after,
                               [](std::int64_t c, const Record &r) { return c < r.cursor; });
    std::vector<Record> out;
    for (; it != recent_.end() && out.size() < limit; ++it) out.push_back(*it);
    return out;
}

std::optional<std::vector<Record>> JournalState::matching(const Query &q, std::int64_t from,
                                                          std::int64_t upto) const {
    std::lock_guard lk(mu_);
    if (recent_.empty() || recent_.front().cursor > from + 1) return std::nullopt;
    auto it = std::upper_bound(recent_.begin(), recent_.end(), from,
                               [](std::int64_t c, const Record &r) { return c < r.cursor; });
    std::vector<Record> out;
    for (; it != recent_.end() && it->cursor <= upto && out.size() < q.limit; ++it)
        if (matches(q, *it)) out.push_back(*it);
    return out;
}

} // namespace cabinetd
