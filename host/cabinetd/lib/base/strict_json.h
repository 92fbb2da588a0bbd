// JSON from outside (a request body, an MQTT payload, the config file),
// parsed strictly. nlohmann's parser keeps the last of two members with one
// key, so {"alarm_id":"A","alarm_id":"B"} would act on B while a proxy, a
// log or another parser in front of cabinetd reads A: a key given twice in
// one object is refused instead, naming the key. Keys are compared as
// parsed, so "a" and "\u0061" are the same key; each object has keys of its
// own, so {"a":{"x":1},"b":{"x":2}} is fine.
#pragma once

#include "result.h"

#include <nlohmann/json.hpp>

#include <string_view>

namespace cabinetd {

// The value, discarded (is_discarded()) when the text is not JSON at all, as
// nlohmann's own parse without exceptions; or refused ("bad_request") with
// the first key given twice, and that each is given once.
Result<nlohmann::json> parse_strict_json(std::string_view text);

} // namespace cabinetd
