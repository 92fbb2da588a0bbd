// The part of the RP2040 platform API that the board firmware uses, as the
// simulated board provides it on a Linux host. Names, types and signatures
// follow the platform's own API so that the same board sources build for the
// real board and for the simulation; behaviour follows the platform's
// documentation (return codes, alarm firing rules, FIFO flags).
//
// Differences a board source may notice:
//  - `XIP_BASE` is the host address of the simulated flash's first byte (an
//    expression, not a constant), so `(const uint8_t *)(XIP_BASE + offset)`
//    reads the simulated flash.
//  - `__flash_binary_end` is an lvalue inside the simulated flash whose
//    position the host side can set (default: 256 KB into the flash).
//  - Register blocks exist only where the firmware touches registers
//    directly: `uart_get_hw(uart)->dr`, `->fr`, `->cr`, `->imsc` and `->ifls`.
//  - `uart_set_irq_enables` is a function, not an inline register write, so
//    that an interrupt already due when it is enabled is taken at once.
//
// Everything here is usable from code built with -fno-exceptions -fno-rtti
// and the strict conversion warnings. No function throws.
#pragma once

#ifndef __cplusplus
#error "board_sim/sdk.h is a C++ header"
#endif

#include <cstddef>
#include <cstdint>

typedef unsigned int uint;

// ---------------------------------------------------------------------------
// Common
// ---------------------------------------------------------------------------

enum pico_error_codes {
    PICO_OK = 0,
    PICO_ERROR_NONE = 0,
    PICO_ERROR_TIMEOUT = -1,
    PICO_ERROR_GENERIC = -2,
    PICO_ERROR_NO_DATA = -3,
};

#define NUM_UARTS 2u
#define NUM_I2CS 2u
#define NUM_BANK0_GPIOS 30u

// ---------------------------------------------------------------------------
// Interface between this header and the simulation (not part of the platform
// API; do not call from firmware code).
// ---------------------------------------------------------------------------

extern "C" {
uintptr_t board_sim_xip_base(void) noexcept;
char *board_sim_flash_binary_end(void) noexcept;
uint32_t board_sim_uart_read_dr(uint index) noexcept;
void board_sim_uart_write_dr(uint index, uint32_t value) noexcept;
uint32_t board_sim_uart_read_fr(uint index) noexcept;
}

// ---------------------------------------------------------------------------
// Flash
// ---------------------------------------------------------------------------

#define XIP_BASE (board_sim_xip_base())
#define FLASH_PAGE_SIZE (1u << 8)
#define FLASH_SECTOR_SIZE (1u << 12)
#define FLASH_BLOCK_SIZE (1u << 16)
#define FLASH_UNIQUE_ID_SIZE_BYTES 8
#define PICO_FLASH_SIZE_BYTES (2 * 1024 * 1024)

// The end of the firmware image in flash (a linker symbol on the real board).
#define __flash_binary_end (*board_sim_flash_binary_end())

extern "C" {
void flash_range_erase(uint32_t flash_offs, size_t count) noexcept;
void flash_range_program(uint32_t flash_offs, const uint8_t *data, size_t count) noexcept;
}

// ---------------------------------------------------------------------------
// Time and alarms
// ---------------------------------------------------------------------------

typedef uint64_t absolute_time_t;
typedef int32_t alarm_id_t;
typedef int64_t (*alarm_callback_t)(alarm_id_t id, void *user_data);
typedef struct alarm_pool alarm_pool_t;

#define PICO_TIME_DEFAULT_ALARM_POOL_MAX_TIMERS 16

extern "C" {
uint64_t time_us_64(void) noexcept;
void sleep_us(uint64_t us) noexcept;
void sleep_ms(uint32_t ms) noexcept;
void sleep_until(absolute_time_t target) noexcept;

alarm_pool_t *alarm_pool_get_default(void) noexcept;
alarm_id_t alarm_pool_add_alarm_at(alarm_pool_t *pool, absolute_time_t time, alarm_callback_t callback,
                                   void *user_data, bool fire_if_past) noexcept;
bool alarm_pool_cancel_alarm(alarm_pool_t *pool, alarm_id_t alarm_id) noexcept;
}

static inline uint64_t to_us_since_boot(absolute_time_t t) { return t; }
static inline absolute_time_t from_us_since_boot(uint64_t us) { return us; }
static inline absolute_time_t get_absolute_time(void) { return time_us_64(); }

