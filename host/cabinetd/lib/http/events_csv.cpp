#include "events_csv.h"

#include <fmt/format.h>

#include <ctime>

namespace cabinetd {

using nlohmann::json;

namespace {

std::string utc_iso(std::int64_t ms) {
    const std::time_t s = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    if (ms < 0 || !gmtime_r(&s, &tm)) return std::to_string(ms);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms % 1000);
}

// A string member of an object, empty when it is absent or not a string.
std::string text_of(const json &j, const char *key) {
    if (!j.is_object()) return {};
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string number_of(const json &j, const char *key) {
    auto it = j.find(key);
    return it != j.end() && it->is_number_integer() ? it->dump() : std::string();
}

// What a spreadsheet takes for the start of a formula.
bool formula_start(char c) {
    return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

} // namespace

std::string csv_field(std::string_view value) {
    std::string v;
    // Where a cell begins for some reader: the field's start for one
    // splitting on ',', and after a ';' or a line end for one splitting on ';'.
    bool first = true, after_split = false;
    for (const char c : value) {
        if ((first && formula_start(c)) || (after_split && (formula_start(c) || c == '"')))
            v += '\'';
        v += c;
        first = false;
        after_split = c == ';' || c == '\r' || c == '\n';
    }
    if (v.find_first_of(",;\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (const char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string csv_header() {
    return "cursor,at,cabinet,kind,code,door,session_id,event_seq,request_id,requested_by,text,"
           "outcome,alarm_state,actor,hash,reason,approved_by\r\n";
}

std::string csv_row(const json &view) {
    const json none = json::object();
    const json &detail = view.contains("detail") ? view["detail"] : none;
    std::string by = text_of(detail, "requested_by");
    if (by.empty()) by = text_of(detail, "by");
    std::string text = text_of(view, "text");
    if (text.empty()) text = text_of(detail, "text");
    // An open's reason is what its requester said, in a column of its own;
    // any other record's is why it happened, its text.
    const auto kind = text_of(view, "kind");
    const bool stated = kind == "open" || kind == "refused";
    if (text.empty() && !stated) text = text_of(detail, "reason");
    const auto door = view.value("door_id", 0u);
    const auto at = view.value("at_ms", std::int64_t{0});
    return fmt::format("{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},{}\r\n",
                       number_of(view, "cursor"), utc_iso(at), csv_field(text_of(view, "cabinet")),
                       csv_field(text_of(view, "kind")), csv_field(text_of(view, "code")),
                       door ? std::to_string(door) : std::string(),
                       csv_field(text_of(view, "session_id")), number_of(view, "event_seq"),
                       csv_field(text_of(view, "request_id")), csv_field(by), csv_field(text),
                       csv_field(text_of(view, "outcome")), csv_field(text_of(view, "alarm_state")),
                       csv_field(text_of(view, "actor")), csv_field(text_of(view, "hash")),
                       csv_field(stated ? text_of(detail, "reason") : std::string()),
                       csv_field(text_of(view, "approved_by")));
}

} // namespace cabinetd
