// Setup of a task and the muxing path: decoders and streams initialised,
// headers deferred until every stream is ready, stream copy, muxer limits and
// failures, timestamp repair, hardware decoding without hardware.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "foundation/ErrorText.h"
#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"
#include "transcoder/HWAccel.h"
#include "transcoder/Muxing.h"
#include "transcoder/OutputStreamInit.h"
#include "transcoder/SetupSteps.h"

using namespace corvane;
namespace media = corvane::testmedia;
using ::testing::HasSubstr;

namespace {

struct TReadPacket {
  int stream = 0;
  std::vector<std::uint8_t> data;
  std::int64_t dts = AV_NOPTS_VALUE;
};

// Every packet of a file, in file order.
std::vector<TReadPacket> ReadPackets(const std::string& file) {
  AVFormatContext* raw = nullptr;
  if (ff::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return {};
  InputContextPtr ic(raw);
  ff::avformat_find_stream_info(ic.get(), nullptr);
  std::vector<TReadPacket> out;
  PacketPtr pkt = makePacket();
  while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
    out.push_back({pkt->stream_index, {pkt->data, pkt->data + pkt->size}, pkt->dts});
    ff::av_packet_unref(pkt.get());
  }
  return out;
}

std::vector<std::vector<std::uint8_t>> PayloadsOf(const std::vector<TReadPacket>& packets,
                                                  int stream) {
  std::vector<std::vector<std::uint8_t>> out;
  for (const TReadPacket& p : packets)
    if (p.stream == stream) out.push_back(p.data);
  return out;
}

class SetupMuxTest : public testrig::TranscoderTest {
 protected:
  TCustomFFmpeg& t_ = newTask();

  // Reads every packet of input 0: copies it to the streams that take it and
  // decodes it for the streams that need frames; the first decoded picture
  // initialises the encoded output streams. Then the trailers.
  void Run() {
    TInputFile& f = *t_.Finput_files[0];
    PacketPtr pkt = makePacket();
    while (ff::av_read_frame(f.ctx.get(), pkt.get()) >= 0) {
      TInputStream& ist = *t_.Finput_streams[f.ist_index + pkt->stream_index];
      const std::int64_t ts = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
      if (ts != AV_NOPTS_VALUE)
        ist.pts = ist.dts = ff::av_rescale_q(ts, ist.st->time_base, AV_TIME_BASE_Q);
      for (auto& ost : t_.Foutput_streams)
        if (ost->stream_copy && t_.AcceptsInput(ist, *ost)) t_.CopyPacket(ist, *ost, pkt.get());
      if (ist.decoding_needed) Decode(ist, pkt.get());
      ff::av_packet_unref(pkt.get());
    }
    for (auto& ost : t_.Foutput_streams)
      if (ost->stream_copy && ost->source_index >= 0)
        t_.CopyPacket(*t_.Finput_streams[ost->source_index], *ost, nullptr);
    for (auto& of : t_.Foutput_files)
      if (of->header_written) ff::av_write_trailer(of->ctx.get());
  }

  void Decode(TInputStream& ist, const AVPacket* pkt) {
    if (ff::avcodec_send_packet(ist.dec_ctx.get(), pkt) < 0) return;
    FramePtr frame = makeFrame();
    while (ff::avcodec_receive_frame(ist.dec_ctx.get(), frame.get()) >= 0) {
      ++decoded_;
      last_format_ = frame->format;
      for (TInputFilter* ifilter : ist.filters) InitEncodedOutputs(*ifilter, frame.get());
      ff::av_frame_unref(frame.get());
    }
  }

  void InitEncodedOutputs(TInputFilter& ifilter, AVFrame* frame) {
    TFilterGraph& fg = *ifilter.graph;
    if (!fg.graph) {
      ASSERT_EQ(t_.ifilter_parameters_from_frame(ifilter, frame), 0);
      ASSERT_GE(t_.configure_filtergraph(fg), 0) << t_.FLastErrMsg;
    }
    for (auto& ofilter : fg.outputs)
      if (ofilter->ost && !ofilter->ost->initialized)
        init_result_ = t_.EnsureOutputStream(*ofilter->ost, frame, fatal_);
  }

