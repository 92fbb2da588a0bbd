#include "keyed_answers.h"

#include "cabinet_answers.h"

#include <cabinet_host/words.h>

#include <fmt/format.h>

#include <algorithm>

namespace cabinetd {

using namespace cabinet_host;

namespace {

constexpr std::size_t kOpensKept = 1024; // a bound for a burst of keyed refusals
constexpr std::size_t kClearsKept = 1000;

CommandResult key_reused(unsigned door) {
    return failure(Outcome::Refused, "key_reused",
                   fmt::format("this Idempotency-Key was used to open door {}", door));
}

CommandResult in_progress(const char *what) {
    return failure(
        Outcome::Refused, "in_progress",
        fmt::format("{} with this Idempotency-Key is still waiting for its answer", what));
}

} // namespace

KeyedAnswers::KeyedAnswers(std::string cabinet, Journal &journal, std::uint64_t replay_window_ms)
        : cabinet_(std::move(cabinet)), journal_(journal), window_ms_(replay_window_ms) {}

KeyedAnswers::OpenAgain KeyedAnswers::open_again(const OpenArgs &args, std::uint64_t now,
                                                 bool in_flight) {
    std::erase_if(opens_, [&](auto &p) { return now - p.second.at_ms > window_ms_; });
    const AnswerKey key{args.key_scope, args.key};
    if (auto it = opens_.find(key); it != opens_.end()) {
        if (it->second.door != args.door) return {key_reused(it->second.door), {}};
        auto r = it->second.result;
        r.replayed = true;
        return {std::move(r), {}};
    }
    if (in_flight || committing_.count(key) > 0) return {in_progress("an open"), {}};
    OpenAgain again;
    again.answer = journalled_open(args, again.request_id);
    return again;
}

// What the journal says of an open under this key: request_id becomes the
// earlier open's when it got no answer, so that it goes again under the id
// it had and the controller's replay protection still refuses it if the
// first one did arrive.
std::optional<CommandResult> KeyedAnswers::journalled_open(const OpenArgs &args,
                                                           std::string &request_id) {
    std::optional<CommandResult> earlier;
    for (const auto &open : journal_.by_key(cabinet_, args.key_scope, args.key)) {
        if (open.door_id != args.door) return key_reused(open.door_id);
        request_id = open.request_id;
        for (const auto &r : journal_.by_request(cabinet_, open.request_id)) {
            AckLine a;
            a.request_id = r.request_id;
            a.session_id = r.session_id;
            if (r.kind == RecordKind::Ack && r.code != codes::kFutureCommand &&
                !is_unread_line_ack(r.code)) {
                a.code = r.code;
                earlier = from_ack(a);
            } else if (r.kind == RecordKind::Event && r.code == codes::kOpenAccepted && !earlier) {
                a.code = codes::kAccepted;
                earlier = from_ack(a);
            }
        }
    }
    if (earlier) earlier->replayed = true;
    return earlier;
}

void KeyedAnswers::opened(const AnswerKey &key, unsigned door, const CommandResult &result,
                          std::uint64_t now) {
    if (opens_.size() >= kOpensKept)
        opens_.erase(std::min_element(opens_.begin(), opens_.end(), [](auto &a, auto &b) {
            return a.second.at_ms < b.second.at_ms;
        }));
    opens_[key] = {now, door, result};
}

std::optional<CommandResult> KeyedAnswers::clear_again(const AnswerKey &key, bool in_flight) const {
    if (auto it = clears_.find(key); it != clears_.end()) {
        auto again = it->second;
        again.replayed = true;
        return again;
    }
    if (in_flight || committing_.count(key) > 0) return in_progress("a clear");
    return std::nullopt;
}

void KeyedAnswers::cleared(const AnswerKey &key, const CommandResult &result) {
    if (clears_.insert_or_assign(key, result).second) clear_order_.push_back(key);
    if (clear_order_.size() > kClearsKept) {
        clears_.erase(clear_order_.front());
        clear_order_.pop_front();
    }
}

} // namespace cabinetd
