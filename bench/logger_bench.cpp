// Cost of logging to the logging thread, with delivery running, against a
// bare library callback that drops each message.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "foundation/Logger.h"
#include "foundation/LoggerInternal.h"
#include "foundation/api/avutil.h"

using namespace corvane;

namespace {

using Callback = logger_internal::AVLogCallback;
using SteadyClock = std::chrono::steady_clock;

void dropCallback(void* ctx, int level, const char* fmt, va_list vl) {
  benchmark::DoNotOptimize(ctx);
  benchmark::DoNotOptimize(level);
  benchmark::DoNotOptimize(fmt);
  benchmark::DoNotOptimize(vl);
}

__attribute__((noinline, format(printf, 4, 5))) void callThrough(Callback cb, void* ctx, int level,
                                                                 const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  cb(ctx, level, fmt, ap);
  va_end(ap);
}

// A decoder-like context, so that every line carries a reporter prefix.
struct Context {
  const AVClass* cls;
};
const char* itemName(void*) { return "h264"; }
const AVClass kClass = [] {
  AVClass c{};
  c.class_name = "AVCodecContext";
  c.item_name = itemName;
  return c;
}();
Context gContext{&kClass};

// Messages per second of the most recent bare run.
std::atomic<double> gBareRate{0};

template <class Body>
double timedRate(benchmark::State& state, Body body) {
  const auto t0 = SteadyClock::now();
  int i = 0;
  for (auto _ : state) body(i++);
  const std::chrono::duration<double> secs = SteadyClock::now() - t0;
  state.SetItemsProcessed(state.iterations());
  return secs.count() > 0 ? static_cast<double>(state.iterations()) / secs.count() : 0;
}

void callBare(int i) {
  callThrough(dropCallback, &gContext, AV_LOG_INFO, "frame=%5d fps=%.1f q=%.1f size=%8dkB\n", i,
              25.0, 28.0, i * 3);
}

void BM_BareCallback(benchmark::State& state) { gBareRate = timedRate(state, callBare); }
BENCHMARK(BM_BareCallback);

// Runs `body` with a logger whose handler does trivial work on the delivery thread.
template <class Body>
void runWithLogger(benchmark::State& state, Body body) {
  std::atomic<long> delivered{0};
  {
    TFFLogger logger;
    logger.SetSynchronous(false);
    logger.SetTriggerEventInMainThread(false);
    logger.SetOnLog([&](TObject*, std::uint32_t, TLogLevel, const std::string& line) {
      benchmark::DoNotOptimize(line.size());
      delivered.fetch_add(1, std::memory_order_relaxed);
    });
    const double rate = timedRate(state, body);
    double bare = gBareRate;
    if (bare == 0) {  // filtered out of this run: measure it here
      const auto t0 = SteadyClock::now();
      constexpr int kCalls = 1000000;
      for (int i = 0; i < kCalls; ++i) callBare(i);
      bare = kCalls / std::chrono::duration<double>(SteadyClock::now() - t0).count();
    }
    state.counters["ratio_to_bare"] = rate / bare;
    state.counters["msgs_per_s"] = rate;
    logger.SetOnLog(nullptr);
  }
  state.counters["delivered_share"] =
      state.iterations() ? static_cast<double>(delivered) / static_cast<double>(state.iterations())
                         : 0;
}

void BM_LoggerCallback(benchmark::State& state) {
  runWithLogger(state, [](int i) {
    callThrough(logger_internal::avLogCallback(), &gContext, AV_LOG_INFO,
                "frame=%5d fps=%.1f q=%.1f size=%8dkB\n", i, 25.0, 28.0, i * 3);
  });
}
BENCHMARK(BM_LoggerCallback);

void BM_LoggerLog(benchmark::State& state) {
  runWithLogger(state, [](int i) { FFLogger().Log(nullptr, llInfo, "frame=%5d", i); });
}
BENCHMARK(BM_LoggerLog);

}  // namespace
