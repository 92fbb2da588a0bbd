// The platform header used the way the board firmware uses it, built with the
// firmware's flags (no exceptions, strict conversions), so that the header
// stays usable from firmware code even where the firmware itself is not built.
#include "board_sim/sdk.h"

namespace {

int64_t deadline(alarm_id_t, void *) {
    gpio_clr_mask(1u << 10);
    return 0;
}

} // namespace

extern "C" int fw_style_exercise(void) {
    uart_set_hw_flow(uart0, false, false);
    uart_get_hw(uart0)->cr &= ~(UART_UARTCR_CTSEN_BITS | UART_UARTCR_RTSEN_BITS);
    if (uart_char_to_line_feed[uart_get_index(uart0)] == '\r' && uart_is_writable(uart0))
        uart_get_hw(uart0)->dr = static_cast<uint8_t>('\r');
    const uint32_t dr = uart_is_readable(uart0) ? uart_get_hw(uart0)->dr : 0u;
    const uint8_t reg = 0x04;
    const int rc = i2c_write_timeout_us(i2c0, 0x20, &reg, 1, true, 2000);
    const alarm_id_t id = alarm_pool_add_alarm_at(alarm_pool_get_default(),
                                                  from_us_since_boot(time_us_64() + 100000u), deadline, nullptr, true);
    const uint32_t save = save_and_disable_interrupts();
    restore_interrupts(save);
    const bool fits = reinterpret_cast<uintptr_t>(&__flash_binary_end) < XIP_BASE + PICO_FLASH_SIZE_BYTES - 8192u;
    return rc + id + static_cast<int>(dr & UART_UARTDR_DATA_BITS) + (fits ? 1 : 0) + static_cast<int>(FLASH_SECTOR_SIZE % 2u);
}
