// The journal checks its own chain, from its base to its head: at start-up
// and after each prune that removed records, on a thread of its own (a
// million records take seconds: service does not wait for them). A break
// is said once in the log with the first bad cursor, recorded in the
// journal (a `chain_broken` record, which the page and the stream show),
// counted in the metrics; and the head is no longer published as an anchor,
// which would vouch for what was changed.
#include "chain_checker.h"

#include "journal_sql.h"
#include "log.h"

#include <fmt/format.h>

namespace cabinetd {

using namespace journal_sql;

ChainChecker::ChainChecker(std::string path, const char *vfs,
                           std::chrono::milliseconds head_log_interval, const JournalState &state,
                           std::function<void(std::vector<Record>)> write)
        : path_(std::move(path)), vfs_(vfs), head_log_interval_(head_log_interval), state_(state),
          write_(std::move(write)),
          next_head_log_(std::chrono::steady_clock::now() + head_log_interval) {}

void ChainChecker::start() {
    thread_ = std::thread([this] { run(); });
}

void ChainChecker::stop() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ChainChecker::request() {
    {
        std::lock_guard lk(mu_);
        due_ = true;
    }
    cv_.notify_all();
}

void ChainChecker::tell_listeners() {
    const auto [listeners, last] = state_.listeners();
    for (auto &l : listeners) l(last);
}

void ChainChecker::run() {
    std::unique_lock lk(mu_);
    for (;;) {
        cv_.wait(lk, [&] { return stop_ || due_; });
        if (stop_) return;
        due_ = false;
        lk.unlock();
        std::optional<Verification> v;
        try {
            v = verify_with(path_, std::nullopt, vfs_);
        } catch (const std::exception &e) {
            log(4,
                fmt::format("journal {}: its chain could not be checked, tried again after "
                            "the next prune or start: {}",
                            path_, e.what()));
        }
        lk.lock();
        if (!v) continue;
        const auto before = check_;
        ++check_.checks;
        check_.verified = v->head;
        check_.state = v->ok ? ChainCheck::State::Holds : ChainCheck::State::Broken;
        check_.broken_at = v->broken_at;
        check_.problem = v->problem;
        const bool news = before.state != check_.state || before.broken_at != check_.broken_at;
        lk.unlock();
        if (v->ok && before.state == ChainCheck::State::Checking) {
            log(6,
                fmt::format("journal {}: its hash chain holds: {} links, head {} at cursor {} "
                            "(cabinetctl journal verify --anchor {})",
                            path_, v->head.count, anchor_text(v->head), v->head.cursor,
                            anchor_text(v->head)));
        } else if (v->ok && news) {
            log(5,
                fmt::format("journal {}: its hash chain holds again: {} links", path_,
                            v->head.count));
        } else if (!v->ok && news) {
            log(2,
                fmt::format("journal {}: its hash chain breaks at cursor {}: {}; the records "
                            "were changed behind cabinetd's back, and its head is not "
                            "published as an anchor (cabinetctl journal verify --db {})",
                            path_, v->broken_at, v->problem, path_));
            write_({journal_record("chain_broken",
                                   fmt::format(R"({{"broken_at":{},"problem":{}}})", v->broken_at,
                                               json_string(v->problem)))});
        }
        if (news) tell_listeners();
        lk.lock();
    }
}

ChainCheck ChainChecker::check() const {
    std::lock_guard lk(mu_);
    return check_;
}

std::optional<ChainHead> ChainChecker::published_head() const {
    if (check().state != ChainCheck::State::Holds) return std::nullopt;
    return state_.head();
}

void ChainChecker::log_head_when_due() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_head_log_) return;
    next_head_log_ = now + head_log_interval_;
    const auto last = check();
    if (last.state == ChainCheck::State::Checking) return; // its end logs the head
    if (last.state == ChainCheck::State::Broken) {
        log(3,
            fmt::format("journal head not offered as an anchor: the hash chain breaks at "
                        "cursor {}: {}",
                        last.broken_at, last.problem));
        return;
    }
    const auto h = state_.head();
    log(6,
        fmt::format("journal head {} at cursor {} (cabinetctl journal verify --anchor {})",
                    anchor_text(h), h.cursor, anchor_text(h)));
}

} // namespace cabinetd
