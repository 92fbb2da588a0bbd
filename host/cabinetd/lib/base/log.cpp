#include "log.h"

#include <fmt/format.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace cabinetd {
namespace {

// Lines go out on a thread of their own, so that no caller (a cabinet's
// thread least of all) waits for standard error: journald busy under load,
// or a pipe read slowly, would otherwise hold every thread that logs behind
// one lock. Past kQueued lines waiting, new ones are dropped and counted,
// and the count goes out once there is room.
class Writer {
public:
    static constexpr std::size_t kQueued = 4096;

    Writer() : thread_([this] { run(); }) {}
    ~Writer() {
        {
            std::lock_guard lk(mu_);
            stop_ = true;
        }
        cv_.notify_all();
        thread_.join(); // what is queued goes out first
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    void push(std::string line) {
        {
            std::lock_guard lk(mu_);
            if (lines_.size() >= kQueued) {
                ++dropped_;
                return;
            }
            lines_.push_back(std::move(line));
        }
        cv_.notify_one();
    }

private:
    void run() {
        // The first line may be logged before the program has blocked the
        // signals it waits for (a warning while reading its configuration),
        // and a thread that takes SIGHUP with its default action would end
        // the process. This thread takes none.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lk(mu_);
        for (;;) {
            cv_.wait(lk, [&] { return stop_ || !lines_.empty() || dropped_ > 0; });
            if (stop_ && lines_.empty() && dropped_ == 0) return;
            auto lines = std::exchange(lines_, {});
            const auto dropped = std::exchange(dropped_, 0);
            lk.unlock();
            for (const auto &l : lines) std::fwrite(l.data(), 1, l.size(), stderr);
            if (dropped > 0) {
                const auto l = fmt::format(
                    "<4>cabinetd: {} log lines dropped: they came faster than standard error "
                    "took them\n",
                    dropped);
                std::fwrite(l.data(), 1, l.size(), stderr);
            }
            lk.lock();
        }
    }

    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::string> lines_;
    std::size_t dropped_ = 0;
    bool stop_ = false;
    std::thread thread_; // last: it starts once the rest is ready
};

} // namespace

void log(int priority, std::string_view message) { log(static_cast<Level>(priority), message); }

void log(Level level, std::string_view message) {
    static Writer writer;
    std::string line = fmt::format("<{}>cabinetd: ", static_cast<int>(level));
    for (char c : message) line.push_back(c == '\n' ? ' ' : c);
    line.push_back('\n');
    writer.push(std::move(line));
}

} // namespace cabinetd
