// Progress report texts as tables, and the engine's report cadence, progress
// file and final statistics.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/TranscoderRig.h"
#include "transcoder/ProgressText.h"

using namespace corvane;
using namespace corvane::progress;

namespace {

constexpr std::int64_t k3GiB = 3221225472LL;  // above 2^31

TStreamSample video(std::int64_t frames, std::int64_t end_us, int quality = 2 * 118) {
  TStreamSample s;
  s.video = true;
  s.frame_number = frames;
  s.end_pts_us = end_us;
  s.quality = quality;
  return s;
}

TEST(ProgressTextTest, ReportLines) {
  struct Case {
    const char* name;
    TReportInput in;
    const char* line;
  };
  auto input = [](double seconds, std::int64_t size, std::vector<TStreamSample> streams) {
    TReportInput in;
    in.seconds = seconds;
    in.size = size;
    in.streams = std::move(streams);
    return in;
  };
  TReportInput dup = input(10, 0, {video(250, 10000000)});
  dup.frames_dup = 3000000000LL;
  dup.frames_drop = 2;
  TReportInput final_drop = input(10, 1024, {video(250, 10000000)});
  final_drop.final = true;
  final_drop.streams[0].last_dropped = 1;
  TStreamSample copy = video(0, 4000000000LL);
  copy.video = false;
  copy.stream_copy = true;
  const Case cases[] = {
      {"nothing known", input(0, -1, {}), "size=N/A time=N/A bitrate=N/A speed=N/A"},
      {"sizes and times above 2^31", input(10, k3GiB, {video(250, 10000000)}),
       "frame=  250 fps= 25 q=2.0 size= 3145728kB time=00:00:10.000 bitrate=2576980.4kbits/s "
       "speed=   1x"},
      {"60 s in 30 s", input(30, 0, {video(1500, 60000000)}),
       "frame= 1500 fps= 50 q=2.0 size=       0kB time=00:01:00.000 bitrate=   0.0kbits/s "
       "speed=   2x"},
      {"slow rate keeps a decimal", input(2, -1, {video(10, 400000)}),
       "frame=   10 fps=5.0 q=2.0 size=N/A time=00:00:00.400 bitrate=N/A speed= 0.2x"},
      {"no rate in the first second", input(0.5, -1, {video(10, 400000)}),
       "frame=   10 fps=0.0 q=2.0 size=N/A time=00:00:00.400 bitrate=N/A speed= 0.8x"},
      {"more video streams, an unstarted one skipped",
       input(10, -1, {video(0, 90000000), video(250, 10000000, 354), video(3, 1, 118)}),
       "frame=  250 fps= 25 q=3.0 q=1.0 size=N/A time=00:00:10.000 bitrate=N/A speed=   1x"},
      {"copied stream over an hour", input(100, -1, {copy}),
       "size=N/A time=01:06:40.000 bitrate=N/A speed=  40x"},
      {"dup and drop", dup,
       "frame=  250 fps= 25 q=2.0 size=       0kB time=00:00:10.000 bitrate=   0.0kbits/s "
       "dup=3000000000 drop=2 speed=   1x"},
      {"final counts the last drop", final_drop,
       "frame=  250 fps= 25 q=2.0 Lsize=       1kB time=00:00:10.000 bitrate=   0.8kbits/s "
       "dup=0 drop=1 speed=   1x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TReportState state;
    const TReport r = BuildReport(c.in, state);
    EXPECT_EQ(r.line, c.line);
  }
}

TEST(ProgressTextTest, FileTextAndNotification) {
  TReportInput in;
  in.seconds = 10;
  in.size = k3GiB;
  in.streams = {video(250, 4000000000LL)};
  TReportState state;
  TReport r = BuildReport(in, state);
  EXPECT_EQ(r.file,
            "frame=250\nfps=25.00\nstream_0_0_q=2.0\nbitrate=6442.5kbits/s\n"
            "total_size=3221225472\nout_time_us=4000000000\nout_time_ms=4000000000\n"
            "out_time=01:06:40.000000\ndup_frames=0\ndrop_frames=0\nspeed= 400x\n");
  EXPECT_EQ(r.frame, 250);
  EXPECT_DOUBLE_EQ(r.fps, 25);
  EXPECT_FLOAT_EQ(r.quality, 2.0f);
  EXPECT_EQ(r.dup_end, 0u);

  in.streams = {};
  r = BuildReport(in, state);
  EXPECT_EQ(r.frame, -1);
  EXPECT_EQ(r.fps, -1);
  EXPECT_EQ(r.bitrate, -1);
  EXPECT_EQ(r.speed, -1);
  EXPECT_EQ(r.file,
            "bitrate=N/A\ntotal_size=3221225472\nout_time_us=N/A\nout_time_ms=N/A\n"
            "out_time=N/A\ndup_frames=0\ndrop_frames=0\nspeed=N/A\n");
}

TEST(ProgressTextTest, CopiedTimestampsStartNearZero) {
  TReportInput in;
  in.seconds = 1;
  in.copy_ts = true;
  TReportState state;
  for (const auto& [end, shown, raw] :
       {std::tuple{std::int64_t{3600000000}, "time=00:00:00.000", std::int64_t{3600000000}},
        std::tuple{std::int64_t{3601500000}, "time=00:00:01.500", std::int64_t{3601500000}}}) {
    in.streams = {video(25, end)};
    const TReport r = BuildReport(in, state);
    EXPECT_NE(r.line.find(shown), std::string::npos) << r.line;
    EXPECT_EQ(r.raw_pts, raw);
  }
  EXPECT_EQ(state.copy_ts_first_pts, 3600000000LL);
}

TEST(ProgressTextTest, PsnrAndQpHistogram) {
  TReportInput in;
  in.seconds = 1;
  in.qp_hist = true;
  TStreamSample s = video(25, 1000000);
  s.psnr = true;
  s.pict_type = 1;
  s.plane_scale = 320.0 * 240 * 255 * 255;  // over 2^32
  s.error = {4993920, 1248480, 1248480};
  in.streams = {s};
  TReportState state;
  const TReport r = BuildReport(in, state);
  EXPECT_NE(r.line.find("q=2.0 00100000000000000000000000000000PSNR=Y:30.00 U:30.00 V:30.00 "
                        "*:30.00 size="),
            std::string::npos)
      << r.line;
  EXPECT_NE(r.file.find("stream_0_0_psnr_u=30.00\nstream_0_0_psnr_v=30.00\n"
                        "stream_0_0_psnr_all=30.00\n"),
            std::string::npos);
  EXPECT_EQ(state.qp_histogram[2], 1);
}

TEST(ProgressTextTest, ClockAndRates) {
  struct Clock {
    std::int64_t us;
    int digits;
    const char* text;
  };
  for (const Clock& c :
       {Clock{0, 3, "00:00:00.000"}, Clock{-1500000, 3, "-00:00:01.500"},
        Clock{4000000123LL, 6, "01:06:40.000123"}, Clock{360000000000LL, 3, "100:00:00.000"}})
    EXPECT_EQ(FormatClock(c.us, c.digits), c.text);
  EXPECT_EQ(FormatClock(INT64_MIN + 1, 3).substr(0, 1), "-");
  EXPECT_DOUBLE_EQ(BitRate(k3GiB, 1000000), k3GiB * 8 / 1000.0);
  EXPECT_EQ(BitRate(-1, 1000000), -1);
  EXPECT_EQ(BitRate(100, 0), -1);
  EXPECT_EQ(BitRate(100, kNoTime), -1);
  EXPECT_EQ(Speed(kNoTime, 3), -1);
  EXPECT_EQ(Speed(1000000, 0), -1);
}

TEST(ProgressTextTest, FinalSizes) {
  struct Case {
    TFinalSizes sizes;
    const char* text;
  };
  const Case cases[] = {
      {{3221225400LL, 1100, 0, 0, 2048, 3253438765LL},
       "video:3145728kB audio:1kB subtitle:0kB other streams:0kB global headers:2kB muxing "
       "overhead: 1.000000%"},
      {{1000, 0, 0, 0, 0, 500},
       "video:1kB audio:0kB subtitle:0kB other streams:0kB global headers:0kB muxing overhead: "
       "unknown"},
      {{0, 0, 0, 0, 0, 500},
       "video:0kB audio:0kB subtitle:0kB other streams:0kB global headers:0kB muxing overhead: "
       "unknown"},
  };
  for (const Case& c : cases) EXPECT_EQ(FinalSizesLine(c.sizes), c.text);
}

TEST(ProgressTextTest, VideoStatsLines) {
  TVideoStatsSample s;
  s.file_index = 0;
  s.index = 1;
  s.frame_number = 7;
  s.quality = 354;
  s.frame_size = 1000;
  s.data_size = 5000;
  s.seconds = 0.28;
  s.time_base = 0.04;
  s.pict_type = 'I';
  EXPECT_EQ(VideoStatsLine(s),
            "out=  0 st=  1 frame=     7 q= 3.0 f_size=   1000 s_size=        5kB time= 0.280 "
            "br=   200.0kbits/s avg_br=   142.9kbits/s type= I\n");
  s.version = 1;
  s.psnr = true;
  s.width = 320;
  s.height = 240;
  s.error0 = 4993920;  // a thousandth of 320×240×255², which is above 2^32
  s.seconds = 0;
  EXPECT_EQ(VideoStatsLine(s),
            "frame=     7 q= 3.0 PSNR=  30.00 f_size=   1000 s_size=        5kB time= 0.010 "
            "br=   200.0kbits/s avg_br=  4000.0kbits/s type= I\n");
}

// ---- The engine's reports

class ProgressTest : public testrig::TranscoderTest {};

TEST_F(ProgressTest, ReportsFollowTheIntervalAndFillTheFile) {
  TCustomFFmpeg& task = newTask();
  std::vector<TProgressInfo> infos;
  task.FOnProgress = [&](TObject*, const TProgressInfo& i) { infos.push_back(i); };
  const std::string file = path("progress.txt");
  ASSERT_GE(ff::avio_open(&task.Fprogress_avio, file.c_str(), AVIO_FLAG_WRITE), 0);
  task.FOutputDuration = 5000000;

  for (std::int64_t now : {0, 100000, 499999, 600000, 700000}) task.ReportProgress(false, 0, now);
  ASSERT_EQ(infos.size(), 2u);  // at 0 and 600000
  task.ReportProgress(true, 0, 800000);
  ASSERT_EQ(infos.size(), 3u);
  EXPECT_EQ(task.Fprogress_avio, nullptr);
  const TProgressInfo& last = infos.back();
  EXPECT_TRUE(last.Final);
  EXPECT_EQ(last.FrameNumber, -1);
  EXPECT_EQ(last.FPS, -1);
  EXPECT_EQ(last.BitRate, -1);
  EXPECT_EQ(last.TotalDuration, 5000000);
  EXPECT_TRUE(task.Progress().Final) << "the getter holds the last report";

  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::vector<std::string> progress;
  for (std::string l; std::getline(text, l);)
    if (l.rfind("progress=", 0) == 0) progress.push_back(l);
  EXPECT_EQ(progress,
            (std::vector<std::string>{"progress=continue", "progress=continue", "progress=end"}));
}

TEST_F(ProgressTest, EmptyOutputIsReported) {
  struct Case {
    const char* options;
    bool suffix;
  };
  for (const Case& c :
       {Case{"-c:v mpeg4", true}, Case{"-c:v mpeg4 -pass 1 -passlogfile PLOG", false}}) {
    SCOPED_TRACE(c.options);
    TCustomFFmpeg& task = newTask();
    ASSERT_EQ(openInput("-f lavfi", "testsrc=size=64x48:rate=25:duration=1"), 0);
    std::string options = c.options;
    if (const auto at = options.find("PLOG"); at != std::string::npos)
      options.replace(at, 4, path("plog"));
    ASSERT_EQ(openOutput(options, path("out.mkv")), 0) << task.FLastErrMsg;
    log_.clear();
    task.LogFinalStatistics(0);
    EXPECT_TRUE(logged("muxing overhead: unknown"));
    EXPECT_TRUE(logged("Output file is empty, nothing was encoded"));
    EXPECT_EQ(logged(" (check -ss / -t / -frames parameters if used)"), c.suffix);
    EXPECT_TRUE(
        logged("  Output stream #0:0 (video): 0 frames encoded; 0 packets muxed (0 bytes); "));
    EXPECT_TRUE(logged("0 frames successfully decoded, 0 decoding errors"));
  }
}

}  // namespace
