// Checkpoints copy the log into the database and sync it, which takes tens
// of milliseconds: a thread of their own does them, so a commit (and the API
// answer waiting for it) never pays for one. The log's length after each
// commit (the writer connection's WAL hook, logged()) tells that thread
// when one is due. It waits on the journal's one lock and stops with the
// writer's queue.
#pragma once

#include "write_queue.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace cabinetd {

class Checkpointer {
public:
    Checkpointer(std::mutex &mu, const WriteQueue &queue, int pages,
                 std::chrono::milliseconds interval);
    ~Checkpointer();
    Checkpointer(const Checkpointer &) = delete;
    Checkpointer &operator=(const Checkpointer &) = delete;

    // Opens its own connection to the journal.
    void open(const std::string &path, const char *vfs);
    // Registers logged() as the WAL hook of the writer's connection.
    void watch(sqlite3 *writer);
    // After a commit: the log holds `pages`.
    void logged(int pages);
    void start();
    // Once the queue is stopping: wakes the thread, to return.
    void wake();
    void join();

private:
    void run();

    std::mutex &mu_;
    const WriteQueue &queue_;
    const int pages_;
    const std::chrono::milliseconds interval_;
    sqlite3 *db_ = nullptr;
    sqlite3 *watched_ = nullptr; // the writer's connection
    std::condition_variable cv_;
    std::atomic<int> wal_pages_{0};
    std::thread thread_;
};

} // namespace cabinetd
