// The journal's check of its own chain, from its base to its head: at
// start-up and after each prune that removed records, on a thread of its own
// (a million records take seconds: service does not wait for them). It also
// logs the head now and then, so that copies of it exist beyond the database.
#pragma once

#include "journal_state.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace cabinetd {

class ChainChecker {
public:
    // write: how the record of a break is journalled.
    ChainChecker(std::string path, const char *vfs, std::chrono::milliseconds head_log_interval,
                 const JournalState &state, std::function<void(std::vector<Record>)> write);
    ~ChainChecker() { stop(); }
    ChainChecker(const ChainChecker &) = delete;
    ChainChecker &operator=(const ChainChecker &) = delete;
    ChainCheck check() const;
    // The head, while the last check found the chain holding.
    std::optional<ChainHead> published_head() const;
    // The first check is due from the start.
    void start();
    // Asks for a check (after a prune that removed records).
    void request();
    // Logs the head, or why it is not offered, once an interval (writer thread).
    void log_head_when_due();
    // When that is next due.
    std::chrono::steady_clock::time_point next_head_log() const { return next_head_log_; }
    // Stops the thread, after the check under way.
    void stop();

private:
    void run();
    void tell_listeners();

    const std::string path_;
    const char *vfs_;
    const std::chrono::milliseconds head_log_interval_;
    const JournalState &state_;
    std::function<void(std::vector<Record>)> write_;
    // The first head is logged by the first check of the chain, once it holds.
    std::chrono::steady_clock::time_point next_head_log_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool due_ = true, stop_ = false;
    ChainCheck check_;
    std::thread thread_;
};

} // namespace cabinetd
