// How a cabinet's heartbeats fare. They go out every second and are not
// journalled one by one: what a person auditing the cabinet needs is each
// change of their health (a record), and the counts (in the metrics).
#pragma once

#include "record.h"

#include <cabinet_host/client.h>

#include <optional>
#include <string>
#include <utility>

namespace cabinetd {

class HeartbeatHealth {
public:
    explicit HeartbeatHealth(std::string cabinet) : cabinet_(std::move(cabinet)) {}

    struct Heard {
        std::string outcome;          // "ok", "refused", "missing"; empty: none to count
        std::optional<Record> record; // a change of health, to journal
    };
    // A heartbeat's request is done: answered, refused, unanswered, or ended
    // with the link or the session (which start the health afresh).
    Heard done(const cabinet_host::Request &req);
    // Whether the ack being handled answered a heartbeat (asked once per ack).
    bool take_answered() { return std::exchange(answered_, false); }
    // The link went: its next first acknowledgement is journalled again.
    void forget() { health_.clear(); }
    // "ok", "refused", "missing", or "" before the first answer on this link.
    const std::string &health() const { return health_; }

private:
    std::string cabinet_;
    // As last journalled, for session_.
    std::string health_, refusal_, session_;
    bool answered_ = false;
};

} // namespace cabinetd
