// What other threads hand a cabinet's thread, and how they wake it wherever
// it sleeps: on its line (the transport cuts its wait short) or in its
// backoff between two lines (a condition variable).
#pragma once

#include <cabinet_host/transport.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace cabinetd {

class Inbox {
public:
    // A job for the thread; after stop() too (whoever stops runs what is left).
    void post(std::function<void()> job);
    // Runs what was posted, on the calling thread.
    void run_jobs();
    // Asks the thread to stop, waking it.
    void stop();
    bool stopped() const;
    // The line the thread sleeps on while it serves one (none: between lines).
    void serving(cabinet_host::Transport *line);
    // Sleeps until a job is posted, stop() or `until`: false when it was
    // stopped before, or `until` came first.
    bool wait_until(std::chrono::steady_clock::time_point until);

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::function<void()>> jobs_;
    cabinet_host::Transport *line_ = nullptr;
    bool stop_ = false;
};

} // namespace cabinetd