  int decoded_ = 0;
  int last_format_ = AV_PIX_FMT_NONE;
  int init_result_ = 0;
  bool fatal_ = true;
};

TEST_F(SetupMuxTest, StreamCopyWritesEveryPacketUnchanged) {
  const std::string in = media::ensure(media::Kind::MkvMpeg4VorbisSrt);
  const std::string out = path("copy.mkv");
  ASSERT_EQ(openInput("", in), 0);
  ASSERT_EQ(openOutput("-map 0 -c copy", out), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  EXPECT_EQ(t_.Foutput_files[0]->header_written, 1);
  EXPECT_TRUE(t_.FDecoderList.empty());
  Run();
  EXPECT_FALSE(t_.FRunFailed);
  EXPECT_TRUE(t_.FLastErrMsg.empty()) << t_.FLastErrMsg;

  const std::vector<TReadPacket> source = ReadPackets(in);
  const std::vector<TReadPacket> copied = ReadPackets(out);
  ASSERT_EQ(copied.size(), source.size());
  for (int s = 0; s < 3; ++s) {
    SCOPED_TRACE(s);
    const auto expected = PayloadsOf(source, s);
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(PayloadsOf(copied, s), expected);
    EXPECT_EQ(t_.Foutput_streams[s]->packets_written, static_cast<std::int64_t>(expected.size()));
  }
  EXPECT_TRUE(logged("  Stream #0:0 -> #0:0 (copy) (Video)"));
  EXPECT_TRUE(logged("  Stream #0:2 -> #0:2 (copy) (Subtitle)"));
  t_.CleanupOutputs();
  EXPECT_TRUE(t_.FTranscodeCleanuped);
}

// One copied and one encoded stream in a file: the header waits for the
// encoder, the copied packets wait in their queue and follow it in order.
TEST_F(SetupMuxTest, HeaderWaitsForEveryStreamAndQueuedPacketsFollowIt) {
  const std::string in = media::ensure(media::Kind::Numbered);
  const std::string out = path("mixed.mkv");
  ASSERT_EQ(openInput("", in), 0);
  ASSERT_EQ(openOutput("-map 0:v -map 0:v -c:v:0 copy -c:v:1 mpeg4", out), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  TOutputStream& copy = *t_.Foutput_streams[0];
  TOutputStream& encoded = *t_.Foutput_streams[1];
  EXPECT_TRUE(copy.initialized);
  EXPECT_FALSE(encoded.initialized);
  EXPECT_EQ(t_.Foutput_files[0]->header_written, 0);
  EXPECT_EQ(t_.FDecoderList.size(), 1u);
  EXPECT_TRUE(logged("Stream mapping:"));
  EXPECT_TRUE(logged("  Stream #0:0 -> #0:0 (copy) (Video)"));
  EXPECT_TRUE(logged("  Stream #0:0 -> #0:1 (mpeg4 (native) -> mpeg4 (native)) (Video)"));

  // The first packets are queued before any frame exists; the rest wait
  // until the decoder delivers a picture.
  TInputFile& f = *t_.Finput_files[0];
  TInputStream& ist = *t_.Finput_streams[0];
  PacketPtr pkt = makePacket();
  int queued = 0;
  while (queued < 3 && ff::av_read_frame(f.ctx.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == 0) {
      t_.CopyPacket(ist, copy, pkt.get());
      ++queued;
    }
    ff::av_packet_unref(pkt.get());
  }
  EXPECT_EQ(copy.muxing_queue.size(), 3u);
  EXPECT_GT(copy.muxing_queue_data_size, 0u);
  EXPECT_EQ(copy.packets_written, 0);

  Run();
  EXPECT_EQ(init_result_, 0);
  EXPECT_TRUE(encoded.initialized);
  EXPECT_EQ(encoded.is_avcodec_opened, 1);
  EXPECT_EQ(t_.FEncoderList.size(), 1u);
  EXPECT_EQ(t_.Foutput_files[0]->header_written, 1);
  EXPECT_TRUE(copy.muxing_queue.empty());
  EXPECT_EQ(copy.muxing_queue_data_size, 0u);

  const auto source = PayloadsOf(ReadPackets(in), 0);
  const auto written = PayloadsOf(ReadPackets(out), 0);
  EXPECT_EQ(written, source);
  t_.CleanupOutputs();
  EXPECT_TRUE(t_.FEncoderList.empty());
  EXPECT_TRUE(t_.FDecoderList.empty());
}

TEST_F(SetupMuxTest, EncoderThatFailsToOpenNamesTheStream) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  // 320x240 is not a picture size H.263 can code.
  ASSERT_EQ(openOutput("-map 0:v -c:v h263", path("bad.mkv")), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  fatal_ = false;
  Run();
  EXPECT_LT(init_result_, 0);
  const std::string text =
      "Error initializing output stream 0:0 -- Error while opening encoder for output stream "
      "#0:0 (Video) - maybe incorrect parameters such as bit_rate, rate, width or height. Please "
      "check error log message(reported by FFLogger) to find out more detail information.";
  EXPECT_EQ(t_.FLastErrMsg, text);
  EXPECT_TRUE(logged(text));
  EXPECT_EQ(t_.Foutput_files[0]->header_written, 0);
  EXPECT_TRUE(t_.FEncoderList.empty());

  // On the run's own path the failure aborts the task with the same text.
  fatal_ = true;
  TOutputStream& ost = *t_.Foutput_streams[0];
  FramePtr frame = makeFrame();
  frame->format = AV_PIX_FMT_YUV420P;
  EXPECT_THROW(t_.EnsureOutputStream(ost, frame.get(), true), FFmpegException);
  EXPECT_EQ(t_.FLastErrMsg, text);
}

// A muxer write error is never a success: the stream and every encoder
// finish, the task keeps the error.
TEST_F(SetupMuxTest, WriteFailureFailsTheTask) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  t_.Ffile_overwrite = 1;
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0 -c copy -f nut -flush_packets 1", "/dev/full"), 0);
  if (!t_.InitTranscode()) {
    EXPECT_THAT(t_.FLastErrMsg, HasSubstr("Could not write header for output file #0"));
    return;
  }
  Run();
  EXPECT_TRUE(t_.FRunFailed);
  EXPECT_THAT(t_.FLastErrMsg, HasSubstr("av_interleaved_write_frame(): "));
  EXPECT_THAT(t_.FLastErrMsg, HasSubstr("Please check error log message(reported by FFLogger)"));
  int fully_finished = 0;
  for (auto& ost : t_.Foutput_streams) {
    EXPECT_NE(ost->finished & 1, 0);
    if (ost->finished == 3) ++fully_finished;
  }
  EXPECT_GE(fully_finished, 1);
}

TEST_F(SetupMuxTest, MuxingQueueStopsAtItsLimit) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0:v -map 0:v -c:v:0 copy -c:v:1 mpeg4 -max_muxing_queue_size 4 "
                       "-muxing_queue_data_threshold 1",
                       path("queue.mkv")),
            0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  TOutputStream& copy = *t_.Foutput_streams[0];
  TInputStream& ist = *t_.Finput_streams[0];
  PacketPtr pkt = makePacket();
  int sent = 0;
  try {
    while (ff::av_read_frame(t_.Finput_files[0]->ctx.get(), pkt.get()) >= 0) {
      if (pkt->stream_index == 0) {
        t_.CopyPacket(ist, copy, pkt.get());
        ++sent;
      }
      ff::av_packet_unref(pkt.get());
    }
    FAIL() << "no limit after " << sent << " packets";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Too many packets buffered for output stream 0:0.");
  }
  EXPECT_EQ(copy.muxing_queue.size(), 4u);
}

