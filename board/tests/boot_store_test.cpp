// The boot record store: the cycle over both sectors, the failures that leave
// a boot without identity, recovery from power cuts, and damage to records
// between boots, which must never let a boot number be used twice.
#include <cstring>
#include <random>
#include <set>

#include "harness.h"

namespace {

std::vector<uint8_t> record(uint64_t counter, uint64_t complement_flip = 0, uint32_t hash_flip = 0) {
    std::vector<uint8_t> p(256, 0xFF);
    const uint64_t fields[2] = {counter, ~counter ^ complement_flip};
    for (int i = 0; i < 4; ++i) p[size_t(i)] = uint8_t(0x43414231u >> (8 * i));
    for (int i = 0; i < 16; ++i) p[size_t(4 + i)] = uint8_t(fields[i / 8] >> (8 * (i % 8)));
    uint32_t h = 0x811C9DC5u;
    for (int i = 0; i < 20; ++i) h = (h ^ p[size_t(i)]) * 16777619u;
    h ^= hash_flip;
    for (int i = 0; i < 4; ++i) p[size_t(20 + i)] = uint8_t(h >> (8 * i));
    return p;
}

std::vector<uint8_t> fill(uint8_t v) { return std::vector<uint8_t>(256, v); }

void put_page(unsigned page, const std::vector<uint8_t> &bytes) {
    sim::flash_write_raw(sim::store_offset + 256 * page, bytes);
}

// Damage between boots: the byte at `at` in the store set to v, or with the bits of `bits` flipped.
void poke(uint32_t at, uint8_t v) { sim::flash_write_raw(sim::store_offset + at, std::vector<uint8_t>{v}); }
void flip(uint32_t at, uint8_t bits) { poke(at, uint8_t(sim::flash_bytes()[sim::store_offset + at] ^ bits)); }

bool page_is(unsigned page, const std::vector<uint8_t> &bytes) {
    return std::memcmp(sim::flash_bytes().data() + sim::store_offset + 256 * page, bytes.data(), 256) == 0;
}

const std::vector<uint8_t> erased = fill(0xFF);

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
        if (page_is(0, record(1))) poke(100, 0);
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
    put_page(2, fill(0x00));
    put_page(3, record(0));
    put_page(4, record(9, 1ull << 17)); // hash right, complement one bit off
    put_page(6, record(100, 0, 1u << 9)); // complement right, hash one bit off
    put_page(16, record(7));
    // Past the newest valid record, each of the four invalid pages may hold a
    // number already used: 7 + 1 + 4, at the first erased page of the lower page's sector.
    EXPECT_EQ(boot_step(), 12u);
    EXPECT_TRUE(page_is(5, record(12)));
}

// Past the record of ~0 - 2, one invalid page leaves the last number there
// is; stepping past two would wrap.
TEST(BootStore, RefusesWhenItCannotVouchForTheNextNumber) {
    for (auto [invalid, want] : {std::pair{1u, ~0ull}, std::pair{2u, 0ull}}) {
        sim::power_on();
        put_page(0, record(~0ull - 2));
        for (unsigned p = 1; p <= invalid; ++p) put_page(p, fill(0x00));
        EXPECT_EQ(boot_step(), want) << invalid;
    }
}

// Sector 0 full, sector 1 nothing but damage (an erase torn by a power cut,
// or another firmware's data): the board keeps its identity and cycles on.
TEST(BootStore, SectorOfNothingButDamageIsErased) {
    sim::power_on();
    for (unsigned p = 0; p < 16; ++p) put_page(p, record(p + 1));
    for (unsigned p = 16; p < 32; ++p) put_page(p, fill(uint8_t(0x5A ^ p)));
    EXPECT_EQ(boot_step(), 17u);
    EXPECT_EQ(sim::flash_counters().erases, 1u);
    EXPECT_TRUE(page_is(16, record(17)));
    // The whole store foreign: past sector 0's pages, in the erased sector 1.
    sim::power_on();
    for (unsigned p = 0; p < 32; ++p) put_page(p, fill(0x5A));
    EXPECT_EQ(boot_step(), 17u);
    EXPECT_EQ(boot_step(), 18u);
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

namespace {

// Boots in turn, each checked: a boot with identity takes a number above
// every number used before, so its session is new as well.
struct Boots {
    uint64_t used = 0;
    std::set<std::string> sessions;
    void boot(const std::string &what) {
        char sid[49] = {};
        if (!boot_record_step(sid)) return;
        const uint64_t n = std::stoull(sid + 17, nullptr, 16);
        ASSERT_GT(n, used) << what;
        ASSERT_TRUE(sessions.insert(sid).second) << what;
        used = n;
    }
};

} // namespace

// Any single bit of the newest record flipped between boots, with the record
// in the middle of a sector, at the end of one and at the start of one: the
// damaged number is never taken again, now or when the sector is erased later.
TEST(BootStore, DamagedNewestRecordNeverGivesItsNumberAgain) {
    for (unsigned boots : {3u, 16u, 17u}) {
        for (unsigned bit = 0; bit < 256 * 8; ++bit) {
            sim::power_on();
            Boots b;
            for (unsigned k = 0; k < boots; ++k) b.boot("before");
            flip(256 * (boots - 1) + bit / 8, uint8_t(1u << (bit % 8)));
            const std::string what = "page " + std::to_string(boots - 1) + " bit " + std::to_string(bit);
            for (unsigned k = 0; k < (bit < 24 * 8 ? 36u : 2u); ++k) b.boot(what);
            ASSERT_FALSE(::testing::Test::HasFatalFailure());
        }
    }
}

// The damaged newest record at the start of a sector, and a power cut at
// every step of the next boot: the number stays known.
TEST(BootStore, DamagedNewestRecordThenAPowerCut) {
    for (uint32_t done = 0; done <= 256; ++done) {
        sim::power_on();
        Boots b;
        for (unsigned k = 0; k < 17; ++k) b.boot("before");
        poke(256 * 16 + 4, 0x00);
        sim::flash_power_cut(0, done);
        char sid[49] = {};
        (void)boot_record_step(sid);
        sim::reset();
        for (unsigned k = 0; k < 40; ++k) b.boot("cut at " + std::to_string(done));
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
    }
}

// An old record damaged, then the sector holding it erased for the next
// record, then that record damaged: the damage the erase wiped out must not
// have raised the number written after it.
TEST(BootStore, DamageOnBothSidesOfAnEraseNeverRepeatsANumber) {
    sim::power_on();
    Boots b;
    for (unsigned k = 0; k < 32; ++k) b.boot("before");
    poke(256 * 3 + 4, 0x00);
    b.boot("after an old record was damaged"); // erases sector 0, writes page 0
    poke(4, 0x00);
    for (unsigned k = 0; k < 3; ++k) b.boot("after the new record was damaged");
}

// Random bytes of random pages corrupted between boots, over many runs.
TEST(BootStore, RandomDamageBetweenBootsNeverReusesANumber) {
    std::mt19937 rng(7);
    for (int run = 0; run < 40; ++run) {
        sim::power_on();
        Boots b;
        for (int boot = 0; boot < 120; ++boot) {
            if (rng() % 3 == 0) {
                const uint32_t at = 256 * (rng() % 32) + (rng() % 2 ? rng() % 24 : rng() % 256);
                flip(at, uint8_t(1 + rng() % 255));
            }
            b.boot("run " + std::to_string(run) + " boot " + std::to_string(boot));
            ASSERT_FALSE(::testing::Test::HasFatalFailure());
        }
    }
}
