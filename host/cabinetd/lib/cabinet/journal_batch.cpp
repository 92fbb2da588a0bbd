#include "journal_batch.h"

namespace cabinetd {

void JournalBatch::reply_later(Reply reply, CommandResult result) {
    after([reply = std::move(reply), result = std::move(result)]() mutable {
        reply(std::move(result));
    });
}

void JournalBatch::commit() {
    if (records_.empty() && after_.empty() && notes_.empty()) return;
    std::function<void()> done;
    if (!after_.empty())
        done = [cbs = std::exchange(after_, {})]() mutable {
            for (auto &cb : cbs) cb();
        };
    journal_.write(std::exchange(records_, {}), std::move(done), std::exchange(notes_, {}));
}

// The thread does not wait for the writer meanwhile (nothing but its line may
// hold it): next comes back as a job, which wakes it at once.
void JournalBatch::commit_then(std::function<void(bool)> next,
                               std::function<void(std::function<void()>)> post) {
    journal_.write_durable(
        std::exchange(records_, {}),
        [replies = std::exchange(after_, {}), next = std::move(next),
         post = std::move(post)](bool stored) {
            for (auto &r : replies) r();
            post([next, stored] { next(stored); });
        },
        std::exchange(notes_, {}));
}

void JournalBatch::write_now() {
    journal_.write(std::exchange(records_, {}), [] {});
}

} // namespace cabinetd
