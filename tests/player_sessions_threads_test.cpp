// One session per opened file, as an application meets it: a stop waits for
// the file it stopped, setters reach the file being opened, waits from the
// player's own threads do not wait for themselves, handlers destroy the
// player, and stops cancel opens. Each case runs under a watchdog.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "support/PlayerRig.h"
#include "support/SilentServer.h"
#include "support/Watchdog.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
using ::testrig::withinDeadline;
namespace media = corvane::testmedia;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kNearEnd = 3600000;  // the numbered clip is 4 s long

class PlayerSessions : public ::testrig::PlayerTest<TRORizozu> {
 protected:
  static void SetUpTestSuite() {
    const auto clips = ::testrig::playerClips({media::Kind::Numbered, media::Kind::TsTwoPrograms});
    numbered_ = clips[0];
    programs_ = clips[1];
  }
  void SetUp() override {
    PlayerTest::SetUp();
    player_->OnState = [this](TObject*, TPlayState s) { record(s); };
  }
  void record(TPlayState s) {
    std::lock_guard g(lock_);
    states_.push_back(s);
  }
  int count(TPlayState s) {
    std::lock_guard g(lock_);
    return static_cast<int>(std::count(states_.begin(), states_.end(), s));
  }
  bool playsPast(std::int64_t us) {
    return pumpUntil([&] { return player_->CurrentPTS() >= us; });
  }

  static inline std::string numbered_, programs_;
  std::mutex lock_;
  std::vector<TPlayState> states_;
};

// psStop of the stopped file opens the next one while Stop(true) waits: the
// wait ends with the file it stopped, and the next one plays.
TEST_F(PlayerSessions, StopWaitsForTheFileItStoppedNotTheNext) {
  std::atomic<bool> reopened{false}, reopenOk{false};
  player_->OnState = [&](TObject*, TPlayState s) {
    record(s);
    if (s == psStop && !reopened.exchange(true)) reopenOk = player_->TryOpen(numbered_);
  };
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  ASSERT_TRUE(playsPast(200000));
  withinDeadline(10s, "Stop(true) while a handler opens the next file",
                 [&] { player_->Stop(true); });
  // The psStop may be delivered during the wait or right after it.
  EXPECT_TRUE(pumpUntil([&] { return reopened.load(); }));
  EXPECT_TRUE(reopenOk) << player_->LastErrMsg();
  EXPECT_TRUE(pumpUntil([&] { return count(psPlay) == 2; }));
  EXPECT_TRUE(playsPast(200000)) << "the next file plays";
  withinDeadline(10s, "the closing Stop(true)", [&] { player_->Stop(true); });
}

// A waiting seek from OnVideoRender or from a picture hook starts the seek and
// returns: the thread that must show the picture is the one asking.
TEST_F(PlayerSessions, WaitingSeeksFromThePlayersOwnThreadsReturn) {
  for (const bool fromHook : {false, true}) {
    SCOPED_TRACE(fromHook ? "OnFrameHook" : "OnVideoRender");
    std::atomic<bool> asked{false}, returned{false};
    const auto seek = [&] {
      if (asked.exchange(true)) return;
      player_->SeekTo(2000000, 0, true);
      returned = true;
    };
    player_->SetFrameHook(fromHook);
    player_->OnFrameHook = [&](TObject*, const PicturePlanes&, AVPixelFormat, int, int,
                               std::int64_t) { seek(); };
    player_->OnVideoRender = [&](TObject*) {
      if (!fromHook) seek();
    };
    withinDeadline(15s, "a waiting seek from the player's own thread", [&] {
      ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
      EXPECT_TRUE(pumpUntil([&] { return returned.load(); }));
      EXPECT_TRUE(playsPast(2000000)) << "the seek went ahead";
      player_->Stop(true);
    });
    player_->OnFrameHook = nullptr;
    player_->OnVideoRender = nullptr;
  }
}

