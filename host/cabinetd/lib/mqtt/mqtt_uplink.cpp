#include "mqtt_uplink.h"

namespace cabinetd {

std::int64_t EventQueue::acked() const {
    if (!inflight_.empty()) return inflight_.begin()->first - 1;
    if (!pending_.empty()) return pending_.front().cursor - 1;
    return scan_;
}

bool EventQueue::offer(const Record &r) {
    if (behind_ || r.cursor <= scan_) return false;
    if (pending_.size() >= limit_) {
        behind_ = true; // it reads its own once it can send them
        return false;
    }
    pending_.push_back(r);
    scan_ = r.cursor;
    return true;
}

// A queue that fell behind reads its own events from the journal, as far as
// the bridge has, then is handed them with the others again.
void EventQueue::take_own(Journal &journal, const std::string &cabinet, std::int64_t read_to) {
    while (behind_ && pending_.size() < limit_) {
        const auto recs = journal.since(scan_, 256);
        for (const auto &r : recs) {
            if (r.cursor > read_to) break;
            if (r.cabinet == cabinet &&
                (r.kind == RecordKind::Event || r.kind == RecordKind::Alarm)) {
                if (pending_.size() >= limit_) return;
                pending_.push_back(r);
            }
            scan_ = r.cursor;
        }
        if (recs.empty() || scan_ >= read_to) behind_ = false;
    }
}

void EventQueue::pump(const Publish &publish, std::size_t window, Journal &journal,
                      const std::string &cabinet, std::int64_t read_to) {
    while (inflight_.size() < window) {
        if (pending_.empty()) take_own(journal, cabinet, read_to);
        if (pending_.empty()) return;
        auto mid = publish(pending_.front());
        if (!mid) return; // the connection is going; its end sends them again
        const auto cursor = pending_.front().cursor;
        by_mid_[*mid] = cursor;
        inflight_.emplace(cursor, std::pair{*mid, std::move(pending_.front())});
        pending_.pop_front();
    }
}

bool EventQueue::published(int mid) {
    auto it = by_mid_.find(mid);
    if (it == by_mid_.end()) return false;
    inflight_.erase(it->second);
    by_mid_.erase(it);
    return true;
}

void EventQueue::requeue() {
    for (auto it = inflight_.rbegin(); it != inflight_.rend(); ++it)
        pending_.push_front(std::move(it->second.second));
    inflight_.clear();
    by_mid_.clear();
    if (pending_.size() <= limit_) return;
    pending_.resize(limit_);
    scan_ = pending_.back().cursor;
    behind_ = true;
}

void EventQueue::record(Journal &journal, const std::string &reader, std::uint64_t now,
                        std::chrono::milliseconds every, bool now_or_never) {
    const auto acked_now = acked();
    if (acked_now == recorded_) return;
    if (!now_or_never && now - recorded_at_ < static_cast<std::uint64_t>(every.count())) return;
    journal.set_progress(reader, acked_now);
    recorded_ = acked_now;
    recorded_at_ = now;
}

void OwedResults::send(Owed r, const Publish &publish) {
    const auto mid = publish(r);
    if (!mid) return owe(std::move(r));
    inflight_.emplace_back(*mid, std::move(r));
    // A broker that takes nothing would keep them all: past the bound the
    // oldest are left to the client library, which still sends them.
    if (inflight_.size() > limit_) inflight_.pop_front();
}

void OwedResults::resend(const Publish &publish) {
    for (auto &r : std::exchange(unsent_, {})) send(std::move(r), publish);
}

void OwedResults::published(int mid) {
    std::erase_if(inflight_, [mid](auto &r) { return r.first == mid; });
}

void OwedResults::disconnected() {
    auto sent = std::exchange(inflight_, {});
    auto owed = std::exchange(unsent_, {});
    for (auto &r : sent) owe(std::move(r.second));
    for (auto &r : owed) owe(std::move(r));
}

// Keeps what is owed within its bound: past it the oldest go (and are
// logged by the bridge's next look at the cabinet).
void OwedResults::owe(Owed r) {
    unsent_.push_back(std::move(r));
    while (unsent_.size() + inflight_.size() > limit_ && !unsent_.empty()) {
        unsent_.pop_front();
        ++dropped_;
    }
}

} // namespace cabinetd
