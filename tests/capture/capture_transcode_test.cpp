// Whole tasks fed by the capture adapters, written losslessly and read back:
// every picture in order with its timestamp and rows, every sample in place.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "capture/FrameInputAdapter.h"
#include "capture/FrameInputFormat.h"
#include "capture/WaveInputAdapter.h"
#include "capture/WaveInputFormat.h"
#include "capture_rig.h"

using namespace corvane;

namespace {

constexpr int kFrames = 10;

// Byte value of row y of picture n (1-based): rows and pictures differ.
std::uint8_t rowValue(int n, int y) { return std::uint8_t((n * 8 + y) % 128); }

class CaptureTranscodeTest : public testrig::CaptureTest {
 protected:
  bool run(const std::string& in_options, const std::string& url, const std::string& out_options,
           const std::string& out) {
    TCustomFFmpeg& task = newTask();
    if (openInput(in_options, url) < 0 || openOutput(out_options, out) < 0) {
      ADD_FAILURE() << task.FLastErrMsg;
      return false;
    }
    task.StartConvert(false);
    EXPECT_TRUE(task.Finished()) << task.FatalMessage();
    return task.Finished();
  }
};

// Numbered pictures through each input kind: every third call first asks
// the task to try again; the input ends after kFrames pictures.
TEST_F(CaptureTranscodeTest, PicturesOfEveryKind) {
  struct Case {
    const char* kind;
    const char* pix_fmt;
    int width, height;
  } cases[] = {
      {"yuv", "yuv420p", 64, 48}, {"bmp", "bgr24", 33, 17},      {"canvas", "bgra", 64, 48},
      {"bmp", "gray8", 30, 20},   {"canvas", "rgb555le", 31, 9},
  };
  RegisterFrameInputFormat();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.pix_fmt + " " + std::to_string(c.width));
    auto adapter = std::make_shared<TFrameInputAdapter>();
    adapter->SetTriggerEventInMainThread(false);
    int calls = 0;
    auto paint = [&](std::uint8_t* data, int stride, TInputFrameInfo* info) {
      if (++calls % 3 == 0) return AVERROR(EAGAIN);
      if (info->FrameNumber > kFrames) return AVERROR_EOF;
      for (int y = 0; y < info->Height; ++y)
        std::memset(data + y * stride, rowValue(info->FrameNumber, y),
                    static_cast<std::size_t>(stride));
      return 0;
    };
    adapter->SetOnReadFrameYUV([&](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
      std::memset(data, 128, static_cast<std::size_t>(info->BytesPerFrame));
      return paint(data, info->Width, info);
    });
    adapter->SetOnReadFrameBMP([&](TObject*, std::uint8_t* data, TInputFrameInfo* info) {
      return paint(data, info->BytesPerLine, info);
    });
    adapter->SetOnReadFrameCanvas([&](TObject*, Bitmap& canvas, TInputFrameInfo* info) {
      return paint(canvas.pixels.data(), canvas.stride, info);
    });
    const std::string in = std::string("-f frameinput -input_type ") + c.kind + " -pix_fmt " +
                           c.pix_fmt + " -r 25 -s " + std::to_string(c.width) + "x" +
                           std::to_string(c.height);
    const std::string out = path("pictures.nut");
    ASSERT_TRUE(run(in, adapter->RegistryUrl(), "-c:v rawvideo", out));

    std::vector<testrig::Picture> pictures;
    ASSERT_TRUE(testrig::decodeAll(out, AVMEDIA_TYPE_VIDEO, &pictures, nullptr));
    ASSERT_EQ(pictures.size(), std::size_t(kFrames));
    for (int n = 1; n <= kFrames; ++n) {
      const testrig::Picture& p = pictures[n - 1];
      SCOPED_TRACE(n);
      EXPECT_EQ(p.us, (n - 1) * 40000);
      EXPECT_EQ(p.format, ff::av_get_pix_fmt(c.pix_fmt));
      ASSERT_EQ(p.height, c.height);
      for (int y = 0; y < c.height; ++y) {
        const std::vector<std::uint8_t> row(p.rows[y].size(), rowValue(n, y));
        ASSERT_EQ(p.rows[y], row) << "row " << y;
      }
    }
  }
}

// Stereo s16 at 48 kHz: a tone with a full-scale click at every second,
// delivered in packets of changing sizes with "nothing yet" in between.
std::int16_t toneSample(std::int64_t frame) {
  if (frame % 48000 == 0) return 30000;
  return static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 440 * frame / 48000.0)));
}

TEST_F(CaptureTranscodeTest, ToneWithClicks) {
  constexpr std::int64_t kTotal = 3 * 48000 + 100;  // sample frames
  RegisterWaveInputFormat();
  auto adapter = std::make_shared<TWaveInputAdapter>();
  std::int64_t next = 0;
  int calls = 0;
  adapter->SetOnReadWaveData([&](TObject*, std::uint8_t* data, TInputWaveInfo* info) {
    EXPECT_EQ(info->TotalSize, next * 4);
    const int sizes[] = {1024, 512, 0, 100, 1024, 7};
    const int wanted = sizes[calls++ % 6];
    const std::int64_t count = std::min<std::int64_t>(wanted, kTotal - next);
    if (next >= kTotal) return AVERROR_EOF;
    auto* out = reinterpret_cast<std::int16_t*>(data);
    for (std::int64_t i = 0; i < count; ++i) out[2 * i] = out[2 * i + 1] = toneSample(next + i);
    next += count;
    return static_cast<int>(count * 4);
  });
  const std::string out = path("tone.nut");
  ASSERT_TRUE(run("-f waveinput -ar 48000 -ac 2 -sample_fmt s16", adapter->RegistryUrl(),
                  "-c:a pcm_s16le", out));
  std::vector<std::int16_t> samples;
  int late = 0;
  ASSERT_TRUE(testrig::decodeAll(out, AVMEDIA_TYPE_AUDIO, nullptr, &samples, &late));
  EXPECT_EQ(late, 0);
  ASSERT_EQ(samples.size(), std::size_t(kTotal * 2));
  for (int second = 0; second <= 3; ++second) {
    EXPECT_EQ(samples[second * 96000], 30000) << second;
    EXPECT_EQ(samples[second * 96000 + 1], 30000) << second;
  }
  std::int64_t wrong = 0;
  for (std::int64_t i = 0; i < kTotal; ++i)
    wrong += samples[2 * i] != toneSample(i) || samples[2 * i + 1] != toneSample(i);
  EXPECT_EQ(wrong, 0);
}

}  // namespace
