// Building and configuring the library graph of a filter graph record:
// buffer sources with rotation, deinterlacing and trimming, buffer sinks with
// scaling, format constraints and trimming, then queued input.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <vector>

#include "foundation/FilterGraph.h"
#include "foundation/OptionValues.h"
#include "foundation/StreamOptions.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {

namespace {

std::string DescribeLayout(const AVChannelLayout& layout) {
  char buf[256];
  const int n = ff::av_channel_layout_describe(&layout, buf, sizeof buf);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) <= sizeof buf) return buf;
  std::string text(static_cast<std::size_t>(n), '\0');
  ff::av_channel_layout_describe(&layout, text.data(), text.size());
  text.resize(static_cast<std::size_t>(n) - 1);
  return text;
}

// Hexadecimal mask of a native-order layout, else its description.
std::string LayoutArgument(const AVChannelLayout& layout) {
  if (layout.order == AV_CHANNEL_ORDER_NATIVE) return strprintf("0x%" PRIx64, layout.u.mask);
  return DescribeLayout(layout);
}

void AppendItem(std::string& list, const std::string& item) {
  if (!list.empty()) list += '|';
  list += item;
}

const char* PixFmtName(int fmt) {
  const char* name = ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(fmt));
  return name ? name : "none";
}

const char* SampleFmtName(int fmt) {
  const char* name = ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(fmt));
  return name ? name : "none";
}

// The encoder's pixel formats; the JPEG encoders accept more below normal
// strictness.
std::vector<AVPixelFormat> SupportedPixFmts(const AVCodecContext& ctx, const AVCodec* enc) {
  if (!enc || !enc->pix_fmts) return {};
  if (ctx.strict_std_compliance < FF_COMPLIANCE_NORMAL) {
    if (enc->id == AV_CODEC_ID_MJPEG)
      return {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P,
              AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUV422P,  AV_PIX_FMT_YUV444P};
    if (enc->id == AV_CODEC_ID_LJPEG)
      return {AV_PIX_FMT_BGR24,    AV_PIX_FMT_BGRA,     AV_PIX_FMT_BGR0,
              AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ444P, AV_PIX_FMT_YUVJ422P,
              AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUV444P,  AV_PIX_FMT_YUV422P};
  }
  std::vector<AVPixelFormat> list;
  for (const AVPixelFormat* p = enc->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) list.push_back(*p);
  return list;
}

// target when the encoder takes it, else the closest format it takes.
AVPixelFormat ChoosePixelFmt(const AVCodecContext& ctx, const AVCodec* enc, AVPixelFormat target) {
  const std::vector<AVPixelFormat> list = SupportedPixFmts(ctx, enc);
  if (list.empty()) return target;
  const AVPixFmtDescriptor* desc = ff::av_pix_fmt_desc_get(target);
  const int has_alpha = desc ? desc->nb_components % 2 == 0 : 0;
  AVPixelFormat best = AV_PIX_FMT_NONE;
  for (AVPixelFormat p : list) {
    best = ff::av_find_best_pix_fmt_of_2(best, p, target, has_alpha, nullptr);
    if (p == target) return target;
  }
  if (target != AV_PIX_FMT_NONE)
    ff::av_log(nullptr, AV_LOG_WARNING,
               "Incompatible pixel format \"%s\" for codec \"%s\", auto-selecting format \"%s\"\n",
               PixFmtName(target), enc->name, PixFmtName(best));
  return best;
}

int CountInOut(const AVFilterInOut* list) {
  int n = 0;
  for (; list; list = list->next) ++n;
  return n;
}

const char* CountText(int n) { return n == 0 ? "0" : n == 1 ? "1" : ">1"; }

