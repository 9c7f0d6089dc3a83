// Not built yet: replaced by the filter graph work.
#include "transcoder/TranscoderOptions.h"
namespace corvane {
void TCustomFFmpegOpt::InitSimpleFilterGraph(TInputStream*, TOutputStream*) { Fatal("not built"); }
int TCustomFFmpegOpt::InitComplexFilterGraph(TFilterGraph&) { return AVERROR(ENOSYS); }
void TCustomFFmpegOpt::InitOutputFilter(TOutputFilter&, TPerFileOptions&, AVFormatContext*) {
  Fatal("not built");
}
int TCustomFFmpegOpt::configure_filtergraph(TFilterGraph&) { return AVERROR(ENOSYS); }
int TCustomFFmpegOpt::ifilter_parameters_from_frame(TInputFilter&, const AVFrame*) {
  return AVERROR(ENOSYS);
}
void TCustomFFmpegOpt::cleanup_filtergraph(TFilterGraph& fg) { fg.graph.reset(); }
}  // namespace corvane
