// Runs journal reads for the HTTP server on a thread of their own, one after
// another, so a long read never holds up the thread that serves every
// connection. A job posts its result back to the connection it is for.
//
// Jobs wait in a queue per key (for audits, the token that asked), and the
// keys take turns: a client that asks for many reads delays another client's
// by one read at most, not by all of its own. The queue is bounded in total
// and per key (the key's running job counted): a job past either bound is
// refused, and its caller answers for that.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <thread>

namespace cabinetd {

class ReaderThread {
public:
    explicit ReaderThread(std::size_t max_queued,
                          std::size_t per_key = std::numeric_limits<std::size_t>::max());
    ~ReaderThread();
    ReaderThread(const ReaderThread &) = delete;
    ReaderThread &operator=(const ReaderThread &) = delete;

    enum class Submitted {
        queued,
        key_full, // the key has per_key jobs queued or running
        full,     // the queue is full, or the thread is stopping
    };
    Submitted submit(std::uint64_t key, std::function<void()> job);
    // One key for every job: first come, first served.
    bool submit(std::function<void()> job) {
        return submit(0, std::move(job)) == Submitted::queued;
    }
    // Finishes the job running, drops the rest, joins the thread.
    void stop();

private:
    struct Key {
        std::deque<std::function<void()>> jobs;
        std::size_t running = 0;
    };
    void run();
    std::function<void()> take(std::uint64_t &key);

    const std::size_t max_queued_, per_key_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::map<std::uint64_t, Key> keys_; // keys with jobs queued or running
    std::deque<std::uint64_t> turns_;   // keys with jobs queued, in turn
    std::size_t queued_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

} // namespace cabinetd
