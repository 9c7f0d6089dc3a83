// The player's video hook: the bitmap handed to OnVideoHook, its write-back
// into the picture that is then shown, the bitmap depth shared with
// CurrentFrame, and handlers that fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "foundation/AVHandles.h"
#include "foundation/FFLoader.h"
#include "foundation/Logger.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/SDLLoader.h"
#include "support/LogCapture.h"
#include "support/PlayerRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
using namespace std::chrono_literals;
namespace media = corvane::testmedia;

namespace {

constexpr std::int64_t kFrameUs = 1000000 / media::kFps;

// Pure red in the bitmap, and the BT.601 limited-range values the scaler
// gives it in YUV420P.
constexpr std::uint8_t kPaintR = 255, kPaintG = 0, kPaintB = 0;
constexpr int kPaintY = 82, kPaintU = 90, kPaintV = 240;
constexpr int kYuvTolerance = 3;

void paint(Bitmap& b) {
  const int bytes = b.format == BmpFormat::pf32bit ? 4 : 3;
  ASSERT_TRUE(b.format == BmpFormat::pf32bit || b.format == BmpFormat::pf24bit);
  for (int y = 0; y < b.height; ++y) {
    std::uint8_t* p = b.row(y);
    for (int x = 0; x < b.width; ++x, p += bytes) {
      p[0] = kPaintB;
      p[1] = kPaintG;
      p[2] = kPaintR;
      if (bytes == 4) p[3] = 0xFF;
    }
  }
}

struct Yuv {
  int y, u, v;
};

// The centre sample of each plane.
Yuv centre(std::uint8_t* const data[], const int linesize[], int w, int h) {
  return {data[0][linesize[0] * (h / 2) + w / 2], data[1][linesize[1] * (h / 4) + w / 4],
          data[2][linesize[2] * (h / 4) + w / 4]};
}

bool isPainted(const Yuv& c) {
  return std::abs(c.y - kPaintY) <= kYuvTolerance && std::abs(c.u - kPaintU) <= kYuvTolerance &&
         std::abs(c.v - kPaintV) <= kYuvTolerance;
}

class VideoHook : public testrig::PlayerTest<TRORizozu> {
 protected:
  static void SetUpTestSuite() {
    numbered_ = testrig::playerClips({media::Kind::Numbered, media::Kind::Mp4H264Aac})[0];
  }
  void SetUp() override {
    PlayerTest::SetUp();
    player_->OnState = [this](TObject*, TPlayState s) {
      std::lock_guard g(lock_);
      states_.push_back(s);
    };
  }
  bool hasState(TPlayState s) {
    std::lock_guard g(lock_);
    return std::find(states_.begin(), states_.end(), s) != states_.end();
  }
  bool waitState(TPlayState s) {
    return waitPumping([&] { return hasState(s); }, 10s, 2ms);
  }
  // The centre of the picture the player holds now; false while there is none.
  bool shown(Yuv& c) {
    AVFrame* f = player_->CurrentAVFrame();
    if (!f) return false;
    EXPECT_EQ(f->format, AV_PIX_FMT_YUV420P);
    c = centre(f->data, f->linesize, f->width, f->height);
    ff::av_frame_free(&f);
    return true;
  }

