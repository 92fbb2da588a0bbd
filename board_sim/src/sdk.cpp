// The platform API on the simulated board.
#include "state.h"

#include <algorithm>
#include <cstring>

using namespace board_sim;
using namespace board_sim::detail;

struct alarm_pool {
    int unused;
};
struct i2c_inst {
    unsigned index;
};

namespace {

alarm_pool default_pool{0};
i2c_inst i2c_instances[2]{{0}, {1}};

// In virtual time a loop that only reads the clock would never see it move;
// after this many reads without time passing, a microsecond passes.
constexpr uint64_t idle_poll_limit = 1000000;

bool inert() { return st().pending; }

bool valid_gpio(uint gpio) {
    if (gpio < gpio_count) return true;
    ++st().misuse;
    return false;
}

void set_oe(unsigned gpio, bool oe) {
    pin_hw &p = st().pins[gpio];
    if (p.oe != oe) {
        p.oe = oe;
        log_pin(gpio, pin_change_kind::output_enable, oe);
    }
}

void set_out(unsigned gpio, bool out) {
    pin_hw &p = st().pins[gpio];
    if (p.out != out) {
        p.out = out;
        log_pin(gpio, pin_change_kind::output_value, out);
    }
}

void write_out_mask(uint32_t mask, bool value) {
    sync_real_time();
    if (inert()) return;
    for (unsigned g = 0; g < gpio_count; ++g)
        if (mask & (1u << g)) set_out(g, value);
    if (mask >> gpio_count) ++st().misuse;
    pins_changed();
}

uint16_t next_rail_reading(state &s) {
    if (!s.rail_queue.empty()) {
        uint16_t v = s.rail_queue.front();
        s.rail_queue.pop_front();
        return v;
    }
    return s.rail;
}

} // namespace

