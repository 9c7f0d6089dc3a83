// Frame encoding: the video sync decision and timestamp arithmetic as tables,
// and encodes through configured graphs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

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

// ---- Encodes through whole tasks

namespace {

struct VideoPacket {
  double time;
  bool key;
};

// The video packets of a written file, in file order.
std::vector<VideoPacket> videoPackets(const std::string& file) {
  std::vector<VideoPacket> out;
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return out;
  InputContextPtr ic(raw);
  if (ff::avformat_find_stream_info(ic.get(), nullptr) < 0) return out;
  PacketPtr pkt = makePacket();
  while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
    const AVStream* st = ic->streams[pkt->stream_index];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
      out.push_back({static_cast<double>(pkt->pts) * av_q2d(st->time_base),
                     (pkt->flags & AV_PKT_FLAG_KEY) != 0});
    ff::av_packet_unref(pkt.get());
  }
  return out;
}

std::vector<double> keyTimes(const std::vector<VideoPacket>& packets) {
  std::vector<double> times;
  for (const VideoPacket& p : packets)
    if (p.key) times.push_back(std::round(p.time * 100) / 100);
  return times;
}

class EncodingTest : public testrig::TranscoderTest {
 protected:
  TCustomFFmpeg& run(const std::string& input, const std::string& output_options,
                     const std::string& out, int inputs = 1) {
    TCustomFFmpeg& task = newTask();
    for (int i = 0; i < inputs; ++i) EXPECT_GE(openInput("-f lavfi", input), 0) << task.FLastErrMsg;
    EXPECT_GE(openOutput(output_options, out), 0) << task.FLastErrMsg;
    task.StartConvert(false);
    EXPECT_TRUE(task.Finished()) << task.FatalMessage();
    return task;
  }
};

constexpr const char* k25fps = "testsrc=size=64x48:rate=25:duration=1";

TEST_F(EncodingTest, FrameRateConversionAndLimits) {
  struct Case {
    const char* name;
    const char* options;
    const char* file;
    std::size_t frames;
    std::int64_t dups;
    int inputs = 1;
  };
  const Case cases[] = {
      {"25 to 50 fps doubles", "-vsync 1 -r 50 -c:v mpeg4", "d.nut", 50, 25},
      {"variable rate keeps frames", "-vsync 2 -r 50 -c:v mpeg4", "v.nut", 25, 0},
      {"frame limit with copies", "-vsync 1 -r 50 -frames:v 10 -c:v mpeg4", "l.nut", 10, 5},
      // Fed by two inputs, so without a source stream; mp4 has no variable rate.
      {"complex graph, automatic sync", "-filter_complex [0:v][1:v]hstack[v] -map [v] -c:v mpeg4",
       "c.mp4", 25, 0, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log_.clear();
    TCustomFFmpeg& task = run(k25fps, c.options, path(c.file), c.inputs);
    EXPECT_EQ(videoPackets(path(c.file)).size(), c.frames);
    EXPECT_EQ(task.Fnb_frames_dup, c.dups);
    EXPECT_EQ(task.Fnb_frames_drop, 0);
    if (c.dups) {
      EXPECT_TRUE(logged("*** 1 dup!"));
    }
  }
}

TEST_F(EncodingTest, KeyFrameSpacing) {
  struct Case {
    const char* name;
    const char* options;
    std::vector<double> keys;
  };
  const Case cases[] = {
      {"gop size",
       "-c:v mpeg4 -g 10",
       {0, 0.4, 0.8, 1.2, 1.6, 2.0, 2.4, 2.8, 3.2, 3.6, 4.0, 4.4, 4.8}},
      {"expression every 2 s",
       "-c:v mpeg4 -g 1000 -force_key_frames expr:gte(t,n_forced*2)",
       {0, 2, 4}},
      {"listed times", "-c:v mpeg4 -g 1000 -force_key_frames 1.6,0.4", {0, 0.4, 1.6}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    run("testsrc=size=64x48:rate=25:duration=5", c.options, path("k.nut"));
    EXPECT_EQ(keyTimes(videoPackets(path("k.nut"))), c.keys);
  }
}

TEST_F(EncodingTest, StatisticsFiles) {
  const std::string vstats = path("vstats.log");
  const std::string passlog = path("pass");
  run(k25fps,
      "-debug_ts -c:v mpeg4 -frames:v 5 -pass 1 -passlogfile " + passlog + " -vstats_file " +
          vstats,
      path("s.nut"));
  EXPECT_TRUE(logged("filter -> pts:1 pts_time:0.04 exact:1.000008 time_base:1/25"));
  EXPECT_TRUE(logged("encoder <- type:video frame_pts:1 frame_pts_time:0.04 time_base:1/25"));
  EXPECT_TRUE(logged("encoder -> type:video pkt_pts:1 pkt_pts_time:0.04 pkt_dts:1"));
  std::ifstream in(vstats);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].rfind("out=  0 st=  0 frame=     1 q=", 0), 0u) << lines[0];
  EXPECT_NE(lines[4].find("frame=     5"), std::string::npos) << lines[4];
  EXPECT_NE(lines[0].find("type= I"), std::string::npos) << lines[0];
  EXPECT_GT(std::filesystem::file_size(passlog + "-0.log"), 0u);
}

