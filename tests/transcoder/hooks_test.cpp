// Hooks on a task's pictures and sound, on the caller's thread; what they
// write is read back from the output files.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "support/DecodedReadBack.h"
#include "support/TranscoderRig.h"
#include "testmedia/OutputFile.h"

using namespace corvane;
using testrig::decodeLuma;
using testrig::LumaPicture;

namespace {

constexpr int kWidth = 176, kHeight = 144, kFrames = 30, kBlock = 16;

// Luma of source picture n: flat, distinct per picture.
int sourceLuma(int n) { return 20 + 4 * n; }

// Where picture n gets its white block: one macroblock of the top row.
int blockX(int n) { return (n % 8) * kBlock; }

void paintLuma(AVFrame* f, int n) {
  for (int r = 0; r < kBlock; ++r)
    std::memset(f->data[0] + r * f->linesize[0] + blockX(n), 235, kBlock);
}

void paintBitmap(Bitmap& b, int n) {
  const int bytes = b.stride / b.width;
  for (int r = 0; r < kBlock; ++r)
    std::memset(b.row(r) + blockX(n) * bytes, 255, static_cast<std::size_t>(kBlock * bytes));
}

// Picture i of the output carries the block of hook number `number` over the
// luma of source picture `source`, and nothing else of any other picture.
void expectPainted(const LumaPicture& p, int i, int number, int source, double tolerance) {
  SCOPED_TRACE("output picture " + std::to_string(i));
  EXPECT_GT(p.mean(blockX(number), 0, kBlock, kBlock), 200);
  for (int k = 0; k < 8; ++k) {
    if (k * kBlock == blockX(number)) continue;
    EXPECT_NEAR(p.mean(k * kBlock, 0, kBlock, kBlock), sourceLuma(source), tolerance)
        << "block " << k;
  }
  EXPECT_NEAR(p.mean(0, 48, kWidth, 48), sourceLuma(source), tolerance);
}

class HooksTest : public testrig::TranscoderTest {
 protected:
  // mpeg4 with two B-frames in a row: the decoder keeps reference pictures.
  std::string numberedSource() {
    const std::string file = path("numbered.nut");
    testmedia::OutputFile out("numbered", "nut", file);
    out.addVideo({.chain = "nullsrc=s=176x144:r=25:d=1.2,geq=lum=20+4*N:cb=128:cr=128",
                  .encoder = "mpeg4",
                  .bFrames = 2,
                  .qscale = 2});
    out.write();
    return file;
  }

  TCustomFFmpeg& task(const std::string& input, const std::string& input_options,
                      const std::string& output_options, const std::string& out) {
    TCustomFFmpeg& t = newTask();
    EXPECT_GE(openInput(input_options, input), 0) << t.FLastErrMsg;
    EXPECT_GE(openOutput(output_options, out), 0) << t.FLastErrMsg;
    return t;
  }
};

struct VideoCase {
  const char* name;
  bool input;   // hooks decoded pictures, else pictures about to be encoded
  bool bitmap;  // the bitmap hook, else the frame hook
};

// Decoded pictures are hooked in a copy of their own (the decoder still
// predicts from them); pictures to encode too (a B-frame encoder still holds
// the repeated ones). Every picture shows its block and only its own.
TEST_F(HooksTest, PaintedBlocksShowInEveryPictureAndOnlyThere) {
  const std::string source = numberedSource();
  const VideoCase cases[] = {{"input frame hook", true, false},
                             {"input bitmap hook", true, true},
                             {"output frame hook", false, false},
                             {"output bitmap hook", false, true}};
  for (const VideoCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out =
        path(std::string(c.input ? "in" : "out") + (c.bitmap ? "b" : "f") + ".nut");
    // Output side: doubled rate, so that every source picture goes out twice,
    // into mpeg4 with B-frames; input side: lossless.
    TCustomFFmpeg& t =
        task(source, "", c.input ? "-c:v ffv1" : "-c:v mpeg4 -bf 2 -q:v 2 -r 50 -vsync cfr", out);
    int raised = 0;
    auto frameHook = [&](TObject*, AVFrame* f, AVPixelFormat, int n, int, int, std::int64_t) {
      ++raised;
      paintLuma(f, n);
    };
    auto videoHook = [&](TObject*, Bitmap& b, int n, std::int64_t, bool&, bool&) {
      ++raised;
      paintBitmap(b, n);
    };
    if (c.bitmap)
      (c.input ? t.FHooks.OnInputVideoHook : t.FHooks.OnOutputVideoHook).Set(videoHook);
    else
      (c.input ? t.FHooks.OnInputFrameHook : t.FHooks.OnOutputFrameHook).Set(frameHook);
    t.StartConvert(false);
    ASSERT_TRUE(t.Finished()) << t.FatalMessage();

    const std::vector<LumaPicture> pics = decodeLuma(out);
    const int expected = c.input ? kFrames : 2 * kFrames;
    ASSERT_GE(static_cast<int>(pics.size()), expected - 1);
    EXPECT_EQ(raised, static_cast<int>(pics.size()));
    for (int i = 0; i < static_cast<int>(pics.size()); ++i) {
      // Input pictures are numbered from 1, output pictures from 0.
      if (c.input)
        expectPainted(pics[i], i, i + 1, i, 6);
      else
        expectPainted(pics[i], i, i, i / 2, 6);
    }
  }
}

// Two outputs of one split share their samples; the hook of one output
// silences only that one.
class SplitTask : public TCustomFFmpeg {
 public:
  void OutputFrameHook(TOutputStream& ost, AVFrame* frame) override {
    current_file = ost.file_index;
    TCustomFFmpeg::OutputFrameHook(ost, frame);
  }
  int current_file = -1;
};

TEST_F(HooksTest, AudioHookOnOneOutputOfASplitLeavesTheOtherIntact) {
  auto owned = std::make_unique<SplitTask>();
  SplitTask& t = *owned;
  engine_ = std::move(owned);
  ASSERT_GE(openInput("-f lavfi", "aevalsrc=0.5:s=48000:d=1"), 0) << t.FLastErrMsg;
  ASSERT_GE(
      openOutput("-filter_complex aformat=sample_fmts=s16,asplit[a][b] -map [a] -c:a pcm_s16le",
                 path("a.wav")),
      0)
      << t.FLastErrMsg;
  ASSERT_GE(openOutput("-map [b] -c:a pcm_s16le", path("b.wav")), 0) << t.FLastErrMsg;
  int hooked = 0;
  t.FHooks.OnOutputAudioHook.Set(
      [&](TObject*, std::int64_t, AVFrame* f, int, int, int channels, AVSampleFormat fmt) {
        ASSERT_EQ(fmt, AV_SAMPLE_FMT_S16);
        if (t.current_file != 0) return;
        ++hooked;
        std::memset(f->data[0], 0, static_cast<std::size_t>(f->nb_samples * channels * 2));
      });
  t.StartConvert(false);
  ASSERT_TRUE(t.Finished()) << t.FatalMessage();
  EXPECT_GT(hooked, 0);

  const std::vector<std::int16_t> a = testrig::decodeS16(path("a.wav"));
  const std::vector<std::int16_t> b = testrig::decodeS16(path("b.wav"));
  ASSERT_EQ(a.size(), 48000u);
  ASSERT_EQ(b.size(), 48000u);
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(a[i], 0) << "sample " << i;
    ASSERT_NEAR(b[i], 16384, 1) << "sample " << i;
  }
}

