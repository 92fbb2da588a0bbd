#include "unicode.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace cabinetd {
namespace {

// Each code point of UTF-8 text, or false at the first byte that is not UTF-8.
template <class F> bool each_code_point(std::string_view text, F &&f) {
    const auto *p = reinterpret_cast<const utf8proc_uint8_t *>(text.data());
    auto left = static_cast<utf8proc_ssize_t>(text.size());
    while (left > 0) {
        utf8proc_int32_t c = 0;
        const auto n = utf8proc_iterate(p, left, &c);
        if (n <= 0) return false;
        if (!f(c)) return true;
        p += n;
        left -= n;
    }
    return true;
}

bool bidi_control(utf8proc_int32_t c) {
    return (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069) || c == 0x200e ||
        c == 0x200f || c == 0x061c;
}

bool visible(utf8proc_category_t k) {
    switch (k) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
    case UTF8PROC_CATEGORY_PC:
    case UTF8PROC_CATEGORY_PD:
    case UTF8PROC_CATEGORY_PS:
    case UTF8PROC_CATEGORY_PE:
    case UTF8PROC_CATEGORY_PI:
    case UTF8PROC_CATEGORY_PF:
    case UTF8PROC_CATEGORY_PO:
    case UTF8PROC_CATEGORY_SM:
    case UTF8PROC_CATEGORY_SC:
    case UTF8PROC_CATEGORY_SK:
    case UTF8PROC_CATEGORY_SO: return true;
    default: return false;
    }
}

bool name_character(utf8proc_category_t k) {
    switch (k) {
    case UTF8PROC_CATEGORY_CN: // unassigned
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP: return false;
    default: return true;
    }
}

} // namespace

std::optional<std::string> folded_name(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool fits = true;
    if (!each_code_point(text,
                         [&](utf8proc_int32_t c) {
                             fits = name_character(utf8proc_category(c));
                             return fits;
                         }) ||
        !fits)
        return std::nullopt;
    utf8proc_uint8_t *out = nullptr;
    const auto n =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &out,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE |
                                                    UTF8PROC_COMPAT | UTF8PROC_CASEFOLD));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(out, &std::free);
    if (n < 0) return std::nullopt;
    return std::string(reinterpret_cast<const char *>(out), static_cast<std::size_t>(n));
}

std::optional<std::string> reason_fault(std::string_view text) {
    bool seen = false;
    std::optional<std::string> fault;
    const bool utf8 = each_code_point(text, [&](utf8proc_int32_t c) {
        const auto k = utf8proc_category(c);
        if (k == UTF8PROC_CATEGORY_CC) fault = "no control characters";
        else if (bidi_control(c))
            fault = "no bidi controls (U+202A to U+202E, U+2066 to U+2069, "
                    "U+200E, U+200F, U+061C)";
        seen = seen || visible(k);
        return !fault;
    });
    if (!utf8) return "UTF-8 text";
    if (fault) return fault;
    if (!seen) return "at least one visible character (not only spaces)";
    return std::nullopt;
}

std::size_t code_points(std::string_view text) {
    std::size_t n = 0;
    for (const char c : text) n += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    return n;
}

} // namespace cabinetd
