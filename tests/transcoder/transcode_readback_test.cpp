// Whole tasks whose outputs are read back through the libraries: where
// seeking lands, two-pass logs per stream, and what the container keeps
// (chapters, metadata, attachments, programs, stream ids).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/MediaReadBack.h"
#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;
namespace media = corvane::testmedia;

namespace {

class TranscodeReadBackTest : public testrig::TranscoderTest {
 protected:
  // Runs one input into one output; whether the task finished.
  bool run(const std::string& in_options, const std::string& in, const std::string& out_options,
           const std::string& out) {
    TCustomFFmpeg& task = newTask();
    if (openInput(in_options, in) < 0 || openOutput(out_options, out) < 0) {
      ADD_FAILURE() << task.FLastErrMsg;
      return false;
    }
    task.StartConvert(false);
    EXPECT_TRUE(task.Finished()) << task.FatalMessage();
    return task.Finished();
  }

  struct FirstPicture {
    int number = -1;      // the numbered clip's frame number, from the luma
    double seconds = -1;  // its presentation time
  };

  static FirstPicture firstPicture(const std::string& file) {
    FirstPicture r;
    AVFormatContext* raw = nullptr;
    if (ff::avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return r;
    InputContextPtr ic(raw);
    if (ff::avformat_find_stream_info(raw, nullptr) < 0) return r;
    const int v = ff::av_find_best_stream(raw, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (v < 0) return r;
    const AVStream* st = raw->streams[v];
    const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
    CodecContextPtr dec(ff::avcodec_alloc_context3(codec));
    ff::avcodec_parameters_to_context(dec.get(), st->codecpar);
    if (ff::avcodec_open2(dec.get(), codec, nullptr) < 0) return r;
    PacketPtr pkt = makePacket();
    FramePtr frame = makeFrame();
    while (ff::av_read_frame(raw, pkt.get()) >= 0) {
      if (pkt->stream_index == v) ff::avcodec_send_packet(dec.get(), pkt.get());
      ff::av_packet_unref(pkt.get());
      if (ff::avcodec_receive_frame(dec.get(), frame.get()) == 0) break;
    }
    if (!frame->data[0]) {
      ff::avcodec_send_packet(dec.get(), nullptr);
      if (ff::avcodec_receive_frame(dec.get(), frame.get()) < 0) return r;
    }
    const int luma = frame->data[0][frame->linesize[0] * (frame->height / 2) + frame->width / 2];
    r.number = (luma + 1) / 2;
    r.seconds = static_cast<double>(frame->best_effort_timestamp) * av_q2d(st->time_base);
    return r;
  }
};

// Input and output seeking both start the output at 0 with the picture at
// the target, not the key frame before it.
TEST_F(TranscodeReadBackTest, SeekingLandsOnTheTarget) {
  const std::string clip = media::ensure(media::Kind::Numbered);
  struct Case {
    const char* in_options;
    const char* out_options;
    int first;
  };
  const Case cases[] = {
      {"-ss 1", "-map 0:v -c:v ffv1", media::kFps},
      {"", "-map 0:v -c:v ffv1 -ss 1.2", media::kFps + 5},
      {"-ss 0.4", "-map 0:v -c:v ffv1 -ss 0.4", media::kFps * 4 / 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.in_options) + " | " + c.out_options);
    const std::string out = path("seek.nut");
    ASSERT_TRUE(run(c.in_options, clip, c.out_options, out));
    const FirstPicture p = firstPicture(out);
    EXPECT_NEAR(p.number, c.first, 1);
    EXPECT_NEAR(p.seconds, 0, 0.001);
  }
}

// Two video streams in one pass-1 run write two logs, which pass 2 reads.
TEST_F(TranscodeReadBackTest, TwoPassKeepsOneLogPerStream) {
  const std::string clip = media::ensure(media::Kind::Numbered);
  const std::string log = path("twopass");
  const std::string options =
      "-map 0:v -map 0:v -c:v mpeg4 -b:v 300k -frames:v 20 -passlogfile " + log + " -pass ";
  ASSERT_TRUE(run("", clip, options + "1", path("pass1.nut")));
  for (const char* n : {"-0.log", "-1.log"}) {
    ASSERT_TRUE(std::filesystem::exists(log + n)) << n;
    EXPECT_GT(std::filesystem::file_size(log + n), 0u) << n;
  }
  ASSERT_TRUE(run("", clip, options + "2", path("pass2.nut")));
  const testrig::MediaReadBack back = testrig::readBack(path("pass2.nut"));
  ASSERT_EQ(back.streams.size(), 2u);
  for (const auto& s : back.streams) EXPECT_EQ(s.packets, 20);
}

TEST_F(TranscodeReadBackTest, ChaptersMetadataAndAttachmentsAreWritten) {
  const std::string meta = path("meta.txt");
  std::ofstream(meta) << ";FFMETADATA1\ntitle=Book\n"
                         "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=One\n"
                         "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=2000\ntitle=Two\n";
  const std::string font = path("font.ttf");
  std::ofstream(font) << "glyphs";
  TCustomFFmpeg& task = newTask();
  ASSERT_GE(openInput("", media::ensure(media::Kind::Numbered)), 0) << task.FLastErrMsg;
  ASSERT_GE(openInput("-f ffmetadata", meta), 0) << task.FLastErrMsg;
  const std::string out = path("book.mkv");
  ASSERT_GE(openOutput("-map 0:v -c:v mpeg4 -t 2 -map_metadata 1 -metadata:s:v language=fra "
                       "-attach " +
                           font + " -metadata:s:t mimetype=font/ttf",
                       out),
            0)
      << task.FLastErrMsg;
  task.StartConvert(false);
  ASSERT_TRUE(task.Finished()) << task.FatalMessage();

  AVFormatContext* raw = nullptr;
  ASSERT_EQ(ff::avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
  InputContextPtr ic(raw);
  ASSERT_EQ(ic->nb_chapters, 2u);
  EXPECT_STREQ(ff::av_dict_get(ic->chapters[1]->metadata, "title", nullptr, 0)->value, "Two");
  EXPECT_STREQ(ff::av_dict_get(ic->metadata, "title", nullptr, 0)->value, "Book");
  ASSERT_EQ(ic->nb_streams, 2u);
  EXPECT_STREQ(ff::av_dict_get(ic->streams[0]->metadata, "language", nullptr, 0)->value, "fra");
  const AVStream* att = ic->streams[1];
  EXPECT_EQ(att->codecpar->codec_type, AVMEDIA_TYPE_ATTACHMENT);
  ASSERT_EQ(att->codecpar->extradata_size, 6);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(att->codecpar->extradata), 6), "glyphs");
  EXPECT_STREQ(ff::av_dict_get(att->metadata, "filename", nullptr, 0)->value, "font.ttf");
}

TEST_F(TranscodeReadBackTest, ProgramsAndStreamIdsInTransportStreams) {
  const std::string out = path("prog.ts");
  ASSERT_TRUE(run("", media::ensure(media::Kind::Mp4H264Aac),
                  "-map 0:v -map 0:a -c:v mpeg2video -c:a mp2 -streamid 0:0x101 -streamid 1:0x102 "
                  "-program program_num=7:title=Main:st=0:st=1",
                  out));
  AVFormatContext* raw = nullptr;
  ASSERT_EQ(ff::avformat_open_input(&raw, out.c_str(), nullptr, nullptr), 0);
  InputContextPtr ic(raw);
  ASSERT_GE(ff::avformat_find_stream_info(raw, nullptr), 0);
  ASSERT_EQ(ic->nb_programs, 1u);
  EXPECT_EQ(ic->programs[0]->id, 7);
  EXPECT_EQ(ic->programs[0]->nb_stream_indexes, 2u);
  ASSERT_EQ(ic->nb_streams, 2u);
  EXPECT_EQ(ic->streams[0]->id, 0x101);
  EXPECT_EQ(ic->streams[1]->id, 0x102);
}

}  // namespace
