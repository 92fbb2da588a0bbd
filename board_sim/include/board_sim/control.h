// Host-side control of the simulated board: power and reset, time, the
// world outside the pins (power-good, driver feedback, the I/O expander's
// sensors, the 24 V rail, the host end of the serial line), fault injection
// and inspection.
//
// The simulated board is a single global object and is not thread-safe: the
// firmware and these calls run on one thread. Hooks run on that same thread,
// from inside whichever call lets time pass; they must not let time pass
// themselves (advance() and the firmware's sleeps are ignored while a hook
// runs) and must not throw (an exception out of a hook aborts the program,
// since the firmware above it is built without exception support).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace board_sim {

// ---------------------------------------------------------------------------
// Power, reset, configuration
// ---------------------------------------------------------------------------

enum class time_mode {
    virtual_time, // deterministic: time passes only inside sim calls
    real_time,    // the host's monotonic clock; sleeps really sleep (through the idle hook)
};

struct config {
    time_mode mode = time_mode::virtual_time;

    // When not empty, the last 8 KB of the flash (offsets 0x1FE000..0x1FFFFF)
    // are loaded from this file at power_on and written back after every
    // erase or program that touches them, so they survive across runs. A
    // missing file means an erased region; the file is created on the first
    // write.
    std::string flash_file;

    // Offset of __flash_binary_end inside the flash.
    uint32_t flash_binary_end = 0x40000;

    std::array<uint8_t, 8> board_id{0xE6, 0x61, 0x38, 0x52, 0x83, 0x2F, 0x4A, 0x29};

    // GPIO18: the power-good signal, driven by the board's supply.
    bool power_good = true;

    // ADC input 0 (the divided 24 V rail), 12-bit counts.
    uint16_t rail_adc = 2710;

    // GPIO19 rises this long after the latch driver is switched on (any door
    // output and GPIO10 high), and drops this long after it is switched off.
    uint64_t feedback_rise_us = 200;
    uint64_t feedback_fall_us = 0;

    // The I/O expander at 0x20: present, and its sixteen input pins'
    // electrical levels at power-on (inputs are active low: 0x0000 = every
    // door closed and every latch locked).
    bool expander_present = true;
    uint8_t expander_port0 = 0x00;
    uint8_t expander_port1 = 0x00;
    // The register pointer of a genuine PCA9555 toggles within a register
    // pair (a read from 4 gives 4, 5, 4, 5...); the default device advances
    // linearly through the eight registers (4, 5, 6, 7, 0, ...).
    bool expander_pointer_pairs = false;

    // How long the flash operations hold the processor.
    uint64_t flash_erase_us = 45000; // per 4 KB sector
    uint64_t flash_program_us = 400; // per 256-byte page
};

// A fresh board: time 0, all peripherals at reset, the flash erased except
// the backed region loaded from its file. Returns false when the backing file
// exists but cannot be read as 8192 bytes; the board then runs with that
// region erased and file backing off (the file is left untouched).
bool power_on(const config &cfg = {});

enum class reset_cause {
    none,
    watchdog,  // not fed within its timeout, or enabled with a zero timeout
    power_cut, // injected by flash_power_cut(), or by cut_power()
    requested, // request_reset()
};

// True once the board has to restart. From that moment every peripheral
// operation of the firmware is inert (writes ignored, transmit discarded and
// always writable, nothing received, flash untouched, no alarm callbacks,
// sleeps return at once) until reset().
bool reset_pending();
reset_cause pending_reset_cause();
void request_reset();
// Power fails now (as if the supply dropped): external chips lose their state too.
void cut_power();

// Brings the board out of reset: processor peripherals, GPIO, alarms and the
// watchdog at their reset state, the firmware's clock (time_us_64) back to 0,
// RAM-side state of the sim cleared. Kept: the flash, what is wired to the
// pins from outside (power-good, feedback faults, the host side of the
// serial line), the expander's registers (unless power was cut) and the
// absolute time now_ns().
void reset();

