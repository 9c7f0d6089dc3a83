#include "foundation/FilterGraph.h"

#include <cmath>
#include <cstring>

#include "foundation/AVHandles.h"
#include "foundation/OptionValues.h"
#include "foundation/StrFormat.h"

namespace corvane::filters {

std::string video_source_args(int width, int height, int pix_fmt, AVRational time_base,
                              AVRational sample_aspect, AVRational frame_rate) {
  std::string args =
      strprintf("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", width, height,
                pix_fmt, time_base.num, time_base.den, sample_aspect.num, sample_aspect.den);
  if (frame_rate.num && frame_rate.den)
    args += strprintf(":frame_rate=%d/%d", frame_rate.num, frame_rate.den);
  return args;
}

std::string audio_source_args(AVRational time_base, int sample_rate, int sample_fmt,
                              const AVChannelLayout& layout) {
  const char* fmt = ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(sample_fmt));
  std::string args = strprintf("time_base=%d/%d:sample_rate=%d:sample_fmt=%s", time_base.num,
                               time_base.den, sample_rate, fmt ? fmt : "none");
  char text[256] = {};
  if (layout.order != AV_CHANNEL_ORDER_UNSPEC &&
      ff::av_channel_layout_describe(&layout, text, sizeof text) > 0)
    args += std::string(":channel_layout=") + text;
  else
    args += strprintf(":channels=%d", layout.nb_channels);
  return args;
}

std::string join_options(const TDictionary& options, bool rename_sws_flags) {
  std::string out;
  options.forEach([&](const char* k, const char* v) {
    const bool rename = rename_sws_flags && std::strcmp(k, "sws_flags") == 0;
    out += strprintf("%s=%s:", rename ? "flags" : k, v);
  });
  if (!out.empty()) out.pop_back();
  return out;
}

int create_filter(AVFilterGraph* graph, const char* filter, const std::string& name,
                  const char* args, AVFilterContext** out) {
  const AVFilter* f = ff::avfilter_get_by_name(filter);
  if (!f) return AVERROR_FILTER_NOT_FOUND;
  return ff::avfilter_graph_create_filter(out, f, name.c_str(), args, nullptr, graph);
}

int append_filter(AVFilterGraph* graph, AVFilterContext*& last, unsigned& pad, const char* filter,
                  const std::string& name, const char* args) {
  AVFilterContext* f = nullptr;
  int ret = create_filter(graph, filter, name, args, &f);
  if (ret >= 0) ret = ff::avfilter_link(last, pad, f, 0);
  if (ret < 0) return ret;
  last = f;
  pad = 0;
  return 0;
}

int prepend_filter(AVFilterGraph* graph, AVFilterContext*& next, const char* filter,
                   const std::string& name, const char* args) {
  AVFilterContext* f = nullptr;
  int ret = create_filter(graph, filter, name, args, &f);
  if (ret >= 0) ret = ff::avfilter_link(f, 0, next, 0);
  if (ret < 0) return ret;
  next = f;
  return 0;
}

std::vector<std::pair<const char*, std::string>> rotation_filters(double theta) {
  if (std::fabs(theta - 90) < 1.0) return {{"transpose", "clock"}};
  if (std::fabs(theta - 180) < 1.0) return {{"hflip", ""}, {"vflip", ""}};
  if (std::fabs(theta - 270) < 1.0) return {{"transpose", "cclock"}};
  if (std::fabs(theta) > 1.0) return {{"rotate", c_fixed(theta) + "*PI/180"}};
  return {};
}

int link_and_configure(AVFilterGraph* graph, const std::string& description,
                       AVFilterContext* source, AVFilterContext* sink) {
  const unsigned nb_filters = graph->nb_filters;
  int ret = 0;
  if (!description.empty()) {
    FilterInOutPtr outputs(ff::avfilter_inout_alloc());
    FilterInOutPtr inputs(ff::avfilter_inout_alloc());
    if (!outputs || !inputs) return AVERROR(ENOMEM);
    outputs->name = ff::av_strdup("in");
    outputs->filter_ctx = source;
    inputs->name = ff::av_strdup("out");
    inputs->filter_ctx = sink;
    AVFilterInOut* in = inputs.release();
    AVFilterInOut* out = outputs.release();
    ret = ff::avfilter_graph_parse_ptr(graph, description.c_str(), &in, &out, nullptr);
    ff::avfilter_inout_free(&in);
    ff::avfilter_inout_free(&out);
    if (ret < 0) return ret;
  } else if ((ret = ff::avfilter_link(source, 0, sink, 0)) < 0) {
    return ret;
  }
  for (unsigned i = 0; i < graph->nb_filters - nb_filters; ++i)
    std::swap(graph->filters[i], graph->filters[i + nb_filters]);
  return ff::avfilter_graph_config(graph, nullptr);
}

int attach_hw_device(AVFilterGraph* graph, AVBufferRef* device) {
  if (!device) return 0;
  for (unsigned i = 0; i < graph->nb_filters; ++i) {
    AVFilterContext* f = graph->filters[i];
    ff::av_buffer_unref(&f->hw_device_ctx);
    f->hw_device_ctx = ff::av_buffer_ref(device);
    if (!f->hw_device_ctx) return AVERROR(ENOMEM);
  }
  return 0;
}

}  // namespace corvane::filters
