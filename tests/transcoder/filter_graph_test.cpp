// Filter graph records and configuring library graphs between hand-made
// input and output stream records.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <fstream>
#include <functional>

#include "support/TranscoderRig.h"
#include "testmedia/TestMedia.h"

using namespace corvane;

namespace {

constexpr const char* kVideoSrc = "testsrc=size=320x240:rate=25:duration=1";
constexpr const char* kAvSrc =
    "testsrc=size=320x240:rate=25:duration=1[out0];sine=frequency=440:duration=1[out1]";
constexpr int kTransposeClock = 1;  // the transpose filter's "clock" direction

class FilterGraphTest : public testrig::TranscoderTest {
 protected:
  // Opens url (lavfi unless a format is given) and adds the file and stream
  // records an input opener would; returns the file index.
  int addInput(const std::string& url, const char* format = "lavfi") {
    AVFormatContext* raw = nullptr;
    const AVInputFormat* fmt = format ? ff::av_find_input_format(format) : nullptr;
    EXPECT_GE(ff::avformat_open_input(&raw, url.c_str(), fmt, nullptr), 0) << url;
    InputContextPtr ctx(raw);
    // lavfi streams are described by the open; probing them leaks in the library.
    if (!format) {
      EXPECT_GE(ff::avformat_find_stream_info(ctx.get(), nullptr), 0);
    }
    auto f = std::make_unique<TInputFile>();
    f->ist_index = engine_->Fnb_input_streams();
    f->nb_streams = static_cast<int>(ctx->nb_streams);
    f->accurate_seek = 1;
    const int file_index = engine_->Fnb_input_files();
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
      auto ist = std::make_unique<TInputStream>();
      ist->file_index = file_index;
      ist->st = ctx->streams[i];
      ist->avdec = ff::avcodec_find_decoder(ist->st->codecpar->codec_id);
      ist->dec_ctx.reset(ff::avcodec_alloc_context3(ist->avdec));
      ff::avcodec_parameters_to_context(ist->dec_ctx.get(), ist->st->codecpar);
      engine_->Finput_streams.push_back(std::move(ist));
    }
    f->ctx = std::move(ctx);
    engine_->Finput_files.push_back(std::move(f));
    return file_index;
  }
  TInputStream& ist(int file, int stream) {
    return *engine_->Finput_streams[engine_->Finput_files[file]->ist_index + stream];
  }

  int addOutputFile() {
    AVFormatContext* oc = nullptr;
    EXPECT_GE(ff::avformat_alloc_output_context2(&oc, nullptr, "matroska", nullptr), 0);
    auto of = std::make_unique<TOutputFile>();
    of->ctx.reset(oc);
    of->ost_index = engine_->Fnb_output_streams();
    engine_->Foutput_files.push_back(std::move(of));
    return engine_->Fnb_output_files() - 1;
  }
  TOutputStream& newStream(int file, const char* encoder) {
    TOutputFile& of = *engine_->Foutput_files[file];
    auto ost = std::make_unique<TOutputStream>();
    ost->file_index = file;
    ost->st = ff::avformat_new_stream(of.ctx.get(), nullptr);
    ost->index = ost->st->index;
    ost->encoding_needed = 1;
    ost->enc = ff::avcodec_find_encoder_by_name(encoder);
    EXPECT_NE(ost->enc, nullptr) << encoder;
    ost->enc_ctx.reset(ff::avcodec_alloc_context3(ost->enc));
    ost->st->codecpar->codec_type = ost->enc->type;
    ost->st->codecpar->codec_id = ost->enc->id;
    engine_->Foutput_streams.push_back(std::move(ost));
    return *engine_->Foutput_streams.back();
  }
  // An mpeg4 stream as the encoder setup leaves it (yuv420p, no size request).
  TOutputStream& addVideoOutput(int file) {
    TOutputStream& ost = newStream(file, "mpeg4");
    ost.enc_ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ost.avfilter = "null";
    return ost;
  }
  // An opened audio encoder (its frame size known), stereo.
  TOutputStream& addAudioOutput(int file, const char* encoder, AVSampleFormat fmt, int rate) {
    TOutputStream& ost = newStream(file, encoder);
    AVCodecContext* c = ost.enc_ctx.get();
    c->sample_fmt = fmt;
    c->sample_rate = rate;
    c->time_base = AVRational{1, rate};
    ff::av_channel_layout_default(&c->ch_layout, 2);
    EXPECT_GE(ff::avcodec_open2(c, ost.enc, nullptr), 0) << encoder;
    ost.avfilter = "anull";
    return ost;
  }
  // The requests the output side puts on an audio graph output.
  static void requestEncoderFormat(TOutputFilter& ofilter) {
    const AVCodecContext* c = ofilter.ost->enc_ctx.get();
    ofilter.format = c->sample_fmt;
    ofilter.sample_rate = c->sample_rate;
    ff::av_channel_layout_copy(&ofilter.ch_layout.layout, &c->ch_layout);
  }
  // Input parameters taken from the stream, as done for inputs without frames.
  static void knowFromStream(TInputFilter& ifilter) {
    const AVCodecParameters* par = ifilter.ist->st->codecpar;
    ifilter.format = par->format;
    ifilter.width = par->width;
    ifilter.height = par->height;
    ifilter.sample_aspect_ratio = par->sample_aspect_ratio;
    ifilter.sample_rate = par->sample_rate;
    ff::av_channel_layout_copy(&ifilter.ch_layout.layout, &par->ch_layout);
  }

