// What a GET /api/events asks for: the journal query its parameters make,
// and whether the answer is to be CSV.
#pragma once

#include "http_query.h"
#include "record.h"

#include <string>
#include <string_view>
#include <variant>

namespace cabinetd {

struct EventsRequest {
    Query query;
    bool csv = false;
};

// Why a request's parameters are not a query (answered 400).
struct EventsRefusal {
    std::string text;
};

// The query of an events request's parameters and Accept header. Every
// parameter is read strictly (whole numbers in their canonical form, known
// kinds, no parameter the API does not know); a cabinet's name is taken as
// given, and whether there is one is the caller's to check.
std::variant<EventsRequest, EventsRefusal> parse_events_query(const QueryParams &q,
                                                              std::string_view accept);

// True when an Accept header prefers text/csv to JSON: text/csv named with
// a weight above zero and above application/json's (absent: 0).
bool prefers_csv(std::string_view accept);

} // namespace cabinetd
