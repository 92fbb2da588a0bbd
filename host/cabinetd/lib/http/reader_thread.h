// Runs the HTTP server's journal reads on a thread of their own, one after
// another, so a long read never holds up the thread that serves every
// connection. A job posts its result back to the connection it is for.
// The queue is bounded: a job that finds it full is refused, and its caller
// answers for that.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace cabinetd {

class ReaderThread {
public:
    explicit ReaderThread(std::size_t max_queued);
    ~ReaderThread();
    ReaderThread(const ReaderThread &) = delete;
    ReaderThread &operator=(const ReaderThread &) = delete;

    // False when the queue is full or the thread is stopping.
    bool submit(std::function<void()> job);
    // Finishes the job running, drops the rest, joins the thread.
    void stop();

private:
    void run();

    const std::size_t max_queued_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace cabinetd
