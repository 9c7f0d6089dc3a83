// The player component played headless (SDL's dummy audio driver, which
// paces at real time, and no screen): CPU of the whole process per second of
// media against bare library loops over the same file in the same run, the
// start-up and seek latencies and the A/V sync error.
//
// One benchmark draws: the 1080p clip in a 960x540 window of the player's
// own with SDL's software renderer. It needs an X display and skips without
// one; `make bench` runs it under xvfb-run.
//
// The player is observed through a subclass. Draw, the screen hook, runs on
// the play thread under the data lock right after the refresh loop released
// a picture (pictq.current); it also runs on forced refreshes, which are told
// apart by the slot, serial and pts of the picture on screen. MakeAudioHook
// hands the audio output a hook that the device callback calls for every
// block of decoded samples. Both are empty in the base player.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/Logger.h"
#include "player/CustomPlayer.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;
using namespace std::chrono_literals;

namespace {

using SteadyClock = std::chrono::steady_clock;

// CPU time of every thread of the process.
double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double msBetween(SteadyClock::time_point a, SteadyClock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Nearest-rank percentile of a sorted vector.
double percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return NAN;
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

// A picture the refresh loop released.
struct Release {
  SteadyClock::time_point at;
  double pts;    // seconds, stream time base origin (as the clocks)
  double audio;  // the audio clock at that moment; NaN while it is not running
  int serial;
};

class TBenchPlayer : public TRORizozu {
 public:
  TBenchPlayer() {
    SetAudioDriver("dummy");
    SetVideoDriver("dummy");
    SetTriggerEventInMainThread(false);  // events on the event thread
    OnState = [this](TObject*, TPlayState s) {
      std::lock_guard g(FLock);
      if (s == psStop) ++FStops;
      if (s == psEnd) FEnded = true;
      FCond.notify_all();
    };
    OnPosition = [this](TObject*, std::int64_t pts) {
      std::lock_guard g(FLock);
      if (!FFirstPosition) FFirstPosition = SteadyClock::now();
      FMaxPosition = std::max(FMaxPosition, pts);
    };
    OnFileOpen = [this](TObject*, std::int64_t duration, int, int, int&, int&) {
      std::lock_guard g(FLock);
      FDuration = duration;
    };
    OnOpenFailed = [this](TObject*) {
      std::lock_guard g(FLock);
      FOpenFailed = true;
      FCond.notify_all();
    };
    FReleases.reserve(4096);
  }
  // The handlers use members that die before the base class stops its event
  // thread: wait for the last psStop here.
  ~TBenchPlayer() override {
    if (FormatContext())
      StopAndSettle();
    else
      Stop(true);
  }

  // Draws into a window as well, with the environment's video driver.
  void SetDrawScreen(bool v) {
    FDrawScreen = v;
    SetVideoDriver(v ? "" : "dummy");
  }

  // Forgets what the last run recorded; call with the player stopped.
  void Reset() {
    std::lock_guard g(FLock);
    FReleases.clear();
    FLastSlot = nullptr;
    FFirstPosition.reset();
    FMaxPosition = -1;
    FDuration = -1;
    FEnded = false;
    FOpenFailed = false;
    FAudioBlocks = 0;
    FFirstAudioBlock.reset();
  }

  // Waits until `done` holds (checked under the lock) or the time-out passes.
  bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    std::unique_lock g(FLock);
    return FCond.wait_for(g, timeout, done);
  }
  int Stops() {
    std::lock_guard g(FLock);
    return FStops;
  }
  // Stops with wait, then waits for the psStop event so that no event of this
  // run reaches the next one. False when psStop did not come.
  bool StopAndSettle() {
    const int before = Stops();
    Stop(true);
    return WaitUntil([&] { return FStops > before; }, 5000ms);
  }

  // Read under WaitUntil's predicate or after the run.
  std::vector<Release> FReleases;
  std::optional<SteadyClock::time_point> FFirstPosition, FFirstAudioBlock;
  std::int64_t FMaxPosition = -1;
  std::int64_t FDuration = -1;  // OnFileOpen's, microseconds
  std::int64_t FAudioBlocks = 0;
  bool FEnded = false, FOpenFailed = false;
  int FStops = 0;
  int FDropsLate = 0, FDropsEarly = 0;
  std::mutex FLock;

 protected:
  void Draw(TVideoState* is) override {
    if (FDrawScreen) TRORizozu::Draw(is);
    const auto at = SteadyClock::now();
    TFFFrame* vp = is->pictq.current;
    if (!vp) return;
    const double pts = vp->pts;
    const int serial = vp->serial;
    const double audio = is->audclk.Get();
    std::lock_guard g(FLock);
    if (vp == FLastSlot && serial == FLastSerial &&
        (pts == FLastPts || (std::isnan(pts) && std::isnan(FLastPts))))
      return;
    FLastSlot = vp;
    FLastSerial = serial;
    FLastPts = pts;
    FReleases.push_back({at, pts, audio, serial});
    FDropsLate = is->frame_drops_late;
    FDropsEarly = is->frame_drops_early;
    FCond.notify_all();
  }

  TAudioHook MakeAudioHook() override {
    return [this](std::int64_t, const std::uint8_t*, int, int, int) {
      const auto at = SteadyClock::now();
      std::lock_guard g(FLock);
      if (FAudioBlocks++ == 0) FFirstAudioBlock = at;
    };
  }

 private:
  std::condition_variable FCond;
  bool FDrawScreen = false;
  const TFFFrame* FLastSlot = nullptr;
  int FLastSerial = 0;
  double FLastPts = NAN;
};

// ---------------------------------------------------------------------------
// Bare loops

CodecContextPtr openDecoder(AVFormatContext* ic, int index) {
  const AVStream* st = ic->streams[index];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return nullptr;
  CodecContextPtr ctx(ff::avcodec_alloc_context3(codec));
  if (!ctx || ff::avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0) return nullptr;
  ctx->pkt_timebase = st->time_base;
  ctx->thread_count = 0;  // "threads auto", as the player opens its decoders
  if (ff::avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  return ctx;
}

struct BareRun {
  double mediaSeconds = -1;  // the input's duration; negative on failure
  std::int64_t pictures = 0;
  std::int64_t samples = 0;
};

// Decodes every packet of the best video and audio streams (either may be
// missing) with send/receive; with `toS16`, converts the audio to interleaved
// signed 16-bit stereo at its own rate, as the player's device format.
BareRun bareDecode(const std::string& path, bool toS16) {
  BareRun run;
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return run;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(raw, nullptr) < 0) return run;
  const int v = ff::av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int a = ff::av_find_best_stream(raw, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  CodecContextPtr vctx = v >= 0 ? openDecoder(raw, v) : nullptr;
  CodecContextPtr actx = a >= 0 ? openDecoder(raw, a) : nullptr;
  if ((v >= 0 && !vctx) || (a >= 0 && !actx) || (!vctx && !actx)) return run;

  SwrPtr swr;
  if (toS16 && actx) {
    AVChannelLayout stereo{};
    ff::av_channel_layout_default(&stereo, 2);
    SwrContext* s = nullptr;
    const int rate = actx->sample_rate;
    if (ff::swr_alloc_set_opts2(&s, &stereo, AV_SAMPLE_FMT_S16, rate, &actx->ch_layout,
                                actx->sample_fmt, rate, 0, nullptr) < 0)
      return run;
    swr.reset(s);
    if (ff::swr_init(s) < 0) return run;
  }
  std::vector<std::uint8_t> out;

  PacketPtr pkt = makePacket();
  FramePtr frame = makeFrame();
  const auto drain = [&](AVCodecContext* ctx) {
    while (ff::avcodec_receive_frame(ctx, frame.get()) == 0) {
      if (ctx == vctx.get()) {
        ++run.pictures;
      } else {
        run.samples += frame->nb_samples;
        if (swr) {
          const int cap = frame->nb_samples + 256;
          out.resize(static_cast<std::size_t>(cap) * 4);
          std::uint8_t* dst = out.data();
          ff::swr_convert(swr.get(), &dst, cap,
                          const_cast<const std::uint8_t**>(frame->extended_data),
                          frame->nb_samples);
        }
      }
      ff::av_frame_unref(frame.get());
    }
  };
  while (ff::av_read_frame(raw, pkt.get()) >= 0) {
    AVCodecContext* ctx = pkt->stream_index == v   ? vctx.get()
                          : pkt->stream_index == a ? actx.get()
                                                   : nullptr;
    if (ctx) {
      ff::avcodec_send_packet(ctx, pkt.get());
      drain(ctx);
    }
    ff::av_packet_unref(pkt.get());
  }
  for (AVCodecContext* ctx : {vctx.get(), actx.get()}) {
    if (!ctx) continue;
    ff::avcodec_send_packet(ctx, nullptr);
    drain(ctx);
  }
  run.mediaSeconds = static_cast<double>(raw->duration) / AV_TIME_BASE;
  return run;
}

// Per target (seconds from the start): the time to seek to the key frame the
// player's seek finds (nearest, no flags), flush the decoder and decode
// pictures up to the first one at or after the target. Empty on failure.
std::vector<double> bareSeekMs(const std::string& path, const std::vector<double>& targets) {
  std::vector<double> ms;
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return ms;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(raw, nullptr) < 0) return ms;
  const int v = ff::av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  CodecContextPtr vctx = v >= 0 ? openDecoder(raw, v) : nullptr;
  if (!vctx) return ms;
  const AVStream* st = raw->streams[v];
  const std::int64_t start = raw->start_time != AV_NOPTS_VALUE ? raw->start_time : 0;
  PacketPtr pkt = makePacket();
  FramePtr frame = makeFrame();
  for (double target : targets) {
    const std::int64_t ts = std::llround(target * 1e6) + start;
    const double wanted = static_cast<double>(ts) / 1e6;
    const auto t0 = SteadyClock::now();
    if (ff::avformat_seek_file(raw, -1, INT64_MIN, ts, INT64_MAX, 0) < 0) return {};
    ff::avcodec_flush_buffers(vctx.get());
    bool reached = false;
    while (!reached && ff::av_read_frame(raw, pkt.get()) >= 0) {
      if (pkt->stream_index == v && ff::avcodec_send_packet(vctx.get(), pkt.get()) >= 0) {
        while (!reached && ff::avcodec_receive_frame(vctx.get(), frame.get()) == 0) {
          const std::int64_t pts = frame->best_effort_timestamp;
          reached = pts != AV_NOPTS_VALUE &&
                    static_cast<double>(pts) * av_q2d(st->time_base) >= wanted - 0.001;
          ff::av_frame_unref(frame.get());
        }
      }
      ff::av_packet_unref(pkt.get());
    }
    if (!reached) return {};
    ms.push_back(msBetween(t0, SteadyClock::now()));
  }
  return ms;
}

// Process CPU seconds of one bare loop per second of media, or NaN.
double bareCpuPerMediaSecond(const std::string& path, bool toS16, BareRun* result = nullptr) {
  const double c0 = processCpuSeconds();
  const BareRun run = bareDecode(path, toS16);
  const double c1 = processCpuSeconds();
  if (result) *result = run;
  return run.mediaSeconds > 0 ? (c1 - c0) / run.mediaSeconds : NAN;
}

bool loadPlayer(benchmark::State& state, TBenchPlayer& player) {
  if (player.LoadAVLib("")) return true;
  state.SkipWithError(("libraries: " + player.LastErrMsg()).c_str());
  return false;
}

// ---------------------------------------------------------------------------
// Audio only

constexpr std::int64_t kAudioPlayTimeUs = 20'000'000;  // of the 60 s clip

// The CPU counters every playback benchmark reports: the player's CPU and
// the bare loop's per second of media, their ratio, and the pace.
void reportCpu(benchmark::State& state, double playerCpu, double media, double wall, double bare) {
  const auto n = static_cast<double>(state.iterations());
  state.counters["player_cpu_per_media_s"] = playerCpu / media;
  state.counters["bare_cpu_per_media_s"] = bare / n;
  state.counters["player_over_bare"] = (playerCpu / media) / (bare / n);
  state.counters["wall_over_media"] = wall / media;
  state.counters["media_s_per_run"] = media / n;
}

// Plays the first 20 s of the 60 s AAC clip (PlayTime, repeat type stop).
// Counters:
//  player_cpu_per_media_s  process CPU s from Open to psStop / s of media played
//                          (the largest OnPosition pts)
//  bare_cpu_per_media_s    the same for decode + swr to s16 stereo of the whole clip
//  player_over_bare        their ratio
//  wall_over_media         wall time of the run / media played (1.0: real time)
//  open_to_audio_block_ms  Open called -> the device callback's first decoded
//                          block (the audio hook; exact)
//  open_to_current_pts_ms  Open called -> CurrentPTS >= 0 (polled every 1 ms)
//  open_to_position_ms     Open called -> the first OnPosition event
void BM_PlayerAudioOnly(benchmark::State& state) {
  TBenchPlayer player;
  if (!loadPlayer(state, player)) return;
  const std::string path = media::ensure(media::Kind::Aac60s);
  double playerCpu = 0, media = 0, wall = 0, bare = 0;
  std::vector<double> toBlock, toPts, toPosition;
  for (auto _ : state) {
    player.Reset();
    player.SetRepeatType(rtStop);
    player.SetPlayTime(kAudioPlayTimeUs);
    const int stops = player.Stops();
    const double c0 = processCpuSeconds();
    const auto t0 = SteadyClock::now();
    if (!player.Open(path)) return state.SkipWithError(("open: " + player.LastErrMsg()).c_str());
    while (player.CurrentPTS() < 0 && SteadyClock::now() - t0 < 10s && player.Stops() == stops)
      std::this_thread::sleep_for(1ms);
    const auto ptsAt = SteadyClock::now();
    const bool stopped = player.WaitUntil([&] { return player.FStops > stops; },
                                          std::chrono::milliseconds(kAudioPlayTimeUs / 1000) + 30s);
    const double c1 = processCpuSeconds();
    const auto t1 = SteadyClock::now();
    if (!stopped)
      return state.SkipWithError("no psStop within PlayTime + 30 s (playback did not end)");
    std::lock_guard g(player.FLock);
    if (!player.FFirstAudioBlock || !player.FFirstPosition || player.FMaxPosition <= 0)
      return state.SkipWithError("no audio block or position event during playback");
    playerCpu += c1 - c0;
    media += static_cast<double>(player.FMaxPosition) / 1e6;
    wall += std::chrono::duration<double>(t1 - t0).count();
    toBlock.push_back(msBetween(t0, *player.FFirstAudioBlock));
    toPts.push_back(msBetween(t0, ptsAt));
    toPosition.push_back(msBetween(t0, *player.FFirstPosition));
    bare += bareCpuPerMediaSecond(path, true);
  }
  reportCpu(state, playerCpu, media, wall, bare);
  state.counters["open_to_audio_block_ms"] = median(toBlock);
  state.counters["open_to_current_pts_ms"] = median(toPts);
  state.counters["open_to_position_ms"] = median(toPosition);
}
BENCHMARK(BM_PlayerAudioOnly)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

// ---------------------------------------------------------------------------
// 1080p playback

// Totals of whole-clip playback runs against the bare decode loop of the
// same clip, measured after each run.
struct TPlaybackTotals {
  double playerCpu = 0, media = 0, wall = 0, bare = 0;
  std::int64_t released = 0, dropsLate = 0, dropsEarly = 0, bareFrames = 0;
  int ended = 0;

