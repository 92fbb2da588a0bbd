// The writer thread: takes what is due from the queue and commits it (or
// keeps it, while the journal cannot write), and between commits prunes,
// asks for a check of the chain after a prune that removed records, and
// logs the chain's head when due. The only thread that writes records.
#pragma once

#include "chain_checker.h"
#include "journal_state.h"
#include "outage.h"
#include "pruner.h"
#include "write_queue.h"

#include <thread>
#include <vector>

namespace cabinetd {

class Progress;

class JournalWriter {
public:
    JournalWriter(WriteQueue &queue, Outage &outage, Pruner &pruner, ChainChecker &checker,
                  const JournalState &state, Progress &progress)
            : queue_(queue), outage_(outage), pruner_(pruner), checker_(checker), state_(state),
              progress_(progress) {}

    // startup: records written before anything queued.
    void start(std::vector<Record> startup);
    // Returns once the queue is stopping and all it held is handled.
    void join();

private:
    void run(std::vector<Record> startup);
    void prune_when_due();

    WriteQueue &queue_;
    Outage &outage_;
    Pruner &pruner_;
    ChainChecker &checker_;
    const JournalState &state_;
    Progress &progress_;
    std::thread thread_;
};

} // namespace cabinetd
