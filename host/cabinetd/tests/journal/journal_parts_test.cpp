// The journal's parts on their own, where they decide something the
// journal's own tests would only see through timing: when the queue hands
// batches to the writer, and when recent records are served from memory.
#include "journal_state.h"
#include "write_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

namespace cabinetd {
namespace {

using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;

WriteBatch records(std::uint64_t seq, bool urgent = false) {
    WriteBatch b;
    Record r;
    r.kind = RecordKind::Event;
    r.event_seq = seq;
    b.records.push_back(r);
    b.urgent = urgent;
    return b;
}

WriteBatch progress_only() {
    WriteBatch b;
    b.progress.emplace_back("reader", 7);
    return b;
}

// What take_due hands over, each batch by its first event (0: none), with
// the deadline already past: it never sleeps.
struct Taken {
    std::vector<std::uint64_t> batches;
    bool retry = false, exiting = false;
};
Taken take_now(WriteQueue &q, std::optional<clock::time_point> retry_at = std::nullopt) {
    Taken t;
    for (auto &b : q.take_due(clock::now(), retry_at, t.retry, t.exiting, [](auto) {}))
        t.batches.push_back(b.records.empty() ? 0 : *b.records.front().event_seq);
    return t;
}

TEST(WriteQueue, HandsOverBatchesOnlyOnceTheyAreDueAndThenEverythingQueued) {
    std::mutex mu;
    {
        // Records nobody waits for wait their group interval; a waiter takes
        // them along at once, with a reader's progress between them.
        WriteQueue q(mu, 1h, 2h);
        q.enqueue(records(1));
        EXPECT_TRUE(take_now(q).batches.empty());
        q.enqueue(progress_only());
        q.enqueue(records(3, true));
        EXPECT_EQ(take_now(q).batches, (std::vector<std::uint64_t>{1, 0, 3}));
        EXPECT_TRUE(take_now(q).batches.empty());
    }
    {
        // A reader's progress alone waits the longer progress interval, and
        // records queued behind it bring it forward to theirs.
        WriteQueue q(mu, 0ms, 1h);
        q.enqueue(progress_only());
        EXPECT_TRUE(take_now(q).batches.empty());
        q.enqueue(records(2));
        EXPECT_EQ(take_now(q).batches, (std::vector<std::uint64_t>{0, 2}));
    }
    {
        // While the journal cannot write: the retry comes due, queued or not.
        WriteQueue q(mu, 1h, 1h);
        EXPECT_FALSE(take_now(q, clock::now() + 1h).retry);
        q.enqueue(records(1));
        const auto t = take_now(q, clock::now() - 1ms);
        EXPECT_TRUE(t.retry);
        EXPECT_EQ(t.batches, (std::vector<std::uint64_t>{1}));
    }
}

TEST(WriteQueue, AFlushReturnsOnceItsBatchIsHandledAndStoppingDrainsTheQueue) {
    std::mutex mu;
    WriteQueue q(mu, 1h, 1h);
    q.enqueue(records(1));
    auto flushed = std::async(std::launch::async, [&] { q.flush(); });
    bool retry = false, exiting = false;
    // The flush's mark makes everything due at once, however far the deadline.
    const auto taken = q.take_due(clock::now() + 1h, std::nullopt, retry, exiting, [](auto) {});
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(flushed.wait_for(0s), std::future_status::timeout);
    q.handled(taken.size());
    flushed.get();

    q.enqueue(records(2));
    q.stop();
    const auto last = take_now(q);
    EXPECT_EQ(last.batches, (std::vector<std::uint64_t>{2}));
    EXPECT_TRUE(last.exiting);
    q.exited();
    q.flush(); // the writer is gone: returns at once
}

TEST(JournalState, ServesRecentRecordsFromMemoryOnlyWithoutAHole) {
    JournalState s(3);
    std::vector<Record> stored;
    for (std::int64_t c = 1; c <= 5; ++c) {
        Record r;
        r.cursor = c;
        r.kind = c % 2 ? RecordKind::Event : RecordKind::Ack;
        stored.push_back(r);
    }
    std::int64_t told = 0;
    s.subscribe([&](std::int64_t last) { told = last; });
    const auto [listeners, last] = s.committed(ChainHead{}, 6, stored, 1, 0.0001);
    for (auto &l : listeners) l(last);
    EXPECT_EQ(told, 5);
    EXPECT_EQ(s.last_cursor(), 5);
    EXPECT_EQ(s.stats().records, 5u);
    EXPECT_EQ(s.stats().duplicates, 1u);

    const auto cursors = [](const std::optional<std::vector<Record>> &rs) {
        std::vector<std::int64_t> out;
        for (auto &r : *rs) out.push_back(r.cursor);
        return out;
    };
    // Memory keeps cursors 3 to 5: what follows 1 must come from the database.
    EXPECT_FALSE(s.since(1, 10));
    EXPECT_EQ(cursors(s.since(2, 10)), (std::vector<std::int64_t>{3, 4, 5}));
    EXPECT_EQ(cursors(s.since(3, 1)), (std::vector<std::int64_t>{4}));
    EXPECT_TRUE(s.since(5, 10)->empty());
    Query events;
    events.kinds = {RecordKind::Event};
    EXPECT_FALSE(s.matching(events, 1, 5));
    EXPECT_EQ(cursors(s.matching(events, 2, 4)), (std::vector<std::int64_t>{3}));
    EXPECT_EQ(cursors(s.matching(events, 2, 5)), (std::vector<std::int64_t>{3, 5}));
}

} // namespace
} // namespace cabinetd
