#include "cabinet_model.h"

namespace cabinet_sim {

const char *mode_name(person_mode m) {
    switch (m) {
    case person_mode::normal: return "normal";
    case person_mode::never_open: return "never-open";
    case person_mode::hold: return "hold";
    }
    return "?";
}

door_settings &cabinet_model::settings(int door) { return doors_.at(static_cast<size_t>(door - 1)).settings; }

door_status cabinet_model::status(int door) const {
    const door_state &d = doors_.at(static_cast<size_t>(door - 1));
    return door_status{d.closed, d.locked, d.settings};
}

void cabinet_model::set_sensor(sensor &s, bool level, uint64_t at_ns) {
    if (s.level == level) return;
    s.previous = s.level;
    s.level = level;
    s.changed_ns = at_ns;
    s.bouncing = bounce_;
}

bool cabinet_model::sensor_level(const sensor &s) const {
    if (!s.bouncing || now_ns_ < s.changed_ns) return s.level;
    uint64_t elapsed_us = (now_ns_ - s.changed_ns) / 1000;
    size_t passed = 0;
    for (uint32_t edge : bounce_edges_us)
        if (elapsed_us >= edge) ++passed;
    return (passed % 2 == 1) ? s.level : s.previous;
}

void cabinet_model::set_door(int index, bool closed, uint64_t at_ns) {
    doors_[static_cast<size_t>(index)].closed = closed;
    set_sensor(sensors_[static_cast<size_t>(index)], !closed, at_ns);
}

void cabinet_model::set_latch(int index, bool locked, uint64_t at_ns) {
    doors_[static_cast<size_t>(index)].locked = locked;
    set_sensor(sensors_[static_cast<size_t>(index + door_count)], !locked, at_ns);
}

void cabinet_model::release(int index, uint64_t at_ns) {
    door_state &d = doors_[static_cast<size_t>(index)];
    d.released_this_pulse = true;
    if (!d.closed) return;  // nothing holds an open door
    set_latch(index, false, at_ns);
    if (d.settings.mode != person_mode::never_open && !d.open_at_ns)
        d.open_at_ns = at_ns + uint64_t{d.settings.open_after_ms} * ns_per_ms;
}

// Fires the person's timers in time order up to until_ns, so a long step
// (a stalled firmware) still plays the door's story in the right sequence.
void cabinet_model::run_timers(uint64_t until_ns) {
    for (;;) {
        int due = -1;
        uint64_t due_ns = 0;
        bool is_open = false;
        for (int i = 0; i < door_count; ++i) {
            const door_state &d = doors_[static_cast<size_t>(i)];
            if (d.open_at_ns && *d.open_at_ns <= until_ns && (due < 0 || *d.open_at_ns < due_ns)) {
                due = i, due_ns = *d.open_at_ns, is_open = true;
            }
            if (d.close_at_ns && *d.close_at_ns <= until_ns && (due < 0 || *d.close_at_ns < due_ns)) {
                due = i, due_ns = *d.close_at_ns, is_open = false;
            }
        }
        if (due < 0) return;
        door_state &d = doors_[static_cast<size_t>(due)];
        if (is_open) {
            d.open_at_ns.reset();
            if (d.closed && !d.locked) {
                set_door(due, false, due_ns);
                if (d.settings.mode == person_mode::normal)
                    d.close_at_ns = due_ns + uint64_t{d.settings.open_for_ms} * ns_per_ms;
            }
        } else {
            d.close_at_ns.reset();
            if (!d.closed) {
                set_door(due, true, due_ns);
                if (!d.settings.leave_unlocked) set_latch(due, true, due_ns);
            }
        }
    }
}

void cabinet_model::step(uint64_t now_ns, uint8_t door_pins, bool enable) {
    if (now_ns < now_ns_) now_ns = now_ns_;  // the model's clock never runs backwards
    run_timers(now_ns);
    now_ns_ = now_ns;
    for (int i = 0; i < door_count; ++i) {
        door_state &d = doors_[static_cast<size_t>(i)];
        bool energised = enable && (door_pins >> i & 1u) != 0;
        if (!energised) {
            d.pulse_start_ns.reset();
            continue;
        }
        if (!d.pulse_start_ns) {
            d.pulse_start_ns = now_ns;
            d.released_this_pulse = false;
        }
        if (!d.released_this_pulse && now_ns - *d.pulse_start_ns >= uint64_t{release_ms_} * ns_per_ms)
            release(i, now_ns);
    }
}

uint8_t cabinet_model::port(int first_sensor) const {
    unsigned v = 0;
    for (int i = 0; i < door_count; ++i)
        if (sensor_level(sensors_[static_cast<size_t>(first_sensor + i)])) v |= 1u << i;
    return static_cast<uint8_t>(v);
}

uint64_t cabinet_model::next_change_ns() const {
    uint64_t next = 0;
    auto consider = [&](uint64_t t) {
        if (t > now_ns_ && (next == 0 || t < next)) next = t;
    };
    for (const door_state &d : doors_) {
        if (d.open_at_ns) consider(*d.open_at_ns);
        if (d.close_at_ns) consider(*d.close_at_ns);
        if (d.pulse_start_ns && !d.released_this_pulse)
            consider(*d.pulse_start_ns + uint64_t{release_ms_} * ns_per_ms);
    }
    for (const sensor &s : sensors_) {
        if (!s.bouncing) continue;
        for (uint32_t edge : bounce_edges_us) consider(s.changed_ns + uint64_t{edge} * 1000);
    }
    return next;
}

// The door is moved by hand now: the person's pending moves are dropped.
cabinet_model::door_state &cabinet_model::by_hand(int door) {
    door_state &d = doors_.at(static_cast<size_t>(door - 1));
    d.open_at_ns.reset();
    d.close_at_ns.reset();
    return d;
}

void cabinet_model::force_open(int door) {
    by_hand(door);
    set_latch(door - 1, false, now_ns_);
    set_door(door - 1, false, now_ns_);
}

void cabinet_model::close(int door) {
    by_hand(door);
    set_door(door - 1, true, now_ns_);
    set_latch(door - 1, true, now_ns_);
}

bool cabinet_model::open(int door) {
    if (doors_.at(static_cast<size_t>(door - 1)).locked) return false;
    door_state &d = by_hand(door);
    if (d.closed) set_door(door - 1, false, now_ns_);
    if (d.settings.mode == person_mode::normal)
        d.close_at_ns = now_ns_ + uint64_t{d.settings.open_for_ms} * ns_per_ms;
    return true;
}

}  // namespace cabinet_sim
