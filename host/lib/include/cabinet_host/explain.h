// What each code the controller sends means, in words a person can act on.
#pragma once

#include <span>
#include <string_view>

namespace cabinet_host {

enum class CodeKind {
    AckSuccess, // "accepted", "heartbeat_ok", "cleared"
    AckRefusal, // every other ack code
    Event,      // an event that is not a fault
    Fault,      // a fault code: latched, ends an operation, needs clear_fault
};

struct Explanation {
    std::string_view code;
    CodeKind kind;
    std::string_view text; // what happened and what to do, one line
};

// The explanation of a code, or nullptr for a code this host does not know.
const Explanation *explain(std::string_view code);

// The text for a code, with a generic sentence for unknown codes.
std::string_view explain_text(std::string_view code);

// The whole table (ack codes, then event and fault codes).
std::span<const Explanation> all_explanations();

// True for the codes that latch a fault ("power_fault", "heartbeat_lost", ...).
bool is_fault_code(std::string_view code);

// True for the ack codes that report success.
bool is_success_ack(std::string_view code);

// The kind of a code in an event line, and in an ack line: "event_seq_exhausted"
// is a fault as an event and a refusal as an ack. A code this host does not
// know is an event, or a refusal.
CodeKind event_kind(std::string_view code);
CodeKind ack_kind(std::string_view code);

// A kind as the API names it: "success", "refusal", "event", "fault".
std::string_view to_string(CodeKind k);

// True for the events that end an open's cycle: "cycle_complete", a fault, or
// "fault_cleared" (a clear abandoned the operation).
bool ends_cycle(std::string_view code);

// True for the faults no clear can clear: only a restart of the controller.
bool needs_restart(std::string_view code);

// True for the ack codes that say the command itself was wrong (a value out
// of range, an id missing, a line unreadable): sending it again as it was
// cannot succeed.
bool is_command_error_ack(std::string_view code);

// True for the ack codes that say a line could not be read at all (it arrived
// damaged, or too long): nothing in it was acted on.
bool is_unread_line_ack(std::string_view code);

} // namespace cabinet_host
