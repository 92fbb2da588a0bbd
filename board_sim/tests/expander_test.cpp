// The I/O expander on I2C0 as the sampler uses it: register pointer and
// repeated start, active-low inputs, the bus's return codes and timing, and
// the injectable bus faults. (An absent device and wrong readbacks are the
// sampler tests' cases: they fail unless the simulated device shows them.)
#include "sim_test.h"

namespace {

using bytes = std::vector<uint8_t>;

struct Expander : ::testing::Test {
    void SetUp() override { up({}); }
    static void up(const sim::config &cfg) {
        sim::power_on(cfg);
        i2c_init(i2c0, 100000);
        gpio_set_function(12, GPIO_FUNC_I2C);
        gpio_set_function(13, GPIO_FUNC_I2C);
    }
    static int write(bytes b, bool nostop = false) {
        return i2c_write_blocking_until(i2c0, 0x20, b.data(), b.size(), nostop, make_timeout_time_us(2000));
    }
    static int read(uint8_t *dst, size_t n) {
        return i2c_read_blocking_until(i2c0, 0x20, dst, n, false, make_timeout_time_us(2000));
    }
    // A register read as the sampler makes it: the pointer, then a repeated start.
    static bytes read_from(uint8_t reg, size_t n) {
        bytes v(n);
        EXPECT_EQ(write({reg}, true), 1);
        EXPECT_EQ(read(v.data(), n), static_cast<int>(n));
        return v;
    }
};

TEST_F(Expander, WritesAutoIncrementAndInputsReadActiveLowThroughThePolarity) {
    const uint64_t t0 = time_us_64();
    ASSERT_EQ(write({0x02, 0x00, 0x00, 0x0F, 0x00, 0xFF, 0xFF}), 7); // port 0's low nibble inverted
    EXPECT_EQ(time_us_64() - t0, 8u * 90u); // nine bit times a byte, the address byte included
    sim::expander_set_doors(0x01, 0x81);    // door 1 closed; latches 1 and 8 locked
    EXPECT_EQ(read_from(0x00, 2), (bytes{0xFE ^ 0x0F, 0x7E}));
    EXPECT_EQ(read_from(0x04, 4), (bytes{0x0F, 0x00, 0xFF, 0xFF}));
    sim::request_reset(); // the registers survive a reset of the processor, not a power cut
    sim::reset();
    EXPECT_EQ(sim::expander_registers()[4], 0x0F);
    sim::cut_power();
    sim::reset();
    EXPECT_EQ(sim::expander_registers()[4], 0x00);
}

TEST_F(Expander, FaultsFailTheirTransfersAsTheBusReportsThem) {
    uint8_t b = 0;
    uint64_t t0 = time_us_64();
    EXPECT_EQ(i2c_write_timeout_us(i2c0, 0x21, &b, 1, false, 2000), PICO_ERROR_GENERIC); // nobody at 0x21
    EXPECT_EQ(time_us_64() - t0, 90u); // after the address byte
    sim::set_expander_faults({.timeout = true});
    t0 = time_us_64();
    EXPECT_EQ(write({0x02, 0x00}), PICO_ERROR_TIMEOUT);
    EXPECT_EQ(time_us_64() - t0, 2000u); // the clock held low until the deadline
    sim::set_expander_faults({.nack_register = 4});
    EXPECT_EQ(write({0x03, 0x00, 0x00}), 2); // the byte for register 4 is not acknowledged
    EXPECT_EQ(write({0x09, 0x00}), 0);       // no such register
}

TEST_F(Expander, PairedPointerDeviceTogglesWithinTheRegisterPair) {
    sim::config cfg;
    cfg.expander_pointer_pairs = true;
    up(cfg);
    ASSERT_EQ(write({0x06, 0xFF, 0xAA, 0xBB}), 4); // 6, 7, then 6 again
    EXPECT_EQ(read_from(0x06, 3), (bytes{0xBB, 0xAA, 0xBB}));
}

} // namespace
