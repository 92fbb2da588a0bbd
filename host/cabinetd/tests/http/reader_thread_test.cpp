// The reader thread that takes each token's reads of the journal in turn.
#include "reader_thread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

namespace cabinetd {
namespace {

TEST(ReaderThread, KeysTakeTurnsWithinTheirCapAndTheQueueIsBounded) {
    std::vector<std::string> order;
    std::mutex mu;
    std::condition_variable cv;
    std::promise<void> release, started;
    auto gate = release.get_future().share();
    // Declared after what its reads touch, so it finishes them (and its
    // thread) before those go.
    ReaderThread reader(6, 3);
    const auto job = [&](std::string name) {
        return [&, name] {
            std::lock_guard lk(mu);
            order.push_back(name);
            cv.notify_all();
        };
    };
    using S = ReaderThread::Submitted;
    // A's first read holds the thread while the others queue.
    ASSERT_EQ(reader.submit(1,
                            [&, gate] {
                                started.set_value();
                                gate.wait();
                            }),
              S::queued);
    started.get_future().wait();
    EXPECT_EQ(reader.submit(1, job("a2")), S::queued);
    EXPECT_EQ(reader.submit(1, job("a3")), S::queued);
    EXPECT_EQ(reader.submit(1, job("a4")), S::key_full); // its running read counts
    EXPECT_EQ(reader.submit(2, job("b1")), S::queued);
    EXPECT_EQ(reader.submit(3, job("c1")), S::queued);
    EXPECT_EQ(reader.submit(2, job("b2")), S::queued);
    EXPECT_EQ(reader.submit(3, job("c2")), S::queued);
    EXPECT_EQ(reader.submit(4, job("d1")), S::full); // six waiting in all
    release.set_value();
    std::unique_lock lk(mu);
    ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(5), [&] { return order.size() == 6; }));
    // Each key in turn, not each read in the order it came.
    EXPECT_EQ(order, (std::vector<std::string>{"a2", "b1", "c1", "a3", "b2", "c2"}));
    lk.unlock();
    EXPECT_EQ(reader.submit(1, job("a5")), S::queued); // A's reads done: its places are free
}

} // namespace
} // namespace cabinetd