static inline absolute_time_t delayed_by_us(const absolute_time_t t, uint64_t us) {
    uint64_t delayed = t + us;
    if (delayed < t || delayed > static_cast<uint64_t>(INT64_MAX)) delayed = static_cast<uint64_t>(INT64_MAX);
    return delayed;
}

static inline absolute_time_t make_timeout_time_us(uint64_t us) { return delayed_by_us(get_absolute_time(), us); }
static inline absolute_time_t make_timeout_time_ms(uint32_t ms) {
    return delayed_by_us(get_absolute_time(), static_cast<uint64_t>(ms) * 1000u);
}
static inline int64_t absolute_time_diff_us(absolute_time_t from, absolute_time_t to) {
    return static_cast<int64_t>(to - from);
}

static inline alarm_id_t alarm_pool_add_alarm_in_us(alarm_pool_t *pool, uint64_t us, alarm_callback_t callback,
                                                    void *user_data, bool fire_if_past) {
    return alarm_pool_add_alarm_at(pool, delayed_by_us(get_absolute_time(), us), callback, user_data,
                                   fire_if_past);
}
static inline alarm_id_t add_alarm_at(absolute_time_t time, alarm_callback_t callback, void *user_data,
                                      bool fire_if_past) {
    return alarm_pool_add_alarm_at(alarm_pool_get_default(), time, callback, user_data, fire_if_past);
}
static inline bool cancel_alarm(alarm_id_t alarm_id) {
    return alarm_pool_cancel_alarm(alarm_pool_get_default(), alarm_id);
}

// A busy-wait body; in the simulation it lets a little time pass so that a
// polling loop cannot stall virtual time.
extern "C" void tight_loop_contents(void) noexcept;

// ---------------------------------------------------------------------------
// Interrupt masking
// ---------------------------------------------------------------------------

extern "C" {
// Returns the previous mask state (0: interrupts were enabled).
uint32_t save_and_disable_interrupts(void) noexcept;
// Restores a state returned by save_and_disable_interrupts; alarms that fell
// due while masked run here.
void restore_interrupts(uint32_t status) noexcept;
}

// Interrupt controller. Of the peripheral interrupts only UART0's receive
// interrupt is raised (besides the timer interrupt behind the alarm pool,
// which needs no set-up); a handler runs between two platform calls, never
// while interrupts are masked (then inside `restore_interrupts`), never
// nested, and after any alarm callbacks due at the same moment.
typedef void (*irq_handler_t)(void);

#define UART0_IRQ 20
#define UART1_IRQ 21
#define NUM_IRQS 32

extern "C" {
void irq_set_exclusive_handler(uint num, irq_handler_t handler) noexcept;
void irq_remove_handler(uint num, irq_handler_t handler) noexcept;
void irq_set_enabled(uint num, bool enabled) noexcept;
bool irq_is_enabled(uint num) noexcept;
}

// ---------------------------------------------------------------------------
// GPIO
// ---------------------------------------------------------------------------

enum gpio_function {
    GPIO_FUNC_XIP = 0,
    GPIO_FUNC_SPI = 1,
    GPIO_FUNC_UART = 2,
    GPIO_FUNC_I2C = 3,
    GPIO_FUNC_PWM = 4,
    GPIO_FUNC_SIO = 5,
    GPIO_FUNC_PIO0 = 6,
    GPIO_FUNC_PIO1 = 7,
    GPIO_FUNC_GPCK = 8,
    GPIO_FUNC_USB = 9,
    GPIO_FUNC_NULL = 0x1f,
};

#define GPIO_OUT 1
#define GPIO_IN 0

extern "C" {
void gpio_init(uint gpio) noexcept;
void gpio_set_function(uint gpio, enum gpio_function fn) noexcept;
void gpio_set_pulls(uint gpio, bool up, bool down) noexcept;
void gpio_set_input_enabled(uint gpio, bool enabled) noexcept;
void gpio_set_dir(uint gpio, bool out) noexcept;
void gpio_set_mask(uint32_t mask) noexcept;
void gpio_clr_mask(uint32_t mask) noexcept;
bool gpio_get(uint gpio) noexcept;
}

static inline void gpio_disable_pulls(uint gpio) { gpio_set_pulls(gpio, false, false); }
static inline void gpio_pull_up(uint gpio) { gpio_set_pulls(gpio, true, false); }
static inline void gpio_pull_down(uint gpio) { gpio_set_pulls(gpio, false, true); }
static inline void gpio_put(uint gpio, bool value) {
    uint32_t mask = gpio < 32u ? (1u << gpio) : 0u;
    if (value)
        gpio_set_mask(mask);
    else
        gpio_clr_mask(mask);
}

