// Input sampling: the door and latch sensors through the 16-bit I/O expander,
// the 24 V rail on the ADC, the power-good input and the latch driver feedback.
#include <stdint.h>

#include "pico_main.h"

uint16_t p24_adc;

namespace {

// Expander registers (PCA9555 numbering).
constexpr uint8_t REG_INPUT0 = 0x00;
constexpr uint8_t REG_POLARITY0 = 0x04;

// The configuration that start-up writes and every sample verifies: outputs
// 0, no polarity inversion, all sixteen pins inputs.
constexpr uint8_t INIT_WRITES[6][2] = {
    {0x02, 0x00}, {0x03, 0x00}, {0x04, 0x00}, {0x05, 0x00}, {0x06, 0xFF}, {0x07, 0xFF},
};
constexpr uint8_t EXPECTED_CONFIG[4] = {0x00, 0x00, 0xFF, 0xFF};

absolute_time_t transfer_deadline() { return from_us_since_boot(time_us_64() + I2C_TIMEOUT_US); }

// Averages four conversions of the rail, stores the result in p24_adc and
// decides power_ok from it, the power-good input and the driver fault latch.
uint8_t check_power() {
    adc_select_input(0);
    uint32_t sum = 0;
    for (int i = 0; i < 4; ++i) sum += adc_read();
    p24_adc = static_cast<uint16_t>(sum / 4u);
    const bool rail_ok = p24_adc >= RAIL_MIN && p24_adc <= RAIL_MAX;
    return rail_ok && gpio_get(PIN_POWER_GOOD) && hal_fault == 0 ? 1 : 0;
}

// While a pulse runs the driver must confirm it on the feedback input once its
// grace time is over; otherwise the outputs are cut and the fault latched.
//
// The board's alarm ends the pulse at its exact deadline, while the
// controller clears its output_mask only at its next tick, up to a tick period
// later. A pulse that has already ended on time is not a driver fault, so the
// feedback only counts while the board's own pulse is still armed. The pin is
// read before the expiry flag: if the alarm fires in between, the low reading
// is recognised as the end of the pulse rather than taken for a fault.
void check_feedback() {
    if (cabinet.output_mask == 0) return;
    const uint64_t now_ms = time_us_64() / 1000u;
    if (now_ms - pulse_started <= FEEDBACK_GRACE_MS) return;
    const bool energised = gpio_get(PIN_FEEDBACK);
    const bool ended = pulse_expired != 0;
    if (energised || ended) return;
    latch_all_off(); // the pending alarm, if any, stays and finds nothing to do
    hal_fault = 1;
}

bool read_inputs(uint8_t ports[2]) {
    const uint8_t input_reg = REG_INPUT0;
    if (i2c_write_blocking_until(i2c0, EXPANDER_ADDR, &input_reg, 1, true, transfer_deadline()) != 1) return false;
    if (i2c_read_blocking_until(i2c0, EXPANDER_ADDR, ports, 2, false, transfer_deadline()) != 2) return false;
    const uint8_t polarity_reg = REG_POLARITY0;
    if (i2c_write_blocking_until(i2c0, EXPANDER_ADDR, &polarity_reg, 1, true, transfer_deadline()) != 1)
        return false;
    uint8_t config[4] = {};
    if (i2c_read_blocking_until(i2c0, EXPANDER_ADDR, config, 4, false, transfer_deadline()) != 4) return false;
    for (int i = 0; i < 4; ++i)
        if (config[i] != EXPECTED_CONFIG[i]) return false;
    return true;
}

} // namespace

bool expander_init(void) {
    for (const auto &w : INIT_WRITES)
        if (i2c_write_timeout_us(i2c0, EXPANDER_ADDR, w, 2, false, I2C_TIMEOUT_US) != 2) return false;
    return true;
}

cabinet_inputs_t sample_inputs(void) {
    check_feedback();
    cabinet_inputs_t s = {};
    s.power_ok = check_power();
    uint8_t ports[2] = {};
    if (read_inputs(ports)) {
        // The sensors pull their expander inputs low for the safe reading.
        s.door_closed_mask = static_cast<uint8_t>(~ports[0]);
        s.latch_locked_mask = static_cast<uint8_t>(~ports[1]);
        s.inputs_valid = 1;
    }
    return s;
}

cabinet_inputs_t fallback_sample(void) {
    cabinet_inputs_t s = {};
    s.power_ok = check_power();
    return s;
}
