// The player component playing generated clips headless: picture timing,
// pausing, stepping, seeking, repeat types, events and their threads, stopping
// at awkward moments and failed opens.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/SDLLoader.h"
#include "support/PlayerRig.h"
#include "support/SilentServer.h"
#include "support/Watchdog.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
namespace media = corvane::testmedia;

namespace {

using ::testrig::withinDeadline;

using ::testrig::kRealTimePacing;

constexpr double kFrame = 1.0 / media::kFps;
constexpr std::int64_t kFrameUs = 1000000 / media::kFps;

int frameNumber(const std::uint8_t* plane, int linesize, int width, int height) {
  return (plane[linesize * (height / 2) + width / 2] + 1) / 2;
}

// The player with the pictures its refresh released recorded.
class ProbePlayer : public TRORizozu {
 public:
  ~ProbePlayer() override { StopPlayerThreads(); }
  struct Release {
    int frame;
    double pts, audio;
  };
  std::vector<Release> Releases() {
    std::lock_guard g(FProbeLock);
    return FReleases;
  }

 protected:
  // Called after each release, as a screen would draw the picture; a redraw
  // of the same picture is not a release.
  void Draw(TVideoState* is) override {
    TFFFrame* vp = is->pictq.PeekLast();
    std::lock_guard slot(vp->lock);
    std::lock_guard g(FProbeLock);
    if (vp->serial == FLastSerial && !FReleases.empty() && FReleases.back().pts == vp->pts) return;
    FLastSerial = vp->serial;
    const AVFrame* f = vp->frame.get();
    FReleases.push_back(
        {frameNumber(f->data[0], f->linesize[0], f->width, f->height), vp->pts, is->audclk.Get()});
  }

 private:
  std::mutex FProbeLock;
  int FLastSerial = -1;
  std::vector<Release> FReleases;
};

// What the player's events delivered, and on which threads.
struct Recorder {
  std::mutex m;
  std::vector<TPlayState> states;
  std::vector<std::pair<std::int64_t, std::chrono::steady_clock::time_point>> positions;
  std::set<std::thread::id> threads;
  int openFailed = 0, fileOpen = 0;
  std::string failText;

  void attach(TFFBasePlayer& p) {
    p.OnState = [this](TObject*, TPlayState s) {
      std::lock_guard g(m);
      states.push_back(s);
      threads.insert(std::this_thread::get_id());
    };
    p.OnPosition = [this](TObject*, std::int64_t pts) {
      std::lock_guard g(m);
      positions.emplace_back(pts, std::chrono::steady_clock::now());
      threads.insert(std::this_thread::get_id());
    };
    p.OnOpenFailed = [this](TObject* s) {
      std::lock_guard g(m);
      ++openFailed;
      failText = static_cast<TFFBasePlayer*>(s)->LastErrMsg();
      threads.insert(std::this_thread::get_id());
    };
    p.OnFileOpen = [this](TObject*, std::int64_t, int, int, int&, int&) {
      std::lock_guard g(m);
      ++fileOpen;
    };
  }
  void clear() {
    std::lock_guard g(m);
    states.clear();
    positions.clear();
    threads.clear();
    openFailed = fileOpen = 0;
    failText.clear();
  }
  std::vector<TPlayState> States() {
    std::lock_guard g(m);
    return states;
  }
  int count(TPlayState s) {
    std::lock_guard g(m);
    return static_cast<int>(std::count(states.begin(), states.end(), s));
  }
  std::int64_t lastPosition() {
    std::lock_guard g(m);
    return positions.empty() ? AV_NOPTS_VALUE : positions.back().first;
  }
  // Pumps the main thread until the state was delivered `n` times.
  bool waitState(TPlayState s, int n = 1, std::chrono::milliseconds limit = 8s) {
    return waitPumping([&] { return count(s) >= n; }, limit, 2ms);
  }
};

std::string describe(const std::vector<TPlayState>& v) {
  static const char* names[] = {"play", "pause", "resume", "step", "stop", "end"};
  std::string out;
  for (TPlayState s : v) out += std::string(out.empty() ? "" : " ") + names[s];
  return out;
}

class PlayerThreads : public ::testrig::PlayerTest<ProbePlayer> {
 protected:
  static void SetUpTestSuite() { numbered_ = ::testrig::playerClips({media::Kind::Numbered})[0]; }
  void SetUp() override {
    PlayerTest::SetUp();
    rec_.attach(*player_);
  }
  // Pumps until the reported position reaches `us`.
  bool playUntil(std::int64_t us, std::chrono::milliseconds limit = 8s) {
    return waitPumping(
        [&] {
          const std::int64_t p = rec_.lastPosition();
          return p != AV_NOPTS_VALUE && p >= us;
        },
        limit, 2ms);
  }
  int currentFrame() {
    AVFrame* f = player_->CurrentAVFrame();
    if (!f) return -1;
    const int n = frameNumber(f->data[0], f->linesize[0], f->width, f->height);
    ff::av_frame_free(&f);
    return n;
  }

