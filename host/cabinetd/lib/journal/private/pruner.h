// Pruning, for age and for size, on the writer thread and its connection,
// each cut stored with the `pruned` record that says so (see pruner.cpp).
#pragma once

#include "batch_writer.h"
#include "journal_state.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace cabinetd {

class Progress;

class Pruner {
public:
    Pruner(BatchWriter &writer, JournalState &state, Progress &progress,
           std::chrono::milliseconds retention, std::chrono::milliseconds interval,
           std::uint64_t max_bytes);

    // Prunes for age once an interval, and to the size cap once an interval
    // or a minute, whichever is sooner; throws JournalError when the
    // database refuses (tried again when next due).
    void when_due();
    // When it is next due.
    std::chrono::steady_clock::time_point next_due() const {
        return std::min(next_age_, next_size_);
    }

private:
    struct Pruned;
    void prune_age();
    void prune_size();
    std::uint64_t used_bytes() const;
    std::int64_t tombstone_slice(std::int64_t &after, std::int64_t want, Pruned &p);
    std::int64_t drop_front(std::int64_t cut, const char *why);
    void drop_within(std::int64_t cut, Pruned &p);
    std::string pruned_detail(const Pruned &p, const char *why) const;

    BatchWriter &writer_;
    sqlite3 *db_; // the writer's
    JournalState &state_;
    Progress &progress_;
    const std::chrono::milliseconds retention_, interval_;
    const std::uint64_t max_bytes_;
    std::chrono::steady_clock::time_point next_age_, next_size_;
};

} // namespace cabinetd
