// Picture format converter against the system's libswscale.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "foundation/Errors.h"
#include "foundation/FFLoader.h"
#include "foundation/FormatConverter.h"

using namespace corvane;
using ::testing::HasSubstr;

namespace {

struct AvFree {
  void operator()(std::uint8_t* p) const { ff::av_free(p); }
};

// An owned picture with packed rows.
struct Picture {
  Picture(AVPixelFormat f, int w, int h) : format(f), width(w), height(h) {
    buf.reset(static_cast<std::uint8_t*>(ff::av_mallocz(ff::av_image_get_buffer_size(f, w, h, 1))));
    ff::av_image_fill_arrays(data, linesize, buf.get(), f, w, h, 1);
  }
  AVPixelFormat format;
  int width, height;
  std::uint8_t* data[4] = {};
  int linesize[4] = {};
  std::unique_ptr<std::uint8_t, AvFree> buf;
};

// The reference: one bare scaler run.
void scale(const Picture& src, Picture& dst) {
  SwsContext* c =
      ff::sws_getCachedContext(nullptr, src.width, src.height, src.format, dst.width, dst.height,
                               dst.format, SWS_BICUBIC, nullptr, nullptr, nullptr);
  ASSERT_NE(c, nullptr);
  ff::sws_scale(c, src.data, src.linesize, 0, src.height, dst.data, dst.linesize);
  ff::sws_freeContext(c);
}

struct Rgb {
  int r, g, b;
};

// Channels of pixel x in the bitmap layouts.
Rgb readPixel(BmpFormat f, const std::uint8_t* row, int x) {
  const auto v16 = [&] { return unsigned(row[2 * x] | row[2 * x + 1] << 8); };
  switch (f) {
    case BmpFormat::pf8bit:
      return {row[x] & 7, row[x] >> 3 & 7, row[x] >> 6};
    case BmpFormat::pf15bit:
      return {int(v16() >> 10 & 31), int(v16() >> 5 & 31), int(v16() & 31)};
    case BmpFormat::pf16bit:
      return {int(v16() >> 11), int(v16() >> 5 & 63), int(v16() & 31)};
    case BmpFormat::pf24bit:
      return {row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    default:
      return {row[4 * x + 2], row[4 * x + 1], row[4 * x]};
  }
}
// Rows of the given colours (the last repeats), as RGB24 or converted to `f`.
Picture stripes(std::initializer_list<Rgb> rows, AVPixelFormat f, int w, int h) {
  Picture rgb(AV_PIX_FMT_RGB24, w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const Rgb c = rows.begin()[std::min<size_t>(y, rows.size() - 1)];
      std::uint8_t* p = rgb.data[0] + y * rgb.linesize[0] + 3 * x;
      p[0] = std::uint8_t(c.r), p[1] = std::uint8_t(c.g), p[2] = std::uint8_t(c.b);
    }
  if (f == AV_PIX_FMT_RGB24) return rgb;
  Picture out(f, w, h);
  scale(rgb, out);
  return out;
}

// The one channel near its maximum while the others are near zero, else -1.
int dominant(BmpFormat f, Rgb v) {
  constexpr Rgb kMax[] = {{7, 7, 3}, {31, 31, 31}, {31, 63, 31}, {255, 255, 255}, {255, 255, 255}};
  const Rgb m = kMax[static_cast<int>(f) - 3];
  const bool hi[] = {v.r * 3 >= m.r * 2, v.g * 3 >= m.g * 2, v.b * 3 >= m.b * 2};
  const bool lo[] = {v.r * 3 <= m.r, v.g * 3 <= m.g, v.b * 3 <= m.b};
  for (int k = 0; k < 3; ++k)
    if (hi[k] && lo[(k + 1) % 3] && lo[(k + 2) % 3]) return k;
  return -1;
}

constexpr BmpFormat kFormats[] = {BmpFormat::pf8bit, BmpFormat::pf15bit, BmpFormat::pf16bit,
                                  BmpFormat::pf24bit, BmpFormat::pf32bit};

class FormatConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFLoader().Load(kEncoderLibraries)) << FFLoader().LastErrMsg();
  }
  bool convert(int w, int h, bool copy = true, AVPixelFormat f = AV_PIX_FMT_YUV420P) {
    // Failing sizes never reach the source; keep it small.
    Picture p =
        stripes({{255, 0, 0}}, AV_PIX_FMT_YUV420P, std::clamp(w, 2, 1024), std::clamp(h, 2, 1024));
    return conv.PictureToRGB(p.data, p.linesize, f, w, h, copy);
  }
  TFormatConverter conv;
};