  static inline std::string numbered_;
  Recorder rec_;
};

// Every picture is queued and released in order, at the time the audio clock
// dictates, and none is dropped.
TEST_F(PlayerThreads, ReleasesEveryPictureInOrderWithTheAudioClock) {
#if defined(__SANITIZE_THREAD__)
  // Decoding under ThreadSanitizer is several times slower than real time, so
  // pictures are dropped as late: the timing is checked in the other builds.
  GTEST_SKIP() << "real-time pacing is not representative under ThreadSanitizer";
#endif
  std::mutex hookLock;
  std::vector<std::pair<int, std::int64_t>> hooked;
  player_->SetFrameHook(true);
  player_->OnFrameHook = [&](TObject*, const PicturePlanes& p, AVPixelFormat fmt, int w, int h,
                             std::int64_t pts) {
    EXPECT_EQ(fmt, AV_PIX_FMT_YUV420P);
    std::lock_guard g(hookLock);
    hooked.emplace_back(frameNumber(p.data[0], p.linesize[0], w, h), pts);
  };
  constexpr int kPlayed = 50;  // two seconds
  constexpr std::size_t kSettle = 5;
  player_->SetPlayTime(kPlayed * kFrameUs);
  player_->SetRepeatType(rtStop);
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();

  // The pictures on screen, as the application sees them; each frame is the
  // caller's and stays valid after the player moved on.
  std::vector<AVFrame*> seen;
  waitPumping(
      [&] {
        AVFrame* f = player_->CurrentAVFrame();
        if (f && (seen.empty() || seen.back()->pts != f->pts))
          seen.push_back(f);
        else
          ff::av_frame_free(&f);
        return rec_.count(psStop) > 0;
      },
      10s, 1ms);
  ASSERT_EQ(rec_.count(psStop), 1) << describe(rec_.States());

  std::lock_guard g(hookLock);
  ASSERT_GE(hooked.size(), static_cast<std::size_t>(kPlayed));
  for (std::size_t i = 0; i < hooked.size(); ++i) {
    EXPECT_EQ(hooked[i].first, static_cast<int>(i)) << "queued picture " << i;
    EXPECT_EQ(hooked[i].second, static_cast<std::int64_t>(i) * kFrameUs) << "queued picture " << i;
  }
  const auto releases = player_->Releases();
  ASSERT_GE(releases.size(), static_cast<std::size_t>(kPlayed - 1));
  for (std::size_t i = 0; i < releases.size(); ++i) {
    SCOPED_TRACE("released picture " + std::to_string(i));
    EXPECT_EQ(releases[i].frame, static_cast<int>(i));
    EXPECT_NEAR(releases[i].pts, static_cast<double>(i) * kFrame, 1e-6);
    // The first pictures are shown as soon as they are decoded, while the
    // sound starts; the refresh then keeps them within a frame.
    if (i < kSettle) continue;
    EXPECT_LT(std::fabs(releases[i].pts - releases[i].audio), kFrame)
        << "picture " << releases[i].pts << " s, audio clock " << releases[i].audio << " s";
  }
  ASSERT_GE(seen.size(), static_cast<std::size_t>(kPlayed / 2));
  for (std::size_t i = 1; i < seen.size(); ++i) {
    const int prev = frameNumber(seen[i - 1]->data[0], seen[i - 1]->linesize[0], seen[i - 1]->width,
                                 seen[i - 1]->height);
    const int cur =
        frameNumber(seen[i]->data[0], seen[i]->linesize[0], seen[i]->width, seen[i]->height);
    EXPECT_LT(prev, cur) << "picture " << i << " on screen";
  }
  for (AVFrame*& f : seen) ff::av_frame_free(&f);
}

TEST_F(PlayerThreads, PauseResumeAndStepOnePicture) {
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  ASSERT_TRUE(playUntil(400000));
  player_->Pause();
  ASSERT_TRUE(rec_.waitState(psPause));
  EXPECT_TRUE(player_->Paused());
  pumpFor(100ms);
  const std::size_t paused = player_->Releases().size();
  const int onScreen = currentFrame();
  const std::int64_t pts = player_->CurrentPTS();
  pumpFor(300ms);
  EXPECT_EQ(player_->Releases().size(), paused);
  EXPECT_EQ(currentFrame(), onScreen);
  EXPECT_EQ(player_->CurrentPTS(), pts);

  for (int step = 1; step <= 2; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    player_->StepToNextFrame();
    ASSERT_TRUE(rec_.waitState(psStep, step));
    pumpFor(300ms);
    EXPECT_TRUE(player_->Paused());
    EXPECT_EQ(player_->Releases().size(), paused + step);
    // Slow decoding makes the step drop late pictures before the one it shows.
    if (kRealTimePacing) {
      EXPECT_EQ(currentFrame(), onScreen + step);
    }
  }

  player_->Resume();
  ASSERT_TRUE(rec_.waitState(psResume));
  EXPECT_FALSE(player_->Paused());
  pumpFor(400ms);
  EXPECT_GE(player_->Releases().size(), paused + 2 + 6);
  EXPECT_GT(currentFrame(), onScreen + 2 + 6);
  const auto r = player_->Releases();
  // The step let the sound run on a little: the pictures may catch up on it.
  for (std::size_t i = 1; i < r.size(); ++i) EXPECT_GT(r[i].frame, r[i - 1].frame) << i;

  player_->TogglePause();
  player_->TogglePause();
  ASSERT_TRUE(rec_.waitState(psResume, 2));
  EXPECT_EQ(describe(rec_.States()), "play pause step step resume pause resume");
}

// Targets are key frames: the picture shown after the seek is the target's.
TEST_F(PlayerThreads, SeekWithWaitShowsThePictureAtTheTarget) {
  struct Case {
    const char* name;
    bool paused;
    std::int64_t target;
  };
  const Case cases[] = {{"playing, forward", false, 60 * kFrameUs},
                        {"playing, backward", false, 24 * kFrameUs},
                        {"paused", true, 72 * kFrameUs}};
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  ASSERT_TRUE(playUntil(200000));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.paused) {
      player_->Pause();
      ASSERT_TRUE(rec_.waitState(psPause));
    }
    withinDeadline(10s, "SeekTo with wait",
                   [&] { player_->SeekTo(c.target, 0, /*AWaitForSeekEnd=*/true); });
    ASSERT_TRUE(waitPumping([&] { return !player_->Seeking(); }, 3s));
    pumpFor(c.paused ? 300ms : 60ms);
    const int target = static_cast<int>(c.target / kFrameUs);
    const int shown = currentFrame();
    EXPECT_LE(std::abs(shown - target), 1) << "picture " << shown;
    const auto released = player_->Releases();
    ASSERT_FALSE(released.empty());
    EXPECT_LE(std::fabs(released.back().pts - static_cast<double>(c.target) / 1e6), kFrame + 1e-6);
    EXPECT_EQ(player_->Paused(), c.paused);
    if (c.paused) {
      pumpFor(200ms);
      EXPECT_EQ(currentFrame(), shown);  // still paused
    }
  }
}

