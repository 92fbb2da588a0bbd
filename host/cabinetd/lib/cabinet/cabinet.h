// One cabinet kept in service: a thread owns its line, keeps heartbeats and
// the clock estimate going through the host library's client, reconnects with
// backoff, journals what it hears and writes, and carries out the opens and
// fault clears the API asks for.
#pragma once

#include "alarms.h"
#include "cabinet_types.h"
#include "clock.h"
#include "journal.h"
#include "progress.h"

#include <cabinet_host/client.h>
#include <cabinet_host/outcome.h>
#include <cabinet_host/transport.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace cabinetd {

struct LinkOptions {
    std::chrono::milliseconds silent_after{2000};
    std::chrono::milliseconds backoff_min{250};
    std::chrono::milliseconds backoff_max{5000};
    std::chrono::milliseconds cycle_timeout{90000};
    // Monotonic milliseconds for the line's timers (silence, heartbeats,
    // cycle deadlines, the replay window); empty: the system's steady clock.
    // Tests pass a simulated one.
    SteadyClock clock;
    // How long a keyed open's answer is kept in memory, for a retry that
    // comes before the answer is committed; the journal answers later ones.
    std::chrono::milliseconds replay_window{10000};
    // How long a door may stay open before a held_open alarm.
    std::chrono::milliseconds held_open{60000};
    // Repeated refusals of one requester's opens of a door with one code are
    // counted for this long after the first, and journalled as one record.
    std::chrono::milliseconds refusal_window{60000};
    // The doors whose opens must say why: bit d-1 for door d.
    std::uint8_t reason_doors = 0;
    // Doors whose opens wait for a second person's approval (bit d-1 for
    // door d): open() refuses one that carries no approval of the policy's.
    std::uint8_t two_person_doors = 0;
    // Who may do what, asked when each open, clear and acknowledgement is
    // carried out; none: a policy of no tokens (only the broker acts).
    std::shared_ptr<const Policy> policy;
};

// Opens the line to a cabinet's controller; throws std::exception when it
// cannot (the cabinet tries again with backoff).
using TransportFactory = std::function<std::unique_ptr<cabinet_host::Transport>()>;

// The factory for an endpoint: a serial device path, "tcp:HOST:PORT", or
// "sim" (a spawned simulator).
TransportFactory endpoint_transport(std::string endpoint);

// A cabinet is made of parts with one job each (private/: the status and its
// snapshots, the runs of the controller, heartbeat health, opens and clears
// with their keyed answers and cycle waits, counted refusals, the journal's
// batch, the thread's inbox); it composes them, owns the thread, and hands
// each line and each request to the parts it concerns.
class Cabinet {
public:
    // endpoint: where the line goes, as configured (shown in the status);
    // connect opens it.
    Cabinet(std::string name, std::string endpoint, TransportFactory connect, Journal &journal,
            LinkOptions opt = {});
    ~Cabinet();
    Cabinet(const Cabinet &) = delete;
    Cabinet &operator=(const Cabinet &) = delete;

    void start();
    void stop();

    const std::string &name() const { return name_; }
    bool needs_approval(unsigned door) const {
        return door >= 1 && door <= 8 && ((opt_.two_person_doors >> (door - 1)) & 1U) != 0;
    }
    bool needs_reason(unsigned door) const {
        return door >= 1 && door <= 8 && ((opt_.reason_doors >> (door - 1)) & 1U) != 0;
    }
    CabinetStatus status() const;
    std::vector<Alarm> alarms() const; // the active ones, oldest first
    // watcher runs on the cabinet's thread whenever what its status shows
    // changes (link, controller state and doors, alarms, the re-arm): it must
    // not block. It is kept as long as the cabinet.
    void on_status_change(std::function<void()> watcher);
    // told runs on the cabinet's thread for each refusal counted rather
    // than journalled on its own: it must not block. Kept as long as the
    // cabinet.
    void on_counted_refusal(std::function<void(const CountedRefusal &)> told);
    // The status as of its latest change (never null), and told runs on the
    // cabinet's thread with each new one: it must not block. It is kept as
    // long as the cabinet.
    Snapshot snapshot() const;
    void on_snapshot(std::function<void(const Snapshot &)> told);
    // What moves all the time without changing what the status shows.
    LiveFigures live() const;
    // The steady clock (ms) the status's steady stamps are on (the heartbeat,
    // the re-arm): what a view of them measures ages with.
    std::uint64_t clock_ms() const { return opt_.clock(); }
    // The cabinet thread's proof of life, for the watchdog.
    const Progress &progress_mark() const { return progress_; }

    // Every open, clear and acknowledgement is decided by the policy for
    // its principal when the cabinet's thread carries it out; a refusal is
    // journalled (a "refused" record) and answered with the policy's code.
    // reply runs once the outcome is durable in the journal, on the journal's
    // writer thread: it must not block.
    void open(OpenArgs args, Reply reply);
    // Journals a refusal decided before the cabinet's thread (a two-person
    // open whose approval could not be asked or given): `action` is what was
    // refused ("open", "approve"); nothing is sent and nobody waits.
    void refuse(const OpenArgs &args, const Decision &why, Action action = Action::Open);
    void clear_fault(ClearArgs args, Reply reply);
    // Acknowledges one active alarm (alarm_id) or every active one not yet
    // acknowledged, each checked for `who` on the cabinet's thread, so
    // exactly those checked are acknowledged (or none, when one may not be);
    // reply runs once that is journalled, on any thread: it must not block.
    void acknowledge_alarms(std::optional<std::string> alarm_id, Principal who,
                            std::function<void(AlarmAck)> reply);
    const Policy &policy() const { return *opt_.policy; }

private:
    struct Parts; // private/cabinet_parts.h

    // The thread and its line (cabinet.cpp).
    void run();
    void run_line(cabinet_host::Transport &t);
    void serve(cabinet_host::Transport &t);
    void serve_step(cabinet_host::Client &client);
    void look_round(std::uint64_t now);
    std::uint64_t next_wait(std::uint64_t now) const;
    void wait_backoff(std::chrono::milliseconds backoff);
    void post(std::function<void()> job);
    void set_link(Link l, std::string reason);
    void announce();
    void commit_then(std::function<void(bool stored)> next);
    Record record(RecordKind kind) const; // a new record of this cabinet, stamped now
    std::uint64_t steady_now() const;

    // Alarms (cabinet_alarms.cpp): what the model says, journalled and shown.
    void alarm_changes(std::vector<AlarmChange> changes);
    AlarmClock alarm_now() const;
    void acknowledge_now(const std::optional<std::string> &alarm_id, const Principal &who,
                         const std::function<void(AlarmAck)> &reply);

    // What the controller says (cabinet_lines.cpp).
    void on_line(const cabinet_host::Inbound &in);
    void on_state(const cabinet_host::StateLine &s);
    void on_event(const cabinet_host::EventLine &e);
    void on_ack(const cabinet_host::AckLine &a);
    void on_sent(const std::string &line, const cabinet_host::Request *req);
    void heartbeat_done(const cabinet_host::Request &r);
    void on_session(const cabinet_host::SessionChange &c);
    void start_rearm();
    template <class Line> Record line_record(RecordKind kind, const Line &l) const;

    std::string name_, endpoint_;
    TransportFactory connect_;
    Journal &journal_;
    LinkOptions opt_;
    Progress progress_;
    std::unique_ptr<Parts> parts_;
    std::thread thread_;
};

} // namespace cabinetd