extern "C" {

uart_hw_t board_sim_uart_hw[NUM_UARTS] = {{{0}, {0}, 0, 0, 0x12}, {{1}, {1}, 0, 0, 0x12}};
short uart_char_to_line_feed[NUM_UARTS] = {0, 0};
i2c_inst_t *const board_sim_i2c_inst[NUM_I2CS] = {&i2c_instances[0], &i2c_instances[1]};

uintptr_t board_sim_xip_base(void) noexcept { return reinterpret_cast<uintptr_t>(flash_mem()); }

char *board_sim_flash_binary_end(void) noexcept {
    return reinterpret_cast<char *>(flash_mem() + st().binary_end);
}

// ---------------------------------------------------------------------------
// Time

uint64_t time_us_64(void) noexcept {
    sync_real_time();
    state &s = st();
    if (s.cfg.mode == time_mode::virtual_time && !s.in_hook && ++s.idle_polls >= idle_poll_limit) run_for(1000);
    return uptime_us();
}

void sleep_until(absolute_time_t target) noexcept {
    sync_real_time();
    if (inert()) return;
    run_until(abs_from_uptime_us(target));
}

void sleep_us(uint64_t us) noexcept { sleep_until(delayed_by_us(uptime_us(), us)); }

void sleep_ms(uint32_t ms) noexcept { sleep_us(static_cast<uint64_t>(ms) * 1000u); }

void tight_loop_contents(void) noexcept {
    if (inert()) return;
    if (st().cfg.mode == time_mode::virtual_time)
        run_for(1000);
    else
        sync_real_time();
}

alarm_pool_t *alarm_pool_get_default(void) noexcept { return &default_pool; }

alarm_id_t alarm_pool_add_alarm_at(alarm_pool_t *pool, absolute_time_t time, alarm_callback_t callback,
                                   void *user_data, bool fire_if_past) noexcept {
    sync_real_time();
    state &s = st();
    if (pool != &default_pool || callback == nullptr) {
        ++s.misuse;
        return -1;
    }
    for (;;) {
        if (s.free_slots.empty()) return -1;
        uint8_t slot_no = s.free_slots.front();
        s.free_slots.pop_front();
        alarm_slot &a = s.slots[slot_no - 1u];
        a.allocated = true;
        a.target_us = time;
        a.callback = callback;
        a.user_data = user_data;
        a.order = ++s.alarm_order;

        // Past due when the clock has reached the target and no alarm ahead
        // of it in the queue will take the timer interrupt first.
        bool missed = uptime_us() >= time;
        if (missed) {
            for (const auto &o : s.slots)
                if (o.pending && o.target_us <= time) missed = false;
        }
        if (!missed) {
            a.pending = true;
            return alarm_id_of(a, slot_no);
        }
        // Never queued: the slot goes back (its generation unchanged).
        release_slot(s, slot_no);
        if (!fire_if_past || s.pending) return 0;
        int64_t repeat = callback(0, user_data);
        if (repeat == 0 || s.pending) return 0;
        time = repeat_target_us(repeat, time);
    }
}

bool alarm_pool_cancel_alarm(alarm_pool_t *pool, alarm_id_t alarm_id) noexcept {
    sync_real_time();
    state &s = st();
    if (pool != &default_pool) {
        ++s.misuse;
        return false;
    }
    if (alarm_id == 0) return false;
    uint32_t raw = static_cast<uint32_t>(alarm_id);
    uint32_t slot_no = raw & 0xFFu;
    if (slot_no >= 1 && slot_no <= alarm_slots) {
        alarm_slot &a = s.slots[slot_no - 1u];
        if (a.pending && (raw >> 8) == a.generation) {
            a.pending = false;
            release_slot(s, static_cast<uint8_t>(slot_no));
            return true;
        }
    }
    if (alarm_id == s.in_progress) s.in_progress = 0; // the running callback is not repeated
    return false;
}

// ---------------------------------------------------------------------------
// Interrupts

uint32_t save_and_disable_interrupts(void) noexcept {
    sync_real_time();
    state &s = st();
    uint32_t was = s.masked ? 1u : 0u;
    s.masked = true;
    return was;
}

void restore_interrupts(uint32_t status) noexcept {
    state &s = st();
    s.masked = (status & 1u) != 0;
    dispatch_interrupts();
    sync_real_time();
}

void irq_set_exclusive_handler(uint num, irq_handler_t handler) noexcept {
    state &s = st();
    if (num >= NUM_IRQS || handler == nullptr || (s.irq_handlers[num] && s.irq_handlers[num] != handler)) {
        ++s.misuse; // the platform asserts here: one exclusive handler per interrupt
        return;
    }
    s.irq_handlers[num] = handler;
}

void irq_remove_handler(uint num, irq_handler_t handler) noexcept {
    state &s = st();
    if (num >= NUM_IRQS || s.irq_handlers[num] != handler) {
        ++s.misuse;
        return;
    }
    s.irq_handlers[num] = nullptr;
}

void irq_set_enabled(uint num, bool enabled) noexcept {
    sync_real_time();
    state &s = st();
    if (num >= NUM_IRQS) {
        ++s.misuse;
        return;
    }
    if (enabled)
        s.irq_enabled |= 1u << num;
    else
        s.irq_enabled &= ~(1u << num);
    dispatch_interrupts();
}

bool irq_is_enabled(uint num) noexcept { return num < NUM_IRQS && (st().irq_enabled >> num & 1u) != 0; }

// ---------------------------------------------------------------------------
// GPIO

void gpio_init(uint gpio) noexcept {
    if (!valid_gpio(gpio)) return;
    gpio_set_dir(gpio, false);
    gpio_clr_mask(1u << gpio);
    gpio_set_function(gpio, GPIO_FUNC_SIO);
}

void gpio_set_function(uint gpio, enum gpio_function fn) noexcept {
    sync_real_time();
    if (!valid_gpio(gpio) || inert()) return;
    pin_hw &p = st().pins[gpio];
    if (!p.ie) {
        p.ie = true;
        log_pin(gpio, pin_change_kind::input_enable, 1);
    }
    unsigned f = static_cast<unsigned>(fn);
    if (p.function != f) {
        p.function = f;
        log_pin(gpio, pin_change_kind::function, f);
    }
    pins_changed();
}

void gpio_set_pulls(uint gpio, bool up, bool down) noexcept {
    sync_real_time();
    if (!valid_gpio(gpio) || inert()) return;
    pin_hw &p = st().pins[gpio];
    if (p.pull_up != up || p.pull_down != down) {
        p.pull_up = up;
        p.pull_down = down;
        log_pin(gpio, pin_change_kind::pulls, static_cast<unsigned>(pulls_of(up, down)));
    }
    pins_changed();
}

void gpio_set_input_enabled(uint gpio, bool enabled) noexcept {
    sync_real_time();
    if (!valid_gpio(gpio) || inert()) return;
    pin_hw &p = st().pins[gpio];
    if (p.ie != enabled) {
        p.ie = enabled;
        log_pin(gpio, pin_change_kind::input_enable, enabled);
    }
}

void gpio_set_dir(uint gpio, bool out) noexcept {
    sync_real_time();
    if (!valid_gpio(gpio) || inert()) return;
    set_oe(gpio, out);
    pins_changed();
}

void gpio_set_mask(uint32_t mask) noexcept { write_out_mask(mask, true); }
void gpio_clr_mask(uint32_t mask) noexcept { write_out_mask(mask, false); }

bool gpio_get(uint gpio) noexcept {
    sync_real_time();
    if (!valid_gpio(gpio)) return false;
    const pin_hw &p = st().pins[gpio];
    return p.ie && p.level;
}

// ---------------------------------------------------------------------------
// UART

uint32_t board_sim_uart_read_dr(uint index) noexcept {
    sync_real_time();
    state &s = st();
    if (index > 1 || inert()) return 0;
    uart_hw_state &u = s.uart[index];
    if (u.rx.empty()) return 0;
    uint16_t v = u.rx.front();
    u.rx.pop_front();
    if (u.rx.empty()) u.timeout = false; // emptying the FIFO clears the receive timeout
    return v;
}

void board_sim_uart_write_dr(uint index, uint32_t value) noexcept {
    sync_real_time();
    state &s = st();
    if (index > 1 || inert()) return;
    uart_hw_state &u = s.uart[index];
    uint32_t cr = board_sim_uart_hw[index].cr;
    if (!u.enabled || !(cr & UART_UARTCR_UARTEN_BITS) || !(cr & UART_UARTCR_TXE_BITS)) {
        ++s.misuse;
        return;
    }
    if (u.tx.size() >= uart_fifo_depth) {
        ++u.tx_discarded; // written into a full FIFO: lost, as on the PL011
        return;
    }
    u.tx.push_back(static_cast<uint8_t>(value & 0xFFu));
    uart_start_tx(u);
}

uint32_t board_sim_uart_read_fr(uint index) noexcept {
    sync_real_time();
    state &s = st();
    if (index > 1) return 0;
    if (inert()) return UART_UARTFR_TXFE_BITS | UART_UARTFR_RXFE_BITS;
    uart_hw_state &u = s.uart[index];
    uint32_t fr = 0;
    if (u.rx.empty()) fr |= UART_UARTFR_RXFE_BITS;
    if (u.rx.size() >= uart_fifo_depth) fr |= UART_UARTFR_RXFF_BITS;
    if (u.tx.empty()) fr |= UART_UARTFR_TXFE_BITS;
    if (u.tx.size() >= uart_fifo_depth) fr |= UART_UARTFR_TXFF_BITS;
    if (u.shifting || !u.tx.empty()) fr |= UART_UARTFR_BUSY_BITS;
    // Polling a full transmit FIFO is a busy wait: the time until the next
    // character leaves passes here, so the next poll finds room. Not in an
    // interrupt handler: it only looks, and the time belongs to the code it
    // interrupted.
    if ((fr & UART_UARTFR_TXFF_BITS) && u.shifting && !s.in_irq) run_until(u.shift_done_ns);
    return fr;
}

uint uart_init(uart_inst_t *uart, uint baudrate) noexcept {
    sync_real_time();
    state &s = st();
    if (inert()) return 0;
    if (baudrate == 0) {
        ++s.misuse;
        return 0;
    }
    uint index = uart_get_index(uart);
    uart_hw_state &u = s.uart[index];
    reset_uart(u);
    // The divider the platform programs, and the rate it really gives.
    uint32_t div = static_cast<uint32_t>(8ull * clk_peri_hz / baudrate);
    uint32_t ibrd = div >> 7, fbrd;
    if (ibrd == 0) {
        ibrd = 1;
        fbrd = 0;
    } else if (ibrd >= 65535) {
        ibrd = 65535;
        fbrd = 0;
    } else {
        fbrd = ((div & 0x7fu) + 1) / 2;
    }
    u.baud = static_cast<unsigned>((4ull * clk_peri_hz) / (64ull * ibrd + fbrd));
    u.enabled = true;
    board_sim_uart_hw[index].cr = UART_UARTCR_UARTEN_BITS | UART_UARTCR_TXE_BITS | UART_UARTCR_RXE_BITS;
    uart_char_to_line_feed[index] = 0x100;
    return u.baud;
}

void uart_deinit(uart_inst_t *uart) noexcept {
    sync_real_time();
    if (inert()) return;
    uint index = uart_get_index(uart);
    uart_hw_state &u = st().uart[index];
    u.enabled = false;
    u.rx.clear();
    u.timeout = false;
    u.tx.clear();
    board_sim_uart_hw[index].cr = UART_UARTCR_RXE_BITS | UART_UARTCR_TXE_BITS;
}

void uart_set_format(uart_inst_t *uart, uint data_bits, uint stop_bits, uart_parity_t parity) noexcept {
    sync_real_time();
    state &s = st();
    if (inert()) return;
    if (data_bits < 5 || data_bits > 8 || stop_bits < 1 || stop_bits > 2) ++s.misuse;
    uart_hw_state &u = s.uart[uart_get_index(uart)];
    u.data_bits = std::clamp(data_bits, 5u, 8u);
    u.stop_bits = std::clamp(stop_bits, 1u, 2u);
    u.parity = static_cast<unsigned>(parity);
}

void uart_set_irq_enables(uart_inst_t *uart, bool rx_has_data, bool tx_needs_data) noexcept {
    sync_real_time();
    if (inert()) return;
    uart_hw_t *hw = uart_get_hw(uart);
    hw->imsc = (tx_needs_data ? UART_UARTIMSC_TXIM_BITS : 0u) |
               (rx_has_data ? UART_UARTIMSC_RXIM_BITS | UART_UARTIMSC_RTIM_BITS : 0u);
    if (rx_has_data) hw->ifls &= ~UART_UARTIFLS_RXIFLSEL_BITS;
    if (tx_needs_data) hw->ifls &= ~UART_UARTIFLS_TXIFLSEL_BITS;
    dispatch_interrupts();
}

void uart_write_blocking(uart_inst_t *uart, const uint8_t *src, size_t len) noexcept {
    for (size_t i = 0; i < len; ++i) {
        while (!inert() && !uart_is_writable(uart)) {
        }
        uart_get_hw(uart)->dr = src[i];
    }
}

void uart_putc_raw(uart_inst_t *uart, char c) noexcept {
    uint8_t b = static_cast<uint8_t>(c);
    uart_write_blocking(uart, &b, 1);
}

void uart_read_blocking(uart_inst_t *uart, uint8_t *dst, size_t len) noexcept {
    state &s = st();
    for (size_t i = 0; i < len; ++i) {
        for (;;) {
            sync_real_time();
            if (inert()) {
                dst[i] = 0;
                break;
            }
            if (uart_is_readable(uart)) {
                dst[i] = static_cast<uint8_t>(uart_get_hw(uart)->dr);
                break;
            }
            // Wait for the next character on the wire (or a millisecond, in
            // which the world may send one).
            uint64_t next = s.wire.empty() ? s.now + 1000000u : std::max(s.now + 1u, s.wire.front().arrive_ns);
            run_until(next);
        }
    }
}

char uart_getc(uart_inst_t *uart) noexcept {
    uint8_t b = 0;
    uart_read_blocking(uart, &b, 1);
    return static_cast<char>(b);
}

// ---------------------------------------------------------------------------
// I2C

uint i2c_init(i2c_inst_t *i2c, uint baudrate) noexcept {
    sync_real_time();
    state &s = st();
    if (inert()) return 0;
    if (i2c != &i2c_instances[0] || baudrate == 0) {
        ++s.misuse; // only I2C0 is wired
        return 0;
    }
    uint32_t period = (clk_sys_hz + baudrate / 2) / baudrate;
    s.i2c_ready = true;
    s.i2c_baud = clk_sys_hz / period;
    s.i2c_restart_next = false;
    return s.i2c_baud;
}

} // extern "C"