TEST_F(SetupMuxTest, MuxingQueueLimitTable) {
  struct Case {
    std::size_t queued, bytes, packet, threshold;
    int max;
    bool full;
  } cases[] = {
      {1000, 10, 10, 100, 4, false},        // below the byte threshold: no packet limit
      {3, 95, 10, 100, 4, false},           // past the bytes, below the count
      {4, 95, 10, 100, 4, true},            // past both
      {4, 90, 10, 100, 4, false},           // exactly at the threshold still grows
      {0, 0, 60000000, 52428800, 0, true},  // one huge packet with no room
  };
  for (const Case& c : cases)
    EXPECT_EQ(MuxingQueueFull(c.queued, c.bytes, c.packet, c.threshold, c.max), c.full)
        << c.queued << " " << c.bytes << " " << c.packet;
}

// Each queued packet costs its payload plus a fixed overhead, so a stream of
// empty packets still reaches the byte threshold and then the packet cap.
TEST_F(SetupMuxTest, EmptyPacketsStillFillTheMuxingQueue) {
  EXPECT_EQ(QueuedPacketCharge(0), kQueuedPacketOverhead);
  EXPECT_EQ(QueuedPacketCharge(-5), kQueuedPacketOverhead);
  EXPECT_EQ(QueuedPacketCharge(1000), kQueuedPacketOverhead + 1000);

  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0:v -map 0:v -c:v:0 copy -c:v:1 mpeg4 -max_muxing_queue_size 4 "
                       "-muxing_queue_data_threshold 10000",
                       path("empty.mkv")),
            0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  TOutputFile& of = *t_.Foutput_files[0];
  TOutputStream& copy = *t_.Foutput_streams[0];
  const std::size_t most = 10000 / kQueuedPacketOverhead;
  std::size_t sent = 0;
  try {
    for (; sent < 100000; ++sent) {
      PacketPtr pkt = makePacket();
      pkt->pts = pkt->dts = static_cast<std::int64_t>(sent);
      t_.MuxPacket(of, pkt.get(), copy, false);
    }
    FAIL() << "empty packets queued without limit";
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Too many packets buffered for output stream 0:0.");
  }
  EXPECT_EQ(copy.muxing_queue.size(), most);
  EXPECT_EQ(copy.muxing_queue_data_size, most * kQueuedPacketOverhead);
}

