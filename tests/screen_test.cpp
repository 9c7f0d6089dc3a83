// Drawing pictures with SDL's dummy video driver and its software renderer.
#include "player/Screen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "foundation/AVHandles.h"
#include "foundation/FFLoader.h"
#include "foundation/MainThread.h"
#include "player/CustomPlayer.h"
#include "player/SDLLoader.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

int channel(std::uint32_t argb, int shift) { return static_cast<int>((argb >> shift) & 0xFF); }

TEST(ScreenFit, LetterboxAndAspect) {
  struct Case {
    TRect area;
    int w, h;
    AVRational sar;
    double aspect;
    TRect expect;
  };
  const Case cases[] = {
      {{0, 0, 800, 800}, 1920, 1080, {1, 1}, 0, {0, 175, 800, 450}},
      {{0, 0, 1280, 720}, 1280, 720, {0, 1}, 0, {0, 0, 1280, 720}},
      {{0, 0, 800, 600}, 720, 576, {16, 15}, 0, {0, 0, 800, 600}},
      {{0, 0, 800, 600}, 1920, 1080, {1, 1}, 1.0, {100, 0, 600, 600}},
      {{10, 20, 400, 400}, 100, 200, {1, 1}, 0, {110, 20, 200, 400}},
      {{0, 0, 800, 800}, 1920, 1080, {1, 1}, 1.0, {0, 0, 800, 800}},
  };
  for (const Case& c : cases) {
    const TRect r = FitPicture(c.area, c.w, c.h, c.sar, c.aspect);
    EXPECT_EQ(r, c.expect) << c.w << "x" << c.h << " in " << c.area.w << "x" << c.area.h << ": "
                           << r.x << "," << r.y << "," << r.w << "," << r.h;
  }
}

class ScreenTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
  }
  void SetUp() override {
    ASSERT_TRUE(SDLLoader().Init(this, "dummy", "dummy", true)) << SDLLoader().LastErrMsg();
    std::string error;
    ASSERT_TRUE(screen_.Create(0, 64, 48, "test", false, error)) << error;
  }
  void TearDown() override {
    screen_.Destroy();
    SDLLoader().Quit(this);
  }

  // A frame of fmt filled with one RGB colour through the scaler.
  FramePtr solid(AVPixelFormat fmt, int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    FramePtr rgb = makeFrame(), out = makeFrame();
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = out->width = w;
    rgb->height = out->height = h;
    out->format = fmt;
    EXPECT_EQ(ff::av_frame_get_buffer(rgb.get(), 0), 0);
    EXPECT_EQ(ff::av_frame_get_buffer(out.get(), 0), 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        std::uint8_t* p = rgb->data[0] + y * rgb->linesize[0] + 3 * x;
        p[0] = r, p[1] = g, p[2] = b;
      }
    SwsContext* sws = ff::sws_getCachedContext(nullptr, w, h, AV_PIX_FMT_RGB24, w, h, fmt,
                                               SWS_POINT, nullptr, nullptr, nullptr);
    EXPECT_NE(sws, nullptr);
    ff::sws_scale(sws, rgb->data, rgb->linesize, 0, h, out->data, out->linesize);
    ff::sws_freeContext(sws);
    return out;
  }

  std::uint32_t drawAndRead(const AVFrame* f, int x, int y) {
    std::string error;
    EXPECT_TRUE(screen_.Upload(f, error)) << error;
    screen_.Clear(0);
    screen_.DrawPicture(screen_.Area(), f);
    std::uint32_t px = 0;
    EXPECT_TRUE(screen_.ReadPixels({x, y, 1, 1}, &px));
    return px;
  }

  TScreen screen_;
};