TEST_F(FormatConverterTest, DefaultsAndMisuseWithoutPicture) {
  EXPECT_EQ(conv.BitsPixel(), 32);
  EXPECT_EQ(conv.BMPPixFmt(), BmpFormat::pf32bit);
  EXPECT_EQ(conv.AVPixFmt(), AV_PIX_FMT_BGRA);
  EXPECT_EQ(conv.sws_flags(), SWS_BICUBIC);
  EXPECT_EQ(conv.RGBPictureRef(), nullptr);
  EXPECT_EQ(conv.Bitmap().format, BmpFormat::pf32bit);
  EXPECT_TRUE(conv.Bitmap().alpha_defined);
  EXPECT_THROW(conv.RGBToBitmap(), EAssertionFailed);
  EXPECT_THROW(conv.BitmapToRGB(), EAssertionFailed);
  EXPECT_THROW(conv.RGBToPicture(nullptr, nullptr, AV_PIX_FMT_YUV420P, 2, 2), EAssertionFailed);
}

// Steps from the defaults; a failed or unchanged setting keeps the picture.
TEST_F(FormatConverterTest, SettingsSelectFormatsOrRaiseAndKeepTheFormat) {
  struct Step {
    int bits;  // 0: set BMPPixFmt to `value` instead
    int value;
    BmpFormat format;
    int bitsPixel;
    AVPixelFormat pixFmt;
    const char* error;
  };
  const Step steps[] = {
      {15, 0, BmpFormat::pf15bit, 16, AV_PIX_FMT_RGB555LE, nullptr},
      {16, 0, BmpFormat::pf16bit, 16, AV_PIX_FMT_RGB565LE, nullptr},
      {15, 0, BmpFormat::pf15bit, 16, AV_PIX_FMT_RGB555LE, nullptr},
      {15, 0, BmpFormat::pf15bit, 16, AV_PIX_FMT_RGB555LE, nullptr},
      {8, 0, BmpFormat::pf8bit, 8, AV_PIX_FMT_BGR8, nullptr},
      {24, 0, BmpFormat::pf24bit, 24, AV_PIX_FMT_BGR24, nullptr},
      {0, 7, BmpFormat::pf32bit, 32, AV_PIX_FMT_BGRA, nullptr},
      {12, 0, BmpFormat::pf32bit, 32, AV_PIX_FMT_BGRA, "Invalid BitsPixel 12"},
      {0, 2, BmpFormat::pf32bit, 32, AV_PIX_FMT_BGRA, "Invalid PixelFormat 2"},
      {0, 8, BmpFormat::pf32bit, 32, AV_PIX_FMT_BGRA, "Invalid PixelFormat 8"},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(testing::Message() << "bits " << s.bits << " value " << s.value);
    ASSERT_TRUE(convert(4, 2));
    const BmpFormat before = conv.BMPPixFmt();
    try {
      if (s.bits)
        conv.SetBitsPixel(s.bits);
      else
        conv.SetBMPPixFmt(static_cast<BmpFormat>(s.value));
      EXPECT_EQ(s.error, nullptr);
    } catch (const EFormatConverterError& e) {
      ASSERT_NE(s.error, nullptr);
      EXPECT_STREQ(e.what(), s.error);
    }
    EXPECT_EQ(conv.BMPPixFmt(), s.format);
    EXPECT_EQ(conv.BitsPixel(), s.bitsPixel);
    EXPECT_EQ(conv.AVPixFmt(), s.pixFmt);
    EXPECT_EQ(conv.Bitmap().format, s.format);
    EXPECT_EQ(conv.Bitmap().alpha_defined, s.bitsPixel == 32);
    EXPECT_EQ(conv.RGBPictureRef() == nullptr, before != s.format);
  }
}

