// Behaviour of the cabinet controller through its public operations. One
// recorder keeps every outputs and emit call in order, so the tests can check
// whole sequences such as "outputs off, then pulse_cancelled, then the fault",
// and it checks that every published event carries the next number.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "cabinet.h"
#include "protocol.h"

namespace {

constexpr char SID[] = "0123456789ABCDEF-0000000000000001";
constexpr cabinet_inputs_t SECURE{0xff, 0xff, 1, 1}, NO_POWER{0xff, 0xff, 1, 0}, INVALID{0xff, 0xff, 0, 1};
constexpr uint64_t MAX = UINT64_MAX, T = 10000; // T: when ready() leaves the controller settled and idle

// The secure sample with the inputs in `bits` reading open (bit i: door i+1, bit 8+i: its latch).
cabinet_inputs_t unsafe(unsigned bits) { return {uint8_t(~bits), uint8_t(~(bits >> 8)), 1, 1}; }

struct Call { std::string code, session, request; uint64_t uptime; unsigned door_or_mask, pulse_ms; }; // code empty: outputs

class Cabinet : public ::testing::Test {
protected:
    cabinet_t c{};
    std::vector<Call> log;
    uint64_t last_seq = 0;

    static void on_outputs(void *u, uint8_t mask, uint32_t ms) { static_cast<Cabinet *>(u)->log.push_back({"", "", "", 0, mask, ms}); }
    static void on_emit(void *u, const char *sid, uint64_t seq, uint64_t uptime, const char *code,
                        const char *req, uint8_t door) {
        auto *f = static_cast<Cabinet *>(u);
        EXPECT_EQ(seq, ++f->last_seq) << code;
        f->log.push_back({code, sid, req, uptime, door, 0});
    }
    void init(const char *sid = SID, bool ok = true, uint64_t t = 0) {
        last_seq = 0;
        log.clear();
        cabinet_init(&c, on_outputs, on_emit, this, sid, ok, t);
    }
    void at_seq(uint64_t seq) { c.event_seq = last_seq = seq; }
    // Ticks every 5 ms up to `to`, with a heartbeat on every whole second.
    void run(uint64_t to, const std::function<cabinet_inputs_t(uint64_t)> &in = nullptr) {
        for (uint64_t t = c.now_ms + 5; t <= to; t += 5) {
            cabinet_tick(&c, t, in ? in(t) : SECURE);
            if (t % 1000 == 0) cabinet_heartbeat(&c, SID);
        }
    }
    void ready() { init(); run(T); log.clear(); }
    cabinet_args_t args(uint8_t door = 4, uint32_t pulse = 500, const char *id = "r1") {
        cabinet_args_t a{"", "", c.now_ms, pulse, 1000, door};
        std::strcpy(a.request_id, id);
        std::strcpy(a.session_id, SID);
        return a;
    }
    std::string open(cabinet_args_t a) { return cabinet_open(&c, &a); }
    void accepted(uint8_t door = 4) { ready(); ASSERT_EQ(open(args(door)), "accepted"); log.clear(); }
    // "off", "out<mask>:<pulse>", "code/door", the events with "@t" relative to base if given.
    std::string trace(uint64_t base = MAX) const {
        std::string s;
        for (const Call &k : log) {
            s += s.empty() ? "" : " ";
            if (k.code.empty()) s += k.door_or_mask ? "out" + std::to_string(k.door_or_mask) + ":" + std::to_string(k.pulse_ms) : "off";
            else s += k.code + "/" + std::to_string(k.door_or_mask) + (base == MAX ? "" : "@" + std::to_string(k.uptime - base));
        }
        return s;
    }
};

// ---- initialisation, fault latch, event numbering ----

TEST_F(Cabinet, InitSwitchesOutputsOffThenBootsOrLatchesIdentityInvalid) {
    const std::string id48(48, 'a'), id49(49, 'a');
    init(id48.c_str(), true, 1234);
    EXPECT_EQ(trace(1234), "off boot/0@0");
    EXPECT_EQ(log[1].session, id48);
    for (auto [sid, ok] : std::vector<std::pair<const char *, bool>>{{id49.c_str(), true}, {"", true}, {nullptr, true}, {SID, false}}) {
        init(sid, ok);
        EXPECT_EQ(trace(), "off identity_invalid/0");
        EXPECT_EQ(log[1].session, "");
        EXPECT_FALSE(cabinet_heartbeat(&c, "")); // the empty session is no session
    }
    cabinet_init(&c, nullptr, nullptr, nullptr, SID, true, 0); // no callbacks: still numbered
    for (uint64_t t = 5; t <= 40; t += 5) cabinet_tick(&c, t, SECURE);
    EXPECT_EQ(c.event_seq, 2u); // boot, inputs_ready
}

TEST_F(Cabinet, FaultLatchCutsThePulseFirstAndPublishesEachCodeOnce) {
    accepted(4);
    cabinet_tick(&c, T + 5, NO_POWER);
    cabinet_tick(&c, T + 10, NO_POWER); // the same code again: silent
    cabinet_tick(&c, T + 9, SECURE);    // another code replaces it
    cabinet_tick(&c, T + 8, SECURE);
    EXPECT_EQ(trace(T), "off pulse_cancelled/4@5 power_fault/4@5 clock_regressed/4@10");
    EXPECT_EQ(c.sample.power_ok, 0); // the regressed sample is dropped
    EXPECT_STREQ(c.fault_code, "clock_regressed");
    EXPECT_EQ(c.active_door, 4); // the operation stays recorded until cleared
    EXPECT_STREQ(c.request_id, "r1");
}

TEST_F(Cabinet, ExhaustedNumberingPublishesNothingAndLatchesOnEveryPath) {
    const auto door4 = [](uint64_t t) { return unsafe(t > T && t < T + 100 ? 1u << 3 : 0); };
    const std::pair<std::function<void()>, const char *> paths[] = {
        {[&] { init(); at_seq(MAX); log.clear(); run(100); }, "off"}, // inputs_ready
        {[&] { at_seq(MAX - 1); EXPECT_EQ(open(args()), "accepted"); run(T + 500); }, "out8:500 open_accepted/4 off off"},
        {[&] { at_seq(MAX); EXPECT_EQ(open(args(0)), "event_seq_exhausted"); }, "off"}, // before the range check
        {[&] { at_seq(MAX); run(T + 35, [](uint64_t) { return unsafe(1u | 1u << 8); }); }, "off off"},
        {[&] { open(args()); run(T + 100, door4); at_seq(MAX - 1); log.clear(); run(T + 200); }, "door_closed/4 off"},
        {[&] { at_seq(MAX); EXPECT_FALSE(cabinet_clear_fault(&c, SID)); EXPECT_FALSE(cabinet_clear_fault(&c, SID)); }, "off off"},
    };
    for (const auto &[act, want] : paths) {
        ready();
        act();
        EXPECT_EQ(trace(), want);
        EXPECT_EQ(c.event_seq, MAX);
        EXPECT_STREQ(c.fault_code, "event_seq_exhausted");
        EXPECT_EQ(c.state, CABINET_FAULT);
    }
}

// ---- inputs ----

TEST_F(Cabinet, InputsCountOnceHeldThirtyMsAndOnlyWhileValid) {
    const cabinet_inputs_t moved = unsafe(1u << 1 | 1u << 8); // door 2 open, door 1 unlocked
    const std::tuple<uint64_t, cabinet_inputs_t, const char *> steps[] = {
        {5, SECURE, ""}, {34, SECURE, ""}, {35, SECURE, "inputs_ready/0"}, // no door events for the first picture
        {100, moved, ""}, {129, moved, ""}, {130, SECURE, ""},             // a 29 ms glitch
        {200, moved, ""}, {229, moved, ""}, {230, moved, "door_open/2 latch_unlocked/1"},
        {235, INVALID, ""}, {240, moved, ""}, {269, moved, ""}, {270, moved, "inputs_ready/0"},
        {270, {0, 0, 0, 0}, "power_fault/0"}, // the same time again is fine; power comes before validity
    };
    init();
    for (auto [t, in, want] : steps) {
        log.clear();
        cabinet_tick(&c, t, in);
        EXPECT_EQ(trace(), want) << t;
    }
    EXPECT_EQ(c.inputs_ready, 1);
}

// ---- door cycle ----

TEST_F(Cabinet, NormalCycleOfDoorFour) {
    accepted(4);
    const auto in = [](uint64_t t) {
        return unsafe((t >= T + 50 && t < T + 5100 ? 1u << 11 : 0) | (t >= T + 700 && t < T + 5000 ? 1u << 3 : 0));
    };
    for (auto [t, want] : {std::pair{T + 495, CABINET_PULSING}, {T + 500, CABINET_WAIT_OPEN},
                           {T + 725, CABINET_WAIT_OPEN}, {T + 730, CABINET_WAIT_CLOSE}, {T + 5200, CABINET_IDLE}}) {
        run(t, in);
        EXPECT_EQ(c.state, want) << t - T;
    }
    EXPECT_EQ(trace(T), "latch_unlocked/4@80 off pulse_complete/4@500 door_open/4@730 "
                        "door_closed/4@5030 latch_locked/4@5130 cycle_complete/4@5130");
    EXPECT_EQ(log.back().request, "r1");
    EXPECT_STREQ(c.request_id, "");
}

TEST_F(Cabinet, CycleFaultsAndReports) {
    const std::tuple<uint8_t, uint64_t, std::function<cabinet_inputs_t(uint64_t)>, const char *> cases[] = {
        {2, T + 1000, [](uint64_t t) { return unsafe(t >= T + 100 ? 1u << 1 : 0); }, "off pulse_door_open/2@100 door_open/2@130"},
        {4, T + 10500, nullptr, "off pulse_complete/4@500 open_not_observed/4@10500"},
        {4, T + 71000, [](uint64_t t) { return unsafe(t >= T + 100 && t < T + 70000 ? 1u << 3 : 0); },
         "off pulse_door_open/4@100 door_open/4@130 door_held_open/4@60130 door_closed/4@70030 cycle_complete/4@70030"},
        {4, T + 5, [](uint64_t) { return unsafe(1u << 12); }, "off pulse_cancelled/4@5 other_door_unsafe/4@5"},
        // latched while the door is open: still watched, but the cycle never completes
        {4, T + 2005, [](uint64_t t) { return t == T + 805 ? NO_POWER : t == T + 2005 ? INVALID : unsafe(t >= T + 600 && t <= T + 800 ? 1u << 3 : 0); },
         "off pulse_complete/4@500 door_open/4@630 power_fault/4@805 door_closed/4@840 sensor_fault/4@2005"},
    };
    for (const auto &[door, to, in, want] : cases) {
        accepted(door);
        run(to, in);
        EXPECT_EQ(trace(T), want);
    }
    EXPECT_EQ(c.active_door, 4);
}

// ---- open admission ----

TEST_F(Cabinet, AdmissionChecksInOrderAndRefusalsChangeNothing) {
    // Each refusal also breaks a later check, so a reordering shows.
    const std::tuple<const char *, const char *, std::function<void(cabinet_t &, cabinet_args_t &)>> cases[] = {
        {"empty id", "invalid_command", [](auto &, auto &a) { a.request_id[0] = 0; a.session_id[0] = 'x'; }},
        {"empty session", "invalid_command", [](auto &, auto &a) { a.session_id[0] = 0; }},
        {"unterminated id", "invalid_command", [](auto &, auto &a) { std::memset(a.request_id, 'x', 65); }},
        {"other session", "session_mismatch", [](auto &k, auto &a) { a.session_id[0] = 'x'; k.event_seq = MAX; }},
        {"door 0", "range_error", [](auto &, auto &a) { a.door_id = 0; }},
        {"door 9", "range_error", [](auto &, auto &a) { a.door_id = 9; a.issued_at_ms += 1; }},
        {"pulse 99", "range_error", [](auto &, auto &a) { a.pulse_ms = 99; a.ttl_ms = 1; a.issued_at_ms -= 1; }},
        {"pulse 1001", "range_error", [](auto &, auto &a) { a.pulse_ms = 1001; }},
        {"ttl 0", "range_error", [](auto &, auto &a) { a.ttl_ms = 0; }},
        {"ttl 5001", "range_error", [](auto &, auto &a) { a.ttl_ms = 5001; }},
        {"lowest", "accepted", [](auto &, auto &a) { a.door_id = 1; a.pulse_ms = 100; a.ttl_ms = 1; }},
        {"highest", "accepted", [](auto &k, auto &a) { a.door_id = 8; a.pulse_ms = 1000; a.ttl_ms = 5000; a.issued_at_ms -= 4999;
                                                       k.heartbeat_ms = T - 5000; k.rearm_until_ms = T; k.changed_ms[15] = T - 30; }},
        {"future, dup", "future_command", [](auto &k, auto &a) { std::strcpy(k.recent[0].request_id, "r1"); k.recent[0].expires_ms = MAX; a.issued_at_ms += 1; }},
        {"expired, dup", "expired", [](auto &k, auto &a) { std::strcpy(k.recent[0].request_id, "r1"); k.recent[0].expires_ms = MAX; a.issued_at_ms -= 1000; }},
        {"live ids like it are not it", "accepted", [](auto &k, auto &) { // ending like it, its tail, holding it
             const char *ids[] = {"x1", "1", "zr1", "r11", "r"};
             for (int i = 0; i < 5; ++i) { std::strcpy(k.recent[i].request_id, ids[i]); k.recent[i].expires_ms = MAX; } }},
        {"dup, faulted", "duplicate", [](auto &k, auto &) { std::strcpy(k.recent[9].request_id, "r1"); k.recent[9].expires_ms = T + 1; k.faulted = 1; }},
        {"faulted, no hb", "fault", [](auto &k, auto &) { k.faulted = 1; k.heartbeat_seen = 0; }},
        {"hb 5001, busy", "heartbeat_required", [](auto &k, auto &) { k.heartbeat_ms = T - 5001; k.state = CABINET_WAIT_CLOSE; }},
        {"busy, rearming", "busy", [](auto &k, auto &) { k.state = CABINET_WAIT_CLOSE; k.rearm_until_ms = T + 1; }},
        {"rearming, unsettled", "driver_rearming", [](auto &k, auto &) { k.rearm_until_ms = T + 1; k.changed_ms[15] = T; }},
        {"changed 29", "door_not_secure", [](auto &k, auto &) { k.changed_ms[15] = T - 29; }},
        {"raw door open", "door_not_secure", [](auto &k, auto &) { k.sample.door_closed_mask = 0x7f; }},
        {"stable unlocked", "door_not_secure", [](auto &k, auto &) { k.stable = 0xfeff; }},
        {"not ready", "door_not_secure", [](auto &k, auto &) { k.inputs_ready = 0; }},
    };
    for (const auto &[name, want, set] : cases) {
        ready();
        cabinet_args_t a = args();
        set(c, a);
        cabinet_t before;
        std::memcpy(&before, &c, sizeof c);
        EXPECT_EQ(open(a), want) << name;
        if (std::string(want) != "accepted") { EXPECT_TRUE(std::memcmp(&before, &c, sizeof c) == 0 && log.empty()) << name; }
    }
    EXPECT_EQ(std::string(cabinet_open(&c, nullptr)), "invalid_command");
}

TEST_F(Cabinet, AcceptanceDrivesThenPublishesAndBlocksTheIdAndTheDriverAndHeartbeatsMustFollow) {
    ready(); // last heartbeat at T
    EXPECT_EQ(open(args(3, 250, "abc")), "accepted");
    run(T + 40);
    EXPECT_TRUE(cabinet_clear_fault(&c, SID)); // abandons the operation
    EXPECT_EQ(trace(T), "out4:250 open_accepted/3@0 off fault_cleared/0@40");
    EXPECT_EQ(log.back().request, "abc");
    cabinet_tick(&c, T + 1299, SECURE);
    EXPECT_EQ(open(args(3, 250, "r2")), "driver_rearming");
    cabinet_tick(&c, T + 1300, SECURE);
    EXPECT_EQ(open(args(3, 250, "abc")), "duplicate");
    EXPECT_EQ(open(args(3, 250, "r2")), "accepted");
    EXPECT_TRUE(cabinet_clear_fault(&c, SID));
    cabinet_tick(&c, T + 4999, SECURE);
    EXPECT_EQ(open(args(3, 250, "abc")), "duplicate");
    EXPECT_FALSE(cabinet_heartbeat(&c, "other"));
    EXPECT_FALSE(cabinet_heartbeat(&c, nullptr));
    cabinet_tick(&c, T + 5000, SECURE);
    EXPECT_EQ(open(args(3, 250, "abc")), "accepted");
    log.clear();
    cabinet_tick(&c, T + 5001, SECURE);
    EXPECT_EQ(trace(), "off pulse_cancelled/3 heartbeat_lost/3");
}

// ---- fault clearing ----

TEST_F(Cabinet, ClearFaultChecks) {
    const std::tuple<const char *, bool, std::function<void(cabinet_t &)>> cases[] = {
        {"power fault", true, [](auto &k) { cabinet_tick(&k, T, NO_POWER); cabinet_tick(&k, T + 30, SECURE); }},
        {"hb 5001", false, [](auto &k) { k.heartbeat_ms = T - 5001; }},
        {"changed 29", false, [](auto &k) { k.changed_ms[0] = T - 29; }},
        {"clock", false, [](auto &k) { cabinet_tick(&k, T - 1, SECURE); }},
        {"exhausted", false, [](auto &k) { k.faulted = 1; k.fault_code = "event_seq_exhausted"; }},
    };
    for (const auto &[name, want, set] : cases) {
        ready();
        set(c);
        log.clear();
        EXPECT_EQ(cabinet_clear_fault(&c, SID), want) << name;
        EXPECT_EQ(trace(), want ? "off fault_cleared/0" : "") << name;
        if (want) { EXPECT_STREQ(c.fault_code, "none") << name; }
    }
    ready();
    EXPECT_FALSE(cabinet_clear_fault(&c, "other"));
    EXPECT_FALSE(cabinet_clear_fault(&c, nullptr));
}

// ---- state body ----

// (The idle, waiting and fault bodies are in the golden transcripts' state lines.)
TEST_F(Cabinet, StateBodyWhilePulsingAndItsRoom) {
    char buf[512] = {};
    accepted(4);
    cabinet_tick(&c, T + 5, unsafe(1u << 11)); // door 4's latch moves, not settled yet
    const size_t n = cabinet_state_json(&c, "rp2040_pico", buf, sizeof buf);
    EXPECT_EQ(std::string(buf), std::string(R"({"type":"state","protocol":1,"platform":"rp2040_pico","session_id":")") + SID +
                                    R"(","uptime_ms":10005,"event_seq":3,"state":"pulsing","active_door":4,"output_mask":8,)"
                                    R"("door_closed_mask":255,"latch_locked_mask":255,"inputs_valid":true,"power_ok":true,)"
                                    R"("heartbeat_ok":true,"driver_ready":false,"fault":"none"})");
    EXPECT_EQ(cabinet_state_json(&c, "rp2040_pico", buf, n), 0u); // no room for the terminator
    EXPECT_EQ(cabinet_state_json(&c, "rp2040_pico", buf, n + 1), n);
}

} // namespace
