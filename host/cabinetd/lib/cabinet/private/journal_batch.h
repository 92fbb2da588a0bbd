// What a cabinet's thread has to journal since its last commit: records,
// notes, and what runs once they are committed (the answers that wait for
// their outcome to be durable). The thread commits once per turn, or at once
// for what must be durable before it goes on.
#pragma once

#include "cabinet_types.h"
#include "journal.h"

#include <functional>
#include <vector>

namespace cabinetd {

class JournalBatch {
public:
    explicit JournalBatch(Journal &journal) : journal_(journal) {}

    void add(Record r) { records_.push_back(std::move(r)); }
    void note(Note n) { notes_.push_back(std::move(n)); }
    // Runs on the journal's writer thread once what is batched now is
    // committed: it must not block.
    void after(std::function<void()> done) { after_.push_back(std::move(done)); }
    void reply_later(Reply reply, CommandResult result);

    // Hands what is batched to the journal, to commit within its group interval.
    void commit();
    // Commits what is batched at once, runs what waited for it, and then
    // `next` through `post` (on the cabinet's thread) once it is durable
    // (stored) or the journal has refused it (not stored).
    void commit_then(std::function<void(bool stored)> next,
                     std::function<void(std::function<void()>)> post);
    // The records batched so far go to the journal at once (a raised alarm
    // must survive cabinetd being killed a moment later).
    void write_now();

    Journal &journal() { return journal_; }

private:
    Journal &journal_;
    std::vector<Record> records_;
    std::vector<Note> notes_;
    std::vector<std::function<void()>> after_;
};

} // namespace cabinetd