// A hook cannot switch the stream its own thread decodes: its decoder would
// wait for the hook. The refusal says why; other kinds still switch.
TEST_F(PlayerSessions, HookCannotSwitchItsOwnStreamKind) {
  std::vector<int> videos, audios;
  std::atomic<bool> ready{false};  // the stream lists are filled
  std::atomic<int> videoResult{-1}, audioResult{-1}, otherResult{-1};
  std::mutex m;
  std::string videoText, audioText;
  const auto other = [&](const std::vector<int>& of, int current) {
    return of[0] == current ? of[1] : of[0];
  };
  player_->SetFrameHook(true);
  player_->SetAudioHook(true);
  player_->OnFrameHook = [&](TObject*, const PicturePlanes&, AVPixelFormat, int, int,
                             std::int64_t) {
    if (!ready || videoResult != -1 || videos.size() != 2) return;
    const bool ok = player_->SetVideoStreamIndex(other(videos, player_->VideoStreamIndex()));
    std::lock_guard g(m);
    videoText = player_->LastErrMsg();
    videoResult = ok;
  };
  player_->OnAudioHook = [&](TObject*, std::int64_t, const std::uint8_t*, int, int, int) {
    if (!ready || audioResult != -1 || audios.size() != 2) return;
    const bool ok = player_->SetAudioStreamIndex(other(audios, player_->AudioStreamIndex()));
    std::lock_guard g(m);
    audioText = player_->LastErrMsg();
    audioResult = ok;
  };
  withinDeadline(20s, "stream switches from the hooks", [&] {
    ASSERT_TRUE(player_->Open(programs_, true)) << player_->LastErrMsg();
    AVFormatContext* ic = player_->FormatContext();
    ASSERT_TRUE(ic);
    for (unsigned i = 0; i < ic->nb_streams; ++i)
      (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? videos : audios)
          .push_back(static_cast<int>(i));
    ASSERT_EQ(videos.size(), 2u);
    ASSERT_EQ(audios.size(), 2u);
    ready = true;
    player_->Resume();
    EXPECT_TRUE(pumpUntil([&] { return videoResult != -1 && audioResult != -1; }));
    // The audio stream switches from the video hook's point of view too.
    otherResult = player_->SetAudioStreamIndex(other(audios, player_->AudioStreamIndex()));
    player_->Stop(true);
  });
  std::lock_guard g(m);
  EXPECT_EQ(videoResult, 0);
  EXPECT_EQ(audioResult, 0);
  EXPECT_EQ(videoText, "Cannot switch the video stream from a video hook.");
  EXPECT_EQ(audioText, "Cannot switch the audio stream from the audio hook.");
  EXPECT_EQ(otherResult, 1) << player_->LastErrMsg();
}

// ForceFormat set by a psEnd handler for the next file survives the close
// that rtStop runs meanwhile on the play thread.
TEST_F(PlayerSessions, SettingsForTheNextFileSurviveTheEndingClose) {
  std::atomic<bool> chained{false}, chainedOk{false};
  std::mutex m;
  std::string forcedAtOpen;
  player_->OnState = [&](TObject*, TPlayState s) {
    record(s);
    if (s != psEnd || chained.exchange(true)) return;
    player_->SetForceFormat("mp4");
    player_->SetPlayTime(3900000);
    // The ending close runs while the handler works.
    pumpFor(300ms);
    chainedOk = player_->Open(numbered_);
    std::lock_guard g(m);
    forcedAtOpen = player_->ForceFormat();
  };
  player_->SetRepeatType(rtStop);
  player_->SetStartTime(kNearEnd);
  withinDeadline(20s, "opening from psEnd under rtStop", [&] {
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    EXPECT_TRUE(pumpUntil([&] { return chained && count(psPlay) == 2; }));
    EXPECT_TRUE(chainedOk) << player_->LastErrMsg();
    EXPECT_EQ(player_->PlayTime(), 3900000);
    player_->Stop(true);
  });
  std::lock_guard g(m);
  EXPECT_EQ(forcedAtOpen, "mp4");
}

// A stop while Open waits for an input that never answers cancels it: the
// open fails with OnOpenFailed, long before the read time-out.
TEST_F(PlayerSessions, StopCancelsAWaitingOpen) {
  corvane::testrig::SilentServer server;
  ASSERT_GT(server.port(), 0);
  std::atomic<int> failures{0};
  player_->OnOpenFailed = [&](TObject*) { ++failures; };
  withinDeadline(15s, "a stop during a waiting open", [&] {
    std::thread stopper([&] {
      std::this_thread::sleep_for(300ms);
      player_->Stop();
    });
    EXPECT_FALSE(player_->Open(server.url()));
    stopper.join();
    EXPECT_TRUE(pumpUntil([&] { return failures > 0; }));
    pumpFor(200ms);
  });
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(player_->FormatContext(), nullptr);
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  EXPECT_TRUE(playsPast(100000));
  player_->Stop(true);
}

