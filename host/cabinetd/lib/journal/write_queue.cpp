#include "write_queue.h"

#include <algorithm>

namespace cabinetd {

void WriteQueue::enqueue(WriteBatch b) {
    std::lock_guard olk(observers_mu_);
    if (!b.records.empty())
        for (auto &[id, o] : observers_) o(b.records);
    {
        std::lock_guard lk(mu_);
        b.queued = clock::now();
        if (b.urgent) ++urgent_;
        queue_.push_back(std::move(b));
        ++queued_;
    }
    cv_.notify_all();
}

void WriteQueue::flush() {
    // An empty batch that someone waits for: the writer commits everything
    // queued before it at once.
    std::unique_lock lk(mu_);
    WriteBatch mark;
    mark.urgent = true;
    mark.queued = clock::now();
    ++urgent_;
    queue_.push_back(std::move(mark));
    const auto target = ++queued_;
    cv_.notify_all();
    done_cv_.wait(lk, [&] { return committed_ >= target || exited_; });
}

// A reader's progress alone (the MQTT bridge's acknowledged cursor, moved by
// every event it publishes) waits the longer progress interval: losing it to
// a crash costs no more than events published again, and writing it after
// every event would double the commits of a busy cabinet.
WriteQueue::clock::time_point WriteQueue::due_at() const {
    auto due = queue_.front().queued + progress_interval_;
    for (auto &b : queue_)
        if (!b.records.empty()) return std::min(due, b.queued + group_interval_);
    return due;
}

std::vector<WriteBatch> WriteQueue::take_due(clock::time_point deadline,
                                             std::optional<clock::time_point> retry_at, bool &retry,
                                             bool &exiting,
                                             const std::function<void(clock::duration)> &asleep) {
    std::vector<WriteBatch> batches;
    std::unique_lock lk(mu_);
    auto wake = std::min(clock::now() + std::chrono::minutes(1), deadline); // a bound, not a tick
    if (!queue_.empty()) wake = std::min(wake, due_at());
    // Asleep on purpose until then, not stuck.
    asleep(std::max(wake - clock::now(), clock::duration::zero()));
    // A batch that arrives meanwhile may be due sooner (records behind a
    // reader's progress, which waits longer): the wait is set again.
    cv_.wait_until(lk, wake,
                   [&] { return stop_ || urgent_ > 0 || (!queue_.empty() && due_at() < wake); });
    const auto now = clock::now();
    const bool due = stop_ || urgent_ > 0 || (!queue_.empty() && now >= due_at());
    retry = retry_at && (now >= *retry_at || stop_);
    if (due || retry) {
        // Everything waiting goes into one transaction.
        std::size_t n = 0;
        while (!queue_.empty() && n < 20000) {
            n += queue_.front().records.size();
            if (queue_.front().urgent) --urgent_;
            batches.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
    }
    exiting = stop_ && queue_.empty();
    return batches;
}

void WriteQueue::handled(std::size_t n) {
    std::lock_guard lk(mu_);
    committed_ += n;
    done_cv_.notify_all();
}

void WriteQueue::exited() {
    std::lock_guard lk(mu_);
    exited_ = true;
    done_cv_.notify_all();
}

void WriteQueue::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
}

int WriteQueue::observe(Journal::Observer o) {
    std::lock_guard lk(observers_mu_);
    observers_.emplace_back(next_observer_, std::move(o));
    return next_observer_++;
}

void WriteQueue::unobserve(int id) {
    std::lock_guard lk(observers_mu_);
    std::erase_if(observers_, [&](auto &p) { return p.first == id; });
}

} // namespace cabinetd