namespace {

// One transfer on I2C0, shared by reads and writes. Time passes by about
// nine bit times per byte, the address byte included.
int i2c_transfer(i2c_inst_t *i2c, uint8_t addr, const uint8_t *src, uint8_t *dst, size_t len, bool nostop,
                 absolute_time_t until) {
    sync_real_time();
    state &s = st();
    if (inert()) return PICO_ERROR_GENERIC;
    if (i2c != &i2c_instances[0] || !s.i2c_ready) {
        ++s.misuse;
        return PICO_ERROR_GENERIC;
    }
    if (len == 0) {
        ++s.misuse; // the controller cannot make a zero-length transfer
        s.i2c_restart_next = nostop;
        return 0;
    }
    ++s.i2c_count;
    s.i2c_restart_next = nostop;
    uint64_t byte_ns = 9ull * 1000000000ull / s.i2c_baud;
    uint64_t until_abs = abs_from_uptime_us(until);

    // Returns false when the deadline comes first (time is then at the deadline).
    auto spend_byte = [&]() {
        if (s.now + byte_ns >= until_abs) {
            run_until(until_abs);
            return false;
        }
        run_for(byte_ns);
        return !inert();
    };

    bool bus_ok = s.pins[pin_i2c0_sda].function == GPIO_FUNC_I2C &&
                  s.pins[pin_i2c0_scl].function == GPIO_FUNC_I2C;
    const expander_faults f = s.exp_faults;
    bool device = bus_ok && addr == expander_address && !f.absent;

    if (!spend_byte()) return inert() ? PICO_ERROR_GENERIC : PICO_ERROR_TIMEOUT;
    if (!device) return PICO_ERROR_GENERIC;
    if (f.timeout) {
        run_until(std::max(s.now, until_abs));
        return PICO_ERROR_TIMEOUT;
    }
    expander_state &e = s.exp;
    auto advance_pointer = [&]() {
        e.pointer = s.cfg.expander_pointer_pairs ? (e.pointer ^ 1u) : ((e.pointer + 1u) & 7u);
    };
    for (size_t i = 0; i < len; ++i) {
        if (!spend_byte()) return inert() ? PICO_ERROR_GENERIC : PICO_ERROR_TIMEOUT;
        if (src) {
            uint8_t b = src[i];
            if (i == 0) {
                if (b > 7) return 0; // not a register: command byte not acknowledged
                e.pointer = b;
                continue;
            }
            if (f.nack_register == static_cast<int>(e.pointer)) return static_cast<int>(i);
            if (e.pointer >= 2) e.reg[e.pointer] = b; // the input ports ignore writes
            advance_pointer();
        } else {
            unsigned r = e.pointer;
            uint8_t v;
            if (r < 2) {
                uint8_t level = r == 0 ? e.port0_level : e.port1_level;
                uint8_t cfg = e.reg[6 + r];
                uint8_t out = e.reg[2 + r];
                uint8_t pins = static_cast<uint8_t>((level & cfg) | (out & ~cfg));
                v = static_cast<uint8_t>(pins ^ e.reg[4 + r]);
            } else if ((r == 4 || r == 5) && f.polarity_readback >= 0) {
                v = static_cast<uint8_t>(f.polarity_readback);
            } else if ((r == 6 || r == 7) && f.config_readback >= 0) {
                v = static_cast<uint8_t>(f.config_readback);
            } else {
                v = e.reg[r];
            }
            dst[i] = v;
            advance_pointer();
        }
    }
    return static_cast<int>(len);
}

} // namespace

