// The waves and spectrum computations of the audio display.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "foundation/FFLoader.h"
#include "player/AudioDisplay.h"

using namespace corvane;

namespace {

std::vector<std::int16_t> sine(int frames, int channels, double cyclesPerFrame, double amp) {
  std::vector<std::int16_t> v(static_cast<std::size_t>(frames * channels));
  for (int i = 0; i < frames; ++i)
    for (int c = 0; c < channels; ++c)
      v[static_cast<std::size_t>(i * channels + c)] = static_cast<std::int16_t>(
          std::lround(amp * std::sin(2 * std::numbers::pi * cyclesPerFrame * i)));
  return v;
}

TEST(AudioDisplay, BitsAndStartIndex) {
  EXPECT_EQ(VisBits(1), 1);
  EXPECT_EQ(VisBits(240), 9);  // 512 >= 480
  EXPECT_EQ(VisBits(256), 9);  // 512 >= 512
  EXPECT_EQ(VisBits(257), 10);

  // Nothing buffered, no callback yet: the window ends data used before the write position.
  TAudioTiming t{2, 48000, 0, 0};
  EXPECT_EQ(DisplayStart(10000, 524288, t, 0, 100), 10000 - 2 * 100 * 2);
  // Before the ring's start the index wraps to its end (never negative).
  EXPECT_EQ(DisplayStart(100, 524288, t, 0, 100), 524288 + 100 - 400);
  // Bytes still buffered push the window back; time since the callback brings it forward.
  t.write_buf_size = 4000;  // 1000 frames of 16-bit stereo
  EXPECT_EQ(DisplayStart(20000, 524288, t, 0, 100), 20000 - (1000 + 200) * 2);
  t.callback_time = 1'000'000;
  EXPECT_EQ(DisplayStart(20000, 524288, t, 1'010'000, 100), 20000 - (1000 - 480 + 200) * 2);
  // At least the data used, however late the callback was.
  EXPECT_EQ(DisplayStart(20000, 524288, t, 9'000'000, 100), 20000 - 100 * 2);
}

TEST(AudioDisplay, WavesStartAtAFallingEdgeAndScaleToTheirRows) {
  // A slow sine: a falling zero crossing 4..5 frames after the chosen index
  // gives the biggest drop over 9 frames.
  const int channels = 2;
  auto s = sine(4096, channels, 1.0 / 64, 16000);
  const TSampleRing ring{s.data(), static_cast<int>(s.size())};
  const int start = WaveStart(ring, 2 * 3000, channels);
  EXPECT_EQ(start % channels, 0);
  const int frame = start / channels;
  EXPECT_GE(ring.at(start + 4 * channels), 0);
  EXPECT_LT(ring.at(start + 5 * channels), 0);
  EXPECT_NEAR(frame % 64, 28, 1);  // the crossing is at frame 32 of each period
  EXPECT_LE(start, 2 * 3000);
  EXPECT_GE(start, 2 * 3000 - 1000);

  // Full-scale square wave: bars of h*9/20 down from each centre, then up.
  std::vector<std::int16_t> sq(64);
  for (int i = 0; i < 32; ++i) sq[static_cast<std::size_t>(i)] = i < 16 ? 32767 : -32768;
  for (int i = 32; i < 64; ++i) sq[static_cast<std::size_t>(i)] = 0;
  const TSampleRing r2{sq.data(), 64};
  std::vector<TRect> bars, lines;
  WaveRects(r2, 0, 2, {10, 20, 8, 200}, bars, lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], (TRect{10, 120, 8, 1}));
  // Each channel's row is 100 high, centre at 50: 8 columns each (zeros draw nothing).
  ASSERT_EQ(bars.size(), 16u);
  EXPECT_EQ(bars[0], (TRect{10, 70, 1, 44}));  // 32767 * 45 >> 15 = 44
  EXPECT_EQ(bars[8], (TRect{10, 170, 1, 44}));
  WaveRects(r2, 16, 2, {0, 0, 8, 200}, bars, lines);
  ASSERT_EQ(bars.size(), 16u);
  EXPECT_EQ(bars[0], (TRect{0, 50 - 45, 1, 45}));  // -32768 * 45 >> 15 = -45
  // Past the end the samples wrap to the ring's start.
  WaveRects(r2, 60, 1, {0, 0, 8, 100}, bars, lines);
  EXPECT_TRUE(lines.empty());
  ASSERT_EQ(bars.size(), 4u);
  EXPECT_EQ(bars[0].x, 4);
}

class SpectrumTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(FFLoader().Load(kPlayerLibraries)) << FFLoader().LastErrMsg();
  }
};

TEST_F(SpectrumTest, ToneShowsAsOneBrightRowPerChannel) {
  const int height = 240;  // 9 bits: 512 samples, 256 bins
  // Left channel at bin 40, right channel at bin 100.
  std::vector<std::int16_t> s(2 * 1024);
  for (int i = 0; i < 1024; ++i) {
    s[static_cast<std::size_t>(2 * i)] = static_cast<std::int16_t>(
        std::lround(12000 * std::sin(2 * std::numbers::pi * 40 * i / 512)));
    s[static_cast<std::size_t>(2 * i + 1)] = static_cast<std::int16_t>(
        std::lround(12000 * std::sin(2 * std::numbers::pi * 100 * i / 512)));
  }
  const TSampleRing ring{s.data(), static_cast<int>(s.size())};
  TSpectrum spectrum;
  std::vector<std::uint32_t> column;
  ASSERT_TRUE(spectrum.Column(ring, 0, 2, height, column));
  ASSERT_EQ(column.size(), static_cast<std::size_t>(height));
  int redRow = -1, greenRow = -1;
  std::uint32_t red = 0, green = 0;
  for (int y = 0; y < height; ++y) {
    const std::uint32_t r = (column[static_cast<std::size_t>(y)] >> 16) & 0xFF;
    const std::uint32_t g = (column[static_cast<std::size_t>(y)] >> 8) & 0xFF;
    if (r > red) red = r, redRow = y;
    if (g > green) green = g, greenRow = y;
  }
  // Bins count from the bottom row.
  EXPECT_EQ(redRow, height - 1 - 40);
  EXPECT_EQ(greenRow, height - 1 - 100);
  EXPECT_GT(red, 100u);
  const std::uint32_t px = column[static_cast<std::size_t>(redRow)];
  EXPECT_EQ(px & 0xFF, (((px >> 16) & 0xFF) + ((px >> 8) & 0xFF)) / 2);
  // Far from both tones the column is dark.
  EXPECT_LT((column[10] >> 16) & 0xFF, 20u);

  // A mono source shows the same magnitude in red and green; a new height
  // sets the transform up again.
  auto mono = sine(2048, 1, 64.0 / 1024, 12000);
  const TSampleRing r1{mono.data(), static_cast<int>(mono.size())};
  ASSERT_TRUE(spectrum.Column(r1, 0, 1, 500, column));  // 10 bits: 1024 samples
  ASSERT_EQ(column.size(), 500u);
  const std::uint32_t peak = column[500 - 1 - 64];
  EXPECT_GT((peak >> 16) & 0xFF, 100u);
  EXPECT_EQ((peak >> 16) & 0xFF, (peak >> 8) & 0xFF);
}

}  // namespace
