#include "cabinet_host/outcome.h"

#include "cabinet_host/explain.h"

namespace cabinet_host {

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
    switch (o) {
    case Outcome::Done: return "done";
    case Outcome::Error: return "error";
    case Outcome::Refused: return "refused";
    case Outcome::Fault: return "fault";
    case Outcome::Timeout: return "timeout";
    case Outcome::ConnectionLost: return "connection_lost";
    case Outcome::Interrupted: return "interrupted";
    }
    return "error";
}

Outcome outcome_of(const Request &r) {
    if (r.status == RequestStatus::Answered && r.ack)
        return is_success_ack(r.ack->code) ? Outcome::Done : Outcome::Refused;
    switch (r.failure) {
    case Failure::Timeout:
    case Failure::LineLost: // the line never arrived whole: no answer to it will come
        return Outcome::Timeout;
    case Failure::SessionChanged:
    case Failure::ConnectionLost: return Outcome::ConnectionLost;
    case Failure::NoSession: return Outcome::Refused;
    case Failure::BadArgument:
    case Failure::None: return Outcome::Error;
    }
    return Outcome::Error;
}

} // namespace cabinet_host
