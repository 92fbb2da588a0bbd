#include "reader_thread.h"

#include "log.h"

#include <fmt/format.h>

#include <exception>

namespace cabinetd {

ReaderThread::ReaderThread(std::size_t max_queued) : max_queued_(max_queued) {
    thread_ = std::thread([this] { run(); });
}

ReaderThread::~ReaderThread() { stop(); }

bool ReaderThread::submit(std::function<void()> job) {
    {
        std::lock_guard lk(mu_);
        if (stop_ || jobs_.size() >= max_queued_) return false;
        jobs_.push_back(std::move(job));
    }
    cv_.notify_one();
    return true;
}

void ReaderThread::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lk(mu_);
    jobs_.clear();
}

void ReaderThread::run() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lk(mu_);
            cv_.wait(lk, [&] { return stop_ || !jobs_.empty(); });
            if (stop_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        try {
            job();
        } catch (const std::exception &e) {
            // A job answers its own failures; one that escapes is a fault
            // of ours, logged, and the thread carries on with the others.
            log(3, fmt::format("journal read failed: {}", e.what()));
        }
    }
}

} // namespace cabinetd