// Number of times reset() has been called since power_on.
unsigned resets();

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------

// Absolute simulation time in ns since power_on (monotonic across resets).
uint64_t now_ns();
// The firmware's clock, time_us_64(), in ns: time since the last reset.
uint64_t uptime_ns();

// Lets time pass with no firmware running: alarms, UART, watchdog, feedback
// and the world hook all proceed. In real-time mode it waits for real.
void advance(uint64_t ns);
void advance_to(uint64_t abs_ns);

// Called with now_ns() each time the simulation has let time pass (after
// each step of events and at the end of each advance), and at every time
// requested with world_wake_at().
void set_world_hook(std::function<void(uint64_t now_ns)> hook);
// Asks for one extra world hook call at exactly this absolute time.
void world_wake_at(uint64_t abs_ns);

// Real-time mode: called when the simulation waits until `until_ns`
// (absolute sim time). It may return early (e.g. after feeding
// uart_host_send); the simulation calls it again until the time is reached.
// Without a hook the thread sleeps.
void set_idle_hook(std::function<void(uint64_t until_ns)> hook);

// ---------------------------------------------------------------------------
// GPIO
// ---------------------------------------------------------------------------

inline constexpr unsigned gpio_count = 30;

enum class pull { none, up, down, both };

struct pin_state {
    bool level = false;        // the pad's level (what gpio_get reads when the input is enabled)
    unsigned function = 0x1f;  // GPIO_FUNC_*
    bool output_enable = false;
    bool output_value = false; // the SIO output latch
    bool input_enable = true;
    pull pulls = pull::down;
    bool driven = false;       // driven from outside
    bool driven_level = false;
};

pin_state pin(unsigned gpio);
bool pin_level(unsigned gpio);

// Drives a pin from outside (GPIO18 power-good, GPIO14 spare, ...). While
// the firmware drives the pin as an SIO output, its output wins.
void drive_pin(unsigned gpio, bool level);
// Stops driving it: the pulls decide (up: high; down, none: low; both: the last level).
void release_pin(unsigned gpio);
void set_power_good(bool good);

enum class pin_change_kind { level, output_value, output_enable, function, pulls, input_enable };

struct pin_change {
    uint64_t time_ns; // absolute
    unsigned gpio;
    pin_change_kind what;
    unsigned value;   // new level/flag (0/1), function number, or pull enum value
};

const std::vector<pin_change> &pin_log();
void clear_pin_log();

// ---------------------------------------------------------------------------
// Latch driver feedback (GPIO19)
// ---------------------------------------------------------------------------

enum class feedback_fault { none, stuck_low, stuck_high };
void set_feedback_fault(feedback_fault f);
void set_feedback_delays(uint64_t rise_us, uint64_t fall_us);
// True while a door output (GPIO2..9) and GPIO10 are both SIO outputs driven high.
bool driver_on();

// ---------------------------------------------------------------------------
// UART0, host side of the serial line (115200 8N1)
// ---------------------------------------------------------------------------

// Queues bytes onto the wire; they arrive one per character time
// (86.8 us) after whatever is still queued.
void uart_host_send(std::string_view bytes);
// One byte carrying receive error bits (UART_UARTDR_FE_BITS, _PE_, _BE_).
void uart_host_send_byte(uint8_t byte, uint32_t error_bits = 0);
// A break: a zero character with the break and framing error bits.
void uart_host_send_break();
// Bytes still on the wire, not yet arrived.
size_t uart_host_pending();

// Transmitted bytes, each when its last bit has left. The hook receives each
// byte at that time; take() returns (and forgets) what was collected.
void set_uart_tx_hook(std::function<void(uint64_t time_ns, uint8_t byte)> hook);
void set_uart_collect(bool collect); // default on
std::string uart_host_take();

