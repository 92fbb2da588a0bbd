// The reader side: every query of the journal, on read connections of its
// own, so that no reader waits on the writer nor the writer on a reader. A
// reading thread gets a connection of its own (up to kOwnReaders, then
// they share one under a lock); the event stream's pages and the audits'
// each have one more. What was just committed is served from memory
// (JournalState) where it can be.
#pragma once

#include "journal_state.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace cabinetd {

class JournalReads {
public:
    JournalReads(std::string path, const char *vfs, const JournalState &state);
    ~JournalReads();
    JournalReads(const JournalReads &) = delete;
    JournalReads &operator=(const JournalReads &) = delete;

    // Each as Journal's of the same name.
    std::vector<Record> read(const Query &q) const;
    std::vector<Record> by_request(const std::string &cabinet, const std::string &request_id) const;
    std::vector<Record> by_key(const std::string &cabinet, const std::string &scope,
                               const std::string &key) const;
    std::optional<Record> event(const std::string &cabinet, const std::string &session,
                                std::uint64_t seq) const;
    std::optional<Record> last_event(const std::string &cabinet, const std::string &session) const;
    std::optional<std::uint64_t> last_seq(const std::string &cabinet,
                                          const std::string &session) const;
    std::optional<std::string> last_session(const std::string &cabinet) const;
    std::vector<Record> latest_alarms(const std::string &cabinet, unsigned door,
                                      const std::string &code, std::size_t limit) const;
    std::vector<Record> latest_events(const std::string &cabinet, const std::string &session,
                                      std::size_t limit) const;
    std::vector<Record> since(std::int64_t after, std::size_t limit) const;
    Journal::Page page(const Query &q, std::int64_t window, Journal::Reader reader) const;
    std::vector<Note> notes(const std::string &prefix) const;
    std::optional<std::int64_t> progress(const std::string &reader) const;

private:
    class ReadDb;
    static constexpr std::size_t kOwnReaders = 64;
    sqlite3 *own_reader() const;

    const std::string path_;
    const char *vfs_;
    const JournalState &state_;
    sqlite3 *rdb_ = nullptr; // readers past kOwnReaders, under rmu_
    mutable std::mutex rmu_;
    sqlite3 *pdb_ = nullptr; // page() for streams, under pmu_
    mutable std::mutex pmu_;
    sqlite3 *adb_ = nullptr; // page() for audits, under amu_
    mutable std::mutex amu_;
    mutable std::mutex readers_mu_;
    mutable std::map<std::thread::id, sqlite3 *> readers_;
};

} // namespace cabinetd
