// The player's per-file state, filter texts, stream switches, library loads
// and media-layer membership against other threads and other components.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/FormatConverter.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/SDLLoader.h"
#include "support/Watchdog.h"
#include "testmedia/TestMedia.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define CORVANE_HAVE_LSAN 1
#endif

using namespace corvane;
using namespace std::chrono_literals;
using testrig::withinDeadline;
namespace media = corvane::testmedia;

namespace {

class PlayerLifetimes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
    numbered_ = media::ensure(media::Kind::Numbered);
    twoPrograms_ = media::ensure(media::Kind::TsTwoPrograms);
    FFLoader().Unload(kEncoderLibraries);
  }
  void SetUp() override {
    dispatcher_ = std::make_shared<QueueDispatcher>();
    setDispatcher(dispatcher_);
    setMarshalling(true);
  }
  void TearDown() override {
    dispatcher_->pump();
    SDLLoader().QuitAll();
    setDispatcher(nullptr);
  }
  static std::unique_ptr<TRORizozu> makePlayer() {
    auto p = std::make_unique<TRORizozu>();
    p->SetAudioDriver("dummy");
    p->SetVideoDriver("dummy");
    p->SetDisableDisplay(true);
    return p;
  }
  static bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 8s) {
    return waitPumping(done, limit, 2ms);
  }

  static inline std::string numbered_, twoPrograms_;
  std::shared_ptr<QueueDispatcher> dispatcher_;
};

// Getters and setters from another thread while files open, end on the play
// thread and stop: none of them touches a freed state (ASan, TSan).
TEST_F(PlayerLifetimes, GettersAndSettersWhileTheStateCloses) {
  auto player = makePlayer();
  ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    for (int i = 0; !stop; ++i) {
      reads += player->Paused() + (player->FormatContext() != nullptr) +
               player->AudioStreamIndex() + player->VideoStreamIndex() +
               player->SubtitleStreamIndex() + player->AudioQueueSize() + player->VideoQueueSize() +
               player->SubtitleQueueSize();
      player->SetScreenHandle(0);
      player->SetVideoFilters(i % 2 ? "null" : "");
      player->SetVerticalFlip(i % 3 == 0);
      player->Setframedrop(i % 2);
      player->SetAudioVolume(64 + i % 64);
      player->SetAudioFilters(i % 2 ? "anull" : "");
    }
  });
  withinDeadline(60s, "opening and closing beside the reader", [&] {
    for (int round = 0; round < 4; ++round) {
      player->SetRepeatType(round % 2 ? rtStop : rtNone);
      player->SetStartTime(3700000);
      ASSERT_TRUE(player->Open(numbered_)) << player->LastErrMsg();
      if (round % 2)
        EXPECT_TRUE(
            pumpUntil([&] { return player->PlayState() == psStop; }));  // the play thread closes
      else
        player->Stop(true);
    }
  });
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  withinDeadline(20s, "destroying the player", [&] { player.reset(); });
}

// Audio stream switches while the read thread reads the other streams.
TEST_F(PlayerLifetimes, AudioStreamSwitchesWhilePlaying) {
  auto player = makePlayer();
  ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
  withinDeadline(60s, "switching audio streams", [&] {
    ASSERT_TRUE(player->Open(twoPrograms_)) << player->LastErrMsg();
    std::vector<int> audio;
    if (AVFormatContext* ic = player->FormatContext())
      for (unsigned i = 0; i < ic->nb_streams; ++i)
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
          audio.push_back(static_cast<int>(i));
    ASSERT_EQ(audio.size(), 2u);
    for (int i = 0; i < 8; ++i) {
      const int index = audio[(i + 1) % 2];
      EXPECT_TRUE(player->SetAudioStreamIndex(index)) << player->LastErrMsg();
      EXPECT_EQ(player->AudioStreamIndex(), index);
      waitPumping([] { return false; }, 50ms, 2ms);
    }
    player->Stop(true);
  });
  withinDeadline(20s, "destroying the player", [&] { player.reset(); });
}

// Each player holds its own load of the libraries; a converter that outlives
// the last unload frees nothing through unbound functions.
TEST_F(PlayerLifetimes, LibraryLoadsBalanceAcrossComponents) {
  FFLoader().UnloadAll();
  {
#ifdef CORVANE_HAVE_LSAN
    // What the converter holds cannot be freed once the libraries are gone.
    __lsan::ScopedDisabler kept;
#endif
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
    TFormatConverter conv;
    std::vector<std::uint8_t> gray(16 * 8, 128);
    const std::uint8_t* data[4] = {gray.data(), nullptr, nullptr, nullptr};
    const int linesize[4] = {16, 0, 0, 0};
    ASSERT_TRUE(conv.PictureToRGB(data, linesize, AV_PIX_FMT_GRAY8, 16, 8, true));
    FFLoader().Unload(kEncoderLibraries);
    ASSERT_FALSE(FFLoader().Loaded(swScale));
  }  // the converter goes after the libraries

  auto a = makePlayer();
  auto b = makePlayer();
  ASSERT_TRUE(a->LoadAVLib("")) << a->LastErrMsg();
  ASSERT_TRUE(b->LoadAVLib("")) << b->LastErrMsg();
  a->UnloadAVLib();
  a->UnloadAVLib();  // a second unload releases nothing of b's
  withinDeadline(20s, "b plays after a unloaded", [&] {
    ASSERT_TRUE(b->Open(numbered_)) << b->LastErrMsg();
    EXPECT_TRUE(pumpUntil([&] { return b->CurrentPTS() >= 200000; }));
    b->UnloadAVLib();  // stops b first
  });
  EXPECT_FALSE(b->AVLibLoaded());
  withinDeadline(20s, "destroying the players", [&] {
    a.reset();
    b.reset();
  });
}

TEST_F(PlayerLifetimes, PlayerThatJoinedTheMediaLayerLeavesOnDestruction) {
  auto first = makePlayer();
  ASSERT_TRUE(first->LoadAVLib("")) << first->LastErrMsg();
  ASSERT_TRUE(first->InitSDL()) << first->LastErrMsg();
  const int clients = SDLLoader().ClientCount();
  {
    auto second = makePlayer();
    ASSERT_TRUE(second->LoadAVLib("")) << second->LastErrMsg();
    ASSERT_TRUE(second->SDLWasInit());
    EXPECT_EQ(SDLLoader().ClientCount(), clients + 1);
  }
  EXPECT_EQ(SDLLoader().ClientCount(), clients);
}

}  // namespace
