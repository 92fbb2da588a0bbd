// The record kinds are the journal's (record.h); the API document served at
// /api/openapi.json, which the page reads them from, must list the same, and
// say which of them a stream carries unless told otherwise. Every code the
// document lets a record carry has words, which the page, cabinetctl and
// MQTT show: a code added without them fails here.
#include "http_views.h"
#include "openapi.h"
#include "record.h"

#include <cabinet_host/explain.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace cabinetd {
namespace {

TEST(OpenApi, ListsTheJournalsRecordKindsAndWhatAStreamCarries) {
    std::vector<std::string> every, streamed;
    for (const auto k : kRecordKinds) {
        EXPECT_EQ(record_kind(to_string(k)), k);
        every.emplace_back(to_string(k));
        if (streamed_by_default(k)) streamed.emplace_back(to_string(k));
    }
    const auto doc = nlohmann::json::parse(openapi_json());
    EXPECT_EQ(doc["components"]["schemas"]["RecordKind"]["enum"], every);
    const auto &params = doc["paths"]["/api/stream"]["get"]["parameters"];
    const auto kind = std::find_if(params.begin(), params.end(),
                                   [](const auto &p) { return p.value("name", "") == "kind"; });
    ASSERT_NE(kind, params.end());
    EXPECT_EQ((*kind)["schema"]["default"], streamed);
}

// The codes the document lists for each kind of record: its `code` enum, or
// the schema it refers to.
std::map<std::string, std::vector<std::string>> documented_codes(const nlohmann::json &doc) {
    std::map<std::string, std::vector<std::string>> out;
    const auto &schemas = doc["components"]["schemas"];
    for (const auto &rule : schemas["Record"]["allOf"]) {
        if (!rule.contains("then") || !rule["then"].contains("properties") ||
            !rule["then"]["properties"].contains("code"))
            continue;
        auto code = rule["then"]["properties"]["code"];
        if (code.contains("$ref")) {
            const auto ref = code["$ref"].get<std::string>();
            code = schemas[ref.substr(ref.rfind('/') + 1)];
        }
        const auto kind = rule["if"]["properties"]["kind"]["const"].get<std::string>();
        for (const auto &c : code["enum"]) out[kind].push_back(c.get<std::string>());
    }
    return out;
}

TEST(OpenApi, EveryCodeARecordMayCarryHasWords) {
    const auto doc = nlohmann::json::parse(openapi_json());
    const auto codes = documented_codes(doc);
    for (const char *kind :
         {"link", "session", "heartbeat", "alarm", "approval", "journal", "state"})
        EXPECT_TRUE(codes.count(kind)) << "the document lists no codes for " << kind;
    const auto has_words = [](RecordKind kind, std::string_view code) {
        Record r;
        r.kind = kind;
        r.code = std::string(code);
        const auto j = record_json(r);
        return j.contains("text") && !j["text"].get<std::string>().empty();
    };
    for (const auto &[kind, list] : codes)
        for (const auto &code : list)
            EXPECT_TRUE(has_words(*record_kind(kind), code)) << kind << " " << code;
    // Refusals and failures: cabinetd's own, and each of the controller's.
    for (auto code : own_refusals()) EXPECT_TRUE(has_words(RecordKind::Refused, code)) << code;
    for (const auto &e : cabinet_host::all_explanations()) {
        if (e.kind == cabinet_host::CodeKind::AckRefusal) {
            EXPECT_TRUE(has_words(RecordKind::Refused, e.code)) << e.code;
        }
        EXPECT_TRUE(has_words(e.kind == cabinet_host::CodeKind::AckRefusal ||
                                      e.kind == cabinet_host::CodeKind::AckSuccess
                                  ? RecordKind::Ack
                                  : RecordKind::Event,
                              e.code))
            << e.code;
    }
    for (auto code : failure_outcomes()) {
        EXPECT_TRUE(has_words(RecordKind::OpenFailed, code)) << code;
        EXPECT_TRUE(has_words(RecordKind::ClearFailed, code)) << code;
    }
    EXPECT_FALSE(has_words(RecordKind::Link, "sideways")); // and none for a code nobody sends
}

} // namespace
} // namespace cabinetd