  TFilterGraph& simpleGraph(TInputStream& in, TOutputStream& out) {
    engine_->InitSimpleFilterGraph(&in, &out);
    TFilterGraph& fg = *engine_->Ffiltergraphs.back();
    knowFromStream(*fg.inputs[0]);
    return fg;
  }
  TFilterGraph& complexGraph(const std::string& desc) {
    auto fg = std::make_unique<TFilterGraph>();
    fg->index = engine_->Fnb_filtergraphs();
    fg->graph_desc = desc;
    engine_->Ffiltergraphs.push_back(std::move(fg));
    return *engine_->Ffiltergraphs.back();
  }
  static void connect(TOutputFilter& ofilter, TOutputStream& ost) {
    ofilter.ost = &ost;
    ost.filter = &ofilter;
    ofilter.out_tmp.reset();
  }

  static AVFilterContext* filter(const TFilterGraph& fg, const char* name) {
    return ff::avfilter_graph_get_filter(fg.graph.get(), name);
  }
  static std::int64_t intOption(AVFilterContext* ctx, const char* name) {
    std::int64_t v = -1;
    EXPECT_GE(ff::av_opt_get_int(ctx, name, AV_OPT_SEARCH_CHILDREN, &v), 0) << name;
    return v;
  }
  // The fatal text of fn, or "" when it returns.
  static std::string fatalText(const std::function<void()>& fn) {
    try {
      fn();
    } catch (const FFmpegException& e) {
      return e.what();
    }
    return {};
  }

  static FramePtr videoFrame(std::int64_t pts) {
    FramePtr f = makeFrame();
    f->format = AV_PIX_FMT_YUV420P;
    f->width = 320;
    f->height = 240;
    f->pts = pts;
    EXPECT_GE(ff::av_frame_get_buffer(f.get(), 0), 0);
    for (int p = 0; p < 3; ++p)
      std::memset(f->data[p], 16 * p, static_cast<std::size_t>(f->linesize[p]) * (p ? 120 : 240));
    return f;
  }
  static FramePtr audioFrame(std::int64_t pts, int samples, AVSampleFormat fmt, int rate) {
    FramePtr f = makeFrame();
    f->format = fmt;
    f->sample_rate = rate;
    f->nb_samples = samples;
    f->pts = pts;
    ff::av_channel_layout_default(&f->ch_layout, 2);
    EXPECT_GE(ff::av_frame_get_buffer(f.get(), 0), 0);
    for (int p = 0; p < AV_NUM_DATA_POINTERS && f->data[p]; ++p)
      std::memset(f->data[p], 0, static_cast<std::size_t>(f->linesize[0]));
    return f;
  }
  // Every frame the sink gives until its end.
  static std::vector<FramePtr> drain(TOutputFilter& ofilter) {
    std::vector<FramePtr> out;
    for (;;) {
      FramePtr f = makeFrame();
      if (ff::av_buffersink_get_frame(ofilter.filter, f.get()) < 0) break;
      out.push_back(std::move(f));
    }
    return out;
  }
};

