// The frame input read directly: header checks, packet layout of the bitmap
// kinds, the pal8 palette, timestamps and the handlers' results.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <stdexcept>

#include "capture/FrameInputAdapter.h"
#include "capture/FrameInputFormat.h"
#include "capture/WaveInputAdapter.h"
#include "capture_rig.h"

using namespace corvane;

namespace {

using Options = std::vector<std::pair<std::string, std::string>>;

// Row y of a bmp handler's picture holds y % 251 in every byte.
void fillRows(std::uint8_t* data, const TInputFrameInfo& info) {
  for (int y = 0; y < info.Height; ++y)
    std::fill_n(data + y * info.BytesPerLine, info.BytesPerLine, std::uint8_t(y % 251));
}

class FrameInputTest : public testrig::CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    adapter_->SetTriggerEventInMainThread(false);
  }
  int open(const Options& options) {
    return openDirect(RegisterFrameInputFormat(), adapter_->RegistryUrl(), options);
  }
  std::shared_ptr<TFrameInputAdapter> adapter_ = std::make_shared<TFrameInputAdapter>();
};

TEST_F(FrameInputTest, HeaderFailures) {
  const std::string url = adapter_->RegistryUrl();
  auto gone = std::make_shared<TFrameInputAdapter>();
  const std::string gone_url = gone->RegistryUrl();
  gone.reset();
  auto wave = std::make_shared<TWaveInputAdapter>();
  TFrameInputAdapter unshared;  // not owned by a shared_ptr: cannot be found
  const Options size{{"video_size", "64x48"}};
  struct Case {
    std::string url;
    Options options;
    int code;
    const char* log;
  } cases[] = {
      {"adapter", size, AVERROR(EINVAL),
       "Could not parse FrameInputAdapter: \"adapter\", it should be address of FrameInputAdapter"},
      {"0", size, AVERROR(EINVAL), "Invalid FrameInputAdapter"},
      {"18446744073709551615", size, AVERROR(EINVAL), "Invalid FrameInputAdapter"},
      {gone_url, size, AVERROR(EINVAL), "Invalid FrameInputAdapter"},
      {wave->RegistryUrl(), size, AVERROR(EINVAL), "Invalid FrameInputAdapter"},
      {unshared.RegistryUrl(), size, AVERROR(EINVAL), "Invalid FrameInputAdapter"},
      {url,
       {{"video_size", "64x48"}, {"input_type", "Canvas"}},
       AVERROR(EINVAL),
       "Invalid frame input type: \"Canvas\", it should be one of canvas/bmp/dc/yuv"},
      {url,
       {{"video_size", "64x48"}, {"input_type", "dc"}},
       AVERROR(ENOSYS),
       "Frame input type \"dc\" is not supported on this platform"},
      {url,
       {{"video_size", "64x48"}, {"framerate", "fast"}},
       AVERROR(EINVAL),
       "Could not parse framerate \"fast\"."},
      {url, {}, AVERROR(EINVAL), "Invalid frame size"},
      {url, {{"video_size", "big"}}, AVERROR(EINVAL), "Couldn't parse video size."},
      {url,
       {{"video_size", "64x48"}, {"pixel_format", "nope"}},
       AVERROR(EINVAL),
       "Unknown pixel format requested"},
      {url,
       {{"video_size", "64x48"}, {"input_type", "canvas"}},
       AVERROR(EINVAL),
       "Invalid pixel format for canvas/bmp/dc input, should be one of "
       "gray8/pal8/rgb555le/bgr24/bgra"},
      {url,
       {{"video_size", "60000x60000"}, {"input_type", "bmp"}, {"pixel_format", "bgra"}},
       AVERROR(EINVAL),
       "Invalid frame size"},
  };
  int headers = 0;
  adapter_->SetOnReadHeader([&](TObject*) { ++headers; });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url + " " + c.log);
    EXPECT_EQ(openDirect(RegisterFrameInputFormat(), c.url, c.options), c.code);
    EXPECT_TRUE(logged(c.log));
  }
  EXPECT_EQ(headers, 0);
  EXPECT_EQ(adapter_->FrameInfo(), nullptr);
}

