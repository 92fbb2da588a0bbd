#include "inbox.h"

namespace cabinetd {

void Inbox::post(std::function<void()> job) {
    {
        std::lock_guard lk(mu_);
        jobs_.push_back(std::move(job));
        if (line_) line_->wake();
    }
    cv_.notify_all();
}

void Inbox::run_jobs() {
    std::vector<std::function<void()>> jobs;
    {
        std::lock_guard lk(mu_);
        jobs.swap(jobs_);
    }
    for (auto &j : jobs) j();
}

void Inbox::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
        if (line_) line_->wake();
    }
    cv_.notify_all();
}

bool Inbox::stopped() const {
    std::lock_guard lk(mu_);
    return stop_;
}

void Inbox::serving(cabinet_host::Transport *line) {
    std::lock_guard lk(mu_);
    line_ = line;
}

bool Inbox::wait_until(std::chrono::steady_clock::time_point until) {
    std::unique_lock lk(mu_);
    return !stop_ && cv_.wait_until(lk, until, [&] { return stop_ || !jobs_.empty(); });
}

} // namespace cabinetd
