// The player's clocks and waits on generated clips: the external clock as
// master at normal and double speed, key-frame stepping, opening in the
// caller's thread without waiting, stream specifiers of kinds not played,
// seeks with wait to where no picture is, the audio hook's time for sound
// without timestamps, and stream switching.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
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
namespace media = corvane::testmedia;

namespace {

using ::testrig::withinDeadline;

using ::testrig::kRealTimePacing;

constexpr std::int64_t kFrameUs = 1000000 / media::kFps;

int frameNumber(const AVFrame* f) {
  return (f->data[0][f->linesize[0] * (f->height / 2) + f->width / 2] + 1) / 2;
}

// Records each released picture with the external clock at that moment.
class ClockProbe : public TRORizozu {
 public:
  ~ClockProbe() override { StopPlayerThreads(); }
  struct Release {
    int frame;
    double pts, ext;
  };
  std::vector<Release> Releases() {
    std::lock_guard g(FLock);
    return FReleases;
  }
  std::vector<TPlayState> States() {
    std::lock_guard g(FLock);
    return FStates;
  }
  int Count(TPlayState s) {
    std::lock_guard g(FLock);
    return static_cast<int>(std::count(FStates.begin(), FStates.end(), s));
  }
  void Record() {
    OnState = [this](TObject*, TPlayState s) {
      std::lock_guard g(FLock);
      FStates.push_back(s);
    };
  }

 protected:
  void Draw(TVideoState* is) override {
    if (!is->video_st) return;  // the waves of sound alone
    TFFFrame* vp = is->pictq.PeekLast();
    std::lock_guard slot(vp->lock);
    if (!vp->frame->data[0]) return;
    std::lock_guard g(FLock);
    if (!FReleases.empty() && FReleases.back().pts == vp->pts) return;
    FReleases.push_back({frameNumber(vp->frame.get()), vp->pts, is->extclk.Get()});
  }

 private:
  std::mutex FLock;
  std::vector<Release> FReleases;
  std::vector<TPlayState> FStates;
};

class PlayerSync : public testrig::PlayerTest<ClockProbe> {
 protected:
  static void SetUpTestSuite() {
    const auto clips = testrig::playerClips(
        {media::Kind::Numbered, media::Kind::NumberedBFrames, media::Kind::TsTwoPrograms});
    numbered_ = clips[0];
    tail_ = clips[1];
    programs_ = clips[2];
  }
  void SetUp() override {
    PlayerTest::SetUp();
    player_->Record();
  }
  bool waitState(TPlayState s, std::chrono::milliseconds limit = 10s) {
    return waitPumping([&] { return player_->Count(s) > 0; }, limit, 2ms);
  }
  bool playUntil(std::int64_t us, std::chrono::milliseconds limit = 8s) {
    return waitPumping([&] { return player_->CurrentPTS() >= us; }, limit, 2ms);
  }

