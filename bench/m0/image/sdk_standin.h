// Just enough of the Pico SDK for the board's line writers to build into the
// bare-metal cycle bench image: the UART is a few words of RAM. Its transmit
// register keeps the last line written so the runner can show what was sent.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef unsigned int uint;
typedef int32_t alarm_id_t;

#define NUM_UARTS 2
#define UART_UARTFR_TXFF_BITS 0x20u
#define UART_UARTFR_RXFE_BITS 0x10u

typedef struct {
    volatile uint32_t dr;
    volatile uint32_t fr;
} uart_hw_t;
typedef uart_hw_t uart_inst_t;

extern "C" uart_hw_t bench_uart[NUM_UARTS];
extern "C" short uart_char_to_line_feed[NUM_UARTS];
extern "C" char bench_tx[1024]; // the characters sent, from the start of the current case
extern "C" uint32_t bench_tx_len;

#define uart0 (&bench_uart[0])

static inline uint uart_get_index(uart_inst_t *uart) { return uart == uart0 ? 0u : 1u; }
static inline uart_hw_t *uart_get_hw(uart_inst_t *uart) { return uart; }
static inline bool uart_is_writable(uart_inst_t *uart) { return !(uart->fr & UART_UARTFR_TXFF_BITS); }
static inline bool uart_is_readable(uart_inst_t *uart) { return !(uart->fr & UART_UARTFR_RXFE_BITS); }
static inline void uart_putc_raw(uart_inst_t *uart, char c) {
    uart->dr = static_cast<uint8_t>(c);
    bench_tx[bench_tx_len++ & 1023u] = c;
}