  static inline std::string numbered_;
  std::mutex lock_;
  std::vector<TPlayState> states_;
};

// A painted bitmap reaches the shown picture while the handler leaves AUpdate
// true; once it sets AUpdate false the pictures are the decoder's again. The
// handler gets every queued picture, in order, with its time.
TEST_F(VideoHook, PaintedBitmapIsShownOnlyWhileAUpdateStaysTrue) {
  std::atomic<bool> update{true};
  std::atomic<int> calls{0};
  std::mutex m;
  std::vector<std::int64_t> times;
  player_->Setframedrop(0);  // every picture reaches the hook
  player_->SetVideoHook(true);
  player_->OnVideoHook = [&](TObject* sender, Bitmap& b, std::int64_t pts, bool& AUpdate) {
    EXPECT_EQ(sender, player_.get());
    EXPECT_TRUE(AUpdate);
    EXPECT_EQ(b.width, media::kWidth);
    EXPECT_EQ(b.height, media::kHeight);
    EXPECT_EQ(b.format, BmpFormat::pf32bit);
    paint(b);
    AUpdate = update;
    ++calls;
    std::lock_guard g(m);
    times.push_back(pts);
  };
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();

  Yuv c{};
  ASSERT_TRUE(waitPumping([&] { return shown(c); }, 10s, 2ms));
  EXPECT_TRUE(isPainted(c)) << c.y << " " << c.u << " " << c.v;

  // Pictures already queued were painted: wait for one hooked afterwards.
  update = false;
  const int after = calls + 4;
  ASSERT_TRUE(waitPumping([&] { return calls >= after; }, 10s, 2ms));
  ASSERT_TRUE(waitPumping([&] { return shown(c) && !isPainted(c); }, 10s, 2ms))
      << c.y << " " << c.u << " " << c.v;
  EXPECT_LE(std::abs(c.u - 128), media::numbered::kLumaTolerance);
  EXPECT_LE(std::abs(c.v - 128), media::numbered::kLumaTolerance);
  player_->Stop(true);

  std::lock_guard g(m);
  for (std::size_t i = 0; i < times.size(); ++i)
    EXPECT_EQ(times[i], static_cast<std::int64_t>(i) * kFrameUs) << i;
}

// A hash of the visible bytes of a YUV420P picture.
std::uint64_t pictureHash(const std::uint8_t* const data[], const int linesize[], int w, int h) {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a
  for (int p = 0; p < 3; ++p) {
    const int pw = p ? (w + 1) / 2 : w, ph = p ? (h + 1) / 2 : h;
    for (int y = 0; y < ph; ++y)
      for (int x = 0; x < pw; ++x) hash = (hash ^ data[p][y * linesize[p] + x]) * 1099511628211ull;
  }
  return hash;
}

// The first `count` pictures of the file's video, decoded by the libraries
// alone, in presentation order.
std::vector<std::uint64_t> referenceHashes(const std::string& path, std::size_t count) {
  std::vector<std::uint64_t> out;
  InputContextPtr in;
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return out;
  in.reset(raw);
  if (ff::avformat_find_stream_info(raw, nullptr) < 0) return out;
  const int index = ff::av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) return out;
  const AVStream* st = raw->streams[index];
  const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
  CodecContextPtr ctx(ff::avcodec_alloc_context3(codec));
  if (!ctx || ff::avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0 ||
      ff::avcodec_open2(ctx.get(), codec, nullptr) < 0)
    return out;
  PacketPtr pkt(ff::av_packet_alloc());
  FramePtr f(ff::av_frame_alloc());
  bool flushed = false;
  while (out.size() < count) {
    const int r = ff::avcodec_receive_frame(ctx.get(), f.get());
    if (r >= 0) {
      out.push_back(pictureHash(f->data, f->linesize, f->width, f->height));
      ff::av_frame_unref(f.get());
      continue;
    }
    if (r != AVERROR(EAGAIN) || flushed) break;
    if (ff::av_read_frame(raw, pkt.get()) < 0) {
      ff::avcodec_send_packet(ctx.get(), nullptr);
      flushed = true;
      continue;
    }
    if (pkt->stream_index == index) ff::avcodec_send_packet(ctx.get(), pkt.get());
    ff::av_packet_unref(pkt.get());
  }
  return out;
}

// Without the filter graph the hook gets the decoder's own pictures, whose
// planes the decoder still references: painting the first picture, which the
// next ones are predicted from, leaves every other picture as the libraries
// decode it.
TEST_F(VideoHook, WriteBackLeavesTheDecoderReferencesAlone) {
  constexpr std::size_t kCompared = 2 * media::mp4::kGop;
  const std::string clip = media::ensure(media::Kind::Mp4H264Aac);
  const std::vector<std::uint64_t> reference = referenceHashes(clip, kCompared);
  ASSERT_EQ(reference.size(), kCompared);
  // One decoding thread: the pictures after the first are decoded after the
  // hook painted it.
  ASSERT_TRUE(player_->opt_default("threads", "1")) << player_->LastErrMsg();
  player_->SetDisableVideoFilter(true);
  player_->Setframedrop(0);  // every picture reaches the hooks
  std::atomic<int> calls{0};
  player_->SetVideoHook(true);
  player_->OnVideoHook = [&](TObject*, Bitmap& b, std::int64_t, bool& AUpdate) {
    AUpdate = calls++ == 0;
    if (AUpdate) paint(b);
  };
  std::mutex m;
  std::vector<std::uint64_t> hashes;  // as the frame hook sees them, after the video hook
  Yuv first{};
  player_->SetFrameHook(true);
  player_->OnFrameHook = [&](TObject*, const PicturePlanes& p, AVPixelFormat fmt, int w, int h,
                             std::int64_t) {
    EXPECT_EQ(fmt, AV_PIX_FMT_YUV420P);
    std::lock_guard g(m);
    if (hashes.empty()) first = centre(p.data, p.linesize, w, h);
    hashes.push_back(pictureHash(p.data, p.linesize, w, h));
  };
  ASSERT_TRUE(player_->Open(clip)) << player_->LastErrMsg();
  ASSERT_TRUE(waitPumping(
      [&] {
        std::lock_guard g(m);
        return hashes.size() >= kCompared;
      },
      10s, 2ms));
  player_->Stop(true);

  std::lock_guard g(m);
  EXPECT_TRUE(isPainted(first)) << first.y << " " << first.u << " " << first.v;
  EXPECT_NE(hashes[0], reference[0]);
  for (std::size_t n = 1; n < kCompared; ++n) EXPECT_EQ(hashes[n], reference[n]) << "picture " << n;
}