TEST_F(FilterGraphTest, SimpleGraphNeedsOneInputAndOneOutput) {
  const int in = addInput(kVideoSrc);
  const int out = addOutputFile();
  TOutputStream& ost = addVideoOutput(out);
  ost.avfilter = "split";
  TFilterGraph& fg = simpleGraph(ist(in, 0), ost);
  EXPECT_EQ(fg.inputs[0]->ist, &ist(in, 0));
  EXPECT_EQ(ost.filter, fg.outputs[0].get());
  EXPECT_EQ(ist(in, 0).filters, std::vector<TInputFilter*>{fg.inputs[0].get()});

  EXPECT_EQ(engine_->configure_filtergraph(fg), AVERROR(EINVAL));
  EXPECT_EQ(engine_->FLastErrMsg,
            "Simple filtergraph \"split\" was expected to have exactly 1 input and 1 output. "
            "However, it had 1 input(s) and >1 output(s). Please adjust, or use a complex "
            "filtergraph (-filter_complex) instead.");
  EXPECT_EQ(fg.graph, nullptr);
  EXPECT_EQ(fg.reconfiguration, 0);
}

TEST_F(FilterGraphTest, ComplexInputsBindToStreams) {
  struct Case {
    const char* desc;
    std::vector<std::pair<int, int>> bound;  // file, stream of each input
    std::vector<std::string> names;
    std::size_t outputs = 1;
  };
  const Case cases[] = {
      {"[0:v][1:v]overlay", {{0, 0}, {1, 0}}, {"overlay:main", "overlay:overlay"}},
      {"[0:v]overlay", {{0, 0}, {1, 0}}, {"overlay:main", "overlay:overlay"}},
      {"[0x1:v]null", {{1, 0}}, {"null"}},
      {"[1]anull", {{1, 1}}, {"anull"}},
      {"[0:v]null;anull", {{0, 0}, {1, 1}}, {"null", "anull"}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.desc);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    addInput(kVideoSrc);
    addInput(kAvSrc);
    TFilterGraph& fg = complexGraph(c.desc);
    ASSERT_EQ(engine_->InitComplexFilterGraph(fg), 0);
    ASSERT_EQ(fg.inputs.size(), c.bound.size());
    for (std::size_t i = 0; i < c.bound.size(); ++i) {
      TInputStream& s = ist(c.bound[i].first, c.bound[i].second);
      EXPECT_EQ(fg.inputs[i]->ist, &s) << i;
      EXPECT_EQ(fg.inputs[i]->name, c.names[i]);
      EXPECT_EQ(fg.inputs[i]->type_, s.st->codecpar->codec_type);
      EXPECT_EQ(s.discard, 0);
      EXPECT_EQ(s.decoding_needed & 2, 2);
      EXPECT_EQ(s.st->discard, AVDISCARD_NONE);
    }
    ASSERT_EQ(fg.outputs.size(), c.outputs);
    EXPECT_NE(fg.outputs[0]->out_tmp, nullptr);
    EXPECT_EQ(fg.outputs[0]->ost, nullptr);
  }
}

