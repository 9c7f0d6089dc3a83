// The media layer's event thread: window, key and quit events pushed into
// SDL's queue reach the player whose window they name, also while it is
// paused, and a quit reaches every player. SDL's dummy drivers.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "foundation/SDLEventThread.h"
#include "player/CustomPlayer.h"
#include "player/SDLLoader.h"
#include "support/Watchdog.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
namespace media = corvane::testmedia;

namespace {

using ::testrig::withinDeadline;

// A player with its own window and what reached it.
struct Watched {
  std::unique_ptr<TRORizozu> player = std::make_unique<TRORizozu>();
  std::mutex m;
  int stops = 0;
  std::vector<int> keys;

  Watched() {
    player->SetAudioDriver("dummy");
    player->SetVideoDriver("dummy");
    player->SetScreenSize(160, 120);
    player->OnState = [this](TObject*, TPlayState s) {
      std::lock_guard g(m);
      if (s == psStop) ++stops;
    };
    player->OnKeyDown = [this](TObject*, int key) {
      std::lock_guard g(m);
      keys.push_back(key);
    };
  }
  int Stops() {
    std::lock_guard g(m);
    return stops;
  }
  std::vector<int> Keys() {
    std::lock_guard g(m);
    return keys;
  }
};

class SDLEventThread : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
    clip_ = media::ensure(media::Kind::Numbered);
    FFLoader().Unload(kEncoderLibraries);
  }
  void SetUp() override {
    dispatcher_ = std::make_shared<QueueDispatcher>();
    setDispatcher(dispatcher_);
    setMarshalling(true);
    for (auto& w : players_) ASSERT_TRUE(w.player->LoadAVLib("")) << w.player->LastErrMsg();
  }
  void TearDown() override {
    withinDeadline(20s, "destroying the players", [&] {
      for (auto& w : players_) w.player.reset();
    });
    dispatcher_->pump();
    SDLLoader().QuitAll();
    setDispatcher(nullptr);
  }
  // Opens the looping clip in a window of the player's own; true once drawn.
  bool open(Watched& w, bool paused) {
    w.player->SetRepeatType(rtLoop);
    if (!w.player->Open(clip_, 0, paused)) return false;
    return waitPumping([&] { return w.player->ScreenWindowID() != 0; }, 10s, 2ms);
  }
  static void push(SDL_Event e) {
    ASSERT_NE(sdl::SDL_PushEvent, nullptr);
    ASSERT_EQ(sdl::SDL_PushEvent(&e), 1) << sdl::SDL_GetError();
  }
  static SDL_Event windowEvent(std::uint32_t id, std::uint8_t event) {
    SDL_Event e{};
    e.type = SDL_WINDOWEVENT;
    e.window.windowID = id;
    e.window.event = event;
    return e;
  }
  static SDL_Event keyEvent(std::uint32_t id, SDL_Keycode key) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.windowID = id;
    e.key.keysym.sym = key;
    return e;
  }
  void pumpFor(std::chrono::milliseconds d) {
    waitPumping([] { return false; }, d, 2ms);
  }

  static inline std::string clip_;
  std::shared_ptr<QueueDispatcher> dispatcher_;
  Watched players_[2];
};

// The first player is paused, the second plays: each event goes to the
// window it names and to no other.
TEST_F(SDLEventThread, WindowEventsReachTheirOwnPlayerOnly) {
  Watched& paused = players_[0];
  Watched& playing = players_[1];
  ASSERT_TRUE(open(paused, true)) << paused.player->LastErrMsg();
  ASSERT_TRUE(open(playing, false)) << playing.player->LastErrMsg();
  const std::uint32_t pausedId = paused.player->ScreenWindowID();
  const std::uint32_t playingId = playing.player->ScreenWindowID();
  ASSERT_NE(pausedId, playingId);

  push(keyEvent(pausedId, SDLK_a));
  push(keyEvent(playingId, SDLK_b));
  ASSERT_TRUE(
      waitPumping([&] { return !paused.Keys().empty() && !playing.Keys().empty(); }, 5s, 2ms))
      << "keys reached the paused player " << paused.Keys().size() << " times, the playing one "
      << playing.Keys().size();
  pumpFor(100ms);
  EXPECT_EQ(paused.Keys(), std::vector<int>{SDLK_a});
  EXPECT_EQ(playing.Keys(), std::vector<int>{SDLK_b});

  // Resize and expose only redraw; a close of another window is not ours.
  push(windowEvent(pausedId, SDL_WINDOWEVENT_EXPOSED));
  push(windowEvent(playingId + pausedId + 1, SDL_WINDOWEVENT_CLOSE));
  pumpFor(300ms);
  EXPECT_EQ(paused.Stops(), 0);
  EXPECT_EQ(playing.Stops(), 0);

  push(windowEvent(pausedId, SDL_WINDOWEVENT_CLOSE));
  ASSERT_TRUE(waitPumping([&] { return paused.Stops() > 0; }, 5s, 2ms))
      << "the paused player did not stop on its window's close";
  pumpFor(300ms);
  EXPECT_EQ(playing.Stops(), 0) << "the other player stopped too";
  EXPECT_FALSE(playing.player->Paused());
}

TEST_F(SDLEventThread, QuitStopsEveryPlayer) {
  ASSERT_TRUE(open(players_[0], true)) << players_[0].player->LastErrMsg();
  ASSERT_TRUE(open(players_[1], false)) << players_[1].player->LastErrMsg();
  SDL_Event quit{};
  quit.type = SDL_QUIT;
  push(quit);
  EXPECT_TRUE(
      waitPumping([&] { return players_[0].Stops() > 0 && players_[1].Stops() > 0; }, 5s, 2ms))
      << "stops: " << players_[0].Stops() << ", " << players_[1].Stops();
  // The thread ended with the quit; the next open starts it again.
  ASSERT_TRUE(open(players_[0], false)) << players_[0].player->LastErrMsg();
  EXPECT_TRUE(SDLEventThreadRunning());
}

// Key handlers run on the event thread when the player does not marshal:
// one that destroys its own player returns.
TEST_F(SDLEventThread, KeyHandlerMayDestroyItsPlayer) {
  Watched& w = players_[0];
  w.player->SetTriggerEventInMainThread(false);
  std::mutex m;
  bool destroyed = false;
  w.player->OnKeyDown = [&](TObject*, int) {
    w.player.reset();
    std::lock_guard g(m);
    destroyed = true;
  };
  ASSERT_TRUE(open(w, false)) << w.player->LastErrMsg();
  const std::uint32_t id = w.player->ScreenWindowID();
  withinDeadline(20s, "a key handler destroying its player", [&] {
    push(keyEvent(id, SDLK_q));
    ASSERT_TRUE(waitPumping(
        [&] {
          std::lock_guard g(m);
          return destroyed;
        },
        10s, 2ms));
  });
  EXPECT_FALSE(w.player);
}

}  // namespace
