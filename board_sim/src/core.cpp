// The simulated board's clock and event engine: everything that happens
// because time passes (alarms, the serial line, the watchdog, the driver
// feedback, the world outside), and power-on and reset.
#include "state.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

namespace board_sim::detail {

namespace {

alignas(4096) uint8_t flash_storage[flash_size];
constexpr uint32_t store_size = flash_size - store_offset; // the part kept in the backing file

void reset_chip_peripherals(state &s) {
    // GPIO: pads and functions as after reset.
    for (auto &p : s.pins) {
        p.function = GPIO_FUNC_NULL;
        p.oe = false;
        p.out = false;
        p.ie = true;
        p.pull_up = false;
        p.pull_down = true;
    }
    // Alarms.
    s.slots = {};
    s.free_slots.clear();
    for (unsigned i = 1; i <= alarm_slots; ++i) s.free_slots.push_back(static_cast<uint8_t>(i));
    s.in_progress = 0;
    s.irq_handlers = {};
    s.irq_enabled = 0;
    // UARTs.
    for (unsigned i = 0; i < 2; ++i) {
        reset_uart(s.uart[i]);
        board_sim_uart_hw[i].cr = UART_UARTCR_RXE_BITS | UART_UARTCR_TXE_BITS;
        board_sim_uart_hw[i].imsc = 0;
        board_sim_uart_hw[i].ifls = 0x12; // both levels at half
        uart_char_to_line_feed[i] = 0;
    }
    s.i2c_ready = false;
    s.i2c_baud = 0;
    s.i2c_restart_next = false;
    s.adc_ready = false;
    s.adc_input = 0;
    s.wd_enabled = false;
    s.wd_timeout_us = 0;
    s.wd_deadline = never;
}

uint64_t feedback_delay(const state &s) { return s.driver ? s.rise_ns : s.fall_ns; }

// Moves the next byte of the transmit FIFO into the shift register, to be on
// the wire one character time after start_ns.
void load_shifter(uart_hw_state &u, uint64_t start_ns) {
    u.shift_byte = u.tx.front();
    u.tx.pop_front();
    u.shifting = true;
    unsigned bits = 1 + u.data_bits + (u.parity ? 1u : 0u) + u.stop_bits;
    u.shift_done_ns = start_ns + static_cast<uint64_t>(bits) * 1000000000ull / std::max(1u, u.baud);
}

uint64_t next_event(const state &s) {
    uint64_t next = never;
    if (!s.wire.empty()) next = std::min(next, s.wire.front().arrive_ns);
    for (const auto &u : s.uart)
        if (u.shifting) next = std::min(next, u.shift_done_ns);
    if (!s.pending && s.wd_enabled) next = std::min(next, s.wd_deadline);
    if (s.driver != s.fb_high) next = std::min(next, s.driver_change + feedback_delay(s));
    next = std::min(next, uart_timeout_at(s));
    if (!s.pending && !s.masked && !s.in_irq) {
        for (const auto &a : s.slots)
            if (a.pending) next = std::min(next, abs_from_uptime_us(a.target_us));
    }
    if (!s.world_wakes.empty()) next = std::min(next, *s.world_wakes.begin());
    return next;
}

void deliver_tx(state &s, uart_hw_state &u, unsigned index, uint64_t at, uint8_t byte) {
    if (index != 0) return; // nothing is wired to UART1
    if (s.pins[pin_uart0_tx].function != GPIO_FUNC_UART) {
        ++u.tx_discarded;
        return;
    }
    if (s.collect) s.collected.push_back(static_cast<char>(byte));
    if (s.tx_hook) call_hook([&] { s.tx_hook(at, byte); });
}

bool uart_receiving(const state &s) {
    const uart_hw_state &u = s.uart[0];
    uint32_t cr = board_sim_uart_hw[0].cr;
    return !s.pending && u.enabled && (cr & UART_UARTCR_UARTEN_BITS) && (cr & UART_UARTCR_RXE_BITS) &&
           s.pins[pin_uart0_rx].function == GPIO_FUNC_UART;
}

bool uart_format_matches(const uart_hw_state &u) {
    // The host sends 115200 8N1; a receiver more than 3 % off, or set to
    // another frame, sees framing errors.
    bool frame = u.data_bits == 8 && u.stop_bits == 1 && u.parity == 0;
    bool rate = u.baud >= 111744 && u.baud <= 118656;
    return frame && rate;
}

// Processes everything due at s.now.
void process_due(state &s) {
    if (!s.pending && s.wd_enabled && s.now >= s.wd_deadline) trigger_reset(reset_cause::watchdog);

    for (unsigned i = 0; i < 2; ++i) {
        uart_hw_state &u = s.uart[i];
        while (u.shifting && u.shift_done_ns <= s.now) {
            uint64_t done = u.shift_done_ns;
            uint8_t byte = u.shift_byte;
            u.shifting = false;
            if (!u.tx.empty()) load_shifter(u, done);
            deliver_tx(s, u, i, done, byte);
        }
    }

    while (!s.wire.empty() && s.wire.front().arrive_ns <= s.now) {
        wire_byte b = s.wire.front();
        s.wire.pop_front();
        uart_hw_state &u = s.uart[0];
        if (!uart_receiving(s)) {
            ++u.rx_lost;
            continue;
        }
        if (!uart_format_matches(u)) b.value |= UART_UARTDR_FE_BITS;
        if (u.rx.size() >= uart_fifo_depth) {
            ++u.rx_lost;
            u.overrun_pending = true;
            continue;
        }
        if (u.overrun_pending) b.value |= UART_UARTDR_OE_BITS;
        u.overrun_pending = false;
        u.rx.push_back(b.value);
        u.last_rx_ns = b.arrive_ns;
    }
    if (s.now >= uart_timeout_at(s)) s.uart[0].timeout = true;

    if (s.driver != s.fb_high && s.now >= s.driver_change + feedback_delay(s)) {
        s.fb_high = s.driver;
        pins_changed();
    }

    dispatch_interrupts();

    while (!s.world_wakes.empty() && *s.world_wakes.begin() <= s.now) s.world_wakes.erase(s.world_wakes.begin());
    if (s.world_hook) call_hook([&] { s.world_hook(s.now); });
}

uint64_t real_now(const state &s) {
    auto d = std::chrono::steady_clock::now() - s.t0;
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

// Virtual stepping: processes events in order up to `target`.
void step_until(state &s, uint64_t target) {
    while (s.now < target) {
        uint64_t next = std::min(target, next_event(s));
        if (next < s.now) next = s.now;
        s.now = next;
        process_due(s);
    }
}

} // namespace

state &st() {
    static state s;
    if (!s.initialised) {
        s.initialised = true;
        power_on(config{});
    }
    return s;
}

uint8_t *flash_mem() { return flash_storage; }

[[noreturn]] void hook_failed() {
    std::fputs("board_sim: a host hook threw an exception; the simulated firmware cannot unwind\n", stderr);
    std::abort();
}

uint64_t uptime_us() {
    state &s = st();
    return (s.now - s.epoch) / 1000u;
}

uint64_t abs_from_uptime_us(uint64_t us) {
    const state &s = st();
    if (us > (never - s.epoch) / 1000u) return never;
    return s.epoch + us * 1000u;
}

void sync_real_time() {
    state &s = st();
    if (s.cfg.mode != time_mode::real_time || s.in_hook) return;
    uint64_t t = real_now(s);
    if (t > s.now) step_until(s, t);
}

void run_until(uint64_t abs_ns) {
    state &s = st();
    if (s.in_hook) {
        ++s.misuse;
        return;
    }
    s.idle_polls = 0;
    if (s.cfg.mode == time_mode::virtual_time) {
        if (abs_ns > s.now) step_until(s, abs_ns);
        return;
    }
    for (;;) {
        sync_real_time();
        if (s.now >= abs_ns) return;
        uint64_t wake = std::min(abs_ns, next_event(s));
        if (s.idle_hook) {
            call_hook([&] { s.idle_hook(wake); });
        } else {
            uint64_t t = real_now(s);
            if (wake > t) std::this_thread::sleep_for(std::chrono::nanoseconds(wake - t));
        }
    }
}

void run_for(uint64_t ns) {
    state &s = st();
    run_until(ns > never - s.now ? never : s.now + ns);
}

void trigger_reset(reset_cause cause) {
    state &s = st();
    if (s.pending) return;
    s.pending = true;
    s.cause = cause;
    // The processor and its peripherals go into reset at once: outputs
    // released, alarms and the watchdog stopped, the UART silent.
    reset_chip_peripherals(s);
    pins_changed();
}

namespace {
bool chip_drives(const pin_hw &p, unsigned gpio, bool &value) {
    if (p.function == GPIO_FUNC_SIO && p.oe) {
        value = p.out;
        return true;
    }
    if (p.function == GPIO_FUNC_UART && gpio == pin_uart0_tx) {
        value = true; // idle line
        return true;
    }
    return false;
}
} // namespace

void pins_changed() {
    state &s = st();
    // Latch driver: a door output and the common enable both driven high.
    auto high_out = [&](unsigned g) {
        bool v = false;
        return chip_drives(s.pins[g], g, v) && v && s.pins[g].function == GPIO_FUNC_SIO;
    };
    bool door = false;
    for (unsigned g = 2; g <= 9; ++g) door = door || high_out(g);
    bool drv = door && high_out(pin_enable);
    if (drv != s.driver) {
        s.driver = drv;
        s.driver_change = s.now;
    }
    if (s.driver != s.fb_high && feedback_delay(s) == 0) s.fb_high = s.driver;

    for (unsigned g = 0; g < gpio_count; ++g) {
        pin_hw &p = s.pins[g];
        bool v = false;
        bool level = p.level;
        bool ext = false, ext_level = false;
        if (g == pin_feedback && !p.ext_driven) {
            if (s.fb_fault == feedback_fault::stuck_high) ext = true, ext_level = true;
            else if (s.fb_fault == feedback_fault::stuck_low) ext = true, ext_level = false;
            else if (s.fb_high) ext = true, ext_level = true;
        } else if (g == pin_uart0_rx && !p.ext_driven) {
            ext = true, ext_level = true; // the host's idle line
        } else if (p.ext_driven) {
            ext = true, ext_level = p.ext_level;
        }
        if (chip_drives(p, g, v)) {
            level = v;
        } else if (ext) {
            level = ext_level;
        } else if (p.function == GPIO_FUNC_I2C) {
            level = true; // bus pull-ups
        } else if (p.pull_up && !p.pull_down) {
            level = true;
        } else if (p.pull_down && !p.pull_up) {
            level = false;
        } // no pulls or both (bus keeper): keeps its last level
        if (level != p.level) {
            p.level = level;
            log_pin(g, pin_change_kind::level, level ? 1u : 0u);
        }
    }
}

void log_pin(unsigned gpio, pin_change_kind what, unsigned value) {
    state &s = st();
    if (s.log.size() < pin_log_limit) s.log.push_back({s.now, gpio, what, value});
}

void release_slot(state &s, uint8_t slot_no) {
    alarm_slot &a = s.slots[slot_no - 1u];
    a.allocated = false;
    a.callback = nullptr;
    a.user_data = nullptr;
    s.free_slots.push_back(slot_no);
}

uint64_t repeat_target_us(int64_t repeat, uint64_t target_us) {
    if (repeat < 0) return delayed_by_us(target_us, static_cast<uint64_t>(-(repeat + 1)) + 1u);
    return delayed_by_us(uptime_us(), static_cast<uint64_t>(repeat));
}

void dispatch_alarms() {
    state &s = st();
    if (s.in_irq || s.masked || s.pending) return;
    s.in_irq = true;
    uint64_t now_us = uptime_us();
    for (;;) {
        int best = -1;
        for (unsigned i = 0; i < alarm_slots; ++i) {
            const alarm_slot &a = s.slots[i];
            if (!a.pending || a.target_us > now_us) continue;
            if (best < 0 || a.target_us < s.slots[static_cast<unsigned>(best)].target_us ||
                (a.target_us == s.slots[static_cast<unsigned>(best)].target_us &&
                 a.order < s.slots[static_cast<unsigned>(best)].order))
                best = static_cast<int>(i);
        }
        if (best < 0) break;
        alarm_slot &a = s.slots[static_cast<unsigned>(best)];
        uint8_t slot_no = static_cast<uint8_t>(best + 1);
        a.pending = false;
        alarm_id_t id = alarm_id_of(a, slot_no);
        s.in_progress = id;
        int64_t repeat = a.callback(id, a.user_data);
        if (s.pending) break; // the board went into reset meanwhile; slots are cleared
        alarm_slot &b = s.slots[static_cast<unsigned>(best)];
        if (repeat != 0 && s.in_progress) {
            b.target_us = repeat_target_us(repeat, b.target_us);
            b.pending = true;
            b.order = ++s.alarm_order;
        } else {
            ++b.generation;
            release_slot(s, slot_no);
        }
        s.in_progress = 0;
        now_us = uptime_us();
    }
    s.in_irq = false;
}

namespace {

bool uart0_irq_raised(const state &s) {
    const uart_hw_state &u = s.uart[0];
    const uint32_t imsc = board_sim_uart_hw[0].imsc;
    static constexpr size_t levels[8] = {4, 8, 16, 24, 28, 28, 28, 28};
    const size_t level = levels[(board_sim_uart_hw[0].ifls & UART_UARTIFLS_RXIFLSEL_BITS) >> UART_UARTIFLS_RXIFLSEL_LSB];
    return ((imsc & UART_UARTIMSC_RXIM_BITS) && u.rx.size() >= level) ||
           ((imsc & UART_UARTIMSC_RTIM_BITS) && u.timeout && !u.rx.empty());
}

} // namespace

uint64_t uart_timeout_at(const state &s) {
    const uart_hw_state &u = s.uart[0];
    if (u.rx.empty() || u.timeout || u.baud == 0) return never;
    return u.last_rx_ns + 32ull * 1000000000ull / u.baud;
}

void dispatch_interrupts() {
    state &s = st();
    if (s.in_irq || s.masked || s.pending) return;
    dispatch_alarms();
    const irq_handler_t handler = s.irq_handlers[UART0_IRQ];
    if (!(s.irq_enabled >> UART0_IRQ & 1u) || handler == nullptr) return;
    // A handler that leaves its interrupt raised is entered again at once,
    // as on the chip; after many rounds the sim gives up and counts misuse
    // instead of hanging.
    for (unsigned round = 0; uart0_irq_raised(s) && !s.pending; ++round) {
        if (round == 64) {
            ++s.misuse;
            break;
        }
        s.in_irq = true;
        handler();
        s.in_irq = false;
    }
}

void uart_start_tx(uart_hw_state &u) {
    state &s = st();
    if (u.shifting || u.tx.empty()) return;
    load_shifter(u, s.now);
}

void reset_uart(uart_hw_state &u) {
    // The loss counters cover the whole run, across resets and re-initialisation.
    const uint64_t lost = u.rx_lost, discarded = u.tx_discarded;
    u = uart_hw_state{};
    u.rx_lost = lost;
    u.tx_discarded = discarded;
}

// The file is replaced, never rewritten in place: the store goes to a
// temporary file beside it, reaches the disk, and is renamed over the old one.
// A simulator killed at any moment (or a host losing power) leaves either the
// old store or the new one, never a short file that the next start refuses.
static bool replace_file(const std::string &path, const uint8_t *data, size_t size) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == size && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    // The rename itself is durable once the directory is synced.
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

void flash_store_written() {
    state &s = st();
    if (!s.backing) return;
    if (!replace_file(s.cfg.flash_file, flash_storage + store_offset, store_size)) {
        std::fprintf(stderr, "board_sim: cannot write flash backing file %s: %s; backing off\n",
                     s.cfg.flash_file.c_str(), std::strerror(errno));
        s.backing = false;
    }
}

} // namespace board_sim::detail

namespace board_sim {

using namespace detail;

bool power_on(const config &cfg) {
    state &s = st();
    s.cfg = cfg;
    s.now = 0;
    s.epoch = 0;
    s.t0 = std::chrono::steady_clock::now();
    s.idle_polls = 0;
    s.pending = false;
    s.cause = reset_cause::none;
    s.resets = 0;
    s.masked = false;
    s.in_irq = false;
    s.alarm_order = 0;
    s.world_hook = nullptr;
    s.idle_hook = nullptr;
    s.tx_hook = nullptr;
    s.world_wakes.clear();
    s.in_hook = false;
    s.pins = {};
    s.log.clear();
    s.fb_high = false;
    s.driver = false;
    s.driver_change = 0;
    s.fb_fault = feedback_fault::none;
    s.rise_ns = cfg.feedback_rise_us * 1000u;
    s.fall_ns = cfg.feedback_fall_us * 1000u;
    s.uart = {};
    s.wire.clear();
    s.wire_free = 0;
    s.collect = true;
    s.collected.clear();
    s.i2c_count = 0;
    s.exp = expander_state{};
    s.exp.port0_level = cfg.expander_port0;
    s.exp.port1_level = cfg.expander_port1;
    s.exp_faults = expander_faults{};
    s.exp_faults.absent = !cfg.expander_present;
    s.rail = static_cast<uint16_t>(cfg.rail_adc & 0xFFFu);
    s.rail_queue.clear();
    s.cut_armed = false;
    s.fstats = {};
    s.binary_end = cfg.flash_binary_end < flash_size ? cfg.flash_binary_end : flash_size - 1;
    s.board_id = cfg.board_id;
    s.misuse = 0;

    reset_chip_peripherals(s);
    s.pins[pin_power_good].ext_driven = true;
    s.pins[pin_power_good].ext_level = cfg.power_good;
    pins_changed();
    s.log.clear();

    std::memset(flash_storage, 0xFF, sizeof flash_storage);
    s.backing = false;
    bool ok = true;
    if (!cfg.flash_file.empty()) {
        std::FILE *f = std::fopen(cfg.flash_file.c_str(), "rb");
        if (!f) {
            s.backing = true; // no file yet: an erased region, created on the first write
        } else {
            uint8_t buf[store_size + 1]; // one more, to tell a longer file
            size_t n = std::fread(buf, 1, sizeof buf, f);
            std::fclose(f);
            if (n == store_size) {
                std::memcpy(flash_storage + store_offset, buf, store_size);
                s.backing = true;
            } else {
                ok = false;
            }
        }
    }
    return ok;
}

bool reset_pending() { return st().pending; }
reset_cause pending_reset_cause() { return st().cause; }
void request_reset() { trigger_reset(reset_cause::requested); }
void cut_power() { trigger_reset(reset_cause::power_cut); }

void reset() {
    state &s = st();
    if (s.in_hook) {
        ++s.misuse;
        return;
    }
    bool power_lost = s.pending && s.cause == reset_cause::power_cut;
    reset_chip_peripherals(s);
    s.pending = false;
    s.cause = reset_cause::none;
    s.masked = false;
    s.in_irq = false;
    s.epoch = s.now;
    s.idle_polls = 0;
    if (power_lost) {
        uint8_t p0 = s.exp.port0_level, p1 = s.exp.port1_level;
        s.exp = expander_state{};
        s.exp.port0_level = p0;
        s.exp.port1_level = p1;
    }
    ++s.resets;
    pins_changed();
}

unsigned resets() { return st().resets; }

uint64_t now_ns() {
    sync_real_time();
    return st().now;
}

uint64_t uptime_ns() {
    sync_real_time();
    state &s = st();
    return s.now - s.epoch;
}

void advance(uint64_t ns) { run_for(ns); }
void advance_to(uint64_t abs_ns) { run_until(abs_ns); }

void set_world_hook(std::function<void(uint64_t)> hook) { st().world_hook = std::move(hook); }
void world_wake_at(uint64_t abs_ns) { st().world_wakes.insert(abs_ns); }
void set_idle_hook(std::function<void(uint64_t)> hook) { st().idle_hook = std::move(hook); }

} // namespace board_sim
