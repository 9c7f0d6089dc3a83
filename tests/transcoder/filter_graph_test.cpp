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
constexpr const char* kYuvSrc = "testsrc=size=320x240:rate=25:duration=1,format=yuv420p";
constexpr const char* kAvSrc =
    "testsrc=size=320x240:rate=25:duration=1[out0];sine=frequency=440:duration=1[out1]";
constexpr int kTransposeClock = 1;  // the transpose filter's "clock" direction

class FilterGraphTest : public testrig::TranscoderTest {
 protected:
  // Opens url (lavfi unless a format is given) and adds the records an input
  // opener would; returns the file index.
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
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
      auto s = std::make_unique<TInputStream>();
      s->file_index = engine_->Fnb_input_files();
      s->st = ctx->streams[i];
      s->avdec = ff::avcodec_find_decoder(s->st->codecpar->codec_id);
      s->dec_ctx.reset(ff::avcodec_alloc_context3(s->avdec));
      ff::avcodec_parameters_to_context(s->dec_ctx.get(), s->st->codecpar);
      engine_->Finput_streams.push_back(std::move(s));
    }
    f->ctx = std::move(ctx);
    engine_->Finput_files.push_back(std::move(f));
    return engine_->Fnb_input_files() - 1;
  }
  TInputStream& ist(int file, int stream) {
    return *engine_->Finput_streams[engine_->Finput_files[file]->ist_index + stream];
  }

  int addOutputFile() {
    auto of = std::make_unique<TOutputFile>();
    AVFormatContext* oc = nullptr;
    EXPECT_GE(ff::avformat_alloc_output_context2(&oc, nullptr, "matroska", nullptr), 0);
    of->ctx.reset(oc);
    engine_->Foutput_files.push_back(std::move(of));
    return engine_->Fnb_output_files() - 1;
  }
  // A stream as the encoder setup leaves it: video with a pixel format, audio
  // stereo with the encoder opened (its frame size known).
  TOutputStream& addOutput(int file, const char* encoder, int format = AV_PIX_FMT_YUV420P,
                           int rate = 44100) {
    auto ost = std::make_unique<TOutputStream>();
    ost->file_index = file;
    ost->st = ff::avformat_new_stream(engine_->Foutput_files[file]->ctx.get(), nullptr);
    ost->index = ost->st->index;
    ost->enc = ff::avcodec_find_encoder_by_name(encoder);
    ost->enc_ctx.reset(ff::avcodec_alloc_context3(ost->enc));
    ost->st->codecpar->codec_type = ost->enc->type;
    ost->st->codecpar->codec_id = ost->enc->id;
    AVCodecContext* c = ost->enc_ctx.get();
    if (ost->enc->type == AVMEDIA_TYPE_VIDEO) {
      c->pix_fmt = static_cast<AVPixelFormat>(format);
      ost->avfilter = "null";
    } else {
      c->sample_fmt = static_cast<AVSampleFormat>(format);
      c->sample_rate = rate;
      c->time_base = AVRational{1, rate};
      ff::av_channel_layout_default(&c->ch_layout, 2);
      EXPECT_GE(ff::avcodec_open2(c, ost->enc, nullptr), 0) << encoder;
      ost->avfilter = "anull";
    }
    engine_->Foutput_streams.push_back(std::move(ost));
    return *engine_->Foutput_streams.back();
  }

  // Input parameters taken from the stream, as done for inputs without frames.
  static void knowFromStream(TInputFilter& ifilter) {
    const AVCodecParameters* par = ifilter.ist->st->codecpar;
    ifilter.format = par->format;
    ifilter.width = par->width;
    ifilter.height = par->height;
    ifilter.sample_rate = par->sample_rate;
    ff::av_channel_layout_copy(&ifilter.ch_layout.layout, &par->ch_layout);
  }
  // A simple graph whose audio output asks for the encoder's format.
  TFilterGraph& simpleGraph(TInputStream& in, TOutputStream& out, bool known = true) {
    engine_->InitSimpleFilterGraph(&in, &out);
    TFilterGraph& fg = *engine_->Ffiltergraphs.back();
    if (known) knowFromStream(*fg.inputs[0]);
    TOutputFilter& ofilter = *fg.outputs[0];
    const AVCodecContext* c = out.enc_ctx.get();
    if (out.enc->type == AVMEDIA_TYPE_AUDIO) {
      ofilter.format = c->sample_fmt;
      ofilter.sample_rate = c->sample_rate;
      ff::av_channel_layout_copy(&ofilter.ch_layout.layout, &c->ch_layout);
    }
    return fg;
  }
  TFilterGraph& complexGraph(const std::string& desc) {
    auto fg = std::make_unique<TFilterGraph>();
    fg->index = engine_->Fnb_filtergraphs();
    fg->graph_desc = desc;
    engine_->Ffiltergraphs.push_back(std::move(fg));
    return *engine_->Ffiltergraphs.back();
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

  // A zeroed yuv420p 320x240 picture, or stereo s16 44.1 kHz samples.
  static FramePtr frame(std::int64_t pts, int samples = 0) {
    FramePtr f = makeFrame();
    f->pts = pts;
    if (samples) {
      f->format = AV_SAMPLE_FMT_S16;
      f->sample_rate = 44100;
      f->nb_samples = samples;
      ff::av_channel_layout_default(&f->ch_layout, 2);
    } else {
      f->format = AV_PIX_FMT_YUV420P;
      f->width = 320;
      f->height = 240;
    }
    EXPECT_GE(ff::av_frame_get_buffer(f.get(), 0), 0);
    for (int p = 0; p < AV_NUM_DATA_POINTERS && f->buf[p]; ++p)
      std::memset(f->buf[p]->data, 0, f->buf[p]->size);
    return f;
  }
  static std::vector<FramePtr> drain(TOutputFilter& ofilter) {
    std::vector<FramePtr> out;
    for (FramePtr f = makeFrame(); ff::av_buffersink_get_frame(ofilter.filter, f.get()) >= 0;
         f = makeFrame())
      out.push_back(std::move(f));
    return out;
  }
};

