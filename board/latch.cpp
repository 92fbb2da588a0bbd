// Latch output driver: one door pin and the common enable for one pulse, ended
// on time by a one-shot alarm even when the main loop is busy.
#include <stdint.h>

#include "pico_main.h"

volatile alarm_id_t pulse_alarm;
volatile uint8_t pulse_expired;
uint64_t pulse_started;
uint8_t hal_fault;

namespace {

constexpr uint32_t PULSE_MIN_MS = 100;
constexpr uint32_t PULSE_MAX_MS = 1000;

} // namespace

void latch_all_off(void) {
    // The enable first, so that no door pin is ever live on its own account;
    // the SIO clear register cannot undo a concurrent write from the alarm.
    gpio_clr_mask(1u << PIN_ENABLE);
    for (uint pin = PIN_DOOR_FIRST; pin < PIN_DOOR_FIRST + CABINET_DOORS; ++pin) gpio_clr_mask(1u << pin);
}

int64_t pulse_deadline(alarm_id_t id, void *user) {
    (void)id;
    (void)user;
    latch_all_off();
    pulse_expired = 1;
    pulse_alarm = 0;
    return 0; // one-shot
}

void outputs(void *user, uint8_t mask, uint32_t pulse_ms) {
    (void)user;
    latch_all_off();

    // A deadline firing between the read and the clear clears it too, and
    // cancelling an alarm that has already fired does nothing.
    const alarm_id_t pending = pulse_alarm;
    pulse_alarm = 0;
    if (pending > 0) (void)alarm_pool_cancel_alarm(alarm_pool_get_default(), pending);

    if (mask == 0) return;

    const bool one_door = (mask & (mask - 1)) == 0;
    const bool length_ok = pulse_ms >= PULSE_MIN_MS && pulse_ms <= PULSE_MAX_MS;
    // A driver that reports energised before being switched on is not to be trusted.
    if (!one_door || !length_ok || gpio_get(PIN_FEEDBACK)) {
        hal_fault = 1;
        return;
    }

    pulse_started = time_us_64() / 1000u;
    pulse_expired = 0;

    const uint64_t now_us = time_us_64();
    const uint64_t length_us = uint64_t{pulse_ms} * 1000u;
    constexpr uint64_t LATEST = static_cast<uint64_t>(INT64_MAX);
    const uint64_t deadline_us = now_us > LATEST - length_us ? LATEST : now_us + length_us;
    const alarm_id_t id = alarm_pool_add_alarm_at(alarm_pool_get_default(), from_us_since_boot(deadline_us),
                                                  pulse_deadline, nullptr, true);
    if (id <= 0) {
        hal_fault = 1;
        return;
    }
    pulse_alarm = id;

    // With interrupts masked, a deadline that already fired can never be
    // followed by a late switch-on.
    const uint32_t saved = save_and_disable_interrupts();
    if (pulse_expired == 0) {
        for (uint i = 0; i < CABINET_DOORS; ++i) {
            const uint32_t pin_bit = 1u << (PIN_DOOR_FIRST + i);
            if ((uint32_t{mask} >> i & 1u) != 0)
                gpio_set_mask(pin_bit);
            else
                gpio_clr_mask(pin_bit);
        }
        gpio_set_mask(1u << PIN_ENABLE);
    }
    restore_interrupts(saved);
}