TEST_F(SetupMuxTest, QualityStatsAreReadWithinTheirSize) {
  std::vector<std::uint8_t> full(8 + 4 * 8, 0);
  full[0] = 0x34, full[1] = 0x12;  // quality 0x1234
  full[4] = AV_PICTURE_TYPE_P;
  full[5] = 2;  // two error sums
  full[8] = 7;
  full[16] = 9;
  std::vector<std::uint8_t> claims_four = full;
  claims_four[5] = 200;  // more than the array and the data
  claims_four.resize(8 + 8);
  struct Case {
    const char* name;
    const std::uint8_t* sd;
    std::size_t size;
    int quality, pict_type;
    std::array<std::int64_t, 4> error;
  } cases[] = {
      {"none", nullptr, 0, -1, 0, {-1, -1, -1, -1}},
      {"too short", full.data(), 5, -1, 0, {-1, -1, -1, -1}},
      {"two sums", full.data(), full.size(), 0x1234, AV_PICTURE_TYPE_P, {7, 9, -1, -1}},
      {"count past the data",
       claims_four.data(),
       claims_four.size(),
       0x1234,
       AV_PICTURE_TYPE_P,
       {7, -1, -1, -1}},
      {"header only", full.data(), 6, 0x1234, AV_PICTURE_TYPE_P, {-1, -1, -1, -1}},
  };
  for (const Case& c : cases) {
    int quality = 99, pict_type = 99;
    std::array<std::int64_t, 4> error{};
    ReadQualityStats(c.sd, c.size, quality, pict_type, error);
    EXPECT_EQ(quality, c.quality) << c.name;
    EXPECT_EQ(pict_type, c.pict_type) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

// Timestamps the muxer would refuse are repaired before the write.
TEST_F(SetupMuxTest, BackwardAndInvalidDtsAreRepaired) {
  EXPECT_EQ(GuessInvalidDts(2000, 2100, 1002), 2000);
  EXPECT_EQ(GuessInvalidDts(10, 20, 30), 20);
  EXPECT_EQ(GuessInvalidDts(10, 20, 0), 10);
  EXPECT_EQ(GuessInvalidDts(10, 20, AV_NOPTS_VALUE), 10);

  ASSERT_EQ(openInput("", media::ensure(media::Kind::Wav)), 0);
  ASSERT_EQ(openOutput("-c copy -f nut", path("ts.nut")), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  TOutputFile& of = *t_.Foutput_files[0];
  TOutputStream& ost = *t_.Foutput_streams[0];
  ost.mux_timebase = ost.st->time_base;
  struct Step {
    std::int64_t pts, dts;
    std::int64_t want_pts, want_dts;
    const char* log;
  } steps[] = {
      {0, 0, 0, 0, nullptr},
      {1000, 1000, 1000, 1000, nullptr},
      {999, 999, 1001, 1001, "changing to 1001"},  // one back: raised quietly
      {996, 996, 1002, 1002, "previous: 1001, current: 996; "},
      {1500, 1600, 1500, 1500, "Invalid DTS: 1600 PTS: 1500 in output stream 0:0"},
  };
  for (const Step& s : steps) {
    PacketPtr pkt = makePacket();
    ASSERT_EQ(ff::av_new_packet(pkt.get(), 4), 0);
    pkt->pts = s.pts;
    pkt->dts = s.dts;
    log_.clear();
    t_.MuxPacket(of, pkt.get(), ost, false);
    EXPECT_EQ(ost.last_mux_dts, s.want_dts) << s.dts;
    if (s.log) {
      EXPECT_TRUE(logged(s.log)) << s.log;
    }
  }
  for (const testlog::Entry& e : log_.entries()) EXPECT_NE(e.level, llError);
  ff::av_write_trailer(of.ctx.get());
  EXPECT_EQ(ost.packets_written, 5);
  std::int64_t last = INT64_MIN;
  for (const TReadPacket& p : ReadPackets(path("ts.nut"))) {
    EXPECT_GT(p.dts, last);
    last = p.dts;
  }
}

// A packet without DTS leaves the stream's last DTS alone (the read order
// ranks streams by it); DTS repair at the ends of the range stays defined.
TEST_F(SetupMuxTest, LastMuxDtsSurvivesTimestamplessAndExtremePackets) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Wav)), 0);
  ASSERT_EQ(openOutput("-c copy -f nut", path("nodts.nut")), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  TOutputFile& of = *t_.Foutput_files[0];
  TOutputStream& ost = *t_.Foutput_streams[0];
  ost.mux_timebase = ost.st->time_base;
  auto mux = [&](std::int64_t pts, std::int64_t dts) {
    PacketPtr pkt = makePacket();
    ASSERT_EQ(ff::av_new_packet(pkt.get(), 4), 0);
    pkt->pts = pts;
    pkt->dts = dts;
    t_.MuxPacket(of, pkt.get(), ost, false);
  };
  mux(100, 100);
  mux(AV_NOPTS_VALUE, AV_NOPTS_VALUE);
  EXPECT_EQ(ost.last_mux_dts, 100);
  mux(200, 200);
  EXPECT_EQ(ost.last_mux_dts, 200);
  // The next DTS after the largest one cannot be represented: it saturates.
  ost.last_mux_dts = INT64_MAX;
  mux(INT64_MIN + 1, INT64_MIN + 1);
  EXPECT_EQ(ost.last_mux_dts, INT64_MAX);
}

int gUninitCalls = 0;
void CountUninit(AVCodecContext*) { ++gUninitCalls; }

// A finished run closes its decoders through the same path as a failed
// setup: the decoder's hardware hook runs once.
TEST_F(SetupMuxTest, FinishedRunCallsTheDecodersHardwareUninit) {
  gUninitCalls = 0;
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Wav)), 0);
  ASSERT_EQ(openOutput("-c:a pcm_s16le -f null", path("hw.null")), 0);
  t_.Finput_streams[0]->hwaccel_uninit = CountUninit;
  t_.StartConvert(false);
  EXPECT_TRUE(t_.Finished()) << t_.FatalMessage();
  EXPECT_EQ(gUninitCalls, 1);
}

TEST_F(SetupMuxTest, FrameLimitDropsLaterCopiedPackets) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0:v -c copy -frames:v 10", path("ten.mkv")), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  Run();
  EXPECT_EQ(t_.Foutput_streams[0]->packets_written, 10);
  EXPECT_EQ(PayloadsOf(ReadPackets(path("ten.mkv")), 0).size(), 10u);
}