// ---------------------------------------------------------------------------
// UART
// ---------------------------------------------------------------------------

#define UART_UARTDR_OE_BITS 0x00000800u
#define UART_UARTDR_BE_BITS 0x00000400u
#define UART_UARTDR_PE_BITS 0x00000200u
#define UART_UARTDR_FE_BITS 0x00000100u
#define UART_UARTDR_DATA_BITS 0x000000ffu

#define UART_UARTFR_TXFE_BITS 0x00000080u
#define UART_UARTFR_RXFF_BITS 0x00000040u
#define UART_UARTFR_TXFF_BITS 0x00000020u
#define UART_UARTFR_RXFE_BITS 0x00000010u
#define UART_UARTFR_BUSY_BITS 0x00000008u

#define UART_UARTIMSC_RTIM_BITS 0x00000040u
#define UART_UARTIMSC_TXIM_BITS 0x00000020u
#define UART_UARTIMSC_RXIM_BITS 0x00000010u
#define UART_UARTIFLS_RXIFLSEL_LSB 3u
#define UART_UARTIFLS_RXIFLSEL_BITS 0x00000038u
#define UART_UARTIFLS_TXIFLSEL_BITS 0x00000007u

#define UART_UARTCR_CTSEN_BITS 0x00008000u
#define UART_UARTCR_RTSEN_BITS 0x00004000u
#define UART_UARTCR_RXE_BITS 0x00000200u
#define UART_UARTCR_TXE_BITS 0x00000100u
#define UART_UARTCR_UARTEN_BITS 0x00000001u

typedef enum {
    UART_PARITY_NONE,
    UART_PARITY_EVEN,
    UART_PARITY_ODD
} uart_parity_t;

// Data register: reading pops the receive FIFO (character in bits 0..7, the
// FE/PE/BE/OE error bits above it), writing queues a character for sending.
struct board_sim_uart_dr_reg {
    uint index;
    operator uint32_t() const noexcept { return board_sim_uart_read_dr(index); }
    board_sim_uart_dr_reg &operator=(uint32_t value) noexcept {
        board_sim_uart_write_dr(index, value);
        return *this;
    }
    board_sim_uart_dr_reg &operator=(const board_sim_uart_dr_reg &) = delete;
};

// Flag register, read-only.
struct board_sim_uart_fr_reg {
    uint index;
    operator uint32_t() const noexcept { return board_sim_uart_read_fr(index); }
    board_sim_uart_fr_reg &operator=(const board_sim_uart_fr_reg &) = delete;
};

typedef struct {
    board_sim_uart_dr_reg dr;
    board_sim_uart_fr_reg fr;
    uint32_t cr;   // control register: plain storage, read by the simulation
    uint32_t imsc; // interrupt mask (RXIM, RTIM, TXIM): plain storage, read by the simulation
    uint32_t ifls; // FIFO levels; RXIFLSEL 0..4: receive interrupt at 4, 8, 16, 24, 28 characters
} uart_hw_t;

typedef struct uart_inst uart_inst_t;

extern "C" {
extern uart_hw_t board_sim_uart_hw[NUM_UARTS];
extern short uart_char_to_line_feed[NUM_UARTS];
}

#define uart0 (reinterpret_cast<uart_inst_t *>(&board_sim_uart_hw[0]))
#define uart1 (reinterpret_cast<uart_inst_t *>(&board_sim_uart_hw[1]))

static inline uint uart_get_index(uart_inst_t *uart) { return uart == uart1 ? 1u : 0u; }
static inline uart_hw_t *uart_get_hw(uart_inst_t *uart) { return &board_sim_uart_hw[uart_get_index(uart)]; }

extern "C" {
// Returns the baud rate actually set (the divider's rate, e.g. 115207 for 115200).
uint uart_init(uart_inst_t *uart, uint baudrate) noexcept;
void uart_deinit(uart_inst_t *uart) noexcept;
void uart_set_format(uart_inst_t *uart, uint data_bits, uint stop_bits, uart_parity_t parity) noexcept;
// As the platform's: rx_has_data sets RXIM and RTIM in imsc (the FIFO level
// interrupt and the receive timeout, 32 bit periods without a new character
// while the FIFO holds one) and the receive level to its lowest (4
// characters); tx_needs_data sets TXIM, which is not modelled.
void uart_set_irq_enables(uart_inst_t *uart, bool rx_has_data, bool tx_needs_data) noexcept;
}

