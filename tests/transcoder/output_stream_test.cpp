// Output stream creation: encoder choice, per-stream settings, fatal texts,
// pass logs and release.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/TranscoderRig.h"
#include "transcoder/ReadFile.h"

using namespace corvane;

namespace {

using Creator = TOutputStream* (TCustomFFmpegOpt::*)(TPerFileOptions&, AVFormatContext*, int);
constexpr Creator kVideo = &TCustomFFmpegOpt::NewVideoStream;
constexpr Creator kAudio = &TCustomFFmpegOpt::NewAudioStream;

std::string readAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class OutputStreamTest : public testrig::TranscoderTest {
 protected:
  void SetUp() override {
    TranscoderTest::SetUp();
    o_ = engine_->NewPerFileOptions();
  }
  void TearDown() override {
    engine_->ReleasePerFileOptions(std::move(o_));
    TranscoderTest::TearDown();
  }

  // A fresh engine whose record holds the options, as each file of a task
  // starts, and a muxer context for a file in the scratch dir held as its
  // output file.
  AVFormatContext* newOutput(const std::string& options, const std::string& name = "out.mp4") {
    engine_->ReleasePerFileOptions(std::move(o_));
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    o_ = engine_->NewPerFileOptions();
    EXPECT_EQ(engine_->ParseOptions(*o_, options, "", "output file", path(name), ofOutput), 0)
        << engine_->FLastErrMsg;
    AVFormatContext* oc = nullptr;
    EXPECT_GE(ff::avformat_alloc_output_context2(&oc, nullptr, nullptr, path(name).c_str()), 0);
    auto file = std::make_unique<TOutputFile>();
    file->ctx.reset(oc);
    engine_->Foutput_files.push_back(std::move(file));
    return oc;
  }
  TOutputStream* create(Creator creator, AVFormatContext* oc, int source = -1) {
    return ((*engine_).*creator)(*o_, oc, source);
  }
  TOutputStream* make(Creator creator, const std::string& options) {
    return create(creator, newOutput(options));
  }
  // The fatal text of creating the stream, or "".
  std::string fatalText(Creator creator, const std::string& options) {
    AVFormatContext* oc = newOutput(options);
    try {
      create(creator, oc);
    } catch (const FFmpegException& e) {
      EXPECT_EQ(engine_->FLastErrMsg, e.what());
      return e.what();
    }
    return "";
  }

  std::unique_ptr<TPerFileOptions> o_;
};

// A codec named for every stream leaves data and unknown streams copied.
TEST_F(OutputStreamTest, OtherTypesStayCopiesUnderAGeneralCodec) {
  AVFormatContext* oc = newOutput("-c mpeg4");
  for (Creator c : {&TCustomFFmpegOpt::NewDataStream, &TCustomFFmpegOpt::NewUnknownStream}) {
    const TOutputStream* ost = create(c, oc);
    EXPECT_EQ(ost->stream_copy, 1);
    EXPECT_EQ(ost->enc, nullptr);
  }
}

TEST_F(OutputStreamTest, EncoderChoice) {
  AVFormatContext* oc = newOutput("-c:s copy -c:v:1 mpeg4");
  TOutputStream* video = create(kVideo, oc);
  TOutputStream* audio = create(kAudio, oc);
  TOutputStream* named = create(kVideo, oc);
  TOutputStream* copied = create(&TCustomFFmpegOpt::NewSubtitleStream, oc);
  TOutputStream* attachment = create(&TCustomFFmpegOpt::NewAttachmentStream, oc);
  TOutputStream* data = create(&TCustomFFmpegOpt::NewDataStream, oc);

  ASSERT_TRUE(video->enc && audio->enc && named->enc);
  EXPECT_EQ(video->enc->id, AV_CODEC_ID_H264);  // mp4's defaults
  EXPECT_EQ(video->st->codecpar->codec_id, AV_CODEC_ID_H264);
  EXPECT_EQ(audio->enc->id, AV_CODEC_ID_AAC);
  EXPECT_STREQ(named->enc->name, "mpeg4");
  EXPECT_EQ(named->st->codecpar->codec_id, AV_CODEC_ID_MPEG4);
  for (TOutputStream* ost : {video, audio, named}) {
    EXPECT_EQ(ost->encoding_needed, 1);
    EXPECT_EQ(ost->avfilter.value_or("?"), ost == audio ? "anull" : "null");
    EXPECT_TRUE(ost->enc_ctx->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // mp4 wants them
  }
  for (TOutputStream* ost : {copied, attachment, data}) {
    EXPECT_EQ(ost->enc, nullptr);
    EXPECT_EQ(ost->stream_copy, 1);
    EXPECT_EQ(ost->encoding_needed, 0);
  }
  EXPECT_EQ(attachment->finished, 1);
  ASSERT_EQ(engine_->Fnb_output_streams(), 6);
  for (int i = 0; i < 6; ++i) {
    const TOutputStream& ost = *engine_->Foutput_streams[i];
    EXPECT_EQ(ost.index, i);
    EXPECT_EQ(ost.file_index, 0);
    EXPECT_TRUE(ost.enc_ctx && ost.ref_par);
  }
}

TEST_F(OutputStreamTest, FatalTexts) {
  const std::string script = path("graph.txt");
  std::string matrix63 = "8";
  for (int i = 1; i < 63; ++i) matrix63 += ",16";
  const struct {
    std::string options;
    Creator creator;
    std::string text;  // the start of the message
  } cases[] = {
      {"-c x", kVideo, "Unknown encoder \"x\""},
      {"-c:v aac", kVideo, "Invalid encoder type \"aac\""},
      {"-c:v copy -vf scale=320:240", kVideo,
       "Filtergraph \"scale=320:240\" was defined for video output stream 0:0 but codec copy "
       "was selected.\r\nFiltering and streamcopy cannot be used together."},
      {"-c copy -filter_script:a " + script, kAudio,
       "Filtergraph script \"" + script + "\" was defined for audio output stream 0:0"},
      {"-filter null -filter_script " + script, kVideo,
       "Both -filter and -filter_script set for output stream #0:0."},
      {"-filter_script " + script, kAudio, "get_ost_filters() failed"},
      {"-pix_fmt +nope", kVideo, "Unknown pixel format requested: nope."},
      {"-intra_matrix " + matrix63, kVideo,
       "Syntax error in matrix \"" + matrix63 + "\" at coeff 62"},
      {"-inter_matrix 1,2", kVideo, "Syntax error in matrix \"1,2\" at coeff 1"},
      {"-rc_override 0,100", kVideo, "error parsing rc_override"},
      {"-c:d foo", &TCustomFFmpegOpt::NewDataStream,
       "Data stream encoding not supported yet (only streamcopy)"},
      {"-time_base 0/1", kVideo, "Invalid time base: 0/1"},
      {"-enc_time_base 1/0", kVideo, "Invalid time base: 1/0"},
      {"-bsf no_such_bsf", kVideo, "Error parsing bitstream filter sequence \"no_such_bsf\": "},
      {"-r 25 -fpsmax 30", kVideo, "Only one of -fpsmax and -r can be set for a stream."},
      {"-aspect 0:1", kVideo, "Invalid aspect ratio: 0:1"},
      {"-s huge", kVideo, "Invalid frame size: huge."},
      {"-sample_fmt bogus", kAudio, "Invalid sample format \"bogus\""},
      {"-c mpeg4 -pass 2 -passlogfile " + path("none"), kVideo,
       "Error reading log file \"" + path("none") + "-0.log\" for pass-2 encoding"},
  };
  for (const auto& c : cases) {
    const std::string text = fatalText(c.creator, c.options);
    EXPECT_EQ(text.substr(0, c.text.size()), c.text) << c.options << ": " << text;
  }
}

TEST_F(OutputStreamTest, AcceptedValues) {
  const struct {
    const char* options;
    Creator creator;
    std::function<void(const TOutputStream&, const AVCodecContext&)> check;
  } cases[] = {
      {"-pix_fmt +", kVideo,
       [](auto& ost, auto& enc) {
         EXPECT_EQ(ost.keep_pix_fmt, 1);
         EXPECT_EQ(enc.pix_fmt, AV_PIX_FMT_NONE);
       }},
      {"-pix_fmt +yuv420p -s 160x120", kVideo,
       [](auto& ost, auto& enc) {
         EXPECT_EQ(ost.keep_pix_fmt, 1);
         EXPECT_EQ(enc.pix_fmt, AV_PIX_FMT_YUV420P);
         EXPECT_EQ(enc.width, 160);
       }},
      {"-qscale:v 3", kVideo,
       [](auto&, auto& enc) {
         EXPECT_EQ(enc.global_quality, 354);
         EXPECT_TRUE(enc.flags & AV_CODEC_FLAG_QSCALE);
       }},
      {"-rc_override 0,100,2/101,200,-50", kVideo,
       [](auto&, auto& enc) {
         ASSERT_EQ(enc.rc_override_count, 2);
         const RcOverride& r = enc.rc_override[1];
         EXPECT_EQ(enc.rc_override[0].qscale, 2);
         EXPECT_FLOAT_EQ(enc.rc_override[0].quality_factor, 1.0f);
         EXPECT_EQ(r.start_frame, 101);
         EXPECT_EQ(r.end_frame, 200);
         EXPECT_EQ(r.qscale, 0);
         EXPECT_FLOAT_EQ(r.quality_factor, 0.5f);
       }},
      {"-streamid 0:33 -bitexact -time_base 1/90000 -enc_time_base -1", kAudio,
       [](auto& ost, auto& enc) {
         EXPECT_EQ(ost.st->id, 33);
         EXPECT_TRUE(enc.flags & AV_CODEC_FLAG_BITEXACT);
         EXPECT_EQ(ost.st->time_base.den, 90000);
         EXPECT_EQ(ost.enc_timebase.num, -1);
       }},
      // Tags shorter than four characters read no further than their text.
      {"-tag:v ab -c:v mpeg4 -b:v 1M -c:a copy", kVideo,
       [](auto& ost, auto& enc) {
         EXPECT_EQ(enc.codec_tag, MKTAG('a', 'b', 0, 0));
         EXPECT_EQ(ost.st->codecpar->codec_tag, MKTAG('a', 'b', 0, 0));
         EXPECT_EQ(ost.encoder_opts.value("b"), "1M");
       }},
      {"-ac 6 -ar 44100 -af volume=0.5 -vf hflip -c:a pcm_s24le", kAudio,
       [](auto& ost, auto& enc) {
         EXPECT_EQ(enc.ch_layout.nb_channels, 6);
         EXPECT_EQ(enc.sample_rate, 44100);
         EXPECT_EQ(ost.avfilter.value_or(""), "volume=0.5");
         EXPECT_EQ(ost.swr_opts.value("output_sample_bits"), "24");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    const TOutputStream* ost = make(c.creator, c.options);
    c.check(*ost, *ost->enc_ctx);
  }
}

TEST_F(OutputStreamTest, FilterScriptIsReadWhole) {
  std::string graph(3000, ' ');  // more than one read
  graph += "hflip";
  std::ofstream(path("graph.txt")) << graph;
  EXPECT_EQ(make(kVideo, "-filter_script:v " + path("graph.txt"))->avfilter.value_or(""), graph);
  EXPECT_EQ(read_file(nullptr, path("none.txt")), std::nullopt);
  EXPECT_TRUE(logged("Error opening file " + path("none.txt") + "."));
}

TEST_F(OutputStreamTest, UnspecificFramesWarnOnNonVideo) {
  AVFormatContext* oc = newOutput("-frames 100");
  EXPECT_EQ(create(kVideo, oc)->max_frames, 100);
  EXPECT_FALSE(logged("Applying unspecific -frames"));
  EXPECT_EQ(create(kAudio, oc)->max_frames, 100);
  EXPECT_TRUE(
      logged("Applying unspecific -frames to non video streams, maybe you meant -vframes ?"));
}

TEST_F(OutputStreamTest, SourcesAndChannelMaps) {
  AVFormatContext* oc = newOutput("", "out.mkv");
  AVFormatContext* raw = nullptr;  // any stream serves as the input's
  ASSERT_GE(ff::avformat_alloc_output_context2(&raw, nullptr, "matroska", nullptr), 0);
  OutputContextPtr in(raw);
  auto ist = std::make_unique<TInputStream>();
  ist->st = ff::avformat_new_stream(in.get(), nullptr);  // stream 0 of input file 0
  ist->user_set_discard = AVDISCARD_NONKEY;
  TInputStream* source = ist.get();
  engine_->Finput_streams.push_back(std::move(ist));
  o_->audio_channel_maps = {
      {0, 0, 1, -1, -1},  // applies
      {0, 1, 0, -1, -1},  // another input stream
      {0, 0, 2, 3, -1},   // another output file
      {0, 0, 3, 0, 7},    // another output stream
      {0, 0, -1, 0, 0},   // muted channel: needs no input
  };
  TOutputStream* mapped = create(kAudio, oc, 0);
  EXPECT_EQ(mapped->sync_ist, source);
  EXPECT_EQ(source->discard, 0);
  EXPECT_EQ(source->st->discard, AVDISCARD_NONKEY);
  EXPECT_EQ(mapped->audio_channels_map, (std::vector<int>{1, -1}));
  TOutputStream* unfed = create(kAudio, oc);
  EXPECT_EQ(unfed->sync_ist, nullptr);
  EXPECT_TRUE(unfed->audio_channels_map.empty());
  EXPECT_TRUE(logged("Cannot determine input stream for channel mapping 0.1"));
}

// Streams of one file get a log each, so their statistics never mix.
TEST_F(OutputStreamTest, TwoPassLogsPerStream) {
  const std::string prefix = path("stats");
  AVFormatContext* oc = newOutput("-c mpeg4 -pass 1 -passlogfile " + prefix);
  TOutputStream* a = create(kVideo, oc);
  TOutputStream* b = create(kVideo, oc);
  EXPECT_EQ(a->logfile_name, prefix + "-0.log");
  EXPECT_EQ(b->logfile_name, prefix + "-1.log");
  for (TOutputStream* ost : {a, b}) {
    ASSERT_TRUE(ost->logfile);
    EXPECT_TRUE(ost->enc_ctx->flags & AV_CODEC_FLAG_PASS1);
    EXPECT_EQ(ost->encoder_opts.value("flags"), "+pass1");
    std::fputs(ost == a ? "first" : "second", ost->logfile);
  }
  engine_->FreeOutputStreams();  // closes the logs
  EXPECT_EQ(readAll(prefix + "-0.log"), "first");
  EXPECT_EQ(readAll(prefix + "-1.log"), "second");

  oc = newOutput("-c mpeg4 -pass 2 -passlogfile " + prefix);
  a = create(kVideo, oc);
  b = create(kVideo, oc);
  ASSERT_TRUE(a->enc_ctx->stats_in && b->enc_ctx->stats_in);
  EXPECT_STREQ(a->enc_ctx->stats_in, "first");
  EXPECT_STREQ(b->enc_ctx->stats_in, "second");
  EXPECT_TRUE(b->enc_ctx->flags & AV_CODEC_FLAG_PASS2);
  EXPECT_EQ(a->logfile, nullptr);
}

TEST_F(OutputStreamTest, DefaultPassLogName) {
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  EXPECT_EQ(make(kVideo, "-c mpeg4 -pass 1")->logfile_name, "dedirerer2pass-0.log");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "dedirerer2pass-0.log"));
  std::filesystem::current_path(cwd);
}

TEST_F(OutputStreamTest, FreeOutputStreamsReleasesEverything) {
  std::ofstream(path("stats-0.log")) << "x";
  const std::string matrix = "1" + std::string(63, ',');
  AVFormatContext* oc = newOutput(
      "-c:v mpeg4 -bsf:v null -rc_override 0,10,3 -pass 3 -passlogfile " + path("stats") +
      " -intra_matrix " + matrix + " -chroma_intra_matrix " + matrix + " -inter_matrix " + matrix);
  TOutputStream* video = create(kVideo, oc);
  create(kAudio, oc);
  create(&TCustomFFmpegOpt::NewAttachmentStream, oc);
  ASSERT_TRUE(video->bsf_ctx && video->enc_ctx->stats_in && video->enc_ctx->chroma_intra_matrix);
  video->muxing_queue.push_back(makePacket());
  video->pkt = makePacket();
  video->filtered_frame = makeFrame();
  engine_->FreeOutputStreams();
  EXPECT_EQ(engine_->Fnb_output_streams(), 0);
  // Leak detection at exit checks the rest.
}

}  // namespace
