#include "testmedia/LavfiSource.h"

#include "testmedia/TestMedia.h"

namespace corvane::testmedia {

LavfiSource::LavfiSource(const std::string& what, AVMediaType type, const std::string& chain)
    : what_(what), graph_(ff::avfilter_graph_alloc()) {
  auto fail = [&](const char* step, int err) {
    throw ETestMedia(what_ + ": " + step + " \"" + chain + "\": " + avError(err));
  };
  if (!graph_) fail("allocating filter graph", AVERROR(ENOMEM));
  const char* sinkName = type == AVMEDIA_TYPE_VIDEO ? "buffersink" : "abuffersink";
  int err = ff::avfilter_graph_create_filter(&sink_, ff::avfilter_get_by_name(sinkName), "out",
                                             nullptr, nullptr, graph_.get());
  if (err < 0) fail("creating sink for", err);

  AVFilterInOut* rawIn = nullptr;
  AVFilterInOut* rawOut = nullptr;
  err = ff::avfilter_graph_parse2(graph_.get(), chain.c_str(), &rawIn, &rawOut);
  InOutPtr inputs(rawIn), outputs(rawOut);
  if (err < 0) fail("parsing", err);
  if (inputs || !outputs || outputs->next)
    fail("expecting one output and no input in", AVERROR(EINVAL));
  err = ff::avfilter_link(outputs->filter_ctx, static_cast<unsigned>(outputs->pad_idx), sink_, 0);
  if (err < 0) fail("linking sink to", err);
  err = ff::avfilter_graph_config(graph_.get(), nullptr);
  if (err < 0) fail("configuring", err);
}

void LavfiSource::setFrameSize(int samples) {
  ff::av_buffersink_set_frame_size(sink_, static_cast<unsigned>(samples));
}

bool LavfiSource::read(AVFrame* frame) {
  const int err = ff::av_buffersink_get_frame(sink_, frame);
  if (err == AVERROR_EOF) return false;
  if (err < 0) throw ETestMedia(what_ + ": reading filter output: " + avError(err));
  return true;
}

}  // namespace corvane::testmedia