TEST_F(FormatConverterTest, BufferIsKeptForSmallerPictures) {
  ASSERT_TRUE(convert(640, 480, false));
  const std::uint8_t* first = conv.RGBPicture().data[0];
  ASSERT_TRUE(convert(320, 240, false));
  EXPECT_EQ(conv.RGBBufSize(), 640 * 480 * 4);
  EXPECT_EQ(conv.RGBPicture().data[0], first);
  EXPECT_EQ(conv.DIB().width, 320);
  EXPECT_EQ(conv.Bitmap().width, 320);
  ASSERT_TRUE(convert(800, 600, false));
  EXPECT_EQ(conv.RGBBufSize(), 800 * 600 * 4);
}

// Rows red, green, blue top down; the bitmap pads each row to 4 bytes. (The
// library's direct RGB to 15/16-bit paths spoil the last pixel of odd widths,
// so the source is YUV 4:4:4.)
TEST_F(FormatConverterTest, DibAndBitmapRowsTopFirst) {
  struct Case {
    BmpFormat format;
    int bits, width, height, bytesPerRow, stride;
  };
  const Case cases[] = {{BmpFormat::pf32bit, 32, 4, 2, 16, 16},
                        {BmpFormat::pf24bit, 24, 3, 3, 9, 12},
                        {BmpFormat::pf16bit, 16, 3, 2, 6, 8},
                        {BmpFormat::pf15bit, 16, 1, 3, 2, 4},
                        {BmpFormat::pf8bit, 8, 5, 3, 5, 8}};
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.format));
    conv.SetBMPPixFmt(c.format);
    Picture src =
        stripes({{255, 0, 0}, {0, 255, 0}, {0, 0, 255}}, AV_PIX_FMT_YUV444P, c.width, c.height);
    ASSERT_TRUE(conv.PictureToRGB(src.data, src.linesize, src.format, c.width, c.height, true));
    const DibInfo& d = conv.DIB();
    EXPECT_EQ(d.type, 0);
    EXPECT_EQ(d.width, c.width);
    EXPECT_EQ(d.height, c.height);
    EXPECT_EQ(d.bytesPerRow, c.bytesPerRow);
    EXPECT_EQ(d.planes, 1);
    EXPECT_EQ(d.bitsPerPixel, c.bits);
    EXPECT_EQ(d.bits, conv.RGBPicture().data[0]);
    const Bitmap& bmp = conv.Bitmap();
    ASSERT_EQ(bmp.stride, c.stride);
    ASSERT_EQ(bmp.pixels.size(), size_t(c.stride * c.height));
    for (int y = 0; y < c.height; ++y) {
      for (int x = 0; x < c.width; ++x)
        EXPECT_EQ(dominant(c.format, readPixel(c.format, bmp.row(y), x)), y);
      EXPECT_EQ(std::memcmp(bmp.row(y), d.bits + y * d.bytesPerRow, c.bytesPerRow), 0);
      for (int i = c.bytesPerRow; i < c.stride; ++i) EXPECT_EQ(bmp.row(y)[i], 0);
    }
  }
}