// A 640x480 bgr24 bitmap: 1920 bytes per line, copied into the packet with
// the top row first; every packet is a key frame.
TEST_F(FrameInputTest, BitmapRowsTopFirst) {
  int header_width = 0;
  adapter_->SetOnReadHeader([&](TObject*) { header_width = adapter_->FrameInfo()->Width; });
  adapter_->SetOnReadFrameBMP([](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
    fillRows(data, *info);
    return 0;
  });
  ASSERT_EQ(open({{"video_size", "640x480"},
                  {"input_type", "bmp"},
                  {"pixel_format", "bgr24"},
                  {"framerate", "25"}}),
            0);
  EXPECT_EQ(header_width, 640);
  const TInputFrameInfo* info = adapter_->FrameInfo();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->BitsPerPixel, 24);
  EXPECT_EQ(info->BytesPerLine, 1920);
  EXPECT_EQ(info->BytesPerFrame, 1920 * 480);
  const AVCodecParameters* par = ic_->streams[0]->codecpar;
  EXPECT_EQ(par->codec_id, AV_CODEC_ID_RAWVIDEO);
  EXPECT_EQ(par->format, AV_PIX_FMT_BGR24);
  EXPECT_EQ(par->bit_rate, 1920LL * 480 * 8 * 25);
  ASSERT_EQ(read(), 0);
  ASSERT_EQ(pkt_->size, 1920 * 480);
  EXPECT_TRUE(pkt_->flags & AV_PKT_FLAG_KEY);
  for (int y : {0, 1, 250, 479}) EXPECT_EQ(pkt_->data[y * 1920 + 7], y % 251) << y;
  ic_.reset();
  EXPECT_EQ(adapter_->FrameInfo(), nullptr);
}

// The palette rides along as side data with every pal8 packet, also when
// the handler sets it on the first frame only.
TEST_F(FrameInputTest, Pal8PaletteSideData) {
  adapter_->SetOnReadFrameCanvas([](TObject*, Bitmap& canvas, TInputFrameInfo* info) {
    if (!info->Palette) return -1;
    // Locked for the call: another thread cannot take it.
    const bool unlocked = std::async(std::launch::async, [&] {
                            if (!canvas.canvas.try_lock()) return false;
                            canvas.canvas.unlock();
                            return true;
                          }).get();
    if (unlocked) return -2;
    if (info->FrameNumber == 1)
      for (int i = 0; i < AVPALETTE_SIZE; ++i) info->Palette[i] = std::uint8_t(i * 7);
    canvas.row(0)[0] = std::uint8_t(info->FrameNumber);
    return 0;
  });
  ASSERT_EQ(open({{"video_size", "16x8"}, {"input_type", "canvas"}, {"pixel_format", "pal8"}}), 0);
  for (int frame = 1; frame <= 2; ++frame) {
    SCOPED_TRACE(frame);
    ASSERT_EQ(read(), 0);
    std::size_t size = 0;
    const std::uint8_t* pal = ff::av_packet_get_side_data(pkt_.get(), AV_PKT_DATA_PALETTE, &size);
    ASSERT_NE(pal, nullptr);
    EXPECT_EQ(size, std::size_t(AVPALETTE_SIZE));
    EXPECT_EQ(pal[1], 7);
    EXPECT_EQ(pal[1023], std::uint8_t(1023 * 7));
    EXPECT_EQ(pkt_->data[0], frame);
  }
}

// 25 frames per second run 0, 40000, 80000; a handler's later timestamp
// re-bases the clock; an earlier one is refused with a warning.
TEST_F(FrameInputTest, TimestampsAndRebase) {
  std::vector<std::int64_t> seen_by_handler;
  adapter_->SetOnReadFrameYUV([&](TObject*, std::uint8_t*, TInputFrameInfo* info) {
    seen_by_handler.push_back(info->TimeStamp);
    if (info->FrameNumber == 4) info->TimeStamp = 1000000;
    if (info->FrameNumber == 6) info->TimeStamp = 500000;
    return 0;
  });
  ASSERT_EQ(open({{"video_size", "32x16"}, {"framerate", "25"}}), 0);
  std::vector<std::int64_t> pts;
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(pkt_->size, 32 * 16 * 3 / 2);
    EXPECT_TRUE(pkt_->flags & AV_PKT_FLAG_KEY);
    pts.push_back(pkt_->pts);
  }
  const std::vector<std::int64_t> expected{0, 40000, 80000, 1000000, 1040000, 1080000, 1120000};
  EXPECT_EQ(pts, expected);
  EXPECT_EQ(seen_by_handler[5], 1080000);
  EXPECT_TRUE(logged("invalid pts 500000"));
  EXPECT_EQ(adapter_->FrameInfo()->LastTimeStamp, 1120000);
  EXPECT_EQ(adapter_->FrameInfo()->FrameNumber, 8);
}

// "Try again" reaches the reader and leaves the clock where it was; other
// failures end the input with the handler's code.
TEST_F(FrameInputTest, HandlerResults) {
  int calls = 0;
  adapter_->SetOnReadFrameYUV([&](TObject* sender, std::uint8_t*, TInputFrameInfo* info) {
    EXPECT_EQ(sender, adapter_.get());
    ++calls;
    if (calls == 1) return AVERROR(EAGAIN);
    if (calls == 3) throw std::runtime_error("no picture");
    return info->FrameNumber == 1 ? 0 : AVERROR(EIO);
  });
  ASSERT_EQ(open({{"video_size", "32x16"}, {"framerate", "25"}}), 0);
  EXPECT_EQ(read(), AVERROR(EAGAIN));
  EXPECT_TRUE(logged("reading frame (YUV) return -11"));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(pkt_->pts, 0);
  EXPECT_EQ(read(), AVERROR_EXTERNAL);
  EXPECT_TRUE(logged("Error occurs OnReadFrameYUV: no picture"));
  EXPECT_EQ(read(), AVERROR(EIO));
  // Without a handler the input ends.
  adapter_->SetOnReadFrameYUV(nullptr);
  EXPECT_EQ(read(), -1);
}

