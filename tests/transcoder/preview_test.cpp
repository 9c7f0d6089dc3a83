// Preview outputs: captions, device buffer sizes, and the picture preview of
// a task painting into a sink until the sink is closed.
#include "transcoder/Preview.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/TranscoderRig.h"
#include "transcoder/WavePlayer.h"

using namespace corvane;

namespace {

TEST(PreviewCaption, HoursMinutesSecondsMilliseconds) {
  const struct {
    std::int64_t pts;
    const char* caption;
  } cases[] = {{AV_NOPTS_VALUE, "N/A"},
               {0, "00:00:00.005"},
               {1234567, "00:00:01.239"},
               {3723004000, "01:02:03.009"},
               {99 * 3600000000LL, "99:00:00.005"},
               {-1500000, "-00:00:01.505"}};
  for (const auto& c : cases) EXPECT_EQ(PreviewCaption(c.pts), c.caption) << c.pts;
}

TEST(WavePlayerSpec, DefaultsAndBufferSizes) {
  const struct {
    int freq, channels;
    int want_freq, want_samples, want_size;
  } cases[] = {{48000, 2, 48000, 4096, 16384},
               {44100, 2, 44100, 2048, 8192},
               {22050, 1, 22050, 1024, 2048},
               {0, 0, 22050, 1024, 4096},
               {8000, 6, 8000, 512, 6144}};
  for (const auto& c : cases) {
    SDL_AudioSpec s{};
    s.freq = c.freq;
    s.channels = static_cast<Uint8>(c.channels);
    std::string error;
    ASSERT_TRUE(CompleteAudioSpec(s, error)) << error;
    EXPECT_EQ(s.freq, c.want_freq);
    EXPECT_EQ(s.format, AUDIO_S16LSB);
    EXPECT_EQ(s.samples, c.want_samples) << c.freq;
    EXPECT_EQ(s.size, static_cast<Uint32>(c.want_size)) << c.freq;
  }
  for (int channels : {3, 5, 8}) {
    SDL_AudioSpec s{};
    s.channels = static_cast<Uint8>(channels);
    std::string error;
    EXPECT_FALSE(CompleteAudioSpec(s, error));
    EXPECT_EQ(error, std::to_string(channels) + " channels not support.");
  }
}

// A sink that records its paints and closes itself after a few.
struct SinkLog {
  int created = 0, width = 0, height = 0, closeAfter = 3;
  std::vector<std::string> captions;
};

class RecordingSink : public IPreviewSink {
 public:
  RecordingSink(SinkLog& log, std::function<void()> onClose) : log_(log), onClose_(onClose) {}
  void Paint(const Bitmap& b, const std::string& caption) override {
    EXPECT_EQ(b.width, log_.width);
    log_.captions.push_back(caption);
    if (static_cast<int>(log_.captions.size()) == log_.closeAfter) onClose_();
  }

 private:
  SinkLog& log_;
  std::function<void()> onClose_;
};

TPreviewSinkFactory recordingFactory(SinkLog& log) {
  return [&log](int w, int h, std::function<void()> onClose) {
    ++log.created;
    log.width = w;
    log.height = h;
    return std::make_unique<RecordingSink>(log, std::move(onClose));
  };
}

class PreviewTest : public testrig::TranscoderTest {
 protected:
  TCustomFFmpeg& previewTask() {
    TCustomFFmpeg& t = newTask();
    EXPECT_GE(openInput("-f lavfi", "testsrc=size=160x120:rate=25:duration=1"), 0) << t.FLastErrMsg;
    EXPECT_GE(openOutput("-c:v rawvideo", path("out.nut")), 0) << t.FLastErrMsg;
    t.FHooks.SetPreviewInterval(0);
    return t;
  }
};

// The window is made once at the picture's size; closing it ends the
// preview, not the task.
TEST_F(PreviewTest, ClosingTheSinkEndsPaintingNotTheTask) {
  SinkLog log;
  TCustomFFmpeg& t = previewTask();
  t.FHooks.SetPreviewSinkFactory(recordingFactory(log));
  t.FHooks.SetPostHooksLocked(phPreview | phHBITMAP);
  t.StartConvert(false);
  ASSERT_TRUE(t.Finished()) << t.FatalMessage();
  EXPECT_EQ(log.created, 1);
  EXPECT_EQ(log.width, 160);
  EXPECT_EQ(log.height, 120);
  EXPECT_EQ(log.captions,
            (std::vector<std::string>{"00:00:00.005", "00:00:00.045", "00:00:00.085"}));
  EXPECT_EQ(t.FHooks.PostHooks(), unsigned{phHBITMAP});
}

// The bitmap post hook wins over the window and reuses the bitmap of the
// video hook, at the depth asked for; without a sink factory the preview just ends.
TEST_F(PreviewTest, PreviewBitmapTakesPrecedenceAndNoSinkEndsThePreview) {
  TCustomFFmpeg& t = previewTask();
  int bitmaps = 0, painted = 0;
  EXPECT_EQ(t.SetVideoHookBitsPixel("12"), AVERROR(EINVAL));
  EXPECT_TRUE(logged("Invalid BitsPixel 12"));
  ASSERT_EQ(t.SetVideoHookBitsPixel("24"), 0);
  t.FHooks.OnOutputVideoHook.Set([&](TObject*, Bitmap& b, int, std::int64_t, bool&, bool&) {
    EXPECT_EQ(b.format, BmpFormat::pf24bit);
    b.row(0)[0] = 7;
  });
  t.FHooks.OnPreviewBitmap.Set([&](TObject*, const Bitmap& b, int n, std::int64_t) {
    EXPECT_EQ(n, bitmaps);
    EXPECT_EQ(b.row(0)[0], 7) << "the hooked bitmap";
    ++bitmaps;
  });
  t.FHooks.SetPostHooksLocked(phPreview | phBitmap);
  t.FHooks.SetPreviewSinkFactory([&](int, int, std::function<void()>) {
    ++painted;
    return std::unique_ptr<IPreviewSink>();
  });
  t.StartConvert(false);
  ASSERT_TRUE(t.Finished()) << t.FatalMessage();
  EXPECT_EQ(bitmaps, 25);
  EXPECT_EQ(painted, 0);

  TCustomFFmpeg& u = previewTask();
  u.FHooks.SetPostHooksLocked(phPreview);
  u.StartConvert(false);
  ASSERT_TRUE(u.Finished()) << u.FatalMessage();
  EXPECT_EQ(u.FHooks.PostHooks(), 0u);
}

}  // namespace
