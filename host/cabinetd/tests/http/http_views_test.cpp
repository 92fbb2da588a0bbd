// The JSON views of a cabinet and a journal record. (A command's result:
// api_test.cpp, through the open route.)
#include "http_views.h"

#include "clock.h"

#include <gtest/gtest.h>

namespace cabinetd {
namespace {

using nlohmann::json;

cabinet_host::StateLine idle() {
    cabinet_host::StateLine s;
    s.session_id = "E6613852832F4A29-0000000000000001";
    s.state = "idle";
    s.door_closed_mask = s.latch_locked_mask = 0xff;
    s.inputs_valid = s.power_ok = s.heartbeat_ok = s.driver_ready = true;
    s.fault = "none";
    return s;
}

CabinetStatus up() {
    CabinetStatus s;
    s.name = "lab";
    s.endpoint = "tcp:10.0.0.7:5000";
    s.link = Link::Up;
    s.session_id = "E6613852832F4A29-0000000000000001";
    s.state = idle();
    return s;
}

// Where a cabinet is attached is kept from viewers: the endpoint, and the
// endpoint (or for tcp:HOST:PORT, HOST:PORT) wherever a link's reason names it.
TEST(StatusJson, AViewerSeesNeitherTheEndpointNorItInAReason) {
    auto s = up();
    s.link_reason = "tcp:10.0.0.7:5000 went quiet; 10.0.0.7:5000 then refused";
    const auto ops = status_json(s, true), kiosk = status_json(s, false);
    EXPECT_EQ(ops["endpoint"], "tcp:10.0.0.7:5000");
    EXPECT_EQ(ops["link_reason"], s.link_reason);
    EXPECT_FALSE(kiosk.contains("endpoint"));
    EXPECT_EQ(kiosk["link_reason"], "(endpoint) went quiet; (endpoint) then refused");
    s.endpoint = "/dev/ttyUSB0";
    s.link_reason = "open /dev/ttyUSB0: no such device";
    EXPECT_EQ(status_json(s, false)["link_reason"], "open (endpoint): no such device");
    s.endpoint = "sim"; // a word, not a place
    s.link_reason = "the simulator exited";
    EXPECT_EQ(status_json(s, false)["link_reason"], "the simulator exited");
}

// The first reason an open would be refused, as the page shows it.
TEST(StatusJson, SaysWhyAnOpenWouldBeRefused) {
    using Change = void (*)(CabinetStatus &);
    const std::vector<std::pair<Change, const char *>> cases{
        {[](CabinetStatus &s) { s.link = Link::Silent; }, "the link to the controller is silent"},
        {[](CabinetStatus &s) { s.state.reset(); }, "no state heard from the controller yet"},
        {[](CabinetStatus &s) { s.state->fault = "power_fault"; },
         "a fault is latched (the 24 V latch supply is bad or a latch driver fault was seen)"},
        {[](CabinetStatus &s) { s.state->inputs_valid = false; },
         "the controller's inputs have not settled"},
        {[](CabinetStatus &s) { s.state->power_ok = false; }, "the latch supply is out of range"},
        {[](CabinetStatus &s) { s.state->latch_locked_mask = 0xfb; },
         "door 3 is not closed and locked"},
        {[](CabinetStatus &s) { s.state->heartbeat_ok = false; },
         "the controller has no fresh heartbeat"},
        {[](CabinetStatus &s) { s.rearm_until_ms = static_cast<std::int64_t>(steady_ms()) + 1300; },
         "the latch driver is re-arming, 1 s"},
    };
    EXPECT_EQ(status_json(up(), false)["admits_open"], true);
    EXPECT_TRUE(status_json(up(), false)["open_blocked_reason"].is_null());
    for (auto &[change, why] : cases) {
        auto s = up();
        change(s);
        const auto j = status_json(s, false);
        EXPECT_EQ(j["admits_open"], false) << why;
        EXPECT_EQ(j["open_blocked_reason"], why);
    }
}

TEST(StatusJson, ShowsTheControllerOnlyWhileItTalksAndDoorsOnlyOnceSettled) {
    auto s = up();
    s.two_person_doors = 0x80;
    StatusContext sc;
    sc.board_id = "E6613852832F4A29";
    sc.board_shared_with = {"other"};
    const auto j = status_json(s, false, sc);
    EXPECT_EQ(j["controller"]["state_text"], "idle");
    ASSERT_EQ(j["doors"].size(), 8u);
    EXPECT_EQ(j["doors"][7],
              (json{{"door", 8},
                    {"closed", true},
                    {"locked", true},
                    {"needs_reason", false},
                    {"needs_approval", true}}));
    EXPECT_EQ(j["doors"][6]["needs_approval"], false);
    EXPECT_EQ(j["board_id"], "E6613852832F4A29");
    EXPECT_EQ(j["board_id_shared_with"], json::array({"other"}));
    s.state->inputs_valid = false;
    EXPECT_TRUE(status_json(s, false)["doors"].is_null());
    s.link = Link::Silent;
    EXPECT_TRUE(status_json(s, false)["controller"].is_null());
    EXPECT_TRUE(status_json(s, false)["board_id"].is_null());
}

TEST(RecordJson, ShowsARecordAsTheApiDocumentsItRedactedForViewers) {
    Record link;
    link.kind = RecordKind::Link;
    link.code = "down";
    link.detail = R"({"reason":"connect 10.0.0.7:5000: refused"})";
    EXPECT_EQ(record_json(link, true, "tcp:10.0.0.7:5000")["detail"]["reason"],
              "connect 10.0.0.7:5000: refused");
    EXPECT_EQ(record_json(link, false, "tcp:10.0.0.7:5000")["detail"]["reason"],
              "connect (endpoint): refused");

    Record ev;
    ev.kind = RecordKind::Event;
    ev.code = "door_open";
    ev.event_seq = 7;
    ev.uptime_ms = 1234;
    const auto e = record_json(ev);
    EXPECT_EQ(e["detail"], (json{{"uptime_ms", 1234}}));
    EXPECT_EQ(e["code_kind"], "event");
    EXPECT_TRUE(e["text"].is_string());
    EXPECT_FALSE(e.contains("idempotency_key"));
    EXPECT_FALSE(e.contains("seq_to"));

    Record gap;
    gap.kind = RecordKind::Gap;
    gap.event_seq = 3;
    gap.client_key = "k";
    gap.detail = "not json";
    const auto g = record_json(gap);
    EXPECT_TRUE(g["seq_to"].is_null()); // everything after event 3
    EXPECT_EQ(g["idempotency_key"], "k");
    EXPECT_EQ(g["detail"], "not json");
}

} // namespace
} // namespace cabinetd