TEST_F(FilterGraphTest, SimpleGraphNeedsOneInputAndOneOutput) {
  addInput(kVideoSrc);
  TOutputStream& ost = addOutput(addOutputFile(), "mpeg4");
  ost.avfilter = "split";
  TFilterGraph& fg = simpleGraph(ist(0, 0), ost);
  EXPECT_EQ(ost.filter, fg.outputs[0].get());
  EXPECT_EQ(ist(0, 0).filters, std::vector<TInputFilter*>{fg.inputs[0].get()});

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
    std::vector<std::string> outputs;
  };
  const Case cases[] = {
      {"[0:v][1:v]overlay", {{0, 0}, {1, 0}}, {"overlay:main", "overlay:overlay"}, {"overlay"}},
      {"[0:v]overlay", {{0, 0}, {1, 0}}, {"overlay:main", "overlay:overlay"}, {"overlay"}},
      {"[0x1:v]split[a][b]", {{1, 0}}, {"split"}, {"split:output1", "split:output0"}},
      {"[1]anull", {{1, 1}}, {"anull"}, {"anull"}},
      {"[0:v]null;anull", {{0, 0}, {1, 1}}, {"null", "anull"}, {"null", "anull"}},
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
      EXPECT_EQ(s.filters, std::vector<TInputFilter*>{fg.inputs[i].get()});
      EXPECT_EQ(s.discard, 0);
      EXPECT_EQ(s.decoding_needed & 2, 2);
      EXPECT_EQ(s.st->discard, AVDISCARD_NONE);
    }
    ASSERT_EQ(fg.outputs.size(), c.outputs.size());
    for (std::size_t i = 0; i < c.outputs.size(); ++i) {
      EXPECT_EQ(fg.outputs[i]->name, c.outputs[i]);
      EXPECT_NE(fg.outputs[i]->out_tmp, nullptr);
      EXPECT_EQ(fg.outputs[i]->ost, nullptr);
    }
  }
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
       "Cannot find a matching stream for unlabeled input pad 0 on filter Parsed_null_0"},
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
    addInput(file, nullptr);
    ist(0, 0).autorotate = autorotate;
    TFilterGraph& fg = simpleGraph(ist(0, 0), addOutput(addOutputFile(), "mpeg4"));
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    AVFilterContext* transpose = filter(fg, "transpose");
    ASSERT_EQ(transpose != nullptr, autorotate == 1);
    if (transpose) {
      EXPECT_EQ(intOption(transpose, "dir"), kTransposeClock);
    }
    EXPECT_EQ(fg.outputs[0]->width, autorotate ? testmedia::kHeight : testmedia::kWidth);
  }
}