extern "C" {

int i2c_write_blocking_until(i2c_inst_t *i2c, uint8_t addr, const uint8_t *src, size_t len, bool nostop,
                             absolute_time_t until) noexcept {
    if (src == nullptr && len) {
        ++st().misuse;
        return PICO_ERROR_GENERIC;
    }
    return i2c_transfer(i2c, addr, src, nullptr, len, nostop, until);
}

int i2c_read_blocking_until(i2c_inst_t *i2c, uint8_t addr, uint8_t *dst, size_t len, bool nostop,
                            absolute_time_t until) noexcept {
    if (dst == nullptr && len) {
        ++st().misuse;
        return PICO_ERROR_GENERIC;
    }
    return i2c_transfer(i2c, addr, nullptr, dst, len, nostop, until);
}

// ---------------------------------------------------------------------------
// ADC

void adc_init(void) noexcept {
    sync_real_time();
    if (inert()) return;
    st().adc_ready = true;
    st().adc_input = 0;
}

void adc_select_input(uint input) noexcept {
    sync_real_time();
    state &s = st();
    if (inert()) return;
    if (input > 4) {
        ++s.misuse;
        return;
    }
    s.adc_input = input;
}

uint adc_get_selected_input(void) noexcept { return st().adc_input; }

uint16_t adc_read(void) noexcept {
    sync_real_time();
    state &s = st();
    if (inert()) return 0;
    if (!s.adc_ready) {
        ++s.misuse;
        return 0;
    }
    run_for(2000);
    if (inert()) return 0;
    switch (s.adc_input) {
    case 0: return static_cast<uint16_t>(next_rail_reading(s) & 0xFFFu);
    case 4: return 876; // temperature sensor near 27 degrees C
    default: return 0;
    }
}

// ---------------------------------------------------------------------------
// Watchdog

void watchdog_enable(uint32_t delay_ms, bool pause_on_debug) noexcept {
    (void)pause_on_debug; // there is no debugger to pause for
    sync_real_time();
    state &s = st();
    if (inert()) return;
    if (delay_ms == 0) {
        trigger_reset(reset_cause::watchdog);
        return;
    }
    // The counter is 24 bits at two ticks a microsecond.
    uint64_t load = std::min<uint64_t>(static_cast<uint64_t>(delay_ms) * 2000u, 0xFFFFFFu);
    s.wd_timeout_us = load / 2u;
    s.wd_enabled = true;
    s.wd_deadline = s.now + s.wd_timeout_us * 1000u;
}

void watchdog_update(void) noexcept {
    sync_real_time();
    state &s = st();
    if (inert() || !s.wd_enabled) return;
    s.wd_deadline = s.now + s.wd_timeout_us * 1000u;
}

// ---------------------------------------------------------------------------
// Flash

} // extern "C"

