// When the database cannot be written (disk full, I/O error, read-only file
// system): the journal reports itself unavailable, keeps what arrives in
// memory up to a bound, tries again after the retry interval, and once it
// can, writes what it kept between a record of the outage (with a gap record
// for each run of events it could not keep) and one of the recovery.
#pragma once

#include "batch_writer.h"
#include "journal_state.h"
#include "write_queue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cabinetd {

class Outage {
public:
    Outage(JournalState &state, BatchWriter &writer, std::size_t held_max,
           std::chrono::milliseconds retry_interval)
            : state_(state), writer_(writer), held_max_(held_max), retry_interval_(retry_interval) {
    }

    // Commits the batches (after what is held in memory, when the journal
    // could not write before); when the database refuses, the journal becomes
    // unavailable and keeps them in memory. try_db false: only keeps them.
    // Writer thread only.
    void attempt(std::vector<WriteBatch> &batches, bool try_db);

    bool available() const { return available_.load(); }
    // Why it cannot write; empty while it can.
    std::string reason() const;
    // When to try again while it cannot write (writer thread only).
    std::chrono::steady_clock::time_point next_retry() const { return next_retry_; }
    // Records kept in memory now (writer thread only).
    std::size_t held_records() const { return held_records_; }

private:
    // What was dropped past the memory bound while the journal could not write.
    struct Dropped {
        std::map<std::pair<std::string, std::string>,
                 std::vector<std::pair<std::uint64_t, std::uint64_t>>>
            events;
        std::map<RecordKind, std::uint64_t> kinds; // other records, by kind
        std::uint64_t total = 0;
    };
    void become_unavailable(const std::string &reason);
    void become_available();
    void hold(std::vector<WriteBatch> &batches);
    void drop_oldest_held();
    std::vector<Record> recovery_records();

    JournalState &state_;
    BatchWriter &writer_;
    const std::size_t held_max_;
    const std::chrono::milliseconds retry_interval_;
    // Writer thread only, and the journal's lock for the reason.
    std::atomic<bool> available_{true};
    std::string reason_;
    std::int64_t unavailable_since_ms_ = 0;
    std::deque<WriteBatch> held_; // records waiting for the database to take them
    std::size_t held_records_ = 0;
    std::map<std::string, std::int64_t> held_progress_;
    Dropped dropped_;
    std::chrono::steady_clock::time_point next_retry_ = std::chrono::steady_clock::now();
};

} // namespace cabinetd
