// Handlers that call the player back: stopping from OnFileOpen and from the
// picture hooks, opening the next file from the events, and the player's
// methods from OnVideoRender. Each case runs under a watchdog: a deadlock
// ends the run.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/SDLLoader.h"
#include "support/PlayerRig.h"
#include "support/Watchdog.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
using testrig::withinDeadline;
namespace media = corvane::testmedia;

namespace {

constexpr std::int64_t kNearEnd = 3600000;  // the numbered clip is 4 s long

// The play states delivered, counted under a lock.
struct States {
  std::mutex m;
  std::vector<TPlayState> seen;
  void attach(TFFBasePlayer& p) {
    p.OnState = [this](TObject*, TPlayState s) {
      std::lock_guard g(m);
      seen.push_back(s);
    };
  }
  int count(TPlayState s) {
    std::lock_guard g(m);
    return static_cast<int>(std::count(seen.begin(), seen.end(), s));
  }
  void clear() {
    std::lock_guard g(m);
    seen.clear();
  }
};

class PlayerCallbacks : public testrig::PlayerTest<TRORizozu> {
 protected:
  static void SetUpTestSuite() { numbered_ = testrig::playerClips({media::Kind::Numbered})[0]; }
  void SetUp() override {
    PlayerTest::SetUp();
    states_.attach(*player_);
  }
  // The player still plays a file from the start.
  void expectPlaysAgain() {
    player_->OnFileOpen = nullptr;
    player_->OnVideoRender = nullptr;
    player_->OnFrameHook = nullptr;
    player_->OnVideoHook = nullptr;
    states_.clear();
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    EXPECT_TRUE(pumpUntil([&] { return player_->CurrentPTS() >= 200000; }));
    withinDeadline(10s, "the closing Stop(true)", [&] { player_->Stop(true); });
  }