TEST_F(FilterGraphTest, ComplexOutputsAreDescribed) {
  addInput(kVideoSrc);
  TFilterGraph& fg = complexGraph("[0:v]split[a][b];[b]hflip");
  ASSERT_EQ(engine_->InitComplexFilterGraph(fg), 0);
  ASSERT_EQ(fg.outputs.size(), 2u);
  EXPECT_EQ(fg.outputs[0]->name, "split:output0");
  EXPECT_STREQ(fg.outputs[0]->out_tmp->name, "a");
  EXPECT_EQ(fg.outputs[1]->name, "hflip");
  EXPECT_EQ(fg.outputs[1]->out_tmp->name, nullptr);
  EXPECT_EQ(fg.outputs[1]->type_, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(fg.graph, nullptr);
}

TEST_F(FilterGraphTest, ComplexInputFailures) {
  struct Case {
    const char* desc;
    bool disable;
    const char* text;
  };
  const Case cases[] = {
      {"[5:v]null", false, "Invalid file index 5 in filtergraph description [5:v]null."},
      {"[0:a]anull", false,
       "Stream specifier \"a\" in filtergraph description [0:a]anull matches no streams."},
      {"[0:v]null", true,
       "Stream specifier \"v\" in filtergraph description [0:v]null matches a disabled input "
       "stream."},
      {"[0:v]null[a];[a]overlay", false,
       "Cannot find a matching stream for unlabeled input pad 1 on filter Parsed_overlay_1"},
      {"null", true,
       "Cannot find a matching stream for unlabeled input pad 0 on filter "
       "Parsed_null_0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.desc);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    addInput(kVideoSrc);
    if (c.disable) ist(0, 0).user_set_discard = AVDISCARD_ALL;
    TFilterGraph& fg = complexGraph(c.desc);
    EXPECT_EQ(fatalText([&] { engine_->InitComplexFilterGraph(fg); }), c.text);
  }
}

TEST_F(FilterGraphTest, RotatedStreamIsTurnedBack) {
  const std::string file = testmedia::ensure(testmedia::Kind::Mp4Rotated);
  for (const int autorotate : {1, 0}) {
    SCOPED_TRACE(autorotate);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    const int in = addInput(file, nullptr);
    ist(in, 0).autorotate = autorotate;
    TOutputStream& ost = addVideoOutput(addOutputFile());
    TFilterGraph& fg = simpleGraph(ist(in, 0), ost);
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    AVFilterContext* transpose = filter(fg, "transpose");
    if (autorotate) {
      ASSERT_NE(transpose, nullptr);
      EXPECT_EQ(intOption(transpose, "dir"), kTransposeClock);
      EXPECT_EQ(fg.outputs[0]->width, testmedia::kHeight);
      EXPECT_EQ(fg.outputs[0]->height, testmedia::kWidth);
    } else {
      EXPECT_EQ(transpose, nullptr);
      EXPECT_EQ(fg.outputs[0]->width, testmedia::kWidth);
    }
  }
}

TEST_F(FilterGraphTest, AudioSyncArgumentsFollowConfiguration) {
  struct Case {
    float threshold;
    const char* first;
    const char* again;
  };
  const Case cases[] = {
      {0.1f, "async=1:first_pts=0.", "async=1."},
      {0.5f, "async=1:min_hard_comp=0.500000:first_pts=0.", "async=1:min_hard_comp=0.500000."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    engine_->Faudio_sync_method = 1;
    engine_->Faudio_drift_threshold = c.threshold;
    const int in = addInput(kAvSrc);
    TOutputStream& ost = addAudioOutput(addOutputFile(), "mp2", AV_SAMPLE_FMT_S16, 44100);
    TFilterGraph& fg = simpleGraph(ist(in, 1), ost);
    const std::string prefix = "-async is forwarded to lavfi similarly to -af aresample=";
    log_.clear();
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    EXPECT_TRUE(logged(prefix + c.first));
    EXPECT_NE(filter(fg, "graph_0_aresample_in_0_1"), nullptr);
    log_.clear();
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    EXPECT_TRUE(logged(prefix + c.again));
  }
}

TEST_F(FilterGraphTest, VolumeFilterArgumentIsAPlainNumber) {
  // Under a comma locale the library's own number parsing fails, so only the
  // argument text is checked there.
  for (const char* locale : {"C", "de_DE.UTF-8"}) {
    SCOPED_TRACE(locale);
    const char* previous = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_NUMERIC, locale)) continue;
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    engine_->Faudio_volume = 512;
    const int in = addInput(kAvSrc);
    TOutputStream& ost = addAudioOutput(addOutputFile(), "mp2", AV_SAMPLE_FMT_S16, 44100);
    TFilterGraph& fg = simpleGraph(ist(in, 1), ost);
    log_.clear();
    const int ret = engine_->configure_filtergraph(fg);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_TRUE(logged("-vol is forwarded to lavfi similarly to -af volume=2.000000"));
    EXPECT_TRUE(logged("-vol has been deprecated. Use the volume audio filter instead."));
    if (std::string(locale) == "C") {
      ASSERT_EQ(ret, 0) << engine_->FLastErrMsg;
      EXPECT_NE(filter(fg, "graph_0_volume_in_0_1"), nullptr);
    }
  }
}

TEST_F(FilterGraphTest, TrimsLimitInputsAndOutputs) {
  struct Case {
    int copyts;
    int start_at_zero;
    bool with_ctx_start;
  };
  for (const Case& c : {Case{0, 0, false}, Case{1, 0, true}, Case{1, 1, false}}) {
    SCOPED_TRACE(c.copyts * 10 + c.start_at_zero);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    engine_->Fcopy_ts = c.copyts;
    engine_->Fstart_at_zero = c.start_at_zero;
    const int in = addInput(kAvSrc);
    TInputFile& f = *engine_->Finput_files[in];
    f.start_time = 3000000;
    const int out = addOutputFile();
    TOutputFile& of = *engine_->Foutput_files[out];
    of.start_time = 5000000;
    of.recording_time = 10000000;
    TOutputStream& v = addVideoOutput(out);
    TOutputStream& a = addAudioOutput(out, "mp2", AV_SAMPLE_FMT_S16, 44100);
    TFilterGraph& vg = simpleGraph(ist(in, 0), v);
    TFilterGraph& ag = simpleGraph(ist(in, 1), a);
    ASSERT_EQ(engine_->configure_filtergraph(vg), 0) << engine_->FLastErrMsg;
    ASSERT_EQ(engine_->configure_filtergraph(ag), 0) << engine_->FLastErrMsg;

    const std::int64_t ctx_start = f.ctx->start_time == AV_NOPTS_VALUE ? 0 : f.ctx->start_time;
    const std::int64_t in_start = c.copyts ? 3000000 + (c.with_ctx_start ? ctx_start : 0) : 0;
    for (AVFilterContext* t :
         {filter(vg, "trim_in_0_0"), filter(ag, "trim for input stream 0:1")}) {
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(intOption(t, "starti"), in_start);
    }
    for (AVFilterContext* t :
         {filter(vg, "trim_out_0_0"), filter(ag, "trim for output stream 0:1")}) {
      ASSERT_NE(t, nullptr);
      EXPECT_EQ(intOption(t, "starti"), 5000000);
      EXPECT_EQ(intOption(t, "durationi"), 10000000);
    }
  }
}

TEST_F(FilterGraphTest, KeptPixelFormatDisablesConversion) {
  struct Case {
    int keep;
    const char* source;
    AVPixelFormat requested;
    bool configures;
  };
  const Case cases[] = {
      {0, kVideoSrc, AV_PIX_FMT_YUV420P, true},
      {0, kVideoSrc, AV_PIX_FMT_RGB24, true},  // not an mpeg4 format: the closest is taken
      {1, "testsrc=size=320x240:rate=25:duration=1,format=yuv420p", AV_PIX_FMT_YUV420P, true},
      {1, kVideoSrc, AV_PIX_FMT_YUV420P, false},  // rgb24 cannot reach the encoder unconverted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    ASSERT_EQ(engine_->FHWDevices.count(), 0);
    const int in = addInput(c.source);
    TOutputStream& ost = addVideoOutput(addOutputFile());
    ost.keep_pix_fmt = c.keep;
    ost.enc_ctx->pix_fmt = c.requested;
    TFilterGraph& fg = simpleGraph(ist(in, 0), ost);
    log_.clear();
    const int ret = engine_->configure_filtergraph(fg);
    EXPECT_EQ(logged("Incompatible pixel format \"rgb24\" for codec \"mpeg4\", auto-selecting "
                     "format \"yuv420p\""),
              c.requested == AV_PIX_FMT_RGB24);
    if (!c.configures) {
      EXPECT_LT(ret, 0);
      EXPECT_EQ(fg.graph, nullptr);
      continue;
    }
    ASSERT_EQ(ret, 0) << engine_->FLastErrMsg;
    EXPECT_EQ(fg.graph->disable_auto_convert,
              c.keep ? unsigned(AVFILTER_AUTO_CONVERT_NONE) : unsigned(AVFILTER_AUTO_CONVERT_ALL));
    EXPECT_NE(filter(fg, "format_output_0_0"), nullptr);
    EXPECT_EQ(fg.outputs[0]->format, AV_PIX_FMT_YUV420P);
  }
}

TEST_F(FilterGraphTest, FixedFrameSizeEncodersGetWholeFrames) {
  struct Case {
    const char* encoder;
    AVSampleFormat fmt;
    int rate;
    int frame_size;
  };
  const Case cases[] = {{"mp2", AV_SAMPLE_FMT_S16, 44100, 1152},
                        {"ac3", AV_SAMPLE_FMT_FLTP, 48000, 1536}};
  constexpr int kFrames = 7;
  constexpr int kSamples = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encoder);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    const int in = addInput(kAvSrc);
    TOutputStream& ost = addAudioOutput(addOutputFile(), c.encoder, c.fmt, c.rate);
    ASSERT_EQ(ost.enc_ctx->frame_size, c.frame_size);
    engine_->InitSimpleFilterGraph(&ist(in, 1), &ost);
    TFilterGraph& fg = *engine_->Ffiltergraphs.back();
    TInputFilter& ifilter = *fg.inputs[0];
    requestEncoderFormat(*fg.outputs[0]);
    for (int i = 0; i < kFrames; ++i)
      ifilter.frame_queue.push_back(audioFrame(i * kSamples, kSamples, AV_SAMPLE_FMT_S16, 44100));
    ASSERT_EQ(engine_->ifilter_parameters_from_frame(ifilter, ifilter.frame_queue[0].get()), 0);
    ifilter.eof = 1;
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    EXPECT_TRUE(ifilter.frame_queue.empty());

    const std::vector<FramePtr> frames = drain(*fg.outputs[0]);
    ASSERT_GE(frames.size(), 2u);
    for (std::size_t i = 0; i + 1 < frames.size(); ++i)
      EXPECT_EQ(frames[i]->nb_samples, c.frame_size) << i;
    EXPECT_LE(frames.back()->nb_samples, c.frame_size);
    EXPECT_EQ(frames[0]->format, c.fmt);
    EXPECT_EQ(frames[0]->sample_rate, c.rate);
    EXPECT_EQ(fg.outputs[0]->sample_rate, c.rate);
    EXPECT_EQ(fg.outputs[0]->ch_layout.layout.nb_channels, 2);
  }
}

