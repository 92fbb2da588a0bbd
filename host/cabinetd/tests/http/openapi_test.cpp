// The record kinds are the journal's (record.h); the API document served at
// /api/openapi.json, which the page reads them from, must list the same, and
// say which of them a stream carries unless told otherwise.
#include "openapi.h"
#include "record.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
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

} // namespace
} // namespace cabinetd
