#include "alarms.h"

#include "random.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>

#include <algorithm>
#include <utility>

namespace cabinetd {

using namespace cabinet_host;

const char *to_string(AlarmChange::What w) {
    switch (w) {
    case AlarmChange::What::Raised: return "raised";
    case AlarmChange::What::Acknowledged: return "acknowledged";
    case AlarmChange::What::Cleared: return "cleared";
    }
    return "raised";
}

AlarmModel::AlarmModel(std::uint64_t held_open_ms, Ids ids)
        : held_open_ms_(held_open_ms), ids_(std::move(ids)) {
    if (!ids_) ids_ = [] { return random_hex(16); };
}

void AlarmModel::raise(std::string_view code, unsigned door, std::string text, AlarmClock now,
                       std::vector<AlarmChange> &out) {
    const bool known = std::any_of(active_.begin(), active_.end(), [&](const Alarm &a) {
        return a.code == code && a.door == door;
    });
    if (known) return; // one per door and code: the bound on active alarms
    Alarm a{ids_(), std::string(code), door, std::move(text), now.wall_ms, std::nullopt, false};
    active_.push_back(a);
    out.push_back({AlarmChange::What::Raised, std::move(a), {}});
}

// An acknowledged alarm ends once its door is known closed and locked.
void AlarmModel::clear_secured(std::vector<AlarmChange> &out) {
    std::vector<Alarm> kept;
    for (auto &a : active_) {
        const Door &d = doors_[a.door - 1];
        const bool secure = d.open == false && d.unlocked == false;
        const bool heard = d.open.has_value() && d.unlocked.has_value();
        const bool restored = std::exchange(a.restored, a.restored && !heard);
        if (!a.acknowledged_by || !secure) {
            kept.push_back(std::move(a));
            continue;
        }
        const auto reason = restored
            ? fmt::format("door {} was found closed and locked when cabinetd started again", a.door)
            : fmt::format("door {} closed and locked", a.door);
        out.push_back({AlarmChange::What::Cleared, std::move(a), reason});
    }
    active_ = std::move(kept);
}

void AlarmModel::set_open(Door &d, bool open, std::uint64_t now) {
    if (open && d.open != true) d.open_since = d.opened_before.value_or(now);
    d.opened_before.reset();
    d.open = open;
}

std::vector<AlarmChange> AlarmModel::on_event(std::string_view code, unsigned door,
                                              AlarmClock now) {
    std::vector<AlarmChange> out;
    if (code == codes::kOpenAccepted && door >= 1 && door <= kDoors) admitted_ = door;
    else if (code == codes::kCycleComplete || is_fault_code(code)) admitted_ = 0;
    if (door < 1 || door > kDoors) return out;
    Door &d = doors_[door - 1];
    const bool admitted = door == admitted_;
    if (code == codes::kDoorOpen) {
        set_open(d, true, now.steady_ms);
        if (!admitted)
            raise(kForcedOpen, door, fmt::format("door {} opened without an open", door), now, out);
    } else if (code == codes::kLatchUnlocked) {
        d.unlocked = true;
        if (!admitted)
            raise(kForcedOpen, door, fmt::format("latch {} unlocked without an open", door), now,
                  out);
    } else if (code == codes::kDoorClosed) {
        set_open(d, false, now.steady_ms);
    } else if (code == codes::kLatchLocked) {
        d.unlocked = false;
    }
    clear_secured(out);
    return out;
}

std::vector<AlarmChange> AlarmModel::on_state(const StateLine &s, AlarmClock now) {
    std::vector<AlarmChange> out;
    const auto state = parse_state(s.state);
    const bool busy = state && *state != ControllerState::Idle && *state != ControllerState::Fault;
    admitted_ = busy && s.active_door >= 1 && s.active_door <= kDoors ? s.active_door : 0;
    if (!s.inputs_valid) return out;
    for (unsigned n = 1; n <= kDoors; ++n) {
        set_open(doors_[n - 1], !s.door_closed(n), now.steady_ms);
        doors_[n - 1].unlocked = !s.latch_locked(n);
    }
    clear_secured(out);
    return out;
}

std::vector<AlarmChange> AlarmModel::tick(AlarmClock now) {
    std::vector<AlarmChange> out;
    for (unsigned n = 1; n <= kDoors; ++n) {
        const Door &d = doors_[n - 1];
        if (d.open == true && now.steady_ms >= d.open_since + held_open_ms_)
            raise(kHeldOpen, n,
                  fmt::format("door {} open for longer than {} s", n, held_open_ms_ / 1000), now,
                  out);
    }
    return out;
}

std::optional<std::uint64_t> AlarmModel::next_due() const {
    std::optional<std::uint64_t> due;
    for (unsigned n = 1; n <= kDoors; ++n) {
        const Door &d = doors_[n - 1];
        const bool raised = std::any_of(active_.begin(), active_.end(), [&](const Alarm &a) {
            return a.code == kHeldOpen && a.door == n;
        });
        if (d.open == true && !raised) {
            const auto at = d.open_since + held_open_ms_;
            due = due ? std::min(*due, at) : at;
        }
    }
    return due;
}

void AlarmModel::forget() {
    for (auto &d : doors_) {
        const auto before = d.opened_before; // not heard of yet: still the journal's
        d = Door{};
        d.opened_before = before;
    }
    admitted_ = 0;
}

void AlarmModel::restore(std::vector<Alarm> active,
                         const std::vector<std::pair<unsigned, std::int64_t>> &opened,
                         AlarmClock now) {
    for (auto &a : active) {
        if (a.door < 1 || a.door > kDoors) continue;
        a.restored = true;
        active_.push_back(std::move(a));
    }
    std::sort(active_.begin(), active_.end(),
              [](const Alarm &a, const Alarm &b) { return a.raised_at_ms < b.raised_at_ms; });
    for (const auto &[door, at_ms] : opened) {
        if (door < 1 || door > kDoors) continue;
        // How long ago in steady time; never before the steady clock's start.
        const auto ago = static_cast<std::uint64_t>(std::max<std::int64_t>(now.wall_ms - at_ms, 0));
        doors_[door - 1].opened_before = now.steady_ms - std::min(ago, now.steady_ms);
    }
}

std::optional<std::vector<AlarmChange>>
AlarmModel::acknowledge(const std::optional<std::string> &id, const std::string &by) {
    if (id &&
        std::none_of(active_.begin(), active_.end(), [&](const Alarm &a) { return a.id == *id; }))
        return std::nullopt;
    std::vector<AlarmChange> out;
    for (auto &a : active_) {
        if ((id && a.id != *id) || a.acknowledged_by) continue;
        a.acknowledged_by = by;
        out.push_back({AlarmChange::What::Acknowledged, a, {}});
    }
    clear_secured(out);
    return out;
}

} // namespace cabinetd