struct uart_status {
    bool enabled = false; // uart_init called
    unsigned baud = 0;    // as set
    unsigned data_bits = 8, stop_bits = 1, parity = 0;
    uint32_t cr = 0;
    size_t rx_level = 0, tx_level = 0; // FIFO fill
    uint64_t rx_lost = 0;              // characters lost to a full FIFO or a disabled receiver
    uint64_t tx_discarded = 0;         // characters sent while the TX pin was not in UART function
};
uart_status uart0_status();

// ---------------------------------------------------------------------------
// I2C0 I/O expander at 0x20
// ---------------------------------------------------------------------------

// Electrical levels of its input pins (port 0: door sensors, port 1: latch
// sensors; a low level is a closed door / a locked latch).
void expander_set_inputs(uint8_t port0, uint8_t port1);
// The same in door terms: bit n-1 set = door n closed / latch n locked.
void expander_set_doors(uint8_t closed_mask, uint8_t locked_mask);

struct expander_faults {
    bool absent = false;          // no acknowledge on the address
    bool timeout = false;         // holds the clock low: every transfer runs into its deadline
    int nack_register = -1;       // a data byte written into this register is not acknowledged
    int polarity_readback = -1;   // when >= 0, registers 4 and 5 read back this value
    int config_readback = -1;     // when >= 0, registers 6 and 7 read back this value
};
void set_expander_faults(const expander_faults &f);
expander_faults get_expander_faults();

// The register file as written (readback faults not applied) and the pointer.
std::array<uint8_t, 8> expander_registers();
unsigned expander_pointer();
// Completed or failed transfers addressed on I2C0 since power_on.
uint64_t i2c_transfers();

// ---------------------------------------------------------------------------
// ADC input 0
// ---------------------------------------------------------------------------

void set_rail_adc(uint16_t counts);
// Readings returned by the next conversions of input 0, before the steady value.
void queue_rail_adc(std::span<const uint16_t> counts);

// ---------------------------------------------------------------------------
// Watchdog
// ---------------------------------------------------------------------------

bool watchdog_enabled();
uint64_t watchdog_timeout_us();
// Absolute time (ns) at which the watchdog resets the board unless fed.
uint64_t watchdog_deadline_ns();

// ---------------------------------------------------------------------------
// Flash
// ---------------------------------------------------------------------------

inline constexpr uint32_t flash_size = 2u * 1024u * 1024u;
inline constexpr uint32_t store_offset = flash_size - 8192u;

// Direct access for tests and tools (no timing, no NOR rules, written
// through to the backing file on write).
std::span<const uint8_t> flash_bytes();
void flash_write_raw(uint32_t offset, std::span<const uint8_t> bytes);
void flash_erase_store(); // the backed 8 KB to 0xFF

// Power fails during a later flash operation: the op_index-th erase or
// program call from now (0 = the next one) completes only its first
// bytes_done bytes, the rest of its range stays as it was, and the board
// is left with reset_pending() (cause power_cut).
void flash_power_cut(unsigned op_index, uint32_t bytes_done);
void cancel_flash_power_cut();

struct flash_stats {
    uint64_t erases = 0, programs = 0;  // calls carried out
    uint64_t rejected = 0;              // misaligned or out-of-range calls (nothing done)
    uint64_t unmasked = 0;              // calls made with interrupts enabled
};
flash_stats flash_counters();

void set_flash_binary_end(uint32_t offset);

// ---------------------------------------------------------------------------
// Board identifier
// ---------------------------------------------------------------------------

void set_board_id(const std::array<uint8_t, 8> &id);

// ---------------------------------------------------------------------------
// Alarms and interrupts (inspection)
// ---------------------------------------------------------------------------

size_t alarms_pending();
bool interrupts_masked();
// Misuse of the platform API noticed so far (invalid pins, calls on
// uninitialised peripherals, ...): counted, never fatal.
uint64_t api_misuse();

} // namespace board_sim
