// corvane-play [options] FILE...: plays media files one after another with the
// player component.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "encoder/CustomEncoder.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/OptionValues.h"
#include "player/CustomPlayer.h"
#include "recording/PlayerEncoderPorts.h"

using namespace corvane;

namespace {

volatile std::sig_atomic_t gSignal = 0;
void onSignal(int sig) { gSignal = sig; }

const char* stateName(TPlayState s) {
  switch (s) {
    case psPlay:
      return "play";
    case psPause:
      return "pause";
    case psResume:
      return "resume";
    case psStep:
      return "step";
    case psStop:
      return "stop";
    case psEnd:
      return "end";
  }
  return "unknown";
}

int usage(const char* msg = nullptr) {
  if (msg) std::fprintf(stderr, "corvane-play: %s\n", msg);
  std::fprintf(stderr,
               "usage: corvane-play [--audio-driver NAME] [--video-driver NAME] [--no-display]\n"
               "  [--no-audio] [--start SECONDS] [--duration SECONDS] [--speed X] [--pitch X]\n"
               "  [--volume 0..128] [--mute] [--loop] [--vf GRAPH] [--af GRAPH]\n"
               "  [--show-mode video|waves|rdft|none] [--sync audio|video|ext] [--renderer NAME]\n"
               "  [--option NAME=VALUE]... [--log-level LEVEL] [--events] [--libdir DIR]\n"
               "  [--record [--record-options OPTIONS]] FILE...\n"
               "Several files play one after another; --loop repeats the list.\n"
               "--record writes what plays to FILE_(new).mp4 next to each file, with the\n"
               "output OPTIONS (for example \"-preset veryfast\"); the exit status is 1\n"
               "when a recording failed.\n");
  return 2;
}

double seconds(const std::string& name, const std::string& v) {
  return parse_double_or_raise(name, v);
}

Tav_sync_type syncType(const std::string& v) {
  if (v == "audio") return AV_SYNC_AUDIO_MASTER;
  if (v == "video") return AV_SYNC_VIDEO_MASTER;
  if (v == "ext") return AV_SYNC_EXTERNAL_CLOCK;
  throw EOptionError("unknown sync type " + v);
}

// Records each file played: armed before each open, stopped with playback.
class TRecorder {
 public:
  TRecorder(TRORizozu& APlayer, const std::string& AOptions)
      : FPlayer(APlayer), FPlayerPort(APlayer), FEncoderPort(FEncoder) {
    FBridge.SetOutputOptions(AOptions);
    FBridge.SetOnNotice(
        [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
    AttachRecordingHooks(FPlayer, FBridge);
  }
  ~TRecorder() {
    FPlayer.Stop(true);
    DetachRecordingHooks(FPlayer);
  }
  bool Load(const std::string& ALibDir) {
    if (!FEncoder.LoadAVLib(ALibDir)) return false;
    RegisterRecordingInputFormats();
    return true;
  }
  std::string LastErrMsg() const { return FEncoder.LastErrMsg(); }
  void Arm() { FBridge.StartRecording(); }
  void FileOpened() { FBridge.OnFileOpen(); }
  // Prints the file written and the records that did not make it.
  void PlaybackStopped() {
    const bool recording = FBridge.Recording() == rsRecording;
    FBridge.OnPlayStateStop();
    if (!recording) return;
    const TRecordDrops d = FBridge.Drops();
    std::fprintf(stdout,
                 "recorded %s dropped_pictures=%lld dropped_audio_blocks=%lld "
                 "skipped_pictures=%lld skipped_audio_blocks=%lld\n",
                 FBridge.OutputFileName().c_str(), static_cast<long long>(d.Video),
                 static_cast<long long>(d.Audio), static_cast<long long>(d.SkippedVideo),
                 static_cast<long long>(d.SkippedAudio));
    std::fflush(stdout);
  }
  // A recording failed (to start, mid-way or at its stop) or never started.
  bool Failed() const { return FFailed; }

 private:
  TRORizozu& FPlayer;
  TDEDirerer FEncoder;
  TPlayerRecordPort FPlayerPort;
  TEncoderRecordPort FEncoderPort;
  bool FFailed = false;
  TRecordingBridge FBridge{FPlayerPort, FEncoderPort, [this](const std::string& text) {
                             FFailed = true;
                             std::fprintf(stderr, "%s\n", text.c_str());
                           }};
};

}  // namespace

int main(int argc, char** argv) {
  auto dispatcher = std::make_shared<QueueDispatcher>();
  setDispatcher(dispatcher);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  TRORizozu player;
  std::vector<std::string> files;
  std::string libdir, logLevel;
  std::int64_t startTime = AV_NOPTS_VALUE, playTime = AV_NOPTS_VALUE;
  std::vector<std::pair<std::string, std::string>> options;
  bool events = false, loop = false, record = false;
  std::string recordOptions;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      const auto value = [&]() -> std::string {
        if (i + 1 >= argc) throw EOptionError("missing value for " + a);
        return argv[++i];
      };
      if (a == "--audio-driver")
        player.SetAudioDriver(value());
      else if (a == "--video-driver")
        player.SetVideoDriver(value());
      else if (a == "--no-display")
        player.SetDisableDisplay(true);
      else if (a == "--no-audio")
        player.SetDisableAudio(true);
      else if (a == "--start")
        startTime = std::llround(seconds(a, value()) * 1e6);
      else if (a == "--duration")
        playTime = std::llround(seconds(a, value()) * 1e6);
      else if (a == "--speed")
        player.SetPlaybackSpeed(seconds(a, value()));
      else if (a == "--pitch")
        player.SetAudioPitch(static_cast<float>(seconds(a, value())));
      else if (a == "--volume")
        player.SetAudioVolume(parse_int_or_raise(a, value()));
      else if (a == "--mute")
        player.SetMute(true);
      else if (a == "--loop")
        loop = true;
      else if (a == "--vf")
        player.SetVideoFilters(value());
      else if (a == "--af")
        player.SetAudioFilters(value());
      else if (a == "--option") {
        const std::string kv = value();
        const std::size_t eq = kv.find('=');
        if (eq == std::string::npos || eq == 0) throw EOptionError("--option needs NAME=VALUE");
        options.emplace_back(kv.substr(0, eq), kv.substr(eq + 1));
      } else if (a == "--log-level")
        logLevel = value();
      else if (a == "--show-mode") {
        const std::string m = value();
        const TShowMode modes[] = {SHOW_MODE_VIDEO, SHOW_MODE_WAVES, SHOW_MODE_RDFT,
                                   SHOW_MODE_NONE};
        const char* names[] = {"video", "waves", "rdft", "none"};
        const auto* it = std::find(std::begin(names), std::end(names), m);
        if (it == std::end(names)) throw EOptionError("unknown show mode " + m);
        player.SetShowMode(modes[it - std::begin(names)]);
      } else if (a == "--sync")
        player.SetSyncType(syncType(value()));
      else if (a == "--renderer")
        player.SetRenderer(value());
      else if (a == "--events")
        events = true;
      else if (a == "--record")
        record = true;
      else if (a == "--record-options")
        recordOptions = value();
      else if (a == "--libdir")
        libdir = value();
      else if (a == "--help" || a == "-h")
        return usage(), 0;
      else if (!a.empty() && a[0] == '-')
        throw EOptionError("unknown option " + a);
      else
        files.push_back(a);
    }
  } catch (const std::exception& e) {
    return usage(e.what());
  }
  if (files.empty()) return usage("no FILE given");

