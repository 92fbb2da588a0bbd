// The journal: every line, command and change of every cabinet, in one SQLite
// database. Writes are queued and committed by one writer thread. What nobody
// waits for is grouped: everything that arrives within a short interval
// shares one transaction, which is what keeps an idle cabinet from wearing out
// an SD card. A caller that must not answer before its records are durable
// passes a callback, and its records (with everything queued before them) are
// committed at once.
//
// When the database cannot be written (disk full, I/O error, read-only file
// system) the journal does not stop the service: it reports itself
// unavailable, keeps what arrives in memory up to a bound, tries again on its
// own, and writes what it kept (and a gap record for what it could not keep)
// once it can.
#pragma once

#include "clock.h"
#include "journal_chain.h"
#include "progress.h"
#include "record.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cabinetd {

class BatchWriter;
class ChainChecker;
class Checkpointer;
class JournalFiles;
class JournalReads;
class JournalState;
class JournalWriter;
class Outage;
class Pruner;
class WriteQueue;

// The database cannot be used (cannot be opened, foreign or newer schema, ...).
class JournalError : public std::runtime_error {
public:
    enum class Kind {
        Unusable,  // never usable as it is: permissions, not a journal, a newer schema
        InUse,     // another cabinetd holds it
        Transient, // may work later: disk full, I/O error, read-only file system
    };
    explicit JournalError(const std::string &what, Kind kind = Kind::Unusable)
            : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Version 2 added the client's idempotency key of an open (key_scope,
// client_key) and an event's uptime as a column (uptime_ms); version 3 the
// requester as an indexed column (requested_by); version 4 the hash chain
// (journal_chain.h); version 5 an index of alarm records; version 6 the
// outcome of an open or a clear (outcome, settles) and the notes table;
// version 7 STRICT tables, each record's class (line traffic or audit), the
// journal's origin and chain format 2 (journal_chain.h). An older journal is
// migrated in place, in one transaction, when opened.
inline constexpr int kSchemaVersion = 7;

struct JournalOptions {
    std::chrono::milliseconds retention{std::chrono::hours(24 * 90)};
    std::chrono::milliseconds prune_interval{std::chrono::minutes(10)};
    std::size_t recent = 8192; // committed records kept in memory for live readers
    // Each commit synced to disk before it counts (survives power loss), or
    // synced at checkpoints only (survives the process being killed, and
    // answers an open several milliseconds sooner).
    bool full_sync = false;
    // The size cap: past it the oldest records are pruned (0: no cap).
    std::uint64_t max_bytes = 256ull << 20;
    // Records nobody waits for are committed together: what arrives within
    // this interval shares one transaction.
    std::chrono::milliseconds group_interval{1000};
    // A reader's progress (set_progress) with no records waits this long for
    // records to share a commit with.
    std::chrono::milliseconds progress_interval{std::chrono::seconds(30)};
    // A checkpoint copies the log into the database when the log holds this
    // many pages, or this long after the last one. Rare checkpoints write a
    // page that many commits touched once instead of once per commit.
    int checkpoint_pages = 1000;
    std::chrono::milliseconds checkpoint_interval{std::chrono::minutes(30)};
    // While the database cannot be written: records kept in memory, and how
    // often a write is tried again.
    std::size_t held_max = 20000;
    // How often the chain's head is logged, so that copies of it exist
    // beyond the database (the system log, its forwarding).
    std::chrono::milliseconds head_log_interval{std::chrono::hours(1)};
    std::chrono::milliseconds retry_interval{1000};
    // The SQLite VFS every connection of the journal opens its files with,
    // by its registered name; empty: SQLite's default. Tests name one whose
    // writes fail (tests/journal/fault_vfs.h); cabinetd never sets it.
    std::string vfs;
};

// The journal's check of its own chain, from its base to its head: at
// start-up (in the background: a large journal does not hold up service)
// and after each prune that removed records.
struct ChainCheck {
    enum class State { Checking, Holds, Broken };
    State state = State::Checking; // Checking: no check has come to an answer yet
    std::uint64_t checks = 0;      // checks that came to an answer
    std::int64_t broken_at = 0;    // the first record that breaks it, when broken (0: none to name)
    std::string problem;           // why it is broken
    ChainHead verified;            // how far the last check found it holding
};

struct JournalStats {
    std::uint64_t records = 0;
    std::uint64_t batches = 0;
    std::uint64_t duplicates = 0; // events already stored, ignored
    std::uint64_t pruned = 0;     // records pruned (age or size)
    // Audit records younger than the retention pruned for size: the cap is
    // too small for what the cabinets do, or a client floods the journal.
    std::uint64_t audit_pruned = 0;
    std::uint64_t unavailable = 0; // times the journal became unable to write
    std::uint64_t dropped = 0;     // records lost past the memory bound while unable to write
    std::uint64_t held = 0;        // records waiting in memory now
    double write_seconds_sum = 0;
    // Cumulative counts of batch commit latency at or below each bound.
    static constexpr double kBuckets[] = {0.0005, 0.001, 0.0025, 0.005, 0.01,
                                          0.025,  0.05,  0.1,    0.25,  1};
    std::uint64_t write_buckets[std::size(kBuckets)] = {};
};

// A note kept beside the records, not one of them: what must survive a
// crash until it becomes records (an open sent before its record is written).
// Written with records, in their transaction; an empty value forgets it.
struct Note {
    std::string key;
    std::string value;
};

class Journal {
public:
    // Opens or creates the database; throws JournalError.
    Journal(const std::string &path, JournalOptions options = {});
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // Queues records; committed() runs on the writer thread after they are
    // durable (also when some were ignored as already stored), or after they
    // were kept in memory because the journal cannot write just now. With a
    // callback they are committed at once, without it within the group
    // interval.
    void write(std::vector<Record> records, std::function<void()> committed = {},
               std::vector<Note> notes = {});
    // Commits records at once; done(true) runs on the writer thread once they
    // are durable, done(false) if the journal cannot write them now (they are
    // then kept in memory and written later, like any other).
    void write_durable(std::vector<Record> records, std::function<void(bool stored)> done,
                       std::vector<Note> notes = {});
    // The notes whose key starts with prefix, by key.
    std::vector<Note> notes(const std::string &prefix) const;
    // Waits until everything queued so far is committed (or kept in memory).
    void flush();