  // One run that took cpu seconds of the process and wall seconds; the
  // caller holds the player's lock.
  void AddRun(const TBenchPlayer& player, double cpu, double wallSeconds, const std::string& path) {
    playerCpu += cpu;
    media += static_cast<double>(player.FDuration) / 1e6;
    wall += wallSeconds;
    released += static_cast<std::int64_t>(player.FReleases.size());
    ended += player.FEnded ? 1 : 0;
    dropsLate += player.FDropsLate;
    dropsEarly += player.FDropsEarly;
    BareRun run;
    bare += bareCpuPerMediaSecond(path, false, &run);
    bareFrames = run.pictures;
  }
  void Report(benchmark::State& state) const {
    reportCpu(state, playerCpu, media, wall, bare);
    const auto n = static_cast<double>(state.iterations());
    state.counters["pictures_released_per_run"] = static_cast<double>(released) / n;
    state.counters["pictures_in_file"] = static_cast<double>(bareFrames);
    state.counters["runs_with_psEnd"] = ended;
    state.counters["drops_late_per_run"] = static_cast<double>(dropsLate) / n;
    state.counters["drops_early_per_run"] = static_cast<double>(dropsEarly) / n;
  }
};

// Plays the whole 10 s 1080p clip (repeat type stop). CPU as above, per second
// of the file's duration (OnFileOpen); the bare loop decodes video and audio
// of the whole clip. The sync error of a picture
// is |pts - audio clock| taken in Draw at the moment the refresh loop released
// it: the audio clock (audclk.Get(), the time of the sound leaving the device
// now) against the time the picture stands for. Pictures released before the
// audio clock runs are left out and counted.
void BM_PlayerPlayback1080p(benchmark::State& state) {
  TBenchPlayer player;
  if (!loadPlayer(state, player)) return;
  const std::string path = media::ensure(media::Kind::Bench1080p);
  TPlaybackTotals totals;
  std::vector<double> errors;  // ms
  double signedSum = 0, worst = -1, worstAt = NAN;
  std::int64_t noClock = 0;
  for (auto _ : state) {
    player.Reset();
    player.SetRepeatType(rtStop);
    const int stops = player.Stops();
    const double c0 = processCpuSeconds();
    const auto t0 = SteadyClock::now();
    if (!player.Open(path)) return state.SkipWithError(("open: " + player.LastErrMsg()).c_str());
    const bool stopped =
        player.WaitUntil([&] { return player.FStops > stops; }, media::bench::kSeconds * 1s + 30s);
    const double c1 = processCpuSeconds();
    const auto t1 = SteadyClock::now();
    if (!stopped) return state.SkipWithError("no psStop within the clip + 30 s");
    std::lock_guard g(player.FLock);
    if (player.FReleases.empty() || player.FDuration <= 0)
      return state.SkipWithError("no picture released or no duration");
    for (const Release& r : player.FReleases) {
      if (std::isnan(r.audio) || std::isnan(r.pts)) {
        ++noClock;
        continue;
      }
      const double d = (r.pts - r.audio) * 1e3;
      errors.push_back(std::fabs(d));
      signedSum += d;
      if (std::fabs(d) > worst) {
        worst = std::fabs(d);
        worstAt = r.pts;
      }
    }
    totals.AddRun(player, c1 - c0, std::chrono::duration<double>(t1 - t0).count(), path);
  }
  totals.Report(state);
  const auto n = static_cast<double>(state.iterations());
  std::sort(errors.begin(), errors.end());
  double sum = 0;
  for (double e : errors) sum += e;
  const auto samples = static_cast<double>(errors.size());
  state.counters["released_without_audio_clock"] = static_cast<double>(noClock) / n;
  state.counters["sync_err_mean_ms"] = samples > 0 ? sum / samples : NAN;
  state.counters["sync_err_p95_ms"] = percentile(errors, 0.95);
  state.counters["sync_err_max_ms"] = errors.empty() ? NAN : errors.back();
  state.counters["sync_err_max_at_pts_s"] = worstAt;
  state.counters["sync_signed_mean_ms"] = samples > 0 ? signedSum / samples : NAN;
}
BENCHMARK(BM_PlayerPlayback1080p)->Unit(benchmark::kSecond)->Iterations(2)->UseRealTime();

// ---------------------------------------------------------------------------
// 1080p playback drawn into a window

constexpr int kWindowWidth = 960;
constexpr int kWindowHeight = 540;

// The render driver the player reports when its renderer is made.
class TRenderDriverLog {
 public:
  TRenderDriverLog() {
    FLogger.SetSynchronous(true);
    FLogger.SetTriggerEventInMainThread(false);
    FLogger.SetLogLevel(llInfo);
    FLogger.SetOnLog([this](TObject*, std::uint32_t, TLogLevel, const std::string& line) {
      static const std::string kKey = "Current render driver: ";
      const std::size_t at = line.find(kKey);
      if (at == std::string::npos) return;
      std::lock_guard g(FLock);
      FDriver = line.substr(at + kKey.size());
    });
  }
  std::string Driver() {
    std::lock_guard g(FLock);
    return FDriver;
  }