// The encoder's per-frame error sums reach the statistics file and the
// progress file as plausible PSNR values, the final one from the totals.
TEST_F(EncodingTest, PsnrOfARealEncode) {
  const std::string vstats = path("psnr.log");
  const std::string progress = path("psnr.txt");
  run("testsrc=size=160x120:rate=25:duration=1",
      "-psnr -c:v mpeg4 -q:v 3 -vstats_file " + vstats + " -progress " + progress,
      path("psnr.nut"));
  const auto values = [](const std::string& file, const std::regex& re) {
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<double> out;
    for (std::sregex_iterator i(text.begin(), text.end(), re), end; i != end; ++i)
      out.push_back(std::stod((*i)[1]));
    return out;
  };
  const auto plausible = [](const std::vector<double>& psnr) {
    for (double p : psnr) {
      EXPECT_GT(p, 25.0);
      EXPECT_LT(p, 80.0);
    }
  };
  const std::vector<double> per_frame = values(vstats, std::regex("PSNR= +([0-9.]+) "));
  EXPECT_EQ(per_frame.size(), 25u);
  plausible(per_frame);
  for (const char* plane : {"y", "u", "v", "all"}) {
    SCOPED_TRACE(plane);
    const std::vector<double> reported =
        values(progress, std::regex(std::string("stream_0_0_psnr_") + plane + "=([0-9.]+)\n"));
    ASSERT_FALSE(reported.empty());
    plausible(reported);
  }
  EXPECT_TRUE(logged("PSNR=Y:"));
}

TEST_F(EncodingTest, AudioEncodersDrainAtTheEnd) {
  run("sine=frequency=440:sample_rate=44100:duration=1", "-c:a mp2", path("a.nut"));
  // 1152-sample frames, the last one short and padded by the encoder.
  EXPECT_TRUE(
      logged("  Output stream #0:0 (audio): 39 frames encoded (44100 samples); 39 packets "
             "muxed"));
  EXPECT_TRUE(logged("audio:"));
  EXPECT_TRUE(logged("muxing overhead: "));
}

TEST_F(EncodingTest, ProgressOfARun) {
  TCustomFFmpeg& task = newTask();
  std::vector<TProgressInfo> infos;
  task.FOnProgress = [&](TObject*, const TProgressInfo& i) { infos.push_back(i); };
  ASSERT_GE(openInput("-f lavfi", k25fps), 0);
  ASSERT_GE(openOutput("-c:v mpeg4 -progress " + path("progress.txt"), path("p.nut")), 0);
  task.StartConvert(false);
  ASSERT_TRUE(task.Finished()) << task.FatalMessage();
  ASSERT_FALSE(infos.empty());
  const TProgressInfo& last = infos.back();
  EXPECT_TRUE(last.Final);
  EXPECT_EQ(last.FrameNumber, 25);
  EXPECT_GT(last.CurrentSize, 0);
  EXPECT_NEAR(static_cast<double>(last.CurrentDuration), 1000000, 40000);
  EXPECT_TRUE(logged("  Output stream #0:0 (video): 25 frames encoded; 25 packets muxed"));
  std::ifstream in(path("progress.txt"));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("frame=25\n"), std::string::npos) << text;
  EXPECT_EQ(text.rfind("progress=end\n"), text.size() - 13) << text;
}

TEST_F(EncodingTest, SubtitlesAreEncodedWithTheirTimes) {
  const std::string srt = path("cues.srt");
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nHello\n\n"
                        "2\n00:00:02,000 --> 00:00:03,500\nWorld\n\n";
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("", srt), 0) << task.FLastErrMsg;
  ASSERT_GE(openOutput("-c:s srt", path("s.mkv")), 0) << task.FLastErrMsg;
  task.StartConvert(false);
  ASSERT_TRUE(task.Finished()) << task.FatalMessage();

  AVFormatContext* raw = nullptr;
  ASSERT_GE(ff::avformat_open_input(&raw, path("s.mkv").c_str(), nullptr, nullptr), 0);
  InputContextPtr ic(raw);
  std::vector<std::pair<double, double>> cues;
  PacketPtr pkt = makePacket();
  while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
    const double tb = av_q2d(ic->streams[pkt->stream_index]->time_base);
    cues.emplace_back(static_cast<double>(pkt->pts) * tb, static_cast<double>(pkt->duration) * tb);
    ff::av_packet_unref(pkt.get());
  }
  EXPECT_EQ(cues, (std::vector<std::pair<double, double>>{{0.5, 0.5}, {2.0, 1.5}}));
}