struct RepeatCase {
  const char* name;
  TRepeatType repeat;
  std::int64_t start;     // StartTime, or unset
  std::int64_t playTime;  // PlayTime, or unset
  const char* states;     // delivered until the player settles
  bool stopsByItself;
};

// End of play, at the end of the file or after PlayTime, for each repeat type.
TEST_F(PlayerThreads, EndOfPlayFollowsTheRepeatType) {
  const std::int64_t none = AV_NOPTS_VALUE;
  const std::int64_t kLastGop = 84 * kFrameUs;  // start times are key frames
  const RepeatCase cases[] = {
      {"end, stop", rtStop, kLastGop, none, "play end stop", true},
      {"end, pause", rtPause, kLastGop, none, "play end pause", false},
      {"end, end", rtEnd, kLastGop, none, "play end", false},
      {"end, loop", rtLoop, kLastGop, none, "play end play", false},
      {"play time, stop", rtStop, none, 600000, "play stop", true},
      {"play time, pause", rtPause, none, 600000, "play pause", false},
      {"play time, end", rtEnd, none, 600000, "play end", false},
      {"play time from a start, stop", rtStop, 24 * kFrameUs, 600000, "play stop", true},
  };
  for (const RepeatCase& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder& rec = rec_;
    rec.clear();
    player_->SetRepeatType(c.repeat);
    player_->SetStartTime(c.start);
    player_->SetPlayTime(c.playTime);
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    ASSERT_TRUE(rec.waitState(psPlay));
    const auto began = std::chrono::steady_clock::now();
    const TPlayState last = c.stopsByItself ? psStop : c.repeat == rtPause ? psPause : psEnd;
    const int times = c.repeat == rtLoop ? 2 : 1;
    ASSERT_TRUE(rec.waitState(c.repeat == rtLoop ? psPlay : last, times)) << describe(rec.States());
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const std::int64_t at = rec.lastPosition();
    pumpFor(300ms);  // nothing else arrives
    EXPECT_EQ(describe(rec.States()), c.states);
    const std::int64_t from = c.start == none ? 0 : c.start;
    const std::int64_t length = c.playTime == none ? 4000000 - from : c.playTime;
    if (kRealTimePacing) {
      EXPECT_NEAR(took, static_cast<double>(length) / 1e6, 0.5);
    }
    if (c.repeat == rtLoop) {
      // The positions start again from StartTime.
      EXPECT_LT(rec.lastPosition(), from + 500000);
      EXPECT_GE(rec.lastPosition(), from - kFrameUs);
    } else if (!c.stopsByItself) {
      EXPECT_NEAR(static_cast<double>(at), static_cast<double>(from + length), 2.0 * kFrameUs);
      EXPECT_EQ(player_->Paused(), c.repeat == rtPause);
    }
    EXPECT_EQ(player_->PlayState(), c.repeat == rtLoop ? psPlay : last);
    withinDeadline(10s, "Stop(true)", [&] { player_->Stop(true); });
    if (!c.stopsByItself) {
      EXPECT_TRUE(rec.waitState(psStop));
    }
    // Close restores the per-file settings.
    EXPECT_EQ(player_->RepeatType(), rtNone);
    EXPECT_EQ(player_->PlayTime(), none);
    EXPECT_EQ(player_->StartTime(), none);
  }
}