// The depth applies to the hook's bitmaps and CurrentFrame's alike; a depth
// without a bitmap format is refused and changes neither.
TEST_F(VideoHook, BitsPixelSetsTheDepthOfBothBitmaps) {
  EXPECT_EQ(player_->VideoHookBitsPixel(), 32);
  player_->SetVideoHookBitsPixel(24);
  EXPECT_THROW(player_->SetVideoHookBitsPixel(12), EFormatConverterError);
  EXPECT_EQ(player_->VideoHookBitsPixel(), 24);

  std::mutex m;
  std::vector<BmpFormat> hooked;
  player_->SetVideoHook(true);
  player_->OnVideoHook = [&](TObject*, Bitmap& b, std::int64_t, bool& AUpdate) {
    EXPECT_EQ(b.stride, Bitmap::strideFor(b.width, b.format));
    std::lock_guard g(m);
    hooked.push_back(b.format);
    AUpdate = false;
  };
  ASSERT_TRUE(player_->Open(numbered_, 0, true)) << player_->LastErrMsg();
  Bitmap bmp;
  std::int64_t pts = -1;
  ASSERT_TRUE(waitPumping([&] { return player_->CurrentFrame(bmp, pts); }, 10s, 2ms));
  EXPECT_EQ(bmp.format, BmpFormat::pf24bit);
  EXPECT_EQ(bmp.stride, Bitmap::strideFor(media::kWidth, BmpFormat::pf24bit));
  EXPECT_EQ(pts, 0);
  {
    std::lock_guard g(m);
    ASSERT_FALSE(hooked.empty());
    for (BmpFormat f : hooked) EXPECT_EQ(f, BmpFormat::pf24bit);
  }

  // A change while paused: CurrentFrame at once, the hook from the next
  // picture it converts on.
  player_->SetVideoHookBitsPixel(16);
  ASSERT_TRUE(player_->CurrentFrame(bmp, pts));
  EXPECT_EQ(bmp.format, BmpFormat::pf16bit);
  player_->StepToNextFrame();
  ASSERT_TRUE(waitState(psStep));
  ASSERT_TRUE(waitPumping(
      [&] {
        std::lock_guard g(m);
        return hooked.back() == BmpFormat::pf16bit;
      },
      10s, 2ms));
  player_->Stop(true);
  std::lock_guard g(m);
  const auto first16 = std::find(hooked.begin(), hooked.end(), BmpFormat::pf16bit);
  EXPECT_TRUE(
      std::all_of(hooked.begin(), first16, [](BmpFormat f) { return f == BmpFormat::pf24bit; }));
  EXPECT_TRUE(
      std::all_of(first16, hooked.end(), [](BmpFormat f) { return f == BmpFormat::pf16bit; }));
}

// A handler that throws, or that resizes the bitmap it asks to write back,
// is logged at error level; the pictures stay as decoded and playback goes on
// to the end.
TEST_F(VideoHook, FailingHandlersAreLoggedAndPlaybackReachesTheEnd) {
  testlog::LogCapture capture;
  TFFLogger& logger = FFLogger();
  const bool inMain = logger.TriggerEventInMainThread();
  logger.SetTriggerEventInMainThread(false);
  logger.SetOnLog(capture.handler());

  std::atomic<int> calls{0};
  player_->SetVideoHook(true);
  player_->OnVideoHook = [&](TObject*, Bitmap& b, std::int64_t, bool&) {
    if (calls++ % 2 == 0) throw std::runtime_error("painter failed");
    paint(b);
    b.setSize(b.width / 2, b.height);  // AUpdate stays true
  };
  constexpr int kLastGop = 84;  // a key frame: play the last second only
  player_->SetStartTime(kLastGop * kFrameUs);
  player_->SetRepeatType(rtStop);
  ASSERT_TRUE(player_->Open(numbered_)) << player_->LastErrMsg();
  bool painted = false;
  const bool ended = waitPumping(
      [&] {
        Yuv c{};
        if (shown(c) && isPainted(c)) painted = true;
        return hasState(psStop);
      },
      10s, 2ms);
  player_->Stop(true);
  // Lines reach the handler on the logger's thread.
  int thrown = 0, mismatched = 0;
  waitPumping(
      [&] {
        thrown = mismatched = 0;
        for (const testlog::Entry& e : capture.entries()) {
          const std::string line = testlog::body(e.line);
          if (line.find("Error occurs OnVideoHook: painter failed") != std::string::npos) {
            EXPECT_EQ(e.level, llError);
            ++thrown;
          }
          if (line.find("does not match the RGB picture") != std::string::npos) {
            EXPECT_EQ(e.level, llError);
            ++mismatched;
          }
        }
        return thrown + mismatched >= calls;
      },
      5s, 2ms);
  logger.SetOnLog(nullptr);
  logger.SetTriggerEventInMainThread(inMain);

  EXPECT_TRUE(ended);
  EXPECT_TRUE(hasState(psEnd));
  EXPECT_FALSE(painted);
  EXPECT_GE(calls, 10);
  EXPECT_EQ(thrown, (calls + 1) / 2);
  EXPECT_EQ(mismatched, calls / 2);
}

}  // namespace
