// Heartbeats journalled as changes of their health, never one by one.
#include "heartbeat_health.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using namespace cabinetd;
using namespace cabinet_host;

Request answered(const std::string &code, const std::string &session = "s1") {
    Request r;
    r.session_id = session;
    r.status = RequestStatus::Answered;
    r.ack = AckLine{session, 1, 1, code, "", 0};
    return r;
}

Request failed(Failure f, const std::string &session = "s1") {
    Request r;
    r.session_id = session;
    r.status = RequestStatus::Failed;
    r.failure = f;
    return r;
}

// The journalled reason of a change, or "" when nothing is journalled.
std::string journalled(HeartbeatHealth &h, const Request &r, const char *outcome) {
    auto heard = h.done(r);
    EXPECT_EQ(heard.outcome, outcome);
    if (!heard.record) return "";
    EXPECT_EQ(heard.record->code, outcome);
    EXPECT_EQ(heard.record->session_id, r.session_id);
    return nlohmann::json::parse(heard.record->detail).at("reason");
}

TEST(HeartbeatHealth, JournalsEachChangeOfHealthOnce) {
    HeartbeatHealth h("lab");
    EXPECT_EQ(journalled(h, answered("heartbeat_ok"), "ok"), "first heartbeat acknowledged");
    EXPECT_TRUE(h.take_answered()); // the ack that answered it is not journalled itself
    EXPECT_FALSE(h.take_answered());
    EXPECT_EQ(journalled(h, answered("heartbeat_ok"), "ok"), "");
    EXPECT_NE(journalled(h, failed(Failure::Timeout), "missing"), "");
    EXPECT_EQ(journalled(h, failed(Failure::LineLost), "missing"), "");
    EXPECT_EQ(journalled(h, answered("heartbeat_ok"), "ok"),
              "answered again after heartbeats went unanswered");
    EXPECT_NE(journalled(h, answered("stale_command"), "refused"), "");
    EXPECT_EQ(journalled(h, answered("heartbeat_ok"), "ok"),
              "acknowledged again after being refused (stale_command)");
    EXPECT_EQ(h.health(), "ok");
    // A new session's first is journalled, as is the next link's.
    EXPECT_EQ(journalled(h, answered("heartbeat_ok", "s2"), "ok"), "first heartbeat acknowledged");
    h.forget();
    EXPECT_EQ(journalled(h, answered("heartbeat_ok", "s2"), "ok"), "first heartbeat acknowledged");
    // The link or the session ended it: not counted, and the health starts afresh.
    EXPECT_EQ(journalled(h, failed(Failure::ConnectionLost, "s2"), ""), "");
    EXPECT_EQ(h.health(), "");
}

} // namespace