TEST_F(FilterGraphTest, AudioSourceArgumentsAreCLocaleText) {
  struct Case {
    int sync;
    float threshold;
    int volume;
    const char* locale;  // the library itself cannot configure under a comma locale
    const char* first;
    const char* again;
  };
  const char* async = "-async is forwarded to lavfi similarly to -af aresample=";
  const char* vol = "-vol is forwarded to lavfi similarly to -af volume=";
  const Case cases[] = {
      {1, 0.1f, 256, "C", "async=1:first_pts=0.", "async=1."},
      {1, 0.5f, 256, "C", "async=1:min_hard_comp=0.500000:first_pts=0.",
       "async=1:min_hard_comp=0.500000."},
      {0, 0.1f, 512, "C", "2.000000", "2.000000"},
      {0, 0.1f, 512, "de_DE.UTF-8", "2.000000", "2.000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + " " + c.locale);
    const std::string saved = std::setlocale(LC_NUMERIC, nullptr);
    if (!std::setlocale(LC_NUMERIC, c.locale)) continue;
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    engine_->Faudio_sync_method = c.sync;
    engine_->Faudio_drift_threshold = c.threshold;
    engine_->Faudio_volume = c.volume;
    addInput(kAvSrc);
    TFilterGraph& fg = simpleGraph(ist(0, 1), addOutput(addOutputFile(), "mp2", AV_SAMPLE_FMT_S16));
    const std::string prefix = c.sync ? async : vol;
    log_.clear();
    const int first = engine_->configure_filtergraph(fg);
    EXPECT_TRUE(logged(prefix + c.first));
    const bool configurable = std::string(c.locale) == "C";
    if (configurable) {
      EXPECT_EQ(first, 0) << engine_->FLastErrMsg;
      EXPECT_NE(filter(fg, c.sync ? "graph_0_aresample_in_0_1" : "graph_0_volume_in_0_1"), nullptr);
      log_.clear();
      EXPECT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
      EXPECT_TRUE(logged(prefix + c.again));
    }
    std::setlocale(LC_NUMERIC, saved.c_str());
  }
}

TEST_F(FilterGraphTest, TrimsLimitInputsAndOutputs) {
  struct Case {
    int copyts;
    int start_at_zero;
  };
  for (const Case& c : {Case{0, 0}, Case{1, 0}, Case{1, 1}}) {
    SCOPED_TRACE(c.copyts * 10 + c.start_at_zero);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    engine_->Fcopy_ts = c.copyts;
    engine_->Fstart_at_zero = c.start_at_zero;
    TInputFile& f = *engine_->Finput_files[addInput(kAvSrc)];
    f.start_time = 3000000;
    TOutputFile& of = *engine_->Foutput_files[addOutputFile()];
    of.start_time = 5000000;
    of.recording_time = 10000000;
    TFilterGraph& vg = simpleGraph(ist(0, 0), addOutput(0, "mpeg4"));
    TFilterGraph& ag = simpleGraph(ist(0, 1), addOutput(0, "mp2", AV_SAMPLE_FMT_S16));
    ASSERT_EQ(engine_->configure_filtergraph(vg), 0) << engine_->FLastErrMsg;
    ASSERT_EQ(engine_->configure_filtergraph(ag), 0) << engine_->FLastErrMsg;

    std::int64_t in_start = c.copyts ? 3000000 : 0;
    if (c.copyts && !c.start_at_zero && f.ctx->start_time != AV_NOPTS_VALUE)
      in_start += f.ctx->start_time;
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

TEST_F(FilterGraphTest, PixelFormatChoice) {
  struct Case {
    int keep;
    const char* source;
    AVPixelFormat requested;
    bool configures;
  };
  const Case cases[] = {
      {0, kVideoSrc, AV_PIX_FMT_YUV420P, true},
      {0, kVideoSrc, AV_PIX_FMT_RGB24, true},  // not an mpeg4 format: the closest is taken
      {1, kYuvSrc, AV_PIX_FMT_YUV420P, true},
      {1, kVideoSrc, AV_PIX_FMT_YUV420P, false},  // rgb24 cannot reach the encoder unconverted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    ASSERT_EQ(engine_->FHWDevices.count(), 0);
    addInput(c.source);
    TOutputStream& ost = addOutput(addOutputFile(), "mpeg4", c.requested);
    ost.keep_pix_fmt = c.keep;
    TFilterGraph& fg = simpleGraph(ist(0, 0), ost);
    log_.clear();
    const int ret = engine_->configure_filtergraph(fg);
    EXPECT_EQ(logged("Incompatible pixel format \"rgb24\" for codec \"mpeg4\", auto-selecting "
                     "format \"yuv420p\""),
              c.requested == AV_PIX_FMT_RGB24);
    ASSERT_EQ(ret >= 0, c.configures) << engine_->FLastErrMsg;
    if (!c.configures) continue;
    EXPECT_EQ(fg.graph->disable_auto_convert, c.keep ? unsigned(AVFILTER_AUTO_CONVERT_NONE) : 0u);
    EXPECT_NE(filter(fg, "format_output_0_0"), nullptr);
    EXPECT_EQ(fg.outputs[0]->format, AV_PIX_FMT_YUV420P);
  }
}

TEST_F(FilterGraphTest, StreamOptionsReachTheGraphWhole) {
  addInput(kYuvSrc);
  TOutputStream& ost = addOutput(addOutputFile(), "mpeg4");
  std::string flags = "bicubic";
  for (int i = 0; i < 60; ++i) flags += "+accurate_rnd";  // longer than any fixed buffer
  ost.sws_dict.set("flags", flags);
  ost.swr_opts.set("dither_method", "triangular");
  ost.encoder_opts.set("threads", "3");
  TFilterGraph& fg = simpleGraph(ist(0, 0), ost);
  fg.outputs[0]->width = 160;
  fg.outputs[0]->height = 120;
  ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
  EXPECT_STREQ(fg.graph->scale_sws_opts, ("flags=" + flags).c_str());
  EXPECT_STREQ(fg.graph->aresample_swr_opts, "dither_method=triangular");
  EXPECT_EQ(fg.graph->nb_threads, 3);
  EXPECT_NE(filter(fg, "scaler_out_0_0"), nullptr);
  EXPECT_EQ(fg.outputs[0]->width, 160);
}

TEST_F(FilterGraphTest, FixedFrameSizeEncodersGetWholeFrames) {
  struct Case {
    const char* encoder;
    AVSampleFormat fmt;
    int rate;
    int frame_size;
  };
  for (const Case& c : {Case{"mp2", AV_SAMPLE_FMT_S16, 44100, 1152},
                        Case{"ac3", AV_SAMPLE_FMT_FLTP, 48000, 1536}}) {
    SCOPED_TRACE(c.encoder);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    addInput(kAvSrc);
    TOutputStream& ost = addOutput(addOutputFile(), c.encoder, c.fmt, c.rate);
    ASSERT_EQ(ost.enc_ctx->frame_size, c.frame_size);
    TFilterGraph& fg = simpleGraph(ist(0, 1), ost, false);
    TInputFilter& ifilter = *fg.inputs[0];
    for (int i = 0; i < 7; ++i) ifilter.frame_queue.push_back(frame(i * 1000, 1000));
    ASSERT_EQ(engine_->ifilter_parameters_from_frame(ifilter, ifilter.frame_queue[0].get()), 0);
    ifilter.eof = 1;
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    EXPECT_TRUE(ifilter.frame_queue.empty());

    const std::vector<FramePtr> frames = drain(*fg.outputs[0]);
    ASSERT_GE(frames.size(), 2u);
    for (std::size_t i = 0; i + 1 < frames.size(); ++i)
      EXPECT_EQ(frames[i]->nb_samples, c.frame_size) << i;
    EXPECT_EQ(frames[0]->format, c.fmt);
    EXPECT_EQ(fg.outputs[0]->sample_rate, c.rate);
    EXPECT_EQ(fg.outputs[0]->ch_layout.layout.nb_channels, 2);
  }
}

TEST_F(FilterGraphTest, QueuedFramesArePushedInOrder) {
  addInput(kVideoSrc);
  TFilterGraph& fg = simpleGraph(ist(0, 0), addOutput(addOutputFile(), "mpeg4"), false);
  TInputFilter& ifilter = *fg.inputs[0];
  for (std::int64_t pts : {0, 1, 2, 3, 4}) ifilter.frame_queue.push_back(frame(pts));
  ASSERT_EQ(engine_->ifilter_parameters_from_frame(ifilter, ifilter.frame_queue[0].get()), 0);
  ifilter.eof = 1;
  ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
  std::vector<std::int64_t> pts;
  for (const FramePtr& f : drain(*fg.outputs[0])) pts.push_back(f->pts);
  EXPECT_EQ(pts, (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
}

TEST_F(FilterGraphTest, SubtitleInputGetsACanvas) {
  const std::string srt = path("cues.srt");
  std::ofstream(srt) << "1\n00:00:00,500 --> 00:00:01,000\nHello\n\n";
  addInput(srt, nullptr);
  TOutputStream& ost = addOutput(addOutputFile(), "mpeg4");
  TFilterGraph& fg = complexGraph("[0:s]null");
  ASSERT_EQ(engine_->InitComplexFilterGraph(fg), 0);
  ASSERT_EQ(fg.inputs[0]->ist, &ist(0, 0));
  fg.outputs[0]->ost = &ost;
  ost.filter = fg.outputs[0].get();

  ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
  EXPECT_TRUE(logged("sub2video: using 720x576 canvas"));
  const TISsub2video& canvas = ist(0, 0).sub2video;
  EXPECT_EQ(canvas.w, 720);
  EXPECT_EQ(canvas.h, 576);
  EXPECT_NE(canvas.frame, nullptr);
  EXPECT_EQ(canvas.initialize, 1);
  EXPECT_EQ(fg.inputs[0]->format, AV_PIX_FMT_BGRA);
  EXPECT_EQ(fg.outputs[0]->width, 720);
}

TEST_F(FilterGraphTest, AudioOutputFilters) {
  struct Case {
    std::vector<int> map;
    const char* apad;
    const char* message;
    const char* filter;
  };
  const Case cases[] = {
      {{1, 0},
       "",
       "-map_channel is forwarded to lavfi similarly to -af pan=0x3|c0=c1|c1=c0.",
       "pan"},
      {{-1, 0}, "", "-map_channel is forwarded to lavfi similarly to -af pan=0x3|c1=c0.", "pan"},
      {{}, "pad_len=10", "-apad is forwarded to lavfi similarly to -af apad=pad_len=10.", "apad"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    addInput(kAvSrc);
    const int out = addOutputFile();
    engine_->Foutput_files[out]->shortest = 1;
    addOutput(out, "mpeg4");
    TOutputStream& ost = addOutput(out, "mp2", AV_SAMPLE_FMT_S16);
    ost.audio_channels_map = c.map;
    ost.apad = c.apad;
    TFilterGraph& fg = simpleGraph(ist(0, 1), ost);
    log_.clear();
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    EXPECT_TRUE(logged(c.message));
    EXPECT_NE(filter(fg, c.filter), nullptr);
    EXPECT_NE(filter(fg, "format_output_0_1"), nullptr);
  }
}

TEST_F(FilterGraphTest, OpenedOutputsConnectToComplexGraphs) {
  struct Case {
    const char* options;
    const char* fatal;  // "" when the output opens and its graph configures
  };
  const Case cases[] = {
      {"-filter_complex [0:v]hflip -c:v mpeg4", ""},
      {"-filter_complex [0:v]hflip -c:v copy",
       "Streamcopy requested for output stream 0:0, which is fed from a complex filtergraph. "
       "Filtering and streamcopy cannot be used together."},
      {"-filter_complex [0:v]hflip -c:v mpeg4 -vf null",
       "Filtergraph \"null\" was specified through the -vf/-af/-filter option for output stream "
       "0:0, which is fed from a complex filtergraph.\r\n-vf/-af/-filter and -filter_complex "
       "cannot be used together for the same stream."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options);
    engine_ = std::make_unique<TCustomFFmpegOpt>();
    ASSERT_EQ(openInput("-f lavfi", kVideoSrc), 0) << engine_->FLastErrMsg;
    int ret = -1;
    EXPECT_EQ(fatalText([&] { ret = openOutput(c.options, path("out.mkv")); }), c.fatal);
    if (*c.fatal) continue;
    ASSERT_EQ(ret, 0) << engine_->FLastErrMsg;
    TFilterGraph& fg = *engine_->Ffiltergraphs[0];
    TOutputStream& ost = *engine_->Foutput_streams[0];
    EXPECT_EQ(fg.outputs[0]->ost, &ost);
    EXPECT_EQ(ost.filter, fg.outputs[0].get());
    EXPECT_EQ(ost.source_index, -1);
    knowFromStream(*fg.inputs[0]);
    ASSERT_EQ(engine_->configure_filtergraph(fg), 0) << engine_->FLastErrMsg;
    EXPECT_EQ(fg.outputs[0]->width, 320);
  }
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
       AVERROR(EINVAL), "Encoder (codec mp2) not found for output stream #0:1"},
      {"no decoder", [](TInputStream& i, TOutputStream&, TOutputFile&) { i.avdec = nullptr; },
       AVERROR_DECODER_NOT_FOUND, "No decoder for stream #0:1, filtering impossible"},
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
    addInput(kAvSrc);
    const int out = addOutputFile();
    addOutput(out, "mpeg4");
    TOutputStream& ost = addOutput(out, "mp2", AV_SAMPLE_FMT_S16);
    TFilterGraph& fg = simpleGraph(ist(0, 1), ost);
    c.setup(ist(0, 1), ost, *engine_->Foutput_files[out]);
    EXPECT_EQ(engine_->configure_filtergraph(fg), c.code);
    if (c.text) {
      EXPECT_EQ(engine_->FLastErrMsg, c.text);
    }
    EXPECT_EQ(fg.graph, nullptr);
    EXPECT_EQ(fg.inputs[0]->filter, nullptr);
    EXPECT_EQ(fg.outputs[0]->filter, nullptr);
  }

  TFilterGraph& fg = complexGraph("[0:v]hflip");
  ASSERT_EQ(engine_->InitComplexFilterGraph(fg), 0);
  knowFromStream(*fg.inputs[0]);
  EXPECT_EQ(fatalText([&] { engine_->configure_filtergraph(fg); }),
            "Filter hflip has an unconnected output");
  EXPECT_EQ(fg.graph, nullptr);
}

}  // namespace
