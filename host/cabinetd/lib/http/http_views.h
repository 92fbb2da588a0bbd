// The API's JSON views of a cabinet, a journal record and a command's result,
// for its answers and its event stream. A viewer's views leave out where a
// cabinet is attached (its device path or host:port): the endpoint field, and
// the endpoint wherever a link's reason names it.
#pragma once

#include "cabinet_types.h"
#include "record.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

// What a cabinet's status shows of the service around it.
struct StatusContext {
    bool journal_available = true;
    std::string board_id; // the cabinet's board (16 hex digits), "" while unknown
    std::vector<std::string> board_shared_with; // other cabinets reporting the same board
};

nlohmann::json status_json(const CabinetStatus &s, bool for_operator,
                           const StatusContext &context = {});
nlohmann::json record_json(const Record &r);
nlohmann::json record_json(const Record &r, bool for_operator, std::string_view endpoint);
nlohmann::json result_json(const CommandResult &r);

} // namespace cabinetd