// Seeking out of the end of the file starts playing again.
TEST_F(PlayerThreads, SeekAfterTheEndPlaysAgain) {
  player_->SetRepeatType(rtEnd);
  player_->SetStartTime(3600000);
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  ASSERT_TRUE(rec_.waitState(psEnd));
  withinDeadline(10s, "SeekTo with wait", [&] { player_->SeekTo(24 * kFrameUs, 0, true); });
  ASSERT_TRUE(rec_.waitState(psPlay, 2));
  EXPECT_TRUE(waitPumping(
      [&] {
        const std::int64_t p = rec_.lastPosition();
        return p >= 24 * kFrameUs + 300000 && p < 2000000;
      },
      3s));
  EXPECT_EQ(player_->PlayState(), psPlay);
  player_->Stop(true);
  EXPECT_TRUE(rec_.waitState(psStop));
  EXPECT_EQ(describe(rec_.States()), "play end play stop");
}

// State events arrive in order, none lost, on the main thread when asked for,
// else on the event thread; positions come at least every PositionInterval.
TEST_F(PlayerThreads, EventsArriveInOrderOnTheChosenThread) {
  for (const bool onMain : {true, false}) {
    SCOPED_TRACE(onMain ? "main thread" : "event thread");
    Recorder& rec = rec_;
    rec.clear();
    player_->SetTriggerEventInMainThread(onMain);
    player_->SetPositionInterval(100000);
    player_->SetRepeatType(rtStop);
    player_->SetStartTime(2400000);
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    ASSERT_TRUE(rec.waitState(psPlay));
    player_->Pause();
    player_->Resume();
    player_->TogglePause();
    player_->StepToNextFrame();
    // A step still pending gives no second event; on a loaded machine the
    // first may already have shown its picture, and this one is a step of its own.
    player_->StepToNextFrame();
    pumpFor(200ms);
    player_->Resume();
    ASSERT_TRUE(rec.waitState(psStop)) << describe(rec.States());
    pumpFor(100ms);
    const std::string states = describe(rec.States());
    EXPECT_TRUE(states == "play pause resume pause step resume end stop" ||
                states == "play pause resume pause step step resume end stop")
        << states;
    std::lock_guard g(rec.m);
    ASSERT_EQ(rec.threads.size(), 1u);
    EXPECT_EQ(*rec.threads.begin() == std::this_thread::get_id(), onMain);
    ASSERT_GE(rec.positions.size(), 10u);
    for (std::size_t i = 1; i < rec.positions.size(); ++i) {
      const auto& [pts, when] = rec.positions[i];
      const auto& [prevPts, prevWhen] = rec.positions[i - 1];
      // The video clock runs on while a picture is held: it may step back by
      // less than a frame when the next picture is shown.
      if (kRealTimePacing && pts < prevPts - kFrameUs)
        ADD_FAILURE() << "position " << pts << " after " << prevPts;
      const double gap = std::chrono::duration<double>(when - prevWhen).count();
      // The pause and the step hold the positions.
      if (prevPts > 2400000 + 200000) {
        EXPECT_LT(gap, 0.1 + 2 * kFrame) << "after " << prevPts;
      }
    }
    EXPECT_NEAR(static_cast<double>(rec.positions.back().first), 4000000.0, 2 * kFrameUs);
  }
  player_->SetTriggerEventInMainThread(true);
}

