#include "cycle_waits.h"

#include <cabinet_host/outcome.h>
#include <cabinet_host/explain.h>

#include <algorithm>

namespace cabinetd {

void CycleWaits::wait(const std::string &request_id, std::uint64_t deadline_ms) {
    waits_[request_id] = Wait{{}, {}, deadline_ms};
}

bool CycleWaits::hold(const std::string &request_id, bool accepted, CommandResult &result,
                      Reply &reply) {
    auto w = waits_.find(request_id);
    if (w == waits_.end()) return false;
    if (accepted && !w->second.result.cycle_end) {
        w->second.result = std::move(result);
        w->second.reply = std::move(reply);
        return true;
    }
    waits_.erase(w);
    return false;
}

CycleWaits::Ended CycleWaits::ended(const std::string &request_id, Wait &w,
                                    const std::string &end) {
    w.result.cycle_end = end;
    w.result.outcome = cabinet_host::outcome_of_cycle_end(end);
    return {request_id, std::move(w.result), std::move(w.reply)};
}

std::optional<CycleWaits::Ended> CycleWaits::event(const std::string &request_id,
                                                   const std::string &code) {
    auto w = waits_.find(request_id);
    if (w == waits_.end() || !cabinet_host::ends_cycle(code)) return std::nullopt;
    if (!w->second.reply) {
        w->second.result.cycle_end = code; // ended before its ack arrived
        return std::nullopt;
    }
    auto e = ended(w->first, w->second, code);
    waits_.erase(w);
    return e;
}

std::vector<CycleWaits::Ended> CycleWaits::expire(std::uint64_t now) {
    std::vector<Ended> out;
    for (auto it = waits_.begin(); it != waits_.end();) {
        if (now >= it->second.deadline_ms && it->second.reply) {
            out.push_back(ended(it->first, it->second,
                                std::string(to_string(cabinet_host::Outcome::Timeout))));
            it = waits_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::vector<CycleWaits::Ended> CycleWaits::end(const std::string &why, bool keep_unanswered) {
    std::vector<Ended> out;
    for (auto it = waits_.begin(); it != waits_.end();) {
        if (!it->second.reply) {
            ++it;
            continue;
        }
        out.push_back(ended(it->first, it->second, why));
        it = waits_.erase(it);
    }
    if (!keep_unanswered) waits_.clear();
    return out;
}

std::optional<std::uint64_t> CycleWaits::next_due() const {
    std::optional<std::uint64_t> due;
    for (const auto &[id, w] : waits_)
        if (w.reply) due = std::min(due.value_or(w.deadline_ms), w.deadline_ms);
    return due;
}

} // namespace cabinetd
