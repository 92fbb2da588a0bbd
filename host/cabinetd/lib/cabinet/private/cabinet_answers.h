// The answers a cabinet gives to opens and clears that no ack answered, and
// the mapping from an ack to an answer: shared by the cabinet's parts.
#pragma once

#include "cabinet.h"

namespace cabinetd {

CommandResult from_ack(const cabinet_host::AckLine &a);
CommandResult failure(cabinet_host::Outcome outcome, std::string code, std::string text);
CommandResult failure_of(const cabinet_host::Request &r);
CommandResult journal_unavailable(const std::string &reason);

} // namespace cabinetd