TEST_F(SetupMuxTest, SdpDescribesRtpOutputs) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0:v -c copy -f rtp", "rtp://127.0.0.1:45678"), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  ff::av_write_trailer(t_.Foutput_files[0]->ctx.get());
  EXPECT_TRUE(logged("SDP:\r\nv=0"));
  EXPECT_TRUE(logged("m=video 45678 RTP/AVP"));
}

TEST_F(SetupMuxTest, SdpGoesToTheSdpFile) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0:v -c copy -f rtp", "rtp://127.0.0.1:45680"), 0);
  t_.Fsdp_filename = path("out.sdp");
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  ff::av_write_trailer(t_.Foutput_files[0]->ctx.get());
  std::ifstream sdp(path("out.sdp"));
  std::stringstream text;
  text << sdp.rdbuf();
  EXPECT_THAT(text.str(), HasSubstr("m=video 45680 RTP/AVP"));
  EXPECT_TRUE(t_.Fsdp_filename.empty());
}

// An SDP that cannot be made (AAC without its configuration in the stream
// parameters) or written: logged; when a file was asked for, the task fails.
TEST_F(SetupMuxTest, SdpFailuresAreReported) {
  const std::string adts = path("tone.aac");
  TCustomFFmpeg& maker = newTask();
  ASSERT_EQ(openInput("-f lavfi", "sine=frequency=440:sample_rate=44100:duration=1"), 0);
  ASSERT_EQ(openOutput("-c:a aac", adts), 0) << maker.FLastErrMsg;
  maker.StartConvert(false);
  ASSERT_TRUE(maker.Finished()) << maker.FatalMessage();
  struct Case {
    const char* name;
    std::string input;
    const char* map;
    std::string sdp_file;
    const char* text;
    bool finished;
  };
  const std::string numbered = media::ensure(media::Kind::Numbered);
  const Case cases[] = {
      {"no description, to the log", adts, "0:a", "", "Error creating the SDP description: ", true},
      {"no description, to a file", adts, "0:a", path("a.sdp"),
       "Error creating the SDP description: ", false},
      {"unopenable file", numbered, "0:v", path("no/such/dir/v.sdp"), "Failed to open sdp file",
       false},
      {"file on a full device", numbered, "0:v", "/dev/full",
       "Error writing sdp file \"/dev/full\": ", false},
  };
  int port = 45700;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.sdp_file == "/dev/full" && !std::filesystem::exists("/dev/full")) continue;
    log_.clear();
    TCustomFFmpeg& task = newTask();
    task.Fsdp_filename = c.sdp_file;
    ASSERT_EQ(openInput("", c.input), 0) << task.FLastErrMsg;
    const std::string url = strprintf("rtp://127.0.0.1:%d", port += 2);
    ASSERT_EQ(openOutput(std::string("-map ") + c.map + " -c copy -t 0.5 -f rtp", url), 0)
        << task.FLastErrMsg;
    task.StartConvert(false);
    EXPECT_TRUE(logged(c.text));
    EXPECT_EQ(task.Finished(), c.finished) << task.FatalMessage();
    if (!c.finished) {
      EXPECT_THAT(task.FatalMessage(), HasSubstr(c.text));
    }
  }
}

