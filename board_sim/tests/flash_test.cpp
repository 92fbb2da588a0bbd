// The flash as the boot record store relies on it: NOR rules, alignment,
// torn operations on power loss, and the file that keeps the store region
// from one run to the next.
#include "board_sim/control.h"
#include "board_sim/sdk.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t store = 0x1FE000;

const uint8_t *mapped(uint32_t offset) { return reinterpret_cast<const uint8_t *>(XIP_BASE + offset); }

std::array<uint8_t, FLASH_PAGE_SIZE> page_of(uint8_t v) {
    std::array<uint8_t, FLASH_PAGE_SIZE> p;
    p.fill(v);
    return p;
}

void program(uint32_t offset, const std::array<uint8_t, FLASH_PAGE_SIZE> &p) {
    uint32_t irq = save_and_disable_interrupts();
    flash_range_program(offset, p.data(), p.size());
    restore_interrupts(irq);
}

void erase(uint32_t offset) {
    uint32_t irq = save_and_disable_interrupts();
    flash_range_erase(offset, FLASH_SECTOR_SIZE);
    restore_interrupts(irq);
}

class Flash : public ::testing::Test {
protected:
    void SetUp() override { board_sim::power_on(); }
};

TEST_F(Flash, ProgramOnlyClearsBitsAndEraseSetsTheSector) {
    EXPECT_EQ(mapped(store)[0], 0xFF);
    program(store, page_of(0xF0));
    program(store, page_of(0x3C));
    EXPECT_EQ(mapped(store)[0], 0x30);
    EXPECT_EQ(mapped(store)[255], 0x30);
    EXPECT_EQ(mapped(store)[256], 0xFF);
    erase(store);
    EXPECT_EQ(mapped(store)[0], 0xFF);
    auto c = board_sim::flash_counters();
    EXPECT_EQ(c.programs, 2u);
    EXPECT_EQ(c.erases, 1u);
    EXPECT_EQ(c.unmasked, 0u);
}

TEST_F(Flash, MisalignedOrOutOfRangeCallsChangeNothing) {
    auto p = page_of(0x00);
    flash_range_program(store + 1, p.data(), 256);
    flash_range_program(store, p.data(), 255);
    flash_range_erase(store + 256, FLASH_SECTOR_SIZE);
    flash_range_erase(0x1FF000, 2 * FLASH_SECTOR_SIZE);
    EXPECT_EQ(board_sim::flash_counters().rejected, 4u);
    EXPECT_EQ(board_sim::flash_counters().unmasked, 0u);
    for (uint32_t i = 0; i < 8192; ++i) ASSERT_EQ(mapped(store)[i], 0xFF);
    flash_range_program(store, p.data(), 256); // legal, but with interrupts enabled
    EXPECT_EQ(board_sim::flash_counters().unmasked, 1u);
}

TEST_F(Flash, BinaryEndIsInsideTheFlashAndSettable) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&__flash_binary_end), XIP_BASE + 0x40000u);
    board_sim::set_flash_binary_end(store + 16);
    EXPECT_GT(reinterpret_cast<uintptr_t>(&__flash_binary_end), XIP_BASE + store);
}

TEST_F(Flash, PowerCutTearsTheChosenOperationAndStopsTheBoard) {
    program(store, page_of(0x00));
    board_sim::flash_power_cut(1, 100); // the second operation from now
    erase(store);                       // operation 0: completes
    EXPECT_FALSE(board_sim::reset_pending());
    program(store, page_of(0x11)); // operation 1: torn after 100 bytes
    EXPECT_TRUE(board_sim::reset_pending());
    EXPECT_EQ(board_sim::pending_reset_cause(), board_sim::reset_cause::power_cut);
    EXPECT_EQ(mapped(store)[99], 0x11);
    EXPECT_EQ(mapped(store)[100], 0xFF);
    program(store + 256, page_of(0x00)); // the board is down: nothing happens
    EXPECT_EQ(mapped(store + 256)[0], 0xFF);

    board_sim::reset();
    program(store + 256, page_of(0x22));
    erase(store + FLASH_SECTOR_SIZE);
    program(store + FLASH_SECTOR_SIZE, page_of(0x00));
    board_sim::flash_power_cut(0, 100);
    erase(store + FLASH_SECTOR_SIZE); // torn erase: a partly erased sector
    EXPECT_EQ(mapped(store + FLASH_SECTOR_SIZE)[99], 0xFF);
    EXPECT_EQ(mapped(store + FLASH_SECTOR_SIZE)[100], 0x00);
    EXPECT_EQ(mapped(store + 256)[0], 0x22); // kept over the reset
}

class FlashFile : public ::testing::Test {
protected:
    void SetUp() override {
        path = (std::filesystem::temp_directory_path() /
                ("board_sim_store_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name()))
                   .string();
        std::filesystem::remove(path);
        cfg.flash_file = path;
    }
    void TearDown() override { std::filesystem::remove(path); }
    std::string path;
    board_sim::config cfg;
};

TEST_F(FlashFile, StoreRegionSurvivesPowerCyclesIncludingATornWrite) {
    ASSERT_TRUE(board_sim::power_on(cfg)); // no file yet: erased
    EXPECT_EQ(mapped(store)[0], 0xFF);
    program(store, page_of(0x5A));
    program(0x1000, page_of(0x00)); // outside the region: not kept
    board_sim::flash_power_cut(0, 10);
    program(store + 256, page_of(0x00));
    ASSERT_EQ(std::filesystem::file_size(path), 8192u);

    ASSERT_TRUE(board_sim::power_on(cfg));
    EXPECT_EQ(mapped(store)[0], 0x5A);
    EXPECT_EQ(mapped(store + 256)[9], 0x00);
    EXPECT_EQ(mapped(store + 256)[10], 0xFF);
    EXPECT_EQ(mapped(0x1000)[0], 0xFF);
}

TEST_F(FlashFile, FileOfTheWrongSizeIsReportedAndLeftAlone) {
    {
        std::ofstream f(path, std::ios::binary);
        f << "not a store";
    }
    EXPECT_FALSE(board_sim::power_on(cfg));
    EXPECT_EQ(mapped(store)[0], 0xFF);
    program(store, page_of(0x00));
    EXPECT_EQ(std::filesystem::file_size(path), 11u);
}

} // namespace
