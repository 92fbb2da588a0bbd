#include "api_context.h"

#include "http_views.h"

#include <fmt/format.h>

namespace cabinetd {

Cabinet *ApiContext::cabinet(std::string_view name) const {
    for (auto &[c, ep] : cabinets)
        if (c->name() == name) return c;
    return nullptr;
}

std::string ApiContext::endpoint(std::string_view cabinet) const {
    for (auto &[c, ep] : cabinets)
        if (c->name() == cabinet) return ep;
    return {};
}

std::vector<CabinetStatus> ApiContext::statuses() const {
    std::vector<CabinetStatus> out;
    for (auto &[c, ep] : cabinets) out.push_back(c->status());
    return out;
}

nlohmann::json ApiContext::status_view(const Cabinet &c, bool for_operator) const {
    StatusContext sc;
    sc.journal_available = journal.available();
    if (boards) {
        sc.board_id = boards->board(c.name());
        sc.board_shared_with = boards->shared_with(c.name());
    }
    return status_json(c.status(), for_operator, sc);
}

std::optional<std::string> ApiContext::degraded() const {
    if (journal.available()) return std::nullopt;
    return fmt::format("the journal cannot write: {}", journal.unavailable_reason());
}

} // namespace cabinetd