  static inline std::string numbered_, tail_, programs_;
};

// With the external clock leading, the pictures follow it to the end of the
// clip, also at double speed.
TEST_F(PlayerSync, ExternalClockLeadsAtNormalAndDoubleSpeed) {
  for (double speed : {1.0, 2.0}) {
    SCOPED_TRACE("speed " + std::to_string(speed));
    player_->SetSyncType(AV_SYNC_EXTERNAL_CLOCK);
    player_->SetPlaybackSpeed(speed);
    player_->SetRepeatType(rtStop);
    const int stops = player_->Count(psStop);
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    ASSERT_TRUE(waitPumping([&] { return player_->Count(psStop) > stops; }, 20s, 2ms));
    const auto r = player_->Releases();
    ASSERT_GT(r.size(), 10u);
    EXPECT_GE(r.back().frame, media::numbered::kFrames - 4);
    int unknown = 0;
    for (std::size_t i = 3; i < r.size(); ++i) {
      SCOPED_TRACE("picture " + std::to_string(r[i].frame));
      if (std::isnan(r[i].ext)) {
        ++unknown;
        continue;
      }
      if (kRealTimePacing) {
        EXPECT_LT(std::fabs(r[i].pts - r[i].ext), 0.15);
      }
    }
    EXPECT_EQ(unknown, 0);
    player_->Stop(true);
  }
}

// Only key frames are shown, and playback pauses after the first one.
TEST_F(PlayerSync, StepToKeyFrameShowsKeyFramesOnly) {
  player_->SetStepToKeyFrame(true);
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  ASSERT_TRUE(waitState(psPause));
  EXPECT_TRUE(player_->Paused());
  waitPumping([] { return false; }, 300ms, 2ms);
  ASSERT_EQ(player_->Releases().size(), 1u);
  player_->Resume();
  ASSERT_TRUE(playUntil(2000000));
  const auto r = player_->Releases();
  // Under ThreadSanitizer late key frames are dropped too.
  ASSERT_GE(r.size(), kRealTimePacing ? 3u : 1u);
  for (const auto& rel : r) EXPECT_EQ(rel.frame % media::numbered::kGop, 0) << rel.frame;
}

TEST_F(PlayerSync, TryOpenInTheCallersThreadPlays) {
  player_->SetOpenInCallerThread(true);
  bool opened = false;
  withinDeadline(20s, "TryOpen", [&] { opened = player_->TryOpen(numbered_); });
  ASSERT_TRUE(opened) << player_->LastErrMsg();
  EXPECT_TRUE(playUntil(300000));
  withinDeadline(20s, "Stop", [&] { player_->Stop(true); });
}

// A specifier for a kind that is not played neither opens it nor fails.
TEST_F(PlayerSync, SpecifierOfADisabledKindIsIgnored) {
  for (const char* spec : {"v:7", "v:0"}) {
    SCOPED_TRACE(spec);
    player_->SetDisableVideo(true);
    player_->Setwanted_video_stream_spec(spec);
    ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
    EXPECT_EQ(player_->VideoStreamIndex(), -1);
    EXPECT_GE(player_->AudioStreamIndex(), 0);
    EXPECT_TRUE(playUntil(200000));
    player_->Stop(true);
  }
}

// A seek with wait returns when no picture comes at its target.
TEST_F(PlayerSync, SeekWithWaitWhereNoPictureIs) {
  struct Case {
    const char* name;
    const std::string* file;
    std::int64_t target;
    bool paused;
  };
  const std::int64_t video = std::int64_t{media::numbered::kSeconds} * 1000000;
  const Case cases[] = {
      {"past the end", &numbered_, video + 5000000, false},
      {"past the end, paused", &numbered_, video + 5000000, true},
      {"in the sound after the last picture", &tail_, video + 1000000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(player_->Open(*c.file)) << player_->LastErrMsg();
    ASSERT_TRUE(playUntil(200000));
    if (c.paused) player_->Pause();
    withinDeadline(20s, "SeekTo with wait", [&] { player_->SeekTo(c.target, 0, true); });
    EXPECT_TRUE(waitPumping([&] { return !player_->Seeking(); }, 5s, 2ms));
    player_->Stop(true);
  }
}

// Sound whose frames carry no timestamp reaches the hook with no time.
TEST_F(PlayerSync, AudioHookTimeWithoutTimestamps) {
  std::mutex m;
  std::vector<std::int64_t> times;
  player_->SetAudioHook(true);
  player_->OnAudioHook = [&](TObject*, std::int64_t pts, const std::uint8_t*, int, int, int) {
    std::lock_guard g(m);
    times.push_back(pts);
  };
  player_->SetAudioFilters("asetpts=NAN");  // frames without a time
  ASSERT_TRUE(player_->Open(programs_)) << player_->LastErrMsg();
  ASSERT_TRUE(waitPumping(
      [&] {
        std::lock_guard g(m);
        return times.size() >= 5;
      },
      8s, 2ms))
      << player_->LastErrMsg();
  player_->Stop(true);
  std::lock_guard g(m);
  for (std::int64_t t : times) EXPECT_EQ(t, AV_NOPTS_VALUE);
}

// Switching streams: each refusal with its text; accepted switches keep playing.
TEST_F(PlayerSync, StreamSwitchingWithItsTexts) {
  ASSERT_TRUE(player_->Open(programs_)) << player_->LastErrMsg();
  ASSERT_TRUE(playUntil(100000));
  AVFormatContext* ic = player_->FormatContext();
  ASSERT_TRUE(ic);
  std::vector<int> videos, audios;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO ? videos : audios)
        .push_back(static_cast<int>(i));
  ASSERT_EQ(videos.size(), 2u);
  ASSERT_EQ(audios.size(), 2u);
  const int otherAudio = player_->AudioStreamIndex() == audios[0] ? audios[1] : audios[0];
  const int otherVideo = player_->VideoStreamIndex() == videos[0] ? videos[1] : videos[0];

  enum Kind { kAudio, kVideo, kSubtitle };
  struct Case {
    Kind kind;
    int index;
    bool ok;
    const char* text;  // the last error after a refusal
  };
  const int n = static_cast<int>(ic->nb_streams);
  const Case cases[] = {
      {kAudio, videos[0], false, "the stream type is not matched."},
      {kAudio, n, false, "the stream index is invalid."},
      {kAudio, -1, false, "the stream index is invalid."},
      {kVideo, audios[0], false, "the stream type is not matched."},
      {kSubtitle, audios[0], false, "the stream type is not matched."},
      {kSubtitle, -1, true, ""},
      {kAudio, otherAudio, true, ""},
      {kVideo, otherVideo, true, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.kind) + " to " + std::to_string(c.index));
    const bool ok = c.kind == kAudio   ? player_->SetAudioStreamIndex(c.index)
                    : c.kind == kVideo ? player_->SetVideoStreamIndex(c.index)
                                       : player_->SetSubtitleStreamIndex(c.index);
    EXPECT_EQ(ok, c.ok);
    if (!c.ok) {
      EXPECT_EQ(player_->LastErrMsg(), c.text);
    }
  }
  EXPECT_EQ(player_->AudioStreamIndex(), otherAudio);
  EXPECT_EQ(player_->VideoStreamIndex(), otherVideo);
  // The clip may be read to its end already: the new streams play from the start.
  const std::size_t shown = player_->Releases().size();
  withinDeadline(20s, "SeekTo with wait", [&] { player_->SeekTo(0, 0, true); });
  EXPECT_TRUE(waitPumping([&] { return player_->Releases().size() > shown + 3; }, 5s, 2ms));
  player_->Stop(true);
  // Without a video stream there is nothing to switch from.
  player_->SetDisableVideo(true);
  ASSERT_TRUE(player_->Open(programs_)) << player_->LastErrMsg();
  EXPECT_FALSE(player_->SetVideoStreamIndex(videos[0]));
  EXPECT_EQ(player_->LastErrMsg(), "the current stream is invalid.");
  player_->Stop(true);
}

}  // namespace

