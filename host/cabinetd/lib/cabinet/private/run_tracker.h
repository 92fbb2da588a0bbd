// Which run of the controller a line belongs to, and which of its events
// never arrived: each run's records go under a key of their own in the
// journal (normally its session id), and the events a line shows to be
// missing become a gap record.
#pragma once

#include "journal.h"

#include <cabinet_host/client.h>
#include <cabinet_host/protocol.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cabinetd {

// The highest event number accounted for in each session, and the numbers a
// line shows to be missing. An event line carries its own number; a state or
// ack line carries the number of the latest event, which was on the wire
// before it.
class SeqTracker {
public:
    struct Gap {
        std::uint64_t from, to;
    };
    // Where a session stands when it is first met: known from the journal, or
    // nothing (a new session starts before event 1).
    using Loader = std::function<std::optional<std::uint64_t>(const std::string &session)>;
    explicit SeqTracker(Loader load = {}) : load_(std::move(load)) {}

    std::optional<Gap> event(const std::string &session, std::uint64_t seq);
    std::optional<Gap> latest(const std::string &session, std::uint64_t seq);
    std::uint64_t last(const std::string &session);

private:
    std::uint64_t &slot(const std::string &session);
    Loader load_;
    std::map<std::string, std::uint64_t> last_;
};

class RunTracker {
public:
    // Starts from the run the journal holds last for the cabinet.
    RunTracker(std::string cabinet, Journal &journal);

    // The key the current run's records go under; empty before the first line.
    const std::string &key() const { return key_; }
    // The run last journalled: at start-up the journal's latest, if any.
    const std::optional<std::string> &known() const { return known_; }

    // The client saw a new session: which run it is, the next line tells.
    void session_changed(const cabinet_host::SessionChange &c) { change_ = c; }
    // A line heard from the controller: the records it makes of the runs, in
    // the order they go before the line's own record (a new run's, and the
    // events it shows missing).
    std::vector<Record> heard(const cabinet_host::Inbound &line);

private:
    std::vector<Record> begin_run(const cabinet_host::SessionChange &c,
                                  const cabinet_host::Inbound &line);
    struct Reused {
        std::string why;       // empty: not a new run under a session id already journalled
        bool same_run = false; // the run last heard, reconnected
    };
    Reused reused(const cabinet_host::SessionChange &c, const cabinet_host::Inbound &line);
    std::optional<std::string> new_run_reason(const std::string &key,
                                              const cabinet_host::Inbound &line);
    std::string fresh_key(const std::string &session);
    std::optional<Record> gap(const std::string &session, std::optional<SeqTracker::Gap> g) const;

    std::string cabinet_;
    Journal &journal_;
    SeqTracker seq_;
    std::optional<std::string> known_;
    std::string key_;
    std::optional<cabinet_host::SessionChange> change_;
    // A run's key and the latest uptime heard in it.
    std::pair<std::string, std::uint64_t> uptime_;
};

} // namespace cabinetd