namespace {

// Validates one erase or program call and applies the NOR rule to its range,
// or only the first part of it when power is cut in the middle.
void flash_op(uint32_t offs, const uint8_t *data, size_t count, bool erase) {
    sync_real_time();
    state &s = st();
    if (inert()) return;
    uint32_t unit = erase ? FLASH_SECTOR_SIZE : FLASH_PAGE_SIZE;
    if (offs % unit != 0 || count % unit != 0 || offs > flash_size || count > flash_size - offs ||
        (!erase && data == nullptr && count != 0)) {
        ++s.fstats.rejected;
        return;
    }
    if (count == 0) return;
    if (!s.masked) ++s.fstats.unmasked;
    size_t done = count;
    bool cut = false;
    if (s.cut_armed) {
        if (s.cut_index == 0) {
            cut = true;
            s.cut_armed = false;
            done = std::min<size_t>(count, s.cut_bytes);
        } else {
            --s.cut_index;
        }
    }
    uint8_t *mem = flash_mem() + offs;
    if (erase) {
        std::memset(mem, 0xFF, done);
        ++s.fstats.erases;
    } else {
        for (size_t i = 0; i < done; ++i) mem[i] = static_cast<uint8_t>(mem[i] & data[i]);
        ++s.fstats.programs;
    }
    if (offs + count > store_offset) flash_store_written();
    uint64_t per_unit = (erase ? s.cfg.flash_erase_us : s.cfg.flash_program_us) * 1000u;
    uint64_t total = per_unit * (count / unit);
    run_for(cut ? total * done / count : total);
    if (cut) trigger_reset(reset_cause::power_cut);
}

} // namespace

