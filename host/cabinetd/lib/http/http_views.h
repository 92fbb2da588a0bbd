// The API's JSON views of a cabinet, a journal record and a command's result,
// for its answers and its event stream. A viewer's views leave out where a
// cabinet is attached (its device path or host:port): the endpoint field, and
// the endpoint wherever a link's reason names it.
#pragma once

#include "cabinet_types.h"
#include "record.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cabinetd {

// What a cabinet's status shows of the service around it.
struct StatusContext {
    bool journal_available = true;
    std::string board_id; // the cabinet's board (16 hex digits), "" while unknown
    std::vector<std::string> board_shared_with; // other cabinets reporting the same board
    std::uint8_t unowned_alarms = 0;            // doors whose alarms no token may acknowledge
    // The cabinet's steady clock now, which the status's steady stamps are
    // on (nothing: the host's steady clock), and the figures that moved
    // since the status was taken (nothing: the status's own).
    std::optional<std::uint64_t> now_ms;
    std::optional<LiveFigures> live;
};

nlohmann::json status_json(const CabinetStatus &s, bool for_operator,
                           const StatusContext &context = {});
nlohmann::json record_json(const Record &r);
nlohmann::json record_json(const Record &r, bool for_operator, std::string_view endpoint);
nlohmann::json result_json(const CommandResult &r);
// What a record's code means (host/lib's words), the `text` of its JSON;
// nothing for a record whose code needs none (a command, an open, a clear:
// their outcome says how they went) or that no words are known for.
std::optional<std::string_view> record_text(const Record &r);

} // namespace cabinetd
