// Journal records as CSV for a spreadsheet (RFC 4180: a header row, CRLF
// line ends, fields quoted when they hold a comma, a quote or a line end,
// and also a semicolon, so that a reader splitting on ';' as much of Europe's
// spreadsheets do by default keeps it in the field when it honours quotes).
// A record's text comes partly from outside (a token's name, a controller's
// reason), and opening an export must never run it: a spreadsheet takes a
// cell starting with =, +, -, @, a tab or a carriage return for a formula,
// so such a field gets a leading apostrophe. A reader splitting on ';' takes
// a quote in mid-cell as it is and starts a cell after every ';' (and a line
// after every line end) inside a field, wherever our quotes are: there the
// next character gets an apostrophe too when it is one of those or a quote,
// which such a reader would take for the start of a quoted cell. So a token
// named `x;=1+1` exports as "x;'=1+1", and no cell under either separator
// starts a formula.
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