TEST_F(FilterGraphTest, QueuedFramesArePushedInOrder) {
  const int in = addInput(kVideoSrc);
  TOutputStream& ost = addVideoOutput(addOutputFile());
  engine_->InitSimpleFilterGraph(&ist(in, 0), &ost);
  TFilterGraph& fg = *engine_->Ffiltergraphs.back();
  TInputFilter& ifilter = *fg.inputs[0];
  for (std::int64_t pts : {0, 1, 2, 3, 4}) ifilter.frame_queue.push_back(videoFrame(pts));
  ASSERT_EQ(engine_->ifilter_parameters_from_frame(ifilter, ifilter.frame_queue[0].get()), 0);
  EXPECT_EQ(ifilter.width, 320);
  EXPECT_EQ(ifilter.format, AV_PIX_FMT_YUV420P);
  ifilter.eof = 1;
  ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
  std::vector<std::int64_t> pts;
  for (const FramePtr& f : drain(*fg.outputs[0])) pts.push_back(f->pts);
  EXPECT_EQ(pts, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
}

TEST_F(FilterGraphTest, SubtitleInputGetsACanvas) {
  const std::string srt = path("cues.srt");
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nHello\n\n";
  const int in = addInput(srt, nullptr);
  TOutputStream& ost = addVideoOutput(addOutputFile());
  TFilterGraph& fg = complexGraph("[0:s]null");
  ASSERT_EQ(engine_->InitComplexFilterGraph(fg), 0);
  ASSERT_EQ(fg.inputs[0]->ist, &ist(in, 0));
  EXPECT_EQ(fg.inputs[0]->type_, AVMEDIA_TYPE_SUBTITLE);
  connect(*fg.outputs[0], ost);

  ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
  EXPECT_TRUE(logged("sub2video: using 720x576 canvas"));
  const TISsub2video& canvas = ist(in, 0).sub2video;
  EXPECT_EQ(canvas.w, 720);
  EXPECT_EQ(canvas.h, 576);
  EXPECT_NE(canvas.frame, nullptr);
  EXPECT_EQ(canvas.initialize, 1);
  EXPECT_EQ(canvas.last_pts, INT64_MIN);
  EXPECT_EQ(fg.inputs[0]->format, AV_PIX_FMT_BGRA);
  EXPECT_EQ(fg.outputs[0]->width, 720);
  EXPECT_EQ(fg.outputs[0]->height, 576);
}

TEST_F(FilterGraphTest, SimpleGraphTakesStreamOptions) {
  const int in = addInput("testsrc=size=320x240:rate=25:duration=1,format=yuv420p");
  TOutputStream& ost = addVideoOutput(addOutputFile());
  std::string flags = "bicubic";
  for (int i = 0; i < 60; ++i) flags += "+accurate_rnd";  // longer than any fixed buffer
  ost.sws_dict.set("flags", flags);
  ost.swr_opts.set("dither_method", "triangular");
  ost.encoder_opts.set("threads", "3");
  engine_->Ffilter_nbthreads = 2;
  TFilterGraph& fg = simpleGraph(ist(in, 0), ost);
  fg.outputs[0]->width = 160;
  fg.outputs[0]->height = 120;
  ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
  EXPECT_STREQ(fg.graph->scale_sws_opts, ("flags=" + flags).c_str());
  EXPECT_STREQ(fg.graph->aresample_swr_opts, "dither_method=triangular");
  EXPECT_EQ(fg.graph->nb_threads, 3);
  ASSERT_NE(filter(fg, "scaler_out_0_0"), nullptr);
  EXPECT_EQ(fg.outputs[0]->width, 160);
  EXPECT_EQ(fg.outputs[0]->height, 120);

  ost.autoscale = 0;
  ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
  EXPECT_EQ(filter(fg, "scaler_out_0_0"), nullptr);
  EXPECT_EQ(fg.outputs[0]->width, 320);
}

TEST_F(FilterGraphTest, AudioOutputFilters) {
  struct Case {
    const char* name;
    std::vector<int> map;
    const char* apad;
    int shortest;
    const char* message;  // nullptr: no filter forwarded
    const char* filter;
  };
  const Case cases[] = {
      {"swapped channels",
       {1, 0},
       "",
       0,
       "-map_channel is forwarded to lavfi similarly to -af pan=0x3|c0=c1|c1=c0.",
       "pan"},
      {"one channel left out",
       {-1, 0},
       "",
       0,
       "-map_channel is forwarded to lavfi similarly to -af pan=0x3|c1=c0.",
       "pan"},
      {"pad to the video",
       {},
       "pad_len=10",
       1,
       "-apad is forwarded to lavfi similarly to -af apad=pad_len=10.",
       "apad"},
      {"pad without shortest", {}, "pad_len=10", 0, nullptr, "apad"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    const int in = addInput(kAvSrc);
    const int out = addOutputFile();
    addVideoOutput(out);
    TOutputStream& ost = addAudioOutput(out, "mp2", AV_SAMPLE_FMT_S16, 44100);
    ost.audio_channels_map = c.map;
    ost.apad = c.apad;
    engine_->Foutput_files[out]->shortest = c.shortest;
    TFilterGraph& fg = simpleGraph(ist(in, 1), ost);
    requestEncoderFormat(*fg.outputs[0]);
    log_.clear();
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    EXPECT_NE(filter(fg, "format_output_0_1"), nullptr);
    if (c.message) {
      EXPECT_TRUE(logged(c.message));
      EXPECT_NE(filter(fg, c.filter), nullptr);
    } else {
      EXPECT_EQ(filter(fg, c.filter), nullptr);
    }
  }
}

// Records the subtitles replayed onto a canvas.
class CanvasEngine : public TCustomFFmpegOpt {
 public:
  std::vector<std::pair<std::int64_t, std::int64_t>> updates;  // heartbeat, subtitle pts
  void SubtitleCanvasUpdate(TInputStream&, std::int64_t heartbeat_pts,
                            const AVSubtitle* sub) override {
    updates.emplace_back(heartbeat_pts, sub ? sub->pts : -1);
  }
};

TEST_F(FilterGraphTest, QueuedSubtitlesAreDrawnAfterConfiguration) {
  auto owned = std::make_unique<CanvasEngine>();
  CanvasEngine& engine = *owned;
  engine_ = std::move(owned);
  const std::string srt = path("cues.srt");
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nHello\n\n";
  const int in = addInput(srt, nullptr);
  TOutputStream& ost = addVideoOutput(addOutputFile());
  TFilterGraph& fg = complexGraph("[0:s]null");
  ASSERT_EQ(engine.InitComplexFilterGraph(fg), 0);
  connect(*fg.outputs[0], ost);
  for (std::int64_t pts : {500000, 1500000}) {
    auto sub = std::make_unique<OwnedSubtitle>();
    sub->sub.pts = pts;
    ist(in, 0).sub2video.sub_queue.push_back(std::move(sub));
  }
  ASSERT_EQ(engine.configure_filtergraph(fg), 0) << engine.FLastErrMsg;
  EXPECT_TRUE(ist(in, 0).sub2video.sub_queue.empty());
  using Update = std::pair<std::int64_t, std::int64_t>;
  EXPECT_EQ(engine.updates, (std::vector<Update>{{INT64_MIN, 500000}, {INT64_MIN, 1500000}}));
}

TEST_F(FilterGraphTest, UnconnectedOutputIsFatal) {
  addInput(kVideoSrc);
  TFilterGraph& fg = complexGraph("[0:v]hflip");
  ASSERT_EQ(engine_->InitComplexFilterGraph(fg), 0);
  knowFromStream(*fg.inputs[0]);
  EXPECT_EQ(fatalText([&] { engine_->configure_filtergraph(fg); }),
            "Filter hflip has an unconnected output");
  EXPECT_EQ(fg.graph, nullptr);
  EXPECT_EQ(fg.inputs[0]->filter, nullptr);
}

TEST_F(FilterGraphTest, ConfigurationFailuresReleaseTheGraph) {
  struct Case {
    const char* name;
    std::function<void(TInputStream&, TOutputStream&, TOutputFile&)> setup;
    int code;
    const char* text;
  };
  const Case cases[] = {
      {"no encoder", [](TInputStream&, TOutputStream& o, TOutputFile&) { o.enc = nullptr; },
       AVERROR(EINVAL), "Encoder (codec mpeg4) not found for output stream #0:0"},
      {"no decoder", [](TInputStream& i, TOutputStream&, TOutputFile&) { i.avdec = nullptr; },
       AVERROR_DECODER_NOT_FOUND, "No decoder for stream #0:0, filtering impossible"},
      {"bad pad filter",
       [](TInputStream&, TOutputStream& o, TOutputFile& f) {
         o.apad = "nonsense=1";
         f.shortest = 1;
       },
       AVERROR_OPTION_NOT_FOUND, nullptr},  // the sink side's own error, not a later one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    const int in = addInput(kAvSrc);
    const int out = addOutputFile();
    const bool audio = c.text == nullptr;
    TOutputStream& ost = addVideoOutput(out);
    TOutputStream& aost = addAudioOutput(out, "mp2", AV_SAMPLE_FMT_S16, 44100);
    TOutputStream& target = audio ? aost : ost;
    TInputStream& source = ist(in, audio ? 1 : 0);
    TFilterGraph& fg = simpleGraph(source, target);
    c.setup(source, target, *engine_->Foutput_files[out]);
    const int ret = engine_->configure_filtergraph(fg);
    EXPECT_EQ(ret, c.code);
    if (c.text) {
      EXPECT_EQ(engine_->FLastErrMsg, c.text);
    }
    EXPECT_EQ(fg.graph, nullptr);
    EXPECT_EQ(fg.inputs[0]->filter, nullptr);
    EXPECT_EQ(fg.outputs[0]->filter, nullptr);
  }
}

}  // namespace
