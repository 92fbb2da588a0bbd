// A request target's query string and the parameters the API reads from it.
#pragma once

#include "record.h"
#include "result.h"

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
// name, none empty, each taken once however often it is named. Anything
// else is refused (bad_request), naming the name that is not a kind.
Result<std::vector<RecordKind>> parse_kinds(std::string_view text);

} // namespace cabinetd