TEST_F(ScreenTest, EveryMappedFormatShowsItsColour) {
  const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUYV422,  AV_PIX_FMT_UYVY422,
                                   AV_PIX_FMT_RGB24,    AV_PIX_FMT_BGR24,    AV_PIX_FMT_RGB555LE,
                                   AV_PIX_FMT_BGR555LE, AV_PIX_FMT_RGB565LE, AV_PIX_FMT_BGR565LE,
                                   AV_PIX_FMT_RGB444LE, AV_PIX_FMT_RGB8,     AV_PIX_FMT_BGR0,
                                   AV_PIX_FMT_RGB0,     AV_PIX_FMT_0BGR,     AV_PIX_FMT_0RGB,
                                   AV_PIX_FMT_BGRA,     AV_PIX_FMT_RGBA,     AV_PIX_FMT_ABGR,
                                   AV_PIX_FMT_ARGB,     AV_PIX_FMT_NV12,     AV_PIX_FMT_GRAY8};
  struct Colour {
    std::uint8_t r, g, b;
  };
  for (AVPixelFormat fmt : formats) {
    for (Colour c : {Colour{255, 0, 0}, Colour{0, 255, 0}, Colour{0, 0, 255}}) {
      if (fmt == AV_PIX_FMT_GRAY8) c = {c.r, c.r, c.r};
      FramePtr f = solid(fmt, 64, 48, c.r, c.g, c.b);
      const std::uint32_t px = drawAndRead(f.get(), 32, 24);
      const char* name = ff::av_get_pix_fmt_name(fmt);
      EXPECT_NEAR(channel(px, 16), c.r, 48) << name;
      EXPECT_NEAR(channel(px, 8), c.g, 48) << name;
      EXPECT_NEAR(channel(px, 0), c.b, 48) << name;
    }
  }
  EXPECT_EQ(TextureFormatFor(AV_PIX_FMT_NV12), SDL_PIXELFORMAT_UNKNOWN);
  EXPECT_EQ(TextureFormatFor(AV_PIX_FMT_BGRA), SDL_PIXELFORMAT_ARGB8888);
}

TEST_F(ScreenTest, NegativeLineSizesComeOutUpright) {
  for (AVPixelFormat fmt : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_RGB24}) {
    // Top half red, bottom half blue.
    FramePtr top = solid(fmt, 64, 48, 255, 0, 0);
    FramePtr bottom = solid(fmt, 64, 48, 0, 0, 255);
    FramePtr f = solid(fmt, 64, 48, 0, 0, 0);
    const int planes = fmt == AV_PIX_FMT_YUV420P ? 3 : 1;
    for (int p = 0; p < planes; ++p) {
      const int rows = p == 0 ? 48 : 24;
      for (int y = 0; y < rows; ++y) {
        const AVFrame* src = y < rows / 2 ? top.get() : bottom.get();
        std::memcpy(f->data[p] + y * f->linesize[p], src->data[p] + y * src->linesize[p],
                    static_cast<std::size_t>(src->linesize[p]));
      }
      // Bottom-up description of the same picture.
      f->data[p] += f->linesize[p] * (rows - 1);
      f->linesize[p] = -f->linesize[p];
    }
    // Visually the first row is now the last memory row: blue on top.
    const std::uint32_t upper = drawAndRead(f.get(), 32, 4);
    const std::uint32_t lower = drawAndRead(f.get(), 32, 44);
    EXPECT_GT(channel(upper, 0), 200) << ff::av_get_pix_fmt_name(fmt);
    EXPECT_LT(channel(upper, 16), 60) << ff::av_get_pix_fmt_name(fmt);
    EXPECT_GT(channel(lower, 16), 200) << ff::av_get_pix_fmt_name(fmt);
    for (int p = 0; p < planes; ++p) {  // back to the buffer's start for freeing
      const int rows = p == 0 ? 48 : 24;
      f->linesize[p] = -f->linesize[p];
      f->data[p] -= f->linesize[p] * (rows - 1);
    }
  }
}

TEST_F(ScreenTest, SubtitleLayerDrawsOverThePictureAndClears) {
  FramePtr f = solid(AV_PIX_FMT_YUV420P, 64, 48, 0, 0, 255);
  // Palette entry 1 opaque red, 0 transparent; the second box runs off the right edge.
  std::uint32_t palette[256] = {0x00000000, 0xFFFF0000};
  std::uint8_t box[16 * 8];
  std::memset(box, 1, sizeof box);
  AVSubtitleRect rects[2] = {};
  for (AVSubtitleRect& r : rects) {
    r.type = SUBTITLE_BITMAP;
    r.w = 16, r.h = 8, r.nb_colors = 2;
    r.data[0] = box;
    r.data[1] = reinterpret_cast<std::uint8_t*>(palette);
    r.linesize[0] = 16;
  }
  rects[0].x = 8, rects[0].y = 8;
  rects[1].x = 56, rects[1].y = 30;
  AVSubtitleRect* list[2] = {&rects[0], &rects[1]};
  AVSubtitle sub{};
  sub.num_rects = 2;
  sub.rects = list;
  std::string error;
  ASSERT_TRUE(screen_.Upload(f.get(), error)) << error;
  ASSERT_TRUE(screen_.UploadSubtitle(sub, 64, 48, error)) << error;
  const auto draw = [&](int x, int y) {
    screen_.Clear(0);
    screen_.DrawPicture(screen_.Area(), f.get());
    screen_.DrawSubtitle(screen_.Area());
    std::uint32_t px = 0;
    EXPECT_TRUE(screen_.ReadPixels({x, y, 1, 1}, &px));
    return px;
  };
  EXPECT_GT(channel(draw(12, 10), 16), 200);  // inside the first box
  EXPECT_LT(channel(draw(12, 10), 0), 60);
  EXPECT_GT(channel(draw(60, 33), 16), 200);  // the clipped box's visible part
  EXPECT_GT(channel(draw(30, 24), 0), 200);   // picture between the boxes
  screen_.ClearSubtitle(sub);
  EXPECT_GT(channel(draw(12, 10), 0), 200);
  EXPECT_LT(channel(draw(12, 10), 16), 60);
}

