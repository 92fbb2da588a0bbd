#include "world.h"

#include <board_sim/control.h>

#include <fmt/format.h>

namespace cabinet_sim {

namespace {
constexpr unsigned enable_pin = 10;
constexpr unsigned first_door_pin = 2;  // door n is released on GPIO n+1
}  // namespace

void world::attach(std::function<void(uint64_t now_ns)> after) {
    after_ = std::move(after);
    board_sim::set_world_hook([this](uint64_t now) {
        on_time(now);
        if (after_) after_(now);
    });
    push_inputs(true);
}

void world::refresh_inputs() { push_inputs(true); }

void world::push_inputs(bool force) {
    uint16_t v = static_cast<uint16_t>(model_.port0() | model_.port1() << 8);
    if (!force && last_inputs_ == v) return;
    board_sim::expander_set_inputs(static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8));
    last_inputs_ = v;
}

// Asks the board's clock to call back at the model's next moment of change
// (the person's next move, the end of a latch pulse's release time, a bounce
// edge), so the cabinet acts at exactly that time even while the firmware
// sleeps in long steps.
void world::wake_for_model() {
    uint64_t now = model_.now_ns();
    uint64_t next = model_.next_change_ns();
    if (next == 0 || next <= now) return;
    if (next == wake_requested_ns_) return;  // asked for already
    wake_requested_ns_ = next;
    board_sim::world_wake_at(next);
}

void world::on_time(uint64_t now_ns) {
    uint8_t pins = 0;
    for (unsigned d = 0; d < door_count; ++d)
        if (board_sim::pin_level(first_door_pin + d)) pins = static_cast<uint8_t>(pins | 1u << d);
    model_.step(now_ns, pins, board_sim::pin_level(enable_pin));
    push_inputs(false);
    wake_for_model();
}

bool world::take_stall(uint32_t &ms) {
    if (!stall_pending_) return false;
    stall_pending_ = false;
    ms = stall_ms_;
    return true;
}

bool world::take_power_cycle(uint32_t &off_ms) {
    if (!cycle_pending_) return false;
    cycle_pending_ = false;
    off_ms = cycle_off_ms_;
    return true;
}

static const char *expander_name(expander_mode m) {
    switch (m) {
    case expander_mode::ok: return "ok";
    case expander_mode::absent: return "absent";
    case expander_mode::nack: return "nack";
    case expander_mode::timeout: return "timeout";
    case expander_mode::polarity: return "polarity";
    case expander_mode::config: return "config";
    }
    return "?";
}

static const char *feedback_name(feedback_mode m) {
    switch (m) {
    case feedback_mode::normal: return "normal";
    case feedback_mode::stuck_low: return "stuck-low";
    case feedback_mode::stuck_high: return "stuck-high";
    }
    return "?";
}

std::string world::status() const {
    std::string s = fmt::format("time_ms={} uptime_ms={} resets={} power-good={} rail={} expander={}",
                                board_sim::now_ns() / ns_per_ms, board_sim::uptime_ns() / ns_per_ms,
                                board_sim::resets(), power_good_ ? "high" : "low",
                                rail_,
                                expander_name(expander_));
    if (expander_ == expander_mode::nack) s += fmt::format(" {}", nack_register_);
    s += fmt::format(" feedback={} bounce={} release-ms={}", feedback_name(feedback_),
                     model_.bounce() ? "on" : "off", model_.release_ms());
    for (int d = 1; d <= door_count; ++d) {
        door_status st = model_.status(d);
        s += fmt::format(" door{}={},{},{}{}", d, st.closed ? "closed" : "open", st.locked ? "locked" : "unlocked",
                         mode_name(st.settings.mode), st.settings.leave_unlocked ? ",leave-unlocked" : "");
    }
    return s;
}

// The door verbs, on one door or all of them.
std::string world::execute_door(const command &c) {
    auto each_door = [&](auto fn) {
        for (int d = 1; d <= door_count; ++d)
            if (c.door == 0 || c.door == d) fn(d);
    };
    switch (c.what) {
    case verb::door_open_after: each_door([&](int d) { model_.settings(d).open_after_ms = c.value; }); break;
    case verb::door_open_for: each_door([&](int d) { model_.settings(d).open_for_ms = c.value; }); break;
    case verb::door_never_open: each_door([&](int d) { model_.settings(d).mode = person_mode::never_open; }); break;
    case verb::door_hold: each_door([&](int d) { model_.settings(d).mode = person_mode::hold; }); break;
    case verb::door_leave_unlocked: each_door([&](int d) { model_.settings(d).leave_unlocked = true; }); break;
    case verb::door_normal:
        each_door([&](int d) {
            model_.settings(d).mode = person_mode::normal;
            model_.settings(d).leave_unlocked = false;
        });
        break;
    case verb::door_force_open: each_door([&](int d) { model_.force_open(d); }); break;
    case verb::door_close: each_door([&](int d) { model_.close(d); }); break;
    case verb::door_open: {
        std::string refused;
        each_door([&](int d) {
            if (!model_.open(d)) refused += fmt::format(" {}", d);
        });
        if (!refused.empty()) return "error: latched, cannot open door" + refused;
        break;
    }
    default: break;
    }
    return "ok";
}

void world::set_expander(const command &c) {
    board_sim::expander_faults f;
    switch (c.expander) {
    case expander_mode::ok: break;
    case expander_mode::absent: f.absent = true; break;
    case expander_mode::nack: f.nack_register = static_cast<int>(c.value); break;
    case expander_mode::timeout: f.timeout = true; break;
    case expander_mode::polarity: f.polarity_readback = 0x01; break;
    case expander_mode::config: f.config_readback = 0xFE; break;
    }
    board_sim::set_expander_faults(f);
    expander_ = c.expander;
    nack_register_ = c.value;
}

std::string world::execute(const command &c) {
    std::string answer = "ok";
    switch (c.what) {
    case verb::door_open_after:
    case verb::door_open_for:
    case verb::door_never_open:
    case verb::door_hold:
    case verb::door_leave_unlocked:
    case verb::door_normal:
    case verb::door_force_open:
    case verb::door_close:
    case verb::door_open: answer = execute_door(c); break;
    case verb::release_ms: model_.set_release_ms(c.value); break;
    case verb::bounce: model_.set_bounce(c.on); break;
    case verb::power_good:
        power_good_ = c.on;
        board_sim::set_power_good(c.on);
        break;
    case verb::rail:
        rail_ = static_cast<uint16_t>(c.value);
        board_sim::set_rail_adc(rail_);
        break;
    case verb::expander: set_expander(c); break;
    case verb::feedback:
        feedback_ = c.feedback;
        board_sim::set_feedback_fault(c.feedback == feedback_mode::stuck_low    ? board_sim::feedback_fault::stuck_low
                                      : c.feedback == feedback_mode::stuck_high ? board_sim::feedback_fault::stuck_high
                                                                                : board_sim::feedback_fault::none);
        break;
    case verb::stall:
        stall_pending_ = true;
        stall_ms_ = c.value;
        break;
    case verb::power_cycle:
        cycle_pending_ = true;
        cycle_off_ms_ = c.value;
        break;
    case verb::status: return "ok " + status();
    case verb::wait:
    case verb::send: return "error: wait and send are steps of a script, not commands";
    }
    push_inputs(false);
    wake_for_model();
    return answer;
}

}  // namespace cabinet_sim
