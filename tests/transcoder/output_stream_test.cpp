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

void add(TSpecifierList& list, const std::string& spec, const std::string& str) {
  TSpecifierValue v;
  v.specifier = spec;
  v.str = str;
  list.push_back(v);
}
void addInt(TSpecifierList& list, const std::string& spec, int i) {
  TSpecifierValue v;
  v.specifier = spec;
  v.i = i;
  list.push_back(v);
}
void addDouble(TSpecifierList& list, const std::string& spec, double d) {
  TSpecifierValue v;
  v.specifier = spec;
  v.dbl = d;
  list.push_back(v);
}

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

  // A muxer context for a file in the scratch dir, held as the engine's
  // newest output file.
  AVFormatContext* newOutput(const std::string& name) {
    AVFormatContext* oc = nullptr;
    EXPECT_GE(ff::avformat_alloc_output_context2(&oc, nullptr, nullptr, path(name).c_str()), 0);
    auto file = std::make_unique<TOutputFile>();
    file->ctx.reset(oc);
    engine_->Foutput_files.push_back(std::move(file));
    return oc;
  }

  // A fresh engine and option record, as each file of a task starts.
  void restart() {
    engine_->ReleasePerFileOptions(std::move(o_));
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    o_ = engine_->NewPerFileOptions();
  }

  TOutputStream* create(Creator creator, AVFormatContext* oc, int source = -1) {
    return ((*engine_).*creator)(*o_, oc, source);
  }

  // The fatal text of creating a stream in a new mp4 output, or "".
  std::string fatalText(Creator creator, const std::function<void(TPerFileOptions&)>& fill) {
    restart();
    fill(*o_);
    AVFormatContext* oc = newOutput("out.mp4");
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

constexpr Creator kVideo = &TCustomFFmpegOpt::NewVideoStream;
constexpr Creator kAudio = &TCustomFFmpegOpt::NewAudioStream;
constexpr Creator kData = &TCustomFFmpegOpt::NewDataStream;
constexpr Creator kUnknown = &TCustomFFmpegOpt::NewUnknownStream;

TEST_F(OutputStreamTest, EncoderChoice) {
  AVFormatContext* oc = newOutput("out.mp4");
  add(o_->codec_names, "s", "copy");
  add(o_->codec_names, "v:1", "mpeg4");
  TOutputStream* video = create(kVideo, oc);
  TOutputStream* audio = create(kAudio, oc);
  TOutputStream* named = create(kVideo, oc);
  TOutputStream* copied = create(&TCustomFFmpegOpt::NewSubtitleStream, oc);
  TOutputStream* attachment = create(&TCustomFFmpegOpt::NewAttachmentStream, oc);

  ASSERT_TRUE(video->enc);
  EXPECT_EQ(video->enc->id, AV_CODEC_ID_H264);
  EXPECT_EQ(video->st->codecpar->codec_id, AV_CODEC_ID_H264);
  ASSERT_TRUE(audio->enc);
  EXPECT_EQ(audio->enc->id, AV_CODEC_ID_AAC);
  ASSERT_TRUE(named->enc);
  EXPECT_STREQ(named->enc->name, "mpeg4");
  EXPECT_EQ(named->st->codecpar->codec_id, AV_CODEC_ID_MPEG4);
  for (TOutputStream* ost : {video, audio, named}) {
    EXPECT_EQ(ost->encoding_needed, 1);
    EXPECT_EQ(ost->stream_copy, 0);
    EXPECT_EQ(ost->avfilter.value_or("?"), ost == audio ? "anull" : "null");
  }
  EXPECT_EQ(copied->enc, nullptr);
  EXPECT_EQ(copied->stream_copy, 1);
  EXPECT_EQ(copied->encoding_needed, 0);
  EXPECT_EQ(attachment->stream_copy, 1);
  EXPECT_EQ(attachment->finished, 1);
  EXPECT_EQ(attachment->encoding_needed, 0);

  ASSERT_EQ(engine_->Fnb_output_streams(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(engine_->Foutput_streams[i]->index, i);
    EXPECT_EQ(engine_->Foutput_streams[i]->file_index, 0);
    EXPECT_TRUE(engine_->Foutput_streams[i]->enc_ctx);
    EXPECT_TRUE(engine_->Foutput_streams[i]->ref_par);
  }
  // mp4 wants global headers from its encoders.
  EXPECT_TRUE(video->enc_ctx->flags & AV_CODEC_FLAG_GLOBAL_HEADER);
}

TEST_F(OutputStreamTest, FatalTexts) {
  const std::string script = path("graph.txt");
  const std::string prefix = path("missing");
  struct Case {
    const char* what;
    Creator creator;
    std::function<void(TPerFileOptions&)> fill;
    std::string text;  // the start of the message
  };
  const std::vector<Case> cases = {
      {"unknown encoder", kVideo, [](auto& o) { add(o.codec_names, "", "x"); },
       "Unknown encoder \"x\""},
      {"audio encoder for video", kVideo, [](auto& o) { add(o.codec_names, "v", "aac"); },
       "Invalid encoder type \"aac\""},
      {"copy with filter", kVideo,
       [](auto& o) {
         add(o.codec_names, "v", "copy");
         add(o.filters, "", "scale=320:240");
       },
       "Filtergraph \"scale=320:240\" was defined for video output stream 0:0 but codec copy "
       "was selected.\r\nFiltering and streamcopy cannot be used together."},
      {"copy with script", kAudio,
       [&](auto& o) {
         add(o.codec_names, "", "copy");
         add(o.filter_scripts, "a", script);
       },
       "Filtergraph script \"" + script +
           "\" was defined for audio output stream 0:0 but codec copy was selected."},
      {"filter and script", kVideo,
       [&](auto& o) {
         add(o.filters, "", "null");
         add(o.filter_scripts, "", script);
       },
       "Both -filter and -filter_script set for output stream #0:0."},
      {"unreadable script", kAudio, [&](auto& o) { add(o.filter_scripts, "", script); },
       "get_ost_filters() failed"},
      {"pixel format", kVideo, [](auto& o) { add(o.frame_pix_fmts, "", "+nope"); },
       "Unknown pixel format requested: nope."},
      {"63 coefficients", kVideo,
       [](auto& o) {
         std::string m = "8";
         for (int i = 1; i < 63; ++i) m += ",16";
         add(o.intra_matrices, "", m);
       },
       "Syntax error in matrix \"8,16,"},
      {"short inter matrix", kVideo, [](auto& o) { add(o.inter_matrices, "", "1,2"); },
       "Syntax error in matrix \"1,2\" at coeff 1"},
      {"rc_override two numbers", kVideo, [](auto& o) { add(o.rc_overrides, "", "0,100"); },
       "error parsing rc_override"},
      {"rc_override bad second", kVideo, [](auto& o) { add(o.rc_overrides, "", "0,100,2/x,1,2"); },
       "error parsing rc_override"},
      {"data encoding", kData, [](auto& o) { add(o.codec_names, "d", "foo"); },
       "Data stream encoding not supported yet (only streamcopy)"},
      {"unknown encoding", kUnknown, [](auto& o) { add(o.codec_names, "", "foo"); },
       "Unknown stream encoding not supported yet (only streamcopy)"},
      {"zero time base", kVideo, [](auto& o) { add(o.time_bases, "", "0/1"); },
       "Invalid time base: 0/1"},
      {"text time base", kAudio, [](auto& o) { add(o.time_bases, "", "abc"); },
       "Invalid time base: abc"},
      {"encoder time base", kVideo, [](auto& o) { add(o.enc_time_bases, "", "1/0"); },
       "Invalid time base: 1/0"},
      {"bitstream filter", kVideo, [](auto& o) { add(o.bitstream_filters, "", "no_such_bsf"); },
       "Error parsing bitstream filter sequence \"no_such_bsf\": "},
      {"rate and fpsmax", kVideo,
       [](auto& o) {
         add(o.frame_rates, "", "25");
         add(o.max_frame_rates, "", "30");
       },
       "Only one of -fpsmax and -r can be set for a stream."},
      {"rate", kVideo, [](auto& o) { add(o.frame_rates, "", "fast"); },
       "Invalid framerate value: fast"},
      {"aspect", kVideo, [](auto& o) { add(o.frame_aspect_ratios, "", "0:1"); },
       "Invalid aspect ratio: 0:1"},
      {"size", kVideo, [](auto& o) { add(o.frame_sizes, "", "huge"); },
       "Invalid frame size: huge."},
      {"sample format", kAudio, [](auto& o) { add(o.sample_fmts, "", "bogus"); },
       "Invalid sample format \"bogus\""},
      {"pass 2 without log", kVideo,
       [&](auto& o) {
         add(o.codec_names, "", "mpeg4");
         addInt(o.passes, "", 2);
         add(o.passlogfiles, "", prefix);
       },
       "Error reading log file \"" + prefix + "-0.log\" for pass-2 encoding"},
  };
  for (const Case& c : cases) {
    const std::string text = fatalText(c.creator, c.fill);
    EXPECT_EQ(text.substr(0, c.text.size()), c.text) << c.what << ": " << text;
  }
}

TEST_F(OutputStreamTest, AcceptedValues) {
  struct Case {
    const char* what;
    Creator creator;
    std::function<void(TPerFileOptions&)> fill;
    std::function<void(const TOutputStream&)> check;
  };
  const std::vector<Case> cases = {
      {"keep pixel format", kVideo, [](auto& o) { add(o.frame_pix_fmts, "", "+"); },
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.keep_pix_fmt, 1);
         EXPECT_EQ(ost.enc_ctx->pix_fmt, AV_PIX_FMT_NONE);
       }},
      {"keep and force", kVideo, [](auto& o) { add(o.frame_pix_fmts, "", "+yuv420p"); },
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.keep_pix_fmt, 1);
         EXPECT_EQ(ost.enc_ctx->pix_fmt, AV_PIX_FMT_YUV420P);
       }},
      {"qscale", kVideo, [](auto& o) { addDouble(o.qscale, "v", 3); },
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.enc_ctx->global_quality, 354);
         EXPECT_TRUE(ost.enc_ctx->flags & AV_CODEC_FLAG_QSCALE);
       }},
      {"negative qscale", kVideo, [](auto& o) { addDouble(o.qscale, "v", -1); },
       [](const TOutputStream& ost) { EXPECT_FALSE(ost.enc_ctx->flags & AV_CODEC_FLAG_QSCALE); }},
      {"rc_override", kVideo, [](auto& o) { add(o.rc_overrides, "", "0,100,2/101,200,-50"); },
       [](const TOutputStream& ost) {
         ASSERT_EQ(ost.enc_ctx->rc_override_count, 2);
         const RcOverride* r = ost.enc_ctx->rc_override;
         EXPECT_EQ(r[0].start_frame, 0);
         EXPECT_EQ(r[0].end_frame, 100);
         EXPECT_EQ(r[0].qscale, 2);
         EXPECT_FLOAT_EQ(r[0].quality_factor, 1.0f);
         EXPECT_EQ(r[1].start_frame, 101);
         EXPECT_EQ(r[1].end_frame, 200);
         EXPECT_EQ(r[1].qscale, 0);
         EXPECT_FLOAT_EQ(r[1].quality_factor, 0.5f);
       }},
      {"matrices", kVideo,
       [](auto& o) {
         std::string m = "1";
         for (int i = 2; i <= 64; ++i) m += "," + std::to_string(i);
         add(o.intra_matrices, "", m);
         add(o.chroma_intra_matrices, "", m);
         add(o.inter_matrices, "", m);
       },
       [](const TOutputStream& ost) {
         for (const std::uint16_t* m : {ost.enc_ctx->intra_matrix, ost.enc_ctx->chroma_intra_matrix,
                                        ost.enc_ctx->inter_matrix}) {
           ASSERT_TRUE(m);
           EXPECT_EQ(m[0], 1);
           EXPECT_EQ(m[63], 64);
         }
       }},
      {"time bases", kVideo,
       [](auto& o) {
         add(o.time_bases, "", "1/90000");
         add(o.enc_time_bases, "", "-1");
       },
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.st->time_base.num, 1);
         EXPECT_EQ(ost.st->time_base.den, 90000);
         EXPECT_EQ(ost.enc_timebase.num, -1);
       }},
      {"rates and sizes", kVideo,
       [](auto& o) {
         add(o.frame_rates, "", "ntsc");
         add(o.frame_aspect_ratios, "", "16:9");
         add(o.frame_sizes, "", "320x240");
       },
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.frame_rate.num, 30000);
         EXPECT_EQ(ost.frame_rate.den, 1001);
         EXPECT_EQ(ost.frame_aspect_ratio.num, 16);
         EXPECT_EQ(ost.frame_aspect_ratio.den, 9);
         EXPECT_EQ(ost.enc_ctx->width, 320);
         EXPECT_EQ(ost.enc_ctx->height, 240);
       }},
      {"tags", kVideo, [](auto& o) { add(o.codec_tags, "", "ab"); },
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.st->codecpar->codec_tag, MKTAG('a', 'b', 0, 0));
         EXPECT_EQ(ost.enc_ctx->codec_tag, MKTAG('a', 'b', 0, 0));
       }},
      {"numeric tag", kAudio, [](auto& o) { add(o.codec_tags, "", "0x40"); },
       [](const TOutputStream& ost) { EXPECT_EQ(ost.enc_ctx->codec_tag, 0x40u); }},
      {"audio settings", kAudio,
       [](auto& o) {
         addInt(o.audio_channels, "", 6);
         add(o.sample_fmts, "", "fltp");
         addInt(o.audio_sample_rate, "", 44100);
         add(o.filters, "a", "volume=2");
         addInt(o.max_muxing_queue_size, "", 400);
       },
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.enc_ctx->ch_layout.nb_channels, 6);
         EXPECT_EQ(ost.enc_ctx->sample_fmt, AV_SAMPLE_FMT_FLTP);
         EXPECT_EQ(ost.enc_ctx->sample_rate, 44100);
         EXPECT_EQ(ost.avfilter.value_or(""), "volume=2");
         EXPECT_EQ(ost.max_muxing_queue_size, 400);
       }},
      {"24-bit samples", kAudio, [](auto& o) { add(o.codec_names, "", "pcm_s24le"); },
       [](const TOutputStream& ost) { EXPECT_EQ(ost.swr_opts.value("output_sample_bits"), "24"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    c.fill(*o_);
    AVFormatContext* oc = newOutput(c.creator == kAudio ? "out.mkv" : "out.mp4");
    c.check(*create(c.creator, oc));
  }
}

// Option strings reach the stream through the file's record and group.
TEST_F(OutputStreamTest, FromOptionStrings) {
  struct Case {
    const char* options;
    Creator creator;
    std::function<void(const TOutputStream&)> check;
  };
  const std::vector<Case> cases = {
      {"-qscale:v 3", kVideo,
       [](const TOutputStream& ost) { EXPECT_EQ(ost.enc_ctx->global_quality, 354); }},
      {"-pix_fmt +yuv420p -s 160x120", kVideo,
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.keep_pix_fmt, 1);
         EXPECT_EQ(ost.enc_ctx->pix_fmt, AV_PIX_FMT_YUV420P);
         EXPECT_EQ(ost.enc_ctx->width, 160);
       }},
      {"-rc_override 0,100,2/101,200,-50", kVideo,
       [](const TOutputStream& ost) {
         ASSERT_EQ(ost.enc_ctx->rc_override_count, 2);
         EXPECT_FLOAT_EQ(ost.enc_ctx->rc_override[1].quality_factor, 0.5f);
       }},
      {"-streamid 0:33 -bitexact", kAudio,
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.st->id, 33);
         EXPECT_TRUE(ost.enc_ctx->flags & AV_CODEC_FLAG_BITEXACT);
       }},
      {"-c:a copy -c:v mpeg4 -b:v 1M -g 12", kVideo,
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.encoder_opts.value("b"), "1M");
         EXPECT_EQ(ost.encoder_opts.value("g"), "12");
       }},
      {"-c:a copy -c:v mpeg4 -b:v 1M", kAudio,
       [](const TOutputStream& ost) {
         EXPECT_EQ(ost.stream_copy, 1);
         EXPECT_FALSE(ost.encoder_opts.contains("b"));
       }},
      {"-af volume=0.5 -vf hflip", kAudio,
       [](const TOutputStream& ost) { EXPECT_EQ(ost.avfilter.value_or(""), "volume=0.5"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    restart();
    ASSERT_EQ(engine_->ParseOptions(*o_, c.options, "", "output file", path("out.mp4"), ofOutput),
              0)
        << engine_->FLastErrMsg;
    c.check(*create(c.creator, newOutput("out.mp4")));
  }

  restart();
  ASSERT_EQ(engine_->ParseOptions(*o_, "-c:v copy -vf scale=320:240", "", "output file",
                                  path("out.mp4"), ofOutput),
            0);
  EXPECT_THROW(create(kVideo, newOutput("out.mp4")), FFmpegException);
  EXPECT_EQ(engine_->FLastErrMsg.rfind("Filtergraph \"scale=320:240\" was defined", 0), 0u);
}

TEST_F(OutputStreamTest, FilterScriptIsReadWhole) {
  std::string graph(3000, ' ');  // more than one read chunk
  graph += "hflip";
  std::ofstream(path("graph.txt")) << graph;
  add(o_->filter_scripts, "v", path("graph.txt"));
  TOutputStream* ost = create(kVideo, newOutput("out.mp4"));
  EXPECT_EQ(ost->avfilter.value_or(""), graph);
  EXPECT_EQ(read_file(nullptr, path("none.txt")), std::nullopt);
  EXPECT_TRUE(logged("Error opening file " + path("none.txt") + "."));
}

TEST_F(OutputStreamTest, UnspecificFramesWarnOnNonVideo) {
  TSpecifierValue frames;
  frames.i64 = 100;
  o_->max_frames.push_back(frames);
  AVFormatContext* oc = newOutput("out.mp4");
  TOutputStream* video = create(kVideo, oc);
  EXPECT_FALSE(logged("Applying unspecific -frames"));
  TOutputStream* audio = create(kAudio, oc);
  EXPECT_TRUE(
      logged("Applying unspecific -frames to non video streams, maybe you meant -vframes ?"));
  EXPECT_EQ(video->max_frames, 100);
  EXPECT_EQ(audio->max_frames, 100);
}

TEST_F(OutputStreamTest, StreamIdsAndSources) {
  o_->streamid_map = {33};
  AVFormatContext* in = newOutput("in.mkv");  // any stream will do as the input's
  AVFormatContext* oc = newOutput("out.mkv");
  auto ist = std::make_unique<TInputStream>();
  ist->st = ff::avformat_new_stream(in, nullptr);
  ist->user_set_discard = AVDISCARD_NONKEY;
  ist->st->discard = AVDISCARD_ALL;
  TInputStream* source = ist.get();
  engine_->Finput_streams.push_back(std::move(ist));

  TOutputStream* first = create(kAudio, oc, 0);
  EXPECT_EQ(first->st->id, 33);
  EXPECT_EQ(first->source_index, 0);
  EXPECT_EQ(first->sync_ist, source);
  EXPECT_EQ(source->discard, 0);
  EXPECT_EQ(source->st->discard, AVDISCARD_NONKEY);
  TOutputStream* second = create(kAudio, oc);
  EXPECT_NE(second->st->id, 33);
  EXPECT_EQ(second->sync_ist, nullptr);
}

TEST_F(OutputStreamTest, ChannelMapsOfTheStream) {
  AVFormatContext* oc = newOutput("out.mkv");
  auto ist = std::make_unique<TInputStream>();
  ist->st = ff::avformat_new_stream(oc, nullptr);  // input stream 0 of file 0
  engine_->Finput_streams.push_back(std::move(ist));
  o_->audio_channel_maps = {
      {0, 0, 1, -1, -1},  // applies
      {0, 1, 0, -1, -1},  // another input stream
      {0, 0, 2, 3, -1},   // another output file
      {0, 0, 3, 0, 7},    // another output stream
      {0, 0, -1, 0, 1},   // muted channel: needs no input
  };
  TOutputStream* mapped = create(kAudio, oc, 0);  // output stream 1
  EXPECT_EQ(mapped->audio_channels_map, (std::vector<int>{1, -1}));
  TOutputStream* unfed = create(kAudio, oc);
  EXPECT_EQ(unfed->audio_channels_map, (std::vector<int>{}));
  EXPECT_TRUE(logged("Cannot determine input stream for channel mapping 0.2"));
}

// Streams of one file get a log each, so their statistics never mix.
TEST_F(OutputStreamTest, TwoPassLogsPerStream) {
  const std::string prefix = path("stats");
  add(o_->codec_names, "", "mpeg4");
  addInt(o_->passes, "", 1);
  add(o_->passlogfiles, "", prefix);
  AVFormatContext* oc = newOutput("out.mp4");
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

  restart();
  add(o_->codec_names, "", "mpeg4");
  addInt(o_->passes, "", 2);
  add(o_->passlogfiles, "", prefix);
  oc = newOutput("out2.mp4");
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
  add(o_->codec_names, "", "mpeg4");
  addInt(o_->passes, "", 1);
  TOutputStream* ost = create(kVideo, newOutput("out.mp4"));
  EXPECT_EQ(ost->logfile_name, "dedirerer2pass-0.log");
  EXPECT_TRUE(std::filesystem::exists(dir_ / "dedirerer2pass-0.log"));
  std::filesystem::current_path(cwd);
}

TEST_F(OutputStreamTest, FreeOutputStreamsReleasesEverything) {
  std::ofstream(path("stats-0.log")) << "x";
  add(o_->codec_names, "v", "mpeg4");
  add(o_->bitstream_filters, "v", "null");
  add(o_->rc_overrides, "", "0,10,3");
  add(o_->intra_matrices, "", std::string(63 * 2, ',').replace(0, 0, "1"));
  add(o_->chroma_intra_matrices, "", std::string(63, ',') + "9");
  addInt(o_->passes, "", 3);
  add(o_->passlogfiles, "", path("stats"));
  AVFormatContext* oc = newOutput("out.mp4");
  TOutputStream* video = create(kVideo, oc);
  create(kAudio, oc);
  create(&TCustomFFmpegOpt::NewAttachmentStream, oc);
  ASSERT_TRUE(video->bsf_ctx);
  ASSERT_TRUE(video->enc_ctx->stats_in);
  video->muxing_queue.push_back(makePacket());
  video->pkt = makePacket();
  video->filtered_frame = makeFrame();
  engine_->FreeOutputStreams();
  EXPECT_EQ(engine_->Fnb_output_streams(), 0);
  // Leak detection at exit checks the rest.
}

}  // namespace
