// The boot record store: the cycle over both sectors, the failures that leave
// a boot without identity, and recovery from power cuts.
#include <cstring>

#include "harness.h"

namespace {

std::vector<uint8_t> record(uint64_t counter, uint64_t complement_flip = 0) {
    std::vector<uint8_t> p(256, 0xFF);
    const uint64_t fields[2] = {counter, ~counter ^ complement_flip};
    for (int i = 0; i < 4; ++i) p[size_t(i)] = uint8_t(0x43414231u >> (8 * i));
    for (int i = 0; i < 16; ++i) p[size_t(4 + i)] = uint8_t(fields[i / 8] >> (8 * (i % 8)));
    uint32_t h = 0x811C9DC5u;
    for (int i = 0; i < 20; ++i) h = (h ^ p[size_t(i)]) * 16777619u;
    for (int i = 0; i < 4; ++i) p[size_t(20 + i)] = uint8_t(h >> (8 * i));
    return p;
}

void put_page(unsigned page, const std::vector<uint8_t> &bytes) {
    sim::flash_write_raw(sim::store_offset + 256 * page, bytes);
}

bool page_is(unsigned page, const std::vector<uint8_t> &bytes) {
    return std::memcmp(sim::flash_bytes().data() + sim::store_offset + 256 * page, bytes.data(), 256) == 0;
}

// One boot record step: the boot number taken, or 0 without identity.
uint64_t boot_step() {
    char sid[49] = {};
    if (!boot_record_step(sid)) {
        EXPECT_STREQ(sid, "");
        return 0;
    }
    const std::string s = sid; // board id upper case, boot number lower case
    EXPECT_EQ(s.substr(0, 17), "E6613852832F4A29-");
    EXPECT_EQ(s.size(), 33u);
    EXPECT_EQ(s.find_first_not_of("0123456789abcdef", 17), std::string::npos);
    return std::stoull(s.substr(17), nullptr, 16);
}

const std::vector<uint8_t> erased(256, 0xFF);

} // namespace

TEST(BootStore, RecordsCycleThroughBothSectors) {
    sim::power_on();
    for (uint64_t boot = 1; boot <= 33; ++boot) {
        ASSERT_EQ(boot_step(), boot);
        ASSERT_EQ(sim::flash_counters().erases, boot < 17 ? 0u : boot < 33 ? 1u : 2u);
    }
    EXPECT_TRUE(page_is(0, record(33)));
    for (unsigned p = 1; p < 16; ++p) EXPECT_TRUE(page_is(p, erased)) << p;
    for (unsigned p = 16; p < 32; ++p) EXPECT_TRUE(page_is(p, record(p + 1))) << p;
    EXPECT_EQ(sim::flash_counters().unmasked, 0u); // written with interrupts masked
}

TEST(BootStore, FailuresLeaveNoIdentityAndWriteNothing) {
    sim::power_on();
    sim::set_flash_binary_end(sim::store_offset + 1); // the image reaches into the store
    EXPECT_EQ(boot_step(), 0u);
    sim::set_flash_binary_end(sim::store_offset);
    EXPECT_EQ(boot_step(), 1u);

    Bench b({}, false);
    put_page(5, record(~0ull)); // exhausted: the next number would wrap
    pico_startup();
    EXPECT_EQ(sim::flash_counters().programs, 0u);
    EXPECT_EQ(b.codes().at(0), "identity_invalid");
}

TEST(BootStore, EqualCountersTheLowerPageWins) {
    sim::power_on();
    put_page(0, record(6));
    put_page(1, record(7));
    put_page(16, record(7));
    EXPECT_EQ(boot_step(), 8u);
    EXPECT_TRUE(page_is(2, record(8)));
}

TEST(BootStore, ReadBackMismatchFailsAndTheRecordCountsLater) {
    sim::power_on();
    sim::set_world_hook([](uint64_t) { // something disturbs a fill byte while it is programmed
        if (page_is(0, record(1))) sim::flash_write_raw(sim::store_offset + 100, std::vector<uint8_t>{0});
    });
    EXPECT_EQ(boot_step(), 0u);
    sim::set_world_hook(nullptr);
    EXPECT_EQ(boot_step(), 2u);
}

TEST(BootStore, PagesNeitherErasedNorValidArePassedOver) {
    sim::power_on();
    put_page(0, record(3));
    put_page(1, std::vector<uint8_t>(256, 0x00));
    put_page(2, record(0));
    put_page(3, record(4, 1ull << 17)); // hash right, complement one bit off
    EXPECT_EQ(boot_step(), 4u);
    EXPECT_TRUE(page_is(4, record(4)));
}

// A power cut at any step of any flash operation in 40 boots: the next boot
// has its identity again, and boot numbers only ever grow.
TEST(BootStore, RecoversFromAPowerCutAtEveryStep) {
    constexpr unsigned BOOTS = 40;
    std::vector<std::vector<uint8_t>> store_after; // the store after k clean boots
    sim::power_on();
    for (unsigned k = 0; k <= BOOTS; ++k) {
        if (k > 0) {
            ASSERT_EQ(boot_step(), k);
        }
        const auto f = sim::flash_bytes().subspan(sim::store_offset, 8192);
        store_after.emplace_back(f.begin(), f.end());
    }
    for (unsigned boot = 1; boot <= BOOTS; ++boot) {
        const bool erases = boot % 16 == 1 && boot > 1;
        for (unsigned op = 0; op < (erases ? 2u : 1u); ++op) {
            const uint32_t size = erases && op == 0 ? 4096 : 256, step = size / 256;
            for (uint32_t done = 0; done <= size; done += step) {
                sim::power_on();
                sim::flash_write_raw(sim::store_offset, store_after[boot - 1]);
                sim::flash_power_cut(op, done);
                (void)boot_step();
                ASSERT_TRUE(sim::reset_pending());
                sim::reset();
                uint64_t last = boot - 1;
                for (unsigned later = boot; later <= BOOTS; ++later) {
                    const uint64_t n = boot_step();
                    ASSERT_GT(n, last) << "cut in boot " << boot << " op " << op << " at " << done;
                    last = n;
                }
            }
        }
    }
}
