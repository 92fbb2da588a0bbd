// Text from outside that people read or that tells people apart, judged by
// Unicode's own tables (utf8proc) rather than by byte ranges: names that
// must not pass for one another, and reasons that must say something.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cabinetd {

// The form two names are compared in: NFKC with case folded, so "Anna",
// "ANNA" and "Ａｎｎａ" (fullwidth) are one name. Nothing for text that is not
// UTF-8, or that holds a character no name should: a control or format
// character (bidi controls, zero-width spaces), a space of any kind, a
// private-use or unassigned one.
std::optional<std::string> folded_name(std::string_view text);

// What is wrong with a reason, or nothing: it must be UTF-8, hold at least
// one visible character (a letter, digit, punctuation or symbol: spaces,
// U+00A0 or U+200B alone say nothing) and no control character and no bidi
// control (U+202A..U+202E, U+2066..U+2069, U+200E, U+200F, U+061C), which
// would make a journal reader see the words in another order.
std::optional<std::string> reason_fault(std::string_view text);

// How many code points the UTF-8 text holds (what a length limit counts).
std::size_t code_points(std::string_view text);

} // namespace cabinetd