// A canvas handler that changes the bitmap's size is refused instead of
// copying beyond its pixels.
TEST_F(FrameInputTest, CanvasMustKeepItsSize) {
  adapter_->SetOnReadFrameCanvas([](TObject*, Bitmap& canvas, TInputFrameInfo*) {
    canvas.setSize(4, 4);
    return 0;
  });
  ASSERT_EQ(open({{"video_size", "64x48"}, {"input_type", "canvas"}, {"pixel_format", "bgra"}}), 0);
  EXPECT_EQ(read(), AVERROR(EINVAL));
  EXPECT_TRUE(logged("the canvas size or format changed"));
}

// The record a handler receives is writable, but the input keeps its own
// sizes: a handler that changes them gets them back on the next call, and
// every packet keeps the header's size.
TEST_F(FrameInputTest, HandlerCannotChangeTheSizes) {
  std::vector<std::int32_t> lines_seen;
  adapter_->SetOnReadFrameBMP([&](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
    lines_seen.push_back(info->BytesPerLine);
    fillRows(data, *info);
    info->BytesPerLine = 4096;
    info->BytesPerFrame = 16;
    info->Width = 1;
    info->Height = 100000;
    info->PixelFormat = AV_PIX_FMT_GRAY8;
    info->FrameNumber = -7;
    info->LastTimeStamp = INT64_MAX;
    return 0;
  });
  ASSERT_EQ(open({{"video_size", "640x480"},
                  {"input_type", "bmp"},
                  {"pixel_format", "bgr24"},
                  {"framerate", "25"}}),
            0);
  for (int frame = 0; frame < 3; ++frame) {
    SCOPED_TRACE(frame);
    ASSERT_EQ(read(), 0);
    ASSERT_EQ(pkt_->size, 1920 * 480);
    EXPECT_EQ(pkt_->pts, frame * 40000);
    EXPECT_EQ(pkt_->data[479 * 1920 + 1919], 479 % 251);
  }
  EXPECT_EQ(lines_seen, (std::vector<std::int32_t>{1920, 1920, 1920}));
  EXPECT_EQ(adapter_->FrameInfo()->FrameNumber, 4);

  std::vector<std::int32_t> sizes_seen;
  adapter_->SetOnReadFrameYUV([&](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
    sizes_seen.push_back(info->BytesPerFrame);
    std::fill_n(data, info->BytesPerFrame, std::uint8_t(0x40));
    info->BytesPerFrame = 10;
    return 0;
  });
  ASSERT_EQ(open({{"video_size", "32x16"}, {"framerate", "25"}}), 0);
  for (int frame = 0; frame < 2; ++frame) {
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(pkt_->size, 32 * 16 * 3 / 2);
  }
  EXPECT_EQ(sizes_seen, (std::vector<std::int32_t>{768, 768}));
}

// A timestamp at either end of the 64-bit range cannot drive the frame
// clock past its end: it is refused like a timestamp that goes back.
TEST_F(FrameInputTest, TimestampsOutOfRangeRefused) {
  adapter_->SetOnReadFrameYUV([&](TObject*, std::uint8_t*, TInputFrameInfo* info) {
    if (info->FrameNumber == 2) info->TimeStamp = INT64_MAX;
    if (info->FrameNumber == 3) info->TimeStamp = INT64_MAX - 1000000;
    if (info->FrameNumber == 4) info->TimeStamp = INT64_MIN + 1;
    if (info->FrameNumber == 5) info->TimeStamp = 3000000;
    return 0;
  });
  ASSERT_EQ(open({{"video_size", "32x16"}, {"framerate", "1/1000000"}}), 0);
  std::vector<std::int64_t> pts;
  for (int i = 0; i < 6; ++i) {
    ASSERT_EQ(read(), 0);
    pts.push_back(pkt_->pts);
  }
  EXPECT_EQ(pts, (std::vector<std::int64_t>{0, 1000000000000, 2000000000000, 3000000000000,
                                            4000000000000, 5000000000000}));
  EXPECT_TRUE(logged("invalid pts 9223372036854775807"));
  EXPECT_TRUE(logged("invalid pts -9223372036854775807"));
  // 3 s is behind the clock at one frame per million seconds.
  EXPECT_TRUE(logged("invalid pts 3000000"));
}

}  // namespace
