// Shared set-up for the simulated board's tests: the firmware's side (the
// platform API) and the host's side (board_sim/control.h).
#pragma once

#include "board_sim/control.h"
#include "board_sim/sdk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sim = board_sim;

constexpr uint64_t char_ns = 86800; // one 8N1 character at the 115207 baud the divider gives

inline void uart_up() {
    uart_init(uart0, 115200);
    gpio_set_function(0, GPIO_FUNC_UART);
    gpio_set_function(1, GPIO_FUNC_UART);
}

// Every received character with its error bits, as the data register gives them.
inline std::vector<uint32_t> uart_drain() {
    std::vector<uint32_t> got;
    while (uart_is_readable(uart0)) got.push_back(uart_get_hw(uart0)->dr);
    return got;
}

// The latch outputs low and the feedback input pulled down, as start-up leaves them.
inline void latch_outputs() {
    for (uint pin = 2; pin <= 10; ++pin) {
        gpio_init(pin);
        gpio_clr_mask(1u << pin);
        gpio_set_dir(pin, GPIO_OUT);
    }
    gpio_init(19);
    gpio_set_pulls(19, false, true);
}
