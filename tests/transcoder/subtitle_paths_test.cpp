// Subtitles through whole tasks: DVB subtitles written as a show and a clear
// packet, failures of subtitle decoding and encoding, and the queue of
// subtitles waiting for a burn-in graph.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "support/MediaReadBack.h"
#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

class SubtitlePathsTest : public testrig::TranscoderTest {
 protected:
  // Runs a whole task on the caller's thread; the task.
  TCustomFFmpeg& run(const std::string& in_options, const std::string& in,
                     const std::string& out_options, const std::string& out) {
    TCustomFFmpeg& task = newTask();
    EXPECT_GE(openInput(in_options, in), 0) << task.FLastErrMsg;
    EXPECT_GE(openOutput(out_options, out), 0) << task.FLastErrMsg;
    task.StartConvert(false);
    return task;
  }

  // The packet times of the file's subtitle stream, rounded to milliseconds.
  static std::vector<double> subtitleTimes(const std::string& file) {
    const testrig::MediaReadBack back = testrig::readBack(file);
    const testrig::StreamReadBack* s = back.first(AVMEDIA_TYPE_SUBTITLE);
    std::vector<double> times;
    if (s)
      for (double t : s->times) times.push_back(std::round(t * 1000) / 1000);
    return times;
  }

  // A copy of `in` whose subtitle packets carry bytes no decoder takes.
  void remuxWithBrokenSubtitles(const std::string& in, const std::string& out) {
    AVFormatContext* raw = nullptr;
    ASSERT_GE(ff::avformat_open_input(&raw, in.c_str(), nullptr, nullptr), 0);
    InputContextPtr ic(raw);
    ASSERT_GE(ff::avformat_find_stream_info(ic.get(), nullptr), 0);
    AVFormatContext* oraw = nullptr;
    ASSERT_GE(ff::avformat_alloc_output_context2(&oraw, nullptr, nullptr, out.c_str()), 0);
    OutputContextPtr oc(oraw);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
      AVStream* st = ff::avformat_new_stream(oc.get(), nullptr);
      ASSERT_NE(st, nullptr);
      ASSERT_GE(ff::avcodec_parameters_copy(st->codecpar, ic->streams[i]->codecpar), 0);
      st->codecpar->codec_tag = 0;
      st->time_base = ic->streams[i]->time_base;
    }
    ASSERT_GE(ff::avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(ff::avformat_write_header(oc.get(), nullptr), 0);
    PacketPtr pkt = makePacket();
    while (ff::av_read_frame(ic.get(), pkt.get()) >= 0) {
      const AVStream* ist = ic->streams[pkt->stream_index];
      if (ist->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && pkt->size > 0)
        std::fill(pkt->data, pkt->data + pkt->size, 0xA5);
      ff::av_packet_rescale_ts(pkt.get(), ist->time_base,
                               oc->streams[pkt->stream_index]->time_base);
      ASSERT_GE(ff::av_interleaved_write_frame(oc.get(), pkt.get()), 0);
    }
    ASSERT_GE(ff::av_write_trailer(oc.get()), 0);
    ff::avio_closep(&oc->pb);
  }
};

// A DVB subtitle goes out twice: shown at its start, cleared at its end.
TEST_F(SubtitlePathsTest, DvbSubtitlesAreShownAndCleared) {
  const std::string out = path("dvb.mkv");
  TCustomFFmpeg& task = run("", media::ensure(media::Kind::MkvDvdSub), "-map 0:s -c:s dvbsub", out);
  ASSERT_TRUE(task.Finished()) << task.FatalMessage();
  const double start = media::dvdsub::kBox.startMs / 1000.0;
  const double end = start + media::dvdsub::kDecodedDurationMs / 1000.0;
  EXPECT_EQ(subtitleTimes(out), (std::vector<double>{start, end}));
}

// A subtitle shown some time after its timestamp is cleared at its own end,
// not that much earlier.
TEST_F(SubtitlePathsTest, DvbClearPacketHonoursTheStartDelay) {
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("", media::ensure(media::Kind::MkvDvdSub)), 0) << task.FLastErrMsg;
  const std::string out = path("delay.mkv");
  ASSERT_GE(openOutput("-map 0:s -c:s dvbsub", out), 0) << task.FLastErrMsg;
  ASSERT_TRUE(task.InitTranscode()) << task.FLastErrMsg;
  TOutputStream& ost = *task.Foutput_streams[0];
  TOutputFile& of = *task.Foutput_files[0];
  ASSERT_TRUE(of.header_written);

  // A 4x2 bitmap of two colours.
  std::uint8_t pixels[8] = {0, 1, 1, 0, 1, 0, 0, 1};
  std::uint32_t palette[4] = {0x00000000, 0xFFFFFF00, 0, 0};
  AVSubtitleRect rect{};
  rect.type = SUBTITLE_BITMAP;
  rect.x = 10, rect.y = 10, rect.w = 4, rect.h = 2;
  rect.nb_colors = 4;
  rect.data[0] = pixels;
  rect.linesize[0] = 4;
  rect.data[1] = reinterpret_cast<std::uint8_t*>(palette);
  rect.linesize[1] = 4;
  AVSubtitleRect* rects[] = {&rect};
  AVSubtitle sub{};
  sub.format = 0;
  sub.num_rects = 1;
  sub.rects = rects;
  sub.pts = 1 * AV_TIME_BASE;
  sub.start_display_time = 300;
  sub.end_display_time = 1300;
  task.EncodeSubtitle(of, ost, &sub);
  EXPECT_EQ(sub.start_display_time, 300u) << "the caller's subtitle is left alone";
  ASSERT_GE(ff::av_write_trailer(of.ctx.get()), 0);
  ff::avio_closep(&of.ctx->pb);
  EXPECT_EQ(subtitleTimes(out), (std::vector<double>{1.3, 2.3}));
}

