// One cabinet kept in service: a thread owns its line, keeps heartbeats and
// the clock estimate going through the host library's client, reconnects with
// backoff, journals what it hears and writes, and carries out the opens and
// fault clears the API asks for.
#pragma once

#include "alarms.h"
#include "cabinet_types.h"
#include "clock.h"
#include "journal.h"

#include <cabinet_host/client.h>
#include <cabinet_host/outcome.h>
#include <cabinet_host/transport.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
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
    // door d): the front ends ask for it before an open reaches open().
    std::uint8_t two_person_doors = 0;
};

// Opens the line to a cabinet's controller; throws std::exception when it
// cannot (the cabinet tries again with backoff).
using TransportFactory = std::function<std::unique_ptr<cabinet_host::Transport>()>;

// The factory for an endpoint: a serial device path, "tcp:HOST:PORT", or
// "sim" (a spawned simulator).
TransportFactory endpoint_transport(std::string endpoint);

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
    void on_status_change(std::function<void()> watcher) {
        std::lock_guard lk(mu_);
        watchers_.push_back(std::move(watcher));
    }
    // The cabinet thread's proof of life, for the watchdog.
    const Progress &progress_mark() const { return progress_; }

    // reply runs once the outcome is durable in the journal, on the journal's
    // writer thread: it must not block.
    void open(OpenArgs args, Reply reply);
    // Journals an open refused by its front end before it reached the cabinet
    // (code: why, e.g. "not_permitted"); nothing is sent and nobody waits.
    void refuse_open(OpenArgs args, std::string code);
    void clear_fault(ClearArgs args, Reply reply);
    void clear_fault(std::string requested_by, Reply reply) {
        clear_fault(ClearArgs{std::move(requested_by), {}, {}}, std::move(reply));
    }
    // Acknowledges one active alarm (alarm_id) or every one, for the operator
    // `by`; reply runs once that is journalled, on any thread: it must not block.
    void acknowledge_alarms(std::optional<std::string> alarm_id, std::string by,
                            std::function<void(AlarmAck)> reply);