// Open while a TryOpen is still connecting is refused at once; once that open
// is stopped the player opens again.
TEST_F(PlayerSessions, OpenDuringAPendingTryOpenIsRefused) {
  corvane::testrig::SilentServer server;
  ASSERT_GT(server.port(), 0);
  ASSERT_TRUE(player_->TryOpen(server.url())) << player_->LastErrMsg();
  withinDeadline(5s, "Open during a pending TryOpen",
                 [&] { EXPECT_FALSE(player_->Open(numbered_)); });
  EXPECT_EQ(player_->LastErrMsg(), "Current trying open is not completed.");
  withinDeadline(10s, "stopping the pending TryOpen", [&] { player_->Stop(true); });
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  EXPECT_TRUE(playsPast(100000));
  player_->Stop(true);
}

// A setter called right after TryOpen acts on that file: SDL's disk driver
// writes what the device plays, silence when muted or at volume 0.
TEST_F(PlayerSessions, SettersRightAfterTryOpenActOnThatFile) {
  const fs::path disk =
      fs::temp_directory_path() / ("corvane-session-audio-" + std::to_string(::getpid()) + ".raw");
  ::setenv("SDL_DISKAUDIOFILE", disk.c_str(), 1);
  player_->SetAudioDriver("disk");
  player_->SetDisableVideo(true);
  const auto playedSound = [&](const std::function<void()>& setter) {
    fs::remove(disk);
    EXPECT_TRUE(player_->TryOpen(numbered_)) << player_->LastErrMsg();
    setter();
    EXPECT_TRUE(playsPast(1000000));
    player_->Stop(true);
    std::ifstream in(disk, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_GT(bytes.size(), 4096u) << "the device played";
    return std::any_of(bytes.begin(), bytes.end(), [](char b) { return b != 0; });
  };
  withinDeadline(40s, "playing through the disk driver", [&] {
    EXPECT_TRUE(playedSound([] {})) << "the clip has sound";
    EXPECT_FALSE(playedSound([&] { player_->SetMute(true); })) << "muted";
    EXPECT_TRUE(player_->Mute());
    player_->SetMute(false);
    EXPECT_FALSE(playedSound([&] { player_->SetAudioVolume(0); })) << "volume 0";
  });
  fs::remove(disk);
}

// Twenty files, each opened from the previous one's psEnd, by two players at
// once (one waiting, one not).
TEST_F(PlayerSessions, ChainsOfFilesOpenedFromTheEndEvent) {
  constexpr int kFiles = 20;
  auto second = std::make_unique<TRORizozu>();
  second->SetAudioDriver("dummy");
  second->SetVideoDriver("dummy");
  ASSERT_TRUE(second->LoadAVLib("")) << second->LastErrMsg();
  struct Chain {
    TRORizozu* p;
    bool wait;
    std::atomic<int> opened{0}, ends{0}, refusals{0};
  };
  Chain chains[2] = {{player_.get(), true}, {second.get(), false}};
  for (Chain& c : chains) {
    c.p->OnFileOpen = [&c](TObject*, std::int64_t, int, int, int&, int&) { ++c.opened; };
    c.p->OnState = [&c](TObject*, TPlayState s) {
      if (s != psEnd || ++c.ends >= kFiles) return;
      c.p->SetStartTime(kNearEnd);
      if (!(c.wait ? c.p->Open(numbered_) : c.p->TryOpen(numbered_))) ++c.refusals;
    };
    c.p->SetStartTime(kNearEnd);
    ASSERT_TRUE(c.p->TryOpen(numbered_)) << c.p->LastErrMsg();
  }
  withinDeadline(120s, "two chains of twenty files", [&] {
    for (Chain& c : chains)
      EXPECT_TRUE(pumpUntil([&] { return c.ends >= kFiles; }, 100s)) << c.ends;
    for (Chain& c : chains) c.p->Stop(true);
  });
  for (Chain& c : chains) {
    EXPECT_EQ(c.opened, kFiles);
    EXPECT_EQ(c.refusals, 0) << c.p->LastErrMsg();
  }
  withinDeadline(20s, "destroying the second player", [&] { second.reset(); });
}

// A media-layer quit reaches every player, a bare one too, through its
// request queue.
TEST_F(PlayerSessions, MediaLayerQuitStopsEveryPlayer) {
  TFFBasePlayer bare;
  bare.SetAudioDriver("dummy");
  bare.SetVideoDriver("dummy");
  ASSERT_TRUE(bare.LoadAVLib("")) << bare.LastErrMsg();
  std::atomic<int> bareStops{0};
  bare.OnState = [&](TObject*, TPlayState s) {
    if (s == psStop) ++bareStops;
  };
  withinDeadline(20s, "a media-layer quit", [&] {
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    ASSERT_TRUE(bare.Open(numbered_)) << bare.LastErrMsg();
    ASSERT_TRUE(pumpUntil([&] { return bare.CurrentPTS() > 100000 && player_->CurrentPTS() > 0; }));
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    DispatchSDLEvent(quit);
    EXPECT_TRUE(pumpUntil([&] { return count(psStop) == 1 && bareStops == 1; }));
  });
  EXPECT_EQ(bare.FormatContext(), nullptr);
  EXPECT_EQ(player_->FormatContext(), nullptr);
}

// The picture being hooked is visible while the hook runs, and only then.
TEST_F(PlayerSessions, HookingAVFrameDuringTheHookOnly) {
  std::atomic<int> seen{0}, wrong{0};
  player_->SetFrameHook(true);
  player_->OnFrameHook = [&](TObject*, const PicturePlanes& p, AVPixelFormat, int w, int h,
                             std::int64_t) {
    const AVFrame* f = player_->HookingAVFrame();
    if (!f || f->width != w || f->height != h || f->data[0] != p.data[0]) ++wrong;
    ++seen;
  };
  withinDeadline(15s, "hooked pictures", [&] {
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    EXPECT_TRUE(pumpUntil([&] { return seen > 5; }));
    player_->Stop(true);
  });
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(player_->HookingAVFrame(), nullptr);
}

// The display modes go round as their numbers say.
TEST_F(PlayerSessions, ToggleAudioDisplayGoesRound) {
  EXPECT_EQ(player_->ShowMode(), SHOW_MODE_AUTO);
  const TShowMode order[] = {SHOW_MODE_VIDEO, SHOW_MODE_WAVES, SHOW_MODE_RDFT, SHOW_MODE_NONE,
                             SHOW_MODE_VIDEO};
  for (const TShowMode m : order) {
    player_->ToggleAudioDisplay();
    EXPECT_EQ(player_->ShowMode(), m);
  }
}

// The player destroyed by its own handler: on the main thread from OnState,
// OnPosition, OnFileOpen and OnOpenFailed, and on the event thread.
class PlayerDestroyedByAHandler : public ::testrig::DispatcherTest {
 protected:
  static void SetUpTestSuite() { numbered_ = ::testrig::playerClips({media::Kind::Numbered})[0]; }
  enum Handler { End, Position, FileOpen, OpenFailed };
  void destroyFrom(Handler h, bool onMain) {
    auto victim = std::make_unique<TRORizozu>();
    victim->SetAudioDriver("dummy");
    victim->SetVideoDriver("dummy");
    ASSERT_TRUE(victim->LoadAVLib("")) << victim->LastErrMsg();
    victim->SetTriggerEventInMainThread(onMain);
    std::atomic<bool> gone{false};
    const auto destroy = [&] {
      if (!victim) return;
      victim.reset();
      gone = true;
    };
    switch (h) {
      case End:
        victim->OnState = [&](TObject*, TPlayState s) {
          if (s == psEnd) destroy();
        };
        victim->SetStartTime(kNearEnd);
        break;
      case Position:
        victim->OnPosition = [&](TObject*, std::int64_t pts) {
          if (pts > 100000) destroy();
        };
        break;
      case FileOpen:
        victim->OnFileOpen = [&](TObject*, std::int64_t, int, int, int&, int&) { destroy(); };
        break;
      case OpenFailed:
        victim->OnOpenFailed = [&](TObject*) { destroy(); };
        break;
    }
    const std::string file = h == OpenFailed ? media::cacheDir() + "/no-such-file.mp4" : numbered_;
    withinDeadline(20s, "destroying the player from its handler", [&] {
      ASSERT_TRUE(victim->TryOpen(file)) << victim->LastErrMsg();
      EXPECT_TRUE(pumpUntil([&] { return gone.load(); }, 15s));
      pumpFor(300ms);  // what the handler's thread does after it returns
    });
  }
  static inline std::string numbered_;
};

TEST_F(PlayerDestroyedByAHandler, OnTheMainThread) {
  for (const Handler h : {End, Position, FileOpen, OpenFailed}) {
    SCOPED_TRACE(static_cast<int>(h));
    destroyFrom(h, true);
  }
}

TEST_F(PlayerDestroyedByAHandler, OnTheEventThread) {
  for (const Handler h : {End, Position}) {
    SCOPED_TRACE(static_cast<int>(h));
    destroyFrom(h, false);
  }
}

}  // namespace
