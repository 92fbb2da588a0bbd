// What the writer has committed, as everyone else sees it: the chain's head,
// the cursor the next record gets, the recent records live readers are served
// from, the counts, and who is told of each commit. All of it under the
// journal's one lock, which the queue, the outage handling and the
// checkpointer wait on too (mutex()): each of those critical sections stays
// one, whichever parts it touches.
#pragma once

#include "journal.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

struct sqlite3;

namespace cabinetd {

class JournalState {
public:
    using Listener = Journal::Listener;

    explicit JournalState(std::size_t recent) : recent_max_(recent) {}
    JournalState(const JournalState &) = delete;
    JournalState &operator=(const JournalState &) = delete;

    // Reads where the stored journal stands (its last cursor, its chain and
    // the chain's format, the next cursor), before any thread runs.
    void load(sqlite3 *db, const std::string &path);

    // The journal's one lock.
    std::mutex &mutex() const { return mu_; }
    // The counts, to change within a critical section of mutex().
    JournalStats &stats_locked() { return stats_; }

    // After a commit (on the writer thread): the chain and the next cursor
    // move on, the stored records join the recent ones and are counted; the
    // listeners to tell, and the last cursor to tell them.
    std::pair<std::vector<Listener>, std::int64_t> committed(const ChainHead &head,
                                                             std::int64_t next,
                                                             const std::vector<Record> &stored,
                                                             std::uint64_t dups, double seconds);
    // The listeners and the last cursor, to tell them of a check's answer.
    std::pair<std::vector<Listener>, std::int64_t> listeners() const;
    int subscribe(Listener l);
    void unsubscribe(int id);

    // The writer thread's own view, which only it changes: no lock needed.
    const ChainHead &chain() const { return chain_; }
    std::int64_t next_cursor() const { return next_cursor_; }
    std::uint64_t format_from() const { return format_from_; }

    ChainHead head() const;
    std::int64_t last_cursor() const;
    JournalStats stats() const;
    // The records after a cursor, from memory; nothing when memory no
    // longer holds the one right after it. Empty, not nothing, when there
    // are none after it.
    std::optional<std::vector<Record>> since(std::int64_t after, std::size_t limit) const;
    // The recent records after `from` up to `upto` that match q, at most
    // q.limit; nothing when memory no longer holds the one after `from`.
    std::optional<std::vector<Record>> matching(const Query &q, std::int64_t from,
                                                std::int64_t upto) const;

private:
    mutable std::mutex mu_;
    const std::size_t recent_max_;
    ChainHead chain_;               // the last link stored (mu_ for readers)
    std::uint64_t format_from_ = 1; // the first link of the current chain format
    std::int64_t next_cursor_ = 1;  // the cursor the next record gets
    std::deque<Record> recent_;     // committed, by cursor
    std::int64_t last_cursor_ = 0;
    JournalStats stats_;
    std::vector<std::pair<int, Listener>> listeners_;
    int next_listener_ = 1;
};

} // namespace cabinetd