static inline void uart_set_hw_flow(uart_inst_t *uart, bool cts, bool rts) {
    uint32_t cr = uart_get_hw(uart)->cr & ~(UART_UARTCR_CTSEN_BITS | UART_UARTCR_RTSEN_BITS);
    if (cts) cr |= UART_UARTCR_CTSEN_BITS;
    if (rts) cr |= UART_UARTCR_RTSEN_BITS;
    uart_get_hw(uart)->cr = cr;
}
static inline bool uart_is_writable(uart_inst_t *uart) { return !(uart_get_hw(uart)->fr & UART_UARTFR_TXFF_BITS); }
static inline bool uart_is_readable(uart_inst_t *uart) { return !(uart_get_hw(uart)->fr & UART_UARTFR_RXFE_BITS); }

extern "C" {
// Each character waits while the transmit FIFO is full.
void uart_write_blocking(uart_inst_t *uart, const uint8_t *src, size_t len) noexcept;
void uart_putc_raw(uart_inst_t *uart, char c) noexcept;
// Each character waits until one has been received (while the board is being
// reset they return 0 instead of waiting).
void uart_read_blocking(uart_inst_t *uart, uint8_t *dst, size_t len) noexcept;
char uart_getc(uart_inst_t *uart) noexcept;
}

// ---------------------------------------------------------------------------
// I2C
// ---------------------------------------------------------------------------

typedef struct i2c_inst i2c_inst_t;

extern "C" {
extern i2c_inst_t *const board_sim_i2c_inst[NUM_I2CS];
}

#define i2c0 (board_sim_i2c_inst[0])
#define i2c1 (board_sim_i2c_inst[1])

extern "C" {
// Returns the baud rate actually set.
uint i2c_init(i2c_inst_t *i2c, uint baudrate) noexcept;
// Return the number of bytes transferred, PICO_ERROR_GENERIC when the address
// is not acknowledged, or PICO_ERROR_TIMEOUT when `until` passes first. A
// write whose data byte is not acknowledged returns the count acknowledged.
int i2c_write_blocking_until(i2c_inst_t *i2c, uint8_t addr, const uint8_t *src, size_t len, bool nostop,
                             absolute_time_t until) noexcept;
int i2c_read_blocking_until(i2c_inst_t *i2c, uint8_t addr, uint8_t *dst, size_t len, bool nostop,
                            absolute_time_t until) noexcept;
}

static inline int i2c_write_timeout_us(i2c_inst_t *i2c, uint8_t addr, const uint8_t *src, size_t len, bool nostop,
                                       uint timeout_us) {
    return i2c_write_blocking_until(i2c, addr, src, len, nostop, make_timeout_time_us(timeout_us));
}
static inline int i2c_read_timeout_us(i2c_inst_t *i2c, uint8_t addr, uint8_t *dst, size_t len, bool nostop,
                                      uint timeout_us) {
    return i2c_read_blocking_until(i2c, addr, dst, len, nostop, make_timeout_time_us(timeout_us));
}

// ---------------------------------------------------------------------------
// ADC
// ---------------------------------------------------------------------------

extern "C" {
void adc_init(void) noexcept;
void adc_select_input(uint input) noexcept;
uint adc_get_selected_input(void) noexcept;
// One conversion of the selected input (12 bits); takes 2 us.
uint16_t adc_read(void) noexcept;
}

static inline void adc_gpio_init(uint gpio) {
    gpio_set_function(gpio, GPIO_FUNC_NULL);
    gpio_disable_pulls(gpio);
    gpio_set_input_enabled(gpio, false);
}

// ---------------------------------------------------------------------------
// Watchdog
// ---------------------------------------------------------------------------

extern "C" {
void watchdog_enable(uint32_t delay_ms, bool pause_on_debug) noexcept;
void watchdog_update(void) noexcept;
}

// ---------------------------------------------------------------------------
// Unique board identifier
// ---------------------------------------------------------------------------

#define PICO_UNIQUE_BOARD_ID_SIZE_BYTES 8

typedef struct {
    uint8_t id[PICO_UNIQUE_BOARD_ID_SIZE_BYTES];
} pico_unique_board_id_t;

extern "C" {
void pico_get_unique_board_id(pico_unique_board_id_t *id_out) noexcept;
// Upper-case hex digits of the identifier, always NUL-terminated within len.
void pico_get_unique_board_id_string(char *id_out, uint len) noexcept;
}
