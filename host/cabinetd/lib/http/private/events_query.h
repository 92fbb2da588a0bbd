// What a GET /api/events asks for: the journal query its parameters make,
// and whether the answer is to be CSV.
#pragma once

#include "http_query.h"
#include "record.h"
#include "result.h"

#include <string_view>

namespace cabinetd {

struct EventsRequest {
    Query query;
    bool csv = false;
};

// The query of an events request's parameters and Accept header. Every
// parameter is read strictly (whole numbers in their canonical form, known
// kinds, no parameter the API does not know); a cabinet's name is taken as
// given, and whether there is one is the caller's to check. Parameters that
// are not a query are refused (bad_request).
Result<EventsRequest> parse_events_query(const QueryParams &q, std::string_view accept);

// True when an Accept header prefers text/csv to JSON: text/csv named with
// a weight above zero and above application/json's (absent: 0).
bool prefers_csv(std::string_view accept);

} // namespace cabinetd
