#include "cabinet_host/outcome.h"

#include "cabinet_host/explain.h"
#include "cabinet_host/words.h"

#include <array>
#include <utility>

namespace cabinet_host {
namespace {

constexpr std::array<std::pair<Outcome, std::string_view>, 7> kNames{{
    {Outcome::Done, "done"},
    {Outcome::Error, "error"},
    {Outcome::Refused, "refused"},
    {Outcome::Fault, "fault"},
    {Outcome::Timeout, "timeout"},
    {Outcome::ConnectionLost, "connection_lost"},
    {Outcome::Interrupted, "interrupted"},
}};

} // namespace

int exit_code(Outcome o) {
    switch (o) {
    case Outcome::Done: return 0;
    case Outcome::Error: return 1;
    case Outcome::Refused: return 2;
    case Outcome::Fault: return 3;
    case Outcome::Timeout: return 4;
    case Outcome::ConnectionLost: return 5;
    case Outcome::Interrupted: return 130; // the shell's code for death by SIGINT
    }
    return 1;
}

std::string_view to_string(Outcome o) {
    for (const auto &[outcome, name] : kNames)
        if (outcome == o) return name;
    return "error";
}

std::optional<Outcome> parse_outcome(std::string_view name) {
    for (const auto &[outcome, n] : kNames)
        if (n == name) return outcome;
    return std::nullopt;
}

Outcome outcome_of_ack(std::string_view code) {
    return ack_kind(code) == CodeKind::AckSuccess ? Outcome::Done : Outcome::Refused;
}

Outcome outcome_of_failure(Failure f) {
    switch (f) {
    case Failure::Timeout:
    case Failure::LineLost: return Outcome::Timeout;
    case Failure::SessionChanged:
    case Failure::ConnectionLost: return Outcome::ConnectionLost;
    case Failure::NoSession:
    case Failure::IdentityInvalid: return Outcome::Refused;
    case Failure::BadArgument:
    case Failure::None: return Outcome::Error;
    }
    return Outcome::Error;
}

Outcome outcome_of(const Request &r) {
    if (r.status == RequestStatus::Answered && r.ack) return outcome_of_ack(r.ack->code);
    return outcome_of_failure(r.failure);
}

Outcome outcome_of_cycle_end(std::string_view end) {
    if (end == codes::kCycleComplete) return Outcome::Done;
    if (is_fault_code(end) || end == codes::kFaultCleared) return Outcome::Fault;
    if (end == to_string(Failure::Timeout)) return Outcome::Timeout;
    return Outcome::ConnectionLost;
}

} // namespace cabinet_host
