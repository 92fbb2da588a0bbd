// UART0 as the line writer and the receive loop see it: pacing of both
// directions, FIFO depth, overrun and injected receive errors.
#include "board_sim/control.h"
#include "board_sim/sdk.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

class Uart : public ::testing::Test {
protected:
    void SetUp() override {
        board_sim::power_on();
        baud = uart_init(uart0, 115200);
        gpio_set_function(0, GPIO_FUNC_UART);
        gpio_set_function(1, GPIO_FUNC_UART);
    }
    uint baud = 0;
};

TEST_F(Uart, InitReportsTheDividedRateAndNoTranslation) {
    EXPECT_EQ(baud, 115207u);
    EXPECT_EQ(uart_char_to_line_feed[0], 0x100);
    EXPECT_TRUE(uart_is_writable(uart0));
    EXPECT_FALSE(uart_is_readable(uart0));
}

TEST_F(Uart, TransmitIsPacedAndBlocksOnlyOnceTheFifoIsFull) {
    std::vector<std::pair<uint64_t, uint8_t>> wire;
    board_sim::set_uart_tx_hook([&](uint64_t t, uint8_t b) { wire.emplace_back(t, b); });
    std::string text(100, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('0' + i % 10);

    // 33 characters (the shifter and 32 in the FIFO) go in without waiting.
    for (int i = 0; i < 33; ++i) uart_putc_raw(uart0, text[static_cast<size_t>(i)]);
    EXPECT_EQ(time_us_64(), 0u);
    EXPECT_FALSE(uart_is_writable(uart0));
    for (size_t i = 33; i < text.size(); ++i) uart_putc_raw(uart0, text[i]);
    // Each further character waited for one to leave: 67 character times.
    EXPECT_EQ(board_sim::uptime_ns(), 67u * 86800u);

    board_sim::advance(100u * 86800u);
    ASSERT_EQ(wire.size(), text.size());
    for (size_t i = 0; i < wire.size(); ++i) {
        EXPECT_EQ(wire[i].first, (i + 1) * 86800u);
        EXPECT_EQ(wire[i].second, static_cast<uint8_t>(text[i]));
    }
    EXPECT_EQ(board_sim::uart_host_take(), text);
}

TEST_F(Uart, ReceiveIsPacedAndAFullFifoLosesCharactersThenFlagsOverrun) {
    std::string sent;
    for (int i = 0; i < 40; ++i) sent.push_back(static_cast<char>('A' + i % 26));
    board_sim::uart_host_send(sent);
    board_sim::advance(86800u * 10 - 1);
    EXPECT_EQ(board_sim::uart0_status().rx_level, 9u);
    board_sim::advance(86800u * 30 + 1);
    EXPECT_EQ(board_sim::uart0_status().rx_level, 32u);
    EXPECT_EQ(board_sim::uart0_status().rx_lost, 8u);

    std::string got;
    while (uart_is_readable(uart0)) {
        uint32_t dr = uart_get_hw(uart0)->dr;
        EXPECT_EQ(dr & 0xF00u, 0u);
        got.push_back(static_cast<char>(dr & 0xFFu));
    }
    EXPECT_EQ(got, sent.substr(0, 32));

    board_sim::uart_host_send("z");
    board_sim::advance(86800u);
    uint32_t dr = uart_get_hw(uart0)->dr;
    EXPECT_EQ(dr, 'z' | UART_UARTDR_OE_BITS);
    board_sim::uart_host_send("y");
    board_sim::advance(86800u);
    EXPECT_EQ(static_cast<uint32_t>(uart_get_hw(uart0)->dr), static_cast<uint32_t>('y'));
}

TEST_F(Uart, InjectedErrorsTravelWithTheirCharacter) {
    board_sim::uart_host_send("a");
    board_sim::uart_host_send_byte('b', UART_UARTDR_PE_BITS);
    board_sim::uart_host_send_byte('c', UART_UARTDR_FE_BITS);
    board_sim::uart_host_send_break();
    board_sim::advance(4u * 86800u);
    std::vector<uint32_t> got;
    while (uart_is_readable(uart0)) got.push_back(uart_get_hw(uart0)->dr);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], 'a');
    EXPECT_EQ(got[1], 'b' | UART_UARTDR_PE_BITS);
    EXPECT_EQ(got[2], 'c' | UART_UARTDR_FE_BITS);
    EXPECT_EQ(got[3], UART_UARTDR_BE_BITS | UART_UARTDR_FE_BITS);
}

TEST(UartBeforeSetUp, NothingIsReceivedOrSentBeforeThePinsAreUart) {
    board_sim::power_on();
    board_sim::uart_host_send("early");
    board_sim::advance(10u * 86800u);
    uart_init(uart0, 115200);
    uart_putc_raw(uart0, 'q');
    board_sim::advance(86800u);
    EXPECT_FALSE(uart_is_readable(uart0));
    EXPECT_EQ(board_sim::uart0_status().rx_lost, 5u);
    EXPECT_EQ(board_sim::uart_host_take(), "");
    EXPECT_EQ(board_sim::uart0_status().tx_discarded, 1u);
}

} // namespace
