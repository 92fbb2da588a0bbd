// What is queued for the writer thread, and when it must be committed. What
// nobody waits for is grouped: a group interval after the first records,
// and a reader's progress alone after the longer progress interval; a batch
// someone waits for (urgent) takes everything queued before it at once. The
// queue waits on the journal's one lock (JournalState::mutex()).
#pragma once

#include "journal.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cabinetd {

struct WriteBatch {
    std::vector<Record> records;
    std::function<void(bool stored)> done;
    std::vector<std::pair<std::string, std::int64_t>> progress;
    std::vector<Note> notes;
    bool urgent = false; // someone waits: commit at once
    // Runs in the batch's transaction before its records are stored
    // (a prune that must be stored together with the record saying so).
    std::function<void(std::vector<Record> &)> within;
    std::chrono::steady_clock::time_point queued;
};

class WriteQueue {
public:
    using clock = std::chrono::steady_clock;

    WriteQueue(std::mutex &mu, std::chrono::milliseconds group_interval,
               std::chrono::milliseconds progress_interval)
            : mu_(mu), group_interval_(group_interval), progress_interval_(progress_interval) {}
    WriteQueue(const WriteQueue &) = delete;
    WriteQueue &operator=(const WriteQueue &) = delete;

    // Shows the batch's records to the observers, in write order, and queues it.
    void enqueue(WriteBatch b);
    // Waits until everything queued so far is handled (or the writer is gone).
    void flush();

    // Sleeps until `deadline` (the writer's own next one), until a batch is
    // due, or until stopping, and takes what is queued if it must be
    // committed now. retry_at: while the journal cannot write, when it tries
    // again; retry is then set once that time has come (or it is stopping).
    // exiting: stopping, and nothing is left in the queue. `asleep` is told
    // for how long it is about to sleep at most.
    std::vector<WriteBatch> take_due(clock::time_point deadline,
                                     std::optional<clock::time_point> retry_at, bool &retry,
                                     bool &exiting,
                                     const std::function<void(clock::duration)> &asleep);
    // The writer has handled `n` batches taken: their flushes return.
    void handled(std::size_t n);
    // The writer has returned: every flush returns.
    void exited();
    // Wakes the writer to take what is left and return.
    void stop();
    // Stopping (mutex held).
    bool stopping_locked() const { return stop_; }

    int observe(Journal::Observer o);
    void unobserve(int id);

private:
    // When what is queued must be committed (mutex held, queue not empty).
    clock::time_point due_at() const;

    std::mutex &mu_;
    const std::chrono::milliseconds group_interval_, progress_interval_;
    std::condition_variable cv_;
    std::condition_variable done_cv_;
    std::deque<WriteBatch> queue_;
    std::uint64_t queued_ = 0, committed_ = 0;
    std::size_t urgent_ = 0; // urgent batches in queue_
    bool stop_ = false;
    bool exited_ = false;     // the writer has returned
    std::mutex observers_mu_; // also held while queueing, which keeps observers in write order
    std::vector<std::pair<int, Journal::Observer>> observers_;
    int next_observer_ = 1;
};

} // namespace cabinetd
