// Input reading: the timestamp repair rules on their own, and whole inputs
// read through a task (looping, timestamp jumps in a transport stream,
// packets of streams that appear later).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "decode_rig.h"
#include "testmedia/TestMedia.h"
#include "transcoder/TimestampMath.h"
#include "transcoder/TimestampRepair.h"

using namespace corvane;
using namespace corvane::tsrepair;
namespace media = corvane::testmedia;

namespace {

constexpr std::int64_t kNone = AV_NOPTS_VALUE;
constexpr std::int64_t k2p33 = std::int64_t{1} << 33;
constexpr std::int64_t kSecond = AV_TIME_BASE;

class TimestampRepairTest : public testrig::TranscoderTest {};

TEST_F(TimestampRepairTest, WrapCorrection) {
  struct Case {
    const char* label;
    std::int64_t start;
    int bits;
    TPacketTs in, out;
    bool done;
  } cases[] = {
      {"before the half range", 100, 33, {5000, 8000}, {5000, 8000}, true},
      {"stream read before the wrap", 100, 33, {k2p33 - 3000, k2p33 - 1000}, {-3000, -1000}, false},
      {"only the dts wrapped", 100, 33, {k2p33 - 3000, 9000}, {-3000, 9000}, false},
      {"no timestamps", 100, 33, {kNone, kNone}, {kNone, kNone}, true},
      {"63-bit counter that cannot wrap", 0, 63, {INT64_MAX - 5, 7}, {INT64_MAX - 5, 7}, true},
      {"63-bit counter below zero",
       -10,
       63,
       {(std::int64_t{1} << 62) + 100, 0},
       {(std::int64_t{1} << 62) + 100 - INT64_MAX - 1, 0},
       false},
      {"64-bit counter", 0, 64, {INT64_MAX, 1}, {INT64_MAX, 1}, true},
  };
  for (const Case& c : cases) {
    const TWrapResult r = CorrectWrap(c.in, c.start, c.bits);
    EXPECT_EQ(r.ts.dts, c.out.dts) << c.label;
    EXPECT_EQ(r.ts.pts, c.out.pts) << c.label;
    EXPECT_EQ(r.done, c.done) << c.label;
  }
}

TEST_F(TimestampRepairTest, OffsetScaleAndThresholds) {
  struct Scale {
    std::int64_t ts, offset;
    double scale;
    std::int64_t out;
  } scales[] = {{10, 5, 1.0, 15}, {kNone, 5, 2.0, kNone}, {3, 0, 0.5, 2},
                {5, 0, 0.5, 2},   {-7, 2, 3.0, -15},      {100, -100, 7.0, 0}};
  for (const Scale& s : scales)
    EXPECT_EQ(OffsetAndScale(s.ts, s.offset, s.scale), s.out) << s.ts << " " << s.scale;

  struct Jump {
    std::int64_t pkt_dts, last_ts;
    float threshold;
    std::int64_t shift;
  } jumps[] = {{5 * kSecond, 0, 10, 0},
               {10 * kSecond, 0, 10, 0},
               {11 * kSecond, 0, 10, 11 * kSecond},
               {0, 11 * kSecond, 10, -11 * kSecond},
               {kNone, 0, 10, 0},
               {20 * kSecond, kNone, 10, 0},
               {kSecond / 2 + 1, 0, 0.5f, kSecond / 2 + 1}};
  for (const Jump& j : jumps)
    EXPECT_EQ(InterStreamJump(j.pkt_dts, j.last_ts, j.threshold), j.shift) << j.pkt_dts;
}

TEST_F(TimestampRepairTest, JumpsWithinAStream) {
  struct Case {
    const char* label;
    TIntraStreamInput in;
    TIntraStreamFix fix;
  } cases[] = {
      {"on time",
       {2 * kSecond, kNone, 2 * kSecond, 2 * kSecond, 2 * kSecond, true, 10, 108000},
       {0, false, false}},
      {"forward jump over the threshold",
       {32 * kSecond, kNone, 2 * kSecond, 2 * kSecond, 2 * kSecond, true, 10, 108000},
       {30 * kSecond, false, false}},
      {"small step back behind the last timestamps",
       {kSecond, kNone, 2 * kSecond, 2 * kSecond, 2 * kSecond, true, 10, 108000},
       {-kSecond, false, false}},
      {"small step forward is kept",
       {3 * kSecond, kNone, 2 * kSecond, 2 * kSecond, 2 * kSecond, true, 10, 108000},
       {0, false, false}},
      {"continuous format, far off",
       {50 * kSecond, 50 * kSecond, 2 * kSecond, 2 * kSecond, 2 * kSecond, false, 10, 30},
       {0, true, true}},
      {"continuous format, only the pts far off",
       {2 * kSecond, 50 * kSecond, 2 * kSecond, 2 * kSecond, 2 * kSecond, false, 10, 30},
       {0, false, true}},
      {"continuous format, within the error threshold",
       {29 * kSecond, 29 * kSecond, 2 * kSecond, 2 * kSecond, 2 * kSecond, false, 10, 30},
       {0, false, false}},
  };
  for (const Case& c : cases) {
    const TIntraStreamFix fix = CheckIntraStream(c.in);
    EXPECT_EQ(fix.shift, c.fix.shift) << c.label;
    EXPECT_EQ(fix.drop_dts, c.fix.drop_dts) << c.label;
    EXPECT_EQ(fix.drop_pts, c.fix.drop_pts) << c.label;
  }

  const AVRational tb{1, 90000};
  const std::int64_t before_wrap = ff::av_rescale_q(k2p33 - 9000, tb, {1, AV_TIME_BASE});
  EXPECT_TRUE(JumpIsWrap(3600, tb, 33, 40000, before_wrap));
  EXPECT_FALSE(JumpIsWrap(3600, tb, 33, 40000, 0));
  EXPECT_FALSE(JumpIsWrap(3600, tb, 60, 40000, before_wrap));
}

TEST_F(TimestampRepairTest, LengthOfALoopedFile) {
  const AVRational ms{1, 1000}, audio{1, 48000};
  struct Case {
    const char* label;
    TLength current;
    std::int64_t min_pts, max_pts, last;
    AVRational tb;
    TLength out;
  } cases[] = {
      {"first stream sets the length", {0, {1, 1}}, 0, 3960, 40, ms, {4000, ms}},
      {"shorter stream keeps it", {4000, ms}, 0, 140000, 1024, audio, {4000, ms}},
      {"longer stream wins", {4000, ms}, 0, 200000, 1024, audio, {201024, audio}},
      {"second pass spans both", {4000, ms}, 0, 7960, 40, ms, {8000, ms}},
      {"stream without timestamps", {0, {1, 1}}, INT64_MAX, INT64_MIN, 40, ms, {40, ms}},
      {"span that would overflow", {0, {1, 1}}, -2, INT64_MAX - 1, 40, ms, {40, ms}},
  };
  for (const Case& c : cases) {
    const TLength r = LongerLength(c.current, c.min_pts, c.max_pts, c.last, c.tb);
    EXPECT_EQ(r.duration, c.out.duration) << c.label;
    EXPECT_EQ(av_cmp_q(r.time_base, c.out.time_base), 0) << c.label;
  }
  EXPECT_EQ(TsText(kNone), "NOPTS");
  EXPECT_EQ(TsText(-42), "-42");
  EXPECT_EQ(TsTimeText(kNone, ms), "NOPTS");
  EXPECT_EQ(TsTimeText(1500, ms), "1.5");
}

// Crafted timestamps at the ends of the range: sums saturate or become
// "none" instead of overflowing.
TEST_F(TimestampRepairTest, ExtremeTimestampsStayDefined) {
  constexpr std::int64_t kMax = INT64_MAX, kLow = INT64_MIN + 1;
  struct Sum {
    std::int64_t a, b, sat_add, sat_sub, add_or_none;
  } sums[] = {
      {2, 3, 5, -1, 5},
      {kMax, 1, kMax, kMax - 1, kNone},
      {kLow, -5, kLow, kLow + 5, kNone},
      {-1, kLow, kLow, kMax - 1, kNone},  // exactly INT64_MIN is "none"
      {0, kNone, kLow, kMax, kNone},
      {kNone, 0, kLow, kLow, kNone},
  };
  for (const Sum& c : sums) {
    EXPECT_EQ(tsmath::SatAdd(c.a, c.b), c.sat_add) << c.a << " + " << c.b;
    EXPECT_EQ(tsmath::SatSub(c.a, c.b), c.sat_sub) << c.a << " - " << c.b;
    EXPECT_EQ(tsmath::AddOrNone(c.a, c.b), c.add_or_none) << c.a << " + " << c.b;
  }
  EXPECT_EQ(tsmath::SatAbs(INT64_MIN), kMax);
  EXPECT_EQ(tsmath::SatAbs(-7), 7);
  EXPECT_EQ(tsmath::RoundOrNone(2.5), 2);
  EXPECT_EQ(tsmath::RoundOrNone(-3.5), -4);
  EXPECT_EQ(tsmath::RoundOrNone(1e300), kNone);
  EXPECT_EQ(tsmath::RoundOrNone(9223372036854775808.0), kNone);
  EXPECT_EQ(tsmath::RoundOrNone(std::nan("")), kNone);

  EXPECT_EQ(OffsetAndScale(kMax, 1, 1.0), kNone);
  EXPECT_EQ(OffsetAndScale(kMax / 2, 0, 4.0), kNone);
  EXPECT_EQ(OffsetAndScale(kLow, -1, 1.0), kNone);
  EXPECT_EQ(InterStreamJump(kMax, kLow, 10), kMax);
  EXPECT_FALSE(JumpIsWrap(kMax - 5, AVRational{1, 90000}, 33, kLow, kMax));

  TIntraStreamInput in{kMax, kNone, kMax, 0, 0, true, 10, 30};
  EXPECT_EQ(CheckIntraStream(in).shift, 0);
  in.next_dts = -1;
  EXPECT_EQ(CheckIntraStream(in).shift, kMax);
  in = TIntraStreamInput{kLow, kLow, kMax, 0, 0, false, 10, 30};
  const TIntraStreamFix fix = CheckIntraStream(in);
  EXPECT_TRUE(fix.drop_dts);
  EXPECT_TRUE(fix.drop_pts);
}

class InputReaderTest : public testrig::DecodeTest {};

// The timestamps that the flush calls of one pass stood for must not stamp
// frames of the next pass.
TEST_F(InputReaderTest, RewindForgetsTheFlushTimestampsOfThePassBefore) {
  newTask();
  ASSERT_EQ(openInput("-stream_loop 1", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-an -c:v rawvideo -f null", path("out.null")), 0);
  openDecoders();
  TInputFile& f = *task().Finput_files[0];
  TInputStream& ist = *task().Finput_streams[0];
  ASSERT_TRUE(ist.decoding_needed);
  for (int i = 0; i < 100000 && f.loop != 0 && !f.eof_reached; ++i) {
    const int ret = task().ReadInputFile(0);
    ASSERT_TRUE(ret == 0 || ret == AVERROR(EAGAIN)) << ret;
    pullSinks();
  }
  ASSERT_EQ(f.loop, 0);
  EXPECT_TRUE(ist.dts_buffer.empty()) << ist.dts_buffer.size() << " stale timestamps";
}

TEST_F(InputReaderTest, LoopedInputContinuesItsTimeline) {
  newTask();
  ASSERT_EQ(openInput("-stream_loop 2", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-an -c:v rawvideo -f null", path("out.null")), 0);
  openDecoders();
  readFile(0);

  const auto frames = framesOf(0);
  const int n = media::numbered::kFrames;
  ASSERT_EQ(static_cast<int>(frames.size()), 3 * n);
  const double frame = 1.0 / media::kFps;
  for (int i = 1; i < 3 * n; ++i) {
    EXPECT_NEAR(frames[i].seconds() - frames[i - 1].seconds(), frame, frame / 2) << i;
    EXPECT_NEAR(frames[i].luma, media::numbered::luma(i % n), media::numbered::kLumaTolerance) << i;
  }
  EXPECT_EQ(task().Finput_files[0]->loop, 0);
}

TEST_F(InputReaderTest, TransportStreamJumpKeepsTheTimelineContinuous) {
  newTask();
  ASSERT_EQ(openInput("", sizeChangeStream(20)), 0);
  ASSERT_EQ(openOutput("-s 320x240 -c:v rawvideo -f null", path("out.null")), 0);
  openDecoders();
  readFile(0);

  const auto frames = framesOf(0);
  ASSERT_GE(frames.size(), 48u);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_GT(frames[i].seconds(), frames[i - 1].seconds()) << i;
    EXPECT_LT(frames[i].seconds(), frames[i - 1].seconds() + 0.1) << i;
  }
  EXPECT_LT(task().Finput_files[0]->ts_offset, -10 * kSecond);
}

TEST_F(InputReaderTest, EndOfInputAndTryAgain) {
  newTask();
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-an -c:v rawvideo -f null", path("out.null")), 0);
  openDecoders();
  TInputFile& f = *task().Finput_files[0];
  task().Foutput_streams[0]->unavailable = 1;
  f.eagain = 1;
  ASSERT_EQ(task().ReadInputFile(0), 0);
  EXPECT_EQ(f.eagain, 0);
  EXPECT_EQ(task().Foutput_streams[0]->unavailable, 0);

  // Paced reading holds packets back until the wall clock, less the time
  // spent paused, reaches them.
  while (task().Finput_streams[0]->dts <= 0) ASSERT_EQ(task().ReadInputFile(0), 0);
  f.rate_emu = 1;
  const std::int64_t later = ff::av_gettime_relative() + 60 * kSecond;
  for (auto& ist : task().Finput_streams) ist->start = later;
  EXPECT_EQ(task().ReadInputFile(0), AVERROR(EAGAIN));
  EXPECT_EQ(f.eagain, 1);
  task().FTotalPauseTime = -120 * kSecond;
  EXPECT_EQ(task().ReadInputFile(0), 0);

  f.rate_emu = 0;
  readFile(0);
  EXPECT_TRUE(f.eof_reached);
  EXPECT_EQ(task().ReadInputFile(0), AVERROR(EAGAIN));
}

TEST_F(InputReaderTest, ForcedInputRateNumbersTheFramesAndDebugLinesShowTheRepair) {
  newTask();
  task().Fdebug_ts = 1;
  ASSERT_EQ(openInput("-r 10", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-an -c:v rawvideo -f null", path("out.null")), 0);
  openDecoders();
  readFile(0);

  const auto frames = framesOf(0);
  ASSERT_EQ(static_cast<int>(frames.size()), media::numbered::kFrames);
  for (std::size_t i = 0; i < frames.size(); ++i)
    EXPECT_DOUBLE_EQ(frames[i].seconds(), i / 10.0) << i;
  EXPECT_TRUE(logged("demuxer -> ist_index:0 type:video next_dts:NOPTS next_dts_time:NOPTS"));
  EXPECT_TRUE(logged("demuxer+dedirerer -> ist_index:0 type:video pkt_pts:"));
  EXPECT_TRUE(logged("decoder -> ist_index:0 type:video frame_pts:0 frame_pts_time:0 "));
}

TEST_F(InputReaderTest, PacketsOfStreamsOpenedLaterAreDroppedAndReportedOnce) {
  newTask();
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-an -c:v rawvideo -f null", path("out.null")), 0);
  openDecoders();
  TInputFile& f = *task().Finput_files[0];
  ASSERT_EQ(f.nb_streams, 2);
  f.nb_streams = f.nb_streams_warn = 1;  // as if the audio stream came later
  readFile(0);

  int reports = 0;
  for (const std::string& line : log_.bodies())
    if (line.find("New audio stream 0:1 at pos:") != std::string::npos) ++reports;
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(task().Finput_streams[1]->nb_packets, 0);
  EXPECT_EQ(static_cast<int>(framesOf(0).size()), media::numbered::kFrames);
}

TEST_F(InputReaderTest, TimestampCounterWrapKeepsTheTimelineContinuous) {
  newTask();
  // 33-bit counter of 90 kHz ticks, wrapping half a second into the clip.
  const std::int64_t wrap = ff::av_rescale(k2p33, AV_TIME_BASE, 90000);
  ASSERT_EQ(openInput("", tsClip("wrap.ts", "320x240", wrap - kSecond / 2)), 0);
  ASSERT_EQ(openOutput("-c:v rawvideo -f null", path("out.null")), 0);
  openDecoders();
  readFile(0);

  const auto frames = framesOf(0);
  ASSERT_EQ(frames.size(), 25u);
  for (std::size_t i = 1; i < frames.size(); ++i)
    EXPECT_NEAR(frames[i].seconds() - frames[i - 1].seconds(), 0.04, 0.001) << i;
}

}  // namespace
