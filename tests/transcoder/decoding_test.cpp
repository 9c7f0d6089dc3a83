// Decoding generated inputs into the configured graphs of a task: frames in
// order with continuous timestamps, graph reconfiguration on a picture size
// change, frames held back for graphs whose other inputs are not known yet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <set>
#include <utility>

#include "decode_rig.h"
#include "testmedia/TestMedia.h"
#include "transcoder/FrameQueue.h"
#include "transcoder/SubtitleCanvas.h"

using namespace corvane;
namespace media = corvane::testmedia;
using ::testing::HasSubstr;

namespace {

class DecodingTest : public testrig::DecodeTest {
 public:
  // mpeg4 with two B-frames: the decoder holds frames back until its flush.
  std::string bFrameClip() {
    const std::string file = path("bframes.mp4");
    media::OutputFile out("b-frames", "mp4", file);
    media::VideoSpec spec;
    spec.chain = "testsrc=size=320x240:rate=25:duration=1";
    spec.encoder = "mpeg4";
    spec.bFrames = 2;
    spec.qscale = 3;
    out.addVideo(spec);
    out.write();
    return file;
  }
};

struct TDecodeCase {
  const char* label;
  std::function<std::string(DecodingTest&)> input;
  const char* output;
  AVMediaType type;
  int frames;   // video frames expected, or
  int samples;  // audio samples expected
  bool numbered;
};

TEST_F(DecodingTest, EveryFrameReachesTheSinkInOrder) {
  const TDecodeCase cases[] = {
      {"numbered mpeg4", [](DecodingTest&) { return media::ensure(media::Kind::Numbered); },
       "-an -c:v rawvideo -f null", AVMEDIA_TYPE_VIDEO, media::numbered::kFrames, 0, true},
      {"mpeg4 with B-frames", [](DecodingTest& t) { return t.bFrameClip(); },
       "-c:v rawvideo -f null", AVMEDIA_TYPE_VIDEO, 25, 0, false},
      {"pcm wav", [](DecodingTest&) { return media::ensure(media::Kind::ToneWav); },
       "-c:a pcm_s16le -f null", AVMEDIA_TYPE_AUDIO, 0, media::tone::kSeconds * media::kSampleRate,
       false},
  };
  for (const TDecodeCase& c : cases) {
    SCOPED_TRACE(c.label);
    frames_.clear();
    newTask();
    ASSERT_EQ(openInput("", c.input(*this)), 0);
    ASSERT_EQ(openOutput(c.output, path("out.null")), 0);
    openDecoders();
    readFile(0);
    ASSERT_TRUE(task().Finput_files[0]->eof_reached);

    const auto frames = framesOf(0);
    ASSERT_FALSE(frames.empty());
    int samples = 0;
    for (std::size_t i = 0; i < frames.size(); ++i) {
      samples += frames[i].samples;
      if (i == 0) continue;
      if (c.type == AVMEDIA_TYPE_AUDIO)  // each frame starts where the last ended
        EXPECT_EQ(frames[i].pts, frames[i - 1].pts + frames[i - 1].samples) << i;
      else
        EXPECT_GT(frames[i].pts, frames[i - 1].pts) << i;
      if (c.numbered) {
        EXPECT_NEAR(frames[i].luma, media::numbered::luma(static_cast<int>(i)),
                    media::numbered::kLumaTolerance)
            << i;
      }
    }
    if (c.type == AVMEDIA_TYPE_VIDEO) {
      EXPECT_EQ(static_cast<int>(frames.size()), c.frames);
    } else {
      EXPECT_EQ(samples, c.samples);
    }
    EXPECT_EQ(task().Fdecode_error_stat[1], 0);
    EXPECT_GT(task().Fdecode_error_stat[0], 0);
  }
}

struct TReinitCase {
  const char* label;
  const char* input_options;
  int input_width;  // the graph input's width at the end
};

TEST_F(DecodingTest, PictureSizeChangeRebuildsTheGraphUnlessReinitIsOff) {
  const TReinitCase cases[] = {
      {"rebuilt", "", 160},
      {"kept", "-reinit_filter 0", 320},
  };
  const std::string input = sizeChangeStream(0);
  for (const TReinitCase& c : cases) {
    SCOPED_TRACE(c.label);
    frames_.clear();
    newTask();
    ASSERT_EQ(openInput(c.input_options, input), 0);
    ASSERT_EQ(openOutput("-s 320x240 -c:v rawvideo -f null", path("out.null")), 0);
    openDecoders();
    readFile(0);

    // The joint cuts the last packet of the first part.
    const auto frames = framesOf(0);
    EXPECT_GE(frames.size(), 48u);
    const TFilterGraph& fg = *task().Ffiltergraphs.at(0);
    EXPECT_EQ(fg.inputs.at(0)->width, c.input_width);
    // Either way the frames are scaled to the output size, and the timeline
    // runs on across the joint.
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].width, 320) << i;
      EXPECT_EQ(frames[i].height, 240) << i;
      if (i == 0) continue;
      EXPECT_GT(frames[i].seconds(), frames[i - 1].seconds()) << i;
      EXPECT_LT(frames[i].seconds(), frames[i - 1].seconds() + 0.1) << i;
    }
  }
}

