// Test-only: an SQLite VFS whose writes fail when a test says so, for the
// journal's tests (JournalOptions::vfs names it) and the test-only build of
// cabinetd (fault_from_env.cpp). Nothing shipped links it.
//
// Everything goes to SQLite's default VFS, except that a write (xWrite,
// xTruncate, xSync of any file: the database, its log, its journal) fails as
// the disk would when the test asks: while a trigger file exists ("full" in
// it: SQLITE_FULL; anything else: an I/O error), or at the Nth write from
// when it was armed, once (transient) or from then on until cleared
// (persistent).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace cabinetd::test_support {

class FaultVfs {
public:
    // Registers a VFS of its own name (not the default).
    FaultVfs();
    ~FaultVfs();
    FaultVfs(const FaultVfs &) = delete;
    FaultVfs &operator=(const FaultVfs &) = delete;

    const std::string &name() const { return name_; }
    // Makes it SQLite's default VFS: every database the process opens then
    // goes through it.
    void make_default();

    // Writes while the file exists fail with the error it names.
    void fail_while(const std::string &trigger);
    // The nth write from now (1: the next one) fails with an I/O error;
    // persistent: so does every one after it until clear().
    void fail_nth(std::uint64_t n, bool persistent);
    void clear();
    // Writes attempted since it was made, failed ones included.
    std::uint64_t writes() const { return writes_.load(); }
    // Writes it failed.
    std::uint64_t failed() const { return failed_.load(); }
    // Writes attempted to a database file itself (not its log): a checkpoint's.
    std::uint64_t database_writes() const { return database_writes_.load(); }

    // What the write that failed first was (the nth, or the last one the
    // trigger failed): the call and the file.
    std::string last_failure() const;

    // 0, or the error this write gets (called by the VFS's files).
    int fault(int io_error, const char *call, const char *file);

    struct Impl; // the sqlite3_vfs itself

private:
    std::unique_ptr<Impl> impl_;
    std::string name_;
    std::atomic<std::uint64_t> writes_{0}, failed_{0}, database_writes_{0};
    std::atomic<std::uint64_t> nth_{0}; // the write count that fails first; 0: none armed
    std::atomic<bool> persistent_{false};
    mutable std::mutex mu_;
    std::string trigger_, last_failure_;
};

} // namespace cabinetd::test_support
