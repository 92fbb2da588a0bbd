// The journal checks its own chain, from its base to its head: at start-up
// and after each prune that removed records, on a thread of its own (a
// million records take seconds: service does not wait for them). A break
// is said once in the log with the first bad cursor, recorded in the
// journal (a `chain_broken` record, which the page and the stream show),
// counted in the metrics; and the head is no longer published as an anchor,
// which would vouch for what was changed.
#include "journal.h"

#include "journal_sql.h"
#include "log.h"

#include <fmt/format.h>

namespace cabinetd {

using namespace journal_sql;

void Journal::request_check() {
    {
        std::lock_guard lk(check_mu_);
        check_due_ = true;
    }
    check_cv_.notify_all();
}

void Journal::notify_listeners() {
    std::vector<Listener> listeners;
    std::int64_t last = 0;
    {
        std::lock_guard lk(mu_);
        for (auto &[id, l] : listeners_) listeners.push_back(l);
        last = last_cursor_;
    }
    for (auto &l : listeners) l(last);
}

void Journal::check_chain() {
    std::unique_lock lk(check_mu_);
    for (;;) {
        check_cv_.wait(lk, [&] { return check_stop_ || check_due_; });
        if (check_stop_) return;
        check_due_ = false;
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
            write({journal_record("chain_broken",
                                  fmt::format(R"({{"broken_at":{},"problem":{}}})", v->broken_at,
                                              json_string(v->problem)))});
        }
        if (news) notify_listeners();
        lk.lock();
    }
}

ChainCheck Journal::chain_check() const {
    std::lock_guard lk(check_mu_);
    return check_;
}

std::optional<ChainHead> Journal::published_head() const {
    if (chain_check().state != ChainCheck::State::Holds) return std::nullopt;
    return head();
}

void Journal::log_head_when_due() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_head_log_) return;
    next_head_log_ = now + opt_.head_log_interval;
    const auto check = chain_check();
    if (check.state == ChainCheck::State::Checking) return; // its end logs the head
    if (check.state == ChainCheck::State::Broken) {
        log(3,
            fmt::format("journal head not offered as an anchor: the hash chain breaks at "
                        "cursor {}: {}",
                        check.broken_at, check.problem));
        return;
    }
    const auto h = head();
    log(6,
        fmt::format("journal head {} at cursor {} (cabinetctl journal verify --anchor {})",
                    anchor_text(h), h.cursor, anchor_text(h)));
}

} // namespace cabinetd