extern "C" {

void flash_range_erase(uint32_t flash_offs, size_t count) noexcept { flash_op(flash_offs, nullptr, count, true); }

void flash_range_program(uint32_t flash_offs, const uint8_t *data, size_t count) noexcept {
    flash_op(flash_offs, data, count, false);
}

// ---------------------------------------------------------------------------
// Unique identifier

void pico_get_unique_board_id(pico_unique_board_id_t *id_out) noexcept {
    if (!id_out) return;
    std::memcpy(id_out->id, st().board_id.data(), PICO_UNIQUE_BOARD_ID_SIZE_BYTES);
}

void pico_get_unique_board_id_string(char *id_out, uint len) noexcept {
    if (!id_out || len == 0) {
        ++st().misuse;
        return;
    }
    const auto &id = st().board_id;
    size_t i;
    for (i = 0; i + 1 < len && i < PICO_UNIQUE_BOARD_ID_SIZE_BYTES * 2u; ++i) {
        unsigned shift = (i & 1u) ? 0u : 4u;
        unsigned nibble = (static_cast<unsigned>(id[i / 2]) >> shift) & 0xFu;
        id_out[i] = static_cast<char>(nibble < 10 ? '0' + nibble : 'A' + nibble - 10);
    }
    id_out[i] = 0;
}

} // extern "C"
