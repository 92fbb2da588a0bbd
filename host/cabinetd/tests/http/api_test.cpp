// The API's answers as a client gets them, without sockets: routing, who may
// do what, what bad input is told, and each handler's answers over a real
// journal and cabinets (api_rig.h).
#include "api_rig.h"

#include "http_routes.h"
#include "openapi.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <tuple>

namespace cabinetd::test_support {
namespace {

using nlohmann::json;
using V = http::verb;

// Paths no route has, methods a route does not take, and requests without
// the token or the role their route needs.
TEST_F(ApiRig, RefusesRequestsNobodyMayMake) {
    const std::string open = "/api/cabinets/lab/doors/1/open";
    expect_refused({
        {V::get, "/api/cabinets", "", "", {}, 401},
        {V::get, "/api/cabinets", "not-a-token-at-all", "", {}, 401},
        {V::get, "/api/cabinets", "", "", {{"Authorization", "Basic " + kViewer}}, 401},
        {V::get, "/api/journal/head", "", "", {}, 401},
        // A stream token works for a stream only, and only in its query.
        {V::get, "/api/whoami?token=" + kViewer, "", "", {}, 401},
        {V::get, "/api/stream?token=s0123456789abcdef", "", "", {}, 401},
        {V::post, open, "", "", {}, 401},
        {V::post, open, kViewer, "", {}, 403},
        {V::post, "/api/cabinets/lab/clear-fault", kViewer, "", {}, 403},
        {V::post, "/api/cabinets/lab/alarms/ack", kViewer, "", {}, 403},
        {V::post, "/api/cabinets/zz/doors/1/open", kOperator, "", {}, 404},
        {V::post, "/api/cabinets/zz/clear-fault", kOperator, "", {}, 404},
        {V::get, "/api/cabinets/zz", kViewer, "", {}, 404},
        // Numbers from outside have one form: "03" or "+3" is not door 3.
        {V::post, "/api/cabinets/lab/doors/0/open", kOperator, "", {}, 404},
        {V::post, "/api/cabinets/lab/doors/9/open", kOperator, "", {}, 404},
        {V::post, "/api/cabinets/lab/doors/x/open", kOperator, "", {}, 404},
        {V::post, "/api/cabinets/lab/doors/03/open", kOperator, "", {}, 404},
        {V::post, "/api/cabinets/lab/doors/+3/open", kOperator, "", {}, 404},
        {V::get, "/api/nothing", kViewer, "", {}, 404},
        {V::get, "/api/cabinets/", kViewer, "", {}, 404},
        {V::get, "//api/cabinets", kViewer, "", {}, 404},
        {V::get, "/../../etc/passwd", "", "", {}, 404},
        {V::get, open, kOperator, "", {}, 405},
        {V::post, "/api/cabinets", kOperator, "", {}, 405},
        // Outside a token's scope (lab's doors 1 to 4), whether or not there
        // is such a cabinet.
        {V::post, "/api/cabinets/lab/doors/5/open", kNurse, "", {}, 403},
        {V::post, "/api/cabinets/dead/doors/1/open", kNurse, "", {}, 403},
        {V::post, "/api/cabinets/dead/clear-fault", kNurse, "", {}, 403},
        {V::get, "/api/cabinets/dead", kNurse, "", {}, 403},
        {V::get, "/api/cabinets/zz", kNurse, "", {}, 403},
        {V::get, "/api/events?cabinet=dead", kNurse, "", {}, 403},
        {V::get, "/api/stream?cabinet=dead", kNurse, "", {}, 403},
    });
}

// Bad input of each kind an open, a search, a stream or an acknowledgement takes.
TEST_F(ApiRig, RefusesBadInputWithAClearError) {
    const std::string open = "/api/cabinets/lab/doors/1/open";
    const Headers text{{"Content-Type", "text/plain"}};
    expect_refused({
        {V::post, open, kOperator, "", {{"Idempotency-Key", ""}}, 400},
        {V::post, open, kOperator, "", {{"Idempotency-Key", "a b"}}, 400},
        {V::post, open, kOperator, "", {{"Idempotency-Key", std::string(65, 'k')}}, 400},
        {V::post, open, kOperator, R"({"pulse_ms":99})", {}, 422},
        {V::post, open, kOperator, R"({"pulse_ms":1001})", {}, 422},
        {V::post, open, kOperator, R"({"ttl_ms":0})", {}, 422},
        {V::post, open, kOperator, R"({"pulse_ms":"500"})", {}, 400},
        {V::post, open, kOperator, R"({"puls_ms":500})", {}, 400},
        {V::post, open, kOperator, R"({"pulse_ms": )", {}, 400},
        {V::post, open, kOperator, R"({"pulse_ms":100,"pulse_ms":1000})", {}, 400},
        {V::post, open, kOperator, "[]", {}, 400},
        {V::post, open, kOperator, "pulse=5", text, 415},
        {V::post, open + "?wait=forever", kOperator, "", {}, 400},
        {V::post, open + "?wait=cycle&wait=cycle", kOperator, "", {}, 400},
        {V::post, open, kOperator, R"({"reason":""})", {}, 400},
        {V::post, open, kOperator, R"({"reason":7})", {}, 400},
        {V::post, open, kOperator, R"({"reason":"a\u0007b"})", {}, 400},
        {V::post, open, kOperator, R"({"reason":"a\u0085b"})", {}, 400},
        {V::post, open, kOperator, json{{"reason", std::string(201, 'r')}}.dump(), {}, 400},
        {V::post, "/api/cabinets/lab/doors/7/open", kOperator, "", {}, 400},
        {V::get, "/api/events?reason=", kViewer, "", {}, 400},
        {V::get, "/api/events?reason=%0A", kViewer, "", {}, 400},
        {V::get, "/api/events?after=007", kViewer, "", {}, 400},
        {V::get, "/api/events?limit=01", kViewer, "", {}, 400},
        {V::get, "/api/events?kind=secret", kViewer, "", {}, 400},
        {V::get, "/api/events?cabinet=%zz", kViewer, "", {}, 400},
        {V::get, "/api/events?cabinet=zz", kViewer, "", {}, 404},
        // Quoted in the answer, bytes that are not UTF-8 are still a JSON error.
        {V::get, "/api/events?outcome=%FF", kViewer, "", {}, 400},
        {V::get, "/api/events?cabinet=%C3", kViewer, "", {}, 404},
        {V::get, "/api/stream?kind=secret", kViewer, "", {}, 400},
        {V::get, "/api/stream?status=yes", kViewer, "", {}, 400},
        {V::get, "/api/stream?cabinet=zz", kViewer, "", {}, 404},
        {V::post, "/api/cabinets/lab/alarms/ack", kOperator, "x", text, 415},
        {V::post, "/api/cabinets/lab/alarms/ack", kOperator, R"({"id":"x"})", {}, 400},
        {V::post, "/api/cabinets/lab/alarms/ack", kOperator, R"({"alarm_id":"ABC"})", {}, 400},
        {V::post,
         "/api/cabinets/lab/alarms/ack",
         kOperator,
         R"({"alarm_id":"a","alarm_id":"b"})",
         {},
         400},
        {V::post,
         "/api/cabinets/lab/alarms/ack",
         kOperator,
         R"({"alarm_id":"0123456789abcdef0123456789abcdef"})",
         {},
         404},
    });
}

// Where a cabinet is attached is for operators, on the list and on each
// cabinet's own route. (What else the status shows and keeps from viewers:
// http_views_test.cpp.)
TEST_F(ApiRig, ShowsCabinetsToViewersWithoutWhereTheyAreAttached) {
    const auto ops = json_of(get("/api/cabinets", kOperator))["cabinets"];
    const auto kiosk = json_of(get("/api/cabinets", kViewer))["cabinets"];
    ASSERT_EQ(ops.size(), 2u);
    ASSERT_EQ(kiosk.size(), 2u);
    EXPECT_EQ(ops[0]["name"], "lab");
    EXPECT_EQ(ops[0]["endpoint"], "/dev/ttyLAB");
    for (auto &c : kiosk) EXPECT_FALSE(c.contains("endpoint")) << c;
    EXPECT_FALSE(json_of(get("/api/cabinets/dead")).contains("endpoint"));
    EXPECT_EQ(json_of(get("/api/cabinets/dead", kOperator))["endpoint"], kDeadEndpoint);
}

struct OpenCase {
    std::string ack; // the controller's; "": none
    int status;
    const char *outcome;
};

// An open answers with the controller's ack, by the one outcome table:
// accepted 202, a refusal 409, a refusal of the command's values 422, no
// answer 504, a controller out of reach 503.
TEST_F(ApiRig, AnOpenAnswersWithTheControllersAckByItsOutcome) {
    for (const auto &c : std::vector<OpenCase>{{"accepted", 202, "done"},
                                               {"busy", 409, "refused"},
                                               {"door_not_secure", 409, "refused"},
                                               {"session_mismatch", 409, "refused"},
                                               {"range_error", 422, "refused"},
                                               {"invalid_message", 422, "refused"},
                                               {"", 504, "timeout"}}) {
        {
            std::lock_guard lk(script_.mu);
            script_.open_ack = c.ack;
        }
        const auto r = serve(V::post, "/api/cabinets/lab/doors/3/open", kOperator);
        EXPECT_EQ(static_cast<int>(r.status), c.status) << c.ack << ": " << r.body;
        const auto j = json_of(r);
        EXPECT_EQ(j["outcome"], c.outcome) << c.ack;
        EXPECT_EQ(j["code"], c.ack.empty() ? "timeout" : c.ack);
        EXPECT_TRUE(j["idempotency_key"].is_null());
        EXPECT_FALSE(j.contains("cycle")) << "a cycle nobody waited for";
    }
    const auto down = serve(V::post, "/api/cabinets/dead/doors/3/open", kOperator);
    EXPECT_EQ(static_cast<int>(down.status), 503);
    EXPECT_EQ(json_of(down)["outcome"], "connection_lost");

    {
        std::lock_guard lk(script_.mu);
        script_.open_ack = "accepted";
    }
    const auto cycle = serve(V::post, "/api/cabinets/lab/doors/3/open?wait=cycle", kOperator,
                             R"({"pulse_ms":100,"ttl_ms":5000})");
    EXPECT_EQ(static_cast<int>(cycle.status), 200) << cycle.body;
    const auto j = json_of(cycle);
    EXPECT_EQ(j["outcome"], "done");
    EXPECT_EQ(j["cycle"]["end"], "cycle_complete");
    EXPECT_EQ(j["cycle"]["events"].size(), 2u);
}

// A token's idempotency keys are its own: its retry is answered again, never
// sent again; another operator's key of the same name is an open of its own.
TEST_F(ApiRig, KeysAnswerRetriesOfTheirOwnToken) {
    const auto open = [&](unsigned door, const std::string &token) {
        return serve(V::post, "/api/cabinets/lab/doors/" + std::to_string(door) + "/open", token,
                     "", {{"Idempotency-Key", "retry-1"}});
    };
    const auto first = json_of(open(1, kOperator));
    EXPECT_EQ(first["idempotency_key"], "retry-1");
    EXPECT_EQ(first["replayed"], false);
    const auto again = open(1, kOperator);
    EXPECT_EQ(static_cast<int>(again.status), 202);
    EXPECT_EQ(json_of(again)["replayed"], true);
    EXPECT_EQ(json_of(again)["request_id"], first["request_id"]);
    const auto other_door = open(2, kOperator);
    EXPECT_EQ(static_cast<int>(other_door.status), 409);
    EXPECT_EQ(json_of(other_door)["code"], "key_reused");
    const auto other_token = json_of(open(1, kOperator2));
    EXPECT_EQ(other_token["replayed"], false);
    EXPECT_NE(other_token["request_id"], first["request_id"]);
    std::lock_guard lk(script_.mu);
    EXPECT_EQ(script_.heard, (std::vector<std::string>{"open", "open"}));
}

// Door 8 needs a second operator: the open waits, its retry finds the same
// approval, its requester cannot approve it, another operator can (the open
// then goes as the requester's, once), and the journal names both.
TEST_F(ApiRig, ATwoPersonOpenGoesOnceASecondOperatorApproves) {
    const auto ask = [&] {
        return serve(V::post, "/api/cabinets/lab/doors/8/open", kOperator, "",
                     {{"Idempotency-Key", "two-1"}});
    };
    const auto asked = ask();
    EXPECT_EQ(static_cast<int>(asked.status), 202);
    const auto id = json_of(asked)["approval_id"].get<std::string>();
    EXPECT_EQ(json_of(asked)["status"], "awaiting_approval");
    EXPECT_EQ(id.size(), 32u);
    EXPECT_EQ(json_of(ask())["approval_id"], id);
    EXPECT_EQ(json_of(get("/api/cabinets/lab"))["two_person_doors"], json::array({8}));
    const auto listed = json_of(get("/api/approvals", kOperator2))["approvals"];
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["requested_by"], "ops");
    EXPECT_EQ(listed[0]["may_approve"], true);
    EXPECT_EQ(json_of(get("/api/approvals", kOperator))["approvals"][0]["may_approve"], false);
    const auto own = serve(V::post, "/api/approvals/" + id, kOperator);
    EXPECT_EQ(static_cast<int>(own.status), 403);
    EXPECT_NE(own.body.find("same_person"), std::string::npos);
    {
        std::lock_guard lk(script_.mu);
        EXPECT_TRUE(script_.heard.empty());
    }
    const auto approved = serve(V::post, "/api/approvals/" + id, kOperator2);
    EXPECT_EQ(static_cast<int>(approved.status), 202) << approved.body;
    EXPECT_EQ(json_of(approved)["idempotency_key"], "two-1");
    const auto used = serve(V::post, "/api/approvals/" + id, kOperator2);
    EXPECT_EQ(static_cast<int>(used.status), 409);
    EXPECT_NE(used.body.find("approval_used"), std::string::npos);
    const auto retried = json_of(ask());
    EXPECT_EQ(retried["replayed"], true);
    EXPECT_EQ(retried["request_id"], json_of(approved)["request_id"]);
    {
        std::lock_guard lk(script_.mu);
        EXPECT_EQ(script_.heard, std::vector<std::string>{"open"});
    }
    const auto open = json_of(get("/api/events?kind=open"))["events"];
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0]["detail"]["requested_by"], "ops");
    EXPECT_EQ(open[0]["detail"]["approved_by"], "ops2");
    json steps;
    ASSERT_TRUE(eventually([&] {
        steps = json_of(get("/api/events?kind=approval"))["events"];
        return steps.size() == 2;
    }));
    EXPECT_EQ(steps[0]["code"], "requested");
    EXPECT_EQ(steps[1]["code"], "approved");
    EXPECT_EQ(steps[1]["detail"]["approved_by"], "ops2");
    EXPECT_EQ(steps[1]["detail"]["open_outcome"], "accepted");
    // The approver has a column of their own in the audit's CSV.
    const auto csv = get("/api/events?kind=open&format=csv").body;
    EXPECT_NE(csv.find(",reason,approved_by\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",ops2\r\n"), std::string::npos) << csv;
}

// A pending approval is its requester's as long as the token file says so:
// a reload that removes, downgrades or rescopes the requester ends it
// (journalled), and a renamed line is the same person, who still cannot
// approve their own open.
TEST_F(ApiRig, APendingApprovalLastsOnlyWhileItsRequesterMayOpenTheDoor) {
    const auto others = fmt::format("ops2 operator {}\nkiosk viewer {}\n", kOperator2, kViewer);
    for (const auto &[line, why] : std::vector<std::pair<std::string, std::string>>{
             {"", "no longer in the token file"},
             {fmt::format("ops viewer {}\n", kOperator), "viewer role"},
             {fmt::format("ops operator {} lab:1-4\n", kOperator), "does not cover door 8"}}) {
        reload(fmt::format("ops operator {}\n", kOperator) + others);
        const auto id =
            json_of(serve(V::post, "/api/cabinets/lab/doors/8/open", kOperator))["approval_id"]
                .get<std::string>();
        reload(line + others);
        EXPECT_TRUE(json_of(get("/api/approvals"))["approvals"].empty()) << why;
        const auto late = serve(V::post, "/api/approvals/" + id, kOperator2);
        EXPECT_EQ(static_cast<int>(late.status), 409) << why;
        EXPECT_NE(late.body.find("approval_revoked"), std::string::npos) << late.body;
        EXPECT_NE(late.body.find(why), std::string::npos) << late.body;
    }
    json revoked;
    ASSERT_TRUE(eventually([&] {
        revoked = json_of(get("/api/events?kind=approval"))["events"];
        return revoked.size() == 6;
    }));
    EXPECT_EQ(revoked[1]["code"], "revoked");
    EXPECT_EQ(revoked[1]["detail"]["requested_by"], "ops");
    EXPECT_NE(revoked[1]["detail"]["why"].get<std::string>().find("no longer"), std::string::npos);

    reload(fmt::format("ops operator {}\n", kOperator) + others);
    const auto id =
        json_of(serve(V::post, "/api/cabinets/lab/doors/8/open", kOperator))["approval_id"]
            .get<std::string>();
    reload(fmt::format("ops.s operator {}\n", kOperator) + others); // a typo fixed
    const auto own = serve(V::post, "/api/approvals/" + id, kOperator);
    EXPECT_EQ(static_cast<int>(own.status), 403);
    EXPECT_NE(own.body.find("same_person"), std::string::npos) << own.body;
    std::lock_guard lk(script_.mu);
    EXPECT_TRUE(script_.heard.empty());
}

// What "acknowledge all" acknowledges is what was checked, on the cabinet's
// thread, at once: a door's alarm raised while the request is on its way is
// not acknowledged by a token that may not acknowledge it.
TEST_F(ApiRig, AcknowledgingAllAcknowledgesOnlyTheAlarmsItWasCheckedFor) {
    for (int round = 0; round < 20; ++round) {
        script_.event("door_open", 6);
        const auto r = serve(V::post, "/api/cabinets/lab/alarms/ack", kNurse);
        EXPECT_TRUE(r.status == http::status::ok || r.status == http::status::forbidden) << r.body;
        ASSERT_TRUE(eventually([&] { return lab().alarms().size() == 1; }));
        EXPECT_FALSE(lab().alarms()[0].acknowledged_by) << "round " << round;
        serve(V::post, "/api/cabinets/lab/alarms/ack", kOperator);
        ASSERT_TRUE(eventually([&] { return lab().alarms().empty(); }));
    }
    // Asked once the alarm is there, the nurse is refused, on record as a
    // refused acknowledgement.
    script_.event("door_open", 6);
    ASSERT_TRUE(eventually([&] { return lab().alarms().size() == 1; }));
    EXPECT_EQ(static_cast<int>(serve(V::post, "/api/cabinets/lab/alarms/ack", kNurse).status), 403);
    const auto refused = json_of(get("/api/events?kind=refused"))["events"];
    ASSERT_FALSE(refused.empty());
    EXPECT_EQ(refused[0]["detail"]["action"], "acknowledge");
    EXPECT_EQ(refused[0]["door_id"], 6);
}

// Hours limit opening and approving, not reading nor acknowledging; the
// token sees its hours, and when they next let it in.
TEST_F(ApiRig, OutsideItsHoursATokenOpensNothingAndIsToldWhen) {
    reload(fmt::format("ops operator {} lab:*@Mon-Fri/07:00-19:00\nops2 operator {}\n", kOperator,
                       kOperator2));
    wall_ = std::chrono::time_point_cast<std::chrono::milliseconds>(
        std::chrono::sys_days{std::chrono::year{2026} / 12 / 12} + std::chrono::hours(9));
    const auto closed = serve(V::post, "/api/cabinets/lab/doors/1/open", kOperator);
    EXPECT_EQ(static_cast<int>(closed.status), 403);
    EXPECT_EQ(json_of(closed)["error"].get<std::string>().rfind("outside_hours:", 0), 0u);
    const auto me = json_of(get("/api/whoami", kOperator))["cabinets"]["lab"];
    EXPECT_EQ(me["hours"], "Mon-Fri/07:00-19:00");
    EXPECT_EQ(me["open_now"], false);
    EXPECT_EQ(me["next_open_ms"], 1797228000000); // Monday 14 December, 07:00 in Berlin
    const auto asked = serve(V::post, "/api/cabinets/lab/doors/8/open", kOperator2);
    const auto id = json_of(asked)["approval_id"].get<std::string>();
    const auto approve = serve(V::post, "/api/approvals/" + id, kOperator);
    EXPECT_EQ(static_cast<int>(approve.status), 403);
    EXPECT_NE(approve.body.find("outside_hours"), std::string::npos);
    EXPECT_EQ(static_cast<int>(get("/api/cabinets/lab", kOperator).status), 200);
    json refused;
    ASSERT_TRUE(eventually([&] {
        refused = json_of(get("/api/events?outcome=outside_hours", kOperator2))["events"];
        return refused.size() == 2;
    }));
    EXPECT_EQ(refused[1]["detail"]["action"], "approve");
    std::lock_guard lk(script_.mu);
    EXPECT_TRUE(script_.heard.empty());
}

// Declined by another, withdrawn by its requester, expired, or past the
// requester's share: nothing reaches the controller, and a settled approval
// is never used.
TEST_F(ApiRig, ATwoPersonOpenEndsWithoutAnOpenWhenNobodyApproves) {
    const auto ask = [&](const std::string &token) {
        return json_of(serve(V::post, "/api/cabinets/lab/doors/8/open", token))["approval_id"]
            .get<std::string>();
    };
    const auto declined = ask(kOperator), withdrawn = ask(kOperator), expired = ask(kOperator);
    EXPECT_EQ(static_cast<int>(serve(V::delete_, "/api/approvals/" + declined, kViewer).status),
              403);
    EXPECT_EQ(json_of(serve(V::delete_, "/api/approvals/" + declined, kOperator2))["status"],
              "declined");
    EXPECT_EQ(json_of(serve(V::delete_, "/api/approvals/" + withdrawn, kOperator))["status"],
              "withdrawn");
    approval_ms_ += 60000;
    EXPECT_TRUE(json_of(get("/api/approvals"))["approvals"].empty());
    for (const auto &[id, status, code] : std::vector<std::tuple<std::string, int, std::string>>{
             {declined, 409, "approval_declined"},
             {withdrawn, 409, "approval_withdrawn"},
             {expired, 410, "approval_expired"},
             {std::string(32, '0'), 404, "no approval"}}) {
        const auto r = serve(V::post, "/api/approvals/" + id, kOperator2);
        EXPECT_EQ(static_cast<int>(r.status), status) << code;
        EXPECT_NE(r.body.find(code), std::string::npos) << r.body;
    }
    for (int i = 0; i < 8; ++i) ask(kOperator);
    const auto past = serve(V::post, "/api/cabinets/lab/doors/8/open", kOperator);
    EXPECT_EQ(static_cast<int>(past.status), 429);
    EXPECT_NE(past.body.find("too_many_approvals"), std::string::npos);
    const auto metrics = get("/metrics", "").body;
    for (const char *line :
         {"cabinetd_approvals_total{step=\"requested\"} 11",
          "cabinetd_approvals_total{step=\"declined\"} 1",
          "cabinetd_approvals_total{step=\"withdrawn\"} 1",
          "cabinetd_approvals_total{step=\"expired\"} 1", "cabinetd_approvals_pending 8"})
        EXPECT_NE(metrics.find(line), std::string::npos) << line;
    std::lock_guard lk(script_.mu);
    EXPECT_TRUE(script_.heard.empty());
}

TEST_F(ApiRig, AClearAnswersWithTheControllersAck) {
    const auto cleared = serve(V::post, "/api/cabinets/lab/clear-fault", kOperator);
    EXPECT_EQ(static_cast<int>(cleared.status), 200);
    EXPECT_EQ(json_of(cleared)["outcome"], "done");
    {
        std::lock_guard lk(script_.mu);
        script_.clear_ack = "clear_denied";
    }
    const auto denied = serve(V::post, "/api/cabinets/lab/clear-fault", kOperator);
    EXPECT_EQ(static_cast<int>(denied.status), 409);
    EXPECT_EQ(json_of(denied)["code"], "clear_denied");
}

TEST_F(ApiRig, AnOperatorAcknowledgesAForcedDoorsAlarm) {
    script_.event("door_open", 2);
    ASSERT_TRUE(eventually([&] { return lab().alarms().size() == 1; }));
    const auto alarm = json_of(get("/api/cabinets/lab"))["alarms"][0];
    EXPECT_EQ(alarm["code"], "forced_open");
    EXPECT_EQ(alarm["door"], 2);
    EXPECT_TRUE(alarm["acknowledged_by"].is_null());
    const auto id = alarm["alarm_id"].get<std::string>();
    const auto ack =
        serve(V::post, "/api/cabinets/lab/alarms/ack", kOperator, json{{"alarm_id", id}}.dump());
    EXPECT_EQ(static_cast<int>(ack.status), 200) << ack.body;
    EXPECT_EQ(json_of(ack)["acknowledged"], json::array({id}));
    // The door is closed again (its state lines say so): the alarm ends.
    ASSERT_TRUE(eventually([&] { return lab().alarms().empty(); }));
    const auto none = serve(V::post, "/api/cabinets/lab/alarms/ack", kOperator);
    EXPECT_EQ(json_of(none)["acknowledged"], json::array());
    const auto records = json_of(get("/api/events?kind=alarm"))["events"];
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[1]["detail"]["state"], "acknowledged");
    EXPECT_EQ(records[1]["detail"]["by"], "ops");
}