 private:
  TFFLogger FLogger;
  std::mutex FLock;
  std::string FDriver;
};

// CPU seconds the local X server of $DISPLAY has used (its pid from the
// server's lock file), NaN when that cannot be read.
double xServerCpuSeconds() {
  const char* display = std::getenv("DISPLAY");
  const char* colon = display ? std::strrchr(display, ':') : nullptr;
  if (!colon) return NAN;
  const int number = std::atoi(colon + 1);
  std::ifstream lock("/tmp/.X" + std::to_string(number) + "-lock");
  long pid = 0;
  if (!(lock >> pid) || pid <= 0) return NAN;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t end = text.rfind(')');
  if (end == std::string::npos) return NAN;
  // After the command: state and 10 more fields, then utime and stime.
  std::istringstream fields(text.substr(end + 1));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  unsigned long long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) return NAN;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Plays the whole 10 s 1080p clip (repeat type stop) in a 960x540 window of
// the player's own, SDL's x11 video driver and software renderer. Arg 0: the
// window surface goes to the X server directly (SDL_FRAMEBUFFER_ACCELERATION
// 0); arg 1: SDL's default for the software renderer on X11, the window
// surface shown through a GL texture; arg 2: the player's own choice (the
// software renderer straight to the window when GL rasterises on the CPU,
// which the run requires). The process's CPU does not include the
// X server's: xserver_cpu_per_media_s is that of a local server during the
// runs (NaN when it cannot be read). Other counters as in
// BM_PlayerPlayback1080p; the bare loop decodes video and audio of the whole
// clip. Skips without an X display.
void BM_PlayerScreen1080p(benchmark::State& state) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display)
    return state.SkipWithError("no X display (DISPLAY unset): run it under xvfb-run");
  TRenderDriverLog renderLog;
  TBenchPlayer player;
  if (!loadPlayer(state, player)) return;
  player.SetDrawScreen(true);
  player.SetScreenSize(kWindowWidth, kWindowHeight);
  if (state.range(0) == 2) {
    if (!sdl::SDL_ResetHint) return state.SkipWithError("SDL_ResetHint needs SDL 2.24");
    sdl::SDL_ResetHint(SDL_HINT_RENDER_DRIVER);
    sdl::SDL_ResetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION);
  } else {
    sdl::SDL_SetHintWithPriority(SDL_HINT_RENDER_DRIVER, "software", SDL_HINT_OVERRIDE);
    sdl::SDL_SetHintWithPriority(SDL_HINT_FRAMEBUFFER_ACCELERATION, state.range(0) ? "1" : "0",
                                 SDL_HINT_OVERRIDE);
  }
  const std::string path = media::ensure(media::Kind::Bench1080p);
  TPlaybackTotals totals;
  double serverCpu = 0;
  for (auto _ : state) {
    player.Reset();
    player.SetRepeatType(rtStop);
    const int stops = player.Stops();
    const double c0 = processCpuSeconds(), s0 = xServerCpuSeconds();
    const auto t0 = SteadyClock::now();
    if (!player.Open(path)) return state.SkipWithError(("open: " + player.LastErrMsg()).c_str());
    const bool stopped =
        player.WaitUntil([&] { return player.FStops > stops; }, media::bench::kSeconds * 1s + 30s);
    const double c1 = processCpuSeconds(), s1 = xServerCpuSeconds();
    const auto t1 = SteadyClock::now();
    if (!stopped) return state.SkipWithError("no psStop within the clip + 30 s");
    serverCpu += s1 - s0;
    if (renderLog.Driver() != "software")
      return state.SkipWithError(("render driver: \"" + renderLog.Driver() + "\"").c_str());
    std::lock_guard g(player.FLock);
    if (player.FReleases.empty() || player.FDuration <= 0)
      return state.SkipWithError("no picture released or no duration");
    totals.AddRun(player, c1 - c0, std::chrono::duration<double>(t1 - t0).count(), path);
  }
  totals.Report(state);
  state.counters["xserver_cpu_per_media_s"] = serverCpu / totals.media;
}
BENCHMARK(BM_PlayerScreen1080p)
    ->ArgName("gl_framebuffer")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kSecond)
    ->Iterations(2)
    ->UseRealTime();