    // False while the database cannot be written; the reason says why.
    bool available() const;
    std::string unavailable_reason() const;
    const Progress &progress_mark() const { return progress_; }

    std::vector<Record> read(const Query &q) const;
    // Records of one open, by request id, oldest first.
    std::vector<Record> by_request(const std::string &cabinet, const std::string &request_id) const;
    // The open records a client's idempotency key was given for, oldest first.
    std::vector<Record> by_key(const std::string &cabinet, const std::string &scope,
                               const std::string &key) const;
    // A stored event of a session, by number, and the session's latest one.
    std::optional<Record> event(const std::string &cabinet, const std::string &session,
                                std::uint64_t seq) const;
    std::optional<Record> last_event(const std::string &cabinet, const std::string &session) const;
    // The highest event number accounted for (stored or covered by a gap) in
    // a session, and the session a cabinet was last seen in.
    std::optional<std::uint64_t> last_seq(const std::string &cabinet,
                                          const std::string &session) const;
    std::optional<std::string> last_session(const std::string &cabinet) const;
    // A cabinet's latest alarm records of one door and code, newest first, at
    // most `limit` (through their index: a few seeks whatever the journal holds).
    std::vector<Record> latest_alarms(const std::string &cabinet, unsigned door,
                                      const std::string &code, std::size_t limit) const;
    // A session's latest events, newest first, at most `limit`.
    std::vector<Record> latest_events(const std::string &cabinet, const std::string &session,
                                      std::size_t limit) const;
    std::int64_t last_cursor() const;

    // Committed records after a cursor, from memory when they are recent
    // enough, else from the database. Used by live readers.
    std::vector<Record> since(std::int64_t after, std::size_t limit) const;

    // A page for a reader that must never hold anyone up (the event stream,
    // /api/events): the records after q.after that match q, at most q.limit,
    // examining at most `window` records and never looking past the last
    // committed one. A requester is found through its index (`window` of its
    // records examined), anything else by cursor (`window` cursors ahead);
    // time filters first narrow the cursors through the time index
    // (time_span). The query does the filtering, on a database connection of
    // the reader's own, so a client's read never waits on or holds up the
    // cabinets' reads, nor a stream's an audit's. `scanned_to` is where the
    // next page starts: the last record returned when the page is full, else
    // as far as this one looked; `more`: records past it may match, though
    // this page may be empty.
    struct Page {
        std::vector<Record> records;
        std::int64_t scanned_to = 0;
        bool more = false;
    };
    enum class Reader { stream, audit };
    Page page(const Query &q, std::int64_t window, Reader reader = Reader::stream) const;

    // Called with the last cursor after each commit (on the writer thread),
    // and when the journal's check of its own chain comes to a new answer
    // (on that check's thread).
    using Listener = std::function<void(std::int64_t)>;
    int subscribe(Listener l);
    void unsubscribe(int id);

    // Live records, for a reader that wants them as they happen rather than
    // once durable (the MQTT bridge's state topics): called with each
    // write's records as they are queued, on the writing thread, in write
    // order, before they are committed (their cursor is not set yet). An
    // observer must not block nor write to the journal: it copies what it
    // needs into a bounded queue of its own. Once unobserve() returns, the
    // observer is not running and is never called again.
    using Observer = std::function<void(const std::vector<Record> &)>;
    int observe(Observer o);
    void unobserve(int id);

    JournalStats stats() const;
    // The hash chain's head: how many links it has, the last one's hash.
    ChainHead head() const;
    // The journal's last check of its own chain.
    ChainCheck chain_check() const;
    // The head as cabinetd publishes it for anchors (the API, MQTT, the log):
    // only while the journal's check of its own chain found it holding;
    // nothing while the first check runs or once one found it broken.
    std::optional<ChainHead> published_head() const;

    // How far a reader that must not miss a record (the MQTT bridge) has
    // got, kept across restarts. Queued and committed with the records, or
    // on its own after JournalOptions::progress_interval.
    void set_progress(const std::string &reader, std::int64_t cursor);
    std::optional<std::int64_t> progress(const std::string &reader) const;

private:
    JournalOptions opt_;
    Progress progress_{"journal"};
    // Its parts, each with one job (private/), in the order they are torn
    // down in reverse: the threads first, then the connections (the
    // checkpointer's, the readers', the writer's), the lock last.
    std::unique_ptr<JournalState> state_; // what is committed, under the journal's one lock
    std::unique_ptr<WriteQueue> queue_;
    std::unique_ptr<JournalFiles> files_; // the lock and the writer's connection
    std::unique_ptr<JournalReads> reads_;
    std::unique_ptr<Checkpointer> checkpointer_;
    std::unique_ptr<BatchWriter> batches_;
    std::unique_ptr<Outage> outage_;
    std::unique_ptr<Pruner> pruner_;
    std::unique_ptr<ChainChecker> checker_;
    std::unique_ptr<JournalWriter> writer_;
};

} // namespace cabinetd