  static inline std::string numbered_;
  States states_;
};

TEST_F(PlayerCallbacks, StopFromOnFileOpenEndsTheOpen) {
  for (const bool wait : {true, false})
    for (const bool onMain : {true, false}) {
      SCOPED_TRACE(std::string(wait ? "Open" : "TryOpen") + (onMain ? ", main thread" : ""));
      states_.clear();
      player_->SetTriggerEventInMainThread(onMain);
      std::atomic<int> opened{0};
      player_->OnFileOpen = [&](TObject*, std::int64_t, int, int, int&, int&) {
        ++opened;
        player_->Stop(true);
      };
      withinDeadline(15s, "Stop(true) from OnFileOpen", [&] {
        ASSERT_TRUE(wait ? player_->Open(numbered_) : player_->TryOpen(numbered_))
            << player_->LastErrMsg();
        EXPECT_TRUE(pumpUntil([&] { return opened == 1 && !player_->FormatContext(); }));
        pumpFor(300ms);
      });
      EXPECT_EQ(opened, 1);
      EXPECT_EQ(player_->PlayState(), psStop);
      EXPECT_EQ(states_.count(psPlay), 0) << "playback started after the stop";
      EXPECT_EQ(player_->FormatContext(), nullptr);
    }
  player_->SetTriggerEventInMainThread(true);
  expectPlaysAgain();
}

// The read thread waits for OnBeforeFindStreamInfo: a stop from there ends
// the open instead of waiting for that thread.
TEST_F(PlayerCallbacks, StopFromOnBeforeFindStreamInfo) {
  for (const bool onMain : {true, false}) {
    SCOPED_TRACE(onMain ? "main thread" : "read thread");
    player_->SetTriggerEventInMainThread(onMain);
    std::atomic<int> calls{0};
    player_->OnBeforeFindStreamInfo = [&](TObject*, AVFormatContext*) {
      ++calls;
      player_->Stop(true);
    };
    withinDeadline(15s, "Stop(true) from OnBeforeFindStreamInfo", [&] {
      ASSERT_TRUE(player_->TryOpen(numbered_)) << player_->LastErrMsg();
      EXPECT_TRUE(pumpUntil([&] { return calls == 1 && !player_->FormatContext(); }));
      pumpFor(200ms);
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(player_->FormatContext(), nullptr);
    EXPECT_EQ(states_.count(psPlay), 0);
  }
  player_->OnBeforeFindStreamInfo = nullptr;
  player_->SetTriggerEventInMainThread(true);
  expectPlaysAgain();
}

// A handler opens the next file once; both playbacks end with one psStop
// each, and the second one plays.
TEST_F(PlayerCallbacks, NextFileOpensFromTheEvents) {
  enum Trigger { End, Stopped, Failed, Position };
  static const char* kNames[] = {"psEnd", "psStop", "OnOpenFailed", "OnPosition"};
  const std::string missing = media::cacheDir() + "/no-such-file.mp4";
  for (const Trigger trigger : {End, Stopped, Failed, Position})
    for (const bool onMain : {true, false})
      for (const bool tryOpen : {false, true}) {
        SCOPED_TRACE(std::string(kNames[trigger]) + (onMain ? ", main thread" : "") +
                     (tryOpen ? ", TryOpen" : ", Open"));
        states_.clear();
        player_->SetTriggerEventInMainThread(onMain);
        std::atomic<bool> chained{false}, chainedOk{false};
        std::atomic<int> fileOpens{0};
        const auto next = [&] {
          if (chained.exchange(true)) return;
          player_->SetStartTime(kNearEnd);
          chainedOk = tryOpen ? player_->TryOpen(numbered_) : player_->Open(numbered_);
        };
        player_->OnFileOpen = [&](TObject*, std::int64_t, int, int, int&, int&) { ++fileOpens; };
        player_->OnState = [&](TObject*, TPlayState s) {
          {
            std::lock_guard g(states_.m);
            states_.seen.push_back(s);
          }
          if ((trigger == End && s == psEnd) || (trigger == Stopped && s == psStop)) next();
        };
        player_->OnOpenFailed = [&](TObject*) {
          if (trigger == Failed) next();
        };
        player_->OnPosition = [&](TObject*, std::int64_t) {
          if (trigger == Position) next();
        };
        player_->SetRepeatType(trigger == End ? rtEnd : rtStop);
        player_->SetStartTime(kNearEnd);
        const int plays = trigger == Failed ? 1 : 2;
        withinDeadline(30s, "opening the next file from a handler", [&] {
          if (trigger == Failed)
            EXPECT_FALSE(player_->Open(missing));
          else
            ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
          EXPECT_TRUE(pumpUntil([&] { return chained && fileOpens == plays; }));
          EXPECT_TRUE(pumpUntil([&] { return states_.count(psPlay) == plays; }));
          pumpFor(200ms);
          player_->Stop(true);
          EXPECT_TRUE(pumpUntil([&] { return states_.count(psStop) >= plays; }));
          pumpFor(200ms);
        });
        EXPECT_TRUE(chainedOk) << player_->LastErrMsg();
        EXPECT_EQ(states_.count(psPlay), plays);
        EXPECT_EQ(states_.count(psStop), plays) << "one stop per playback";
        player_->OnPosition = nullptr;
        player_->OnOpenFailed = nullptr;
        states_.attach(*player_);
      }
  player_->SetTriggerEventInMainThread(true);
  expectPlaysAgain();
}

// OnVideoRender runs on the play thread with no lock held: the player's
// methods work there.
TEST_F(PlayerCallbacks, PlayerMethodsWorkFromOnVideoRender) {
  struct Case {
    const char* name;
    std::function<bool(TCustomPlayer&)> call;  // true once it did its work
  };
  const Case cases[] = {
      {"setters",
       [](TCustomPlayer& p) {
         p.SetAudioVolume(64);
         p.SetMute(true);
         p.SetVerticalFlip(true);
         p.SetVideoFilters("null");
         return p.AudioVolume() == 64 && p.Mute() && !p.Paused();
       }},
      {"CurrentFrame",
       [](TCustomPlayer& p) {
         Bitmap b;
         std::int64_t pts = 0;
         return p.CurrentFrame(b, pts) && b.width == media::kWidth;
       }},
      {"CurrentAVFrame",
       [](TCustomPlayer& p) {
         AVFrame* f = p.CurrentAVFrame();
         const bool ok = f != nullptr;
         ff::av_frame_free(&f);
         return ok;
       }},
      {"Pause",
       [](TCustomPlayer& p) {
         p.Pause();
         return p.Paused();
       }},
      {"SeekTo",
       [](TCustomPlayer& p) {
         p.SeekTo(2000000);
         return true;
       }},
      {"SeekBy",
       [](TCustomPlayer& p) {
         p.SeekBy(1.0);
         return true;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    states_.clear();
    std::atomic<int> renders{0};
    std::atomic<bool> worked{false};
    player_->OnVideoRender = [&](TObject*) {
      if (++renders == 5) worked = c.call(*player_);
    };
    withinDeadline(15s, "player methods from OnVideoRender", [&] {
      ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
      EXPECT_TRUE(pumpUntil([&] { return renders >= 6 || player_->Paused(); }));
      pumpFor(100ms);
      player_->Stop(true);
    });
    EXPECT_TRUE(worked);
  }
  expectPlaysAgain();
}

// The hooks run on the video decoder thread, which a stop joins: Stop(true)
// there asks for the stop and returns.
TEST_F(PlayerCallbacks, StopFromThePictureHooks) {
  // Late pictures are not dropped before the hooks, also on a loaded machine.
  player_->Setframedrop(0);
  for (const bool videoHook : {false, true}) {
    SCOPED_TRACE(videoHook ? "OnVideoHook" : "OnFrameHook");
    states_.clear();
    std::atomic<int> pictures{0};
    const auto stopAtFive = [&] {
      if (++pictures == 5) player_->Stop(true);
    };
    if (videoHook) {
      player_->SetVideoHook(true);
      player_->OnVideoHook = [&](TObject*, Bitmap&, std::int64_t, bool&) { stopAtFive(); };
    } else {
      player_->SetFrameHook(true);
      player_->OnFrameHook = [&](TObject*, const PicturePlanes&, AVPixelFormat, int, int,
                                 std::int64_t) { stopAtFive(); };
    }
    withinDeadline(15s, "Stop(true) from a picture hook", [&] {
      ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
      EXPECT_TRUE(pumpUntil([&] { return states_.count(psStop) == 1; }));
    });
    EXPECT_GE(pictures, 5);
    EXPECT_EQ(player_->FormatContext(), nullptr);
    player_->SetVideoHook(false);
    player_->SetFrameHook(false);
  }
  expectPlaysAgain();
}

// A filter error reaches OnError like every other event, through the main
// thread, and its handler may stop the player the error came from.
TEST_F(PlayerCallbacks, OnErrorIsAnEventLikeTheOthers) {
  std::atomic<int> errors{0};
  std::thread::id ranOn;
  std::string text;
  player_->OnError = [&](TObject*, TErrorType type, const std::string& message) {
    EXPECT_EQ(type, errVideoFilters);
    ranOn = std::this_thread::get_id();
    text = message;
    player_->Stop(true);
    ++errors;
  };
  player_->SetVideoFilters("no_such_filter_here");
  withinDeadline(15s, "Stop(true) from OnError", [&] {
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    EXPECT_TRUE(pumpUntil([&] { return errors == 1 && states_.count(psStop) == 1; }));
  });
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_NE(text.find("configure_video_filters() failed"), std::string::npos) << text;
  player_->SetVideoFilters("");
  player_->OnError = nullptr;
  expectPlaysAgain();
}

}  // namespace
