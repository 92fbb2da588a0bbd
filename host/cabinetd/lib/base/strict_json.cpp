#include "strict_json.h"

#include <fmt/format.h>

#include <optional>
#include <set>
#include <vector>

namespace cabinetd {

using nlohmann::json;

Result<json> parse_strict_json(std::string_view text) {
    // The keys seen so far in each object still open, innermost last.
    std::vector<std::set<std::string>> open;
    std::optional<std::string> twice;
    const json::parser_callback_t note = [&](int, json::parse_event_t event, json &parsed) {
        switch (event) {
        case json::parse_event_t::object_start: open.emplace_back(); break;
        case json::parse_event_t::object_end:
            if (!open.empty()) open.pop_back();
            break;
        case json::parse_event_t::key:
            if (!open.empty() && !open.back().insert(parsed.get<std::string>()).second && !twice)
                twice = parsed.get<std::string>();
            break;
        default: break;
        }
        return true;
    };
    auto j = json::parse(text.begin(), text.end(), note, /*allow_exceptions=*/false);
    if (twice && !j.is_discarded())
        return Refusal{
            "bad_request",
            fmt::format("the key \"{}\" is given twice in one object; give each key once", *twice)};
    return j;
}

} // namespace cabinetd