// "sample_fmts=...:sample_rates=...:channel_layouts=..." from the filter's
// requested values or lists; empty when nothing is requested.
std::string AudioFormatArgs(const TOutputFilter& ofilter) {
  std::string fmts, rates, layouts;
  if (ofilter.format != -1)
    fmts = SampleFmtName(ofilter.format);
  else
    for (int f : ofilter.formats) AppendItem(fmts, SampleFmtName(f));
  if (ofilter.sample_rate)
    rates = std::to_string(ofilter.sample_rate);
  else
    for (int r : ofilter.sample_rates) AppendItem(rates, std::to_string(r));
  if (ofilter.ch_layout.known())
    layouts = LayoutArgument(ofilter.ch_layout.layout);
  else
    for (const AVChannelLayout& l : ofilter.ch_layouts) AppendItem(layouts, LayoutArgument(l));

  std::string args;
  if (!fmts.empty()) args += "sample_fmts=" + fmts + ":";
  if (!rates.empty()) args += "sample_rates=" + rates + ":";
  if (!layouts.empty()) args += "channel_layouts=" + layouts + ":";
  if (!args.empty()) args.pop_back();
  return args;
}

// Arguments of a pan filter picking input channels by output position (-1:
// left out).
std::string PanArgs(const std::vector<int>& map) {
  TChannelLayout mapped;
  ff::av_channel_layout_default(&mapped.layout, static_cast<int>(map.size()));
  std::string args = strprintf("0x%" PRIx64, mapped.layout.u.mask);
  for (std::size_t i = 0; i < map.size(); ++i)
    if (map[i] != -1) args += strprintf("|c%d=c%d", static_cast<int>(i), map[i]);
  return args;
}

// A channel count without a layout becomes the count's default layout.
void GiveDefaultLayout(AVChannelLayout& layout) {
  if (layout.order != AV_CHANNEL_ORDER_UNSPEC || layout.nb_channels <= 0) return;
  const int channels = layout.nb_channels;
  ff::av_channel_layout_uninit(&layout);
  ff::av_channel_layout_default(&layout, channels);
}

bool HasVideoStream(const AVFormatContext& s) {
  for (unsigned i = 0; i < s.nb_streams; ++i)
    if (s.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return true;
  return false;
}

// The end of a chain of filters being built from a source or towards a sink.
struct TFilterChain {
  AVFilterGraph* graph;
  AVFilterContext* last;
  unsigned pad;

  // Creates filter named name with args and links it after the end.
  int append(const char* filter, const std::string& name, const char* args) {
    return filters::append_filter(graph, last, pad, filter, name, args);
  }

  int linkTo(AVFilterContext* dst, unsigned dst_pad) {
    return ff::avfilter_link(last, pad, dst, dst_pad);
  }

  // A trim filter limiting to [start, start + duration) microseconds.
  int trim(std::int64_t start, std::int64_t duration, const std::string& name) {
    if (duration == INT64_MAX && start == AV_NOPTS_VALUE) return 0;
    const bool video =
        ff::avfilter_pad_get_type(last->output_pads, static_cast<int>(pad)) == AVMEDIA_TYPE_VIDEO;
    const char* filter_name = video ? "trim" : "atrim";
    const AVFilter* f = ff::avfilter_get_by_name(filter_name);
    if (!f) {
      ff::av_log(nullptr, AV_LOG_ERROR, "%s filter not present, cannot limit recording time.\n",
                 filter_name);
      return AVERROR_FILTER_NOT_FOUND;
    }
    AVFilterContext* ctx = ff::avfilter_graph_alloc_filter(graph, f, name.c_str());
    if (!ctx) return AVERROR(ENOMEM);
    int ret = 0;
    if (duration != INT64_MAX)
      ret = ff::av_opt_set_int(ctx, "durationi", duration, AV_OPT_SEARCH_CHILDREN);
    if (ret >= 0 && start != AV_NOPTS_VALUE)
      ret = ff::av_opt_set_int(ctx, "starti", start, AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) {
      ff::av_log(ctx, AV_LOG_ERROR, "Error configuring the %s filter\n", filter_name);
      return ret;
    }
    ret = ff::avfilter_init_str(ctx, nullptr);
    if (ret < 0) return ret;
    ret = ff::avfilter_link(last, pad, ctx, 0);
    if (ret < 0) return ret;
    last = ctx;
    pad = 0;
    return 0;
  }

  // Undoes a clockwise display rotation of theta degrees.
  int rotate(double theta) {
    for (const auto& [filter, args] : filters::rotation_filters(theta)) {
      const int ret = append(filter, filter, args.empty() ? nullptr : args.c_str());
      if (ret < 0) return ret;
    }
    return 0;
  }
};

}  // namespace

