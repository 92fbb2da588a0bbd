#include "anchor.h"

#include <charconv>

namespace cabinetd {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

template <std::size_t N> std::string hex_of(const std::array<unsigned char, N> &bytes) {
    std::string s;
    s.reserve(2 * N);
    for (unsigned char c : bytes) {
        s += kDigits[c >> 4];
        s += kDigits[c & 15];
    }
    return s;
}

int nibble(char c, bool upper_too) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (upper_too && c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <std::size_t N>
bool bytes_of(std::string_view hex, std::array<unsigned char, N> &out, bool upper_too) {
    if (hex.size() != 2 * N) return false;
    for (std::size_t i = 0; i < N; ++i) {
        const int hi = nibble(hex[2 * i], upper_too), lo = nibble(hex[2 * i + 1], upper_too);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return true;
}

// A decimal count as anchor_text writes it: digits only, no leading zero
// (but "0" itself), within 64 bits.
bool count_of(std::string_view text, std::uint64_t &out) {
    if (text.empty() || text.size() > 20 || (text[0] == '0' && text.size() > 1)) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace

std::string to_hex(const Hash &h) { return hex_of(h); }
std::string to_hex(const Origin &o) { return hex_of(o); }

std::optional<Hash> hash_from_hex(std::string_view hex) {
    Hash h;
    if (!bytes_of(hex, h, true)) return std::nullopt;
    return h;
}

std::string anchor_text(const ChainHead &h) {
    return to_hex(h.origin) + ":" + std::to_string(h.count) + ":" + to_hex(h.hash);
}

Result<ChainHead> parse_anchor(std::string_view text) {
    if (text.empty()) return invalid("it is empty");
    const auto first = text.find(':');
    const auto last = text.rfind(':');
    if (first == std::string_view::npos) return invalid("it is not ORIGIN:COUNT:HASH (no ':')");
    if (first == last) {
        std::uint64_t count = 0;
        Hash h;
        if (count_of(text.substr(0, first), count) && bytes_of(text.substr(first + 1), h, false))
            return invalid(
                "it is COUNT:HASH, an anchor from before journals named their origin: put "
                "the journal's origin (journal verify prints it) and ':' before it");
        return invalid("it is not ORIGIN:COUNT:HASH");
    }
    if (text.find(':', first + 1) != last)
        return invalid("it is not ORIGIN:COUNT:HASH (more than two ':')");
    ChainHead a;
    if (!bytes_of(text.substr(0, first), a.origin, false))
        return invalid("its origin is not 32 lowercase hex digits");
    if (!count_of(text.substr(first + 1, last - first - 1), a.count))
        return invalid("its count is not a decimal number without sign or leading zeros");
    if (!bytes_of(text.substr(last + 1), a.hash, false))
        return invalid("its hash is not 64 lowercase hex digits");
    return a;
}

} // namespace cabinetd
