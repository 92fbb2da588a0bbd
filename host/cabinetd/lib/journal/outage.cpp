#include "outage.h"

#include "journal_sql.h"
#include "log.h"

#include <fmt/format.h>

#include <set>
#include <tuple>

namespace cabinetd {

using namespace journal_sql;

void Outage::attempt(std::vector<WriteBatch> &batches, bool try_db) {
    if (!try_db) {
        hold(batches);
        return;
    }
    const bool recovering = !available_;
    std::vector<WriteBatch> all;
    std::size_t held_count = 0;
    try {
        if (recovering) {
            // What it could not write, in order, between a record of the
            // outage and one of the recovery.
            WriteBatch front, back;
            front.records = recovery_records();
            back.records.push_back(journal_record(
                "recovered",
                fmt::format(R"({{"unavailable_ms":{},"kept":{},"dropped":{},"reason":{}}})",
                            wall_ms() - unavailable_since_ms_, held_records_, dropped_.total,
                            json_string(reason_))));
            for (auto &[reader, cursor] : held_progress_)
                back.progress.emplace_back(reader, cursor);
            all.push_back(std::move(front));
            held_count = held_.size();
            for (auto &h : held_) all.push_back(std::move(h));
            held_.clear();
            all.push_back(std::move(back));
        }
        for (auto &b : batches) all.push_back(std::move(b));
        batches.clear();
        writer_.commit(all);
    } catch (const JournalError &e) {
        // Put back what was held, and keep the new batches as well.
        if (recovering && !all.empty()) {
            for (std::size_t i = 1; i <= held_count && i < all.size(); ++i)
                held_.push_back(std::move(all[i]));
            all.erase(all.begin(),
                      all.begin() +
                          static_cast<std::ptrdiff_t>(std::min(all.size(), held_count + 2)));
        }
        for (auto &b : all) batches.push_back(std::move(b));
        if (available_) become_unavailable(e.what());
        next_retry_ = std::chrono::steady_clock::now() + retry_interval_;
        hold(batches);
        return;
    }
    if (recovering) become_available();
}

void Outage::become_unavailable(const std::string &reason) {
    log(3,
        fmt::format(
            "journal unavailable, opens and clears are refused until it can write again: {}",
            reason));
    std::lock_guard lk(state_.mutex());
    reason_ = reason;
    unavailable_since_ms_ = wall_ms();
    ++state_.stats_locked().unavailable;
    available_ = false;
}

void Outage::become_available() {
    log(5,
        fmt::format(
            "journal recovered after {:.1f} s: {} records kept in memory written, {} dropped",
            static_cast<double>(wall_ms() - unavailable_since_ms_) / 1000.0, held_records_,
            dropped_.total));
    std::lock_guard lk(state_.mutex());
    held_records_ = 0;
    held_progress_.clear();
    dropped_ = {};
    state_.stats_locked().held = 0;
    reason_.clear();
    available_ = true;
}

// Keeps batches the database would not take in memory, up to the bound,
// and tells whoever waits for them that they are not stored.
void Outage::hold(std::vector<WriteBatch> &batches) {
    for (auto &b : batches) {
        if (b.done) b.done(false);
        b.done = nullptr;
        for (auto &[reader, cursor] : b.progress) held_progress_[reader] = cursor;
        b.progress.clear();
        if (b.records.empty()) continue;
        held_records_ += b.records.size();
        held_.push_back(std::move(b));
    }
    batches.clear();
    while (held_records_ > held_max_) drop_oldest_held();
    std::lock_guard lk(state_.mutex());
    state_.stats_locked().held = held_records_;
}

void Outage::drop_oldest_held() {
    auto &front = held_.front();
    Record r = std::move(front.records.front());
    front.records.erase(front.records.begin());
    if (front.records.empty()) held_.pop_front();
    --held_records_;
    ++dropped_.total;
    {
        std::lock_guard lk(state_.mutex());
        ++state_.stats_locked().dropped;
    }
    // Events, and the events a gap stood for, become gap records on recovery.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> range;
    if (r.kind == RecordKind::Event && r.event_seq) range = {{*r.event_seq, *r.event_seq}};
    if (r.kind == RecordKind::Gap && r.event_seq && r.seq_to) range = {{*r.event_seq, *r.seq_to}};
    if (!range || r.session_id.empty()) {
        ++dropped_.kinds[r.kind];
        return;
    }
    auto &ranges = dropped_.events[{r.cabinet, r.session_id}];
    if (!ranges.empty() && range->first <= ranges.back().second + 1 &&
        range->second + 1 >= ranges.back().first) {
        ranges.back().first = std::min(ranges.back().first, range->first);
        ranges.back().second = std::max(ranges.back().second, range->second);
    } else {
        ranges.push_back(*range);
    }
    // A bound here too: past it neighbouring ranges merge (and may then
    // claim missing an event that was stored).
    if (ranges.size() > 256) {
        ranges[ranges.size() - 2].second = ranges.back().second;
        ranges.pop_back();
    }
}

// The records that go before what was held: the outage itself, and a gap
// record for each run of events dropped past the memory bound (less any
// that are stored after all, as a repeated line would be).
std::vector<Record> Outage::recovery_records() {
    std::vector<Record> out;
    out.push_back(journal_record("unavailable",
                                 fmt::format(R"({{"reason":{}}})", json_string(reason_)),
                                 unavailable_since_ms_));
    std::set<std::tuple<std::string, std::string, std::uint64_t>> kept;
    for (auto &b : held_)
        for (auto &r : b.records)
            if (r.kind == RecordKind::Event && r.event_seq)
                kept.emplace(r.cabinet, r.session_id, *r.event_seq);
    Stmt stored(
        writer_.db(),
        "SELECT event_seq FROM journal WHERE kind = 'event' AND cabinet = ? AND session_id = ? "
        "AND event_seq BETWEEN ? AND ? ORDER BY event_seq");
    for (auto &entry : dropped_.events) {
        // Not a structured binding: the lambda below captures the key, which
        // clang before 16 refuses for a binding.
        const auto &key = entry.first;
        for (auto [lo, hi] : entry.second) {
            std::set<std::uint64_t> have;
            stored.bind(1, key.first)
                .bind(2, key.second)
                .bind(3, static_cast<std::int64_t>(lo))
                .bind(4, static_cast<std::int64_t>(hi));
            while (stored.step()) have.insert(static_cast<std::uint64_t>(stored.i64(0)));
            stored.reset();
            for (auto &[c, s, q] : kept)
                if (c == key.first && s == key.second && q >= lo && q <= hi) have.insert(q);
            auto from = lo;
            const auto emit = [&](std::uint64_t to) {
                if (from > to) return;
                Record g;
                // Stamped with the outage's start, like the record of the
                // outage before it: the records around it stay in the order
                // of their times, which a search by time relies on.
                g.at_ms = unavailable_since_ms_;
                g.cabinet = key.first;
                g.kind = RecordKind::Gap;
                g.session_id = key.second;
                g.event_seq = from;
                g.seq_to = to;
                g.detail = fmt::format(
                    R"({{"reason":"events {}-{} were received while the journal could not write, past what it keeps in memory"}})",
                    from, to);
                out.push_back(std::move(g));
            };
            for (auto q : have) {
                if (q > from) emit(q - 1);
                from = q + 1;
            }
            emit(hi);
        }
    }
    return out;
}
std::string Outage::reason() const {
    std::lock_guard lk(state_.mutex());
    return available_ ? std::string() : reason_;
}

} // namespace cabinetd
