// A player on SDL's dummy drivers with a queue dispatcher standing in for the
// main thread, as the player tests use it; generated clips for their suites.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "player/SDLLoader.h"
#include "support/Watchdog.h"
#include "testmedia/TestMedia.h"

namespace testrig {

// Decoding under ThreadSanitizer runs well below real time: timing checks
// are made in the other builds only.
#if defined(__SANITIZE_THREAD__)
inline constexpr bool kRealTimePacing = false;
#else
inline constexpr bool kRealTimePacing = true;
#endif

// The clips of the given kinds, made with the encoders when missing.
inline std::vector<std::string> playerClips(
    std::initializer_list<corvane::testmedia::Kind> AKinds) {
  using corvane::FFLoader;
  EXPECT_TRUE(FFLoader().Load(corvane::kEncoderLibraries)) << FFLoader().LastErrMsg();
  std::vector<std::string> paths;
  for (auto kind : AKinds) paths.push_back(corvane::testmedia::ensure(kind));
  FFLoader().Unload(corvane::kEncoderLibraries);
  return paths;
}

// The dispatcher is set for the test's length; the players are destroyed
// under a watchdog before it goes.
class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatcher_ = std::make_shared<corvane::QueueDispatcher>();
    corvane::setDispatcher(dispatcher_);
    corvane::setMarshalling(true);
  }
  void TearDown() override {
    dispatcher_->pump();
    corvane::SDLLoader().QuitAll();
    corvane::setDispatcher(nullptr);
  }
  static bool pumpUntil(const std::function<bool()>& ADone,
                        std::chrono::milliseconds ALimit = std::chrono::seconds(8)) {
    return corvane::waitPumping(ADone, ALimit, std::chrono::milliseconds(2));
  }
  static void pumpFor(std::chrono::milliseconds ALength) {
    corvane::waitPumping([] { return false; }, ALength, std::chrono::milliseconds(2));
  }

  std::shared_ptr<corvane::QueueDispatcher> dispatcher_;
};

// One player of type P with its libraries loaded.
template <class P>
class PlayerTest : public DispatcherTest {
 protected:
  void SetUp() override {
    DispatcherTest::SetUp();
    player_ = std::make_unique<P>();
    player_->SetAudioDriver("dummy");
    player_->SetVideoDriver("dummy");
    ASSERT_TRUE(player_->LoadAVLib("")) << player_->LastErrMsg();
  }
  void TearDown() override {
    withinDeadline(std::chrono::seconds(20), "destroying the player", [&] { player_.reset(); });
    DispatcherTest::TearDown();
  }

  std::unique_ptr<P> player_;
};

}  // namespace testrig
