#include "journal.h"

#include "batch_writer.h"
#include "chain_checker.h"
#include "checkpointer.h"
#include "journal_reads.h"
#include "journal_startup.h"
#include "journal_state.h"
#include "journal_writer.h"
#include "outage.h"
#include "pruner.h"
#include "write_queue.h"

namespace cabinetd {

Journal::Journal(const std::string &path, JournalOptions options) : opt_(std::move(options)) {
    const char *vfs = opt_.vfs.empty() ? nullptr : opt_.vfs.c_str();
    state_ = std::make_unique<JournalState>(opt_.recent);
    queue_ =
        std::make_unique<WriteQueue>(state_->mutex(), opt_.group_interval, opt_.progress_interval);
    files_ = std::make_unique<JournalFiles>(path, vfs, opt_.full_sync);
    checkpointer_ = std::make_unique<Checkpointer>(state_->mutex(), *queue_, opt_.checkpoint_pages,
                                                   opt_.checkpoint_interval);
    checkpointer_->watch(files_->writer());
    reads_ = std::make_unique<JournalReads>(path, vfs, *state_);
    checkpointer_->open(path, vfs);
    state_->load(files_->writer(), path);
    batches_ = std::make_unique<BatchWriter>(files_->writer(), *state_);
    outage_ = std::make_unique<Outage>(*state_, *batches_, opt_.held_max, opt_.retry_interval);
    pruner_ = std::make_unique<Pruner>(*batches_, *state_, progress_, opt_.retention,
                                       opt_.prune_interval, opt_.max_bytes);
    checker_ =
        std::make_unique<ChainChecker>(path, vfs, opt_.head_log_interval, *state_,
                                       [this](std::vector<Record> r) { write(std::move(r)); });
    writer_ =
        std::make_unique<JournalWriter>(*queue_, *outage_, *pruner_, *checker_, *state_, progress_);
    writer_->start(files_->take_startup_records());
    checkpointer_->start();
    checker_->start();
}

Journal::~Journal() {
    queue_->stop();
    checkpointer_->wake();
    checker_->stop();
    writer_->join();
    checkpointer_->join();
}

void Journal::write(std::vector<Record> records, std::function<void()> committed,
                    std::vector<Note> notes) {
    WriteBatch b;
    b.records = std::move(records);
    b.notes = std::move(notes);
    if (committed) {
        b.urgent = true;
        b.done = [c = std::move(committed)](bool) { c(); };
    }
    queue_->enqueue(std::move(b));
}

void Journal::write_durable(std::vector<Record> records, std::function<void(bool)> done,
                            std::vector<Note> notes) {
    WriteBatch b;
    b.records = std::move(records);
    b.notes = std::move(notes);
    b.done = std::move(done);
    b.urgent = true;
    queue_->enqueue(std::move(b));
}

void Journal::set_progress(const std::string &reader, std::int64_t cursor) {
    WriteBatch b;
    b.progress.emplace_back(reader, cursor);
    queue_->enqueue(std::move(b));
}

void Journal::flush() { queue_->flush(); }
bool Journal::available() const { return outage_->available(); }
std::string Journal::unavailable_reason() const { return outage_->reason(); }
int Journal::subscribe(Listener l) { return state_->subscribe(std::move(l)); }
void Journal::unsubscribe(int id) { state_->unsubscribe(id); }
int Journal::observe(Observer o) { return queue_->observe(std::move(o)); }
void Journal::unobserve(int id) { queue_->unobserve(id); }
JournalStats Journal::stats() const { return state_->stats(); }
ChainHead Journal::head() const { return state_->head(); }
std::int64_t Journal::last_cursor() const { return state_->last_cursor(); }
ChainCheck Journal::chain_check() const { return checker_->check(); }
std::optional<ChainHead> Journal::published_head() const { return checker_->published_head(); }

std::vector<Record> Journal::read(const Query &q) const { return reads_->read(q); }
std::vector<Record> Journal::by_request(const std::string &cabinet,
                                        const std::string &request_id) const {
    return reads_->by_request(cabinet, request_id);
}
std::vector<Record> Journal::by_key(const std::string &cabinet, const std::string &scope,
                                    const std::string &key) const {
    return reads_->by_key(cabinet, scope, key);
}
std::optional<Record> Journal::event(const std::string &cabinet, const std::string &session,
                                     std::uint64_t seq) const {
    return reads_->event(cabinet, session, seq);
}
std::optional<Record> Journal::last_event(const std::string &cabinet,
                                          const std::string &session) const {
    return reads_->last_event(cabinet, session);
}
std::optional<std::uint64_t> Journal::last_seq(const std::string &cabinet,
                                               const std::string &session) const {
    return reads_->last_seq(cabinet, session);
}
std::optional<std::string> Journal::last_session(const std::string &cabinet) const {
    return reads_->last_session(cabinet);
}
std::vector<Record> Journal::latest_alarms(const std::string &cabinet, unsigned door,
                                           const std::string &code, std::size_t limit) const {
    return reads_->latest_alarms(cabinet, door, code, limit);
}
std::vector<Record> Journal::latest_events(const std::string &cabinet, const std::string &session,
                                           std::size_t limit) const {
    return reads_->latest_events(cabinet, session, limit);
}
std::vector<Record> Journal::since(std::int64_t after, std::size_t limit) const {
    return reads_->since(after, limit);
}
Journal::Page Journal::page(const Query &q, std::int64_t window, Reader reader) const {
    return reads_->page(q, window, reader);
}
std::vector<Note> Journal::notes(const std::string &prefix) const { return reads_->notes(prefix); }
std::optional<std::int64_t> Journal::progress(const std::string &reader) const {
    return reads_->progress(reader);
}

} // namespace cabinetd