// An audio hook handler that calls the player while other threads switch the
// audio stream: closing the device waits for the callback running the hook.
TEST_F(PlayerSync, StreamSwitchesWhileTheAudioHookCallsThePlayer) {
  std::atomic<int> hooks{0};
  player_->SetAudioHook(true);
  player_->OnAudioHook = [&](TObject*, std::int64_t, const std::uint8_t*, int, int, int) {
    // Most of the callback's time is spent here, so switches meet it.
    std::this_thread::sleep_for(10ms);
    player_->SetAudioVolume(100);
    ++hooks;
  };
  ASSERT_TRUE(player_->Open(programs_)) << player_->LastErrMsg();
  ASSERT_TRUE(waitPumping([&] { return hooks > 3; }, 8s, 2ms));
  AVFormatContext* ic = player_->FormatContext();
  ASSERT_TRUE(ic);
  std::vector<int> audios;
  for (unsigned i = 0; i < ic->nb_streams; ++i)
    if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
      audios.push_back(static_cast<int>(i));
  ASSERT_EQ(audios.size(), 2u);
  const auto switcher = [&](int first) {
    // Each switch plays from the start, so that sound keeps coming.
    for (int k = 0; k < 6; ++k) {
      player_->SetAudioStreamIndex(audios[(first + k) % 2]);
      player_->SeekTo(0);
      std::this_thread::sleep_for(50ms);
    }
  };
  withinDeadline(30s, "stream switches", [&] {
    auto other = std::async(std::launch::async, switcher, 1);
    switcher(0);
    other.get();
  });
  const int before = hooks;
  player_->SeekTo(0);
  EXPECT_TRUE(waitPumping([&] { return hooks > before + 3; }, 8s, 2ms));
  EXPECT_NE(std::find(audios.begin(), audios.end(), player_->AudioStreamIndex()), audios.end());
  player_->Stop(true);
}
