#include "checkpointer.h"

#include "journal_sql.h"

namespace cabinetd {

using namespace journal_sql;

Checkpointer::Checkpointer(std::mutex &mu, const WriteQueue &queue, int pages,
                           std::chrono::milliseconds interval)
        : mu_(mu), queue_(queue), pages_(pages), interval_(interval) {}

Checkpointer::~Checkpointer() {
    if (watched_) sqlite3_wal_hook(watched_, nullptr, nullptr);
    sqlite3_close(db_);
}

void Checkpointer::open(const std::string &path, const char *vfs) {
    db_ = open_db(path, SQLITE_OPEN_READWRITE, vfs);
    // A connection learns that the database is in WAL mode from its first
    // read: until then sqlite3_wal_checkpoint_v2 on it checkpoints nothing
    // (and says so with -1), and the log would grow until the next start.
    exec(db_, "SELECT count(*) FROM sqlite_master");
}

void Checkpointer::watch(sqlite3 *writer) {
    watched_ = writer;
    sqlite3_wal_hook(
        writer,
        [](void *self, sqlite3 *, const char *, int pages) {
            static_cast<Checkpointer *>(self)->logged(pages);
            return SQLITE_OK;
        },
        this);
}

void Checkpointer::logged(int pages) {
    const int before = wal_pages_.exchange(pages);
    // The checkpoint thread sleeps until the log is long enough, or has
    // started growing again (the time limit runs from then on).
    if (pages >= pages_ || (before == 0 && pages > 0)) {
        { std::lock_guard lk(mu_); }
        cv_.notify_all();
    }
}

void Checkpointer::start() {
    thread_ = std::thread([this] { run(); });
}

void Checkpointer::wake() { cv_.notify_all(); }

void Checkpointer::join() {
    if (thread_.joinable()) thread_.join();
}

// Sleeps until the log holds `pages_`, or holds anything once `interval_`
// has passed since the last checkpoint (the writer's log hook wakes it),
// then copies the log into the database.
void Checkpointer::run() {
    using clock = std::chrono::steady_clock;
    auto last = clock::now();
    // A log a checkpoint could not shorten (a reader still needs it): tried
    // again after the next commit, not at once and over and over.
    int stuck = -1;
    std::unique_lock lk(mu_);
    while (!queue_.stopping_locked()) {
        const auto due = last + interval_;
        const auto now_due = [&] {
            const int pages = wal_pages_.load();
            if (pages == stuck) return false;
            return pages >= pages_ || (pages > 0 && clock::now() >= due);
        };
        const auto wake = [&] { return queue_.stopping_locked() || now_due(); };
        if (clock::now() < due) cv_.wait_until(lk, due, wake);
        else cv_.wait(lk, wake);
        const auto now = clock::now();
        if (queue_.stopping_locked() || !now_due()) continue;
        lk.unlock();
        // Passive: copies what no reader still needs, never waits for the writer.
        int log_pages = 0, done = 0;
        if (sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &log_pages, &done) ==
                SQLITE_OK &&
            log_pages >= 0)
            wal_pages_.store(log_pages -
                             done); // the log starts over with the next commit once all is copied
        stuck = wal_pages_.load() > 0 ? wal_pages_.load() : -1;
        last = now;
        lk.lock();
    }
}

} // namespace cabinetd