// ---------------------------------------------------------------------------
// Start-up and seek latency on the 1080p clip

constexpr int kTries = 10;

// Per try: the call (TryOpen, or Open, which returns once the input is open
// and the play thread runs) until Draw saw the first picture released, then
// Stop(true). Medians over kTries tries of each.
void BM_PlayerStartup1080p(benchmark::State& state) {
  TBenchPlayer player;
  if (!loadPlayer(state, player)) return;
  const std::string path = media::ensure(media::Kind::Bench1080p);
  std::vector<double> tryOpen, open, openCall;
  for (auto _ : state) {
    for (int i = 0; i < 2 * kTries; ++i) {
      const bool waiting = i % 2 == 1;
      player.Reset();
      const auto t0 = SteadyClock::now();
      const bool ok = waiting ? player.Open(path) : player.TryOpen(path);
      const auto t1 = SteadyClock::now();
      if (!ok) return state.SkipWithError(("open: " + player.LastErrMsg()).c_str());
      const bool shown =
          player.WaitUntil([&] { return !player.FReleases.empty() || player.FOpenFailed; }, 10s);
      std::optional<SteadyClock::time_point> first;
      {
        std::lock_guard g(player.FLock);
        if (!player.FReleases.empty()) first = player.FReleases.front().at;
      }
      if (!player.StopAndSettle())
        return state.SkipWithError("Stop(true) after the first picture: no psStop within 5 s");
      if (!shown || !first) return state.SkipWithError("no picture within 10 s of the open");
      (waiting ? open : tryOpen).push_back(msBetween(t0, *first));
      if (waiting) openCall.push_back(msBetween(t0, t1));
    }
  }
  state.counters["tryopen_to_first_picture_median_ms"] = median(tryOpen);
  state.counters["open_to_first_picture_median_ms"] = median(open);
  state.counters["open_call_median_ms"] = median(openCall);
  state.counters["tries_each"] = static_cast<double>(tryOpen.size());
}
BENCHMARK(BM_PlayerStartup1080p)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// While the clip plays: SeekTo(target, 0, true) to each target, then the time
// until Draw saw the first picture of the new serial. Also the time SeekTo
// with wait took to return and how far the first picture was from the target
// (its pts minus the target; negative: before it). 150 ms of play between.
void BM_PlayerSeek1080p(benchmark::State& state) {
  TBenchPlayer player;
  if (!loadPlayer(state, player)) return;
  const std::string path = media::ensure(media::Kind::Bench1080p);
  // Seconds; away from the keyframes every 2 s, forwards and backwards.
  constexpr double kTargets[kTries] = {5.5, 1.5, 7.5, 3.5, 6.2, 0.5, 4.5, 2.5, 8.1, 1.1};
  std::vector<double> toPicture, call, offset;
  for (auto _ : state) {
    player.Reset();
    player.SetRepeatType(rtLoop);  // the clip never ends under the seeks
    if (!player.Open(path)) return state.SkipWithError(("open: " + player.LastErrMsg()).c_str());
    if (!player.WaitUntil([&] { return !player.FReleases.empty(); }, 10s))
      return state.SkipWithError("no picture within 10 s of the open");
    const AVFormatContext* ic = player.FormatContext();
    const double start =
        ic && ic->start_time != AV_NOPTS_VALUE ? static_cast<double>(ic->start_time) / 1e6 : 0;
    std::this_thread::sleep_for(300ms);
    for (double target : kTargets) {
      std::size_t seen = 0;
      int serial = 0;
      {
        std::lock_guard g(player.FLock);
        seen = player.FReleases.size();
        serial = player.FReleases.back().serial;
      }
      const auto t0 = SteadyClock::now();
      player.SeekTo(std::llround(target * 1e6), 0, true);
      const auto t1 = SteadyClock::now();
      std::optional<Release> first;
      player.WaitUntil(
          [&] {
            for (std::size_t i = seen; i < player.FReleases.size(); ++i)
              if (player.FReleases[i].serial != serial) {
                first = player.FReleases[i];
                return true;
              }
            return false;
          },
          5s);
      if (!first) {
        player.StopAndSettle();
        return state.SkipWithError("no picture of the new position within 5 s of a seek");
      }
      toPicture.push_back(msBetween(t0, first->at));
      call.push_back(msBetween(t0, t1));
      offset.push_back((first->pts - start - target) * 1e3);
      std::this_thread::sleep_for(150ms);
    }
    if (!player.StopAndSettle()) return state.SkipWithError("Stop(true): no psStop within 5 s");
  }
  double worst = 0;
  for (double o : offset) worst = std::max(worst, std::fabs(o));
  const std::vector<double> bare =
      bareSeekMs(path, std::vector<double>(std::begin(kTargets), std::end(kTargets)));
  if (bare.empty()) return state.SkipWithError("the bare seek loop failed");
  state.counters["bare_seek_to_target_picture_median_ms"] = median(bare);
  state.counters["seek_over_bare"] = median(toPicture) / median(bare);
  state.counters["seek_to_first_picture_median_ms"] = median(toPicture);
  state.counters["seek_call_median_ms"] = median(call);
  state.counters["first_picture_minus_target_median_ms"] = median(offset);
  state.counters["first_picture_minus_target_max_abs_ms"] = worst;
  state.counters["tries"] = static_cast<double>(toPicture.size());
}
BENCHMARK(BM_PlayerSeek1080p)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// Stop(true) while the psStop handler opens the next file: the time until
// Stop returns (the wait ends with the file it stopped). Medians and the
// worst of kTries tries.
void BM_PlayerStopWhileReopening(benchmark::State& state) {
  TRORizozu player;
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("dummy");
  player.SetTriggerEventInMainThread(false);
  if (!player.LoadAVLib("")) return state.SkipWithError(player.LastErrMsg().c_str());
  const std::string path = media::ensure(media::Kind::Numbered);
  std::atomic<bool> reopen{false};
  std::atomic<int> plays{0};
  player.OnState = [&](TObject*, TPlayState s) {
    if (s == psPlay) ++plays;
    if (s == psStop && reopen.exchange(false)) player.TryOpen(path);
  };
  const auto until = [](const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i) std::this_thread::sleep_for(5ms);
    return done();
  };
  std::vector<double> stops;
  for (auto _ : state) {
    for (int i = 0; i < kTries; ++i) {
      const int before = plays;
      if (!player.Open(path)) return state.SkipWithError(player.LastErrMsg().c_str());
      std::this_thread::sleep_for(200ms);
      reopen = true;
      const auto t0 = SteadyClock::now();
      player.Stop(true);
      stops.push_back(msBetween(t0, SteadyClock::now()));
      if (!until([&] { return plays >= before + 2; }))
        return state.SkipWithError("the re-opened file did not play");
      player.Stop(true);
    }
  }
  std::sort(stops.begin(), stops.end());
  state.counters["stop_while_reopening_median_ms"] = median(stops);
  state.counters["stop_while_reopening_max_ms"] = stops.back();
  state.counters["tries"] = static_cast<double>(stops.size());
}
BENCHMARK(BM_PlayerStopWhileReopening)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
