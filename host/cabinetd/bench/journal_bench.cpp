// Journal ingest: 20,000 records of line traffic handed over in batches the
// way a cabinet's thread does, timed until all are committed.
#include "journal.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <unistd.h>

namespace {

std::vector<cabinetd::Record> batch_of(std::size_t n, std::uint64_t &seq) {
    std::vector<cabinetd::Record> batch;
    for (std::size_t i = 0; i < n; ++i) {
        cabinetd::Record r;
        r.cabinet = "lab";
        r.kind = i % 2 ? cabinetd::RecordKind::Ack : cabinetd::RecordKind::Event;
        r.session_id = "E6613852832F4A29-0000000000000001";
        r.event_seq = ++seq;
        r.code = i % 2 ? "heartbeat_ok" : "door_open";
        r.door_id = 3;
        r.uptime_ms = 123456;
        batch.push_back(std::move(r));
    }
    return batch;
}

void BM_JournalIngest(benchmark::State &state) {
    namespace fs = std::filesystem;
    const auto dir = fs::temp_directory_path() / ("cabinetd-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const auto batch_size = static_cast<std::size_t>(state.range(0));
    std::uint64_t seq = 0;
    {
        cabinetd::Journal j((dir / "j.db").string());
        constexpr std::size_t kLines = 20000;
        for (auto _ : state) {
            for (std::size_t n = 0; n < kLines; n += batch_size) j.write(batch_of(batch_size, seq));
            j.flush(); // counted only once durable
        }
        state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kLines));
    }
    fs::remove_all(dir);
}
// Batches of 1 (a quiet line: one record per poll) to 64 (a busy one).
BENCHMARK(BM_JournalIngest)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
