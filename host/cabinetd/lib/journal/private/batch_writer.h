// Commits batches on the writer's connection: their records, as links of the
// chain after its head, their notes and readers' progress, in one
// transaction. The chain and the cursors move on (JournalState) only once
// what moved them is durable.
#pragma once

#include "journal_state.h"
#include "write_queue.h"

#include <cstdint>
#include <vector>

struct sqlite3;

namespace cabinetd {

class BatchWriter {
public:
    BatchWriter(sqlite3 *db, JournalState &state) : db_(db), state_(state) {}

    // Throws JournalError (Transient, with what the database said) when the
    // database refuses; nothing is then stored. Each batch's done(true)
    // runs once it is durable, and the listeners are told.
    void commit(std::vector<WriteBatch> &batches);
    sqlite3 *db() const { return db_; }

private:
    std::vector<Record> insert(std::vector<WriteBatch> &batches, std::uint64_t &dups,
                               ChainHead &head, std::int64_t &next);

    sqlite3 *db_; // the writer thread's (and construction's)
    JournalState &state_;
};

} // namespace cabinetd