// Between two pictures the position is reported again only once the clock
// moved on by more than PositionInterval.
TEST_F(PlayerThreads, PositionsBetweenPicturesFollowTheInterval) {
  if (!kRealTimePacing)
    GTEST_SKIP() << "real-time pacing is not representative under ThreadSanitizer";
  struct Case {
    std::int64_t interval;
    bool between;  // positions between the pictures' timestamps
  };
  for (const Case c : {Case{5000, true}, Case{1000000, false}}) {
    SCOPED_TRACE("interval " + std::to_string(c.interval));
    rec_.clear();
    player_->SetPositionInterval(c.interval);
    player_->SetPlayTime(800000);
    player_->SetRepeatType(rtStop);
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    ASSERT_TRUE(rec_.waitState(psStop));
    std::lock_guard g(rec_.m);
    int onPicture = 0, between = 0;
    for (std::size_t i = 0; i < rec_.positions.size(); ++i) {
      const std::int64_t pts = rec_.positions[i].first;
      const std::int64_t off = std::min(pts % kFrameUs, kFrameUs - pts % kFrameUs);
      if (pts < 2 * kFrameUs) continue;  // the audio clock leads until two pictures are queued
      ++(off <= 3000 ? onPicture : between);
    }
    EXPECT_GE(onPicture, 8);  // of 18; positions in a burst coalesce
    if (c.between)
      EXPECT_GE(between, onPicture);
    else
      EXPECT_EQ(between, 0);
  }
}

