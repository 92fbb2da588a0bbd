// Internal state of the simulated board, shared by the platform API
// implementation (sdk.cpp) and the host-side control (control.cpp, core.cpp).
#pragma once

#include "board_sim/control.h"
#include "board_sim/sdk.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace board_sim::detail {

constexpr uint64_t never = UINT64_MAX;
constexpr unsigned alarm_slots = PICO_TIME_DEFAULT_ALARM_POOL_MAX_TIMERS;
constexpr size_t uart_fifo_depth = 32;
constexpr uint64_t host_char_ns = 86800; // 115200 baud, 10 bits a character
constexpr uint32_t clk_peri_hz = 125000000;
constexpr uint32_t clk_sys_hz = 125000000;
constexpr size_t pin_log_limit = 1u << 20;
constexpr unsigned pin_feedback = 19;
constexpr unsigned pin_power_good = 18;
constexpr unsigned pin_enable = 10;
constexpr unsigned pin_uart0_tx = 0;
constexpr unsigned pin_uart0_rx = 1;
constexpr unsigned pin_i2c0_sda = 12;
constexpr unsigned pin_i2c0_scl = 13;
constexpr uint8_t expander_address = 0x20;

struct alarm_slot {
    bool allocated = false;
    bool pending = false; // in the pool's queue
    uint8_t generation = 0;
    uint64_t target_us = 0;
    uint64_t order = 0;   // insertion order, breaks ties between equal targets
    alarm_callback_t callback = nullptr;
    void *user_data = nullptr;
};

struct pin_hw {
    unsigned function = GPIO_FUNC_NULL;
    bool oe = false;
    bool out = false;
    bool ie = true;
    bool pull_up = false;
    bool pull_down = true;
    bool ext_driven = false; // drive_pin()
    bool ext_level = false;
    bool level = false;
};

struct uart_hw_state {
    bool enabled = false;
    unsigned baud = 0;
    unsigned data_bits = 8, stop_bits = 1, parity = 0;
    std::deque<uint16_t> rx; // data | error bits
    std::deque<uint8_t> tx;
    bool shifting = false;
    uint8_t shift_byte = 0;
    uint64_t shift_done_ns = 0;
    bool overrun_pending = false;
    uint64_t last_rx_ns = 0; // arrival of the newest received character
    bool timeout = false;    // receive timeout raised; cleared when the FIFO is emptied
    uint64_t rx_lost = 0;
    uint64_t tx_discarded = 0;
};

struct wire_byte {
    uint64_t arrive_ns;
    uint16_t value; // data | error bits
};

struct expander_state {
    std::array<uint8_t, 8> reg{0, 0, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF};
    unsigned pointer = 0;
    uint8_t port0_level = 0, port1_level = 0;
};

struct state {
    config cfg;
    bool initialised = false;

    // time
    uint64_t now = 0;        // absolute ns
    uint64_t epoch = 0;      // absolute ns of the last reset
    std::chrono::steady_clock::time_point t0{};
    uint64_t idle_polls = 0; // time reads without time passing

    // reset
    bool pending = false;
    reset_cause cause = reset_cause::none;
    unsigned resets = 0;

    // interrupts and alarms
    bool masked = false;
    bool in_irq = false;
    std::array<alarm_slot, alarm_slots> slots{};
    std::deque<uint8_t> free_slots; // slot numbers 1..16, FIFO
    uint64_t alarm_order = 0;
    alarm_id_t in_progress = 0;
    std::array<irq_handler_t, NUM_IRQS> irq_handlers{};
    uint32_t irq_enabled = 0;

    // hooks
    std::function<void(uint64_t)> world_hook;
    std::function<void(uint64_t)> idle_hook;
    std::function<void(uint64_t, uint8_t)> tx_hook;
    std::multiset<uint64_t> world_wakes;
    bool in_hook = false;

    // gpio
    std::array<pin_hw, gpio_count> pins{};
    std::vector<pin_change> log;
    bool fb_high = false;       // feedback model drives GPIO19 high
    bool driver = false;        // latch driver energised
    uint64_t driver_change = 0; // absolute ns of the last driver change
    feedback_fault fb_fault = feedback_fault::none;
    uint64_t rise_ns = 0, fall_ns = 0;

    // uart
    std::array<uart_hw_state, 2> uart{};
    std::deque<wire_byte> wire;
    uint64_t wire_free = 0; // when the host's next byte may start
    bool collect = true;
    std::string collected;

    // i2c
    bool i2c_ready = false;
    unsigned i2c_baud = 0;
    bool i2c_restart_next = false;
    uint64_t i2c_count = 0;
    expander_state exp;
    expander_faults exp_faults;

    // adc
    bool adc_ready = false;
    unsigned adc_input = 0;
    uint16_t rail = 0;
    std::deque<uint16_t> rail_queue;

    // watchdog
    bool wd_enabled = false;
    uint64_t wd_timeout_us = 0;
    uint64_t wd_deadline = never;

    // flash
    bool backing = false;
    bool cut_armed = false;
    unsigned cut_index = 0;
    uint32_t cut_bytes = 0;
    flash_stats fstats;
    uint32_t binary_end = 0;

    std::array<uint8_t, 8> board_id{};
    uint64_t misuse = 0;
};

state &st();
uint8_t *flash_mem();

// Time
uint64_t uptime_us();
uint64_t abs_from_uptime_us(uint64_t us);
void sync_real_time();
void run_until(uint64_t abs_ns);
void run_for(uint64_t ns);

// Events and models
void trigger_reset(reset_cause cause);
void pins_changed();
void log_pin(unsigned gpio, pin_change_kind what, unsigned value);
void dispatch_alarms();
// Runs the interrupts due now (alarms, then UART0), unless masked or already in one.
void dispatch_interrupts();
// When UART0's receive timeout falls due (never if it cannot).
uint64_t uart_timeout_at(const state &s);
void uart_start_tx(uart_hw_state &u);
void reset_uart(uart_hw_state &u);
void flash_store_written();

inline pull pulls_of(bool up, bool down) {
    return up ? (down ? pull::both : pull::up) : (down ? pull::down : pull::none);
}

// Alarm slots. An id is the slot's generation and its number (1..16).
inline alarm_id_t alarm_id_of(const alarm_slot &a, uint8_t slot_no) {
    return static_cast<alarm_id_t>((static_cast<uint32_t>(a.generation) << 8) | slot_no);
}
void release_slot(state &s, uint8_t slot_no);
// When an alarm whose callback returned `repeat` (non-zero) fires next: a
// negative value counts from the alarm's own target, a positive one from now.
uint64_t repeat_target_us(int64_t repeat, uint64_t target_us);

[[noreturn]] void hook_failed();

// Calls a host hook with exceptions contained: an exception out of a hook
// aborts (the firmware that called into the sim cannot unwind).
template <class F> void call_hook(F &&f) {
    state &s = st();
    bool was = s.in_hook;
    s.in_hook = true;
    try {
        f();
    } catch (...) {
        hook_failed();
    }
    s.in_hook = was;
}
} // namespace board_sim::detail
