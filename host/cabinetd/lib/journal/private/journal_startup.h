// Start-up checks of a journal before it is opened: the directory and the
// file can be used, one cabinetd holds it, and a damaged database is moved
// out of the way. Then the journal's files as the service holds them: the
// lock and the writer's connection, its schema ready.
#pragma once

#include "record.h"

#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace cabinetd {

// Refuses (Unusable, with the reason) a path that is not a regular file, or
// is absent when absent_ok is false, without opening it: a FIFO or a device
// given as the journal must not block whoever opens it, nor be written to.
// The journal's log and shared-memory files beside it are held to the same.
void regular_file(const std::string &path, bool absent_ok);
// Refuses, with the reason, a journal this process can never use as it is
// (Unusable) or not just now (Transient), before anything is created.
void check_access(const std::string &path);
// One cabinetd per journal: an exclusive lock on a file beside it, held for
// the process's lifetime (the kernel drops it when the process dies, however
// it dies). The file names the holder's pid. -1: nothing can be written
// beside the journal at all.
int take_lock(const std::string &path);
// Whether the file carries this service's mark in its header (and so is
// ours to move aside when it is damaged, not a file given by mistake).
bool ours(const std::string &path);
// Why the database fails its integrity check, or nothing. Throws for an
// error of the moment (I/O, busy), which says nothing about the file.
std::optional<std::string> damage(const std::string &path, const char *vfs);
// Renames a damaged database (and its log) out of the way; the new name.
std::string move_aside(const std::string &path);

// Checks the path, takes the lock, moves a damaged journal aside, and opens
// (or creates) the database for the writer, migrated to the current schema,
// in write-ahead logging; throws JournalError.
class JournalFiles {
public:
    JournalFiles(const std::string &path, const char *vfs, bool full_sync);
    ~JournalFiles();
    JournalFiles(const JournalFiles &) = delete;
    JournalFiles &operator=(const JournalFiles &) = delete;

    // The writer's connection (the writer thread's, and construction's).
    sqlite3 *writer() const { return db_; }
    // What the journal says of its own start (a damaged file moved aside),
    // written first once the writer runs; taken once.
    std::vector<Record> take_startup_records() { return std::move(startup_records_); }

private:
    void open(const std::string &path, const char *vfs, bool full_sync);

    int lock_fd_ = -1;
    sqlite3 *db_ = nullptr;
    std::vector<Record> startup_records_;
};

} // namespace cabinetd