// Two encoded copies of one subtitle stream in a file that starts later:
// both carry the same, shifted cue times.
TEST_F(EncodingTest, EverySubtitleOutputGetsTheSameTimes) {
  const std::string srt = path("cues2.srt");
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nHello\n\n"
                        "2\n00:00:02,000 --> 00:00:03,500\nWorld\n\n";
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("", srt), 0) << task.FLastErrMsg;
  ASSERT_GE(openOutput("-map 0 -map 0 -c:s srt -ss 0.2", path("s2.mkv")), 0) << task.FLastErrMsg;
  task.StartConvert(false);
  ASSERT_TRUE(task.Finished()) << task.FatalMessage();

  AVFormatContext* raw = nullptr;
  ASSERT_GE(ff::avformat_open_input(&raw, path("s2.mkv").c_str(), nullptr, nullptr), 0);
  InputContextPtr ic(raw);
  std::vector<std::pair<double, double>> cues[2];
  PacketPtr pkt = makePacket();
  while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
    const double tb = av_q2d(ic->streams[pkt->stream_index]->time_base);
    if (pkt->stream_index < 2)
      cues[pkt->stream_index].emplace_back(std::round(pkt->pts * tb * 1000) / 1000,
                                           std::round(pkt->duration * tb * 1000) / 1000);
    ff::av_packet_unref(pkt.get());
  }
  const std::vector<std::pair<double, double>> want{{0.3, 0.5}, {1.8, 1.5}};
  EXPECT_EQ(cues[0], want);
  EXPECT_EQ(cues[1], want);
}

}  // namespace

namespace {

// Asks for a stop while its first output picture is handed to the encoder.
class StopOnFirstFrame : public TCustomFFmpeg {
 public:
  ~StopOnFirstFrame() override { Stop(true); }  // the hook is gone after this
  void OutputFrameHook(TOutputStream&, AVFrame*) override {
    if (++frames == 1) FBroken = true;
  }
  int frames = 0;
};

// A frame every 20 s at 1000 frames per second: one call would emit 20000
// copies; the run says so, and a stop still cuts the burst short.
TEST_F(EncodingTest, LongDuplicationBurstIsAnnouncedAndStoppable) {
  auto owned = std::make_unique<StopOnFirstFrame>();
  StopOnFirstFrame& task = *owned;
  engine_ = std::move(owned);
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=1/20:duration=40"), 0);
  ASSERT_GE(openOutput("-vsync 1 -r 1000 -c:v mpeg4", path("burst.nut")), 0);
  task.StartConvert(false);
  EXPECT_TRUE(logged("copies of one frame"));
  EXPECT_EQ(task.frames, 11);
}

// Pauses once its first output picture is handed to the encoder.
class PauseOnFirstFrame : public TCustomFFmpeg {
 public:
  void OutputFrameHook(TOutputStream&, AVFrame*) override {
    if (++frames == 1) Pause();
  }
  std::atomic<int> frames{0};
};

// A pause takes hold within a long burst, not only after it.
TEST_F(EncodingTest, PauseHoldsInsideALongDuplicationBurst) {
  auto owned = std::make_unique<PauseOnFirstFrame>();
  PauseOnFirstFrame& task = *owned;
  engine_ = std::move(owned);
  ASSERT_GE(openInput("-f lavfi", "testsrc=size=64x48:rate=1/20:duration=40"), 0);
  ASSERT_GE(openOutput("-vsync 1 -r 1000 -c:v mpeg4 -f null", path("pause.null")), 0);
  int held = -1;
  std::thread watcher([&] {
    using namespace std::chrono;
    const auto give_up = steady_clock::now() + seconds(60);
    while (task.frames < 1000 && steady_clock::now() < give_up)
      std::this_thread::sleep_for(milliseconds(5));
    std::this_thread::sleep_for(milliseconds(300));
    held = task.frames;
    task.Stop(false);
  });
  task.StartConvert(false);
  watcher.join();
  EXPECT_EQ(held, 1000);
}

TEST_F(EncodingTest, StopCutsADuplicationRunShort) {
  auto owned = std::make_unique<StopOnFirstFrame>();
  StopOnFirstFrame& task = *owned;
  engine_ = std::move(owned);
  ASSERT_GE(openInput("-f lavfi", k25fps), 0);
  // Each picture would be repeated 40 times.
  ASSERT_GE(openOutput("-vsync 1 -r 1000 -c:v mpeg4", path("stop.nut")), 0);
  task.StartConvert(false);
  EXPECT_TRUE(logged("break in do_video_out()"));
  EXPECT_EQ(task.frames, 11);
}

}  // namespace
