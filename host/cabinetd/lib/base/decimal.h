// Whole numbers from outside (path segments, query values, headers) in their
// one canonical form: ASCII digits only, no sign, no spaces, no leading zero
// ("0" itself excepted), and within the type's range. "03", "+3", " 3" and
// "3 " are not 3: a client that writes them gets a refusal, never a door or
// a cursor it did not name exactly.
#pragma once

#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

namespace cabinetd {

template <class T> std::optional<T> parse_decimal(std::string_view s) {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    if (s.empty() || (s.size() > 1 && s[0] == '0')) return std::nullopt;
    T v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const T d = static_cast<T>(c - '0');
        if (v > (std::numeric_limits<T>::max() - d) / 10) return std::nullopt;
        v = static_cast<T>(v * 10 + d);
    }
    return v;
}

} // namespace cabinetd