// While the journal cannot write, nothing that should be on record is done:
// opens, clears and acknowledgements get 503, and /healthz says why.
TEST_F(ApiRig, WhileTheJournalCannotWriteNothingIsDoneOffTheRecord) {
    fill_the_disk();
    for (const char *path : {"/api/cabinets/lab/doors/1/open", "/api/cabinets/lab/clear-fault",
                             "/api/cabinets/lab/alarms/ack"}) {
        const auto r = serve(V::post, path, kOperator);
        EXPECT_EQ(static_cast<int>(r.status), 503) << path;
        EXPECT_NE(r.body.find("journal_unavailable"), std::string::npos) << r.body;
    }
    const auto health = get("/healthz", "");
    EXPECT_EQ(static_cast<int>(health.status), 503);
    EXPECT_EQ(json_of(health)["status"], "degraded");
    EXPECT_EQ(json_of(get("/api/cabinets/lab"))["open_blocked_reason"], "the journal cannot write");
    std::lock_guard lk(script_.mu);
    EXPECT_TRUE(script_.heard.empty());
}

TEST_F(ApiRig, EventsAnswerAsJsonOrCsvAPageAtATime) {
    ASSERT_EQ(static_cast<int>(serve(V::post, "/api/cabinets/lab/doors/4/open", kOperator).status),
              202);
    const auto page = get("/api/events?kind=open&cabinet=lab");
    const auto j = json_of(page);
    ASSERT_EQ(j["events"].size(), 1u);
    EXPECT_EQ(j["events"][0]["door_id"], 4);
    EXPECT_EQ(j["events"][0]["detail"]["requested_by"], "ops");
    EXPECT_EQ(j["more"], false);
    ASSERT_EQ(page.headers.size(), 2u);
    EXPECT_EQ(page.headers[0].second,
              std::to_string(j["next"].get<std::int64_t>())); // Cabinetd-Next
    EXPECT_EQ(page.headers[1].second, "false");               // Cabinetd-More
    for (const auto &[query, accept] : std::vector<std::pair<std::string, std::string>>{
             {"&format=csv", "application/json"}, {"", "text/csv"}}) {
        const auto csv =
            serve(V::get, "/api/events?kind=open" + query, kViewer, "", {{"Accept", accept}});
        EXPECT_EQ(csv.content_type, "text/csv; charset=utf-8; header=present");
        EXPECT_EQ(std::count(csv.body.begin(), csv.body.end(), '\n'), 2) << csv.body;
        EXPECT_NE(csv.body.find(",open,"), std::string::npos);
        EXPECT_NE(csv.body.find(j["events"][0]["hash"].get<std::string>() + ",,\r\n"),
                  std::string::npos); // each record's link in the chain, its reason, its approver
    }
    EXPECT_EQ(json_of(get("/api/events?requested_by=nobody"))["events"].size(), 0u);
    // A requester's prefix, in either case; a name is not a prefix of itself plus more.
    EXPECT_EQ(json_of(get("/api/events?kind=open&requested_by_prefix=oP"))["events"].size(), 1u);
    EXPECT_EQ(json_of(get("/api/events?kind=open&requested_by_prefix=opsx"))["events"].size(), 0u);
    // The chain's head, for a site to keep as an anchor, once the journal's
    // own check found the chain holding.
    ASSERT_TRUE(eventually([&] { return json_of(get("/api/journal/head"))["chain"] == "holds"; }));
    const auto head = json_of(get("/api/journal/head"));
    EXPECT_GE(head["cursor"], j["events"][0]["cursor"]);
    EXPECT_EQ(head["anchor"],
              fmt::format("{}:{}:{}", head["origin"].get<std::string>(),
                          head["count"].get<std::uint64_t>(), head["hash"].get<std::string>()));
}

