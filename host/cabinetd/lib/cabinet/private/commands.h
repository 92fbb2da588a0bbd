// Opens and fault clears, on the cabinet's thread: each is decided by the
// policy, journalled before it is sent, answered once its outcome is durable,
// and answered again, never sent again, when a client retries it under the
// same key; an open that waits for its cycle is answered when it ends.
#pragma once

#include "cabinet.h"
#include "cycle_waits.h"
#include "journal_batch.h"
#include "keyed_answers.h"
#include "refusal_windows.h"
#include "run_tracker.h"
#include "status_board.h"

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace cabinetd {

class Commands {
public:
    // What a command needs of the cabinet: its journal batch, its runs, its
    // status (the link), its counted refusals, and a way back onto its thread.
    struct Context {
        const std::string &name;
        const LinkOptions &opt;
        JournalBatch &batch;
        const RunTracker &runs;
        const StatusBoard &board;
        RefusalWindows &refusals;
        std::function<void(std::function<void()>)> post;
    };
    explicit Commands(Context cabinet);

    // The client of the line served; none between lines.
    void serving(cabinet_host::Client *client) { client_ = client; }

    void open(OpenArgs args, Reply reply);
    void clear(ClearArgs args, Reply reply);
    // A request of the client's is done; heartbeats are not this part's.
    void done(const cabinet_host::Request &req);
    // What the ack being handled settles, once (set when its request is done,
    // just before the ack itself is handled).
    std::optional<AckSettles> take_settles() { return std::exchange(settles_, std::nullopt); }

    // An event of the controller's, which may end a cycle waited for.
    void event(const std::string &request_id, const std::string &code);
    // The controller restarted: the cycles waited for end.
    void session_changed();
    // What had no client left to answer it, answered.
    void drop(cabinet_host::Outcome outcome, const std::string &code, const std::string &text);
    void expire(std::uint64_t now);
    std::optional<std::uint64_t> next_due() const { return cycles_.next_due(); }

    // A refusal before the line, journalled (its repeats counted).
    void refuse_early(const std::string &requested_by, unsigned door, std::string action,
                      const Decision &d, const std::string &reason = {});

private:
    // An open or a clear sent, until it is answered.
    struct Pending {
        OpenArgs args;
        Reply reply;
        cabinet_host::RequestPtr req;
        AnswerKey clear_key;  // (scope, key) of a keyed clear
        std::string clear_id; // a clear's request id in the journal (its line carries none)
    };
    Decision decide_open(const OpenArgs &args) const;
    void admit_open(OpenArgs args, Reply reply, std::string request_id);
    void send_open(OpenArgs args, Reply reply, Record intent, bool stored);
    void send_clear(Reply reply, AnswerKey key, Record intent, bool stored);
    void answer_open(const cabinet_host::Request &req, Pending p, CommandResult result);
    void answer_clear(const cabinet_host::Request &req, Pending p, CommandResult result);
    void answer_cycles(std::vector<CycleWaits::Ended> ended);
    void clear_failed(const std::string &clear_id, const CommandResult &result);
    bool in_flight(const AnswerKey &key, bool clear) const;
    bool line_up() const;
    void commit_then(std::function<void(bool stored)> next);
    std::uint64_t now() const { return cab_.opt.clock(); }

    Context cab_;
    Journal &journal_;
    cabinet_host::Client *client_ = nullptr;
    KeyedAnswers keyed_;
    CycleWaits cycles_;
    cabinet_host::RequestIds ids_;
    std::map<const cabinet_host::Request *, Pending> pending_;
    std::optional<AckSettles> settles_;
};

} // namespace cabinetd
