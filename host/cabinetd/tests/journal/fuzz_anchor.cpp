// libFuzzer target for the anchor parser (anchor.h), whose input is whatever
// an auditor pastes after --anchor. Every text it takes is exactly what
// anchor_text writes for what it made of it (strict and canonical), and every
// text it refuses says why; the process traps on a broken promise.
#include "anchor.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const auto parsed = cabinetd::parse_anchor(text);
    check(parsed || !parsed.refusal().text.empty());
    if (parsed) {
        check(parsed->cursor == 0);
        check(cabinetd::anchor_text(*parsed) == text);
        const auto again = cabinetd::parse_anchor(cabinetd::anchor_text(*parsed));
        check(again && again->count == parsed->count && again->hash == parsed->hash &&
              again->origin == parsed->origin);
    }
    return 0;
}
