// A request target's query string and the parameters the API reads from it.
#pragma once

#include "record.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

using QueryParams = std::map<std::string, std::string>;

// Query string of a request target, percent-decoded; nothing for a malformed
// one or one that gives a parameter twice.
std::optional<QueryParams> parse_query(std::string_view target);

// The kinds a "kind" parameter names ("event,gap"): each a record kind's
// name, none empty, each taken once however often it is named. Nothing, and
// the name that is not a kind in `bad`, for anything else.
std::optional<std::vector<RecordKind>> parse_kinds(std::string_view text, std::string &bad);

} // namespace cabinetd