// Each token has a few searches waiting or running at once; past them it is
// told to try again.
TEST_F(ApiRig, SearchesPastATokensShareAreRefusedWithRetryAfter) {
    std::promise<void> gate;
    const auto opened = gate.get_future().share();
    const auto kiosk = tokens_->check(kViewer)->grant;
    for (int i = 0; i < 4; ++i) // the reader's share for one token
        reader_.submit(kiosk, [opened] { opened.wait_for(std::chrono::seconds(30)); });
    const auto refused = get("/api/events");
    gate.set_value();
    EXPECT_EQ(static_cast<int>(refused.status), 429);
    ASSERT_EQ(refused.headers.size(), 1u);
    EXPECT_EQ(refused.headers[0].second, "1");
    EXPECT_TRUE(eventually([&] { return get("/api/events").status == http::status::ok; }));
}

// A scoped token opens its own doors, is refused (and journalled) at the
// others, and reads only its own cabinets.
TEST_F(ApiRig, AScopedTokenActsOnItsDoorsAndReadsItsCabinets) {
    EXPECT_EQ(static_cast<int>(serve(V::post, "/api/cabinets/lab/doors/2/open", kNurse).status),
              202);
    const auto refused = serve(V::post, "/api/cabinets/lab/doors/6/open", kNurse);
    EXPECT_EQ(static_cast<int>(refused.status), 403);
    EXPECT_EQ(json_of(refused)["error"].get<std::string>().rfind("not_permitted:", 0), 0u);
    json records;
    ASSERT_TRUE(eventually([&] {
        records = json_of(get("/api/events?outcome=not_permitted", kNurse))["events"];
        return records.size() == 1;
    }));
    EXPECT_EQ(records[0]["kind"], "refused");
    EXPECT_EQ(records[0]["door_id"], 6);
    EXPECT_EQ(records[0]["detail"]["requested_by"], "nurse");

    const auto cabinets = json_of(get("/api/cabinets", kNurse))["cabinets"];
    ASSERT_EQ(cabinets.size(), 1u);
    EXPECT_EQ(cabinets[0]["name"], "lab");
    const auto all = json_of(get("/api/events?limit=1000", kNurse))["events"];
    EXPECT_FALSE(all.empty());
    for (auto &r : all) EXPECT_EQ(r["cabinet"], "lab") << r;
    EXPECT_EQ(json_of(get("/api/whoami", kNurse))["scope"], (json{{"lab", {1, 2, 3, 4}}}));

    // An alarm on a door outside the scope is not the token's to acknowledge.
    script_.event("door_open", 7);
    ASSERT_TRUE(eventually([&] { return lab().alarms().size() == 1; }));
    EXPECT_EQ(static_cast<int>(serve(V::post, "/api/cabinets/lab/alarms/ack", kNurse).status), 403);
    EXPECT_EQ(static_cast<int>(serve(V::post, "/api/cabinets/lab/alarms/ack", kOperator).status),
              200);
}

