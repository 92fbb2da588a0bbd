// The flash as the boot record store relies on it: NOR rules, alignment,
// torn operations on power loss, and the file that keeps the store region
// from one run to the next.
#include "sim_test.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>

namespace {

constexpr uint32_t store = sim::store_offset;

const uint8_t *mapped(uint32_t offset) { return reinterpret_cast<const uint8_t *>(XIP_BASE + offset); }

// A page of v programmed, and a sector erased, with interrupts masked as the firmware does.
void program(uint32_t offset, uint8_t v) {
    std::array<uint8_t, FLASH_PAGE_SIZE> p;
    p.fill(v);
    const uint32_t irq = save_and_disable_interrupts();
    flash_range_program(offset, p.data(), p.size());
    restore_interrupts(irq);
}

void erase(uint32_t offset) {
    const uint32_t irq = save_and_disable_interrupts();
    flash_range_erase(offset, FLASH_SECTOR_SIZE);
    restore_interrupts(irq);
}

TEST(Flash, ProgramOnlyClearsBitsEraseSetsTheSectorAndBadCallsChangeNothing) {
    sim::power_on();
    program(store, 0xF0);
    program(store, 0x3C);
    EXPECT_EQ(mapped(store)[255], 0x30);
    EXPECT_EQ(mapped(store)[256], 0xFF);
    erase(store);
    const uint8_t zeros[FLASH_PAGE_SIZE] = {};
    flash_range_program(store + 1, zeros, 256); // misaligned, and with interrupts enabled
    flash_range_program(store, zeros, 255);
    flash_range_erase(store + 256, FLASH_SECTOR_SIZE);
    flash_range_erase(0x1FF000, 2 * FLASH_SECTOR_SIZE); // past the end
    EXPECT_TRUE(std::all_of(mapped(store), mapped(store) + 8192, [](uint8_t b) { return b == 0xFF; }));
    const auto c = sim::flash_counters();
    EXPECT_EQ(std::tuple(c.programs, c.erases, c.rejected, c.unmasked), std::tuple(2u, 1u, 4u, 0u));
}

TEST(Flash, PowerCutTearsTheChosenOperationAndStopsTheBoard) {
    sim::power_on();
    program(store, 0x00);
    sim::flash_power_cut(1, 100); // the second operation from now
    erase(store);
    EXPECT_FALSE(sim::reset_pending());
    program(store, 0x11); // torn after 100 bytes
    EXPECT_EQ(sim::pending_reset_cause(), sim::reset_cause::power_cut);
    EXPECT_EQ(mapped(store)[99], 0x11);
    EXPECT_EQ(mapped(store)[100], 0xFF);
    program(store + 256, 0x00); // the board is down: nothing happens
    EXPECT_EQ(mapped(store + 256)[0], 0xFF);
    sim::reset();
    program(store + FLASH_SECTOR_SIZE, 0x00);
    sim::flash_power_cut(0, 100);
    erase(store + FLASH_SECTOR_SIZE); // a partly erased sector
    EXPECT_EQ(mapped(store + FLASH_SECTOR_SIZE)[99], 0xFF);
    EXPECT_EQ(mapped(store + FLASH_SECTOR_SIZE)[100], 0x00);
}

TEST(Flash, FileKeepsTheStoreRegionOverPowerCyclesTornWriteIncluded) {
    const auto path = std::filesystem::temp_directory_path() / ("board_sim_store_" + std::to_string(getpid()));
    std::filesystem::remove(path);
    sim::config cfg;
    cfg.flash_file = path.string();
    ASSERT_TRUE(sim::power_on(cfg)); // no file yet: erased
    program(store, 0x5A);
    program(0x1000, 0x00); // outside the region: not kept
    sim::flash_power_cut(0, 10);
    program(store + 256, 0x00);
    ASSERT_TRUE(sim::power_on(cfg));
    EXPECT_EQ(mapped(store)[0], 0x5A);
    EXPECT_EQ(mapped(store + 256)[9], 0x00);
    EXPECT_EQ(mapped(store + 256)[10], 0xFF);
    EXPECT_EQ(mapped(0x1000)[0], 0xFF);
    std::ofstream(path) << "not a store";
    EXPECT_FALSE(sim::power_on(cfg)); // reported; the board runs erased and leaves the file alone
    EXPECT_EQ(mapped(store)[0], 0xFF);
    program(store, 0x00);
    EXPECT_EQ(std::filesystem::file_size(path), 11u);
    std::filesystem::remove(path);
}

} // namespace
