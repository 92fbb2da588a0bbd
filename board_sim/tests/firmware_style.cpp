// Uses the platform API the way the board firmware does, compiled with the
// firmware's flags (no exceptions, strict conversions), so that the header
// stays usable from firmware code.
#include "firmware_style.h"

#include "board_sim/sdk.h"

#include <cstdio>

namespace {
volatile alarm_id_t fw_alarm = 0;
volatile uint8_t fw_expired = 0;

int64_t fw_deadline(alarm_id_t, void *) {
    gpio_clr_mask(1u << 10);
    fw_expired = 1;
    fw_alarm = 0;
    return 0;
}
} // namespace

extern "C" int fw_style_exercise(void) {
    for (uint pin = 2; pin <= 10; ++pin) {
        gpio_init(pin);
        gpio_clr_mask(1u << pin);
        gpio_set_dir(pin, GPIO_OUT);
    }
    gpio_init(19);
    gpio_set_dir(19, GPIO_IN);
    gpio_set_pulls(19, false, true);
    gpio_put(3, true);
    gpio_put(3, false);

    uint baud = uart_init(uart0, 115200);
    gpio_set_function(0, GPIO_FUNC_UART);
    gpio_set_function(1, GPIO_FUNC_UART);
    uart_set_format(uart0, 8, 1, UART_PARITY_NONE);
    uart_set_hw_flow(uart0, false, false);
    uart_get_hw(uart0)->cr &= ~(UART_UARTCR_CTSEN_BITS | UART_UARTCR_RTSEN_BITS);
    const char *text = "hi";
    for (const char *p = text; *p; ++p) {
        if (uart_char_to_line_feed[uart_get_index(uart0)] == *p) uart_putc_raw(uart0, '\r');
        while (uart_get_hw(uart0)->fr & UART_UARTFR_TXFF_BITS) {
        }
        uart_get_hw(uart0)->dr = static_cast<uint8_t>(*p);
    }
    uart_putc_raw(uart0, '\n');
    while (uart_is_readable(uart0)) {
        uint32_t dr = uart_get_hw(uart0)->dr;
        (void)static_cast<uint8_t>(dr & 0xFFu);
    }
    (void)uart_is_writable(uart0);

    (void)i2c_init(i2c0, 100000);
    gpio_set_function(12, GPIO_FUNC_I2C);
    gpio_set_function(13, GPIO_FUNC_I2C);
    gpio_set_pulls(12, true, false);
    const uint8_t w[2] = {0x06, 0xFF};
    int rc = i2c_write_timeout_us(i2c0, 0x20, w, 2, false, 2000);
    uint8_t r[4] = {};
    const uint8_t ptr = 0x04;
    (void)i2c_write_blocking_until(i2c0, 0x20, &ptr, 1, true, make_timeout_time_us(2000));
    (void)i2c_read_blocking_until(i2c0, 0x20, r, 4, false, make_timeout_time_us(2000));

    adc_init();
    adc_gpio_init(26);
    adc_select_input(0);
    uint16_t a = adc_read();

    uint64_t now_ms = time_us_64() / 1000u;
    absolute_time_t t = from_us_since_boot(time_us_64() + 100000u);
    fw_alarm = alarm_pool_add_alarm_at(alarm_pool_get_default(), t, fw_deadline, nullptr, true);
    uint32_t save = save_and_disable_interrupts();
    if (!fw_expired) gpio_set_mask(1u << 10);
    restore_interrupts(save);
    (void)alarm_pool_cancel_alarm(alarm_pool_get_default(), fw_alarm);
    (void)to_us_since_boot(t);

    watchdog_enable(1500, false);
    watchdog_update();

    if (reinterpret_cast<uintptr_t>(&__flash_binary_end) < XIP_BASE + 0x1FE000u) {
        const uint8_t *store = reinterpret_cast<const uint8_t *>(XIP_BASE + 0x1FE000u);
        uint8_t page[FLASH_PAGE_SIZE];
        for (uint i = 0; i < FLASH_PAGE_SIZE; ++i) page[i] = static_cast<uint8_t>(store[i] & 0x7Fu);
        uint32_t irq = save_and_disable_interrupts();
        flash_range_erase(0x1FE000u, FLASH_SECTOR_SIZE);
        flash_range_program(0x1FE000u, page, FLASH_PAGE_SIZE);
        restore_interrupts(irq);
    }
    char id[17];
    pico_get_unique_board_id_string(id, sizeof id);
    char session[49];
    std::snprintf(session, sizeof session, "%s-%016llx", id, static_cast<unsigned long long>(now_ms + 1));
    sleep_ms(1);
    sleep_us(10);
    return rc + static_cast<int>(baud != 0) + static_cast<int>(a != 0) + static_cast<int>(PICO_FLASH_SIZE_BYTES > 0) +
           static_cast<int>(NUM_UARTS) + PICO_ERROR_GENERIC + PICO_ERROR_TIMEOUT + (GPIO_FUNC_NULL != GPIO_FUNC_SIO);
}
