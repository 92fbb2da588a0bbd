// The one place where the board firmware chooses its platform: the Pico SDK on
// the real board, or the simulated board's implementation of the same SDK
// subset on a host. Board sources include this header and nothing else from
// either platform, so they compile unchanged for both.
#pragma once

#if defined(CABINET_BOARD_SIM)
#include "board_sim/sdk.h"
#elif defined(CABINET_BOARD_STANDIN)
#include "sdk_standin.h" // the bare-metal cycle bench: a UART made of RAM
#else
#include "hardware/adc.h"
#include "hardware/flash.h"
#include "hardware/gpio.h"
#include "hardware/i2c.h"
#include "hardware/irq.h"
#include "hardware/sync.h"
#include "hardware/uart.h"
#include "hardware/watchdog.h"
#include "pico/stdlib.h"
#include "pico/time.h"
#include "pico/unique_id.h"

// End of the firmware image in flash, provided by the linker script.
extern "C" char __flash_binary_end;
// The UART driver's CR/LF translation character per UART (0x100: none); the
// SDK declares it only inside its own output functions.
extern "C" short uart_char_to_line_feed[NUM_UARTS];
#endif
