// The boot record store: the record cycle over both sectors, every failure
// that leaves the boot without identity, and recovery from power cuts.
#include <algorithm>
#include <cstring>

#include "harness.h"

namespace {

std::vector<uint8_t> record(uint64_t counter, uint64_t complement_flip = 0) {
    std::vector<uint8_t> p(256, 0xFF);
    const uint64_t inv = ~counter ^ complement_flip;
    for (int i = 0; i < 4; ++i) p[size_t(i)] = uint8_t(0x43414231u >> (8 * i));
    for (int i = 0; i < 8; ++i) p[size_t(4 + i)] = uint8_t(counter >> (8 * i));
    for (int i = 0; i < 8; ++i) p[size_t(12 + i)] = uint8_t(inv >> (8 * i));
    uint32_t h = 0x811C9DC5u;
    for (int i = 0; i < 20; ++i) h = (h ^ p[size_t(i)]) * 16777619u;
    for (int i = 0; i < 4; ++i) p[size_t(20 + i)] = uint8_t(h >> (8 * i));
    return p;
}

void put_page(unsigned page, const std::vector<uint8_t> &bytes) {
    sim::flash_write_raw(sim::store_offset + 256 * page, bytes);
}

// Counter in a page, 0 for an erased page, ~0 for anything else.
uint64_t page_counter(unsigned page) {
    const auto f = sim::flash_bytes().subspan(sim::store_offset + 256 * page, 256);
    if (std::all_of(f.begin(), f.end(), [](uint8_t v) { return v == 0xFF; })) return 0;
    const std::vector<uint8_t> bytes(f.begin(), f.end());
    uint64_t c = 0;
    for (int i = 7; i >= 0; --i) c = c << 8 | bytes[size_t(4 + i)];
    return bytes == record(c) ? c : ~0ull;
}

// One boot record step; the boot number taken, or 0 without identity.
uint64_t boot_step() {
    char sid[49] = {};
    if (!boot_record_step(sid)) {
        EXPECT_STREQ(sid, "");
        return 0;
    }
    const std::string s = sid; // board id upper case, boot number lower case
    EXPECT_EQ(s.size(), 33u);
    EXPECT_EQ(s.substr(0, 17), "E6613852832F4A29-");
    EXPECT_EQ(s.find_first_not_of("0123456789abcdef", 17), std::string::npos);
    return std::stoull(s.substr(17), nullptr, 16);
}

} // namespace

TEST(BootStore, RecordsCycleThroughBothSectors) {
    sim::power_on();
    for (uint64_t boot = 1; boot <= 33; ++boot) {
        ASSERT_EQ(boot_step(), boot);
        if (boot == 16) {
            EXPECT_EQ(sim::flash_counters().erases, 0u);
        }
    }
    EXPECT_EQ(page_counter(0), 33u);
    for (unsigned p = 1; p < 16; ++p) EXPECT_EQ(page_counter(p), 0u) << p;
    for (unsigned p = 16; p < 32; ++p) EXPECT_EQ(page_counter(p), p + 1) << p;
    const auto n = sim::flash_counters();
    EXPECT_EQ(n.erases, 2u);
    EXPECT_EQ(n.programs, 33u);
    EXPECT_EQ(n.unmasked, 0u);
}

TEST(BootStore, FailuresLeaveNoIdentityAndWriteNothing) {
    sim::power_on();
    sim::set_flash_binary_end(sim::store_offset + 1); // the image reaches into the store
    EXPECT_EQ(boot_step(), 0u);
    sim::set_flash_binary_end(sim::store_offset); // ends just before it
    EXPECT_EQ(boot_step(), 1u);

    sim::power_on();
    put_page(5, record(~0ull)); // the counter is exhausted
    EXPECT_EQ(boot_step(), 0u);
    EXPECT_EQ(sim::flash_counters().programs, 0u);

    Bench b({}, false); // and the controller then starts in its identity fault
    put_page(0, record(~0ull));
    b.boot();
    b.run_ms(10);
    EXPECT_EQ(b.lines().at(0)["code"], "identity_invalid");
}

TEST(BootStore, EqualCountersTheLowerPageWins) {
    sim::power_on();
    put_page(0, record(6));
    put_page(1, record(7));
    put_page(16, record(7));
    EXPECT_EQ(boot_step(), 8u);
    EXPECT_EQ(page_counter(2), 8u);
    EXPECT_EQ(page_counter(17), 0u);
}

TEST(BootStore, ReadBackMismatchFailsAndTheRecordStillCountsLater) {
    sim::power_on();
    put_page(0, record(1));
    // Something else changes a fill byte of the page while it is being programmed.
    sim::set_world_hook([](uint64_t) {
        if (page_counter(1) == 2) sim::flash_write_raw(sim::store_offset + 256 + 100, std::vector<uint8_t>{0x00});
    });
    EXPECT_EQ(boot_step(), 0u);
    sim::set_world_hook(nullptr);
    EXPECT_EQ(boot_step(), 3u); // the record's first 24 bytes are valid: 2 was taken
}

TEST(BootStore, PagesThatAreNeitherErasedNorValidArePassedOver) {
    sim::power_on();
    put_page(0, record(3));
    put_page(1, std::vector<uint8_t>(256, 0x00)); // torn
    put_page(2, record(0));                       // counter 0
    put_page(3, record(4, 1ull << 17));           // complement one bit off, hash matching
    EXPECT_EQ(boot_step(), 4u);
    EXPECT_EQ(page_counter(4), 4u);
}

// A power cut at any step of any flash operation of 40 boots: the next boot
// always has its identity again, and boot numbers only ever grow.
TEST(BootStore, RecoversFromAPowerCutAtEveryStep) {
    constexpr unsigned BOOTS = 40;
    std::vector<std::vector<uint8_t>> store_after(1); // store contents after k clean boots
    sim::power_on();
    auto store = [] {
        const auto f = sim::flash_bytes().subspan(sim::store_offset, 8192);
        return std::vector<uint8_t>(f.begin(), f.end());
    };
    store_after[0] = store();
    for (unsigned k = 1; k <= BOOTS; ++k) {
        ASSERT_EQ(boot_step(), k);
        store_after.push_back(store());
    }
    for (unsigned boot = 1; boot <= BOOTS; ++boot) {
        const bool erases = boot % 16 == 1 && boot > 1;
        for (unsigned op = 0; op < (erases ? 2u : 1u); ++op) {
            const uint32_t size = erases && op == 0 ? 4096 : 256;
            for (uint32_t done = 0; done <= size; done += size == 256 ? 1 : 16) {
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