// No hardware here: automatic acceleration falls back to software decoding;
// a named device type that cannot be created fails the setup with its texts.
TEST_F(SetupMuxTest, HardwareDecodingWithoutHardware) {
  const std::string in = media::ensure(media::Kind::Numbered);
  ASSERT_EQ(openInput("-hwaccel auto", in), 0);
  ASSERT_EQ(openOutput("-map 0:v -c:v mpeg4", path("auto.mkv")), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  const bool has_hw_config = ff::avcodec_get_hw_config(t_.Finput_streams[0]->avdec, 0) != nullptr;
  if (has_hw_config) {
    EXPECT_TRUE(logged("Auto hwaccel disabled: no device found."));
  }
  EXPECT_EQ(t_.Finput_streams[0]->hwaccel_id, has_hw_config ? HWACCEL_NONE : HWACCEL_AUTO);
  Run();
  EXPECT_GT(decoded_, 0);
  EXPECT_EQ(last_format_, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(init_result_, 0);

  TCustomFFmpeg& t = newTask();
  ASSERT_EQ(openInput("-hwaccel vaapi", in), 0);
  ASSERT_EQ(openOutput("-map 0:v -c:v mpeg4", path("vaapi.mkv")), 0);
  ASSERT_FALSE(t.InitTranscode());
  EXPECT_THAT(t.FLastErrMsg, HasSubstr("transcode_init() error: "));
  EXPECT_TRUE(logged("No device available for decoder: device type vaapi needed for codec mpeg4."));
  EXPECT_TRUE(logged("Device setup failed for decoder on input stream #0:0 : "));
  EXPECT_TRUE(t.FTranscodeCleanuped);
  EXPECT_TRUE(t.FDecoderList.empty());
}

// The decoder's format choice, called as the library calls it.
TEST_F(SetupMuxTest, NegotiateFormatPrefersUsableHardwareElseSoftware) {
  const AVCodec* dec = ff::avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  ASSERT_NE(dec, nullptr);
  bool vaapi_config = false;
  for (int i = 0; const AVCodecHWConfig* c = ff::avcodec_get_hw_config(dec, i); ++i)
    vaapi_config |=
        c->pix_fmt == AV_PIX_FMT_VAAPI && (c->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX);
  constexpr AVPixelFormat N = AV_PIX_FMT_NONE;
  struct Case {
    const char* name;
    THWAccelID id;
    AVHWDeviceType type;
    std::vector<AVPixelFormat> offered;
    AVPixelFormat chosen;
    bool needs_vaapi;
  } cases[] = {
      {"no acceleration",
       HWACCEL_NONE,
       AV_HWDEVICE_TYPE_NONE,
       {AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P, N},
       AV_PIX_FMT_YUV420P,
       false},
      {"generic of another type",
       HWACCEL_GENERIC,
       AV_HWDEVICE_TYPE_VDPAU,
       {AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P, N},
       AV_PIX_FMT_YUV420P,
       true},
      {"generic of the type",
       HWACCEL_GENERIC,
       AV_HWDEVICE_TYPE_VAAPI,
       {AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P, N},
       AV_PIX_FMT_VAAPI,
       true},
      {"auto with its device",
       HWACCEL_AUTO,
       AV_HWDEVICE_TYPE_VAAPI,
       {AV_PIX_FMT_VAAPI, AV_PIX_FMT_YUV420P, N},
       AV_PIX_FMT_VAAPI,
       true},
      {"qsv not requested",
       HWACCEL_NONE,
       AV_HWDEVICE_TYPE_NONE,
       {AV_PIX_FMT_QSV, AV_PIX_FMT_NV12, N},
       AV_PIX_FMT_NV12,
       false},
      {"only hardware offered",
       HWACCEL_NONE,
       AV_HWDEVICE_TYPE_NONE,
       {AV_PIX_FMT_VAAPI, N},
       N,
       false},
  };
  for (const Case& c : cases) {
    if (c.needs_vaapi && !vaapi_config) continue;
    CodecContextPtr ctx(ff::avcodec_alloc_context3(dec));
    TInputStream ist;
    ist.hwaccel_id = c.id;
    ist.hwaccel_device_type = c.type;
    ctx->opaque = &ist;
    EXPECT_EQ(NegotiateFormat(ctx.get(), c.offered.data()), c.chosen) << c.name;
    const bool hw = c.chosen == AV_PIX_FMT_VAAPI;
    EXPECT_EQ(ist.hwaccel_pix_fmt.load(), hw ? AV_PIX_FMT_VAAPI : AV_PIX_FMT_NONE) << c.name;
    EXPECT_EQ(ist.hwaccel_retrieve_data != nullptr, hw) << c.name;
  }

  // QSV asked for, but no device can be made: the decoder gets no format.
  {
    CodecContextPtr ctx(ff::avcodec_alloc_context3(dec));
    TInputStream ist;
    BufferRefPtr device;
    std::string child;
    ist.hwaccel_id = HWACCEL_QSV;
    ist.hw_device_ctx = &device;
    ist.qsv_device = &child;
    ctx->opaque = &ist;
    const AVPixelFormat offered[] = {AV_PIX_FMT_QSV, AV_PIX_FMT_NV12, N};
    const AVPixelFormat chosen = NegotiateFormat(ctx.get(), offered);
    if (!device) {  // no QSV hardware
      EXPECT_EQ(chosen, N);
      EXPECT_TRUE(
          logged("qsv hwaccel requested for input stream #0:-1, but cannot be initialized."));
    }
  }

  // A frame already in the wanted format passes untouched.
  CodecContextPtr ctx(ff::avcodec_alloc_context3(dec));
  TInputStream ist;
  ist.hwaccel_output_format = AV_PIX_FMT_YUV420P;
  ctx->opaque = &ist;
  FramePtr frame = makeFrame();
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = 16;
  frame->height = 16;
  ASSERT_EQ(ff::av_frame_get_buffer(frame.get(), 0), 0);
  std::uint8_t* data = frame->data[0];
  EXPECT_EQ(RetrieveHardwareFrame(ctx.get(), frame.get()), 0);
  EXPECT_EQ(frame->data[0], data);
}

TEST_F(SetupMuxTest, MissingDecoderFailsSetupWithItsText) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0:v -c:v mpeg4", path("nodec.mkv")), 0);
  t_.Finput_streams[0]->avdec = nullptr;
  ASSERT_FALSE(t_.InitTranscode());
  EXPECT_TRUE(logged("Decoder (codec mpeg4) not found for input stream #0:0"));
  EXPECT_EQ(t_.FLastErrMsg, error_text("transcode_init() error", AVERROR(EINVAL)) +
                                ". Please check error log message(reported by FFLogger) to find "
                                "out more detail information.");
  EXPECT_TRUE(logged("Stream mapping:"));
  EXPECT_TRUE(t_.FTranscodeCleanuped);
}

}  // namespace

