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
void emit(void *, const char *, uint64_t, uint64_t, const char *, const char *, uint8_t) { ++events; }

constexpr cabinet_inputs_t sample(uint16_t word) {
    return {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8), 1, 1};
}

// A controller whose inputs, all closed and latched, settle at 30 ms;
// with a heartbeat it is ready to admit an open at 100 ms.
cabinet_t settled_cabinet(bool heartbeat) {
    cabinet_t c;
    cabinet_init(&c, outputs, emit, nullptr, kSession, true, 0);
    cabinet_tick(&c, 0, sample(0xFFFF));
    cabinet_tick(&c, 30, sample(0xFFFF));
    if (heartbeat) {
        cabinet_heartbeat(&c, kSession);
        cabinet_tick(&c, 100, sample(0xFFFF));
    }
    return c;
}

// Each iteration runs `prepare` untimed, then times `measured` alone.
template <class Prepare, class Measured>
void timed(benchmark::State &state, Prepare prepare, Measured measured) {
    for (auto _ : state) {
        prepare();
        benchmark::ClobberMemory();
        const auto start = clock_type::now();
        measured();
        state.SetIterationTime(std::chrono::duration<double>(clock_type::now() - start).count());
    }
}

void BM_ClockRead(benchmark::State &state) {
    timed(state, [] {}, [] {});
}
BENCHMARK(BM_ClockRead)->UseManualTime();

// The tick in which all sixteen inputs settle on a new value: each one updates
// its debounced bit and publishes its event. The preceding tick, in which all
// sixteen change, is not timed.
void BM_TickSixteenSettle(benchmark::State &state) {
    cabinet_t c = settled_cabinet(false);
    uint64_t now = 30;
    uint16_t word = 0xFFFF;
    const uint64_t before = events;
    timed(
        state,
        [&] {
            word = static_cast<uint16_t>(~word);
            cabinet_tick(&c, now += 30, sample(word));
        },
        [&] { cabinet_tick(&c, now += 30, sample(word)); });
    state.counters["events_per_tick"] =
        static_cast<double>(events - before) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TickSixteenSettle)->UseManualTime();

// One admitted open: every check passes, the ring entry is written, the
// output is switched on and "open_accepted" is published. Each iteration
// starts from a copy of the same ready controller.
void BM_OpenAccepted(benchmark::State &state) {
    const cabinet_t prepared = settled_cabinet(true);
    cabinet_args_t args{"req-0001", "", prepared.now_ms, 500, 2000, 3};
    std::memcpy(args.session_id, kSession, sizeof kSession);
    cabinet_t c;
    bool all_accepted = true;
    timed(
        state, [&] { c = prepared; },
        [&] { all_accepted &= std::strcmp(cabinet_open(&c, &args), "accepted") == 0; });
    if (!all_accepted) state.SkipWithError("open was not accepted");
}
BENCHMARK(BM_OpenAccepted)->UseManualTime();

// The longest "open" line the parser accepts without padding.
void BM_ParseLongestOpen(benchmark::State &state) {
    const std::string line = "{\"type\":\"open\",\"request_id\":\"" + std::string(64, 'r') +
                             "\",\"session_id\":\"" + std::string(48, 'S') +
                             "\",\"door_id\":8,\"pulse_ms\":4294967295,"
                             "\"issued_at_ms\":18446744073709551615,\"ttl_ms\":4294967295}";
    cabinet_cmd_t cmd;
    bool ok = true;
    for (auto _ : state) {
        ok &= cabinet_parse(line.data(), line.size(), 0, &cmd);
        benchmark::ClobberMemory();
    }
    if (!ok) state.SkipWithError("line rejected");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
    state.counters["line_bytes"] = static_cast<double>(line.size());
}
BENCHMARK(BM_ParseLongestOpen);

void BM_StateJson(benchmark::State &state) {
    const cabinet_t c = settled_cabinet(true);
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