// A door that needs a reason opens only with one; the reason goes on the
// record, in its CSV row, and can be searched for.
TEST_F(ApiRig, AReasonDoorOpensWithAReasonOnRecord) {
    const std::string open = "/api/cabinets/lab/doors/7/open";
    const auto none = serve(V::post, open, kOperator);
    EXPECT_EQ(static_cast<int>(none.status), 400);
    EXPECT_EQ(json_of(none)["error"].get<std::string>().rfind("reason_required:", 0), 0u);
    const auto said = serve(V::post, open, kOperator, R"({"reason":"ward round, bed 3"})");
    EXPECT_EQ(static_cast<int>(said.status), 202) << said.body;

    const auto found = json_of(get("/api/events?reason=round"))["events"];
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]["kind"], "open");
    EXPECT_EQ(found[0]["detail"]["reason"], "ward round, bed 3");
    const auto refusal = json_of(get("/api/events?kind=refused"))["events"];
    ASSERT_EQ(refusal.size(), 1u);
    EXPECT_EQ(refusal[0]["code"], "reason_required");
    const auto csv = get("/api/events?reason=round&format=csv").body;
    EXPECT_NE(csv.find(",\"ward round, bed 3\",\r\n"), std::string::npos) << csv;
    const auto doors = json_of(get("/api/cabinets/lab"))["doors"];
    ASSERT_EQ(doors.size(), 8u);
    EXPECT_TRUE(doors[6]["needs_reason"]);
    EXPECT_FALSE(doors[7]["needs_reason"]);
}

