// A flood of refused opens costs the journal almost nothing: after one
// requester's open of a door is refused, their further opens of that door
// are sent with a note instead of a record, and those refused with the same
// code within the window are counted and journalled as one record when it
// closes (or cabinetd stops). Anything else such an open gets (accepted, a
// different refusal, no answer) journals it in full, as every open is. The
// note is durable before the open is sent, so an open never goes unrecorded
// when cabinetd dies mid-cycle: start-up turns a note left behind into the
// open's record. Refusals decided before the line (by the policy) are
// counted the same way.
#pragma once

#include "cabinet_types.h"
#include "journal_batch.h"

#include <cabinet_host/client.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace cabinetd {

// A refusal before the line: who, the door (0: the cabinet), what was
// refused ("" for an open), why, and the reason the requester gave.
struct EarlyRefusal {
    std::string requested_by;
    unsigned door = 0;
    std::string action, code, reason;
};

// What the ack about to be handled settles: the request id and outcome it is
// journalled with, or nothing to journal when its refusal was counted.
struct AckSettles {
    std::string request_id, outcome;
    bool counted = false;
};

class RefusalWindows {
public:
    RefusalWindows(std::string cabinet, JournalBatch &batch, std::chrono::milliseconds window);

    // Whether a requester's opens of a door are being counted: the next goes quietly.
    bool counting(const std::string &requested_by, unsigned door) const;
    // The open goes out once its note is durable, in place of its record.
    void send_quietly(Record open);
    // A line written for an open sent quietly, kept with it; false: no such open.
    bool keep_line(const std::string &request_id, Record line);
    // A quiet open journalled in full after all: its record, the lines
    // written for it, and its note forgotten in the same commit.
    void write_quiet(const std::string &request_id);
    // An open that got no answer, or was never sent.
    void open_failed(const cabinet_host::Request &req, const std::string &code,
                     const std::string &reason);
    // An open the controller answered: a refusal already being counted is
    // counted, the first one opens a window; session: the run's key.
    AckSettles settle_open(const cabinet_host::Request &req, const std::string &requested_by,
                           std::uint64_t now, const std::string &session);
    // A refusal before the line: a refused record of its own, its repeats counted.
    void refuse_early(const EarlyRefusal &e, std::uint64_t now, const std::string &session);
    // Each window that has closed by `now` (every one, with all), as one
    // record of what it counted.
    void close(std::uint64_t now, bool all);
    std::optional<std::uint64_t> next_due() const;
    // Opens sent quietly before cabinetd last stopped, whose outcome never
    // came: journalled as opens with an unknown outcome.
    void recover(Journal &journal);
    // told runs (on the cabinet's thread) for each refusal counted rather
    // than journalled on its own, as it happens; kept for good.
    void on_counted(std::function<void(const CountedRefusal &)> told);

private:
    using WindowKey = std::tuple<std::string, unsigned, std::string, std::string>;
    void open_window(const WindowKey &key, std::uint64_t now, const std::string &session);
    std::string note_key(const std::string &request_id) const;

    std::string cabinet_;
    JournalBatch &batch_;
    std::uint64_t window_ms_;
    // Keyed by requester, door, action ("" for an open) and code.
    struct Window {
        std::uint64_t closes_at = 0; // steady ms
        std::uint64_t count = 0;
        std::int64_t first_ms = 0, last_ms = 0;
        std::string session_id;
    };
    std::map<WindowKey, Window> windows_;
    void tell_counted(const WindowKey &key, const Window &window);
    std::mutex watchers_mu_; // on_counted may be called from any thread
    std::vector<std::function<void(const CountedRefusal &)>> watchers_;
    struct Quiet {
        Record open;
        std::vector<Record> lines;
    };
    std::map<std::string, Quiet> quiet_; // by request id
};

} // namespace cabinetd