private:
    struct Pending {
        OpenArgs args;
        Reply reply;
        cabinet_host::RequestPtr req;
        std::pair<std::string, std::string> clear_key; // (scope, key) of a keyed clear
        std::string clear_id; // a clear's request id in the journal (its line carries none)
    };
    struct CycleWait {
        CommandResult result;
        Reply reply;
        std::uint64_t deadline_ms;
    };
    using Key = std::pair<std::string, std::string>; // (scope, client's key)

    // The thread and its line (cabinet.cpp).
    void run();
    void run_line(cabinet_host::Transport &t);
    void serve(cabinet_host::Transport &t);
    void serve_step(cabinet_host::Client &client);
    std::uint64_t next_wait(std::uint64_t now) const;
    Link link() const;
    void drop_outstanding(cabinet_host::Outcome outcome, const std::string &code,
                          const std::string &text);
    void wait_backoff(std::chrono::milliseconds backoff);
    void post(std::function<void()> job);
    void run_jobs();
    void set_link(Link l, std::string reason);
    void start_rearm();
    void end_rearm(std::uint64_t now);
    void announce();
    void reply_later(Reply reply, CommandResult result);
    void commit_then(std::function<void(bool stored)> next);
    void commit();
    Record record(RecordKind kind) const; // a new record of this cabinet, stamped now
    std::uint64_t steady_now() const;

    // Opens and clears (cabinet_commands.cpp).
    void start_open(OpenArgs args, Reply reply);
    std::optional<CommandResult> replay_open(const OpenArgs &args, std::string &request_id);
    std::optional<CommandResult> journalled_open(const OpenArgs &args, std::string &request_id);
    void admit_open(OpenArgs args, Reply reply, std::string request_id);
    void send_open(OpenArgs args, Reply reply, Record intent, bool stored);
    void start_clear(ClearArgs args, Reply reply);
    void send_clear(Reply reply, Key key, Record intent, bool stored);
    void remember_clear(const Key &key, const CommandResult &result);
    void on_done(const cabinet_host::Request &r);
    void answer_open(Pending p, const cabinet_host::Request &req, CommandResult result);
    void end_cycles(const std::string &why);
    void finish_cycle(const std::string &request_id, CycleWait &c, const std::string &end);
    void expire_cycles(std::uint64_t now);
    void clear_failed(const std::string &clear_id, const CommandResult &result);

    // Refusals counted rather than journalled one by one (cabinet_refusals.cpp).
    bool counting(const std::string &requested_by, unsigned door) const;
    void send_quietly(Record open);
    void settle_open(const cabinet_host::Request &req, const std::string &requested_by);
    void write_quiet(const std::string &request_id);
    void open_failed(const cabinet_host::Request &req, const std::string &code,
                     const std::string &reason);
    void close_refusals(std::uint64_t now, bool all);
    void refuse_early(const OpenArgs &args, const std::string &code);
    void open_window(const std::tuple<std::string, unsigned, std::string> &key);
    void recover_quiet_opens();
    std::string note_key(const std::string &request_id) const;

    // Alarms (cabinet_alarms.cpp): what the model says, journalled and shown.
    void alarm_changes(std::vector<AlarmChange> changes);
    AlarmClock alarm_now() const;
    void restore_alarms();

    // What the controller says (cabinet_lines.cpp).
    void on_line(const cabinet_host::Inbound &in);
    void on_state(const cabinet_host::StateLine &s);
    void on_event(const cabinet_host::EventLine &e);
    void on_ack(const cabinet_host::AckLine &a);
    void on_sent(const std::string &line, const cabinet_host::Request *req);
    void gap_record(const std::string &session, const SeqTracker::Gap &g);
    void heartbeat_done(const cabinet_host::Request &r);
    void on_session(const cabinet_host::SessionChange &c);
    void begin_run(const cabinet_host::SessionChange &c, const cabinet_host::Inbound &line);
    std::string reused_reason(const cabinet_host::SessionChange &c,
                              const std::optional<std::string> &previous,
                              const cabinet_host::Inbound &line, bool &same_run);
    std::optional<std::string> new_run_reason(const std::string &key,
                                              const cabinet_host::Inbound &line);
    std::string fresh_run_key(const std::string &session);
    template <class Line> Record line_record(RecordKind kind, const Line &l) const;

    std::string name_, endpoint_;
    TransportFactory connect_;
    Journal &journal_;
    LinkOptions opt_;
    SeqTracker seq_;
    cabinet_host::RequestIds ids_;

    mutable std::mutex mu_;
    CabinetStatus status_;
    std::vector<std::function<void()>> jobs_;
    std::vector<std::function<void()>> watchers_;
    std::condition_variable cv_;
    cabinet_host::Transport *line_ = nullptr; // the line served, to wake the thread on
    bool stop_ = false;
    std::thread thread_;

    // The cabinet's own thread only, from here on.
    cabinet_host::Client *client_ = nullptr;
    std::optional<std::string> known_session_;
    std::string journal_session_; // the current run's key in the journal
    // Decided on the line that showed it.
    std::optional<cabinet_host::SessionChange> run_change_;
    // A run's key and the latest uptime heard in it.
    std::pair<std::string, std::uint64_t> run_uptime_;
    std::uint64_t last_line_ms_ = 0;
    std::optional<cabinet_host::StateLine> last_logged_state_;
    std::vector<Record> batch_;
    std::vector<std::function<void()>> after_commit_;
    // Heartbeat health as last journalled (for heartbeat_session_): "" (none
    // answered yet on this link and session), "ok", "refused" (with the ack
    // code) or "missing".
    std::string heartbeat_health_, heartbeat_refusal_, heartbeat_session_;
    bool ack_answered_heartbeat_ = false; // the ack being handled answered a heartbeat
    // What the ack being handled settles (set when its request is done, just
    // before the ack itself is handled): the request id and outcome it is
    // journalled with, or nothing to journal when its refusal was counted.
    struct AckSettles {
        std::string request_id, outcome;
        bool counted = false;
    };
    std::optional<AckSettles> ack_settles_;
    std::vector<Note> notes_; // committed with batch_
    // Refusals of one requester's opens of one door with one code, counted
    // for a minute after the first, which is journalled in full.
    struct Refusals {
        std::uint64_t closes_at = 0; // steady ms
        std::uint64_t count = 0;
        std::int64_t first_ms = 0, last_ms = 0;
        std::string session_id;
    };
    std::map<std::tuple<std::string, unsigned, std::string>, Refusals> refusals_;
    // Opens sent while their requester's refusals of the door are counted:
    // a note in the journal keeps each until its outcome says whether it is
    // journalled in full (with the lines written for it) or counted.
    struct Quiet {
        Record open;
        std::vector<Record> lines;
    };
    std::map<std::string, Quiet> quiet_; // by request id
    // Keyed opens and clears whose record is being committed before they are sent.
    std::set<Key> committing_;
    std::map<const cabinet_host::Request *, Pending> pending_;
    std::map<std::string, CycleWait> cycles_; // by request id
    // Keyed opens answered within the replay window (LinkOptions).
    struct Answered {
        std::uint64_t at_ms;
        unsigned door;
        CommandResult result;
    };
    std::map<Key, Answered> recent_;
    // Keyed clears answered, the latest kClearsKept, oldest first in the order.
    std::map<Key, CommandResult> clears_;
    std::deque<Key> clear_order_;
    AlarmModel alarms_;
    Progress progress_;
    std::string announced_; // what the watchers were last told of, in short
};

} // namespace cabinetd
