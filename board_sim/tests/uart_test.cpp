// UART0 as the line writer and the receive loop see it: pacing of both
// directions, FIFO depth, overrun and injected receive errors.
#include "sim_test.h"

namespace {

struct Uart : ::testing::Test {
    void SetUp() override {
        sim::power_on();
        uart_up();
    }
};

TEST_F(Uart, TransmitIsPacedAndBlocksOnlyOnceTheFifoIsFull) {
    std::vector<uint64_t> times;
    sim::set_uart_tx_hook([&](uint64_t t, uint8_t) { times.push_back(t); });
    std::string text;
    for (int i = 0; i < 100; ++i) text.push_back(static_cast<char>('0' + i % 10));
    for (size_t i = 0; i < 33; ++i) uart_putc_raw(uart0, text[i]); // the shifter and 32 in the FIFO
    EXPECT_EQ(time_us_64(), 0u);
    EXPECT_FALSE(uart_is_writable(uart0));
    for (size_t i = 33; i < text.size(); ++i) uart_putc_raw(uart0, text[i]);
    EXPECT_EQ(sim::uptime_ns(), 67 * char_ns); // each further one waited for one to leave
    sim::advance(100 * char_ns);
    EXPECT_EQ(sim::uart_host_take(), text);
    ASSERT_EQ(times.size(), text.size());
    for (size_t i = 0; i < times.size(); ++i) EXPECT_EQ(times[i], (i + 1) * char_ns);
}

TEST_F(Uart, ReceiveIsPacedAndAFullFifoLosesCharactersThenFlagsOverrun) {
    const std::string sent = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmn";
    sim::uart_host_send(sent);
    sim::advance(10 * char_ns - 1);
    EXPECT_EQ(sim::uart0_status().rx_level, 9u);
    sim::advance(30 * char_ns + 1);
    EXPECT_EQ(sim::uart0_status().rx_lost, 8u);
    EXPECT_EQ(uart_drain(), std::vector<uint32_t>(sent.begin(), sent.begin() + 32));
    sim::uart_host_send("zy");
    sim::advance(2 * char_ns);
    EXPECT_EQ(uart_drain(), (std::vector<uint32_t>{'z' | UART_UARTDR_OE_BITS, 'y'}));
}

TEST_F(Uart, InjectedErrorsTravelWithTheirCharacter) {
    sim::uart_host_send("a");
    sim::uart_host_send_byte('b', UART_UARTDR_PE_BITS);
    sim::uart_host_send_byte('c', UART_UARTDR_FE_BITS);
    sim::uart_host_send_break();
    sim::advance(4 * char_ns);
    EXPECT_EQ(uart_drain(), (std::vector<uint32_t>{'a', 'b' | UART_UARTDR_PE_BITS, 'c' | UART_UARTDR_FE_BITS,
                                                   UART_UARTDR_BE_BITS | UART_UARTDR_FE_BITS}));
}

std::string irq_got; // what the receive interrupt handler read, and how often it ran
unsigned irq_runs;
void on_receive() {
    ++irq_runs;
    for (uint32_t c : uart_drain()) irq_got.push_back(static_cast<char>(c));
}

TEST_F(Uart, ReceiveInterruptOnTheFifoLevelAndTheTimeoutHeldOffWhileMasked) {
    irq_got.clear(), irq_runs = 0;
    irq_set_exclusive_handler(UART0_IRQ, on_receive);
    uart_set_irq_enables(uart0, true, false);
    irq_set_enabled(UART0_IRQ, true);
    sim::uart_host_send("abcdef");
    sim::advance(4 * char_ns - 1);
    EXPECT_EQ(irq_runs, 0u); // three characters: below the level of four
    sim::advance(1);
    EXPECT_EQ(irq_got, "abcd");
    const uint64_t timeout_ns = 32ull * 1000000000ull / 115207; // 32 bit periods at the divider's rate
    sim::advance(2 * char_ns + timeout_ns - 1);
    EXPECT_EQ(irq_runs, 1u);
    sim::advance(1);
    EXPECT_EQ(irq_got, "abcdef"); // the timeout took the last two

    const uint32_t saved = save_and_disable_interrupts();
    sim::uart_host_send("ghij");
    sim::advance(10 * char_ns);
    EXPECT_EQ(sim::uart0_status().rx_level, 4u);
    restore_interrupts(saved); // held off until here
    EXPECT_EQ(irq_got, "abcdefghij");
    EXPECT_EQ(irq_runs, 3u);

    irq_set_enabled(UART0_IRQ, false);
    sim::uart_host_send("klmn");
    sim::advance(10 * char_ns);
    EXPECT_EQ(irq_runs, 3u);
    irq_set_enabled(UART0_IRQ, true); // already due: taken at once
    EXPECT_EQ(irq_got, "abcdefghijklmn");
    EXPECT_EQ(sim::api_misuse(), 0u);
}

TEST(UartBeforeSetUp, NothingIsReceivedOrSentBeforeThePinsAreUart) {
    sim::power_on();
    sim::uart_host_send("early");
    sim::advance(5 * char_ns);
    uart_init(uart0, 115200);
    uart_putc_raw(uart0, 'q');
    sim::advance(char_ns);
    EXPECT_FALSE(uart_is_readable(uart0));
    EXPECT_EQ(sim::uart_host_take(), "");
    EXPECT_EQ(sim::uart0_status().rx_lost + sim::uart0_status().tx_discarded, 6u);
}

} // namespace
