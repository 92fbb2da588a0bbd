// Timings of the controller's hot paths and the command parser, through the
// public interface only. The operations of interest are short (tens to
// hundreds of nanoseconds) and some need a fresh record each time, so those
// are timed by hand around the call alone; BM_ClockRead shows how much one
// such pair of clock reads adds.
#include "cabinet.h"
#include "protocol.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>

namespace {

using clock_type = std::chrono::steady_clock;

const char kSession[] = "E6614103E7000000-0000000000000001"; // board id and boot number
uint64_t events;

void outputs(void *, uint8_t mask, uint32_t pulse_ms) { benchmark::DoNotOptimize(mask + pulse_ms); }
void emit(void *, const char *, uint64_t, uint64_t, const char *, const char *, uint8_t) {
    ++events;
}

constexpr cabinet_inputs_t sample(uint16_t word) {
    return {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8), 1, 1};
}

// A controller with every door closed and latched, settled inputs and a fresh
// heartbeat: ready to admit an open at its now_ms.
cabinet_t secure_cabinet() {
    cabinet_t c;
    cabinet_init(&c, outputs, emit, nullptr, kSession, true, 0);
    cabinet_tick(&c, 0, sample(0xFFFF));
    cabinet_tick(&c, 30, sample(0xFFFF));
    cabinet_heartbeat(&c, kSession);
    cabinet_tick(&c, 100, sample(0xFFFF));
    return c;
}

double seconds_since(clock_type::time_point start) {
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

void BM_ClockRead(benchmark::State &state) {
    for (auto _ : state) {
        const auto start = clock_type::now();
        state.SetIterationTime(seconds_since(start));
    }
}
BENCHMARK(BM_ClockRead)->UseManualTime();

// The tick in which all sixteen inputs settle on a new value: each one updates
// its debounced bit and publishes its event. The preceding tick, in which all
// sixteen change, is not timed.
void BM_TickSixteenSettle(benchmark::State &state) {
    cabinet_t c;
    cabinet_init(&c, outputs, emit, nullptr, kSession, true, 0);
    uint64_t now = 0;
    cabinet_tick(&c, now, sample(0xFFFF));
    cabinet_tick(&c, now += 30, sample(0xFFFF));
    uint16_t word = 0xFFFF;
    const uint64_t before = events;
    for (auto _ : state) {
        word = static_cast<uint16_t>(~word);
        cabinet_tick(&c, now += 30, sample(word));
        now += 30;
        const auto start = clock_type::now();
        cabinet_tick(&c, now, sample(word));
        state.SetIterationTime(seconds_since(start));
    }
    state.counters["events_per_tick"] =
        static_cast<double>(events - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TickSixteenSettle)->UseManualTime();

// One admitted open: every check passes, the ring entry is written, the
// output is switched on and "open_accepted" is published. Each iteration
// starts from a copy of the same secure controller.
void BM_OpenAccepted(benchmark::State &state) {
    const cabinet_t prepared = secure_cabinet();
    cabinet_args_t args{};
    std::memcpy(args.request_id, "req-0001", 9);
    std::memcpy(args.session_id, kSession, sizeof kSession);
    args.issued_at_ms = prepared.now_ms;
    args.pulse_ms = 500;
    args.ttl_ms = 2000;
    args.door_id = 3;
    cabinet_t c;
    benchmark::IterationCount accepted = 0;
    for (auto _ : state) {
        c = prepared;
        benchmark::ClobberMemory();
        const auto start = clock_type::now();
        const char *code = cabinet_open(&c, &args);
        state.SetIterationTime(seconds_since(start));
        accepted += std::strcmp(code, "accepted") == 0;
    }
    if (accepted != state.iterations()) {
        state.SkipWithError("open was not accepted");
    }
}
BENCHMARK(BM_OpenAccepted)->UseManualTime();

// The longest "open" line the parser accepts without padding.
void BM_ParseLongestOpen(benchmark::State &state) {
    const std::string line = "{\"type\":\"open\",\"request_id\":\"" + std::string(64, 'r') +
                             "\",\"session_id\":\"" + std::string(48, 'S') +
                             "\",\"door_id\":8,\"pulse_ms\":4294967295,"
                             "\"issued_at_ms\":18446744073709551615,\"ttl_ms\":4294967295}";
    cabinet_cmd_t cmd;
    for (auto _ : state) {
        const bool ok = cabinet_parse(line.data(), line.size(), 0, &cmd);
        benchmark::DoNotOptimize(ok);
        benchmark::ClobberMemory();
    }
    if (!cabinet_parse(line.data(), line.size(), 0, &cmd)) {
        state.SkipWithError("line rejected");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
    state.counters["line_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_ParseLongestOpen);

void BM_StateJson(benchmark::State &state) {
    const cabinet_t c = secure_cabinet();
    char buf[CABINET_LINE_MAX];
    size_t n = 0;
    for (auto _ : state) {
        n = cabinet_state_json(&c, "rp2040_pico", buf, sizeof buf);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.counters["json_bytes"] = static_cast<double>(n);
}
BENCHMARK(BM_StateJson);

} // namespace

BENCHMARK_MAIN();