// Catches a format table with red and blue swapped.
TEST_F(FormatConverterTest, PureColoursKeepChannelOrder) {
  for (BmpFormat f : kFormats)
    for (AVPixelFormat in : {AV_PIX_FMT_RGB24, AV_PIX_FMT_YUV420P})
      for (int ch = 0; ch < 3; ++ch) {
        SCOPED_TRACE(testing::Message() << "format " << int(f) << " input " << in << " ch " << ch);
        const Rgb colour{ch == 0 ? 255 : 0, ch == 1 ? 255 : 0, ch == 2 ? 255 : 0};
        Picture p = stripes({colour}, in, 16, 8);
        conv.SetBMPPixFmt(f);
        ASSERT_TRUE(conv.PictureToRGB(p.data, p.linesize, in, 16, 8, true));
        for (int y = 0; y < 8; ++y)
          for (int x = 0; x < 16; ++x) {
            ASSERT_EQ(dominant(f, readPixel(f, conv.Bitmap().row(y), x)), ch) << x << "," << y;
            if (f == BmpFormat::pf32bit) {
              ASSERT_EQ(conv.Bitmap().row(y)[4 * x + 3], 255);
            }
          }
      }
}

// A smooth YUV 4:2:0 picture through RGB (and the bitmap) and back, against
// the same conversions made directly; the way back may scale.
TEST_F(FormatConverterTest, RoundTripsMatchDirectConversion) {
  constexpr int W = 64, H = 48;
  Picture src(AV_PIX_FMT_YUV420P, W, H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      src.data[0][y * src.linesize[0] + x] = std::uint8_t(40 + 2 * x + y);
      if (x % 2 == 0 && y % 2 == 0) {
        src.data[1][y / 2 * src.linesize[1] + x / 2] = std::uint8_t(96 + x);
        src.data[2][y / 2 * src.linesize[2] + x / 2] = std::uint8_t(160 - y);
      }
    }
  const struct { int w, h; } sizes[] = {{W, H}, {W / 2, H / 2}, {W * 2, H * 2}};
  // Mean error of the round trip itself, from the coarsest step of each layout.
  const double bound[] = {12, 3, 3, 2, 2};
  for (size_t fi = 0; fi < std::size(kFormats); ++fi) {
    const BmpFormat f = kFormats[fi];
    conv.SetBMPPixFmt(f);
    Picture direct(bmpPixelFormat(f), W, H);
    scale(src, direct);
    ASSERT_TRUE(conv.PictureToRGB(src.data, src.linesize, src.format, W, H, true));
    // Only the bitmap keeps the picture now.
    std::memset(conv.RGBPicture().data[0], 0, size_t(conv.RGBBufSize()));
    ASSERT_TRUE(conv.BitmapToRGB());
    const PicturePlanes& rgb = conv.RGBPicture();
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const Rgb a = readPixel(f, rgb.data[0] + y * rgb.linesize[0], x);
        const Rgb b = readPixel(f, direct.data[0] + y * direct.linesize[0], x);
        ASSERT_LE(std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b), 1)
            << int(f) << " at " << x << "," << y;
      }
    for (auto s : sizes) {
      SCOPED_TRACE(testing::Message() << "format " << int(f) << " to " << s.w << "x" << s.h);
      Picture back(AV_PIX_FMT_YUV420P, s.w, s.h), ref(AV_PIX_FMT_YUV420P, s.w, s.h);
      ASSERT_TRUE(conv.RGBToPicture(back.data, back.linesize, back.format, s.w, s.h));
      scale(direct, ref);
      const int n = ff::av_image_get_buffer_size(back.format, s.w, s.h, 1);
      double err = 0;
      for (int i = 0; i < n; ++i) {
        ASSERT_LE(std::abs(back.buf.get()[i] - ref.buf.get()[i]), 1) << "byte " << i;
        if (s.w == W) err += std::abs(back.buf.get()[i] - src.buf.get()[i]);
      }
      EXPECT_LE(err / n, bound[fi]);
    }
  }
}

