// Four 720p transcodes with single-threaded decoding and encoding, run as one
// batch through the encoder component on two threads, against the same four
// tasks run one after another by the bare engine on the caller's thread: the
// wall-time speed-up of the batch and the component's CPU overhead, each the
// median of three rounds.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "BenchClock.h"
#include "BenchTask.h"
#include "encoder/CustomEncoder.h"
#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "testmedia/TestMedia.h"
#include "transcoder/Transcoder.h"

using namespace corvane;
using namespace corvane::bench;
namespace media = corvane::testmedia;

namespace {

constexpr int kTasks = 4;
const char* const kInputOptions = "-threads 1";
const char* const kOutputOptions =
    "-y -c:v libx264 -preset veryfast -threads 1 -c:a aac -threads 1";

// A 4 s 720p clip cut from the generated 1080p one.
std::string input720p() {
  static const std::string path = [] {
    const std::string p = scratch("720p.mp4");
    const bool ok = runTask(media::ensure(media::Kind::Bench1080p), p,
                            "-y -t 4 -vf scale=1280:720 -c:v libx264 -preset veryfast -c:a copy");
    return ok ? p : std::string();
  }();
  return path;
}

// Runs every task through the component on AJobs threads; true when each finished.
bool runBatch(const std::string& in, const std::vector<std::string>& outs, int AJobs) {
  TDEDirerer enc;
  enc.SetTriggerEventInMainThread(false);
  if (!enc.LoadAVLib("")) return false;
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  int finished = 0;
  enc.OnTerminate.Set([&](TObject*, const TTerminateInfo& t) {
    std::lock_guard g(m);
    if (t.TaskIndex < 0)
      done = true;
    else if (t.Finished)
      ++finished;
    cv.notify_all();
  });
  for (const std::string& out : outs) {
    const int i = enc.AddTask(in, kInputOptions, "");
    if (i < 0 || enc.SetOutput(i, out, kOutputOptions, "") < 0) return false;
  }
  if (!enc.Start(AJobs)) return false;
  std::unique_lock g(m);
  cv.wait(g, [&] { return done; });
  return finished == static_cast<int>(outs.size());
}

void BM_EncoderBatch720p(benchmark::State& state) {
  if (!FFLoader().Load(kEncoderLibraries)) return state.SkipWithError("libraries");
  FFLogger().SetLogLevel(llError);
  const std::string in = input720p();
  if (in.empty()) return state.SkipWithError("the 720p input");
  std::vector<std::string> outs;
  for (int i = 0; i < kTasks; ++i) outs.push_back(scratch("batch-" + std::to_string(i) + ".mp4"));
  std::vector<Cost> batches, serials;
  for (auto _ : state) {
    bool ok = true;
    // Three rounds, the order alternating, so that neither side always runs warm.
    for (int round = 0; round < 3 && ok; ++round) {
      const auto serialRound = [&] {
        serials.push_back(measure([&] {
          for (const std::string& out : outs)
            ok = runTask(in, out, kOutputOptions, kInputOptions) && ok;
        }));
      };
      const auto batchRound = [&] {
        batches.push_back(measure([&] { ok = runBatch(in, outs, 2) && ok; }));
      };
      if (round % 2 == 0) {
        serialRound();
        batchRound();
      } else {
        batchRound();
        serialRound();
      }
    }
    if (!ok) return state.SkipWithError("a task failed");
  }
  const Cost batch = median(batches), serial = median(serials);
  state.counters["batch_wall_s"] = batch.wall;
  state.counters["serial_wall_s"] = serial.wall;
  state.counters["speedup"] = batch.wall > 0 ? serial.wall / batch.wall : 0;
  state.counters["batch_cpu_s"] = batch.cpu;
  state.counters["serial_cpu_s"] = serial.cpu;
  state.counters["cpu_overhead"] = serial.cpu > 0 ? batch.cpu / serial.cpu : 0;
  for (const std::string& out : outs) std::filesystem::remove(out);
}
BENCHMARK(BM_EncoderBatch720p)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
