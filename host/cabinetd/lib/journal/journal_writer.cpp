#include "journal_writer.h"

#include "log.h"
#include "progress.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>

namespace cabinetd {

void JournalWriter::start(std::vector<Record> startup) {
    thread_ =
        std::thread([this, startup = std::move(startup)]() mutable { run(std::move(startup)); });
}

void JournalWriter::join() {
    if (thread_.joinable()) thread_.join();
}

void JournalWriter::run(std::vector<Record> startup) {
    using clock = std::chrono::steady_clock;
    if (!startup.empty()) {
        std::vector<WriteBatch> first(1);
        first[0].records = std::move(startup);
        outage_.attempt(first, true);
    }
    const auto asleep = [this](clock::duration d) {
        progress_.idle_for(std::chrono::ceil<std::chrono::milliseconds>(d));
    };
    for (;;) {
        bool retry = false, exiting = false;
        // While it can write it wakes for a prune or the head's log line,
        // while it cannot to try again.
        const bool available = outage_.available();
        const auto deadline = available ? std::min(pruner_.next_due(), checker_.next_head_log())
                                        : outage_.next_retry();
        auto batches = queue_.take_due(deadline, available ? std::nullopt : std::optional(deadline),
                                       retry, exiting, asleep);
        progress_.mark();
        if (!batches.empty() || retry) {
            const std::size_t handled = batches.size();
            outage_.attempt(batches, outage_.available() || retry);
            queue_.handled(handled);
        }
        if (exiting) {
            if (outage_.held_records())
                log(3,
                    fmt::format(
                        "journal: stopping while it cannot write: {} records kept in memory are lost",
                        outage_.held_records()));
            queue_.exited();
            return;
        }
        if (outage_.available()) prune_when_due(); // no pruning while it cannot write
    }
}

void JournalWriter::prune_when_due() {
    const auto pruned = state_.stats().pruned;
    try {
        pruner_.when_due();
    } catch (const JournalError &e) {
        log(4, fmt::format("pruning the journal failed, tried again later: {}", e.what()));
    }
    // What a prune changed is checked: the new base, and the chain from it.
    if (state_.stats().pruned != pruned) checker_.request();
    checker_.log_head_when_due();
}

} // namespace cabinetd
