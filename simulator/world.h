// The cabinet around the simulated board: couples the door model to the
// board's pins and expander, and carries out the control language's commands
// (door behaviour and fault injection) on the simulated board.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <board_sim/control.h>

#include "cabinet_model.h"
#include "control_lang.h"

namespace cabinet_sim {

class world {
public:
    // Hooks the model onto the board's clock. Call after board_sim::power_on.
    // `after` runs at the end of every call of the hook.
    void attach(std::function<void(uint64_t now_ns)> after = {});

    // Called with the absolute time whenever simulated time has passed.
    void on_time(uint64_t now_ns);

    // Puts the sensor levels back on the expander pins (after a power cut).
    void refresh_inputs();

    // Carries out one command and returns its answer: "ok", "ok <status>" or
    // "error: <reason>". Stall and power-cycle are only recorded here; the
    // run loop carries them out between passes of the firmware (take_*).
    // `wait` and `send` are steps, not commands, and are refused.
    std::string execute(const command &c);

    // A stall or power cycle asked for and not yet carried out.
    bool take_stall(uint32_t &ms);
    bool take_power_cycle(uint32_t &off_ms);
    bool stall_or_cycle_pending() const { return stall_pending_ || cycle_pending_; }

    std::string status() const;

private:
    std::string execute_door(const command &c);
    void set_expander(const command &c);
    void push_inputs(bool force);
    void wake_for_model();

    cabinet_model model_;
    std::function<void(uint64_t)> after_;
    std::optional<uint16_t> last_inputs_;  // as last put on the expander pins
    uint64_t wake_requested_ns_ = 0;

    // Fault settings, kept for the status line; they start as the board's.
    bool power_good_ = board_sim::config{}.power_good;
    uint16_t rail_ = board_sim::config{}.rail_adc;
    expander_mode expander_ = expander_mode::ok;
    uint32_t nack_register_ = 0;
    feedback_mode feedback_ = feedback_mode::normal;

    bool stall_pending_ = false;
    uint32_t stall_ms_ = 0;
    bool cycle_pending_ = false;
    uint32_t cycle_off_ms_ = 0;
};

}  // namespace cabinet_sim