TEST_F(DecodingTest, FramesWaitUntilEveryGraphInputKnowsItsFormat) {
  newTask();
  const std::string clip = media::ensure(media::Kind::Numbered);
  ASSERT_EQ(openInput("", clip), 0);
  ASSERT_EQ(openInput("", clip), 1);
  ASSERT_EQ(
      openOutput("-filter_complex [0:v][1:v]hstack -an -c:v rawvideo -f null", path("out.null")),
      0);
  openDecoders();
  TFilterGraph& fg = *task().Ffiltergraphs.at(0);

  readFile(0, 10);
  EXPECT_FALSE(fg.graph);
  const auto& first = *fg.inputs.at(0);
  EXPECT_EQ(static_cast<std::int64_t>(first.frame_queue.size()),
            task().Finput_streams[0]->frames_decoded);
  EXPECT_GT(first.frame_queue.size(), 0u);

  for (int i = 0; i < 20 && !fg.graph; ++i) readFile(1, 1);
  ASSERT_TRUE(fg.graph);
  EXPECT_TRUE(first.frame_queue.empty());
  EXPECT_TRUE(fg.inputs.at(1)->frame_queue.empty());
  ASSERT_FALSE(frames_.empty());
  EXPECT_EQ(frames_.front().width, 2 * media::kWidth);
}

TEST_F(DecodingTest, AnInputThatNeverStartsCannotHoldBackFramesWithoutEnd) {
  newTask();
  ASSERT_EQ(openInput("-f lavfi", "testsrc=size=64x48:rate=100:duration=10"), 0);
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 1);
  ASSERT_EQ(
      openOutput("-filter_complex [0:v][1:v]hstack -an -c:v rawvideo -f null", path("out.null")),
      0);
  openDecoders();
  EXPECT_THROW(readFile(0), FFmpegException);
  EXPECT_TRUE(logged("Too many frames waiting for the other inputs of filter graph 0"));
  EXPECT_FALSE(task().Ffiltergraphs[0]->graph);
}

// Frames held for a graph are bounded by count and by the bytes they hold.
TEST_F(DecodingTest, FrameQueueLimits) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  struct Case {
    std::size_t count, bytes, next;
    bool full;
  } cases[] = {
      {0, 0, 0, false},
      {511, 0, 0, false},
      {512, 0, 0, true},
      {10, 200 * kMiB, 56 * kMiB, false},  // exactly at the budget
      {10, 200 * kMiB, 56 * kMiB + 1, true},
      {0, 0, 300 * kMiB, true},  // one frame larger than the budget
      {1, SIZE_MAX, 1, true},    // no wrap of the sum
  };
  for (const Case& c : cases)
    EXPECT_EQ(FrameQueueFull(c.count, c.bytes, c.next), c.full)
        << c.count << " " << c.bytes << " " << c.next;

  FramePtr frame = makeFrame();
  EXPECT_EQ(FrameBufferBytes(frame.get()), 0u);
  frame->format = AV_PIX_FMT_GRAY8;
  frame->width = 64;
  frame->height = 64;
  ASSERT_EQ(ff::av_frame_get_buffer(frame.get(), 0), 0);
  EXPECT_GE(FrameBufferBytes(frame.get()), 64u * 64u);
}

// A subtitle rectangle is drawn only when it lies on the canvas; the sums
// of position and size must not wrap.
TEST_F(DecodingTest, SubtitleRectangleBounds) {
  struct Case {
    int x, y, w, h;
    bool fits;
  } cases[] = {
      {0, 0, 320, 240, true},       {10, 10, 310, 230, true}, {10, 10, 311, 230, false},
      {-1, 0, 10, 10, false},       {0, 0, -1, 10, false},    {INT_MAX, 0, 10, 10, false},
      {100, 0, INT_MAX, 10, false},  // x + w wraps in int
      {0, 100, 10, INT_MAX, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RectFitsCanvas(c.x, c.y, c.w, c.h, 320, 240), c.fits)
        << c.x << " " << c.y << " " << c.w << " " << c.h;
}

TEST_F(DecodingTest, BitmapSubtitleIsOverlaidForItsDisplayTime) {
  namespace dvd = media::dvdsub;
  newTask();
  ASSERT_EQ(openInput("", media::ensure(media::Kind::MkvDvdSub)), 0);
  ASSERT_EQ(openOutput("-filter_complex [0:v][0:s]overlay -c:v rawvideo -f null", path("out.null")),
            0);
  openDecoders();
  probe_x_ = dvd::kBox.x + dvd::kBox.width / 2;
  probe_y_ = dvd::kBox.y + dvd::kBox.height / 2;
  readFile(0);

  const auto frames = framesOf(0);
  ASSERT_EQ(static_cast<int>(frames.size()), dvd::kSeconds * media::kFps);
  const double start = dvd::kBox.startMs / 1000.0;
  const double end = start + dvd::kDecodedDurationMs / 1000.0;
  int shown = 0;
  for (const auto& f : frames) {
    const double t = f.seconds();
    if (t > start + 0.05 && t < end - 0.05) {
      EXPECT_GT(f.probe, 150) << t;  // the opaque yellow box
      ++shown;
    } else if (t < start - 0.05 || t > end + 0.05) {
      EXPECT_NEAR(f.probe, dvd::kBackY, 3) << t;
    }
  }
  EXPECT_GT(shown, 40);
}

struct THeldSubtitleCase {
  const char* label;
  const char* input_options;
};

TEST_F(DecodingTest, HeldBackSubtitlesAreAllEmitted) {
  const THeldSubtitleCase cases[] = {{"as decoded", ""}, {"durations fixed", "-fix_sub_duration"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    newTask();
    ASSERT_EQ(openInput(c.input_options, media::ensure(media::Kind::MkvMpeg4VorbisSrt)), 0);
    ASSERT_EQ(openOutput("-vn -an -c:s srt", path("out.srt")), 0);
    openDecoders();
    readFile(0);
    const TInputStream* subs = nullptr;
    for (const auto& ist : task().Finput_streams)
      if (ist->st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE) subs = ist.get();
    ASSERT_TRUE(subs);
    EXPECT_EQ(subs->frames_decoded, static_cast<std::int64_t>(media::mkv::kCues.size()));
  }
}

}  // namespace
