// Ring throughput with one producer and one consumer thread, as a ratio to a
// plain memcpy of the same bytes measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "foundation/CircularBuffer.h"

using corvane::TCircularBuffer;

namespace {

constexpr std::int64_t kBytesPerIteration = 256ll << 20;

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Moves kBytesPerIteration bytes of `record`-sized writes through a ring; the
// consumer reads record-sized chunks. Counters: ring and memcpy GB/s and
// their ratio (ring / memcpy; a ring moves each byte twice).
void BM_RingThroughput(benchmark::State& state) {
  const auto record = static_cast<std::size_t>(state.range(0));
  const std::int64_t records = kBytesPerIteration / static_cast<std::int64_t>(record);
  std::vector<std::uint8_t> src(record, 0x5A), dst(record), copy(record);
  double ringTime = 0, copyTime = 0;

  for (auto _ : state) {
    TCircularBuffer ring;  // 1 MiB, grows on demand up to 16 MiB
    const auto t0 = std::chrono::steady_clock::now();
    std::thread producer([&] {
      for (std::int64_t i = 0; i < records; ++i)
        if (ring.Write(src.data(), static_cast<std::int32_t>(record)) < 0) break;
      ring.EndWriting();
    });
    std::int64_t got = 0;
    for (;;) {
      const std::int32_t n = ring.Read(dst.data(), static_cast<std::int32_t>(record));
      if (n < 0) break;
      got += n;
    }
    producer.join();
    const auto t1 = std::chrono::steady_clock::now();
    for (std::int64_t i = 0; i < records; ++i) {
      std::memcpy(copy.data(), src.data(), record);
      benchmark::DoNotOptimize(copy.data());
      benchmark::ClobberMemory();
    }
    const auto t2 = std::chrono::steady_clock::now();
    ringTime += seconds(t1 - t0);
    copyTime += seconds(t2 - t1);
    if (got != records * static_cast<std::int64_t>(record)) state.SkipWithError("bytes lost");
  }
  const double bytes =
      static_cast<double>(state.iterations()) * static_cast<double>(records * record);
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.counters["ring_GBps"] = bytes / ringTime / 1e9;
  state.counters["memcpy_GBps"] = bytes / copyTime / 1e9;
  state.counters["ring_vs_memcpy"] = copyTime / ringTime;
}

BENCHMARK(BM_RingThroughput)
    ->Arg(64 * 1024)
    ->Arg(3110412)  // a 1080p YUV 4:2:0 picture and its 12-byte header
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
