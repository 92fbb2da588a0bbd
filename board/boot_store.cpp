// Boot record store: an append-only log of boot numbers in the last 8 KB of
// flash, one record per 256-byte page, two 4 KB sectors used in turn. Every
// start takes the next number, writes it back and verifies it before the
// number is used, so no two runs of the firmware share a session identifier.
#include <stdint.h>
#include <string.h>

#include "pico_main.h"
#include "text.h"

namespace {

constexpr uint32_t STORE_OFFSET = 0x1FE000;
constexpr uint32_t STORE_SIZE = 8192;
constexpr uint32_t SECTOR_SIZE = 4096;
constexpr uint32_t PAGE_SIZE = 256;
constexpr uint32_t PAGES = STORE_SIZE / PAGE_SIZE;
constexpr uint32_t PAGES_PER_SECTOR = SECTOR_SIZE / PAGE_SIZE;
static_assert(STORE_OFFSET + STORE_SIZE == PICO_FLASH_SIZE_BYTES);
static_assert(SECTOR_SIZE == FLASH_SECTOR_SIZE && PAGE_SIZE == FLASH_PAGE_SIZE);

constexpr uint32_t MAGIC = 0x43414231;
constexpr size_t RECORD_BYTES = 24; // magic, counter, complement, hash; the rest is fill
constexpr size_t HASHED_BYTES = 20;

const uint8_t *page_at(uint32_t page) {
    return reinterpret_cast<const uint8_t *>(XIP_BASE + STORE_OFFSET + page * PAGE_SIZE);
}

uint32_t get_u32(const uint8_t *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint64_t get_u64(const uint8_t *p) { return uint64_t{get_u32(p)} | uint64_t{get_u32(p + 4)} << 32; }

void put_u32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_u64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t fnv1a(const uint8_t *p, size_t n) {
    uint32_t h = 0x811C9DC5u;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 16777619u;
    }
    return h;
}

bool is_erased(const uint8_t *page) {
    for (uint32_t i = 0; i < PAGE_SIZE; ++i)
        if (page[i] != 0xFF) return false;
    return true;
}

// Counter of a valid record, or 0 (never a valid counter) if the page holds none.
uint64_t record_counter(const uint8_t *page) {
    if (get_u32(page) != MAGIC) return 0;
    const uint64_t counter = get_u64(page + 4);
    if (counter == 0) return 0;
    if (get_u64(page + 12) != ~counter) return 0;
    if (get_u32(page + 20) != fnv1a(page, HASHED_BYTES)) return 0;
    return counter;
}

} // namespace

bool boot_record_step(char *session_id) {
    // A firmware image that reaches into the store would be overwritten by it.
    if (reinterpret_cast<uintptr_t>(&__flash_binary_end) > static_cast<uintptr_t>(XIP_BASE + STORE_OFFSET))
        return false;

    // Scan. A page that is neither erased nor a valid record is what a power
    // cut leaves behind in a page being programmed or a sector being erased.
    // The complement and the hash make sure such a page never reads as valid,
    // and it only ever holds a number that was never used or older records
    // that were being erased: it is never the newest record, and not being
    // erased it is never chosen to be written either. So it is passed over,
    // and the next switch to its sector erases it.
    uint64_t best_counter = 0;
    uint32_t best_page = 0;
    for (uint32_t p = 0; p < PAGES; ++p) {
        const uint64_t counter = record_counter(page_at(p));
        if (counter > best_counter) { // of equal counters the lower page stays
            best_counter = counter;
            best_page = p;
        }
    }
    if (best_counter == UINT64_MAX) return false; // the next number would wrap to 0

    // Target: the first erased page of the newest record's sector, or else the
    // first page of the other sector, erased first. An empty store starts in sector 0.
    const uint32_t sector = best_counter == 0 ? 0 : best_page / PAGES_PER_SECTOR;
    bool erase = true;
    uint32_t target_sector = 1 - sector;
    uint32_t target = target_sector * PAGES_PER_SECTOR;
    for (uint32_t p = sector * PAGES_PER_SECTOR; p < (sector + 1) * PAGES_PER_SECTOR; ++p) {
        if (is_erased(page_at(p))) {
            erase = false;
            target_sector = sector;
            target = p;
            break;
        }
    }

    uint8_t image[PAGE_SIZE];
    memset(image, 0xFF, sizeof image);
    const uint64_t counter = best_counter + 1;
    put_u32(image, MAGIC);
    put_u64(image + 4, counter);
    put_u64(image + 12, ~counter);
    put_u32(image + 20, fnv1a(image, HASHED_BYTES));
    static_assert(RECORD_BYTES == 24);

    const uint32_t saved = save_and_disable_interrupts();
    if (erase) flash_range_erase(STORE_OFFSET + target_sector * SECTOR_SIZE, SECTOR_SIZE);
    flash_range_program(STORE_OFFSET + target * PAGE_SIZE, image, PAGE_SIZE);
    restore_interrupts(saved);

    if (memcmp(page_at(target), image, PAGE_SIZE) != 0) return false;

    char board_id[17] = {};
    pico_get_unique_board_id_string(board_id, sizeof board_id);
    // "%s-%016llx": the board id, a hyphen, the boot number in 16 hex digits.
    char *const end = session_id + SESSION_BUF - 1;
    char *p = text_put(session_id, end, board_id);
    p = text_lit(p, end, "-");
    p = text_hex64(p, end, counter);
    if (p == nullptr) {
        memset(session_id, 0, SESSION_BUF);
        return false;
    }
    *p = '\0';
    return true;
}