TEST_F(ScreenTest, VisColumnsScrollIntoTheLayer) {
  std::vector<std::uint32_t> column(48, 0x00FF0000);
  column[0] = 0x0000FF00;
  ASSERT_TRUE(screen_.UpdateVisColumn(64, 48, 5, column.data()));
  EXPECT_FALSE(screen_.UpdateVisColumn(64, 48, 64, column.data()));  // outside
  screen_.Clear(0x00FFFFFF);
  screen_.DrawVis(screen_.Area());
  std::uint32_t px[3] = {};
  ASSERT_TRUE(screen_.ReadPixels({4, 0, 3, 1}, px));
  EXPECT_EQ(px[0] & 0xFFFFFF, 0u);  // created black
  EXPECT_EQ(px[1] & 0xFFFFFF, 0x00FF00u);
  ASSERT_TRUE(screen_.ReadPixels({5, 20, 1, 1}, px));
  EXPECT_EQ(px[0] & 0xFFFFFF, 0xFF0000u);
}

// A player drawing with the dummy drivers, events on its own threads.
class ScreenPlayback : public ::testing::Test {
 protected:
  void SetUp() override {
    setDispatcher(dispatcher_);
    ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
    player.SetAudioDriver("dummy");
    player.SetVideoDriver("dummy");
    player.SetTriggerEventInMainThread(false);
  }
  void TearDown() override {
    owned_.reset();  // stops and ends its threads while the dispatcher is there
    setDispatcher(nullptr);
  }

  std::shared_ptr<QueueDispatcher> dispatcher_ = std::make_shared<QueueDispatcher>();
  std::unique_ptr<TRORizozu> owned_ = std::make_unique<TRORizozu>();
  TRORizozu& player = *owned_;
};

// A solid red 1920x1080 clip played in an 800x800 window: letterbox rows show
// the background colour, the middle rows the picture.
TEST_F(ScreenPlayback, LetterboxShowsBackColour) {
  player.SetScreenSize(800, 800);
  player.SetBackColor(0x0000FF00);  // green, 0x00BBGGRR
  ASSERT_TRUE(player.Open(media::ensure(media::Kind::Solid1080p), 0, true)) << player.LastErrMsg();
  ASSERT_TRUE(waitPumping([&] { return player.DisplayRect().w > 0; }, std::chrono::seconds(10)));
  EXPECT_EQ(player.DisplayRect(), (TRect{0, 175, 800, 450}));
  std::vector<std::uint32_t> px;
  ASSERT_TRUE(player.ReadScreen({0, 0, 800, 800}, px));
  ASSERT_EQ(px.size(), 800u * 800u);
  const auto at = [&](int x, int y) { return px[static_cast<std::size_t>(y) * 800 + x]; };
  for (int y : {0, 100, 174, 625, 799}) {
    EXPECT_EQ(channel(at(400, y), 8), 255) << y;
    EXPECT_EQ(channel(at(400, y), 16), 0) << y;
  }
  for (int y : {176, 400, 623}) {
    EXPECT_GT(channel(at(400, y), 16), 230) << y;
    EXPECT_LT(channel(at(400, y), 8), 30) << y;
  }
  Bitmap bmp;
  std::int64_t pts = -1;
  ASSERT_TRUE(player.CurrentFrame(bmp, pts));
  EXPECT_EQ(bmp.width, media::solid::kWidth);
  EXPECT_EQ(pts, 0);
  const TRect actual = player.DisplayToActualRect(player.DisplayRect());
  EXPECT_EQ(actual, (TRect{0, 0, media::solid::kWidth, media::solid::kHeight}));
}

