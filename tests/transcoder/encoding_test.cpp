// Frame encoding: the video sync decision and timestamp arithmetic as tables,
// and encodes through configured graphs.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "support/TranscoderRig.h"
#include "transcoder/VideoSync.h"

using namespace corvane;

namespace {

constexpr std::int64_t k2e9 = 3000000000LL;  // above 2^31

TEST(VideoSyncTest, Decisions) {
  struct Case {
    const char* name;
    TVideoSyncInput in;
    std::int64_t nb, nb0, sync_opts, duplicated;
    bool dropped_previous, too_many;
    int last_dropped;
    TVideoSyncNote note;
  };
  auto cfr = [](double ipts, std::int64_t opts, double dur) {
    TVideoSyncInput in;
    in.method = VSYNC_CFR;
    in.sync_ipts = ipts;
    in.sync_opts = opts;
    in.duration = dur;
    in.frame_number = 5;
    in.max_duplicates = 300;
    return in;
  };
  auto with = [](TVideoSyncInput in, auto fn) {
    fn(in);
    return in;
  };
  using N = TVideoSyncNote;
  const Case cases[] = {
      {"on its slot", cfr(10, 10, 1), 1, 0, 10, 0, false, false, 0, N::None},
      {"25 to 50 fps doubles", cfr(10, 10, 2), 2, 0, 10, 1, false, false, 0, N::None},
      {"late frame dropped", cfr(5, 10, 1), 0, 0, 10, 0, false, false, 1, N::None},
      {"gap after a drop refills", with(cfr(12, 10, 1), [](auto& i) { i.last_dropped = 1; }), 3, 1,
       10, 1, false, false, 0, N::None},
      {"drop of the previous frame counted",
       with(cfr(10, 10, 1), [](auto& i) { i.last_dropped = 1; }), 1, 0, 10, 0, true, false, 0,
       N::None},
      {"slightly early is clipped", cfr(9.7, 10, 1), 1, 0, 10, 0, false, false, 0, N::Clipped},
      {"early by most of a frame", cfr(9.2, 10, 1), 1, 0, 10, 0, false, false, 0, N::PastDuration},
      {"drop threshold", with(cfr(9.6, 10, 1), [](auto& i) { i.frame_drop_threshold = 0.8; }), 0, 0,
       10, 0, false, false, 1, N::Clipped},
      {"frame limit caps copies", with(cfr(10, 10, 5), [](auto& i) { i.max_frames = 7; }), 2, 0, 10,
       1, false, false, 0, N::None},
      {"frame limit reached", with(cfr(10, 10, 1), [](auto& i) { i.max_frames = 5; }), 0, 0, 10, 0,
       false, false, 1, N::None},
      {"too many copies skipped", cfr(1000, 10, 1), 991, 989, 10, 0, false, true, 0, N::None},
      {"above 2^31", cfr(k2e9 + 3, k2e9, 1), 4, 2, k2e9, 3, false, false, 0, N::None},
      {"VFR drops early frame", with(cfr(9, 10, 0.3), [](auto& i) { i.method = VSYNC_VFR; }), 0, 0,
       10, 0, false, false, 1, N::None},
      {"VFR jumps ahead above 2^31", with(cfr(5e9, 1, 1), [](auto& i) { i.method = VSYNC_VFR; }), 1,
       0, 5000000000LL, 0, false, false, 0, N::None},
      {"VSCFR skips the leading gap",
       with(cfr(30, 0, 1),
            [](auto& i) {
              i.method = VSYNC_VSCFR;
              i.frame_number = 0;
            }),
       1, 0, 30, 0, false, false, 0, N::InitialSkip},
      {"passthrough rounds", with(cfr(7.4, 3, 1), [](auto& i) { i.method = VSYNC_PASSTHROUGH; }), 1,
       0, 7, 0, false, false, 0, N::None},
      {"drop timestamps never clips", with(cfr(9.7, 10, 1), [](auto& i) { i.method = VSYNC_DROP; }),
       1, 0, 10, 0, false, false, 0, N::None},
      {"end of stream repeats the median",
       with(cfr(0, 10, 1),
            [](auto& i) {
              i.have_frame = false;
              i.last_nb0_frames = {2, 0, 1};
            }),
       1, 1, 10, 1, false, false, 0, N::None},
      {"gap of hours within the error threshold",
       with(cfr(90000, 0, 1),
            [](auto& i) {
              i.max_duplicates = DuplicationCap(108000, AVRational{1, 25});
            }),
       90001, 89999, 0, 90000, false, false, 0, N::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TVideoSyncDecision d = DecideVideoSync(c.in);
    EXPECT_EQ(d.nb, c.nb);
    EXPECT_EQ(d.nb0, c.nb0);
    EXPECT_EQ(d.sync_opts, c.sync_opts);
    EXPECT_EQ(d.duplicated, c.duplicated);
    EXPECT_EQ(d.dropped_previous, c.dropped_previous);
    EXPECT_EQ(d.too_many_duplicates, c.too_many);
    if (!c.too_many) {
      EXPECT_EQ(d.last_dropped, c.last_dropped);
    }
    EXPECT_EQ(d.note, c.note);
    EXPECT_EQ(d.last_nb0_frames[0], static_cast<int>(std::min<std::int64_t>(c.nb0, INT_MAX)));
    EXPECT_EQ(d.last_nb0_frames[1], c.in.last_nb0_frames[0]);
  }
  TVideoSyncInput unknown = cfr(10, 10, 1);
  unknown.method = 7;
  EXPECT_EQ(DecideVideoSync(unknown).nb, -1);
}

TEST(VideoSyncTest, MethodChoice) {
  struct Case {
    int configured;
    bool avi;
    int flags;
    bool single, copy_ts;
    int expected;
  };
  const Case cases[] = {
      {VSYNC_CFR, true, AVFMT_VARIABLE_FPS, false, false, VSYNC_CFR},
      {VSYNC_AUTO, true, 0, true, false, VSYNC_VFR},
      {VSYNC_AUTO, false, 0, false, false, VSYNC_CFR},
      {VSYNC_AUTO, false, AVFMT_NOTIMESTAMPS, false, false, VSYNC_CFR},
      {VSYNC_AUTO, false, 0, true, false, VSYNC_VSCFR},
      {VSYNC_AUTO, false, 0, false, true, VSYNC_VSCFR},
      {VSYNC_AUTO, false, AVFMT_VARIABLE_FPS, true, true, VSYNC_VFR},
      {VSYNC_AUTO, false, AVFMT_VARIABLE_FPS | AVFMT_NOTIMESTAMPS, false, false, VSYNC_PASSTHROUGH},
  };
  for (const Case& c : cases) {
    TVideoSyncContext ctx{c.configured, c.avi, c.flags, c.single, c.copy_ts};
    EXPECT_EQ(ChooseVideoSync(ctx), c.expected)
        << c.configured << " avi=" << c.avi << " flags=" << c.flags;
  }
}

TEST(VideoSyncTest, TimestampArithmetic) {
  const double nudge = 1.0 / 131072;
  struct Exact {
    std::int64_t pts;
    AVRational filter_tb, enc_tb;
    std::int64_t start;
    double expected;
  };
  const Exact exact[] = {
      {10, {1, 25}, {1, 25}, 0, 10 + nudge},
      {0, {1, 25}, {1, 25}, 0, -nudge},
      {10, {1, 25}, {1, 25}, 1000000, -15 - nudge},
      {3, {1, 50}, {1, 25}, 0, 1.5 + nudge},  // a half kept exact, then nudged up
      {k2e9, {1, 90000}, {1, 90000}, 0, k2e9 + nudge},
      {k2e9, {1, 1000}, {1, 25}, 0, 75000000 + nudge},
  };
  for (const Exact& c : exact)
    EXPECT_DOUBLE_EQ(ExactFrameTimestamp(c.pts, c.filter_tb, c.enc_tb, c.start), c.expected)
        << c.pts << " start " << c.start;

  struct Rescale {
    std::int64_t a;
    AVRational b, c;
    std::int64_t expected;
  };
  const Rescale rescale[] = {
      {1, {1, 2}, {1, 1}, 1},
      {-1, {1, 2}, {1, 1}, -1},
      {k2e9 * 1000, {1, 1000}, {1, 90000}, k2e9 * 90000},
      {INT64_MAX, {2, 1}, {1, 1}, INT64_MAX},
      {5, {1, 1}, {0, 1}, INT64_MIN},
  };
  for (const Rescale& c : rescale) EXPECT_EQ(RescaleQ(c.a, c.b, c.c), c.expected) << c.a;

  EXPECT_EQ(MedianOf3({5, 1, 3}), 3);
  EXPECT_EQ(MedianOf3({0, 0, 7}), 0);
  EXPECT_EQ(MedianOf3({INT_MAX, 2, INT_MAX}), INT_MAX);
  EXPECT_DOUBLE_EQ(DuplicationCap(108000, AVRational{1, 25}), 2700000);
}

}  // namespace
