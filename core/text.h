// Builds an outbound line in a fixed buffer, piece by piece, with the text of
// snprintf's %s, %u, %llu and %016llx. No printf: on the Cortex-M0+ it costs
// thousands of cycles a line and drags in the heap and float formatting.
//
// Each call appends at p, the end of the text so far, and returns the new
// end. A piece that does not fit before `end` (the last byte of the buffer,
// kept for the terminator) is not written and the call returns null; every
// later call passes the null on, so the caller tests only once, at the end.
// A line that does not fit is never sent, so a cut text is of no use.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Appends n bytes of s.
char *text_put(char *p, char *end, const char *s, size_t n);

// Appends the terminated text s.
char *text_put(char *p, char *end, const char *s);

// Appends a string literal, whose length is known at compile time. A single
// character is stored in place rather than through a call.
template <size_t N> char *text_lit(char *p, char *end, const char (&s)[N]) {
    if constexpr (N == 2) {
        if (p == nullptr || p == end) {
            return nullptr;
        }
        *p = s[0];
        return p + 1;
    } else {
        return text_put(p, end, s, N - 1);
    }
}

// Appends v in decimal, as %llu (and, for 32-bit values, %u) writes it.
char *text_u64(char *p, char *end, uint64_t v);

// Appends v as sixteen lower-case hexadecimal digits, as %016llx writes it.
char *text_hex64(char *p, char *end, uint64_t v);
