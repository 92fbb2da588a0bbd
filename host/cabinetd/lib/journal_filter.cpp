// The journal's filters on a record in memory; page_sql in journal_read.cpp
// asks the same of the database.
#include "journal.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace cabinetd {

std::string requester(const Record &r) {
    // Most records name nobody: their detail is not parsed at all.
    if (r.detail.find("\"requested_by\"") == std::string::npos &&
        r.detail.find("\"by\"") == std::string::npos)
        return {};
    const auto d = nlohmann::json::parse(r.detail, nullptr, false);
    if (!d.is_object()) return {};
    for (const char *field : {"requested_by", "by"}) {
        auto it = d.find(field);
        if (it != d.end() && it->is_string()) return it->get<std::string>();
    }
    return {};
}

bool matches(const Query &q, const Record &r) {
    if (!q.cabinet.empty() && r.cabinet != q.cabinet) return false;
    if (!q.kinds.empty() && std::find(q.kinds.begin(), q.kinds.end(), r.kind) == q.kinds.end())
        return false;
    if (q.door && r.door_id != q.door) return false;
    if (q.since_ms && r.at_ms < *q.since_ms) return false;
    if (q.until_ms && r.at_ms >= *q.until_ms) return false;
    return q.requested_by.empty() || r.requested_by == q.requested_by;
}

} // namespace cabinetd
