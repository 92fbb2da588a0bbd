// A request target's query string and the parameters the API reads from it.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

using QueryParams = std::map<std::string, std::string>;

// Query string of a request target, percent-decoded; nothing for a malformed
// one or one that gives a parameter twice.
std::optional<QueryParams> parse_query(std::string_view target);

// Kinds a stream carries unless told otherwise: what happened to the
// cabinets, not the line traffic (acks and commands stay in the journal).
extern const std::set<std::string> kStreamKinds;
// Every kind of record the journal holds.
extern const std::set<std::string> kAllKinds;

// Kinds from a "kind" parameter ("event,gap"), `def` without one; nothing,
// and the unknown kind in `bad`, if one is not a kind.
std::optional<std::vector<std::string>>
kinds_param(const QueryParams &q, const std::set<std::string> &def, std::string &bad);

} // namespace cabinetd
