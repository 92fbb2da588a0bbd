// Start-up in its fixed order, and the main loop: periodic controller steps
// that feed the watchdog, line reception and assembly, command dispatch with
// its acks, and the periodic state line.
#include <string.h>

#include "pico_main.h"

cabinet_t cabinet;

namespace {

// What the entry function keeps for the whole run. Kept in one record so that
// start-up can clear it like RAM at reset.
struct loop_t {
    char session_id[SESSION_BUF];
    bool identity_ok;
    bool expander_present;
    char line[CABINET_LINE_MAX + 1];
    size_t line_len;
    bool line_overflow; // the line passed 512 characters; the rest is dropped
    bool line_damaged;  // a character of the line was lost or received in error
    cabinet_cmd_t cmd;
    uint64_t last_tick_ms;
    uint64_t last_state_ms;
};

loop_t loop;

uint64_t now_ms() { return time_us_64() / 1000u; }

void init_latch_outputs() {
    // Each pin is driven low before it becomes an output, the enable first.
    const uint pins[] = {PIN_ENABLE, 2, 3, 4, 5, 6, 7, 8, 9};
    for (uint pin : pins) {
        gpio_init(pin);
        gpio_clr_mask(1u << pin);
        gpio_set_dir(pin, GPIO_OUT);
    }
    latch_all_off();
}

void init_inputs() {
    gpio_init(PIN_FEEDBACK);
    gpio_set_dir(PIN_FEEDBACK, GPIO_IN);
    gpio_set_pulls(PIN_FEEDBACK, false, true);
    gpio_init(PIN_POWER_GOOD);
    gpio_set_dir(PIN_POWER_GOOD, GPIO_IN);
    gpio_set_pulls(PIN_POWER_GOOD, true, false);
    gpio_init(PIN_SPARE);
    gpio_set_dir(PIN_SPARE, GPIO_IN);
    gpio_set_pulls(PIN_SPARE, true, false);
}

void init_uart() {
    (void)uart_init(uart0, UART_BAUD);
    gpio_set_function(PIN_UART_TX, GPIO_FUNC_UART);
    gpio_set_function(PIN_UART_RX, GPIO_FUNC_UART);
    uart_set_format(uart0, 8, 1, UART_PARITY_NONE);
    uart_set_hw_flow(uart0, false, false);
    rx_start();
}

void init_i2c() {
    (void)i2c_init(i2c0, I2C_BAUD);
    gpio_set_function(PIN_I2C_SDA, GPIO_FUNC_I2C);
    gpio_set_function(PIN_I2C_SCL, GPIO_FUNC_I2C);
    gpio_set_pulls(PIN_I2C_SDA, true, false);
    gpio_set_pulls(PIN_I2C_SCL, true, false);
}

void init_adc() {
    adc_init();
    adc_gpio_init(PIN_RAIL_ADC); // function none, no pulls, digital input off
    adc_select_input(0);
}

void dispatch(cabinet_cmd_t *cmd) {
    switch (cmd->kind) {
    case CABINET_CMD_STATE:
        state(); // the state line is the whole answer
        return;
    case CABINET_CMD_HEARTBEAT:
        ack(cmd, cabinet_heartbeat(&cabinet, cmd->args.session_id) ? "heartbeat_ok" : "session_mismatch");
        return;
    case CABINET_CMD_OPEN:
        ack(cmd, cabinet_open(&cabinet, &cmd->args));
        return;
    case CABINET_CMD_CLEAR_FAULT:
        ack(cmd, cabinet_clear_fault(&cabinet, cmd->args.session_id) ? "cleared" : "clear_denied");
        return;
    default:
        ack(cmd, "invalid_message");
        return;
    }
}

void complete_line() {
    // A line that lost characters may read as a different valid command, so
    // it is refused whole, whatever it now says.
    if (loop.line_damaged) {
        ack(nullptr, "invalid_message");
        return;
    }
    if (loop.line_overflow) {
        ack(nullptr, "message_too_long");
        return;
    }
    loop.line[loop.line_len] = '\0';
    if (!cabinet_parse(loop.line, loop.line_len, false, &loop.cmd)) {
        ack(nullptr, "invalid_message");
        return;
    }
    // Act on the inputs and the time as they are now, not as of the last step.
    const uint64_t t_us = time_us_64();
    const cabinet_inputs_t sample = sample_inputs();
    cabinet_tick(&cabinet, t_us / 1000u, sample);
    dispatch(&loop.cmd);
}

void receive_char(uint8_t c, bool damaged) {
    if (c == '\n') {
        loop.line_damaged = loop.line_damaged || damaged;
        complete_line();
        loop.line_len = 0;
        loop.line_overflow = false;
        loop.line_damaged = false;
        return;
    }
    if (damaged) loop.line_damaged = true;
    if (loop.line_overflow) return;
    if (loop.line_len == CABINET_LINE_MAX) {
        loop.line_overflow = true;
        return;
    }
    loop.line[loop.line_len++] = static_cast<char>(c);
}

} // namespace

void pico_startup(void) {
    // What the C runtime does to RAM at reset, so that start-up can run again.
    memset(&cabinet, 0, sizeof cabinet);
    memset(&loop, 0, sizeof loop);
    pulse_alarm = 0;
    pulse_expired = 0;
    pulse_started = 0;
    hal_fault = 0;
    p24_adc = 0;
    rx_reset();

    init_latch_outputs();
    init_inputs();
    loop.identity_ok = boot_record_step(loop.session_id); // before the UART: reports nothing itself
    init_uart();
    init_i2c();
    loop.expander_present = expander_init();
    init_adc();
    cabinet_init(&cabinet, outputs, emit, nullptr, loop.session_id, loop.identity_ok, now_ms());
    watchdog_enable(WATCHDOG_MS, false);
    state();
}

void pico_loop_pass(void) {
    const uint64_t pass_ms = now_ms();

    if (pass_ms - loop.last_tick_ms >= TICK_PERIOD_MS) {
        const cabinet_inputs_t sample = loop.expander_present ? sample_inputs() : fallback_sample();
        cabinet_tick(&cabinet, pass_ms, sample);
        watchdog_update();
        loop.last_tick_ms = pass_ms;
    }

    for (unsigned i = 0; i < RX_PER_PASS; ++i) {
        uint8_t c = 0;
        bool damaged = false;
        if (!rx_next(&c, &damaged)) break;
        receive_char(c, damaged);
    }

    if (pass_ms - loop.last_state_ms >= STATE_PERIOD_MS) {
        state();
        loop.last_state_ms = pass_ms;
    }

    sleep_ms(1);
}
