// corvane-play [options] FILE: plays a media file with the player component.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "foundation/OptionValues.h"
#include "player/CustomPlayer.h"

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
  std::fprintf(
      stderr,
      "usage: corvane-play [--audio-driver NAME] [--video-driver NAME] [--no-display]\n"
      "  [--no-audio] [--start SECONDS] [--duration SECONDS] [--speed X] [--pitch X]\n"
      "  [--volume 0..128] [--mute] [--loop] [--vf GRAPH] [--af GRAPH]\n"
      "  [--show-mode video|waves|rdft|none] [--option NAME=VALUE]... [--log-level LEVEL]\n"
      "  [--events] [--libdir DIR] FILE\n");
  return 2;
}

double seconds(const std::string& name, const std::string& v) {
  return parse_double_or_raise(name, v);
}

}  // namespace

int main(int argc, char** argv) {
  auto dispatcher = std::make_shared<QueueDispatcher>();
  setDispatcher(dispatcher);
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);

  TRORizozu player;
  std::string file, libdir, logLevel;
  std::vector<std::pair<std::string, std::string>> options;
  bool events = false, loop = false;
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
        player.SetStartTime(std::llround(seconds(a, value()) * 1e6));
      else if (a == "--duration")
        player.SetPlayTime(std::llround(seconds(a, value()) * 1e6));
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
      } else if (a == "--events")
        events = true;
      else if (a == "--libdir")
        libdir = value();
      else if (a == "--help" || a == "-h")
        return usage(), 0;
      else if (!a.empty() && a[0] == '-')
        throw EOptionError("unknown option " + a);
      else if (file.empty())
        file = a;
      else
        throw EOptionError("only one FILE can be played");
    }
  } catch (const std::exception& e) {
    return usage(e.what());
  }
  if (file.empty()) return usage("no FILE given");

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
  for (const auto& [k, v] : options)
    if (!player.opt_default(k, v)) {
      std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
      return 2;
    }
  player.SetRepeatType(loop ? rtLoop : rtStop);

  bool finished = false, failed = false;
  const auto out = [events](const std::string& line) {
    if (!events) return;
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  };
  player.OnFileOpen = [&](TObject*, std::int64_t d, int w, int h, int&, int&) {
    out("fileopen duration_us=" + std::to_string(d) + " width=" + std::to_string(w) +
        " height=" + std::to_string(h));
  };
  player.OnState = [&](TObject*, TPlayState s) {
    out(std::string("state ") + stateName(s));
    if (s == psStop) finished = true;
  };
  player.OnPosition = [&](TObject*, std::int64_t pts) { out("position " + std::to_string(pts)); };
  player.OnError = [&](TObject*, TErrorType t, const std::string& m) {
    out("error " + std::to_string(static_cast<int>(t)) + " " + m);
  };
  player.OnOpenFailed = [&](TObject* p) {
    out("openfailed " + static_cast<TFFBasePlayer*>(p)->LastErrMsg());
    failed = true;
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
        player.Stop(false);
        break;
      default:
        break;
    }
  };

  if (!player.Open(file)) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    dispatcher->pump();
    return 1;
  }
  while (!finished && !failed && !gSignal) {
    dispatcher->waitForWork(std::chrono::milliseconds(20));
    dispatcher->pump();
  }
  if (gSignal) player.Stop(true);
  dispatcher->pump();
  if (failed) {
    std::fprintf(stderr, "%s\n", player.LastErrMsg().c_str());
    return 1;
  }
  return gSignal ? 128 + gSignal : 0;
}
