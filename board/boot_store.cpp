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

enum class page_kind : uint8_t { erased, valid, invalid };

// What a page holds; *counter receives the boot number of a valid record.
page_kind classify(const uint8_t *page, uint64_t *counter) {
    if (is_erased(page)) return page_kind::erased;
    const uint64_t n = get_u64(page + 4);
    if (get_u32(page) != MAGIC || n == 0 || get_u64(page + 12) != ~n || get_u32(page + 20) != fnv1a(page, HASHED_BYTES))
        return page_kind::invalid;
    *counter = n;
    return page_kind::valid;
}

uint32_t count_kind(const page_kind *kind, uint32_t from, uint32_t to, page_kind k) {
    uint32_t n = 0;
    for (uint32_t p = from; p < to; ++p) n += kind[p] == k ? 1u : 0u;
    return n;
}

// First page of kind k in [from, to), or to if there is none.
uint32_t first_kind(const page_kind *kind, uint32_t from, uint32_t to, page_kind k) {
    for (uint32_t p = from; p < to; ++p)
        if (kind[p] == k) return p;
    return to;
}

} // namespace

bool boot_record_step(char *session_id) {
    // A firmware image that reaches into the store would be overwritten by it.
    if (reinterpret_cast<uintptr_t>(&__flash_binary_end) > static_cast<uintptr_t>(XIP_BASE + STORE_OFFSET))
        return false;

    // Scan. A page that is neither erased nor a valid record is either what
    // a power cut left of a page being programmed or a sector being erased,
    // or a record damaged since. Either way it may hold a number that a boot
    // has already used, and the record before it no longer tells. So the
    // board is not bricked by such a page, but every such page that may have
    // been written after the newest valid record steps the next number on by
    // one: each boot programs exactly one page and takes a number one above
    // what the store held then, so the page k places after the newest valid
    // record can hold at most that record's number plus k. Numbers increase;
    // they need not be consecutive.
    page_kind kind[PAGES];
    uint64_t best_counter = 0;
    uint32_t best_page = PAGES; // none
    for (uint32_t p = 0; p < PAGES; ++p) {
        uint64_t counter = 0;
        kind[p] = classify(page_at(p), &counter);
        if (kind[p] == page_kind::valid && counter > best_counter) { // of equal counters the lower page stays
            best_counter = counter;
            best_page = p;
        }
    }

    // Pages written after the newest valid record: the rest of its sector,
    // then, once that is full, the other sector after its erase. An empty
    // store starts in sector 0.
    const uint32_t sector = best_page == PAGES ? 0 : best_page / PAGES_PER_SECTOR;
    const uint32_t other = 1 - sector;
    const uint32_t sector_end = (sector + 1) * PAGES_PER_SECTOR;
    const uint32_t other_first = other * PAGES_PER_SECTOR;
    const uint32_t other_end = other_first + PAGES_PER_SECTOR;
    uint64_t later = count_kind(kind, best_page == PAGES ? sector * PAGES_PER_SECTOR : best_page + 1, sector_end,
                                page_kind::invalid);

    // Target: the first erased page of the newest record's sector, or else the
    // first page of the other sector, erased first. But an erase would wipe
    // what the other sector's invalid pages stand for, and a power cut before
    // the new record is programmed would lose it: while that sector still has
    // an erased page, the record goes there without an erase, past them.
    //
    // A full sector of nothing but invalid pages is what an erase torn by a
    // power cut leaves of the older records (real flash tears bits, not whole
    // bytes), or another firmware's data. It is erased and not counted:
    // counting numbers that were never written would let the next record,
    // once damaged, make a later boot count back below it. Refusing instead
    // would leave the board without an identity on every boot from then on.
    // Only sixteen newer records, every one damaged, would hold a number
    // that this forgets.
    uint32_t target = first_kind(kind, sector * PAGES_PER_SECTOR, sector_end, page_kind::erased);
    bool erase = false;
    uint32_t target_sector = sector;
    if (target == sector_end) {
        target_sector = other;
        const uint32_t other_invalid = count_kind(kind, other_first, other_end, page_kind::invalid);
        target = first_kind(kind, other_first, other_end, page_kind::erased);
        if (target != other_end && other_invalid != 0) {
            later += other_invalid;
        } else {
            erase = true;
            target = other_first;
        }
    }
    // The next number must not pass 2^64 - 1: it would wrap to 0, which is never valid.
    if (later >= UINT64_MAX - best_counter) return false;
    const uint64_t counter = best_counter + 1 + later;

    uint8_t image[PAGE_SIZE];
    memset(image, 0xFF, sizeof image);
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