// Stop(true) returns while the main thread owes the event thread its
// deliveries; the stop still arrives.
TEST_F(PlayerThreads, StopWithEventsPendingFinishes) {
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  ASSERT_TRUE(rec_.waitState(psPlay));
  player_->Pause();
  player_->Resume();
  std::this_thread::sleep_for(300ms);  // positions and states pile up
  ASSERT_GT(dispatcher_->pending(), 0u);
  withinDeadline(10s, "Stop(true) with events pending", [&] { player_->Stop(true); });
  EXPECT_EQ(player_->PlayState(), psStop);
  EXPECT_TRUE(rec_.waitState(psStop));
  EXPECT_EQ(describe(rec_.States()), "play pause resume stop");

  // Again, destroying the player right after.
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  std::this_thread::sleep_for(300ms);
  withinDeadline(10s, "Stop(true) and destruction", [&] {
    player_->Stop(true);
    player_.reset();
  });
}

using corvane::testrig::SilentServer;

TEST_F(PlayerThreads, StopDuringOpenSeekAndAfterTheEnd) {
  {
    SCOPED_TRACE("during open");
    SilentServer server;
    ASSERT_GT(server.port(), 0);
    ASSERT_TRUE(player_->TryOpen(server.url()));
    pumpFor(300ms);
    EXPECT_EQ(rec_.fileOpen, 0);
    const auto began = std::chrono::steady_clock::now();
    withinDeadline(10s, "Stop(true) during open", [&] { player_->Stop(true); });
    EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
    pumpFor(200ms);
    EXPECT_EQ(rec_.openFailed, 1);
    EXPECT_EQ(rec_.fileOpen, 0);
    EXPECT_EQ(player_->PlayState(), psStop);
    EXPECT_EQ(player_->FormatContext(), nullptr);
  }
  {
    SCOPED_TRACE("during a seek");
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    ASSERT_TRUE(playUntil(200000));
    player_->SeekTo(3000000);
    withinDeadline(10s, "Stop(true) during a seek", [&] { player_->Stop(true); });
    EXPECT_FALSE(player_->Seeking());
    EXPECT_TRUE(rec_.waitState(psStop));
  }
  {
    SCOPED_TRACE("after the end");
    player_->SetRepeatType(rtEnd);
    player_->SetStartTime(3600000);
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    ASSERT_TRUE(rec_.waitState(psEnd));
    pumpFor(100ms);
    withinDeadline(10s, "Stop(true) after the end", [&] { player_->Stop(true); });
    EXPECT_TRUE(rec_.waitState(psStop, 2));
  }
  // The player still plays.
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  EXPECT_TRUE(playUntil(200000));
}

