// Filter graph records: simple graphs between one input and one output
// stream, complex graphs parsed from a description, and connecting a complex
// graph's outputs to new output streams.
#include <cstdlib>

#include "foundation/ErrorText.h"
#include "foundation/StreamOptions.h"
#include "transcoder/TranscoderOptions.h"

namespace corvane {

namespace {

constexpr int kDecodingForFilter = 2;

// "filter" or "filter:pad" when the filter has several pads on that side.
std::string DescribeFilterLink(const AVFilterInOut& inout, bool input) {
  const AVFilterContext* ctx = inout.filter_ctx;
  const AVFilterPad* pads = input ? ctx->input_pads : ctx->output_pads;
  std::string text = ctx->filter->name;
  if ((input ? ctx->nb_inputs : ctx->nb_outputs) > 1) {
    text += ':';
    text += ff::avfilter_pad_get_name(pads, inout.pad_idx);
  }
  return text;
}

AVMediaType PadType(const AVFilterInOut& inout, bool input) {
  const AVFilterContext* ctx = inout.filter_ctx;
  return ff::avfilter_pad_get_type(input ? ctx->input_pads : ctx->output_pads, inout.pad_idx);
}

}  // namespace

void TCustomFFmpegOpt::InitSimpleFilterGraph(TInputStream* ist, TOutputStream* ost) {
  auto fg = std::make_unique<TFilterGraph>();
  fg->index = Fnb_filtergraphs();

  auto ofilter = std::make_unique<TOutputFilter>();
  ofilter->ost = ost;
  ofilter->graph = fg.get();
  ofilter->format = -1;
  if (ost->st) ofilter->type_ = ost->st->codecpar->codec_type;
  ost->filter = ofilter.get();
  fg->outputs.push_back(std::move(ofilter));

  auto ifilter = std::make_unique<TInputFilter>();
  ifilter->ist = ist;
  ifilter->graph = fg.get();
  ifilter->format = -1;
  if (ist->st) ifilter->type_ = ist->st->codecpar->codec_type;
  ist->filters.push_back(ifilter.get());
  fg->inputs.push_back(std::move(ifilter));

  Ffiltergraphs.push_back(std::move(fg));
}

// The stream a labeled complex input ("<file>[:<specifier>]") names.
TInputStream* TCustomFFmpegOpt::LabeledFilterInput(const TFilterGraph& fg, const char* label,
                                                   AVMediaType type) {
  char* p = nullptr;
  const long file_idx = std::strtol(label, &p, 0);
  if (file_idx < 0 || file_idx >= Fnb_input_files())
    Fatal("Invalid file index %d in filtergraph description %s.", static_cast<int>(file_idx),
          fg.graph_desc->c_str());
  const char* specifier = *p == ':' ? p + 1 : p;
  const TInputFile& file = *Finput_files[file_idx];
  AVFormatContext* s = file.ctx.get();
  AVStream* found = nullptr;
  for (unsigned i = 0; i < s->nb_streams && !found; ++i) {
    AVStream* st = s->streams[i];
    const AVMediaType stream_type = st->codecpar->codec_type;
    if (stream_type != type &&
        !(stream_type == AVMEDIA_TYPE_SUBTITLE && type == AVMEDIA_TYPE_VIDEO))
      continue;
    const int ret = check_stream_specifier(s, st, specifier);
    if (ret < 0) Fatal(error_text("check_stream_specifier", ret));
    if (ret > 0) found = st;
  }
  if (!found)
    Fatal("Stream specifier \"%s\" in filtergraph description %s matches no streams.", specifier,
          fg.graph_desc->c_str());
  TInputStream* ist = Finput_streams[file.ist_index + found->index].get();
  if (ist->user_set_discard == AVDISCARD_ALL)
    Fatal("Stream specifier \"%s\" in filtergraph description %s matches a disabled input stream.",
          specifier, fg.graph_desc->c_str());
  return ist;
}

// The first enabled, still unused decoded stream of the type.
TInputStream* TCustomFFmpegOpt::UnlabeledFilterInput(const AVFilterInOut& in, AVMediaType type) {
  for (const auto& ist : Finput_streams) {
    if (ist->user_set_discard == AVDISCARD_ALL) continue;
    if (ist->dec_ctx && ist->dec_ctx->codec_type == type && ist->discard) return ist.get();
  }
  Fatal("Cannot find a matching stream for unlabeled input pad %d on filter %s", in.pad_idx,
        in.filter_ctx->name);
}

void TCustomFFmpegOpt::InitComplexInputFilter(TFilterGraph& fg, const AVFilterInOut& in) {
  const AVMediaType type = PadType(in, true);
  if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO)
    Fatal("Only video and audio filters supported currently.");