  TFFLogger& logger = FFLogger();
  if (!logLevel.empty()) {
    try {
      logger.OptLogLevel(logLevel);
    } catch (const std::exception& e) {
      return usage(e.what());
    }
    logger.SetOnLog([](TObject*, std::uint32_t, TLogLevel, const std::string& line) {
      std::fprintf(stderr, "%s\n", line.c_str());
    });
  } else {
    logger.SetLogLevel(llQuiet);
  }

  if (!player.LoadAVLib(libdir)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return 1;
  }
  std::unique_ptr<TRecorder> recorder;
  if (record) {
    recorder = std::make_unique<TRecorder>(player, recordOptions);
    if (!recorder->Load(libdir)) {
      std::fprintf(stderr, "%s\n", recorder->LastErrMsg().c_str());
      return 1;
    }
  }
  for (const auto& [k, v] : options)
    if (!player.opt_default(k, v)) {
      std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
      return 2;
    }
  // One file loops in place; a list moves on at the end of each file.
  const bool loopInPlace = loop && files.size() == 1;

  // State seen on the main thread: handlers only record it, the loop below acts.
  bool stopped = false, ended = false, quit = false;
  const auto out = [events](const std::string& line) {
    if (!events) return;
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  };
  player.OnFileOpen = [&](TObject*, std::int64_t d, int w, int h, int&, int&) {
    out("fileopen duration_us=" + std::to_string(d) + " width=" + std::to_string(w) +
        " height=" + std::to_string(h));
    if (recorder) recorder->FileOpened();
  };
  player.OnState = [&](TObject*, TPlayState s) {
    out(std::string("state ") + stateName(s));
    if (s == psEnd) ended = true;
    if (s == psStop) stopped = true;
    if (s == psStop && recorder) recorder->PlaybackStopped();
  };
  player.OnPosition = [&](TObject*, std::int64_t pts) { out("position " + std::to_string(pts)); };
  player.OnError = [&](TObject*, TErrorType t, const std::string& m) {
    out("error " + std::to_string(static_cast<int>(t)) + " " + m);
  };
  player.OnOpenFailed = [&](TObject* p) {
    // Open reports the failure too, by its result.
    out("openfailed " + static_cast<TFFBasePlayer*>(p)->LastErrMsg());
  };