void TCustomFFmpegOpt::SubtitleCanvasUpdate(TInputStream&, std::int64_t, const AVSubtitle*) {}

std::int64_t TCustomFFmpegOpt::InputStartOffset(const TInputFile& f) const {
  if (!Fcopy_ts) return 0;
  std::int64_t offset = f.start_time == AV_NOPTS_VALUE ? 0 : f.start_time;
  if (!Fstart_at_zero && f.ctx && f.ctx->start_time != AV_NOPTS_VALUE) offset += f.ctx->start_time;
  return offset;
}

int TCustomFFmpegOpt::SubtitleCanvasPrepare(TInputStream& ist, TInputFilter& ifilter) {
  AVFormatContext* avf = Finput_files[ist.file_index]->ctx.get();
  int w = ifilter.width;
  int h = ifilter.height;
  if (!(w && h)) {
    for (unsigned i = 0; i < avf->nb_streams; ++i) {
      const AVCodecParameters* par = avf->streams[i]->codecpar;
      if (par->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      w = std::max(w, par->width);
      h = std::max(h, par->height);
    }
    if (!(w && h)) {
      w = std::max(w, 720);
      h = std::max(h, 576);
    }
    ff::av_log(avf, AV_LOG_INFO, "sub2video: using %dx%d canvas\n", w, h);
  }
  ist.sub2video.w = w;
  ist.sub2video.h = h;
  AVCodecContext* dec = ist.dec_ctx.get();
  ifilter.width = dec->width ? dec->width : w;
  ifilter.height = dec->height ? dec->height : h;
  ifilter.format = dec->pix_fmt = AV_PIX_FMT_BGRA;
  ist.sub2video.frame = makeFrame();
  if (!ist.sub2video.frame) return AVERROR(ENOMEM);
  ist.sub2video.last_pts = ist.sub2video.end_pts = INT64_MIN;
  ist.sub2video.initialize = 1;
  return 0;
}

int TCustomFFmpegOpt::ConfigureInputVideoFilter(TFilterGraph& fg, TInputFilter& ifilter,
                                                AVFilterInOut& in) {
  TInputStream& ist = *ifilter.ist;
  const TInputFile& f = *Finput_files[ist.file_index];
  const AVRational tb = ist.framerate.num ? av_inv_q(ist.framerate) : ist.st->time_base;
  AVRational fr = ist.framerate;
  if (!fr.num) fr = ff::av_guess_frame_rate(f.ctx.get(), ist.st, nullptr);

  AVMemPtr<AVBufferSrcParameters> par(ff::av_buffersrc_parameters_alloc());
  if (!par) return AVERROR(ENOMEM);
  par->format = AV_PIX_FMT_NONE;
  if (ist.dec_ctx->codec_type == AVMEDIA_TYPE_AUDIO)
    return Fail(AVERROR(EINVAL), llError, "Cannot connect video filter to audio input");
  if (ist.dec_ctx->codec_type == AVMEDIA_TYPE_SUBTITLE) {
    const int ret = SubtitleCanvasPrepare(ist, ifilter);
    if (ret < 0) return ret;
  }

  AVRational sar = ifilter.sample_aspect_ratio;
  if (!sar.den) sar = AVRational{0, 1};
  const std::string args =
      filters::video_source_args(ifilter.width, ifilter.height, ifilter.format, tb, sar, fr);
  const std::string name =
      strprintf("graph %d input from stream %d:%d", fg.index, ist.file_index, ist.st->index);
  int ret = filters::create_filter(fg.graph.get(), "buffer", name, args.c_str(), &ifilter.filter);
  if (ret < 0) return ret;
  par->hw_frames_ctx = ifilter.hw_frames_ctx.get();
  ret = ff::av_buffersrc_parameters_set(ifilter.filter, par.get());
  if (ret < 0) return ret;

  TFilterChain chain{fg.graph.get(), ifilter.filter, 0};
  if (ist.autorotate && (ret = chain.rotate(stream_rotation(ist.st))) < 0) return ret;
  if (Fdo_deinterlace &&
      (ret = chain.append("yadif", strprintf("deinterlace_in_%d_%d", ist.file_index, ist.st->index),
                          "")) < 0)
    return ret;
  const bool trim_start = f.start_time != AV_NOPTS_VALUE && f.accurate_seek;
  ret = chain.trim(trim_start ? InputStartOffset(f) : AV_NOPTS_VALUE, f.recording_time,
                   strprintf("trim_in_%d_%d", ist.file_index, ist.st->index));
  if (ret < 0) return ret;
  return chain.linkTo(in.filter_ctx, static_cast<unsigned>(in.pad_idx));
}

int TCustomFFmpegOpt::ConfigureInputAudioFilter(TFilterGraph& fg, TInputFilter& ifilter,
                                                AVFilterInOut& in) {
  TInputStream& ist = *ifilter.ist;
  const TInputFile& f = *Finput_files[ist.file_index];
  if (ist.dec_ctx->codec_type != AVMEDIA_TYPE_AUDIO)
    return Fail(AVERROR(EINVAL), llError, "Cannot connect audio filter to non audio input");

  const std::string args =
      filters::audio_source_args(AVRational{1, ifilter.sample_rate}, ifilter.sample_rate,
                                 ifilter.format, ifilter.ch_layout.layout);
  const std::string name = strprintf("graph_%d_in_%d_%d", fg.index, ist.file_index, ist.st->index);
  int ret = filters::create_filter(fg.graph.get(), "abuffer", name, args.c_str(), &ifilter.filter);
  if (ret < 0) return ret;

  TFilterChain chain{fg.graph.get(), ifilter.filter, 0};
  auto forward = [&](const char* filter, const std::string& filter_args) {
    return chain.append(
        filter, strprintf("graph_%d_%s_in_%d_%d", fg.index, filter, ist.file_index, ist.st->index),
        filter_args.c_str());
  };
  if (Faudio_sync_method > 0) {
    std::string sync = strprintf("async=%d", Faudio_sync_method);
    if (Faudio_drift_threshold != 0.1f) sync += ":min_hard_comp=" + c_fixed(Faudio_drift_threshold);
    if (!fg.reconfiguration) sync += ":first_pts=0";
    Log(llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", "-async", "aresample",
        sync.c_str());
    if ((ret = forward("aresample", sync)) < 0) return ret;
  }
  if (Faudio_volume != 256) {
    Log(llWarning, "-vol has been deprecated. Use the volume audio filter instead.");
    const std::string volume = c_fixed(Faudio_volume / 256.0);
    Log(llInfo, "%s is forwarded to lavfi similarly to -af %s=%s", "-vol", "volume",
        volume.c_str());
    if ((ret = forward("volume", volume)) < 0) return ret;
  }
  const bool trim_start = f.start_time != AV_NOPTS_VALUE && f.accurate_seek;
  ret = chain.trim(trim_start ? InputStartOffset(f) : AV_NOPTS_VALUE, f.recording_time,
                   strprintf("trim for input stream %d:%d", ist.file_index, ist.st->index));
  if (ret < 0) return ret;
  return chain.linkTo(in.filter_ctx, static_cast<unsigned>(in.pad_idx));
}

int TCustomFFmpegOpt::ConfigureInputFilter(TFilterGraph& fg, TInputFilter& ifilter,
                                           AVFilterInOut& in) {
  TInputStream& ist = *ifilter.ist;
  if (!ist.avdec || !ist.dec_ctx)
    return Fail(AVERROR_DECODER_NOT_FOUND, llError,
                strprintf("No decoder for stream #%d:%d, filtering impossible", ist.file_index,
                          ist.st->index));
  switch (ff::avfilter_pad_get_type(in.filter_ctx->input_pads, in.pad_idx)) {
    case AVMEDIA_TYPE_VIDEO:
      return ConfigureInputVideoFilter(fg, ifilter, in);
    case AVMEDIA_TYPE_AUDIO:
      return ConfigureInputAudioFilter(fg, ifilter, in);
    default:
      Fatal("Never occur");
  }
}

std::string TCustomFFmpegOpt::ChoosePixFmts(const TOutputFilter& ofilter, AVFilterGraph* graph) {
  const TOutputStream& ost = *ofilter.ost;
  AVCodecContext* enc_ctx = ost.enc_ctx.get();
  if (!enc_ctx) return {};
  if (const char* strict = ost.encoder_opts.find("strict"))
    ff::av_opt_set(enc_ctx, "strict", strict, 0);
  if (ost.keep_pix_fmt) {
    ff::avfilter_graph_set_auto_convert(graph, AVFILTER_AUTO_CONVERT_NONE);
    return enc_ctx->pix_fmt == AV_PIX_FMT_NONE ? std::string() : PixFmtName(enc_ctx->pix_fmt);
  }
  if (enc_ctx->pix_fmt != AV_PIX_FMT_NONE)
    return PixFmtName(ChoosePixelFmt(*enc_ctx, ost.enc, enc_ctx->pix_fmt));
  std::string list;
  for (AVPixelFormat p : SupportedPixFmts(*enc_ctx, ost.enc)) AppendItem(list, PixFmtName(p));
  return list;
}

int TCustomFFmpegOpt::ConfigureOutputVideoFilter(TFilterGraph& fg, TOutputFilter& ofilter,
                                                 AVFilterInOut& out) {
  const TOutputStream& ost = *ofilter.ost;
  const TOutputFile& of = *Foutput_files[ost.file_index];
  const std::string name = strprintf("out_%d_%d", ost.file_index, ost.index);
  int ret =
      ff::avfilter_graph_create_filter(&ofilter.filter, ff::avfilter_get_by_name("buffersink"),
                                       name.c_str(), nullptr, nullptr, fg.graph.get());
  if (ret < 0) return ret;

  TFilterChain chain{fg.graph.get(), out.filter_ctx, static_cast<unsigned>(out.pad_idx)};
  if ((ofilter.width || ofilter.height) && ost.autoscale) {
    std::string args = strprintf("%d:%d", ofilter.width, ofilter.height);
    const std::string sws = filters::join_options(ost.sws_dict);
    if (!sws.empty()) args += ":" + sws;
    ret = chain.append("scale", strprintf("scaler_out_%d_%d", ost.file_index, ost.index),
                       args.c_str());
    if (ret < 0) return ret;
  }
  const std::string pix_fmts = ChoosePixFmts(ofilter, fg.graph.get());
  if (!pix_fmts.empty() &&
      (ret = chain.append("format", strprintf("format_output_%d_%d", ost.file_index, ost.index),
                          pix_fmts.c_str())) < 0)
    return ret;
  ret = chain.trim(of.start_time, of.recording_time,
                   strprintf("trim_out_%d_%d", ost.file_index, ost.index));
  if (ret < 0) return ret;
  return chain.linkTo(ofilter.filter, 0);
}

int TCustomFFmpegOpt::ConfigureOutputAudioFilter(TFilterGraph& fg, TOutputFilter& ofilter,
                                                 AVFilterInOut& out) {
  TOutputStream& ost = *ofilter.ost;
  const TOutputFile& of = *Foutput_files[ost.file_index];
  const std::string name = strprintf("out_%d_%d", ost.file_index, ost.index);
  int ret =
      ff::avfilter_graph_create_filter(&ofilter.filter, ff::avfilter_get_by_name("abuffersink"),
                                       name.c_str(), nullptr, nullptr, fg.graph.get());
  if (ret < 0) return ret;
  ret = ff::av_opt_set_int(ofilter.filter, "all_channel_counts", 1, AV_OPT_SEARCH_CHILDREN);
  if (ret < 0) return ret;

  TFilterChain chain{fg.graph.get(), out.filter_ctx, static_cast<unsigned>(out.pad_idx)};
  if (!ost.audio_channels_map.empty()) {
    const std::string pan = PanArgs(ost.audio_channels_map);
    Log(llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", "-map_channel", "pan",
        pan.c_str());
    if ((ret = chain.append("pan", "pan", pan.c_str())) < 0) return ret;
  }
  if (ost.enc_ctx) GiveDefaultLayout(ost.enc_ctx->ch_layout);
  const std::string format_args = AudioFormatArgs(ofilter);
  if (!format_args.empty() &&
      (ret = chain.append("aformat", strprintf("format_output_%d_%d", ost.file_index, ost.index),
                          format_args.c_str())) < 0)
    return ret;
  if (!ost.apad.empty() && of.shortest && HasVideoStream(*of.ctx)) {
    Log(llInfo, "%s is forwarded to lavfi similarly to -af %s=%s.", "-apad", "apad",
        ost.apad.c_str());
    if ((ret = chain.append("apad", "apad", ost.apad.c_str())) < 0) return ret;
  }
  ret = chain.trim(of.start_time, of.recording_time,
                   strprintf("trim for output stream %d:%d", ost.file_index, ost.index));
  if (ret < 0) return ret;
  return chain.linkTo(ofilter.filter, 0);
}

int TCustomFFmpegOpt::ConfigureOutputFilter(TFilterGraph& fg, TOutputFilter& ofilter,
                                            AVFilterInOut& out) {
  if (!ofilter.ost) Fatal("Filter %s has an unconnected output", ofilter.name.c_str());
  switch (ff::avfilter_pad_get_type(out.filter_ctx->output_pads, out.pad_idx)) {
    case AVMEDIA_TYPE_VIDEO:
      return ConfigureOutputVideoFilter(fg, ofilter, out);
    case AVMEDIA_TYPE_AUDIO:
      return ConfigureOutputAudioFilter(fg, ofilter, out);
    default:
      Fatal("Never occur");
  }
}

void TCustomFFmpegOpt::ApplySimpleGraphOptions(AVFilterGraph* graph, const TOutputStream& ost) {
  graph->nb_threads = Ffilter_nbthreads;
  const std::string sws = filters::join_options(ost.sws_dict);
  if (!sws.empty()) graph->scale_sws_opts = ff::av_strdup(sws.c_str());
  const std::string swr = filters::join_options(ost.swr_opts);
  if (!swr.empty()) ff::av_opt_set(graph, "aresample_swr_opts", swr.c_str(), 0);
  if (const char* threads = ost.encoder_opts.find("threads"))
    ff::av_opt_set(graph, "threads", threads, 0);
}

int TCustomFFmpegOpt::ConfigureGraphPads(TFilterGraph& fg, AVFilterInOut* inputs,
                                         AVFilterInOut* outputs) {
  std::size_t i = 0;
  for (AVFilterInOut* cur = inputs; cur; cur = cur->next, ++i) {
    if (i >= fg.inputs.size()) return AVERROR(EINVAL);
    const int ret = ConfigureInputFilter(fg, *fg.inputs[i], *cur);
    if (ret < 0) return ret;
  }
  i = 0;
  for (AVFilterInOut* cur = outputs; cur; cur = cur->next, ++i) {
    if (i >= fg.outputs.size()) return AVERROR(EINVAL);
    const int ret = ConfigureOutputFilter(fg, *fg.outputs[i], *cur);
    if (ret < 0) return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::TakeSinkParameters(TFilterGraph& fg) {
  for (auto& ofilter : fg.outputs) {
    const AVFilterContext* sink = ofilter->filter;
    ofilter->format = ff::av_buffersink_get_format(sink);
    ofilter->width = ff::av_buffersink_get_w(sink);
    ofilter->height = ff::av_buffersink_get_h(sink);
    ofilter->sample_rate = ff::av_buffersink_get_sample_rate(sink);
    ofilter->ch_layout.reset();
    const int ret = ff::av_buffersink_get_ch_layout(sink, &ofilter->ch_layout.layout);
    if (ret < 0) return ret;
  }
  return 0;
}

int TCustomFFmpegOpt::CheckOutputEncoders(TFilterGraph& fg) {
  for (auto& ofilter : fg.outputs) {
    const TOutputStream& ost = *ofilter->ost;
    if (!ost.enc)
      return Fail(
          AVERROR(EINVAL), llError,
          strprintf("Encoder (codec %s) not found for output stream #%d:%d",
                    ff::avcodec_get_name(ost.st->codecpar->codec_id), ost.file_index, ost.index));
    if (ost.enc->type == AVMEDIA_TYPE_AUDIO &&
        !(ost.enc->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) && ost.enc_ctx)
      ff::av_buffersink_set_frame_size(ofilter->filter,
                                       static_cast<unsigned>(ost.enc_ctx->frame_size));
  }
  return 0;
}

int TCustomFFmpegOpt::PushQueuedInput(TFilterGraph& fg) {
  for (auto& ifilter : fg.inputs) {
    while (!ifilter->frame_queue.empty()) {
      FramePtr frame = std::move(ifilter->frame_queue.front());
      ifilter->frame_queue.pop_front();
      const int ret = ff::av_buffersrc_add_frame(ifilter->filter, frame.get());
      if (ret < 0) return ret;
    }
    if (ifilter->eof) {
      const int ret = ff::av_buffersrc_add_frame(ifilter->filter, nullptr);
      if (ret < 0) return ret;
    }
  }
  for (auto& ifilter : fg.inputs) {
    TInputStream& ist = *ifilter->ist;
    if (!ist.sub2video.frame) continue;
    while (!ist.sub2video.sub_queue.empty()) {
      SubtitlePtr sub = std::move(ist.sub2video.sub_queue.front());
      ist.sub2video.sub_queue.pop_front();
      SubtitleCanvasUpdate(ist, INT64_MIN, &sub->sub);
    }
  }
  return 0;
}

int TCustomFFmpegOpt::BuildFilterGraph(TFilterGraph& fg) {
  cleanup_filtergraph(fg);
  fg.graph.reset(ff::avfilter_graph_alloc());
  if (!fg.graph) return AVERROR(ENOMEM);
  AVFilterGraph* graph = fg.graph.get();
  std::string desc;
  if (fg.simple()) {
    const TOutputStream& ost = *fg.outputs.at(0)->ost;
    desc = ost.avfilter.value_or("");
    ApplySimpleGraphOptions(graph, ost);
  } else {
    desc = *fg.graph_desc;
    graph->nb_threads = Ffilter_complex_nbthreads;
  }

  AVFilterInOut* in_list = nullptr;
  AVFilterInOut* out_list = nullptr;
  int ret = ff::avfilter_graph_parse2(graph, desc.c_str(), &in_list, &out_list);
  FilterInOutPtr inputs(in_list);
  FilterInOutPtr outputs(out_list);
  if (ret < 0) return ret;
  if ((ret = FHWDevices.SetupFilterDevice(graph, Ffilter_hw_device)) < 0) return ret;

  const int nb_in = CountInOut(in_list);
  const int nb_out = CountInOut(out_list);
  if (fg.simple() && (nb_in != 1 || nb_out != 1))
    return Fail(AVERROR(EINVAL), llError,
                strprintf("Simple filtergraph \"%s\" was expected to have exactly 1 input and 1 "
                          "output. However, it had %s input(s) and %s output(s). Please adjust, "
                          "or use a complex filtergraph (-filter_complex) instead.",
                          desc.c_str(), CountText(nb_in), CountText(nb_out)));
  if ((ret = ConfigureGraphPads(fg, in_list, out_list)) < 0) return ret;
  inputs.reset();
  outputs.reset();

  if (!Fauto_conversion_filters)
    ff::avfilter_graph_set_auto_convert(graph, AVFILTER_AUTO_CONVERT_NONE);
  if ((ret = ff::avfilter_graph_config(graph, nullptr)) < 0) return ret;
  if ((ret = TakeSinkParameters(fg)) < 0) return ret;
  fg.reconfiguration = 1;
  if ((ret = CheckOutputEncoders(fg)) < 0) return ret;
  return PushQueuedInput(fg);
}

int TCustomFFmpegOpt::configure_filtergraph(TFilterGraph& fg) {
  int ret = 0;
  try {
    ret = BuildFilterGraph(fg);
  } catch (...) {
    cleanup_filtergraph(fg);
    throw;
  }
  if (ret < 0) cleanup_filtergraph(fg);
  return ret;
}

}  // namespace corvane