// A bitmap subtitle is drawn over the picture while it lasts, scaled with it.
TEST_F(ScreenPlayback, BitmapSubtitleShownWhileItLasts) {
  namespace sub = media::dvdsub;
  player.SetScreenSize(2 * media::kWidth, 2 * media::kHeight);  // drawn twice the size
  ASSERT_TRUE(player.Open(media::ensure(media::Kind::MkvDvdSub), 0, false)) << player.LastErrMsg();
  const auto readAt = [&](std::int64_t us, std::vector<std::uint32_t>& px) {
    EXPECT_TRUE(waitPumping([&] { return player.CurrentPTS() >= us; }, std::chrono::seconds(10)));
    return player.ReadScreen({0, 0, 2 * media::kWidth, 2 * media::kHeight}, px);
  };
  const auto at = [](const std::vector<std::uint32_t>& px, int x, int y) {
    return px[static_cast<std::size_t>(y) * 2 * media::kWidth + x];
  };
  const int cx = 2 * (sub::kBox.x + sub::kBox.width / 2),
            cy = 2 * (sub::kBox.y + sub::kBox.height / 2);
  std::vector<std::uint32_t> px;
  ASSERT_TRUE(readAt(200000, px));  // before the cue
  EXPECT_GT(channel(at(px, cx, cy), 0), 200);
  ASSERT_TRUE(readAt(1200000, px));
  EXPECT_GT(channel(at(px, cx, cy), 16), 200);  // yellow box
  EXPECT_GT(channel(at(px, cx, cy), 8), 200);
  EXPECT_LT(channel(at(px, cx, cy), 0), 60);
  // Just outside the box, scaled by two, the picture shows.
  EXPECT_GT(channel(at(px, 2 * sub::kBox.x - 3, cy), 0), 200);
  EXPECT_GT(channel(at(px, 2 * (sub::kBox.x + sub::kBox.width) - 3, cy), 16), 200);
  EXPECT_GT(channel(at(px, 2 * (sub::kBox.x + sub::kBox.width) + 3, cy), 0), 200);
  ASSERT_TRUE(readAt(2700000, px));  // after its end
  EXPECT_GT(channel(at(px, cx, cy), 0), 200);
  EXPECT_LT(channel(at(px, cx, cy), 16), 60);
}

// A 440 Hz stereo tone shown as waves (two rows and the line between them),
// then as a spectrum whose brightest row is the tone's bin.
TEST_F(ScreenPlayback, ToneAsWavesThenSpectrum) {
  player.SetScreenSize(320, 480);
  player.SetWaveColor(0x000000FF);  // red
  player.SetLineColor(0x00FF0000);  // blue
  player.SetShowMode(SHOW_MODE_WAVES);
  ASSERT_TRUE(player.Open(media::ensure(media::Kind::Wav), 0, false)) << player.LastErrMsg();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  std::vector<std::uint32_t> px;
  ASSERT_TRUE(player.ReadScreen({0, 0, 320, 480}, px));
  const auto at = [&](int x, int y) {
    return px[static_cast<std::size_t>(y) * 320 + x] & 0xFFFFFF;
  };
  int red[2] = {}, other = 0;
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 320; ++x) {
      const std::uint32_t c = at(x, y);
      if (y == 240) {
        EXPECT_EQ(c, 0x0000FFu) << x;
      } else if (c == 0xFF0000u) {
        ++red[y / 240];
        // Bars stay within the channel's amplitude around its centre.
        EXPECT_LE(std::abs(y % 240 - 120), 120 * 9 / 10) << y;
      } else if (c != 0) {
        ++other;
      }
    }
  EXPECT_GT(red[0], 320);
  EXPECT_GT(red[1], 320);
  EXPECT_EQ(other, 0);

  player.SetShowMode(SHOW_MODE_RDFT);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(player.ReadScreen({0, 0, 320, 480}, px));
  std::uint32_t best = 0;
  int bestRow = -1, columns = 0;
  for (int x = 0; x < 320; ++x) {
    bool drawn = false;
    for (int y = 0; y < 480; ++y) {
      const std::uint32_t r = (at(x, y) >> 16) & 0xFF;
      drawn = drawn || at(x, y) != 0;
      if (r > best) best = r, bestRow = y;
    }
    columns += drawn;
  }
  // 480 rows: 1024-sample transforms, bins of 48000 / 1024 Hz from the bottom.
  const double bin = media::wav::kFrequency * 1024.0 / media::wav::kSampleRate;
  EXPECT_NEAR(479 - bestRow, bin, 1.0);
  EXPECT_GT(best, 60u);
  EXPECT_GT(columns, 3);  // it scrolls
}

}  // namespace