// A handler that throws is logged and the task ends well; a bitmap hook that
// throws writes nothing back; one that asks to stop is not raised again.
TEST_F(HooksTest, ThrowingOrStoppingHandlersLeaveTheTaskRunning) {
  const std::string source = numberedSource();
  struct Case {
    const char* name;
    const char* logged;
  } cases[] = {{"video", "Error occurs VideoHook event: boom"},
               {"frame", "Error occurs FrameHook event: boom"},
               {"audio", "Error occurs AudioHook event: boom"},
               {"stop", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    const std::string out = path(std::string(c.name) + ".nut");
    TCustomFFmpeg& t = newTask();
    ASSERT_GE(openInput("", source), 0) << t.FLastErrMsg;
    ASSERT_GE(openInput("-f lavfi", "sine=d=1.2"), 0) << t.FLastErrMsg;
    ASSERT_GE(openOutput("-c:v ffv1 -c:a pcm_s16le", out), 0) << t.FLastErrMsg;
    int raised = 0;
    const std::string name = c.name;
    if (name == "video" || name == "stop")
      t.FHooks.OnOutputVideoHook.Set(
          [&](TObject*, Bitmap& b, int n, std::int64_t, bool&, bool& stop) {
            ++raised;
            paintBitmap(b, n);
            if (name == "video") throw std::runtime_error("boom");
            stop = n == 3;
          });
    if (name == "frame")
      t.FHooks.OnInputFrameHook.Set(
          [&](TObject*, AVFrame*, AVPixelFormat, int, int, int, std::int64_t) {
            ++raised;
            throw std::runtime_error("boom");
          });
    if (name == "audio")
      t.FHooks.OnOutputAudioHook.Set(
          [&](TObject*, std::int64_t, AVFrame*, int, int, int, AVSampleFormat) {
            ++raised;
            throw std::runtime_error("boom");
          });
    t.StartConvert(false);
    ASSERT_TRUE(t.Finished()) << t.FatalMessage();
    if (c.logged) {
      EXPECT_TRUE(logged(c.logged));
    }
    const std::vector<LumaPicture> pics = decodeLuma(out);
    ASSERT_EQ(static_cast<int>(pics.size()), kFrames);
    if (name == "stop") {
      EXPECT_EQ(raised, 4);
      EXPECT_FALSE(t.FHooks.OnOutputVideoHook.Assigned());
      EXPECT_GT(pics[3].mean(blockX(3), 0, kBlock, kBlock), 200) << "the last update applies";
      EXPECT_NEAR(pics[4].mean(blockX(4), 0, kBlock, kBlock), sourceLuma(4), 6);
    } else {
      EXPECT_GT(raised, 1);
    }
    for (int i = 0; name == "video" && i < kFrames; ++i)
      EXPECT_NEAR(pics[i].mean(blockX(i), 0, kBlock, kBlock), sourceLuma(i), 6) << i;
  }
}

}  // namespace