// Whole tasks on the caller's thread: a copy ends finished with every packet;
// a copy into a full device ends failed with the muxer's error.
TEST_F(SetupMuxTest, WholeCopyTasks) {
  const std::string in = media::ensure(media::Kind::Numbered);
  ASSERT_EQ(openInput("", in), 0);
  ASSERT_EQ(openOutput("-map 0 -c copy", path("whole.mkv")), 0);
  t_.StartConvert(false);
  EXPECT_TRUE(t_.Finished()) << t_.FatalMessage();
  EXPECT_FALSE(t_.FatalException());
  const std::vector<TReadPacket> source = ReadPackets(in);
  const std::vector<TReadPacket> copied = ReadPackets(path("whole.mkv"));
  EXPECT_EQ(copied.size(), source.size());
  for (int s = 0; s < 2; ++s) EXPECT_EQ(PayloadsOf(copied, s), PayloadsOf(source, s)) << s;

  if (!std::filesystem::exists("/dev/full")) return;
  TCustomFFmpeg& t = newTask();
  t.Ffile_overwrite = 1;
  ASSERT_EQ(openInput("", in), 0);
  ASSERT_EQ(openOutput("-map 0 -c copy -f nut -flush_packets 1", "/dev/full"), 0);
  t.StartConvert(false);
  EXPECT_FALSE(t.Finished());
  EXPECT_TRUE(t.FatalException());
  EXPECT_TRUE(logged("av_interleaved_write_frame(): "));
}

// A codec option nobody took: fatal when options must be valid, else only a
// warning that leaves the task's error text alone.
TEST_F(SetupMuxTest, LeftoverCodecOptions) {
  struct Case {
    bool halt;
    bool throws;
  } cases[] = {{true, true}, {false, false}};
  for (const Case& c : cases) {
    TCustomFFmpeg& t = newTask();
    t.HaltOnInvalidOption = c.halt;
    TDictionary opts;
    opts.set("no_such_option", "1");
    log_.clear();
    if (c.throws) {
      EXPECT_THROW(CheckLeftoverOptions(t, opts), FFmpegException);
      EXPECT_EQ(t.FLastErrMsg, "Option no_such_option not found.");
    } else {
      CheckLeftoverOptions(t, opts);
      EXPECT_TRUE(t.FLastErrMsg.empty());
      EXPECT_TRUE(logged("Option no_such_option not found."));
    }
    CheckLeftoverOptions(t, TDictionary());
  }
}

// An encoder fed by a graph of two inputs has no source decoder to take
// sample details from.
TEST_F(SetupMuxTest, ComplexGraphIntoAudioEncoder) {
  ASSERT_EQ(openInput("-f lavfi", "sine=frequency=440:duration=1"), 0);
  ASSERT_EQ(openInput("-f lavfi", "sine=frequency=660:duration=1"), 1);
  ASSERT_EQ(openOutput("-filter_complex [0:a][1:a]amix[a] -map [a] -c:a aac", path("mix.m4a")), 0);
  ASSERT_TRUE(t_.InitTranscode()) << t_.FLastErrMsg;
  EXPECT_TRUE(logged("  Stream #0:0 (pcm_s16le) -> amix:input0"));
  EXPECT_TRUE(logged("  Stream #1:0 (pcm_s16le) -> amix:input1"));
  EXPECT_TRUE(logged("  amix -> Stream #0:0 (aac) (Audio)"));
  EXPECT_EQ(t_.Foutput_streams[0]->source_index, -1);
  t_.StartConvert(false);
  EXPECT_TRUE(t_.Finished()) << t_.FatalMessage();
  EXPECT_GT(ReadPackets(path("mix.m4a")).size(), 10u);
}

// Output start and duration on a copied stream: packets before the start and
// up to the next key packet are dropped, packets from the end on are not
// written; the first written packet starts at the output's zero.
TEST_F(SetupMuxTest, CopyHonoursOutputStartAndDuration) {
  namespace numbered = media::numbered;
  const std::string in = media::ensure(media::Kind::Numbered);
  const int first_key = ((media::kFps + numbered::kGop - 1) / numbered::kGop) * numbered::kGop;
  struct Case {
    const char* options;
    int first_frame, frames;
  } cases[] = {
      {"-map 0:v -c copy -ss 1", first_key, numbered::kFrames - first_key},
      {"-map 0:v -c copy -t 1", 0, media::kFps},
      {"-map 0:v -c copy -ss 1 -t 2", first_key, 3 * media::kFps - first_key},
  };
  const auto source = PayloadsOf(ReadPackets(in), 0);
  ASSERT_EQ(static_cast<int>(source.size()), numbered::kFrames);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    TCustomFFmpeg& t = newTask();
    const std::string out = path("cut.nut");
    std::filesystem::remove(out);
    ASSERT_EQ(openInput("", in), 0);
    ASSERT_EQ(openOutput(c.options, out), 0);
    t.StartConvert(false);
    ASSERT_TRUE(t.Finished()) << t.FatalMessage();
    const std::vector<TReadPacket> written = ReadPackets(out);
    const auto payloads = PayloadsOf(written, 0);
    ASSERT_EQ(static_cast<int>(payloads.size()), c.frames);
    for (int i = 0; i < c.frames; ++i) EXPECT_EQ(payloads[i], source[c.first_frame + i]) << i;
  }
}

