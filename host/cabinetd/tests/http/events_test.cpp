// The events API's query parameters and its CSV, as pure functions.
#include "events_csv.h"
#include "events_query.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace cabinetd {
namespace {

Result<EventsRequest> parse(const char *target, std::string_view accept = {}) {
    return parse_events_query(*parse_query(target), accept);
}

TEST(EventsQuery, FiltersAreReadStrictlyAndBadOnesSayWhy) {
    auto ok = *parse("/api/events?cabinet=lab&door=8&requested_by=alice&kind=open,gap,open"
                     "&since_ms=0&until_ms=1700000000000&after=5&limit=1000");
    EXPECT_EQ(ok.query.door, 8u);
    EXPECT_EQ(ok.query.requested_by, "alice");
    EXPECT_EQ(ok.query.kinds, (std::vector<RecordKind>{RecordKind::Open, RecordKind::Gap}));
    EXPECT_EQ(ok.query.since_ms, 0);
    EXPECT_EQ(ok.query.until_ms, 1700000000000);
    EXPECT_FALSE(ok.csv);
    for (const char *outcome : {"accepted", "refused", "driver_rearming", "clear_denied", "timeout",
                                "journal_unavailable", "unknown"})
        EXPECT_EQ(parse((std::string("/?outcome=") + outcome).c_str())->query.outcome, outcome);
    for (const char *bad : {"?door=0",
                            "?door=9",
                            "?door=03",
                            "?door=",
                            "?requested_by=",
                            "?requested_by=a%20b",
                            "?requested_by_prefix=",
                            "?kind=",
                            "?kind=open,",
                            "?kind=,open",
                            "?since_ms=-1",
                            "?until_ms=1e3",
                            "?since_ms=5&until_ms=5",
                            "?until_ms=0",
                            "?format=xml",
                            "?dor=3",
                            "?limit=1001",
                            "?outcome=",
                            "?outcome=Accepted",
                            "?outcome=cleared",
                            "?outcome=open_accepted",
                            "?outcome=refused,busy"}) {
        auto r = parse((std::string("/api/events") + bad).c_str());
        ASSERT_FALSE(r) << bad;
        EXPECT_EQ(r.refusal().code, "bad_request") << bad;
        EXPECT_FALSE(r.refusal().text.empty());
    }
}

TEST(EventsQuery, CsvWhenAskedByParameterOrPreferredByAccept) {
    EXPECT_TRUE(parse("/?format=csv")->csv);
    EXPECT_FALSE(parse("/?format=json", "text/csv")->csv);
    EXPECT_TRUE(parse("/", "text/csv")->csv);
    EXPECT_TRUE(prefers_csv("application/json;q=0.5, TEXT/CSV"));
    EXPECT_FALSE(prefers_csv("text/csv;q=0.5, application/json"));
    EXPECT_FALSE(prefers_csv("text/csv;q=0"));
    EXPECT_FALSE(prefers_csv("text/csv;q=banana"));
    EXPECT_FALSE(prefers_csv("*/*"));
}

TEST(EventsCsv, FieldsAreQuotedAndFormulasNeutralised) {
    EXPECT_EQ(csv_field("plain"), "plain");
    EXPECT_EQ(csv_field("a,b"), "\"a,b\"");
    EXPECT_EQ(csv_field("say \"hi\"\nnow"), "\"say \"\"hi\"\"\nnow\"");
    EXPECT_EQ(csv_field("=HYPERLINK(\"x\")"), "\"'=HYPERLINK(\"\"x\"\")\"");
    for (const char *f : {"+1", "-1", "@SUM(A1)", "\tx"}) EXPECT_EQ(csv_field(f)[0], '\'') << f;

    const auto row = csv_row(nlohmann::json::parse(R"({
        "cursor": 7, "at_ms": 1700000000123, "cabinet": "lab", "kind": "open", "code": "",
        "session_id": "s-1", "request_id": "r,1", "door_id": 3, "event_seq": null,
        "detail": {"requested_by": "=cmd", "reason": "stock check"}, "outcome": "driver_rearming",
        "hash": "00ff"})"));
    // An open's reason is what its requester said: its own column, not the text.
    EXPECT_EQ(row,
              "7,2023-11-14T22:13:20.123Z,lab,open,,3,s-1,,\"r,1\",'=cmd,,driver_rearming,,,00ff,"
              "stock check,\r\n");
    const auto alarm = csv_row(nlohmann::json::parse(R"({
        "cursor": 8, "at_ms": 0, "cabinet": "lab", "kind": "alarm", "code": "forced_open",
        "door_id": 5, "alarm_state": "acknowledged", "actor": "ops"})"));
    EXPECT_TRUE(alarm.ends_with(",5,,,,,,,acknowledged,ops,,,\r\n")) << alarm;
    EXPECT_EQ(csv_header(),
              "cursor,at,cabinet,kind,code,door,session_id,event_seq,request_id,"
              "requested_by,text,outcome,alarm_state,actor,hash,reason,approved_by\r\n");
}

// CSV as a spreadsheet reads it: cells split on sep, records on line ends,
// and a quote opens a quoted cell only at the start of a cell; in mid-cell
// it is just a character.
std::vector<std::vector<std::string>> read_sheet(std::string_view text, char sep) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false, at_start = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool next_quote = i + 1 < text.size() && text[i + 1] == '"';
        if (quoted) {
            if (c != '"') rows.back().back() += c;
            else if (next_quote) rows.back().back() += text[++i];
            else quoted = false;
        } else if (c == '"' && at_start) {
            quoted = true;
        } else if (c == sep) {
            rows.back().emplace_back();
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            rows.emplace_back(1);
        } else {
            rows.back().back() += c;
        }
        at_start = !quoted && (c == sep || c == '\r' || c == '\n');
    }
    return rows;
}

TEST(EventsCsv, NoCellStartsAFormulaWhetherSplitOnCommaOrSemicolon) {
    const char *names[] = {"x;=1+1", "x;\"=1+1\"", ";@SUM(A1)", "a;;-2",      "=a;+b",
                           "a\n=1",  "a\r\n+1",    "a;\r;\t",   "plain;name", "\"q\";x"};
    std::string csv = csv_header();
    for (const char *name : names)
        csv += csv_row({{"cursor", 1},
                        {"at_ms", 0},
                        {"kind", "open"},
                        {"detail", {{"requested_by", name}, {"reason", name}}}});
    for (const char sep : {',', ';'})
        for (const auto &row : read_sheet(csv, sep))
            for (const auto &cell : row)
                EXPECT_TRUE(cell.empty() ||
                            std::string_view("=+-@\t\r").find(cell[0]) == std::string_view::npos)
                    << "split on '" << sep << "': a cell starts a formula: " << cell;
    // Read by RFC 4180, each record is whole, and the name is as given but for
    // the apostrophes that neutralise it.
    const auto rows = read_sheet(csv, ',');
    ASSERT_EQ(rows.size(), std::size(names) + 2); // the header, the records, the last line end
    for (std::size_t i = 0; i < std::size(names); ++i) {
        ASSERT_EQ(rows[i + 1].size(), 17u) << names[i];
        for (std::size_t col : {9u, 15u}) { // requested_by, reason
            auto cell = rows[i + 1][col];
            cell.erase(std::remove(cell.begin(), cell.end(), '\''), cell.end());
            EXPECT_EQ(cell, names[i]);
        }
    }
    EXPECT_EQ(csv_field("x;=1+1"), "\"x;'=1+1\"");
}

} // namespace
} // namespace cabinetd
