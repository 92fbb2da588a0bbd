#include "journal.h"

#include "journal_sql.h"
#include "journal_startup.h"
#include "log.h"

#include <fmt/format.h>

#include <unistd.h>

namespace cabinetd {

using namespace journal_sql;

Journal::Journal(const std::string &path, JournalOptions options)
        : opt_(std::move(options)), path_(path) {
    vfs_ = opt_.vfs.empty() ? nullptr : opt_.vfs.c_str();
    const char *vfs = vfs_;
    check_access(path);
    lock_fd_ = take_lock(path);
    try {
        if (ours(path)) {
            if (auto why = damage(path, vfs)) {
                const auto to = move_aside(path);
                log(3,
                    fmt::format(
                        "journal {} failed its integrity check ({}): moved aside to {}, starting a new one",
                        path, *why, to));
                startup_records_.push_back(
                    journal_record("moved_aside",
                                   fmt::format(R"({{"moved_to":{},"reason":{}}})", json_string(to),
                                               json_string(*why))));
            }
        }
        open(path, vfs);
    } catch (...) {
        sqlite3_close(wdb_);
        sqlite3_close(rdb_);
        sqlite3_close(pdb_);
        sqlite3_close(adb_);
        sqlite3_close(cdb_);
        if (lock_fd_ >= 0) ::close(lock_fd_);
        throw;
    }
    next_retry_ = std::chrono::steady_clock::now();
    writer_ = std::thread([this] { run(); });
    checkpointer_ = std::thread([this] { checkpoints(); });
    checker_ = std::thread([this] { check_chain(); });
}

void Journal::open(const std::string &path, const char *vfs) {
    wdb_ = open_db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs);
    prepare_schema(wdb_, path);
    Stmt mode(wdb_, "PRAGMA journal_mode=WAL");
    if (!mode.step() || mode.text(0) != "wal")
        throw JournalError(fmt::format("journal {}: cannot use write-ahead logging", path),
                           Kind::Transient);
    // A committed batch survives the process being killed in either mode:
    // it is in the log file. With full_sync it survives power loss too.
    exec(wdb_, opt_.full_sync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
    // Checkpoints copy the log into the database and sync it, which takes
    // tens of milliseconds: a thread of their own does them, so a commit
    // (and the API answer waiting for it) never pays for one. The log's
    // length after each commit tells that thread when one is due.
    exec(wdb_, "PRAGMA wal_autocheckpoint=0");
    sqlite3_wal_hook(
        wdb_,
        [](void *self, sqlite3 *, const char *, int pages) {
            auto &j = *static_cast<Journal *>(self);
            const int before = j.wal_pages_.exchange(pages);
            // The checkpoint thread sleeps until the log is long enough, or
            // has started growing again (the time limit runs from then on).
            if (pages >= j.opt_.checkpoint_pages || (before == 0 && pages > 0)) {
                { std::lock_guard lk(j.mu_); }
                j.cv_stop_.notify_all();
            }
            return SQLITE_OK;
        },
        this);
    // A log that grew (a burst, a checkpoint held off by a reader) is cut
    // back when it starts over, so the files' size stays bounded.
    exec(wdb_, "PRAGMA journal_size_limit=4194304");
    rdb_ = open_db(path, SQLITE_OPEN_READONLY, vfs);
    pdb_ = open_db(path, SQLITE_OPEN_READONLY, vfs);
    adb_ = open_db(path, SQLITE_OPEN_READONLY, vfs);
    cdb_ = open_db(path, SQLITE_OPEN_READWRITE, vfs);
    // A connection learns that the database is in WAL mode from its first
    // read: until then sqlite3_wal_checkpoint_v2 on it checkpoints nothing
    // (and says so with -1), and the log would grow until the next start.
    exec(cdb_, "SELECT count(*) FROM sqlite_master");
    Stmt last(wdb_, "SELECT coalesce(max(cursor), 0) FROM journal");
    last.step();
    last_cursor_ = last.i64(0);
    chain_ = chain_head(wdb_);
    const auto meta = chain_meta(wdb_);
    if (!meta)
        throw JournalError(fmt::format("journal {}: its chain's origin (table chain_meta) is "
                                       "missing or damaged: cabinetd cannot chain records to it",
                                       path));
    format_from_ = meta->format_from;
    next_cursor_ = next_cursor(wdb_);
}

// Sleeps until the log holds checkpoint_pages, or holds anything once
// checkpoint_interval has passed since the last checkpoint (the writer's log
// hook wakes it), then copies the log into the database.
void Journal::checkpoints() {
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    // A log a checkpoint could not shorten (a reader still needs it): tried
    // again after the next commit, not at once and over and over.
    int stuck = -1;
    std::unique_lock lk(mu_);
    while (!stop_) {
        const auto due = last + opt_.checkpoint_interval;
        const auto now_due = [&] {
            const int pages = wal_pages_.load();
            if (pages == stuck) return false;
            return pages >= opt_.checkpoint_pages || (pages > 0 && clock::now() >= due);
        };
        const auto wake = [&] { return stop_ || now_due(); };
        if (clock::now() < due) cv_stop_.wait_until(lk, due, wake);
        else cv_stop_.wait(lk, wake);
        const auto now = clock::now();
        if (stop_ || !now_due()) continue;
        lk.unlock();
        // Passive: copies what no reader still needs, never waits for the writer.
        int log_pages = 0, done = 0;
        if (sqlite3_wal_checkpoint_v2(cdb_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log_pages,
                                      &done) == SQLITE_OK &&
            log_pages >= 0)
            wal_pages_.store(log_pages -
                             done); // the log starts over with the next commit once all is copied
        stuck = wal_pages_.load() > 0 ? wal_pages_.load() : -1;
        last = now;
        lk.lock();
    }
}

Journal::~Journal() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    cv_stop_.notify_all();
    {
        std::lock_guard lk(check_mu_);
        check_stop_ = true;
    }
    check_cv_.notify_all();
    checker_.join();
    writer_.join();
    checkpointer_.join();
    sqlite3_close(cdb_);
    sqlite3_close(rdb_);
    for (auto &[thread, db] : readers_) sqlite3_close(db);
    sqlite3_close(pdb_);
    sqlite3_close(adb_);
    sqlite3_close(wdb_);
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

void Journal::enqueue(Batch b) {
    std::lock_guard olk(observers_mu_);
    if (!b.records.empty())
        for (auto &[id, o] : observers_) o(b.records);
    {
        std::lock_guard lk(mu_);
        b.queued = std::chrono::steady_clock::now();
        if (b.urgent) ++urgent_;
        queue_.push_back(std::move(b));
        ++queued_;
    }
    cv_.notify_all();
}

void Journal::write(std::vector<Record> records, std::function<void()> committed,
                    std::vector<Note> notes) {
    Batch b;
    b.records = std::move(records);
    b.notes = std::move(notes);
    if (committed) {
        b.urgent = true;
        b.done = [c = std::move(committed)](bool) { c(); };
    }
    enqueue(std::move(b));
}

void Journal::write_durable(std::vector<Record> records, std::function<void(bool)> done,
                            std::vector<Note> notes) {
    Batch b;
    b.records = std::move(records);
    b.notes = std::move(notes);
    b.done = std::move(done);
    b.urgent = true;
    enqueue(std::move(b));
}

void Journal::flush() {
    // An empty batch that someone waits for: the writer commits everything
    // queued before it at once.
    std::unique_lock lk(mu_);
    Batch mark;
    mark.urgent = true;
    mark.queued = std::chrono::steady_clock::now();
    ++urgent_;
    queue_.push_back(std::move(mark));
    const auto target = ++queued_;
    cv_.notify_all();
    done_cv_.wait(lk, [&] { return committed_ >= target || exited_; });
}

std::string Journal::unavailable_reason() const {
    std::lock_guard lk(mu_);
    return available_ ? std::string() : reason_;
}
int Journal::subscribe(Listener l) {
    std::lock_guard lk(mu_);
    listeners_.emplace_back(next_listener_, std::move(l));
    return next_listener_++;
}

void Journal::unsubscribe(int id) {
    std::lock_guard lk(mu_);
    std::erase_if(listeners_, [&](auto &p) { return p.first == id; });
}

int Journal::observe(Observer o) {
    std::lock_guard lk(observers_mu_);
    observers_.emplace_back(next_observer_, std::move(o));
    return next_observer_++;
}

void Journal::unobserve(int id) {
    std::lock_guard lk(observers_mu_);
    std::erase_if(observers_, [&](auto &p) { return p.first == id; });
}

void Journal::set_progress(const std::string &reader, std::int64_t cursor) {
    Batch b;
    b.progress.emplace_back(reader, cursor);
    enqueue(std::move(b));
}

} // namespace cabinetd
