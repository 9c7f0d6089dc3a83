// Recording what plays: a generated clip (numbered pictures, a click every
// second) played headless with SDL's dummy drivers while the recording bridge
// feeds an encoder task. Reported: records dropped, the A/V offset of the
// recording (each click against its picture), and the CPU of playback with
// recording over playback alone, at 640x360 and at 1080p with the encoder's
// default preset and a fast one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchClock.h"
#include "encoder/CustomEncoder.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "recording/PlayerEncoderPorts.h"
#include "recording/RecordingReadBack.h"

using namespace corvane;

namespace {

constexpr int kFps = 30;
constexpr int kSeconds = 4;

struct Run {
  bench::Cost cost;
  TRecordDrops drops;
  std::string output;
  int shown = 0;
};

// Plays `clip` to its end, recording it when `options` is set.
Run play(const std::string& clip, const std::string* options) {
  auto dispatcher = std::make_shared<QueueDispatcher>();
  setDispatcher(dispatcher);
  TDEDirerer encoder;
  TRORizozu player;
  encoder.LoadAVLib("");
  player.LoadAVLib("");
  RegisterRecordingInputFormats();
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("dummy");
  player.SetRepeatType(rtStop);
  TPlayerRecordPort playerPort(player);
  TEncoderRecordPort encoderPort(encoder);
  TRecordingBridge bridge(playerPort, encoderPort, [](const std::string&) {});
  std::atomic<int> shown{0};
  if (options) {
    bridge.SetOutputOptions(*options);
    AttachRecordingHooks(player, bridge);
    player.OnFrameHook = [&](TObject*, const PicturePlanes& p, AVPixelFormat f, int w, int h,
                             std::int64_t pts) {
      ++shown;
      bridge.FrameHook(p, f, w, h, pts);
    };
    player.OnFileOpen = [&](TObject*, std::int64_t, int, int, int&, int&) { bridge.OnFileOpen(); };
  }
  bool stopped = false;
  player.OnState = [&](TObject*, TPlayState s) {
    if (s != psStop) return;
    bridge.OnPlayStateStop();
    stopped = true;
  };
  Run run;
  run.cost = bench::measure([&] {
    if (options) bridge.StartRecording();
    if (!player.Open(clip)) return;
    while (!stopped) {
      dispatcher->waitForWork(std::chrono::milliseconds(20));
      dispatcher->pump();
    }
  });
  player.Stop(true);
  DetachRecordingHooks(player);
  run.drops = bridge.Drops();
  run.output = bridge.OutputFileName();
  run.shown = shown;
  setDispatcher(nullptr);
  return run;
}

std::string clipFor(int width, int height) {
  const auto dir = std::filesystem::temp_directory_path() / "corvane-recording-bench";
  std::filesystem::create_directories(dir);
  const std::string clip = (dir / ("clicks_" + std::to_string(height) + "p.mkv")).string();
  if (!std::filesystem::exists(clip)) {
    TDEDirerer loader;
    loader.LoadAVLib("");
    recrig::writeClickClip(clip, width, height, kSeconds);
  }
  return clip;
}

void BM_Recording(benchmark::State& state, int width, int height, std::string options) {
  const std::string clip = clipFor(width, height);
  for (auto _ : state) {
    const Run alone = play(clip, nullptr);
    const Run rec = play(clip, &options);
    recrig::Decoded d;
    const bool ok = recrig::decode(rec.output, d);
    double worst = 0;
    for (const double o : recrig::clickOffsets(d, kFps)) worst = std::max(worst, std::fabs(o));
    state.counters["pictures_shown"] = rec.shown;
    state.counters["pictures_recorded"] = ok ? static_cast<double>(d.pictureUs.size()) : 0;
    state.counters["pictures_dropped"] = static_cast<double>(rec.drops.Video);
    state.counters["audio_blocks_dropped"] = static_cast<double>(rec.drops.Audio);
    state.counters["pictures_skipped"] = static_cast<double>(rec.drops.SkippedVideo);
    state.counters["av_offset_ms"] = worst * 1000;
    state.counters["cpu_ratio"] = alone.cost.cpu > 0 ? rec.cost.cpu / alone.cost.cpu : 0;
    std::filesystem::remove(rec.output);
  }
}

BENCHMARK_CAPTURE(BM_Recording, 360p, 640, 360, std::string())
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Recording, 1080p_default, 1920, 1080, std::string())
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Recording, 1080p_veryfast, 1920, 1080, std::string("-preset veryfast"))
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
