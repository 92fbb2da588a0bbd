// Host-side control and inspection of the simulated board.
#include "state.h"

#include <algorithm>
#include <cstring>

namespace board_sim {

using namespace detail;

// ---------------------------------------------------------------------------
// GPIO

pin_state pin(unsigned gpio) {
    sync_real_time();
    pin_state out;
    if (gpio >= gpio_count) return out;
    const pin_hw &p = st().pins[gpio];
    out.level = p.level;
    out.function = p.function;
    out.output_enable = p.oe;
    out.output_value = p.out;
    out.input_enable = p.ie;
    out.pulls = pulls_of(p.pull_up, p.pull_down);
    out.driven = p.ext_driven;
    out.driven_level = p.ext_level;
    return out;
}

bool pin_level(unsigned gpio) { return pin(gpio).level; }

void drive_pin(unsigned gpio, bool level) {
    if (gpio >= gpio_count) return;
    sync_real_time();
    pin_hw &p = st().pins[gpio];
    p.ext_driven = true;
    p.ext_level = level;
    pins_changed();
}

void release_pin(unsigned gpio) {
    if (gpio >= gpio_count) return;
    sync_real_time();
    st().pins[gpio].ext_driven = false;
    pins_changed();
}

void set_power_good(bool good) { drive_pin(pin_power_good, good); }

const std::vector<pin_change> &pin_log() { return st().log; }
void clear_pin_log() { st().log.clear(); }

// ---------------------------------------------------------------------------
// Feedback

void set_feedback_fault(feedback_fault f) {
    sync_real_time();
    st().fb_fault = f;
    pins_changed();
}

void set_feedback_delays(uint64_t rise_us, uint64_t fall_us) {
    sync_real_time();
    st().rise_ns = rise_us * 1000u;
    st().fall_ns = fall_us * 1000u;
    pins_changed();
}

bool driver_on() {
    sync_real_time();
    return st().driver;
}

// ---------------------------------------------------------------------------
// UART0 host side

void uart_host_send_byte(uint8_t byte, uint32_t error_bits) {
    sync_real_time();
    state &s = st();
    uint64_t start = std::max(s.now, s.wire_free);
    s.wire_free = start + host_char_ns;
    uint32_t errors = error_bits & (UART_UARTDR_FE_BITS | UART_UARTDR_PE_BITS | UART_UARTDR_BE_BITS);
    s.wire.push_back({s.wire_free, static_cast<uint16_t>(byte | errors)});
}

void uart_host_send(std::string_view bytes) {
    for (char c : bytes) uart_host_send_byte(static_cast<uint8_t>(c));
}

void uart_host_send_break() { uart_host_send_byte(0, UART_UARTDR_BE_BITS | UART_UARTDR_FE_BITS); }

size_t uart_host_pending() {
    sync_real_time();
    return st().wire.size();
}

void set_uart_tx_hook(std::function<void(uint64_t, uint8_t)> hook) { st().tx_hook = std::move(hook); }
void set_uart_collect(bool collect) { st().collect = collect; }

std::string uart_host_take() {
    sync_real_time();
    std::string out;
    out.swap(st().collected);
    return out;
}

uart_status uart0_status() {
    sync_real_time();
    const state &s = st();
    const uart_hw_state &u = s.uart[0];
    uart_status out;
    out.enabled = u.enabled;
    out.baud = u.baud;
    out.data_bits = u.data_bits;
    out.stop_bits = u.stop_bits;
    out.parity = u.parity;
    out.cr = board_sim_uart_hw[0].cr;
    out.rx_level = u.rx.size();
    out.tx_level = u.tx.size();
    out.rx_lost = u.rx_lost;
    out.tx_discarded = u.tx_discarded;
    return out;
}

// ---------------------------------------------------------------------------
// Expander

void expander_set_inputs(uint8_t port0, uint8_t port1) {
    st().exp.port0_level = port0;
    st().exp.port1_level = port1;
}

void expander_set_doors(uint8_t closed_mask, uint8_t locked_mask) {
    expander_set_inputs(static_cast<uint8_t>(~closed_mask), static_cast<uint8_t>(~locked_mask));
}

void set_expander_faults(const expander_faults &f) { st().exp_faults = f; }
expander_faults get_expander_faults() { return st().exp_faults; }
std::array<uint8_t, 8> expander_registers() { return st().exp.reg; }
unsigned expander_pointer() { return st().exp.pointer; }
uint64_t i2c_transfers() { return st().i2c_count; }

// ---------------------------------------------------------------------------
// ADC

void set_rail_adc(uint16_t counts) { st().rail = static_cast<uint16_t>(counts & 0xFFFu); }

void queue_rail_adc(std::span<const uint16_t> counts) {
    for (uint16_t c : counts) st().rail_queue.push_back(static_cast<uint16_t>(c & 0xFFFu));
}

// ---------------------------------------------------------------------------
// Watchdog

bool watchdog_enabled() { return st().wd_enabled; }
uint64_t watchdog_timeout_us() { return st().wd_timeout_us; }
uint64_t watchdog_deadline_ns() { return st().wd_enabled ? st().wd_deadline : never; }

// ---------------------------------------------------------------------------
// Flash

std::span<const uint8_t> flash_bytes() { return {flash_mem(), flash_size}; }

void flash_write_raw(uint32_t offset, std::span<const uint8_t> bytes) {
    if (offset > flash_size || bytes.size() > flash_size - offset) {
        ++st().misuse;
        return;
    }
    std::memcpy(flash_mem() + offset, bytes.data(), bytes.size());
    if (offset + bytes.size() > store_offset) flash_store_written();
}

void flash_erase_store() {
    std::memset(flash_mem() + store_offset, 0xFF, flash_size - store_offset);
    flash_store_written();
}

void flash_power_cut(unsigned op_index, uint32_t bytes_done) {
    state &s = st();
    s.cut_armed = true;
    s.cut_index = op_index;
    s.cut_bytes = bytes_done;
}

void cancel_flash_power_cut() { st().cut_armed = false; }

flash_stats flash_counters() { return st().fstats; }

void set_flash_binary_end(uint32_t offset) { st().binary_end = std::min(offset, flash_size - 1); }

// ---------------------------------------------------------------------------
// Identity, alarms, misuse

void set_board_id(const std::array<uint8_t, 8> &id) { st().board_id = id; }

size_t alarms_pending() {
    sync_real_time();
    size_t n = 0;
    for (const auto &a : st().slots) n += a.pending ? 1u : 0u;
    return n;
}

bool interrupts_masked() { return st().masked; }
uint64_t api_misuse() { return st().misuse; }

} // namespace board_sim