// Subtitle packets no decoder takes: logged and skipped, or with -xerror the
// end of the task, unfinished.
TEST_F(SubtitlePathsTest, BrokenSubtitleDecodingWithAndWithoutExitOnError) {
  const std::string dvb = path("good-dvb.mkv");
  ASSERT_TRUE(
      run("", media::ensure(media::Kind::MkvDvdSub), "-c:v copy -c:s dvbsub", dvb).Finished());
  const std::string broken = path("broken-dvb.mkv");
  remuxWithBrokenSubtitles(dvb, broken);
  for (const bool xerror : {false, true}) {
    SCOPED_TRACE(xerror ? "-xerror" : "default");
    log_.clear();
    TCustomFFmpeg& task =
        run("", broken, std::string(xerror ? "-xerror " : "") + "-y -c:v mpeg4 -c:s dvbsub",
            path("out.mkv"));
    EXPECT_TRUE(logged("Error while decoding stream #0:1") || xerror);
    EXPECT_EQ(task.Finished(), !xerror) << task.FatalMessage();
    EXPECT_EQ(task.FatalException(), xerror);
    if (xerror) {
      EXPECT_EQ(task.FatalMessage(), "decode subtitle error");
    }
  }
}

// A cue longer than the encoder's format can hold fails the task; it is not
// skipped.
TEST_F(SubtitlePathsTest, SubtitleEncodingFailureFailsTheTask) {
  const std::string srt = path("long.srt");
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nShort\n\n"
                     << "2\n00:00:01,500 --> 00:00:02,000\n"
                     << std::string(70000, 'x') << "\n\n";
  TCustomFFmpeg& task = run("", srt, "-c:s mov_text", path("long.mp4"));
  EXPECT_FALSE(task.Finished());
  EXPECT_TRUE(task.FatalException());
  EXPECT_EQ(task.FatalMessage(), "Subtitle encoding failed");
}

// Cues that all come before the first picture of the graph they are burnt
// into wait for it in a queue of bounded length; the task still converts.
TEST_F(SubtitlePathsTest, SubtitlesWaitingForTheBurnInGraphAreCapped) {
  const std::string srt = path("many.srt");
  {
    const auto at = [](int ms) { return strprintf("00:00:%02d,%03d", ms / 1000, ms % 1000); };
    std::ofstream cues(srt);
    for (int i = 0; i < 1100; ++i)
      cues << i + 1 << "\n" << at(i) << " --> " << at(i + 1) << "\nCue\n\n";
  }
  // A cue every millisecond for 1.1 s, the pictures from 2 s: the muxer puts
  // every cue first.
  const std::string mixed = path("mixed.mkv");
  TCustomFFmpeg& maker = newTask();
  ASSERT_GE(openInput("-itsoffset 2 -f lavfi", "testsrc=size=160x120:rate=25:duration=1"), 0);
  ASSERT_GE(openInput("", srt), 0) << maker.FLastErrMsg;
  ASSERT_GE(openOutput("-c:v mpeg4 -c:s srt", mixed), 0) << maker.FLastErrMsg;
  maker.StartConvert(false);
  ASSERT_TRUE(maker.Finished()) << maker.FatalMessage();
  const testrig::MediaReadBack src = testrig::readBack(mixed);
  ASSERT_NE(src.first(AVMEDIA_TYPE_SUBTITLE), nullptr);
  ASSERT_GT(src.first(AVMEDIA_TYPE_SUBTITLE)->packets, 1024);

  log_.clear();
  const std::string out = path("burnt.nut");
  TCustomFFmpeg& task =
      run("", mixed, "-filter_complex [0:v][0:s]overlay[v] -map [v] -c:v mpeg4", out);
  ASSERT_TRUE(task.Finished()) << task.FatalMessage();
  EXPECT_TRUE(logged("Too many subtitles waiting for filter graph of stream #0:1"));
  const testrig::MediaReadBack back = testrig::readBack(out);
  ASSERT_TRUE(back.opened);
  ASSERT_EQ(back.streams.size(), 1u);
  EXPECT_GE(back.streams[0].packets, 25);
}

}  // namespace
