// The line builder. Copies are unrolled by hand and decimal digits come from
// shifts, adds and subtractions: the Cortex-M0+ has no divide instruction,
// and at -Os the library would copy byte by byte with a loop test for each.
#include "text.h"

namespace {

// n / 10 from shifts and adds, exact for every 32-bit n: the M0+ has no
// divide instruction and multiplies only to 32 bits.
[[gnu::always_inline]] inline uint32_t div10(uint32_t n) {
    uint32_t q = (n >> 1) + (n >> 2); // n * 0.75, then refined towards n * 0.8
    q += q >> 4;
    q += q >> 8;
    q += q >> 16;
    q >>= 3;                          // about n / 10, at most one too small
    const uint32_t r = n - q * 10u;
    return q + (r > 9 ? 1u : 0u);
}

// The lowest decimal digit of v, and v / 10 left in v.
[[gnu::always_inline]] inline char next_digit(uint32_t &v) {
    const uint32_t q = div10(v);
    const char d = static_cast<char>('0' + (v - q * 10u));
    v = q;
    return d;
}

} // namespace

char *text_put(char *p, char *end, const char *s, size_t n) {
    if (p == nullptr || static_cast<size_t>(end - p) < n) {
        return nullptr;
    }
    for (; n >= 8; n -= 8, p += 8, s += 8) {
        p[0] = s[0];
        p[1] = s[1];
        p[2] = s[2];
        p[3] = s[3];
        p[4] = s[4];
        p[5] = s[5];
        p[6] = s[6];
        p[7] = s[7];
    }
    if (n & 4) { // the last few, without a loop
        p[0] = s[0];
        p[1] = s[1];
        p[2] = s[2];
        p[3] = s[3];
        p += 4;
        s += 4;
    }
    if (n & 2) {
        p[0] = s[0];
        p[1] = s[1];
        p += 2;
        s += 2;
    }
    if (n & 1) {
        *p++ = *s;
    }
    return p;
}

char *text_put(char *p, char *end, const char *s) {
    if (p == nullptr) {
        return nullptr;
    }
    // While four more bytes fit, only the terminator needs a test. A
    // terminator copied along lands inside the buffer and is written over.
    for (; end - p >= 4; p += 4, s += 4) {
        if ((p[0] = s[0]) == '\0') return p;
        if ((p[1] = s[1]) == '\0') return p + 1;
        if ((p[2] = s[2]) == '\0') return p + 2;
        if ((p[3] = s[3]) == '\0') return p + 3;
    }
    for (; *s != '\0'; ++s) {
        if (p == end) {
            return nullptr;
        }
        *p++ = *s;
    }
    return p;
}

char *text_u64(char *p, char *end, uint64_t v) {
    if (v < 10) { // doors, flags and masks: most numbers are one digit
        if (p == nullptr || p == end) {
            return nullptr;
        }
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    char digits[20];
    char *const back = digits + sizeof digits;
    char *d = back; // digits are found from the lowest up, so filled from the back
    // Beyond 32 bits (an uptime of 50 days, say), v is divided by ten as on
    // paper, sixteen bits at a time from the top, each remainder carried into
    // the next piece: every step then fits in 32 bits.
    while (v > UINT32_MAX) {
        const auto high = static_cast<uint32_t>(v >> 32);
        const auto low = static_cast<uint32_t>(v);
        const uint32_t pieces[3] = {high, low >> 16, low & 0xffffu};
        uint32_t q[3];
        uint32_t remainder = 0;
        for (int k = 0; k < 3; ++k) {
            const uint32_t n = remainder << 16 | pieces[k];
            q[k] = div10(n);
            remainder = n - q[k] * 10u;
        }
        *--d = static_cast<char>('0' + remainder);
        v = static_cast<uint64_t>(q[0]) << 32 | q[1] << 16 | q[2];
    }
    auto rest = static_cast<uint32_t>(v);
    do {
        *--d = next_digit(rest);
    } while (rest != 0);
    return text_put(p, end, d, static_cast<size_t>(back - d));
}

char *text_hex64(char *p, char *end, uint64_t v) {
    if (p == nullptr || end - p < 16) {
        return nullptr;
    }
    const uint32_t halves[2] = {static_cast<uint32_t>(v >> 32), static_cast<uint32_t>(v)};
    for (uint32_t half : halves) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            *p++ = "0123456789abcdef"[(half >> shift) & 0xFu];
        }
    }
    return p;
}