TEST_F(PlayerThreads, OpenFailuresAreReportedOnce) {
  ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
  const std::string random = media::ensure(media::Kind::RandomBytesMp4);
  const std::string wav = media::ensure(media::Kind::ToneWav);
  FFLoader().Unload(kEncoderLibraries);
  const std::string missing = media::cacheDir() + "/no-such-file.mp4";
  struct Case {
    const char* name;
    std::string file;
    bool noAudio, noVideo;
    std::string text;
    bool beforeState;  // refused before any input is opened
  };
  const Case cases[] = {
      {"missing file", missing, false, false, missing + ": No such file or directory", false},
      {"random bytes", random, false, false, random + ": Invalid data found when processing input",
       false},
      {"audio and video disabled", numbered_, true, true,
       "Cannot disable audio and video/display at the same time.", true},
      {"no stream left", wav, true, false, "There is no video stream to play while audio disabled.",
       false},
  };
  for (const bool wait : {true, false})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (wait ? ", Open" : ", TryOpen"));
      Recorder& rec = rec_;
      rec.clear();
      player_->SetDisableAudio(c.noAudio);
      player_->SetDisableVideo(c.noVideo);
      const bool ok = wait ? player_->Open(c.file) : player_->TryOpen(c.file);
      EXPECT_EQ(ok, !wait && !c.beforeState);
      EXPECT_TRUE(waitPumping([&] { return rec.openFailed > 0; }, 5s));
      pumpFor(100ms);
      EXPECT_EQ(rec.openFailed, 1);
      EXPECT_EQ(rec.failText, c.text);
      EXPECT_EQ(player_->LastErrMsg(), c.text);
      EXPECT_EQ(rec.fileOpen, 0);
      EXPECT_TRUE(rec.States().empty()) << describe(rec.States());
      EXPECT_EQ(player_->FormatContext(), nullptr);
    }
  player_->SetDisableAudio(false);
  player_->SetDisableVideo(false);
  // Another open right after a failed one, before its failure was delivered.
  withinDeadline(10s, "Open after a failed Open", [&] {
    EXPECT_FALSE(player_->Open(missing));
    EXPECT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  });
  EXPECT_TRUE(playUntil(100000));
  // Destroyed while a failed TryOpen is being reported.
  withinDeadline(10s, "destruction after a failed TryOpen", [&] {
    EXPECT_TRUE(player_->TryOpen(missing));
    player_.reset();
  });
}

}  // namespace

// The audio display reads the samples the audio callback writes: switching
// modes, seeking and pausing while it draws.
TEST_F(PlayerThreads, AudioDisplayFollowsModeSeeksAndPause) {
  TRORizozu player;  // draws for real, unlike the probe
  player.SetAudioDriver("dummy");
  player.SetVideoDriver("dummy");
  ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
  player.SetScreenSize(160, 120);
  player.SetWaveColor(0x00FFFFFF);
  player.SetShowMode(SHOW_MODE_WAVES);
  ASSERT_TRUE(player.Open(numbered_)) << player.LastErrMsg();
  ASSERT_TRUE(waitPumping([&] { return player.CurrentPTS() >= 200000; }, 8s, 2ms));
  const auto lit = [&] {
    std::vector<std::uint32_t> px;
    EXPECT_TRUE(player.ReadScreen({0, 0, 160, 120}, px));
    return std::count_if(px.begin(), px.end(), [](std::uint32_t c) { return (c & 0xFFFFFF) != 0; });
  };
  EXPECT_GT(lit(), 160);
  const TShowMode modes[] = {SHOW_MODE_RDFT, SHOW_MODE_VIDEO, SHOW_MODE_NONE, SHOW_MODE_WAVES};
  std::int64_t target = 1'000'000;
  for (TShowMode m : modes) {
    player.SetShowMode(m);
    player.SeekTo(target, 0, false);
    pumpFor(150ms);
    target = 2'000'000 - target;
  }
  player.Pause();
  ASSERT_TRUE(waitPumping([&] { return player.Paused(); }, 3s, 2ms));
  const auto paused = lit();
  EXPECT_GT(paused, 160);
  EXPECT_EQ(lit(), paused);  // paused waves stay where they were
  player.Resume();
  pumpFor(100ms);
  withinDeadline(20s, "stopping", [&] { player.Stop(true); });
}
