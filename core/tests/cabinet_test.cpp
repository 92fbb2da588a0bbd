// Behaviour of the cabinet controller through its public operations. One
// recorder keeps every outputs and emit call in order, so the tests can check
// whole sequences such as "outputs off, then pulse_cancelled, then the fault".
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "cabinet.h"
#include "protocol.h"

namespace {

constexpr char SID[] = "0123456789ABCDEF-0000000000000001";
constexpr cabinet_inputs_t SECURE{0xff, 0xff, 1, 1};
constexpr uint64_t MAX = UINT64_MAX;
constexpr uint64_t T = 10000; // admission time of the helpers' open

cabinet_inputs_t with_clear(uint16_t bits, cabinet_inputs_t s = SECURE) {
    s.door_closed_mask = static_cast<uint8_t>(s.door_closed_mask & ~bits);
    s.latch_locked_mask = static_cast<uint8_t>(s.latch_locked_mask & ~(bits >> 8));
    return s;
}

struct Call {
    bool is_event;
    uint8_t mask_or_door;
    uint32_t pulse_ms;
    std::string code, session, request;
    uint64_t seq, uptime;
};

class Cabinet : public ::testing::Test {
protected:
    cabinet_t c{};
    std::vector<Call> log;

    static void on_outputs(void *u, uint8_t mask, uint32_t pulse_ms) {
        static_cast<Cabinet *>(u)->log.push_back({false, mask, pulse_ms, "", "", "", 0, 0});
    }
    static void on_emit(void *u, const char *sid, uint64_t seq, uint64_t uptime, const char *code,
                        const char *req, uint8_t door) {
        static_cast<Cabinet *>(u)->log.push_back({true, door, 0, code, sid, req, seq, uptime});
    }