TEST_F(ApiRig, WhoAsksTheirStreamTokenAndWhatNeedsNone) {
    const auto me = json_of(get("/api/whoami"));
    EXPECT_EQ(me["name"], "kiosk");
    EXPECT_EQ(me["role"], "viewer");
    EXPECT_EQ(me["scope"], nullptr);
    EXPECT_EQ(me["cabinets"]["lab"]["open"], json::array());
    EXPECT_EQ(json_of(serve(V::get, "/api/whoami", "", "",
                            {{"Authorization", "bearer " + kOperator}}))["role"],
              "operator");
    const auto issued = json_of(serve(V::post, "/api/stream-token", kViewer));
    EXPECT_EQ(issued["expires_in_s"], 60);
    const auto token = issued["token"].get<std::string>();
    EXPECT_EQ(token.size(), 33u); // "s" and 128 bits
    EXPECT_EQ(static_cast<int>(get("/api/stream?token=" + token, "").status), 200);
    EXPECT_EQ(static_cast<int>(get("/api/whoami?token=" + token, "").status), 401);

    const auto doc = get("/api/openapi.json", "");
    EXPECT_EQ(doc.body, openapi_json());
    EXPECT_EQ(json_of(get("/healthz", "")),
              (json{{"status", "ok"}, {"cabinets", {{"lab", "up"}, {"dead", "down"}}}}));
    EXPECT_EQ(get("/metrics", "").content_type, "text/plain; version=0.0.4; charset=utf-8");
}

// The page's files: one plain name in its folder, nothing hidden, nothing
// a path could be made of.
TEST_F(ApiRig, ServesThePagesFilesAndNothingElse) {
    EXPECT_EQ(static_cast<int>(get("/", "").status), 404); // no page configured
    ctx_->web_root = (dir_ / "web").string();
    std::filesystem::create_directories(dir_ / "web" / "sub");
    std::ofstream(dir_ / "web" / "index.html") << "<!doctype html>";
    std::ofstream(dir_ / "web" / "app.js") << "let x;";
    std::ofstream(dir_ / "web" / ".secret") << "x";
    std::ofstream(dir_ / "web" / "sub" / "a.css") << "x";
    EXPECT_EQ(get("/", "").body, "<!doctype html>");
    EXPECT_EQ(get("/", "").content_type, "text/html; charset=utf-8");
    EXPECT_EQ(get("/app.js", "").content_type, "text/javascript; charset=utf-8");
    for (const char *hidden : {"/.secret", "/sub/a.css", "/sub", "/missing.js", "/..%2fjournal.db"})
        EXPECT_EQ(static_cast<int>(get(hidden, "").status), 404) << hidden;
}

} // namespace
} // namespace cabinetd::test_support
