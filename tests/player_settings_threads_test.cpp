// Settings that act while playing, seen in the pictures: a clip with a white
// marker in its top-left corner, flipped, rotated and filtered while it
// plays; and what OnFileOpen and the driver properties report.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/SDLLoader.h"
#include "support/PlayerRig.h"
#include "support/Watchdog.h"
#include "testmedia/OutputFile.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
using testrig::withinDeadline;
namespace media = corvane::testmedia;

namespace {

enum Corner { TL, TR, BL, BR };
const char* kCornerNames[] = {"top-left", "top-right", "bottom-left", "bottom-right"};
constexpr int kW = 160, kH = 120, kFrames = 30, kChangeAt = 8;

// A clip of kFrames black pictures with a white box in the top-left corner,
// shown turned `degrees` clockwise when not 0.
std::string writeMarkerClip(const std::string& name, int degrees) {
  const std::string path = media::cacheDir() + "/" + name;
  media::OutputFile out("corner marker", "mp4", path);
  AVStream* st =
      out.addVideo({.chain = "color=c=black:s=" + std::to_string(kW) + "x" + std::to_string(kH) +
                             ":r=25:d=1.2,drawbox=x=0:y=0:w=40:h=30:color=white:t=fill",
                    .encoder = "mpeg4",
                    .qscale = 2});
  if (degrees) {
    auto* matrix = reinterpret_cast<std::int32_t*>(
        ff::av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
    if (!matrix) return "";
    ff::av_display_rotation_set(matrix, degrees);
  }
  out.write();
  return path;
}

// The corner whose 8 x 8 block is brightest in the first plane.
Corner markerCorner(const PicturePlanes& p, int w, int h) {
  const auto mean = [&](int x0, int y0) {
    int sum = 0;
    for (int y = y0; y < y0 + 8; ++y)
      for (int x = x0; x < x0 + 8; ++x) sum += p.data[0][y * p.linesize[0] + x];
    return sum;
  };
  const int m[] = {mean(2, 2), mean(w - 10, 2), mean(2, h - 10), mean(w - 10, h - 10)};
  return static_cast<Corner>(std::max_element(std::begin(m), std::end(m)) - std::begin(m));
}

struct Seen {
  Corner corner;
  AVPixelFormat format;
  int width, height;
};

class PlayerSettings : public testrig::PlayerTest<TRORizozu> {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
    plain_ = writeMarkerClip("corner_marker.mp4", 0);
    rotated_ = writeMarkerClip("corner_marker_rotated.mp4", 90);
    tone_ = media::ensure(media::Kind::ToneWav);
    FFLoader().Unload(kEncoderLibraries);
  }
  void SetUp() override {
    ASSERT_FALSE(plain_.empty());
    ASSERT_FALSE(rotated_.empty());
    PlayerTest::SetUp();
  }

  static inline std::string plain_, rotated_, tone_;
};

// The marker lands where the flip (run before the rotation), the rotation,
// the filters and the sink's pixel format put it, before and after a change
// made while playing.
TEST_F(PlayerSettings, VerticalFlipAndRotationWithACornerMarker) {
  struct Case {
    const char* name;
    bool rotated, flip;
    std::string filters;
    AVPixelFormat format;
    std::function<void(TFFBasePlayer&)> change;
    Corner before, after;
    bool turnedBefore, turnedAfter;  // width and height swapped
  };
  const Case cases[] = {
      {"flip on", false, false, "", AV_PIX_FMT_YUV420P,
       [](TFFBasePlayer& p) { p.SetVerticalFlip(true); }, TL, BL, false, false},
      {"flip off, gray sink", false, true, "", AV_PIX_FMT_GRAY8,
       [](TFFBasePlayer& p) { p.SetVerticalFlip(false); }, BL, TL, false, false},
      {"rotation off", true, false, "", AV_PIX_FMT_YUV420P,
       [](TFFBasePlayer& p) { p.SetAutoRotate(false); }, TR, TL, true, false},
      {"flip then rotation", true, true, "", AV_PIX_FMT_YUV420P,
       [](TFFBasePlayer& p) { p.SetVerticalFlip(false); }, TL, TR, true, true},
      {"filters off", false, false, "hflip", AV_PIX_FMT_YUV420P,
       [](TFFBasePlayer& p) { p.SetDisableVideoFilter(true); }, TR, TL, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex m;
    std::vector<Seen> seen;
    player_->Setframedrop(0);
    player_->SetAutoRotate(true);
    player_->SetDisableVideoFilter(false);
    player_->SetVideoFilters(c.filters);
    player_->SetTargetPixFmts({c.format});
    player_->SetVerticalFlip(c.flip);
    player_->SetFrameHook(true);
    player_->OnFrameHook = [&](TObject*, const PicturePlanes& p, AVPixelFormat f, int w, int h,
                               std::int64_t) {
      std::size_t n = 0;
      {
        std::lock_guard g(m);
        seen.push_back({markerCorner(p, w, h), f, w, h});
        n = seen.size();
      }
      if (n == kChangeAt) c.change(*player_);  // on the video thread, while playing
    };
    std::atomic<bool> ended{false};
    player_->OnState = [&](TObject*, TPlayState s) {
      if (s == psEnd) ended = true;
    };
    player_->SetRepeatType(rtEnd);
    withinDeadline(20s, "playing the marker clip", [&] {
      ASSERT_TRUE(player_->Open(c.rotated ? rotated_ : plain_)) << player_->LastErrMsg();
      EXPECT_TRUE(pumpUntil([&] { return ended.load(); }));
      player_->Stop(true);
    });
    std::lock_guard g(m);
    ASSERT_GE(seen.size(), static_cast<std::size_t>(kFrames - 2));
    const auto expect = [&](std::size_t i, Corner corner, bool turned) {
      const Seen& s = seen[i];
      EXPECT_EQ(s.format, c.format) << "picture " << i;
      EXPECT_EQ(kCornerNames[s.corner], std::string(kCornerNames[corner])) << "picture " << i;
      EXPECT_EQ(s.width, turned ? kH : kW) << "picture " << i;
    };
    for (std::size_t i = 0; i + 1 < kChangeAt; ++i) expect(i, c.before, c.turnedBefore);
    for (std::size_t i = seen.size() - 8; i < seen.size(); ++i) expect(i, c.after, c.turnedAfter);
  }
}

TEST_F(PlayerSettings, OnFileOpenArgumentsAndTheDriversInUse) {
  struct Case {
    std::string* file;
    int width, height;
  };
  for (const Case c : {Case{&tone_, -1, -1}, Case{&plain_, kW, kH}}) {
    SCOPED_TRACE(*c.file);
    std::atomic<int> w{0}, h{0};
    std::atomic<std::int64_t> duration{0};
    player_->OnFileOpen = [&](TObject*, std::int64_t d, int fw, int fh, int& sw, int& sh) {
      duration = d;
      w = fw;
      h = fh;
      sw = 400;
      sh = 300;
    };
    withinDeadline(20s, "opening", [&] {
      ASSERT_TRUE(player_->Open(*c.file)) << player_->LastErrMsg();
      player_->Stop(true);
    });
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    EXPECT_GT(duration, 1000000);
    EXPECT_EQ(player_->ScreenWidth(), 400);
    EXPECT_EQ(player_->ScreenHeight(), 300);
    // The driver asked for next is not the one in use.
    player_->SetAudioDriver("");
    EXPECT_EQ(player_->AudioDriver(), "dummy");
  }
}

}  // namespace
