#include "reader_thread.h"

#include "log.h"

#include <fmt/format.h>

#include <exception>

namespace cabinetd {

ReaderThread::ReaderThread(std::size_t max_queued, std::size_t per_key)
        : max_queued_(max_queued), per_key_(per_key) {
    thread_ = std::thread([this] { run(); });
}

ReaderThread::~ReaderThread() { stop(); }

ReaderThread::Submitted ReaderThread::submit(std::uint64_t key, std::function<void()> job) {
    {
        std::lock_guard lk(mu_);
        if (stop_ || queued_ >= max_queued_) return Submitted::full;
        auto &k = keys_[key];
        if (k.jobs.size() + k.running >= per_key_) return Submitted::key_full;
        if (k.jobs.empty()) turns_.push_back(key);
        k.jobs.push_back(std::move(job));
        ++queued_;
    }
    cv_.notify_one();
    return Submitted::queued;
}

void ReaderThread::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lk(mu_);
    keys_.clear();
    turns_.clear();
    queued_ = 0;
}

// The next key's first job (mu_ held, a key waiting); the key goes to the
// back of the turns while it has more.
std::function<void()> ReaderThread::take(std::uint64_t &key) {
    key = turns_.front();
    turns_.pop_front();
    auto &k = keys_[key];
    auto job = std::move(k.jobs.front());
    k.jobs.pop_front();
    ++k.running;
    --queued_;
    if (!k.jobs.empty()) turns_.push_back(key);
    return job;
}

void ReaderThread::run() {
    for (;;) {
        std::function<void()> job;
        std::uint64_t key = 0;
        {
            std::unique_lock lk(mu_);
            cv_.wait(lk, [&] { return stop_ || !turns_.empty(); });
            if (stop_) return;
            job = take(key);
        }
        try {
            job();
        } catch (const std::exception &e) {
            // A job answers its own failures; one that escapes is a fault
            // of ours, logged, and the thread carries on with the others.
            log(Level::Error, fmt::format("journal read failed: {}", e.what()));
        }
        job = nullptr; // what the job held goes before its place is given back
        std::lock_guard lk(mu_);
        auto it = keys_.find(key);
        if (--it->second.running == 0 && it->second.jobs.empty()) keys_.erase(it);
    }
}

} // namespace cabinetd
