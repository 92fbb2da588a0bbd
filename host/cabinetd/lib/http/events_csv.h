// Journal records as CSV for a spreadsheet (RFC 4180: a header row, CRLF
// line ends, fields quoted when they hold a comma, a quote or a line end).
// A text field that a spreadsheet would take for a formula (=, +, -, @, a
// tab or a carriage return first) gets a leading apostrophe: a record's
// text comes partly from outside (a token's name, a controller's reason),
// and opening an export must never run it.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace cabinetd {

// cursor,at,cabinet,kind,code,door,session_id,event_seq,request_id,requested_by,text
std::string csv_header();

// One record's row, from its API view (record_json): `at` in UTC as
// ISO 8601 with milliseconds, `door` empty for none, `requested_by` from
// the detail (`by` for an alarm's acknowledgement), `text` the code's
// explanation or the detail's text or reason.
std::string csv_row(const nlohmann::json &view);

// One field, neutralised and quoted as needed.
std::string csv_field(std::string_view value);

} // namespace cabinetd
