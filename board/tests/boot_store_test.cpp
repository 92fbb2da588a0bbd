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

const std::vector<uint8_t> erased(256, 0xFF);

// One boot record step: the boot number taken, or 0 without identity.
uint64_t boot_step() {
    char sid[49] = {};
    const bool ok = boot_record_step(sid);
    EXPECT_EQ(ok, sid[0] != '\0'); // no identity, no identifier
    return ok ? std::stoull(sid + 17, nullptr, 16) : 0;
}

} // namespace

TEST(BootStore, RecordsCycleThroughBothSectors) {
    sim::power_on();
    for (uint64_t boot = 1; boot <= 33; ++boot) {
        ASSERT_EQ(boot_step(), boot);
        ASSERT_EQ(sim::flash_counters().erases, boot < 17 ? 0u : boot < 33 ? 1u : 2u);
    }
    EXPECT_TRUE(page_is(0, record(33)));
    for (unsigned p = 1; p < 32; ++p) EXPECT_TRUE(page_is(p, p < 16 ? erased : record(p + 1))) << p;
    EXPECT_EQ(sim::flash_counters().unmasked, 0u); // written with interrupts masked
}

TEST(BootStore, FailuresLeaveNoIdentity) {
    sim::power_on();
    sim::set_flash_binary_end(sim::store_offset + 1); // the image reaches into the store
    EXPECT_EQ(boot_step(), 0u);
    sim::set_flash_binary_end(sim::store_offset);
    sim::set_world_hook([](uint64_t) { // something disturbs a fill byte while it is programmed
        if (page_is(0, record(1))) sim::flash_write_raw(sim::store_offset + 100, std::vector<uint8_t>{0});
    });
    EXPECT_EQ(boot_step(), 0u); // read back wrong
    sim::set_world_hook(nullptr);
    EXPECT_EQ(boot_step(), 2u); // the number was taken all the same
    put_page(5, record(~0ull - 1));
    char sid[49] = {};
    EXPECT_TRUE(boot_record_step(sid));
    EXPECT_STREQ(sid, "E6613852832F4A29-ffffffffffffffff"); // board id upper case, boot number lower case
    const auto programs = sim::flash_counters().programs;
    EXPECT_EQ(boot_step(), 0u); // exhausted: the next number would wrap
    EXPECT_EQ(sim::flash_counters().programs, programs);
}

TEST(BootStore, NewestValidRecordWinsLowerPageOnATie) {
    sim::power_on();
    put_page(0, record(6));
    put_page(1, record(7));
    put_page(2, std::vector<uint8_t>(256, 0x00));
    put_page(3, record(0));
    put_page(4, record(9, 1ull << 17)); // hash right, complement one bit off
    put_page(16, record(7));
    EXPECT_EQ(boot_step(), 8u);
    EXPECT_TRUE(page_is(5, record(8))); // the first erased page of the lower page's sector
}

// A power cut at any step of any flash operation in 40 boots: the next boot
// has its identity again, and boot numbers only ever grow.
TEST(BootStore, RecoversFromAPowerCutAtEveryStep) {
    for (unsigned boot = 1; boot <= 40; ++boot) {
        const bool erases = boot % 16 == 1 && boot > 1;
        for (unsigned op = 0; op < (erases ? 2u : 1u); ++op) {
            const uint32_t size = erases && op == 0 ? 4096 : 256;
            for (uint32_t done = 0; done <= size; done += size / 256) {
                sim::power_on();
                for (unsigned k = 1; k < boot; ++k) boot_step();
                sim::flash_power_cut(op, done);
                boot_step();
                ASSERT_TRUE(sim::reset_pending());
                sim::reset();
                for (uint64_t later = boot, last = boot - 1, n; later <= 40; ++later, last = n)
                    ASSERT_GT(n = boot_step(), last) << "cut in boot " << boot << " op " << op << " at " << done;
            }
        }
    }
}
