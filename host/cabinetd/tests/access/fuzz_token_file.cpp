// libFuzzer target for the token file's parser and its hours. The first
// byte chooses which; the rest is the text. It traps on a broken promise:
// an accepted file names nobody twice (after folding) and holds no token
// twice; accepted hours are written the one way there is, so printing them
// gives back the text exactly.
#include "hours.h"
#include "token_file.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view text(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1) {
        if (auto h = cabinetd::parse_hours(text)) {
            check(cabinetd::hours_text(*h) == text);
            check(!h->windows.empty() && h->windows.size() <= cabinetd::kHourWindowsMax);
        } else {
            check(!h.refusal().text.empty());
        }
        return 0;
    }
    auto parsed = cabinetd::parse_token_file(text);
    if (!parsed) {
        const auto &text = parsed.refusal().text;
        check(text.rfind("token file line ", 0) == 0 && text.size() > 16 && text[16] >= '1' &&
              text[16] <= '9');
        return 0;
    }
    const auto &lines = *parsed;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        check(!lines[i].name.empty() && !lines[i].folded.empty());
        for (std::size_t j = 0; j < i; ++j) {
            check(lines[i].folded != lines[j].folded);
            check(lines[i].digest != lines[j].digest);
            check(lines[i].line > lines[j].line);
        }
    }
    return 0;
}
