// The I/O expander on I2C0 as the sampler uses it: register pointer and
// repeated start, active-low inputs, the bus's return codes and timing, and
// the injectable device faults.
#include "board_sim/control.h"
#include "board_sim/sdk.h"

#include <gtest/gtest.h>

#include <array>

namespace {

constexpr uint8_t addr = 0x20;

class Expander : public ::testing::Test {
protected:
    void SetUp() override { SetUpWith({}); }
    void SetUpWith(const board_sim::config &cfg) {
        board_sim::power_on(cfg);
        i2c_init(i2c0, 100000);
        gpio_set_function(12, GPIO_FUNC_I2C);
        gpio_set_function(13, GPIO_FUNC_I2C);
    }
    int write(std::initializer_list<uint8_t> bytes, bool nostop = false) {
        std::array<uint8_t, 8> buf{};
        size_t n = 0;
        for (uint8_t b : bytes) buf[n++] = b;
        return i2c_write_blocking_until(i2c0, addr, buf.data(), n, nostop, make_timeout_time_us(2000));
    }
    int read(uint8_t *dst, size_t n) {
        return i2c_read_blocking_until(i2c0, addr, dst, n, false, make_timeout_time_us(2000));
    }
    // The sampler's two reads: input ports, then the four configuration registers.
    bool sample(uint8_t ports[2], uint8_t cfg[4]) {
        return write({0x00}, true) == 1 && read(ports, 2) == 2 && write({0x04}, true) == 1 && read(cfg, 4) == 4;
    }
};

TEST_F(Expander, ConfiguredDeviceReadsBackInputsActiveLowAndRegistersInOrder) {
    for (auto [reg, value] : {std::pair{2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0xFF}, {7, 0xFF}})
        ASSERT_EQ(write({static_cast<uint8_t>(reg), static_cast<uint8_t>(value)}), 2);
    board_sim::expander_set_doors(0x01, 0x81); // door 1 closed; latches 1 and 8 locked
    uint8_t ports[2] = {}, cfg[4] = {};
    ASSERT_TRUE(sample(ports, cfg));
    EXPECT_EQ(ports[0], 0xFE);
    EXPECT_EQ(ports[1], 0x7E);
    EXPECT_EQ(cfg[0], 0x00);
    EXPECT_EQ(cfg[1], 0x00);
    EXPECT_EQ(cfg[2], 0xFF);
    EXPECT_EQ(cfg[3], 0xFF);
}

TEST_F(Expander, TransfersTakeNineBitTimesPerByteAndWritesAutoIncrement) {
    uint64_t t0 = time_us_64();
    ASSERT_EQ(write({0x02, 0x12, 0x34}), 3);
    EXPECT_EQ(time_us_64() - t0, 4u * 90u);
    auto regs = board_sim::expander_registers();
    EXPECT_EQ(regs[2], 0x12);
    EXPECT_EQ(regs[3], 0x34);
    // Polarity inversion applies to the input ports.
    ASSERT_EQ(write({0x04, 0x0F}), 2);
    board_sim::expander_set_inputs(0x00, 0x00);
    uint8_t in[2] = {};
    ASSERT_EQ(write({0x00}, true), 1);
    ASSERT_EQ(read(in, 2), 2);
    EXPECT_EQ(in[0], 0x0F);
}

TEST_F(Expander, MissingDeviceOrWrongAddressIsGenericErrorAfterTheAddressByte) {
    uint8_t b = 0;
    uint64_t t0 = time_us_64();
    EXPECT_EQ(i2c_write_timeout_us(i2c0, 0x21, &b, 1, false, 2000), PICO_ERROR_GENERIC);
    EXPECT_EQ(time_us_64() - t0, 90u);
    board_sim::set_expander_faults({.absent = true});
    EXPECT_EQ(write({0x02, 0x00}), PICO_ERROR_GENERIC);
    EXPECT_EQ(read(&b, 1), PICO_ERROR_GENERIC);
}

TEST_F(Expander, StretchedClockTimesOutAtTheDeadline) {
    board_sim::set_expander_faults({.timeout = true});
    uint64_t t0 = time_us_64();
    EXPECT_EQ(write({0x02, 0x00}), PICO_ERROR_TIMEOUT);
    EXPECT_EQ(time_us_64() - t0, 2000u);
    // A deadline already passed fails at once.
    board_sim::set_expander_faults({});
    uint8_t b = 0;
    EXPECT_EQ(i2c_read_blocking_until(i2c0, addr, &b, 1, false, time_us_64()), PICO_ERROR_TIMEOUT);
}

TEST_F(Expander, NotAcknowledgedRegisterStopsTheWriteThere) {
    board_sim::set_expander_faults({.nack_register = 4});
    EXPECT_EQ(write({0x04, 0x00}), 1);
    EXPECT_EQ(write({0x03, 0x00, 0x00}), 2); // the byte that lands in register 4
    EXPECT_EQ(write({0x09, 0x00}), 0);       // no such register
    EXPECT_EQ(write({0x06, 0xFF}), 2);
}

TEST_F(Expander, WrongReadbackFailsOnlyTheVerification) {
    for (auto [reg, value] : {std::pair{4, 0}, {5, 0}, {6, 0xFF}, {7, 0xFF}})
        ASSERT_EQ(write({static_cast<uint8_t>(reg), static_cast<uint8_t>(value)}), 2);
    uint8_t ports[2] = {}, cfg[4] = {};
    board_sim::set_expander_faults({.polarity_readback = 0x01});
    ASSERT_TRUE(sample(ports, cfg));
    EXPECT_EQ(cfg[0], 0x01);
    board_sim::set_expander_faults({.config_readback = 0x7F});
    ASSERT_TRUE(sample(ports, cfg));
    EXPECT_EQ(cfg[0], 0x00);
    EXPECT_EQ(cfg[3], 0x7F);
}

TEST_F(Expander, PairedPointerDeviceRepeatsTheRegisterPair) {
    board_sim::config cfg;
    cfg.expander_pointer_pairs = true;
    SetUpWith(cfg);
    ASSERT_EQ(write({0x06, 0xFF, 0xAA, 0xBB}), 4); // 6, 7, then 6 again
    uint8_t regs[4] = {};
    ASSERT_EQ(write({0x04}, true), 1);
    ASSERT_EQ(read(regs, 4), 4);
    EXPECT_EQ(regs[2], 0x00);
    EXPECT_EQ(board_sim::expander_registers()[6], 0xBB);
    EXPECT_EQ(board_sim::expander_registers()[7], 0xAA);
}

TEST_F(Expander, RegistersSurviveAWatchdogResetButNotAPowerCut) {
    ASSERT_EQ(write({0x02, 0x55}), 2);
    board_sim::request_reset();
    board_sim::reset();
    EXPECT_EQ(board_sim::expander_registers()[2], 0x55);
    board_sim::cut_power();
    board_sim::reset();
    EXPECT_EQ(board_sim::expander_registers()[2], 0xFF);
}

} // namespace