  TInputStream* ist =
      in.name ? LabeledFilterInput(fg, in.name, type) : UnlabeledFilterInput(in, type);
  ist->discard = 0;
  ist->decoding_needed |= kDecodingForFilter;
  ist->st->discard = AVDISCARD_NONE;

  auto ifilter = std::make_unique<TInputFilter>();
  ifilter->ist = ist;
  ifilter->graph = &fg;
  ifilter->format = -1;
  ifilter->type_ = ist->st->codecpar->codec_type;
  ifilter->name = DescribeFilterLink(in, true);
  ist->filters.push_back(ifilter.get());
  fg.inputs.push_back(std::move(ifilter));
}

int TCustomFFmpegOpt::InitComplexFilterGraph(TFilterGraph& fg) {
  FilterGraphPtr graph(ff::avfilter_graph_alloc());
  if (!graph) return AVERROR(ENOMEM);
  graph->nb_threads = 1;

  AVFilterInOut* in_list = nullptr;
  AVFilterInOut* out_list = nullptr;
  const int ret = ff::avfilter_graph_parse2(graph.get(), fg.graph_desc.value_or("").c_str(),
                                            &in_list, &out_list);
  FilterInOutPtr inputs(in_list);
  FilterInOutPtr outputs(out_list);
  if (ret < 0) return ret;

  for (AVFilterInOut* cur = inputs.get(); cur; cur = cur->next) InitComplexInputFilter(fg, *cur);

  while (outputs) {
    FilterInOutPtr cur = std::move(outputs);
    outputs.reset(cur->next);
    cur->next = nullptr;
    auto ofilter = std::make_unique<TOutputFilter>();
    ofilter->graph = &fg;
    ofilter->format = -1;
    ofilter->type_ = PadType(*cur, false);
    ofilter->name = DescribeFilterLink(*cur, false);
    // The parsing graph goes away below; only the label stays meaningful.
    cur->filter_ctx = nullptr;
    ofilter->out_tmp = std::move(cur);
    fg.outputs.push_back(std::move(ofilter));
  }
  return 0;
}

void TCustomFFmpegOpt::InitOutputFilter(TOutputFilter& ofilter, TPerFileOptions& o,
                                        AVFormatContext* oc) {
  TOutputStream* ost = nullptr;
  switch (ofilter.type_) {
    case AVMEDIA_TYPE_VIDEO:
      ost = NewVideoStream(o, oc, -1);
      break;
    case AVMEDIA_TYPE_AUDIO:
      ost = NewAudioStream(o, oc, -1);
      break;
    default:
      Fatal("Only video and audio filters are supported currently.");
  }
  ost->source_index = -1;
  ost->filter = &ofilter;
  ofilter.ost = ost;
  ofilter.format = -1;

  if (ost->stream_copy)
    Fatal(
        "Streamcopy requested for output stream %d:%d, which is fed from a complex filtergraph. "
        "Filtering and streamcopy cannot be used together.",
        ost->file_index, ost->index);
  if (ost->avfilter && (!ost->filters.empty() || !ost->filters_script.empty())) {
    const bool script = ost->filters.empty();
    const char* option = script ? "-filter_script" : "-vf/-af/-filter";
    Fatal(
        "%s \"%s\" was specified through the %s option for output stream %d:%d, which is fed "
        "from a complex filtergraph.\r\n%s and -filter_complex cannot be used together for the "
        "same stream.",
        script ? "Filtergraph script" : "Filtergraph",
        (script ? ost->filters_script : ost->filters).c_str(), option, ost->file_index, ost->index,
        option);
  }
}

int TCustomFFmpegOpt::ifilter_parameters_from_frame(TInputFilter& ifilter, const AVFrame* frame) {
  ifilter.hw_frames_ctx.reset();
  if (frame->hw_frames_ctx) {
    ifilter.hw_frames_ctx.reset(ff::av_buffer_ref(frame->hw_frames_ctx));
    if (!ifilter.hw_frames_ctx) return AVERROR(ENOMEM);
  }
  ifilter.format = frame->format;
  ifilter.width = frame->width;
  ifilter.height = frame->height;
  ifilter.sample_aspect_ratio = frame->sample_aspect_ratio;
  ifilter.sample_rate = frame->sample_rate;
  ifilter.ch_layout.reset();
  if (ff::av_channel_layout_copy(&ifilter.ch_layout.layout, &frame->ch_layout) < 0)
    return AVERROR(ENOMEM);
  return 0;
}

void TCustomFFmpegOpt::cleanup_filtergraph(TFilterGraph& fg) {
  for (auto& ifilter : fg.inputs) ifilter->filter = nullptr;
  for (auto& ofilter : fg.outputs) ofilter->filter = nullptr;
  fg.graph.reset();
}

}  // namespace corvane