    void init(const char *sid = SID, bool ok = true, uint64_t t = 0) {
        cabinet_init(&c, on_outputs, on_emit, this, sid, ok, t);
    }
    // Ticks every 5 ms up to `to`, with a heartbeat on every whole second.
    void run(uint64_t to, const std::function<cabinet_inputs_t(uint64_t)> &in = nullptr,
             bool heartbeats = true) {
        for (uint64_t t = c.now_ms + 5; t <= to; t += 5) {
            cabinet_tick(&c, t, in ? in(t) : SECURE);
            if (heartbeats && t % 1000 == 0) cabinet_heartbeat(&c, SID);
        }
    }
    // Settled, all secure, heartbeat fresh, at time T, log empty.
    void ready() {
        init();
        run(T);
        log.clear();
    }
    cabinet_args_t args(uint8_t door = 4, uint32_t pulse = 500, const char *id = "r1") {
        cabinet_args_t a{};
        std::strcpy(a.request_id, id);
        std::strcpy(a.session_id, SID);
        a.issued_at_ms = c.now_ms;
        a.pulse_ms = pulse;
        a.ttl_ms = 1000;
        a.door_id = door;
        return a;
    }
    std::string open(cabinet_args_t a) { return cabinet_open(&c, &a); }
    void accepted(uint8_t door = 4, uint32_t pulse = 500) {
        ready();
        ASSERT_EQ(open(args(door, pulse)), "accepted");
        log.clear();
    }
    // "off", "out4:500", "code/door", events with "@t" relative to base if given.
    std::string trace(uint64_t base = MAX) const {
        std::string s;
        for (const Call &k : log) {
            if (!s.empty()) s += ' ';
            if (!k.is_event) {
                s += k.mask_or_door ? "out" + std::to_string(k.mask_or_door) + ":" +
                                          std::to_string(k.pulse_ms)
                                    : "off";
            } else {
                s += k.code + "/" + std::to_string(k.mask_or_door);
                if (base != MAX) s += "@" + std::to_string(k.uptime - base);
            }
        }
        return s;
    }
};

// ---- initialisation, event numbering, fault latch ----

TEST_F(Cabinet, InitWithValidIdentityPublishesBootAfterOutputsOff) {
    const std::string id48(48, 'a');
    init(id48.c_str(), true, 1234);
    EXPECT_EQ(trace(), "off boot/0");
    EXPECT_EQ(log[1].seq, 1u);
    EXPECT_EQ(log[1].uptime, 1234u);
    EXPECT_EQ(log[1].session, id48);
    EXPECT_EQ(log[1].request, "");
    EXPECT_EQ(c.state, CABINET_IDLE);
}

TEST_F(Cabinet, InitWithoutValidIdentityLatchesIdentityInvalid) {
    const std::string id49(49, 'a');
    const std::vector<std::pair<const char *, bool>> bad = {
        {id49.c_str(), true}, {"", true}, {nullptr, true}, {SID, false}};
    for (auto [sid, ok] : bad) {
        log.clear();
        init(sid, ok);
        EXPECT_EQ(trace(), "off identity_invalid/0");
        EXPECT_EQ(log[1].seq, 1u);
        EXPECT_EQ(log[1].session, "");
        EXPECT_EQ(c.state, CABINET_FAULT);
        EXPECT_STREQ(c.fault_code, "identity_invalid");
        EXPECT_FALSE(cabinet_clear_fault(&c, ""));
    }
}

TEST_F(Cabinet, NullCallbacksStillAdvanceNumbering) {
    cabinet_init(&c, nullptr, nullptr, nullptr, SID, true, 0);
    for (uint64_t t = 5; t <= 40; t += 5) cabinet_tick(&c, t, SECURE);
    EXPECT_EQ(c.event_seq, 2u); // boot, inputs_ready
}

TEST_F(Cabinet, RepeatedFaultIsSilentAndANewCodeReplacesIt) {
    ready();
    cabinet_tick(&c, T + 5, {0xff, 0xff, 1, 0});
    cabinet_tick(&c, T + 10, {0xff, 0xff, 1, 0});
    cabinet_tick(&c, T + 9, SECURE);
    cabinet_tick(&c, T + 8, SECURE);
    EXPECT_EQ(trace(), "power_fault/0 clock_regressed/0");
    EXPECT_EQ(log[1].seq, log[0].seq + 1);
    EXPECT_EQ(log[1].uptime, T + 10); // the regressed sample is not stored
    EXPECT_EQ(c.sample.power_ok, 0);
    EXPECT_STREQ(c.fault_code, "clock_regressed");
}

TEST_F(Cabinet, FaultDuringPulseCutsOutputBeforeAnyEvent) {
    accepted(4);
    cabinet_tick(&c, T + 5, {0xff, 0xff, 1, 0});
    EXPECT_EQ(trace(), "off pulse_cancelled/4 power_fault/4");
    EXPECT_EQ(log[1].request, "r1");
    EXPECT_EQ(c.active_door, 4);
    EXPECT_STREQ(c.request_id, "r1");
    EXPECT_EQ(c.output_mask, 0);
    EXPECT_EQ(c.state, CABINET_FAULT);
}

TEST_F(Cabinet, ExhaustedNumberingPublishesNothingOnAnyPath) {
    // tick event (inputs_ready)
    init();
    c.event_seq = MAX;
    log.clear();
    run(100);
    EXPECT_EQ(trace(), "off");
    EXPECT_EQ(c.event_seq, MAX);
    EXPECT_STREQ(c.fault_code, "event_seq_exhausted");
    EXPECT_EQ(c.state, CABINET_FAULT);
    // a later fault keeps its own code latched
    cabinet_tick(&c, 105, {0xff, 0xff, 1, 0});
    EXPECT_STREQ(c.fault_code, "power_fault");

    // open: the last number goes to open_accepted, the next open latches
    ready();
    c.event_seq = MAX - 1;
    EXPECT_EQ(open(args()), "accepted");
    EXPECT_EQ(log.back().seq, MAX);
    log.clear();
    // pulse end: output off, no pulse_complete, controller faulted
    run(T + 500);
    EXPECT_EQ(trace(), "off off");
    EXPECT_EQ(c.state, CABINET_FAULT);
    EXPECT_EQ(open(args(4, 500, "r2")), "event_seq_exhausted");
    EXPECT_STREQ(c.fault_code, "event_seq_exhausted");

    // debounce: every input still settles, each attempt cuts the outputs
    ready();
    c.event_seq = MAX;
    run(T + 35, [](uint64_t) { return with_clear(1u << 0 | 1u << 8); });
    EXPECT_EQ(trace(), "off off");
    EXPECT_EQ(c.stable, 0xfefe);

    // cycle completion: the operation stays recorded
    accepted(4);
    run(T + 700, [](uint64_t t) { return with_clear(t >= T + 600 ? 1u << 3 : 0); });
    c.event_seq = MAX - 1;
    log.clear();
    run(T + 800);
    EXPECT_EQ(trace(), "door_closed/4 off");
    EXPECT_EQ(c.active_door, 4);
    EXPECT_EQ(c.state, CABINET_FAULT);

    // clear_fault: resets, cannot number its event, re-latches, and says so
    ready();
    c.event_seq = MAX;
    EXPECT_FALSE(cabinet_clear_fault(&c, SID));
    EXPECT_EQ(trace(), "off off");
    EXPECT_EQ(c.state, CABINET_FAULT);
    EXPECT_STREQ(c.fault_code, "event_seq_exhausted");
    EXPECT_FALSE(cabinet_clear_fault(&c, SID));
}

// ---- debouncing and readiness ----

TEST_F(Cabinet, ReadinessComesThirtyMsAfterFirstValidSampleWithoutDoorEvents) {
    init();
    log.clear();
    run(30);
    EXPECT_EQ(trace(), "");
    run(35); // first sample at 5
    EXPECT_EQ(trace(), "inputs_ready/0");
    EXPECT_EQ(c.stable, 0xffff);
}

TEST_F(Cabinet, ChangesReportedOnlyAfterHoldingThirtyMs) {
    ready();
    // door 2 glitches for 25 ms: nothing
    run(T + 25, [](uint64_t) { return with_clear(1u << 1); });
    run(T + 100);
    EXPECT_EQ(trace(), "");
    // door 2 and door 3's latch drop together; both settle in the same tick
    const uint64_t t0 = c.now_ms + 5;
    run(t0 + 25, [](uint64_t) { return with_clear(1u << 1 | 1u << 10); });
    EXPECT_EQ(trace(), "");
    run(t0 + 30, [](uint64_t) { return with_clear(1u << 1 | 1u << 10); });
    EXPECT_EQ(trace(t0), "door_open/2@30 latch_unlocked/3@30");
    EXPECT_EQ(log[1].seq, log[0].seq + 1);
}

TEST_F(Cabinet, InvalidSampleWithdrawsReadinessSilentlyWhenIdle) {
    ready();
    cabinet_tick(&c, T + 5, {0xff, 0xff, 0, 1});
    EXPECT_EQ(c.inputs_ready, 0);
    run(T + 100, [](uint64_t) { return with_clear(1u << 0); }); // door 1 opened meanwhile
    EXPECT_EQ(trace(T + 5), "inputs_ready/0@35");
    EXPECT_EQ(c.stable, 0xfffe);
}

TEST_F(Cabinet, PowerCheckComesBeforeValidity) {
    ready();
    cabinet_tick(&c, T, {0, 0, 0, 0}); // equal time is accepted
    EXPECT_EQ(trace(), "power_fault/0");
    EXPECT_EQ(c.inputs_ready, 1);
}

// ---- door cycle ----

TEST_F(Cabinet, NormalCycleOfDoorFour) {
    accepted(4, 500);
    run(T + 5200, [](uint64_t t) {
        uint16_t clear = 0;
        if (t >= T + 50 && t < T + 5100) clear |= 1u << 11;
        if (t >= T + 700 && t < T + 5000) clear |= 1u << 3;
        return with_clear(clear);
    });
    EXPECT_EQ(trace(T), "latch_unlocked/4@80 off pulse_complete/4@500 door_open/4@730 "
                        "door_closed/4@5030 latch_locked/4@5130 cycle_complete/4@5130");
    EXPECT_EQ(log.back().request, "r1");
    for (size_t i = 0, seq = 4; i < log.size(); ++i) {
        if (log[i].is_event) {
            EXPECT_EQ(log[i].seq, seq++) << i;
        }
    }
    EXPECT_EQ(c.state, CABINET_IDLE);
    EXPECT_EQ(c.active_door, 0);
    EXPECT_STREQ(c.request_id, "");
}

TEST_F(Cabinet, StateFollowsTheCycle) {
    accepted(4, 500);
    const auto in = [](uint64_t t) { return with_clear(t >= T + 700 ? 1u << 3 : 0); };
    for (auto [t, want] : {std::pair{T + 495, CABINET_PULSING}, {T + 500, CABINET_WAIT_OPEN},
                           {T + 725, CABINET_WAIT_OPEN}, {T + 730, CABINET_WAIT_CLOSE}}) {
        run(t, in);
        EXPECT_EQ(c.state, want) << t - T;
    }
}

TEST_F(Cabinet, DoorSpringingOpenEndsPulseEarly) {
    accepted(2, 500);
    run(T + 1000, [](uint64_t t) { return with_clear(t >= T + 100 ? 1u << 1 : 0); });
    EXPECT_EQ(trace(T), "off pulse_door_open/2@100 door_open/2@130");
}

TEST_F(Cabinet, DoorNeverOpeningFaultsTenSecondsAfterPulseEnd) {
    accepted(4, 500);
    run(T + 10495);
    EXPECT_EQ(trace(T), "off pulse_complete/4@500");
    run(T + 10500);
    EXPECT_EQ(trace(T), "off pulse_complete/4@500 open_not_observed/4@10500");
}

TEST_F(Cabinet, DoorHeldOpenIsReportedOnceAndCycleStillCompletes) {
    accepted(4, 500);
    const auto in = [](uint64_t t) { return with_clear(t >= T + 100 && t < T + 70000 ? 1u << 3 : 0); };
    run(T + 71000, in);
    EXPECT_EQ(trace(T), "off pulse_door_open/4@100 door_open/4@130 door_held_open/4@60130 "
                        "door_closed/4@70030 cycle_complete/4@70030");
}

TEST_F(Cabinet, HeartbeatLostAfterFiveSeconds) {
    ready();
    c.heartbeat_ms = T - 4500; // goes stale while the pulse is still driven
    ASSERT_EQ(open(args(4, 1000)), "accepted");
    log.clear();
    cabinet_tick(&c, T + 500, SECURE);
    EXPECT_EQ(trace(), "");
    cabinet_tick(&c, T + 501, SECURE);
    EXPECT_EQ(trace(), "off pulse_cancelled/4 heartbeat_lost/4");
}

TEST_F(Cabinet, OtherDoorInOneSampleFaultsAtOnce) {
    accepted(4);
    cabinet_tick(&c, T + 5, with_clear(1u << 12)); // latch of door 5
    EXPECT_EQ(trace(), "off pulse_cancelled/4 other_door_unsafe/4");
}

TEST_F(Cabinet, LatchedFaultBlocksCompletionAndKeepsWatching) {
    accepted(4);
    run(T + 800, [](uint64_t t) { return with_clear(t >= T + 600 ? 1u << 3 : 0); });
    cabinet_tick(&c, T + 805, {0xff, 0xff, 1, 0});
    run(T + 2000);
    EXPECT_EQ(c.active_door, 4);
    cabinet_tick(&c, T + 2005, {0xff, 0xff, 0, 1}); // another code while faulted: published
    EXPECT_EQ(trace(T), "off pulse_complete/4@500 door_open/4@630 power_fault/4@805 "
                        "door_closed/4@840 sensor_fault/4@2005");
    EXPECT_EQ(c.state, CABINET_FAULT);
}

// ---- open admission ----

TEST_F(Cabinet, AdmissionBoundaries) {
    struct Case {
        const char *name, *want;
        std::function<void(cabinet_t &, cabinet_args_t &)> set;
    };
    const std::vector<Case> cases = {
        {"empty id", "invalid_command", [](auto &, auto &a) { a.request_id[0] = 0; }},
        {"empty session", "invalid_command", [](auto &, auto &a) { a.session_id[0] = 0; }},
        {"unterminated id", "invalid_command", [](auto &, auto &a) { std::memset(a.request_id, 'x', 65); }},
        {"other session", "session_mismatch", [](auto &, auto &a) { a.session_id[0] = 'x'; }},
        {"no identity", "session_mismatch", [](auto &k, auto &a) { k.identity_ok = 0; a.door_id = 9; }},
        {"door 0", "range_error", [](auto &, auto &a) { a.door_id = 0; }},
        {"door 9", "range_error", [](auto &, auto &a) { a.door_id = 9; a.issued_at_ms += 1; }},
        {"pulse 99", "range_error", [](auto &, auto &a) { a.pulse_ms = 99; }},
        {"pulse 1001", "range_error", [](auto &, auto &a) { a.pulse_ms = 1001; }},
        {"pulse 100", "accepted", [](auto &, auto &a) { a.pulse_ms = 100; }},
        {"pulse 1000", "accepted", [](auto &, auto &a) { a.pulse_ms = 1000; }},
        {"ttl 0", "range_error", [](auto &, auto &a) { a.ttl_ms = 0; }},
        {"ttl 5001", "range_error", [](auto &, auto &a) { a.ttl_ms = 5001; }},
        {"ttl 1 now", "accepted", [](auto &, auto &a) { a.ttl_ms = 1; }},
        {"future", "future_command", [](auto &, auto &a) { a.issued_at_ms += 1; }},
        {"age = ttl", "expired", [](auto &, auto &a) { a.issued_at_ms -= 5000; a.ttl_ms = 5000; }},
        {"age = ttl-1", "accepted", [](auto &, auto &a) { a.issued_at_ms -= 4999; a.ttl_ms = 5000; }},
        {"lapsed entry", "accepted", [](auto &k, auto &) { std::strcpy(k.recent[9].request_id, "r1"); k.recent[9].expires_ms = T; }},
        {"live entry", "duplicate", [](auto &k, auto &) { std::strcpy(k.recent[9].request_id, "r1"); k.recent[9].expires_ms = T + 1; }},
        {"dup from future", "future_command", [](auto &k, auto &a) { std::strcpy(k.recent[0].request_id, "r1"); k.recent[0].expires_ms = MAX; a.issued_at_ms += 1; }},
        {"faulted, no hb, unsettled", "fault", [](auto &k, auto &) { k.faulted = 1; k.heartbeat_seen = 0; k.changed_ms[3] = T; }},
        {"hb 5000", "accepted", [](auto &k, auto &) { k.heartbeat_ms = T - 5000; }},
        {"hb 5001", "heartbeat_required", [](auto &k, auto &) { k.heartbeat_ms = T - 5001; }},
        {"hb future", "heartbeat_required", [](auto &k, auto &) { k.heartbeat_ms = T + 1; }},
        {"busy, no hb", "heartbeat_required", [](auto &k, auto &) { k.active_door = 1; k.heartbeat_seen = 0; }},
        {"busy, rearming", "busy", [](auto &k, auto &) { k.state = CABINET_WAIT_CLOSE; k.rearm_until_ms = T + 1; }},
        {"rearm = now", "accepted", [](auto &k, auto &) { k.rearm_until_ms = T; }},
        {"rearm = now+1", "driver_rearming", [](auto &k, auto &) { k.rearm_until_ms = T + 1; }},
        {"changed 29", "door_not_secure", [](auto &k, auto &) { k.changed_ms[15] = T - 29; }},
        {"changed 30", "accepted", [](auto &k, auto &) { k.changed_ms[15] = T - 30; }},
        {"changed later", "accepted", [](auto &k, auto &) { k.changed_ms[15] = T + 10; }},
        {"raw door open", "door_not_secure", [](auto &k, auto &) { k.sample.door_closed_mask = 0x7f; }},
        {"stable unlocked", "door_not_secure", [](auto &k, auto &) { k.stable = 0xfeff; }},
        {"not ready", "door_not_secure", [](auto &k, auto &) { k.inputs_ready = 0; }},
    };
    for (const Case &k : cases) {
        ready();
        cabinet_args_t a = args();
        k.set(c, a);
        cabinet_t before;
        std::memcpy(&before, &c, sizeof c);
        EXPECT_EQ(open(a), k.want) << k.name;
        if (std::string(k.want) != "accepted") { // a refusal changes nothing
            EXPECT_EQ(std::memcmp(&before, &c, sizeof c), 0) << k.name;
            EXPECT_EQ(trace(), "") << k.name;
        }
    }
    ready();
    EXPECT_EQ(std::string(cabinet_open(&c, nullptr)), "invalid_command");
}

TEST_F(Cabinet, AcceptanceDrivesOutputThenEmitsAndRecordsTheId) {
    ready();
    c.recent_next = 63;
    EXPECT_EQ(open(args(3, 250, "abc")), "accepted");
    EXPECT_EQ(trace(), "out4:250 open_accepted/3");
    EXPECT_EQ(log[1].request, "abc");
    EXPECT_STREQ(c.recent[63].request_id, "abc");
    EXPECT_EQ(c.recent[63].expires_ms, T + 5000);
    EXPECT_EQ(c.recent_next, 0);
    EXPECT_EQ(c.rearm_until_ms, T + 1300);
    EXPECT_EQ(c.pulse_end_ms, T + 250);
    EXPECT_EQ(c.state, CABINET_PULSING);
    EXPECT_EQ(open(args(3, 250, "abc")), "duplicate");
}

// ---- heartbeat and fault clearing ----

TEST_F(Cabinet, HeartbeatNeedsIdentityAndSession) {
    ready();
    cabinet_tick(&c, T + 5, SECURE);
    EXPECT_FALSE(cabinet_heartbeat(&c, "other"));
    EXPECT_FALSE(cabinet_heartbeat(&c, nullptr));
    EXPECT_EQ(c.heartbeat_ms, T);
    EXPECT_TRUE(cabinet_heartbeat(&c, SID));
    EXPECT_EQ(c.heartbeat_ms, T + 5);
    c.identity_ok = 0;
    EXPECT_FALSE(cabinet_heartbeat(&c, SID));
    EXPECT_EQ(trace(), "");
}

TEST_F(Cabinet, ClearFaultChecks) {
    struct Case {
        const char *name;
        bool want;
        std::function<void(cabinet_t &)> set;
    };
    const std::vector<Case> cases = {
        {"idle, no fault", true, [](auto &) {}},
        {"power fault", true, [](auto &k) { cabinet_tick(&k, T, {0xff, 0xff, 1, 0}); cabinet_tick(&k, T + 30, SECURE); }},
        {"hb 5000", true, [](auto &k) { k.heartbeat_ms = T - 5000; }},
        {"hb 5001", false, [](auto &k) { k.heartbeat_ms = T - 5001; }},
        {"changed 29", false, [](auto &k) { k.changed_ms[0] = T - 29; }},
        {"changed 30", true, [](auto &k) { k.changed_ms[0] = T - 30; }},
        {"door open", false, [](auto &k) { k.stable = 0xfff7; k.sample.door_closed_mask = 0xf7; }},
        {"raw disagrees", false, [](auto &k) { k.sample.latch_locked_mask = 0xfe; }},
        {"invalid", false, [](auto &k) { k.sample.inputs_valid = 0; }},
        {"no power", false, [](auto &k) { k.sample.power_ok = 0; }},
        {"clock", false, [](auto &k) { k.faulted = 1; k.fault_code = "clock_regressed"; }},
        {"exhausted", false, [](auto &k) { k.faulted = 1; k.fault_code = "event_seq_exhausted"; }},
    };
    for (const Case &k : cases) {
        ready();
        k.set(c);
        log.clear();
        const uint64_t seq = c.event_seq;
        EXPECT_EQ(cabinet_clear_fault(&c, SID), k.want) << k.name;
        EXPECT_EQ(trace(), k.want ? "off fault_cleared/0" : "") << k.name;
        EXPECT_EQ(c.event_seq, seq + k.want) << k.name;
        if (k.want) {
            EXPECT_STREQ(c.fault_code, "none") << k.name;
            EXPECT_EQ(c.state, CABINET_IDLE) << k.name;
        }
    }
    ready();
    EXPECT_FALSE(cabinet_clear_fault(&c, "other"));
    EXPECT_FALSE(cabinet_clear_fault(&c, nullptr));
}

TEST_F(Cabinet, ClearDuringPulseAbandonsOperation) {
    accepted(6);
    run(T + 40);
    EXPECT_TRUE(cabinet_clear_fault(&c, SID));
    EXPECT_EQ(trace(), "off fault_cleared/0");
    EXPECT_EQ(log[1].request, "r1");
    EXPECT_STREQ(c.request_id, "");
    EXPECT_EQ(c.active_door, 0);
    EXPECT_EQ(c.state, CABINET_IDLE);
    EXPECT_EQ(open(args(6, 500, "r2")), "driver_rearming");
}

// ---- state body ----

TEST_F(Cabinet, StateBodyGolden) {
    accepted(4, 500);
    char buf[512];
    const size_t n = cabinet_state_json(&c, "rp2040_pico", buf, sizeof buf);
    const std::string want =
        "{\"type\":\"state\",\"protocol\":1,\"platform\":\"rp2040_pico\",\"session_id\":\"" +
        std::string(SID) +
        "\",\"uptime_ms\":10000,\"event_seq\":3,\"state\":\"pulsing\",\"active_door\":4,"
        "\"output_mask\":8,\"door_closed_mask\":255,\"latch_locked_mask\":255,\"inputs_valid\":true,"
        "\"power_ok\":true,\"heartbeat_ok\":true,\"driver_ready\":false,\"fault\":\"none\"}";
    EXPECT_EQ(std::string(buf), want);
    EXPECT_EQ(n, want.size());
    EXPECT_EQ(cabinet_state_json(&c, "rp2040_pico", buf, n), 0u);
    EXPECT_EQ(cabinet_state_json(&c, "rp2040_pico", buf, n + 1), n);
}

TEST_F(Cabinet, StateBodyBooleansAtBoundaries) {
    const auto field = [this](const char *key) {
        char buf[512];
        EXPECT_GT(cabinet_state_json(&c, "p", buf, sizeof buf), 0u);
        const std::string s(buf), k = std::string("\"") + key + "\":";
        const size_t at = s.find(k) + k.size();
        return s.substr(at, s.find_first_of(",}", at) - at);
    };
    init();
    EXPECT_EQ(field("heartbeat_ok"), "false");
    EXPECT_EQ(field("event_seq"), "1");
    run(30);
    EXPECT_EQ(field("inputs_valid"), "false"); // valid but not yet ready
    ready();
    c.heartbeat_ms = T - 5000;
    EXPECT_EQ(field("heartbeat_ok"), "true");
    c.heartbeat_ms = T - 5001;
    EXPECT_EQ(field("heartbeat_ok"), "false");
    c.heartbeat_ms = T + 1;
    EXPECT_EQ(field("heartbeat_ok"), "false");
    c.rearm_until_ms = T;
    EXPECT_EQ(field("driver_ready"), "true");
    c.rearm_until_ms = T + 1;
    EXPECT_EQ(field("driver_ready"), "false");
    cabinet_tick(&c, T + 5, {0xff, 0xff, 0, 1});
    EXPECT_EQ(field("inputs_valid"), "false");
    cabinet_tick(&c, T + 10, {0xff, 0xff, 1, 0});
    EXPECT_EQ(field("power_ok"), "false");
    EXPECT_EQ(field("state"), "\"fault\"");
    EXPECT_EQ(field("fault"), "\"power_fault\"");
}

} // namespace
