#include "heartbeat_health.h"

#include "log.h"
#include "stamped.h"

#include <cabinet_host/explain.h>
#include <cabinet_host/words.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace cabinetd {

using namespace cabinet_host;

HeartbeatHealth::Heard HeartbeatHealth::done(const Request &req) {
    std::string outcome, refusal;
    if (req.status == RequestStatus::Answered && req.ack) {
        answered_ = true;
        if (req.ack->code == codes::kHeartbeatOk) outcome = "ok";
        else {
            outcome = "refused";
            refusal = req.ack->code;
        }
    } else if (req.failure == Failure::Timeout || req.failure == Failure::LineLost) {
        outcome = "missing";
    } else {
        // The link went or the controller restarted: their own records say
        // so, and the health of the next session starts afresh.
        health_.clear();
        return {};
    }
    // A new session's first is journalled.
    if (req.session_id != session_) health_.clear();
    session_ = req.session_id;
    if (outcome == health_ && refusal == refusal_) return {outcome, std::nullopt};
    nlohmann::json detail;
    if (outcome == "ok") {
        if (health_.empty()) detail["reason"] = "first heartbeat acknowledged";
        else if (health_ == "refused")
            detail["reason"] = fmt::format("acknowledged again after being refused ({})", refusal_);
        else detail["reason"] = "answered again after heartbeats went unanswered";
    } else if (outcome == "refused") {
        detail["ack"] = refusal;
        detail["reason"] = std::string(explain_text(refusal));
    } else {
        detail["reason"] =
            req.failure_text.empty() ? std::string("a heartbeat got no answer") : req.failure_text;
    }
    if (outcome != "ok" || !health_.empty())
        log(outcome == "ok" ? Level::Notice : Level::Warning,
            fmt::format("{}: heartbeat {}: {}", cabinet_, outcome,
                        detail["reason"].get<std::string>()));
    Record r = stamped(cabinet_, RecordKind::Heartbeat);
    r.session_id = req.session_id;
    r.code = outcome;
    r.detail = detail.dump();
    health_ = outcome;
    refusal_ = refusal;
    return {outcome, std::move(r)};
}

} // namespace cabinetd