TEST_F(SetupMuxTest, ForcedKeyFrameTimesAreSortedInTheEncoderTimeBase) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
  ASSERT_EQ(openOutput("-map 0:v -c:v mpeg4", path("kf.mkv")), 0);
  TOutputStream& ost = *t_.Foutput_streams[0];
  CodecContextPtr enc(ff::avcodec_alloc_context3(nullptr));
  enc->time_base = AVRational{1, 25};
  struct Case {
    const char* text;
    std::vector<std::int64_t> pts;
  } cases[] = {
      {"2,0.4,1", {10, 25, 50}},
      {"chapters+5", {}},  // a file without chapters
      {"chapters,1", {25}},
      {"00:00:01.2", {30}},
  };
  for (const Case& c : cases) {
    ParseForcedKeyFrames(t_, c.text, ost, enc.get());
    EXPECT_EQ(ost.forced_kf_pts, c.pts) << c.text;
  }
  EXPECT_THROW(ParseForcedKeyFrames(t_, "1,soon", ost, enc.get()), FFmpegException);
}

TEST_F(SetupMuxTest, DispositionFlagsOfCopiedStreams) {
  struct Case {
    const char* value;
    int disposition;  // -1: refused
  } cases[] = {
      {"forced+hearing_impaired", AV_DISPOSITION_FORCED | AV_DISPOSITION_HEARING_IMPAIRED},
      {"default", AV_DISPOSITION_DEFAULT},
      {"0", 0},
      {"loud", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TCustomFFmpeg& t = newTask();
    ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
    ASSERT_EQ(
        openOutput(std::string("-map 0:v -c copy -disposition:v ") + c.value, path("disp.mkv")), 0);
    const bool ok = t.InitTranscode();
    EXPECT_EQ(ok, c.disposition >= 0) << t.FLastErrMsg;
    if (ok) {
      EXPECT_EQ(t.Foutput_streams[0]->st->disposition, c.disposition);
    } else {
      EXPECT_THAT(t.FLastErrMsg, HasSubstr("av_opt_eval_flags() failed()"));
    }
  }
}

// A copy and an encoded stream in one file through a whole task: the header
// waits for the encoder, every copied packet arrives in order.
TEST_F(SetupMuxTest, WholeTaskCopyAndEncodeInOneFile) {
  const std::string in = media::ensure(media::Kind::Numbered);
  ASSERT_EQ(openInput("", in), 0);
  ASSERT_EQ(openOutput("-map 0:v -map 0:a -c:v mpeg4 -c:a copy", path("both.mkv")), 0);
  t_.StartConvert(false);
  ASSERT_TRUE(t_.Finished()) << t_.FatalMessage();
  const std::vector<TReadPacket> written = ReadPackets(path("both.mkv"));
  EXPECT_EQ(PayloadsOf(written, 1), PayloadsOf(ReadPackets(in), 1));
  EXPECT_EQ(static_cast<int>(PayloadsOf(written, 0).size()), media::numbered::kFrames);
}

TEST_F(SetupMuxTest, HeaderTheMuxerRefusesFailsSetupWithItsText) {
  ASSERT_EQ(openInput("", media::ensure(media::Kind::MkvMpeg4VorbisSrt)), 0);
  ASSERT_EQ(openOutput("-map 0:s -c:s copy", path("subs.mp4")), 0);
  ASSERT_FALSE(t_.InitTranscode());
  EXPECT_THAT(t_.FLastErrMsg,
              ::testing::StartsWith(
                  "Could not write header for output file #0 (incorrect codec parameters ?): "));
  EXPECT_TRUE(logged("Error initializing output stream 0:0 -- Could not write header"));
  EXPECT_EQ(t_.Foutput_files[0]->header_written, 0);
}

TEST_F(SetupMuxTest, EncoderTagNamesTheLibraryUnlessBitExact) {
  struct Case {
    const char* options;
    const char* tag;
  } cases[] = {
      {"-map 0:v -c:v mpeg4", LIBAVCODEC_IDENT " mpeg4"},
      {"-map 0:v -c:v mpeg4 -fflags +bitexact", "Lavc mpeg4"},
      {"-map 0:v -c:v mpeg4 -flags +bitexact", "Lavc mpeg4"},
      {"-map 0:v -c:v mpeg4 -metadata:s:v encoder=mine", "mine"},
  };
  for (const Case& c : cases) {
    TCustomFFmpeg& t = newTask();
    ASSERT_EQ(openInput("", media::ensure(media::Kind::Numbered)), 0);
    ASSERT_EQ(openOutput(c.options, path("tag.mkv")), 0) << c.options;
    TOutputStream& ost = *t.Foutput_streams[0];
    TagEncoder(t, *t.Foutput_files[0], ost);
    const AVDictionaryEntry* e = ff::av_dict_get(ost.st->metadata, "encoder", nullptr, 0);
    ASSERT_NE(e, nullptr) << c.options;
    EXPECT_STREQ(e->value, c.tag) << c.options;
  }
}
