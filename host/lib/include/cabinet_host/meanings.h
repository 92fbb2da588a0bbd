// What cabinetd's own codes mean, in words a person can act on: beside the
// controller's codes (explain.h), the codes of the records and answers that
// cabinetd makes itself (a refusal before the line, an open that got no
// answer, a step of a two-person open, an alarm, the link, ...). cabinetd
// puts these words on everything it serves and publishes, so the operator
// page, cabinetctl and MQTT's `text` say the same for the same code; nobody
// keeps a table of their own.
#pragma once

#include <optional>
#include <span>
#include <string_view>

namespace cabinet_host {

struct Meaning {
    // Where the code appears: "refusal" (an action cabinetd refused before
    // the line), "failure" (why an open or a clear got no answer, or was
    // never sent), and the record kinds "approval", "alarm", "link",
    // "session", "heartbeat", "journal" and "state".
    std::string_view where;
    std::string_view code;
    std::string_view text; // one line: what it means, and what to do
};

std::span<const Meaning> all_meanings();

// The words for a code where it appears; for "event", "ack" and "refusal"
// the controller's codes too (a refusal of the controller's counted by
// cabinetd keeps the controller's code). Nothing for a code without words.
std::optional<std::string_view> words_for(std::string_view where, std::string_view code);

} // namespace cabinet_host