  // Keys of the player's window: space pauses, left and right seek 10 s,
  // m mutes, w cycles video, waves and spectrum, q quits.
  player.OnKeyDown = [&](TObject*, int key) {
    switch (key) {
      case SDLK_SPACE:
        player.TogglePause();
        break;
      case SDLK_LEFT:
        player.SeekBy(-10.0);
        break;
      case SDLK_RIGHT:
        player.SeekBy(10.0);
        break;
      case SDLK_m:
        player.SetMute(!player.Mute());
        break;
      case SDLK_w:
        player.ToggleAudioDisplay();
        break;
      case SDLK_q:
      case SDLK_ESCAPE:
        quit = true;
        player.Stop(false);
        break;
      default:
        break;
    }
  };

  int status = 0;
  std::size_t next = 0, failuresInARow = 0;
  // Opens the next file of the list that opens; false when none is left.
  const auto openNext = [&]() -> bool {
    while (!gSignal && failuresInARow < files.size()) {
      if (next == files.size()) {
        if (!loop || loopInPlace) return false;
        next = 0;
      }
      const std::string& file = files[next++];
      // Closing a file resets these: they are set for every file.
      player.SetStartTime(startTime);
      player.SetPlayTime(playTime);
      player.SetRepeatType(loopInPlace ? rtLoop : rtStop);
      stopped = ended = false;
      if (recorder) recorder->Arm();
      if (player.Open(file)) {
        failuresInARow = 0;
        return true;
      }
      std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
      dispatcher->pump();
      status = 1;
      ++failuresInARow;
    }
    return false;
  };
  bool playing = openNext();
  while (playing && !gSignal) {
    dispatcher->waitForWork(std::chrono::milliseconds(20));
    dispatcher->pump();
    // The end of a file moves on; a stop asked for (a key, the window
    // closed) ends the list.
    if (stopped) playing = !quit && (ended || playTime != AV_NOPTS_VALUE) && openNext();
  }
  // Stop(true) returns once the file is closed; its psStop may still be on
  // its way to this thread.
  if (gSignal) {
    player.Stop(true);
    if (playing) waitPumping([&] { return stopped; }, std::chrono::seconds(2));
  }
  dispatcher->pump();
  if (recorder) {
    recorder->PlaybackStopped();
    if (recorder->Failed()) status = 1;
  }
  recorder.reset();
  return gSignal ? 128 + gSignal : status;
}
