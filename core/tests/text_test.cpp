// The line builder: the same text as snprintf, and nothing past the buffer.
#include "text.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>

namespace {

std::string decimal(uint64_t v) {
    char buf[32];
    char *p = text_u64(buf, buf + sizeof buf - 1, v);
    if (p == nullptr) return "(null)";
    *p = '\0';
    return buf;
}

std::string printed(const char *format, uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, format, static_cast<unsigned long long>(v));
    return buf;
}

TEST(Text, DecimalsAsPrintfWritesThem) {
    for (uint64_t v : {UINT64_C(0), UINT64_C(9), UINT64_C(10), UINT64_C(99), UINT64_C(100),
                       UINT64_C(4294967295), UINT64_C(4294967296), UINT64_C(999999999),
                       UINT64_C(1000000000), UINT64_C(4999999999), UINT64_C(10000000000),
                       UINT64_C(9999999999999999999), UINT64_C(10000000000000000000), UINT64_MAX,
                       UINT64_MAX - 1})
        EXPECT_EQ(decimal(v), printed("%llu", v));
    std::mt19937_64 rng(20261206);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t v = rng() >> (rng() % 64); // every length of number
        ASSERT_EQ(decimal(v), printed("%llu", v));
        const auto v32 = static_cast<unsigned>(v);
        ASSERT_EQ(decimal(v32), printed("%llu", v32));
    }
    for (uint64_t v : {UINT64_C(0), UINT64_C(0x2a), UINT64_C(0x0123456789abcdef), UINT64_MAX}) {
        char buf[17];
        *text_hex64(buf, buf + 16, v) = '\0';
        EXPECT_EQ(std::string(buf), printed("%016llx", v));
    }
}

// A piece is written whole or not at all, never past `end`, and once one
// does not fit every later piece passes the refusal on.
TEST(Text, StopsAtTheEndOfTheBuffer) {
    for (size_t room = 0; room < 24; ++room) {
        std::string buf(32, '#');
        char *const begin = buf.data();
        char *const end = begin + room;
        char *p = text_lit(begin, end, "ab");
        p = text_put(p, end, "cdefghij");
        p = text_u64(p, end, 1234567);
        p = text_lit(p, end, "xyz");
        p = text_hex64(p, end, 0);
        const std::string whole = "abcdefghij1234567xyz0000000000000000"; // 36
        if (room >= whole.size()) {
            ASSERT_EQ(p, begin + whole.size());
        } else {
            EXPECT_EQ(p, nullptr) << room;
        }
        EXPECT_EQ(buf.substr(room), std::string(32 - room, '#')) << room; // untouched past end
    }
}

} // namespace