TEST_F(FormatConverterTest, ChangedBitmapIsRejected) {
  const std::function<void(Bitmap&)> changes[] = {
      [](Bitmap& b) { b.setSize(b.width + 1, b.height); },
      [](Bitmap& b) { b.setSize(b.width, b.height - 1); },
      [](Bitmap& b) { b.setFormat(BmpFormat::pf24bit); },
      [](Bitmap& b) { b.pixels.resize(b.pixels.size() / 2); },
  };
  for (const auto& change : changes) {
    ASSERT_TRUE(convert(8, 4));
    const std::vector<std::uint8_t> before(conv.DIB().bits, conv.DIB().bits + 8 * 4 * 4);
    change(conv.Bitmap());
    EXPECT_FALSE(conv.BitmapToRGB());
    EXPECT_THAT(conv.LastErrMsg(), HasSubstr("does not match the RGB picture"));
    EXPECT_EQ(std::vector<std::uint8_t>(conv.DIB().bits, conv.DIB().bits + 8 * 4 * 4), before);
    // Copying to the bitmap restores its shape.
    conv.RGBToBitmap();
    conv.Bitmap().row(3)[0] = 0x5A;
    ASSERT_TRUE(conv.BitmapToRGB());
    EXPECT_EQ(conv.DIB().bits[3 * 32], 0x5A);
  }
}

TEST_F(FormatConverterTest, FailuresReportAndLeaveNoPicture) {
  const struct {
    int w, h;
    AVPixelFormat f;
    const char* error;
  } cases[] = {
      {0, 2, AV_PIX_FMT_YUV420P, "Invalid picture size 0x2"},
      {4, 0, AV_PIX_FMT_YUV420P, "Invalid picture size 4x0"},
      {-4, 2, AV_PIX_FMT_YUV420P, "Invalid picture size -4x2"},
      {4, -2, AV_PIX_FMT_YUV420P, "Invalid picture size 4x-2"},
      {100000, 100000, AV_PIX_FMT_YUV420P, "Invalid picture size 100000x100000"},
      {4, 2, AV_PIX_FMT_NONE, "Cannot initialize the toRGB conversion context"},
      {4, 2, AV_PIX_FMT_VAAPI, "Cannot initialize the toRGB conversion context"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(convert(4, 2));
    EXPECT_FALSE(convert(c.w, c.h, true, c.f));
    EXPECT_EQ(conv.LastErrMsg(), c.error);
    EXPECT_EQ(conv.RGBPictureRef(), nullptr);
    EXPECT_EQ(conv.DIB().bits, nullptr);
  }

  ASSERT_TRUE(convert(4, 2));
  Picture out(AV_PIX_FMT_YUV420P, 4, 2);
  EXPECT_FALSE(conv.RGBToPicture(out.data, out.linesize, out.format, 0, 2));
  EXPECT_EQ(conv.LastErrMsg(), "Invalid picture size 0x2");
  for (AVPixelFormat f : {AV_PIX_FMT_NONE, AV_PIX_FMT_PAL8}) {
    EXPECT_FALSE(conv.RGBToPicture(out.data, out.linesize, f, 4, 2));
    EXPECT_EQ(conv.LastErrMsg(), "Cannot initialize the fromRGB conversion context");
  }
  EXPECT_NE(conv.RGBPictureRef(), nullptr);

  // Allocation failure, with the library's allocation limit lowered.
  Picture big(AV_PIX_FMT_YUV420P, 64, 64);
  struct Limit {
    Limit() { ff::av_max_alloc(16 * 16 * 4); }
    ~Limit() { ff::av_max_alloc(INT_MAX); }
  } limit;
  EXPECT_FALSE(conv.PictureToRGB(big.data, big.linesize, big.format, 64, 64, false));
  EXPECT_EQ(conv.LastErrMsg(), "Cannot allocate 16384 bytes for the RGB picture");
  EXPECT_EQ(conv.RGBPictureRef(), nullptr);
}

}  // namespace
