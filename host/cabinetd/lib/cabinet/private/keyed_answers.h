// The answers to keyed opens and clears, for their retries: a retry is
// answered again, never sent again. A key answers only in its client's scope,
// so one client's key never answers or blocks another client's command. An
// open's answer is kept for the replay window, then the journal has it; the
// latest clears' answers are kept, and a retry of an older one is carried out
// again, which a clear can bear.
#pragma once

#include "cabinet_types.h"
#include "journal.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace cabinetd {

using AnswerKey = std::pair<std::string, std::string>; // (scope, client's key)

class KeyedAnswers {
public:
    KeyedAnswers(std::string cabinet, Journal &journal, std::uint64_t replay_window_ms);

    // A keyed open asked again, at steady ms `now`; in_flight: one of its key
    // was sent and waits for its answer. The answer it had (replayed), a
    // refusal (the key is another door's, or its first is still waiting), or
    // none: it goes out, under the request id it had if it got no answer.
    struct OpenAgain {
        std::optional<CommandResult> answer;
        std::string request_id;
    };
    OpenAgain open_again(const OpenArgs &args, std::uint64_t now, bool in_flight);
    void opened(const AnswerKey &key, unsigned door, const CommandResult &result,
                std::uint64_t now);

    // A keyed clear asked again: the answer it had, a refusal while its first
    // still waits, or none.
    std::optional<CommandResult> clear_again(const AnswerKey &key, bool in_flight) const;
    void cleared(const AnswerKey &key, const CommandResult &result);

    // A keyed command's record is being committed before it is sent.
    void committing(const AnswerKey &key) { committing_.insert(key); }
    void committed(const AnswerKey &key) { committing_.erase(key); }

private:
    std::optional<CommandResult> journalled_open(const OpenArgs &args, std::string &request_id);

    std::string cabinet_;
    Journal &journal_;
    std::uint64_t window_ms_;
    std::set<AnswerKey> committing_;
    struct Answered {
        std::uint64_t at_ms;
        unsigned door;
        CommandResult result;
    };
    std::map<AnswerKey, Answered> opens_;
    // The latest kClearsKept, oldest first in the order.
    std::map<AnswerKey, CommandResult> clears_;
    std::deque<AnswerKey> clear_order_;
};

} // namespace cabinetd
