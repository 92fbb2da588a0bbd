// The board firmware: start-up, the main loop and command dispatch, the boot
// record store, input sampling, the latch output driver and the line writers.
//
// On the real board main() runs pico_startup() once and then pico_loop_pass()
// forever. Split this way, a simulated board can run the same firmware pass by
// pass and start it again after a simulated reset.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cabinet.h"
#include "platform.h"
#include "protocol.h"

// ---- Pins (RP2040 GPIO numbers) ----------------------------------------------
constexpr uint PIN_UART_TX = 0;
constexpr uint PIN_UART_RX = 1;
constexpr uint PIN_DOOR_FIRST = 2; // door n releases on GPIO n+1, up to GPIO9
constexpr uint PIN_ENABLE = 10;    // common enable of the latch outputs
constexpr uint PIN_I2C_SDA = 12;
constexpr uint PIN_I2C_SCL = 13;
constexpr uint PIN_SPARE = 14;
constexpr uint PIN_POWER_GOOD = 18;
constexpr uint PIN_FEEDBACK = 19; // high while the latch driver is energised
constexpr uint PIN_RAIL_ADC = 26; // divided 24 V rail, ADC input 0

// ---- Timing and limits of the board ------------------------------------------
constexpr uint32_t UART_BAUD = 115200;
constexpr uint I2C_BAUD = 100000;
constexpr uint8_t EXPANDER_ADDR = 0x20;
constexpr uint32_t I2C_TIMEOUT_US = 2000;
constexpr uint32_t WATCHDOG_MS = 1500;
constexpr uint64_t TICK_PERIOD_MS = 5;
constexpr uint64_t STATE_PERIOD_MS = 1000;
constexpr unsigned RX_PER_PASS = 64;
constexpr uint16_t RAIL_MIN = 2440; // averaged ADC counts, inclusive window
constexpr uint16_t RAIL_MAX = 2980;
constexpr uint64_t FEEDBACK_GRACE_MS = 4; // the driver may take this long to energise
constexpr size_t LINE_BUF = 512;          // outbound lines, terminator included
constexpr size_t SESSION_BUF = CABINET_SESSION_ID_MAX + 1;

// ---- Board globals (zero at reset; pico_startup zeroes them again) -----------
extern cabinet_t cabinet;
extern volatile alarm_id_t pulse_alarm;  // pending pulse alarm, 0 = none
extern volatile uint8_t pulse_expired;   // the last scheduled pulse reached its deadline
extern uint64_t pulse_started;           // ms since boot when the last pulse started
extern uint8_t hal_fault;                // latched board-level driver fault
extern uint16_t p24_adc;                 // latest averaged 24 V rail reading

// ---- Entry points --------------------------------------------------------------
void pico_startup(void);
void pico_loop_pass(void);

// ---- Boot record store and session identity ------------------------------------
// Takes the next boot number from the store in the last 8 KB of flash, writes
// it back, verifies it and formats the session identifier into session_id
// (SESSION_BUF characters, zeroed by the caller). Returns the identity flag;
// on false the buffer is left as it was.
bool boot_record_step(char *session_id);

// ---- Input sampling -----------------------------------------------------------
bool expander_init(void);              // six configuration writes; true if all succeeded
cabinet_inputs_t sample_inputs(void);  // expander, rail, power-good and driver feedback
cabinet_inputs_t fallback_sample(void); // rail and power-good only, no bus traffic

// ---- Latch output driver -------------------------------------------------------
void outputs(void *user, uint8_t mask, uint32_t pulse_ms);
int64_t pulse_deadline(alarm_id_t id, void *user);
void latch_all_off(void); // GPIO10 first, then GPIO2..GPIO9, one pin per write

// ---- Outbound lines -------------------------------------------------------------
void state(void);
void emit(void *user, const char *session_id, uint64_t event_seq, uint64_t uptime_ms,
          const char *code, const char *request_id, uint8_t door_id);
void ack(const cabinet_cmd_t *cmd, const char *code);
void write_line(const char *text); // text, then one line feed, on UART0

// ---- Reception ------------------------------------------------------------------
// The UART0 receive interrupt (FIFO level and receive timeout) moves every
// received character into a software buffer of RX_IN_FLIGHT characters, the
// most a host may have unanswered in flight; the main loop reads only the
// buffer.
constexpr uint32_t RX_IN_FLIGHT = 8192;
void rx_reset(void); // empties the buffer; before the UART is set up
void rx_start(void); // installs and enables the receive interrupt; after the UART is set up
// Next received character in arrival order; false when nothing is waiting.
// *damaged is set when the UART reported an error on the character, or
// characters were lost before it (the UART's FIFO or the buffer overflowed).
bool rx_next(uint8_t *c, bool *damaged);
