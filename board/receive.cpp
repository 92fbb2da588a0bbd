// Reception: the UART0 receive interrupt moves every received character out
// of the UART's 32-character FIFO into a software buffer, whatever the main
// loop is doing (sampling, waiting on a stuck expander, writing lines, or
// stalled short of the watchdog). The main loop reads only the buffer.
#include <atomic>
#include <stdint.h>
#include <string.h>

#include "pico_main.h"

namespace {

// Error bits that the UART reports alongside each received character.
constexpr uint32_t RX_ERROR_BITS = 0x100u   // framing
                                   | 0x200u // parity
                                   | 0x400u // break
                                   | 0x800u; // overrun: characters were lost before this one

// The host may have this many characters unanswered in flight. A host that
// keeps to it never overflows the buffer: what the buffer holds has not been
// read yet, so it has not been answered either. Characters beyond it are
// dropped, the next one kept is marked damaged, and the line it belongs to is
// refused rather than executed. The UART's own 32 characters last 2.8 ms;
// interrupts are masked only for microseconds while a pulse is switched on
// (the flash is written before the UART is set up), so its FIFO never
// overflows.
constexpr uint32_t RX_SIZE = RX_IN_FLIGHT;
static_assert((RX_SIZE & (RX_SIZE - 1)) == 0, "a power of two, so the counters may wrap");

// A ring with one producer (the interrupt) and one consumer (the main loop)
// on one core. Each side writes only its own counter; both counters run
// freely and their difference is the fill. The fences keep the compiler from
// moving the data accesses across the counter updates; the core itself does
// not reorder memory accesses.
uint8_t rx_data[RX_SIZE];
uint8_t rx_damaged[RX_SIZE / 8]; // one bit a slot, written by the interrupt only
volatile uint32_t rx_in;         // characters stored, written by the interrupt
volatile uint32_t rx_out;        // characters taken, written by the main loop
bool rx_lost;                    // interrupt only: characters were dropped since the last one stored

void fence() { std::atomic_signal_fence(std::memory_order_seq_cst); }

// Moves everything the UART holds into the buffer. Reading every character
// also clears both the level and the timeout interrupt: a full buffer must
// not leave them raised, or the interrupt would never let the loop run again.
void rx_irq(void) {
    while (uart_is_readable(uart0)) {
        const uint32_t dr = uart_get_hw(uart0)->dr;
        const uint32_t in = rx_in;
        if (in - rx_out >= RX_SIZE) {
            rx_lost = true;
            continue;
        }
        const uint32_t at = in & (RX_SIZE - 1);
        rx_data[at] = static_cast<uint8_t>(dr & 0xFFu);
        // The slot's mark is written either way: a slot reused after the
        // buffer wrapped must not keep the mark of the character before.
        const uint8_t bit = static_cast<uint8_t>(1u << (at & 7u));
        if ((dr & RX_ERROR_BITS) != 0 || rx_lost)
            rx_damaged[at / 8] = static_cast<uint8_t>(rx_damaged[at / 8] | bit);
        else
            rx_damaged[at / 8] = static_cast<uint8_t>(rx_damaged[at / 8] & ~bit);
        rx_lost = false;
        fence();
        rx_in = in + 1;
    }
}

} // namespace

void rx_reset(void) {
    rx_in = 0;
    rx_out = 0;
    rx_lost = false;
    memset(rx_data, 0, sizeof rx_data);
    memset(rx_damaged, 0, sizeof rx_damaged);
}

void rx_start(void) {
    irq_set_exclusive_handler(UART0_IRQ, rx_irq);
    uart_set_irq_enables(uart0, true, false); // FIFO level and receive timeout
    irq_set_enabled(UART0_IRQ, true);
}

bool rx_next(uint8_t *c, bool *damaged) {
    const uint32_t out = rx_out;
    if (rx_in == out) return false;
    fence();
    const uint32_t at = out & (RX_SIZE - 1);
    *c = rx_data[at];
    *damaged = (uint32_t{rx_damaged[at / 8]} >> (at & 7u) & 1u) != 0;
    fence();
    rx_out = out + 1;
    return true;
}
